#include <gtest/gtest.h>

#include "app/settings.h"

namespace {

// Each group sets its own settings and leaves the others as they were, so
// that start-up can give them at the points it reaches them.
TEST(Settings, EachGroupGivesItsOwnStartValues) {
  std::int32_t* const all[] = {&BeepEnabled, &GfxScreenMode, &DefaultBackColor, &TextFg, &TextBg,
                               &BaudRate,    &UartPort,      &UartRegBase,      &AuxPort};
  const auto scramble = [&] {
    for (std::int32_t* setting : all) *setting = -5;
  };

  scramble();
  InitSettings();
  EXPECT_EQ(BeepEnabled, 1);
  EXPECT_EQ(GfxScreenMode, 17);
  EXPECT_EQ(DefaultBackColor, 0);
  for (std::int32_t* other : {&TextFg, &TextBg, &BaudRate, &UartPort, &UartRegBase, &AuxPort}) {
    EXPECT_EQ(*other, -5);
  }

  scramble();
  InitScreenColors();
  EXPECT_EQ(TextFg, 7);
  EXPECT_EQ(TextBg, 0);
  for (std::int32_t* other : {&BeepEnabled, &GfxScreenMode, &DefaultBackColor, &BaudRate, &UartPort,
                              &UartRegBase, &AuxPort}) {
    EXPECT_EQ(*other, -5);
  }

  scramble();
  InitPortSettings();
  EXPECT_EQ(UartPort, 0x352);
  EXPECT_EQ(UartRegBase, 0);
  EXPECT_EQ(AuxPort, 0x2A4);
  for (std::int32_t* other :
       {&BeepEnabled, &GfxScreenMode, &DefaultBackColor, &TextFg, &TextBg, &BaudRate}) {
    EXPECT_EQ(*other, -5);
  }
  // BaudRate's start value is LoadConfig's to give (config_file_test).
  EXPECT_EQ(kStartBaudRate, 115200);
}

TEST(Settings, KeyConstantsAreThePcScanCodes) {
  InitSettings();
  const struct {
    const std::string& key;
    int scan;
  } keys[] = {{KeyF1, 0x3B},       {KeyF10, 0x44},      {KeyF11, 0x85},      {KeyF12, 0x86},
              {KeyShiftF1, 0x54},  {KeyShiftF2, 0x55},  {KeyShiftF10, 0x5D}, {KeyShiftF11, 0x87},
              {KeyShiftF12, 0x88}, {KeyCtrlF1, 0x5E},   {KeyCtrlF10, 0x67},  {KeyCtrlF11, 0x89},
              {KeyCtrlF12, 0x8A},  {KeyLeft, 0x4B},     {KeyRight, 0x4D},    {KeyUp, 0x48},
              {KeyDown, 0x50},     {KeyPgUp, 0x49},     {KeyPgDn, 0x51},     {KeyHome, 0x47},
              {KeyEnd, 0x4F},      {KeyIns, 0x52},      {KeyDel, 0x53},      {KeyCtrlUp, 0x8D},
              {KeyCtrlDown, 0x91}, {KeyCtrlPgUp, 0x84}, {KeyCtrlIns, 0x92},  {KeyCtrlDel, 0x93},
              {KeyShiftTab, 0x0F}};
  for (const auto& k : keys) {
    ASSERT_EQ(k.key.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(k.key[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(k.key[1]), k.scan);
  }
  EXPECT_EQ(KeyEnter, "\r");
  EXPECT_EQ(KeyTab, "\t");
  EXPECT_EQ(KeyEsc, "\x1B");
}

TEST(Settings, UpperCasedCtrlKeysMatchOnlyAfterUpperCasing) {
  InitSettings();
  const std::string ctrlLeft = ExtendedKey(0x73);
  EXPECT_NE(ctrlLeft, KeyDel);
  EXPECT_NE(ctrlLeft, KeyCtrlLeftUpper);
  EXPECT_EQ(UpperKey(ctrlLeft), KeyDel);
  EXPECT_EQ(UpperKey(ctrlLeft), KeyCtrlLeftUpper);
  EXPECT_EQ(UpperKey(ExtendedKey(0x74)), KeyShiftF1);
  EXPECT_EQ(UpperKey(ExtendedKey(0x75)), KeyCtrlEndUpper);
  EXPECT_EQ(UpperKey(ExtendedKey(0x76)), KeyShiftF3) << "Ctrl-PgDn upper-cased reads as Shift-F3";
  EXPECT_EQ(UpperKey(ExtendedKey(0x77)), KeyCtrlHomeUpper);
  EXPECT_EQ(UpperKey("q"), "Q");
  EXPECT_EQ(UpperKey(KeyF1), KeyF1);
}

}  // namespace
