#pragma once
// Numbers in the kernel's text files (sysfs, /proc/locks): digits only, no
// sign or prefix.

#include <cstdint>
#include <optional>
#include <string_view>

namespace q7m::pcie_linux {

// The digits of base 10 or 16 (either case) as a value; none for an empty
// text, any other character, or more than maxDigits digits.
inline std::optional<std::uint64_t> ParseDigits(std::string_view text, int base,
                                                std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    int digit = base;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit >= base) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return value;
}

}  // namespace q7m::pcie_linux
