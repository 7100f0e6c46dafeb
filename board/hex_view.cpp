#include "board/hex_view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "config/messages.h"
#include "config/number_reader.h"
#include "console/console.h"

namespace {

constexpr std::uint64_t kPageStep = 0x100;
constexpr std::uint64_t kBlockStep = 0x1000;
constexpr std::uint64_t kBigStep = 0x10000;
constexpr int kHighlightFg = 14;
constexpr int kNormalFg = 7;
constexpr int kStatusRow = 24;
constexpr int kPromptRow = 25;

std::string Hex(std::uint64_t value, int digits) {
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  }
  return text;
}

std::uint64_t EffectiveWidth(std::int32_t width) {
  return (width == 2 || width == 4 || width == 8) ? static_cast<std::uint64_t>(width) : 1;
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

// One step back, stopping at startAddr (also when pageAddr lies below it).
std::uint64_t StepBack(const HexView& view, std::uint64_t step) {
  if (view.pageAddr >= view.startAddr && view.pageAddr - view.startAddr >= step) {
    return view.pageAddr - step;
  }
  return view.startAddr;
}

// One step on, stopping at the last page. A page that is not aligned with
// the last one is clamped too, so the view never shows bytes past endAddr.
std::uint64_t StepOn(const HexView& view, std::uint64_t step) {
  const std::uint64_t last = HexViewLastPage(view);
  if (view.pageAddr >= last) return last;
  return std::min(SaturatingAdd(view.pageAddr, step), last);
}

void DrawCell(const std::string& text, bool selected) {
  if (!selected) {
    PrintText(text);
    return;
  }
  SetColor(kHighlightFg);
  PrintText(text);
  if (SetColor().fg == kHighlightFg) SetColor(kNormalFg);
}

// Without highlight (the plain dump) every cell is drawn in the current colours.
void DrawGrid(int row, HexPage page, std::uint64_t cursor, std::uint64_t width, bool highlight) {
  Locate(row, 5);
  for (int k = 0; k < 16; ++k) PrintText(Hex(static_cast<std::uint64_t>(k), 2) + " ");
  PrintLine("");
  const auto selected = [&](std::uint64_t offset) {
    return highlight && offset >= cursor && offset < cursor + width;
  };
  for (std::uint64_t r = 0; r < kHexPageBytes; r += 16) {
    PrintText(Hex(r, 2) + "  ");
    for (std::uint64_t i = r; i < r + 16; ++i) {
      DrawCell(Hex(page[i], 2), selected(i));
      PrintText(" ");
    }
    PrintText("       ");
    for (std::uint64_t i = r; i < r + 16; ++i) {
      const std::uint8_t byte = page[i];
      DrawCell(byte > 32 ? std::string(1, static_cast<char>(byte)) : std::string("."), selected(i));
    }
    PrintLine("");
  }
}

void EnterAddress(HexView& view) {
  Locate(kPromptRow, 1);
  std::uint64_t v =
      ReadWrappedHex(ReadPromptedAnswer("Add (Hexa): ", ""), HexDigits::kLeading) & 0xFFFFFFFFu;
  const std::uint64_t last = HexViewLastPage(view);
  if (v > last) {
    v = last;
  } else if (v < SaturatingAdd(view.startAddr, kPageStep)) {
    v = view.startAddr;
  }
  // Clearing the low bits of an unaligned startAddr must not leave the range.
  view.pageAddr = std::max(v & ~std::uint64_t{0xFF}, view.startAddr);
  ClearScreen();
}

// Applies a key to the view; false when the key is not the viewer's.
bool ApplyKey(std::int32_t code, HexView& view) {
  const std::uint64_t width = EffectiveWidth(view.width);
  const std::uint64_t maxCursor = kHexPageBytes - width;
  switch (code) {
    case 'U':
    case 'u':
    case '-':
      view.pageAddr = StepBack(view, kPageStep);
      return true;
    case 'D':
    case 'd':
    case '+':
      view.pageAddr = StepOn(view, kPageStep);
      return true;
    case KeyCodeOf(NamedKey::PgDn):
      view.pageAddr = StepOn(view, kBlockStep);
      return true;
    case KeyCodeOf(NamedKey::PgUp):
      view.pageAddr = StepBack(view, kBlockStep);
      return true;
    case KeyCodeOf(NamedKey::CtrlPgDn):
      view.pageAddr = StepOn(view, kBigStep);
      return true;
    case KeyCodeOf(NamedKey::CtrlPgUp):
      view.pageAddr = StepBack(view, kBigStep);
      return true;
    case KeyCodeOf(NamedKey::Home):
      view.pageAddr = view.startAddr;
      return true;
    case KeyCodeOf(NamedKey::End):
      view.pageAddr = HexViewLastPage(view);
      return true;
    case KeyCodeOf(NamedKey::Right):
      view.cursor = std::min(view.cursor + 1, maxCursor);
      return true;
    case KeyCodeOf(NamedKey::Left):
      if (view.cursor > 0) --view.cursor;
      return true;
    case KeyCodeOf(NamedKey::Down):
      view.cursor = std::min(view.cursor + 16, maxCursor);
      return true;
    case KeyCodeOf(NamedKey::Up):
      view.cursor = view.cursor > 15 ? view.cursor - 16 : 0;
      return true;
    case ' ': {
      const std::uint64_t doubled = width * 2;
      view.width = static_cast<std::int32_t>(doubled > 8 ? 1 : doubled);
      view.cursor = std::min(view.cursor, kHexPageBytes - EffectiveWidth(view.width));
      return true;
    }
    case 'A':
    case 'a':
      EnterAddress(view);
      return true;
    default:
      return false;
  }
}

void DrawStatus(HexPage page, const HexView& view, std::string_view extraHelp) {
  const std::uint64_t width = EffectiveWidth(view.width);
  std::uint64_t value = 0;
  for (std::uint64_t i = width; i-- > 0;) value = (value << 8) | page[view.cursor + i];
  Locate(kStatusRow, 1);
  PrintText("Current Addr : " + Hex(view.pageAddr & 0xFFFFFFFFFFull, 10));
  PrintLine(" <A><a>,<PgU>,<PgD>,<+>,<->,Up,Dwn,Lft,Rght" + std::string(extraHelp));
  PrintText("Val : " + Hex(value, static_cast<int>(2 * width)));
  PrintZone();
  PrintZone();
}

// ReadKey with WaitMs(1) between polls until a key comes.
std::string PollForKey() {
  for (;;) {
    std::string key = ReadKey();
    if (!key.empty()) return key;
    WaitMs(1);
  }
}

}  // namespace

std::int32_t KeyCodeOf(const std::string& key) {
  if (key.empty()) return kNoKeyCode;
  const auto first = static_cast<std::uint8_t>(key[0]);
  if (key.size() >= 2 && first == 0xFF) return 0x100 + static_cast<std::uint8_t>(key[1]);
  return first;
}

std::uint64_t HexViewLastPage(const HexView& view) {
  if (view.endAddr >= kPageStep && view.endAddr - kPageStep >= view.startAddr) {
    return view.endAddr - kPageStep;
  }
  return view.startAddr;
}

std::int32_t HexViewPage(int row, HexPage page, HexView& view, std::string_view extraHelp) {
  // A cursor left out of range by the caller would read past the page.
  view.cursor = std::min(view.cursor, kHexPageBytes - EffectiveWidth(view.width));
  DrawGrid(row, page, view.cursor, EffectiveWidth(view.width), true);
  const std::int32_t code = ReadKeyCode();
  std::int32_t result = code;
  if (code != kNoKeyCode && ApplyKey(code, view)) result = 0;
  DrawStatus(page, view, extraHelp);
  return result;
}

std::int32_t HexDumpPage(HexPage page, int row) {
  DrawGrid(row, page, 0, 0, false);
  return WaitKeyCode();
}

std::int32_t ReadKeyCode() {
  return KeyCodeOf(ReadKey());
}

std::int32_t WaitKeyCode() {
  return KeyCodeOf(PollForKey());
}

std::int32_t WaitKeyCodeUpper() {
  return KeyCodeOf(UpperKey(PollForKey()));
}

std::int32_t AnyKeyCode() {
  PrintText("Any key to continue");
  return WaitKeyCode();
}

std::int32_t ReverseBits(std::int32_t value) {
  std::int32_t reversed = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (value & (1 << bit)) reversed |= 1 << (7 - bit);
  }
  return reversed;
}

bool IsPrintable(std::int32_t code) {
  return (code & 0xFF) > 32;
}

bool CopyBytes(std::span<std::uint8_t> dst, std::span<const std::uint8_t> src, std::int32_t count) {
  if (count <= 0) return false;
  const auto n = static_cast<std::size_t>(count);
  if (n > dst.size() || n > src.size()) {
    ReportError("CopyBytes: count " + std::to_string(count) + " exceeds the buffers (" +
                std::to_string(src.size()) + " to " + std::to_string(dst.size()) +
                " bytes), nothing copied");
    return false;
  }
  if (n % 4 == 0) {
    for (std::size_t i = 0; i < n; i += 4) {
      std::uint32_t word;
      std::memcpy(&word, src.data() + i, 4);
      std::memcpy(dst.data() + i, &word, 4);
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
  return true;
}

bool FillBytes(std::span<std::uint8_t> buffer, std::int32_t value, std::int32_t count) {
  if (count <= 0) return false;
  const auto n = static_cast<std::size_t>(count);
  if (n > buffer.size()) {
    ReportError("FillBytes: count " + std::to_string(count) + " exceeds the buffer of " +
                std::to_string(buffer.size()) + " bytes, nothing filled");
    return false;
  }
  std::fill_n(buffer.begin(), n, static_cast<std::uint8_t>(value));
  return true;
}

std::uint64_t InputNumber(std::string_view prompt) {
  return ReadHexOrDecimalAnswer(ReadPromptedAnswer(prompt, " (xxx=Hex, &dxx=Dec):"),
                                HexDigits::kLeading);
}
