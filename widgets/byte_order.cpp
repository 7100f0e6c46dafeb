#include "widgets/byte_order.h"

// Swaps are done on the unsigned pattern so that shifts never touch a sign.

std::int16_t ByteSwap16(std::int16_t v) {
  const auto bits = static_cast<std::uint16_t>(v);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8 | bits >> 8));
}

void ByteSwap16InPlace(std::int16_t& v) {
  v = ByteSwap16(v);
}

std::int32_t ByteSwap32(std::int32_t v) {
  const auto bits = static_cast<std::uint32_t>(v);
  return static_cast<std::int32_t>(bits << 24 | (bits & 0xFF00u) << 8 | (bits >> 8 & 0xFF00u) |
                                   bits >> 24);
}

void ByteSwap32InPlace(std::int32_t& v) {
  v = ByteSwap32(v);
}

std::int64_t ByteSwap64(std::int64_t v) {
  const auto bits = static_cast<std::uint64_t>(v);
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
  const auto high = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32));
  const auto newHigh = static_cast<std::uint32_t>(ByteSwap32(low));
  const auto newLow = static_cast<std::uint32_t>(ByteSwap32(high));
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(newHigh) << 32 | newLow);
}

void ByteSwap64InPlace(std::int64_t& v) {
  v = ByteSwap64(v);
}
