#pragma once
// The board's 8-bit I/O ports, reached as bytes of the mapped board memory.
// Each primitive is exactly one byte access, made once and in program order.

#include <cstdint>

// Registers of the register file behind port 0x352 beside the UART's own
// (indexes 0 to 6): where the UART and the J27 connector are routed (0 to 5),
// and the VSC7420's reset line (1 holds it in reset).
inline constexpr std::uint8_t kUartRouteReg = 8;
inline constexpr std::uint8_t kVscResetReg = 7;

void BoardPortWrite(std::uint32_t port, std::uint8_t value);
std::uint8_t BoardPortRead(std::uint32_t port);
// Writes the index register (port + 1) of an indexed register file.
void BoardRegSelect(std::uint32_t port, std::uint8_t index);
void BoardRegWrite(std::uint32_t port, std::uint8_t index, std::uint8_t value);
std::uint8_t BoardRegRead(std::uint32_t port, std::uint8_t index);
