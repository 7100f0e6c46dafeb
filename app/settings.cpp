#include "app/settings.h"

std::int32_t BeepEnabled = 1;
std::int32_t GfxScreenMode = 17;
std::int32_t DefaultBackColor = 0;
std::int32_t TextFg = 7;
std::int32_t TextBg = 0;
std::int32_t BaudRate = 115200;
std::int32_t UartPort = 0x352;
std::int32_t UartRegBase = 0;
std::int32_t AuxPort = 0x2A4;

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

std::string ExtendedKey(std::uint8_t scanCode) {
  return std::string{static_cast<char>(0xFF), static_cast<char>(scanCode)};
}

std::string UpperKey(std::string key) {
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

void InitSettings() {
  BeepEnabled = 1;
  GfxScreenMode = 17;
  DefaultBackColor = 0;

  std::string* const fKeys[] = {&KeyF1, &KeyF2, &KeyF3, &KeyF4, &KeyF5,
                                &KeyF6, &KeyF7, &KeyF8, &KeyF9, &KeyF10};
  std::string* const shiftKeys[] = {&KeyShiftF1, &KeyShiftF2, &KeyShiftF3, &KeyShiftF4,
                                    &KeyShiftF5, &KeyShiftF6, &KeyShiftF7, &KeyShiftF8,
                                    &KeyShiftF9, &KeyShiftF10};
  std::string* const ctrlKeys[] = {&KeyCtrlF1, &KeyCtrlF2, &KeyCtrlF3, &KeyCtrlF4, &KeyCtrlF5,
                                   &KeyCtrlF6, &KeyCtrlF7, &KeyCtrlF8, &KeyCtrlF9, &KeyCtrlF10};
  for (std::uint8_t i = 0; i < 10; ++i) {
    *fKeys[i] = ExtendedKey(static_cast<std::uint8_t>(0x3B + i));
    *shiftKeys[i] = ExtendedKey(static_cast<std::uint8_t>(0x54 + i));
    *ctrlKeys[i] = ExtendedKey(static_cast<std::uint8_t>(0x5E + i));
  }
  KeyF11 = ExtendedKey(0x85);
  KeyF12 = ExtendedKey(0x86);
  KeyShiftF11 = ExtendedKey(0x87);
  KeyShiftF12 = ExtendedKey(0x88);
  KeyCtrlF11 = ExtendedKey(0x89);
  KeyCtrlF12 = ExtendedKey(0x8A);

  KeyLeft = ExtendedKey(0x4B);
  KeyRight = ExtendedKey(0x4D);
  KeyUp = ExtendedKey(0x48);
  KeyDown = ExtendedKey(0x50);
  KeyPgUp = ExtendedKey(0x49);
  KeyPgDn = ExtendedKey(0x51);
  KeyHome = ExtendedKey(0x47);
  KeyEnd = ExtendedKey(0x4F);
  KeyIns = ExtendedKey(0x52);
  KeyDel = ExtendedKey(0x53);
  KeyCtrlUp = ExtendedKey(0x8D);
  KeyCtrlDown = ExtendedKey(0x91);
  KeyCtrlPgUp = ExtendedKey(0x84);
  KeyCtrlIns = ExtendedKey(0x92);
  KeyCtrlDel = ExtendedKey(0x93);
  KeyShiftTab = ExtendedKey(0x0F);

  KeyTab = std::string(1, '\t');
  KeyEnter = std::string(1, '\r');
  KeyEsc = std::string(1, '\x1B');

  KeyCtrlLeftUpper = ExtendedKey(0x53);
  KeyCtrlRightUpper = ExtendedKey(0x54);
  KeyCtrlEndUpper = ExtendedKey(0x55);
  KeyCtrlPgDnUpper = ExtendedKey(0x56);
  KeyCtrlHomeUpper = ExtendedKey(0x57);
}
