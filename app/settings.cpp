#include "app/settings.h"

// Zero until start-up gives them their start values (app/settings.h).
std::int32_t BeepEnabled = 0;
std::int32_t GfxScreenMode = 0;
std::int32_t DefaultBackColor = 0;
std::int32_t TextFg = 0;
std::int32_t TextBg = 0;
std::int32_t BaudRate = 0;
std::int32_t UartPort = 0;
std::int32_t UartRegBase = 0;
std::int32_t AuxPort = 0;

std::string KeyF1, KeyF2, KeyF3, KeyF4, KeyF5, KeyF6, KeyF7, KeyF8, KeyF9, KeyF10, KeyF11, KeyF12;
std::string KeyShiftF1, KeyShiftF2, KeyShiftF3, KeyShiftF4, KeyShiftF5, KeyShiftF6, KeyShiftF7,
    KeyShiftF8, KeyShiftF9, KeyShiftF10, KeyShiftF11, KeyShiftF12;
std::string KeyCtrlF1, KeyCtrlF2, KeyCtrlF3, KeyCtrlF4, KeyCtrlF5, KeyCtrlF6, KeyCtrlF7, KeyCtrlF8,
    KeyCtrlF9, KeyCtrlF10, KeyCtrlF11, KeyCtrlF12;
std::string KeyLeft, KeyRight, KeyUp, KeyDown, KeyPgUp, KeyPgDn, KeyHome, KeyEnd, KeyIns, KeyDel;
std::string KeyCtrlUp, KeyCtrlDown, KeyCtrlPgUp, KeyCtrlIns, KeyCtrlDel, KeyShiftTab;
std::string KeyTab, KeyEnter, KeyEsc;
std::string KeyCtrlLeftUpper, KeyCtrlRightUpper, KeyCtrlEndUpper, KeyCtrlPgDnUpper,
    KeyCtrlHomeUpper;

namespace {

struct KeyConstant {
  std::string* text;
  NamedKey key;
};

// clang-format off
const KeyConstant kKeyConstants[] = {
    {&KeyF1, NamedKey::F1},           {&KeyF2, NamedKey::F2},
    {&KeyF3, NamedKey::F3},           {&KeyF4, NamedKey::F4},
    {&KeyF5, NamedKey::F5},           {&KeyF6, NamedKey::F6},
    {&KeyF7, NamedKey::F7},           {&KeyF8, NamedKey::F8},
    {&KeyF9, NamedKey::F9},           {&KeyF10, NamedKey::F10},
    {&KeyF11, NamedKey::F11},         {&KeyF12, NamedKey::F12},
    {&KeyShiftF1, NamedKey::ShiftF1}, {&KeyShiftF2, NamedKey::ShiftF2},
    {&KeyShiftF3, NamedKey::ShiftF3}, {&KeyShiftF4, NamedKey::ShiftF4},
    {&KeyShiftF5, NamedKey::ShiftF5}, {&KeyShiftF6, NamedKey::ShiftF6},
    {&KeyShiftF7, NamedKey::ShiftF7}, {&KeyShiftF8, NamedKey::ShiftF8},
    {&KeyShiftF9, NamedKey::ShiftF9}, {&KeyShiftF10, NamedKey::ShiftF10},
    {&KeyShiftF11, NamedKey::ShiftF11}, {&KeyShiftF12, NamedKey::ShiftF12},
    {&KeyCtrlF1, NamedKey::CtrlF1},   {&KeyCtrlF2, NamedKey::CtrlF2},
    {&KeyCtrlF3, NamedKey::CtrlF3},   {&KeyCtrlF4, NamedKey::CtrlF4},
    {&KeyCtrlF5, NamedKey::CtrlF5},   {&KeyCtrlF6, NamedKey::CtrlF6},
    {&KeyCtrlF7, NamedKey::CtrlF7},   {&KeyCtrlF8, NamedKey::CtrlF8},
    {&KeyCtrlF9, NamedKey::CtrlF9},   {&KeyCtrlF10, NamedKey::CtrlF10},
    {&KeyCtrlF11, NamedKey::CtrlF11}, {&KeyCtrlF12, NamedKey::CtrlF12},
    {&KeyLeft, NamedKey::Left},       {&KeyRight, NamedKey::Right},
    {&KeyUp, NamedKey::Up},           {&KeyDown, NamedKey::Down},
    {&KeyPgUp, NamedKey::PgUp},       {&KeyPgDn, NamedKey::PgDn},
    {&KeyHome, NamedKey::Home},       {&KeyEnd, NamedKey::End},
    {&KeyIns, NamedKey::Ins},         {&KeyDel, NamedKey::Del},
    {&KeyCtrlUp, NamedKey::CtrlUp},   {&KeyCtrlDown, NamedKey::CtrlDown},
    {&KeyCtrlPgUp, NamedKey::CtrlPgUp}, {&KeyCtrlIns, NamedKey::CtrlIns},
    {&KeyCtrlDel, NamedKey::CtrlDel}, {&KeyShiftTab, NamedKey::ShiftTab},
};
// Ctrl-Left, Ctrl-Right, Ctrl-End, Ctrl-PgDn and Ctrl-Home as upper-casing
// leaves them.
const KeyConstant kUpperCasedConstants[] = {
    {&KeyCtrlLeftUpper, NamedKey::CtrlLeft}, {&KeyCtrlRightUpper, NamedKey::CtrlRight},
    {&KeyCtrlEndUpper, NamedKey::CtrlEnd},   {&KeyCtrlPgDnUpper, NamedKey::CtrlPgDn},
    {&KeyCtrlHomeUpper, NamedKey::CtrlHome},
};
// clang-format on

}  // namespace

void InitSettings() {
  BeepEnabled = 1;
  GfxScreenMode = 17;
  DefaultBackColor = 0;

  for (const KeyConstant& constant : kKeyConstants) *constant.text = KeyString(constant.key);
  for (const KeyConstant& constant : kUpperCasedConstants) {
    *constant.text = UpperKey(KeyString(constant.key));
  }
  KeyTab = std::string(1, '\t');
  KeyEnter = std::string(1, '\r');
  KeyEsc = std::string(1, '\x1B');
}

void InitScreenColors() {
  TextFg = 7;
  TextBg = 0;
}

void InitPortSettings() {
  AuxPort = 0x2A4;
  UartPort = 0x352;
  UartRegBase = 0;
}
