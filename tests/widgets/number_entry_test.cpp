#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/settings.h"
#include "console/memory_console.h"
#include "console/program_end.h"
#include "tests/support/screen_helpers.h"
#include "widgets/number_entry.h"

namespace {

class NumberEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSettings();
    console = &AttachMemoryConsole();
    SetColor(7, 0);
    ClearScreen();
  }
  void TearDown() override { ConsoleDetach(); }
  // Types the answer and Enter, to be read by the next entry call.
  void Answer(const std::string& text) { console->PushText(text + "\r"); }
  MemoryConsole* console = nullptr;
};

TEST_F(NumberEntryTest, ReadNumberPrintsPromptHintAndEcho) {
  Locate(3, 5);
  Answer("h ff");
  EXPECT_EQ(ReadNumber("Count"), 255);
  EXPECT_EQ(ScreenLine(3), "    Count (xx=dec Hxx=hexa Bxx=bin):? h ff");
  EXPECT_EQ(console->KeysLeft(), 0u);
}

TEST_F(NumberEntryTest, ReadNumberAnswers) {
  const struct {
    std::string typed;
    std::int32_t expected;
  } cases[] = {
      {"", 0},
      {"  42  ", 42},
      {"-5", -5},
      {"h ff", 255},
      {"HFF00", 0xFF00},
      {"H12 34", 0x1234},
      {"H1.2.3", 0x123},
      {"H", 0},
      {"HXYZ", 0},
      {"HFFFFFFFF", -1},
      {"B1010", 10},
      {"B1111 0000", 240},
      {"b1.0000.0001", 0x101},
      {"B12", 1},
      {"&H1F", 31},
      {"&h1f", 31},
      {"42,99", 42},
      {",7", 0},
      {"3.7", 4},
      {"4294967297", 1},
      {"nothing", 0},
      // Digits beyond the four bytes have no place and are ignored.
      {"H123456789", 0x23456789},
      {"HABCDEF0123", static_cast<std::int32_t>(0xCDEF0123u)},
      {"B1" + std::string(32, '0'), 0},
      {"B" + std::string(33, '1'), -1},
  };
  for (const auto& c : cases) {
    Answer(c.typed);
    EXPECT_EQ(ReadNumber(""), c.expected) << '"' << c.typed << '"';
  }
  EXPECT_EQ(console->KeysLeft(), 0u);
}

TEST_F(NumberEntryTest, InputHex32PrintsItsHintWithATrailingSpace) {
  Answer("12ab");
  std::int32_t value = 0;
  std::int32_t empty = 7;
  InputHex32("Addr", value, empty);
  EXPECT_EQ(value, 0x12AB);
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(ScreenLine(1), "Addr (xx=H.e x, &Dxx=Dec) ? 12ab");
}

TEST_F(NumberEntryTest, InputHex32Answers) {
  const struct {
    std::string typed;
    std::int32_t expected;
  } cases[] = {
      {"12ab", 0x12AB},
      {"1234.5678", 0x12345678},
      {"H1F", 0x1F},
      {"0x10", 0x10},
      {"xyz", 0},
      {"   ", 0},
      {"ab,cd", 0xAB},
      {"&D100", 100},
      {"&d-5", -5},
      {"&D 12", 12},
      {"&D12x3", 12},
      {"&D4294967295", -1},
      {"123456789", 0x23456789},
      {"FFFFFFFF", -1},
  };
  for (const auto& c : cases) {
    Answer(c.typed);
    std::int32_t value = 0x5A5A;
    std::int32_t empty = 1;
    InputHex32("", value, empty);
    EXPECT_EQ(value, c.expected) << '"' << c.typed << '"';
    EXPECT_EQ(empty, 0) << '"' << c.typed << '"';
  }
}

TEST_F(NumberEntryTest, EmptyLineSetsEmptyAndLeavesTheValue) {
  Answer("");
  std::int32_t value = 0x1234;
  std::int32_t empty = 0;
  InputHex32("", value, empty);
  EXPECT_EQ(empty, 1);
  EXPECT_EQ(value, 0x1234);

  Answer("");
  std::int64_t wide = 0x123456789;
  empty = 0;
  InputHex64("", wide, empty);
  EXPECT_EQ(empty, 1);
  EXPECT_EQ(wide, 0x123456789);

  Answer("");
  EXPECT_EQ(ReadHex32(""), 0);
  Answer("");
  EXPECT_EQ(ReadHex64(""), 0);
}

TEST_F(NumberEntryTest, InputHex64ReadsSixtyFourBits) {
  Answer("1234.5678.9abc.def0");
  std::int64_t value = 0;
  std::int32_t empty = 1;
  InputHex64("Q", value, empty);
  EXPECT_EQ(value, 0x123456789ABCDEF0);
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(ScreenLine(1), "Q (xx=H.e x, &Dxx=Dec):? 1234.5678.9abc.def0");

  const struct {
    std::string typed;
    std::int64_t expected;
  } cases[] = {
      {"&D-5", -5},
      {"&D9000000000", 9000000000},
      {"FFFFFFFFFFFFFFFF", -1},
      {"1.0000.0000", 0x100000000},
  };
  for (const auto& c : cases) {
    Answer(c.typed);
    EXPECT_EQ(ReadHex64(""), c.expected) << '"' << c.typed << '"';
  }
  Answer("1.0000.0001");
  EXPECT_EQ(ReadHex32(""), 1) << "the 32-bit entry keeps the low 32 bits";
}

TEST(HexToIntTest, ConvertsUpToEightDigits) {
  const struct {
    std::string text;
    std::int32_t expected;
    std::string after;
  } cases[] = {
      {"  1f", 31, "1f"},
      {"aBcD", 0xABCD, "aBcD"},
      {"12345678", 0x12345678, "12345678"},
      {"FFFFFFFF", -1, "FFFFFFFF"},
      {"80000000", static_cast<std::int32_t>(0x80000000u), "80000000"},
      {"g1", 1, "g1"},
      {"1 2", 0x102, "1 2"},
      {"        0000000A", 10, "0000000A"},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(HexToInt(text), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(text, c.after) << '"' << c.text << '"';
  }
}

using HexToIntEnd = NumberEntryTest;

void ExpectEndsWithMessage(const std::string& input) {
  ClearScreen();
  std::string text = input;
  try {
    HexToInt(text);
    ADD_FAILURE() << "HexToInt returned for \"" << input << '"';
  } catch (const ProgramEnd& end) {
    EXPECT_EQ(end.status, 0) << '"' << input << '"';
    EXPECT_EQ(ScreenLine(1), "Too long hexa string!") << '"' << input << '"';
  }
}

TEST_F(HexToIntEnd, EmptyOrTooLongTextEndsTheProgram) {
  for (const std::string input : {"123456789", "", "     ", "  123456789"}) {
    ExpectEndsWithMessage(input);
  }
}

TEST(ByteHelpers, PackAndUnpack) {
  EXPECT_EQ(PackBytes(1, 2, 3, 4), 0x04030201);
  EXPECT_EQ(PackBytes(0x1FF, -1, 256, 0x80), static_cast<std::int32_t>(0x8000FFFFu))
      << "only the low 8 bits of each byte count";
  const struct {
    std::int32_t v;
    std::int32_t b0, b1, b2, b3;
  } cases[] = {
      {static_cast<std::int32_t>(0x80000001u), 1, 0, 0, 128},
      {-1, 255, 255, 255, 255},
      {0x12345678, 0x78, 0x56, 0x34, 0x12},
      {0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    std::int32_t b0 = -1, b1 = -1, b2 = -1, b3 = -1;
    UnpackBytes(c.v, b0, b1, b2, b3);
    EXPECT_EQ(b0, c.b0) << c.v;
    EXPECT_EQ(b1, c.b1) << c.v;
    EXPECT_EQ(b2, c.b2) << c.v;
    EXPECT_EQ(b3, c.b3) << c.v;
    EXPECT_EQ(PackBytes(b0, b1, b2, b3), c.v);
  }
}

TEST(ByteHelpers, SwapHalvesAndBytes) {
  std::int32_t v = 0x12345678;
  SwapHalves(v);
  EXPECT_EQ(v, 0x56781234);
  SwapHalves(v);
  EXPECT_EQ(v, 0x12345678);
  SwapBytes(v);
  EXPECT_EQ(v, 0x78563412);
  SwapBytes(v);
  EXPECT_EQ(v, 0x12345678);

  v = 0x80;
  SwapBytes(v);
  EXPECT_EQ(v, static_cast<std::int32_t>(0x80000000u));
  v = static_cast<std::int32_t>(0xFFFF0001u);
  SwapHalves(v);
  EXPECT_EQ(v, 0x0001FFFF);
}

TEST_F(NumberEntryTest, PressAnyKeyTimedEndsEarlyOnAKeyAndLeavesIt) {
  Locate(3, 9);
  console->PushKey("k", 120);
  PressAnyKeyTimed(1000);
  EXPECT_EQ(ScreenLine(4), "Press any key to continue");
  EXPECT_EQ(CursorRow(), 5);
  EXPECT_EQ(CursorCol(), 1);
  EXPECT_EQ(console->NowMsValue(), 150u) << "checked every 50 ms";
  EXPECT_EQ(ReadKey(), "k");

  const auto start = console->NowMsValue();
  PressAnyKeyTimed(1000);
  EXPECT_EQ(console->NowMsValue() - start, 1000u) << "no key: the full time";

  console->PushKey("z", 0);
  const auto before = console->NowMsValue();
  PressAnyKeyTimed(60);
  EXPECT_EQ(console->NowMsValue() - before, 60u) << "below 100 ms a plain sleep";
  EXPECT_EQ(ReadKey(), "z");
}

}  // namespace
