#pragma once
// The board's 8-bit I/O ports, reached as bytes of the mapped board memory.
// Each primitive is exactly one byte access, made once and in program order.

#include <cstdint>

void BoardPortWrite(std::uint32_t port, std::uint8_t value);
std::uint8_t BoardPortRead(std::uint32_t port);
// Writes the index register (port + 1) of an indexed register file.
void BoardRegSelect(std::uint32_t port, std::uint8_t index);
void BoardRegWrite(std::uint32_t port, std::uint8_t index, std::uint8_t value);
std::uint8_t BoardRegRead(std::uint32_t port, std::uint8_t index);
