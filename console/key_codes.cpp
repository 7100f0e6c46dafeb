#include "console/key_codes.h"

#include "console/ascii.h"

std::string ExtendedKey(std::uint8_t scanCode) {
  return std::string{static_cast<char>(0xFF), static_cast<char>(scanCode)};
}

std::string KeyString(NamedKey key) {
  return ExtendedKey(ScanCode(key));
}

std::optional<NamedKey> NamedKeyOf(std::string_view key) {
  if (key.size() != 2 || static_cast<std::uint8_t>(key[0]) != 0xFF) return std::nullopt;
  const auto scan = static_cast<std::uint8_t>(key[1]);
  for (const NamedKeyScan& entry : kNamedKeys) {
    if (entry.scan == scan) return entry.key;
  }
  return std::nullopt;
}

std::optional<FunctionKeyPress> FunctionKeyOf(std::string_view key) {
  const std::optional<NamedKey> named = NamedKeyOf(key);
  if (!named || *named > NamedKey::CtrlF12) return std::nullopt;
  const int index = static_cast<int>(*named) - static_cast<int>(NamedKey::F1);
  return FunctionKeyPress{index % 12 + 1, static_cast<FunctionKeyRun>(index / 12)};
}

std::string UpperKey(std::string_view key) {
  return AsciiUpper(key);
}
