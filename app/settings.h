#pragma once
// Process-wide settings and the named key constants every screen shares.

#include <cstdint>
#include <string>

#include "console/key_codes.h"

// The settings, each a 32-bit signed integer. Each gets its start value in
// one place, in the two groups start-up gives them: InitSettings first, then
// InitScreenColors when the screen is first cleared and InitPortSettings once
// the configuration file is loaded. BaudRate starts at kStartBaudRate, which
// LoadConfig gives it before it reads the file.
extern std::int32_t BeepEnabled;
extern std::int32_t GfxScreenMode;
extern std::int32_t DefaultBackColor;
extern std::int32_t TextFg;
extern std::int32_t TextBg;
extern std::int32_t BaudRate;
extern std::int32_t UartPort;
extern std::int32_t UartRegBase;
extern std::int32_t AuxPort;

inline constexpr std::int32_t kStartBaudRate = 115200;

// Key codes as ReadKey returns them (console/key_codes.h), made from the
// scan code table by InitSettings.
extern std::string KeyF1, KeyF2, KeyF3, KeyF4, KeyF5, KeyF6, KeyF7, KeyF8, KeyF9, KeyF10, KeyF11,
    KeyF12;
extern std::string KeyShiftF1, KeyShiftF2, KeyShiftF3, KeyShiftF4, KeyShiftF5, KeyShiftF6,
    KeyShiftF7, KeyShiftF8, KeyShiftF9, KeyShiftF10, KeyShiftF11, KeyShiftF12;
extern std::string KeyCtrlF1, KeyCtrlF2, KeyCtrlF3, KeyCtrlF4, KeyCtrlF5, KeyCtrlF6, KeyCtrlF7,
    KeyCtrlF8, KeyCtrlF9, KeyCtrlF10, KeyCtrlF11, KeyCtrlF12;
extern std::string KeyLeft, KeyRight, KeyUp, KeyDown, KeyPgUp, KeyPgDn, KeyHome, KeyEnd, KeyIns,
    KeyDel;
extern std::string KeyCtrlUp, KeyCtrlDown, KeyCtrlPgUp, KeyCtrlIns, KeyCtrlDel, KeyShiftTab;
extern std::string KeyTab, KeyEnter, KeyEsc;
// Ctrl-Left, Ctrl-Right, Ctrl-End, Ctrl-PgDn and Ctrl-Home after upper-casing
// (their scan codes 0x73 to 0x77 are lower-case letters): they then equal Del
// and Shift-F1 to Shift-F4.
extern std::string KeyCtrlLeftUpper, KeyCtrlRightUpper, KeyCtrlEndUpper, KeyCtrlPgDnUpper,
    KeyCtrlHomeUpper;

// BeepEnabled 1, GfxScreenMode 17, DefaultBackColor 0, and every key
// constant built.
void InitSettings();
// TextFg 7 (light grey) and TextBg 0 (black).
void InitScreenColors();
// AuxPort 0x2A4, UartPort 0x352, UartRegBase 0.
void InitPortSettings();
