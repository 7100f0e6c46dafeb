#pragma once
// The extended keys the system names and their PC scan codes: the one table
// that the key constants (app/settings.h), the key decoder's mapping and the
// hex viewer's integer key codes are all made from.
//
// A key code is a byte string: one byte for an ordinary key (its character),
// 0xFF followed by the scan code for an extended key, empty for no key.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// In table order. The function keys come in three runs of twelve (plain,
// Shift, Ctrl), so that key n of a run is found by counting.
// clang-format off
enum class NamedKey : std::uint8_t {
  F1, F2, F3, F4, F5, F6, F7, F8, F9, F10, F11, F12,
  ShiftF1, ShiftF2, ShiftF3, ShiftF4, ShiftF5, ShiftF6,
  ShiftF7, ShiftF8, ShiftF9, ShiftF10, ShiftF11, ShiftF12,
  CtrlF1, CtrlF2, CtrlF3, CtrlF4, CtrlF5, CtrlF6,
  CtrlF7, CtrlF8, CtrlF9, CtrlF10, CtrlF11, CtrlF12,
  Left, Right, Up, Down, PgUp, PgDn, Home, End, Ins, Del,
  CtrlUp, CtrlDown, CtrlLeft, CtrlRight, CtrlPgUp, CtrlPgDn,
  CtrlHome, CtrlEnd, CtrlIns, CtrlDel,
  ShiftTab,
};
// clang-format on

struct NamedKeyScan {
  NamedKey key;
  std::string_view name;
  std::uint8_t scan;
};

// clang-format off
inline constexpr std::array<NamedKeyScan, 57> kNamedKeys = {{
    {NamedKey::F1, "F1", 0x3B},             {NamedKey::F2, "F2", 0x3C},
    {NamedKey::F3, "F3", 0x3D},             {NamedKey::F4, "F4", 0x3E},
    {NamedKey::F5, "F5", 0x3F},             {NamedKey::F6, "F6", 0x40},
    {NamedKey::F7, "F7", 0x41},             {NamedKey::F8, "F8", 0x42},
    {NamedKey::F9, "F9", 0x43},             {NamedKey::F10, "F10", 0x44},
    {NamedKey::F11, "F11", 0x85},           {NamedKey::F12, "F12", 0x86},
    {NamedKey::ShiftF1, "Shift-F1", 0x54},  {NamedKey::ShiftF2, "Shift-F2", 0x55},
    {NamedKey::ShiftF3, "Shift-F3", 0x56},  {NamedKey::ShiftF4, "Shift-F4", 0x57},
    {NamedKey::ShiftF5, "Shift-F5", 0x58},  {NamedKey::ShiftF6, "Shift-F6", 0x59},
    {NamedKey::ShiftF7, "Shift-F7", 0x5A},  {NamedKey::ShiftF8, "Shift-F8", 0x5B},
    {NamedKey::ShiftF9, "Shift-F9", 0x5C},  {NamedKey::ShiftF10, "Shift-F10", 0x5D},
    {NamedKey::ShiftF11, "Shift-F11", 0x87}, {NamedKey::ShiftF12, "Shift-F12", 0x88},
    {NamedKey::CtrlF1, "Ctrl-F1", 0x5E},    {NamedKey::CtrlF2, "Ctrl-F2", 0x5F},
    {NamedKey::CtrlF3, "Ctrl-F3", 0x60},    {NamedKey::CtrlF4, "Ctrl-F4", 0x61},
    {NamedKey::CtrlF5, "Ctrl-F5", 0x62},    {NamedKey::CtrlF6, "Ctrl-F6", 0x63},
    {NamedKey::CtrlF7, "Ctrl-F7", 0x64},    {NamedKey::CtrlF8, "Ctrl-F8", 0x65},
    {NamedKey::CtrlF9, "Ctrl-F9", 0x66},    {NamedKey::CtrlF10, "Ctrl-F10", 0x67},
    {NamedKey::CtrlF11, "Ctrl-F11", 0x89},  {NamedKey::CtrlF12, "Ctrl-F12", 0x8A},
    {NamedKey::Left, "Left", 0x4B},         {NamedKey::Right, "Right", 0x4D},
    {NamedKey::Up, "Up", 0x48},             {NamedKey::Down, "Down", 0x50},
    {NamedKey::PgUp, "PgUp", 0x49},         {NamedKey::PgDn, "PgDn", 0x51},
    {NamedKey::Home, "Home", 0x47},         {NamedKey::End, "End", 0x4F},
    {NamedKey::Ins, "Ins", 0x52},           {NamedKey::Del, "Del", 0x53},
    {NamedKey::CtrlUp, "Ctrl-Up", 0x8D},    {NamedKey::CtrlDown, "Ctrl-Down", 0x91},
    {NamedKey::CtrlLeft, "Ctrl-Left", 0x73}, {NamedKey::CtrlRight, "Ctrl-Right", 0x74},
    {NamedKey::CtrlPgUp, "Ctrl-PgUp", 0x84}, {NamedKey::CtrlPgDn, "Ctrl-PgDn", 0x76},
    {NamedKey::CtrlHome, "Ctrl-Home", 0x77}, {NamedKey::CtrlEnd, "Ctrl-End", 0x75},
    {NamedKey::CtrlIns, "Ctrl-Ins", 0x92},  {NamedKey::CtrlDel, "Ctrl-Del", 0x93},
    {NamedKey::ShiftTab, "Shift-Tab", 0x0F},
}};
// clang-format on

namespace key_codes_detail {
constexpr bool TableInEnumOrder() {
  for (std::size_t i = 0; i < kNamedKeys.size(); ++i) {
    if (static_cast<std::size_t>(kNamedKeys[i].key) != i) return false;
  }
  return true;
}
}  // namespace key_codes_detail
static_assert(key_codes_detail::TableInEnumOrder(), "kNamedKeys must follow NamedKey's order");

constexpr std::uint8_t ScanCode(NamedKey key) {
  return kNamedKeys[static_cast<std::size_t>(key)].scan;
}

// Which run of function keys: plain, with Shift, with Ctrl.
enum class FunctionKeyRun : std::uint8_t { Plain, Shift, Ctrl };

// Function key n (1 to 12) of a run.
constexpr NamedKey FunctionKey(int n, FunctionKeyRun run) {
  return static_cast<NamedKey>(static_cast<int>(NamedKey::F1) + 12 * static_cast<int>(run) + n - 1);
}

// 0xFF followed by the scan code.
std::string ExtendedKey(std::uint8_t scanCode);
std::string KeyString(NamedKey key);
// The named key an extended key code stands for; none for one-byte keys,
// empty codes and scan codes the table does not name.
std::optional<NamedKey> NamedKeyOf(std::string_view key);

struct FunctionKeyPress {
  int number;  // 1 to 12
  FunctionKeyRun run;
};
std::optional<FunctionKeyPress> FunctionKeyOf(std::string_view key);

// The key upper-cased byte by byte (a to z only), as several screens compare.
// An extended key changes too when its scan code is a lower-case letter:
// Ctrl-PgDn (0x76) becomes Shift-F3 (0x56).
std::string UpperKey(std::string_view key);
