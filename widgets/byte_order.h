#pragma once
// Byte-order swaps of 16-, 32- and 64-bit values, as functions and in place.

#include <cstdint>

std::int16_t ByteSwap16(std::int16_t v);
void ByteSwap16InPlace(std::int16_t& v);
std::int32_t ByteSwap32(std::int32_t v);
void ByteSwap32InPlace(std::int32_t& v);
// The two 32-bit halves exchanged and each byte-reversed.
std::int64_t ByteSwap64(std::int64_t v);
void ByteSwap64InPlace(std::int64_t& v);
