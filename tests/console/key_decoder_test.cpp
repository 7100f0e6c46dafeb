#include "console/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Ext(int scanCode) {
  return std::string("\xFF") + static_cast<char>(scanCode);
}

// Feeds the bytes as one burst (as a terminal delivers a keystroke), lets
// the pause after them pass, and collects every key that came out.
std::vector<std::string> Decode(const std::string& bytes, bool utf8 = true) {
  KeyDecoder decoder(utf8);
  decoder.Feed(bytes);
  decoder.FlushPending();
  std::vector<std::string> keys;
  while (decoder.HasKey()) keys.push_back(decoder.TakeKey());
  return keys;
}

struct Case {
  const char* name;
  std::string bytes;
  std::string key;
};

void ExpectEachDecodesToOneKey(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> keys = Decode(c.bytes);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0], c.key);
  }
}

TEST(KeyDecoderXterm, FunctionKeysPlainShiftAndCtrl) {
  ExpectEachDecodesToOneKey({
      {"F1", "\x1bOP", Ext(0x3B)},
      {"F2", "\x1bOQ", Ext(0x3C)},
      {"F3", "\x1bOR", Ext(0x3D)},
      {"F4", "\x1bOS", Ext(0x3E)},
      {"F5", "\x1b[15~", Ext(0x3F)},
      {"F6", "\x1b[17~", Ext(0x40)},
      {"F7", "\x1b[18~", Ext(0x41)},
      {"F8", "\x1b[19~", Ext(0x42)},
      {"F9", "\x1b[20~", Ext(0x43)},
      {"F10", "\x1b[21~", Ext(0x44)},
      {"F11", "\x1b[23~", Ext(0x85)},
      {"F12", "\x1b[24~", Ext(0x86)},
      {"Shift-F1", "\x1b[1;2P", Ext(0x54)},
      {"Shift-F2", "\x1b[1;2Q", Ext(0x55)},
      {"Shift-F3", "\x1b[1;2R", Ext(0x56)},
      {"Shift-F4", "\x1b[1;2S", Ext(0x57)},
      {"Shift-F5", "\x1b[15;2~", Ext(0x58)},
      {"Shift-F6", "\x1b[17;2~", Ext(0x59)},
      {"Shift-F7", "\x1b[18;2~", Ext(0x5A)},
      {"Shift-F8", "\x1b[19;2~", Ext(0x5B)},
      {"Shift-F9", "\x1b[20;2~", Ext(0x5C)},
      {"Shift-F10", "\x1b[21;2~", Ext(0x5D)},
      {"Shift-F11", "\x1b[23;2~", Ext(0x87)},
      {"Shift-F12", "\x1b[24;2~", Ext(0x88)},
      {"Ctrl-F1", "\x1b[1;5P", Ext(0x5E)},
      {"Ctrl-F2", "\x1b[1;5Q", Ext(0x5F)},
      {"Ctrl-F3", "\x1b[1;5R", Ext(0x60)},
      {"Ctrl-F4", "\x1b[1;5S", Ext(0x61)},
      {"Ctrl-F5", "\x1b[15;5~", Ext(0x62)},
      {"Ctrl-F6", "\x1b[17;5~", Ext(0x63)},
      {"Ctrl-F7", "\x1b[18;5~", Ext(0x64)},
      {"Ctrl-F8", "\x1b[19;5~", Ext(0x65)},
      {"Ctrl-F9", "\x1b[20;5~", Ext(0x66)},
      {"Ctrl-F10", "\x1b[21;5~", Ext(0x67)},
      {"Ctrl-F11", "\x1b[23;5~", Ext(0x89)},
      {"Ctrl-F12", "\x1b[24;5~", Ext(0x8A)},
      {"Ctrl-Shift-F1 reads as Ctrl-F1", "\x1b[1;6P", Ext(0x5E)},
      {"Alt-F5 reads as F5", "\x1b[15;3~", Ext(0x3F)},
  });
}

TEST(KeyDecoderXterm, CursorAndEditingKeys) {
  ExpectEachDecodesToOneKey({
      {"Up", "\x1b[A", Ext(0x48)},
      {"Down", "\x1b[B", Ext(0x50)},
      {"Right", "\x1b[C", Ext(0x4D)},
      {"Left", "\x1b[D", Ext(0x4B)},
      {"Home", "\x1b[H", Ext(0x47)},
      {"End", "\x1b[F", Ext(0x4F)},
      {"Ins", "\x1b[2~", Ext(0x52)},
      {"Del", "\x1b[3~", Ext(0x53)},
      {"PgUp", "\x1b[5~", Ext(0x49)},
      {"PgDn", "\x1b[6~", Ext(0x51)},
      {"Ctrl-Up", "\x1b[1;5A", Ext(0x8D)},
      {"Ctrl-Down", "\x1b[1;5B", Ext(0x91)},
      {"Ctrl-Right", "\x1b[1;5C", Ext(0x74)},
      {"Ctrl-Left", "\x1b[1;5D", Ext(0x73)},
      {"Ctrl-Home", "\x1b[1;5H", Ext(0x77)},
      {"Ctrl-End", "\x1b[1;5F", Ext(0x75)},
      {"Ctrl-Ins", "\x1b[2;5~", Ext(0x92)},
      {"Ctrl-Del", "\x1b[3;5~", Ext(0x93)},
      {"Ctrl-PgUp", "\x1b[5;5~", Ext(0x84)},
      {"Ctrl-PgDn", "\x1b[6;5~", Ext(0x76)},
      {"Shift-Tab", "\x1b[Z", Ext(0x0F)},
      {"Shift-Up reads as Up", "\x1b[1;2A", Ext(0x48)},
      {"Shift-Left reads as Left", "\x1b[1;2D", Ext(0x4B)},
      {"Shift-Home reads as Home", "\x1b[1;2H", Ext(0x47)},
      {"Shift-PgDn reads as PgDn", "\x1b[6;2~", Ext(0x51)},
      {"Shift-Del reads as Del", "\x1b[3;2~", Ext(0x53)},
      {"Ctrl-Shift-Up reads as Ctrl-Up", "\x1b[1;6A", Ext(0x8D)},
      {"Up in application mode", "\x1bOA", Ext(0x48)},
      {"Left in application mode", "\x1bOD", Ext(0x4B)},
      {"Home in application mode", "\x1bOH", Ext(0x47)},
      {"End in application mode", "\x1bOF", Ext(0x4F)},
  });
}

TEST(KeyDecoderOtherTerminals, VtLinuxConsoleTmuxAndRxvtForms) {
  ExpectEachDecodesToOneKey({
      {"VT220 F1", "\x1b[11~", Ext(0x3B)},
      {"VT220 F4", "\x1b[14~", Ext(0x3E)},
      {"Linux console F1", "\x1b[[A", Ext(0x3B)},
      {"Linux console F3", "\x1b[[C", Ext(0x3D)},
      {"Linux console F5", "\x1b[[E", Ext(0x3F)},
      {"Linux console and tmux Home", "\x1b[1~", Ext(0x47)},
      {"Linux console and tmux End", "\x1b[4~", Ext(0x4F)},
      {"rxvt Home", "\x1b[7~", Ext(0x47)},
      {"rxvt End", "\x1b[8~", Ext(0x4F)},
      {"VT220 F13 is Shift-F3", "\x1b[25~", Ext(0x56)},
      {"VT220 F14 is Shift-F4", "\x1b[26~", Ext(0x57)},
      {"VT220 F15 is Shift-F5", "\x1b[28~", Ext(0x58)},
      {"VT220 F16 is Shift-F6", "\x1b[29~", Ext(0x59)},
      {"VT220 F17 is Shift-F7", "\x1b[31~", Ext(0x5A)},
      {"VT220 F20 is Shift-F10", "\x1b[34~", Ext(0x5D)},
      {"rxvt Shift-F11", "\x1b[23$", Ext(0x87)},
      {"rxvt Shift-F12", "\x1b[24$", Ext(0x88)},
      {"rxvt Ctrl-F1", "\x1b[11^", Ext(0x5E)},
      {"rxvt Ctrl-F12", "\x1b[24^", Ext(0x8A)},
      {"rxvt Ctrl-Shift-F2 reads as Ctrl-F2", "\x1b[12@", Ext(0x5F)},
      {"rxvt Ctrl-Home", "\x1b[7^", Ext(0x77)},
      {"rxvt Ctrl-PgDn", "\x1b[6^", Ext(0x76)},
      {"rxvt Shift-Home reads as Home", "\x1b[7$", Ext(0x47)},
      {"rxvt Shift-Up reads as Up", "\x1b[a", Ext(0x48)},
      {"rxvt Shift-Left reads as Left", "\x1b[d", Ext(0x4B)},
      {"rxvt Ctrl-Up", "\x1bOa", Ext(0x8D)},
      {"rxvt Ctrl-Down", "\x1bOb", Ext(0x91)},
      {"rxvt Ctrl-Right", "\x1bOc", Ext(0x74)},
      {"rxvt Ctrl-Left", "\x1bOd", Ext(0x73)},
      {"SS3 with modifier Shift-F1", "\x1bO2P", Ext(0x54)},
      {"SS3 with modifier Ctrl-F4", "\x1bO5S", Ext(0x61)},
      {"old xterm Ctrl-Up", "\x1b[5A", Ext(0x8D)},
      {"keypad Enter", "\x1bOM", "\r"},
      {"keypad 7", "\x1bOw", "7"},
      {"keypad plus", "\x1bOk", "+"},
  });
}

TEST(KeyDecoderOrdinaryKeys, ControlBytesAndPrintables) {
  ExpectEachDecodesToOneKey({
      {"Enter as CR", "\r", "\r"},
      {"Backspace sent as DEL", "\x7f", "\x08"},
      {"Backspace sent as BS", "\x08", "\x08"},
      {"Tab", "\t", "\t"},
      {"Ctrl-A", "\x01", "\x01"},
      {"Ctrl-C is a key in raw mode", "\x03", "\x03"},
      {"Ctrl-Z", "\x1a", "\x1a"},
      {"space", " ", " "},
      {"tilde", "~", "~"},
      {"letter", "q", "q"},
      {"Esc alone", "\x1b", "\x1b"},
  });
}

TEST(KeyDecoderEscape, LoneEscWaitsForTheTimeout) {
  KeyDecoder decoder;
  decoder.Feed(0x1b);
  EXPECT_TRUE(decoder.Pending());
  EXPECT_FALSE(decoder.HasKey()) << "Esc must not be reported before the pause";
  decoder.FlushPending();
  EXPECT_FALSE(decoder.Pending());
  EXPECT_EQ(decoder.TakeKey(), "\x1b");
  EXPECT_EQ(decoder.TakeKey(), "");
}

TEST(KeyDecoderEscape, SequenceSplitOverSeveralReadsIsOneKey) {
  KeyDecoder decoder;
  decoder.Feed(std::string("\x1b["));
  EXPECT_TRUE(decoder.Pending());
  decoder.Feed(std::string("24;"));
  EXPECT_FALSE(decoder.HasKey());
  decoder.Feed(std::string("2~"));
  EXPECT_FALSE(decoder.Pending());
  EXPECT_EQ(decoder.TakeKey(), Ext(0x88));
  EXPECT_FALSE(decoder.HasKey());
}

TEST(KeyDecoderEscape, EscFollowedByCharacterGivesBothKeys) {
  EXPECT_EQ(Decode("\x1bx"), (std::vector<std::string>{"\x1b", "x"}));
  EXPECT_EQ(Decode("\x1b\x1b"), (std::vector<std::string>{"\x1b", "\x1b"}));
  EXPECT_EQ(Decode("\x1b\r"), (std::vector<std::string>{"\x1b", "\r"}));
  // Esc then '[' typed by hand: nothing follows within the pause.
  EXPECT_EQ(Decode("\x1b["), (std::vector<std::string>{"\x1b", "["}));
  EXPECT_EQ(Decode("\x1bO"), (std::vector<std::string>{"\x1b", "O"}));
}

TEST(KeyDecoderEscape, KeysInOneBurstComeOutInOrder) {
  EXPECT_EQ(Decode("a\x1bOP\x1b[1;5Ab\x7f\r"),
            (std::vector<std::string>{"a", Ext(0x3B), Ext(0x8D), "b", "\x08", "\r"}));
}

TEST(KeyDecoderEscape, UnknownSequencesAreDroppedWhole) {
  EXPECT_TRUE(Decode("\x1b[99~").empty());
  EXPECT_TRUE(Decode("\x1b[I").empty()) << "focus-in report";
  EXPECT_TRUE(Decode("\x1b[?1;2c").empty()) << "device attributes report";
  EXPECT_TRUE(Decode("\x1b[E").empty()) << "keypad centre";
  EXPECT_TRUE(Decode("\x1bOz").empty());
  EXPECT_TRUE(Decode("\x1b[[Z").empty());
  // A dropped sequence does not swallow the keys around it.
  EXPECT_EQ(Decode("x\x1b[200~y"), (std::vector<std::string>{"x", "y"}));
  // An incomplete sequence that stops is not leaked as keys either.
  EXPECT_TRUE(Decode("\x1b[1;5").empty());
}

TEST(KeyDecoderEscape, EscInsideSequenceStartsANewOne) {
  EXPECT_EQ(Decode("\x1b[1\x1bOP"), (std::vector<std::string>{Ext(0x3B)}));
}

TEST(KeyDecoderUtf8, CharactersOfCodePage437BecomeTheirByte) {
  EXPECT_EQ(Decode("\xc3\xa9"), (std::vector<std::string>{"\x82"})) << "e acute";
  EXPECT_EQ(Decode("\xc3\x87"), (std::vector<std::string>{"\x80"})) << "C cedilla";
  EXPECT_EQ(Decode("\xe2\x94\x80"), (std::vector<std::string>{"\xc4"})) << "box horizontal";
  EXPECT_EQ(Decode("\xe2\x96\x88"), (std::vector<std::string>{"\xdb"})) << "full block";
  EXPECT_EQ(Decode("\xc2\xa0"), (std::vector<std::string>{"\xff"})) << "no-break space";
  EXPECT_EQ(Decode("\xcf\x80"), (std::vector<std::string>{"\xe3"})) << "pi";
  EXPECT_EQ(Decode("a\xc3\xbc"
                   "b"),
            (std::vector<std::string>{"a", "\x81", "b"}));
}

TEST(KeyDecoderUtf8, OtherCharactersAndBrokenBytesAreDropped) {
  EXPECT_TRUE(Decode("\xe2\x82\xac").empty()) << "euro sign";
  EXPECT_TRUE(Decode("\xf0\x9f\x98\x80").empty()) << "emoji";
  EXPECT_TRUE(Decode("\xe2\x98\xba").empty()) << "smiley: its byte is a control key";
  EXPECT_EQ(Decode("\x80"
                   "a"),
            (std::vector<std::string>{"a"}))
      << "stray continuation";
  EXPECT_EQ(Decode("\xc3"
                   "a"),
            (std::vector<std::string>{"a"}))
      << "broken off";
  EXPECT_TRUE(Decode("\xe2\x94").empty()) << "incomplete at the pause";
}

TEST(KeyDecoderUtf8, Latin1InputWhenTheLocaleIsNotUtf8) {
  EXPECT_EQ(Decode("\xe9", false), (std::vector<std::string>{"\x82"}));
  EXPECT_TRUE(Decode("\xa4", false).empty()) << "currency sign is not in code page 437";
}

}  // namespace
