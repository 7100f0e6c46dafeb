// The scan code table and what is read from it.

#include "console/key_codes.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(KeyCodes, EveryNamedKeyHasAScanCodeOfItsOwn) {
  std::set<std::uint8_t> scans;
  std::set<std::string_view> names;
  for (const NamedKeyScan& entry : kNamedKeys) {
    EXPECT_TRUE(scans.insert(entry.scan).second) << entry.name << " shares its scan code";
    EXPECT_TRUE(names.insert(entry.name).second) << entry.name << " is named twice";
    EXPECT_EQ(NamedKeyOf(KeyString(entry.key)), entry.key) << entry.name;
  }
}

TEST(KeyCodes, FunctionKeysAreFoundByNumberAndRunBothWays) {
  const struct {
    FunctionKeyRun run;
    int scanOfF1;
    int scanOfF11;
  } runs[] = {{FunctionKeyRun::Plain, 0x3B, 0x85},
              {FunctionKeyRun::Shift, 0x54, 0x87},
              {FunctionKeyRun::Ctrl, 0x5E, 0x89}};
  for (const auto& r : runs) {
    for (int n = 1; n <= 12; ++n) {
      const std::uint8_t scan = ScanCode(FunctionKey(n, r.run));
      // F1 to F10 are consecutive; F11 and F12 lie elsewhere.
      EXPECT_EQ(scan, n <= 10 ? r.scanOfF1 + n - 1 : r.scanOfF11 + n - 11) << n;
      const auto press = FunctionKeyOf(ExtendedKey(scan));
      ASSERT_TRUE(press.has_value()) << n;
      EXPECT_EQ(press->number, n);
      EXPECT_EQ(press->run, r.run);
    }
  }
  EXPECT_FALSE(FunctionKeyOf(KeyString(NamedKey::Up)).has_value());
  EXPECT_FALSE(FunctionKeyOf("\x3B").has_value()) << "a one-byte key is no function key";
  EXPECT_FALSE(FunctionKeyOf("").has_value());
  EXPECT_FALSE(NamedKeyOf(ExtendedKey(0x01)).has_value()) << "a scan code the table lacks";
}

TEST(KeyCodes, UpperCasingReachesTheScanCode) {
  EXPECT_EQ(UpperKey(KeyString(NamedKey::CtrlPgDn)), KeyString(NamedKey::ShiftF3));
  EXPECT_EQ(UpperKey(KeyString(NamedKey::CtrlLeft)), KeyString(NamedKey::Del));
  EXPECT_EQ(UpperKey(KeyString(NamedKey::F1)), KeyString(NamedKey::F1));
  EXPECT_EQ(UpperKey("q"), "Q");
}

}  // namespace
