#include "console/key_decoder.h"

#include <algorithm>

#include <array>
#include <optional>
#include <vector>

#include "console/cp437.h"
#include "console/key_codes.h"

namespace {

constexpr std::uint8_t kEsc = 0x1B;
// Longest escape sequence kept; anything longer is not a key.
constexpr std::size_t kMaxSequence = 32;

// The navigation keys as the terminal's sequences name them.
enum class Nav { Up, Down, Right, Left, Home, End, PgUp, PgDn, Ins, Del };

struct Mods {
  bool shift = false;
  bool ctrl = false;
};

// xterm's modifier parameter is 1 + a bit set: 1 shift, 2 alt, 4 ctrl, 8
// meta. Alt and meta have no key codes of their own and are ignored.
Mods ModsFromParam(int param) {
  int bits = param > 1 ? param - 1 : 0;
  return {(bits & 1) != 0, (bits & 4) != 0};
}

// Ctrl wins over Shift: Ctrl-Shift-F1 has no code of its own.
std::uint8_t FunctionKeyCode(int n, Mods mods) {
  const FunctionKeyRun run = mods.ctrl
                                 ? FunctionKeyRun::Ctrl
                                 : (mods.shift ? FunctionKeyRun::Shift : FunctionKeyRun::Plain);
  return ScanCode(FunctionKey(n, run));
}

// Shift has no code of its own for these keys, so Shift-Home reads as Home.
std::uint8_t NavKeyCode(Nav key, Mods mods) {
  struct Forms {
    NamedKey plain;
    NamedKey ctrl;
  };
  static constexpr std::array<Forms, 10> kForms = {{
      {NamedKey::Up, NamedKey::CtrlUp},
      {NamedKey::Down, NamedKey::CtrlDown},
      {NamedKey::Right, NamedKey::CtrlRight},
      {NamedKey::Left, NamedKey::CtrlLeft},
      {NamedKey::Home, NamedKey::CtrlHome},
      {NamedKey::End, NamedKey::CtrlEnd},
      {NamedKey::PgUp, NamedKey::CtrlPgUp},
      {NamedKey::PgDn, NamedKey::CtrlPgDn},
      {NamedKey::Ins, NamedKey::CtrlIns},
      {NamedKey::Del, NamedKey::CtrlDel},
  }};
  const Forms& forms = kForms[static_cast<std::size_t>(key)];
  return ScanCode(mods.ctrl ? forms.ctrl : forms.plain);
}

// Final bytes shared by the CSI and SS3 forms of the cursor keys.
std::optional<Nav> NavFromFinal(char final) {
  switch (final) {
    case 'A':
      return Nav::Up;
    case 'B':
      return Nav::Down;
    case 'C':
      return Nav::Right;
    case 'D':
      return Nav::Left;
    case 'H':
      return Nav::Home;
    case 'F':
      return Nav::End;
    default:
      return std::nullopt;
  }
}

// Numeric parameters separated by ';'; an empty one reads as 0.
std::vector<int> ParseParams(const std::string& text) {
  std::vector<int> params;
  int value = 0;
  bool any = false;
  for (char c : text) {
    if (c == ';') {
      params.push_back(value);
      value = 0;
      any = true;
    } else if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (value > 9999) value = 9999;
      any = true;
    }
  }
  if (any) params.push_back(value);
  return params;
}

struct TildeKey {
  int number;
  bool isFunction;  // else navigation
  int index;        // function key number or Nav value
  bool shifted;     // VT220 F13-F20, sent for Shift-F3 to Shift-F10
};

// The numbers of the "CSI n ~" keys (and rxvt's "$", "^", "@" endings).
std::optional<TildeKey> LookupTilde(int number) {
  static constexpr std::array<TildeKey, 28> kKeys = {{
      {1, false, static_cast<int>(Nav::Home), false},
      {2, false, static_cast<int>(Nav::Ins), false},
      {3, false, static_cast<int>(Nav::Del), false},
      {4, false, static_cast<int>(Nav::End), false},
      {5, false, static_cast<int>(Nav::PgUp), false},
      {6, false, static_cast<int>(Nav::PgDn), false},
      {7, false, static_cast<int>(Nav::Home), false},
      {8, false, static_cast<int>(Nav::End), false},
      {11, true, 1, false},
      {12, true, 2, false},
      {13, true, 3, false},
      {14, true, 4, false},
      {15, true, 5, false},
      {17, true, 6, false},
      {18, true, 7, false},
      {19, true, 8, false},
      {20, true, 9, false},
      {21, true, 10, false},
      {23, true, 11, false},
      {24, true, 12, false},
      {25, true, 3, true},
      {26, true, 4, true},
      {28, true, 5, true},
      {29, true, 6, true},
      {31, true, 7, true},
      {32, true, 8, true},
      {33, true, 9, true},
      {34, true, 10, true},
  }};
  for (const TildeKey& key : kKeys) {
    if (key.number == number) return key;
  }
  return std::nullopt;
}

}  // namespace

void KeyDecoder::Feed(const std::string& bytes) {
  for (char c : bytes) Feed(static_cast<std::uint8_t>(c));
}

void KeyDecoder::Feed(std::uint8_t byte) {
  if (buffer_.empty()) {
    FeedPlain(byte);
  } else if (static_cast<std::uint8_t>(buffer_[0]) == kEsc) {
    FeedEscape(byte);
  } else {
    FeedUtf8(byte);
  }
}

void KeyDecoder::FeedPlain(std::uint8_t byte) {
  if (byte == kEsc) {
    buffer_.assign(1, static_cast<char>(kEsc));
  } else if (byte == 127 || byte == 8) {
    keys_.emplace_back(1, '\x08');
  } else if (byte == 0) {
    // Ctrl-Space has no key code.
  } else if (byte < 0x80) {
    keys_.emplace_back(1, static_cast<char>(byte));
  } else if (!utf8_) {
    EmitUnicode(byte);
  } else if (byte >= 0xC2 && byte <= 0xF4) {
    buffer_.assign(1, static_cast<char>(byte));
    utf8Left_ = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
  }
  // A stray continuation byte or an invalid lead byte is dropped.
}

void KeyDecoder::FeedUtf8(std::uint8_t byte) {
  if ((byte & 0xC0) != 0x80) {
    // The character broke off; what came is not a key.
    buffer_.clear();
    utf8Left_ = 0;
    Feed(byte);
    return;
  }
  buffer_.push_back(static_cast<char>(byte));
  if (--utf8Left_ > 0) return;
  auto lead = static_cast<std::uint8_t>(buffer_[0]);
  char32_t cp = buffer_.size() == 2   ? (lead & 0x1F)
                : buffer_.size() == 3 ? (lead & 0x0F)
                                      : (lead & 0x07);
  for (std::size_t i = 1; i < buffer_.size(); ++i) {
    cp = (cp << 6) | (static_cast<std::uint8_t>(buffer_[i]) & 0x3F);
  }
  buffer_.clear();
  EmitUnicode(cp);
}

void KeyDecoder::FeedEscape(std::uint8_t byte) {
  if (buffer_.size() == 1) {
    if (byte == '[' || byte == 'O') {
      buffer_.push_back(static_cast<char>(byte));
      return;
    }
    // Esc typed before another key (or Alt held): both are keys.
    keys_.emplace_back(1, static_cast<char>(kEsc));
    buffer_.clear();
    Feed(byte);
    return;
  }
  const bool csi = buffer_[1] == '[';
  if (csi && buffer_ == "\x1b[[") {
    // Linux console F1 to F5: ESC [ [ A to ESC [ [ E.
    buffer_.clear();
    if (byte >= 'A' && byte <= 'E') EmitExtended(FunctionKeyCode(byte - 'A' + 1, {}));
    return;
  }
  if (csi && buffer_.size() == 2 && byte == '[') {
    buffer_.push_back('[');
    return;
  }
  const bool parameter = byte >= 0x30 && byte <= 0x3F;
  const bool intermediate = byte >= 0x20 && byte <= 0x2F && byte != '$';
  const bool final = (byte >= 0x40 && byte <= 0x7E) || (csi && byte == '$');
  if (final) {
    buffer_.push_back(static_cast<char>(byte));
    if (csi) {
      FinishCsi();
    } else {
      FinishSs3();
    }
    buffer_.clear();
    return;
  }
  if ((parameter || (csi && intermediate)) && buffer_.size() < kMaxSequence) {
    buffer_.push_back(static_cast<char>(byte));
    return;
  }
  // Not a sequence after all (a control byte inside, or far too long): drop
  // what was read and take the byte afresh, so an ESC can start a new one.
  buffer_.clear();
  if (!parameter && !intermediate) Feed(byte);
}

void KeyDecoder::FinishCsi() {
  const char final = buffer_.back();
  const std::string body = buffer_.substr(2, buffer_.size() - 3);
  if (!body.empty() && (body[0] == '<' || body[0] == '=' || body[0] == '>' || body[0] == '?')) {
    return;  // private sequences are reports, not keys
  }
  const std::vector<int> params = ParseParams(body);
  const int modParam = params.size() >= 2 ? params[1] : 1;

  if (final == '~' || final == '$' || final == '^' || final == '@') {
    if (params.empty()) return;
    std::optional<TildeKey> key = LookupTilde(params[0]);
    if (!key) return;
    Mods mods = ModsFromParam(modParam);
    // rxvt marks Shift with '$', Ctrl with '^' and both with '@'.
    if (final == '$' || final == '@') mods.shift = true;
    if (final == '^' || final == '@') mods.ctrl = true;
    if (key->shifted) mods.shift = true;
    EmitExtended(key->isFunction ? FunctionKeyCode(key->index, mods)
                                 : NavKeyCode(static_cast<Nav>(key->index), mods));
    return;
  }
  if (std::optional<Nav> nav = NavFromFinal(final)) {
    // Old xterms put the modifier first: ESC [ 5 A.
    int mod = params.size() >= 2 ? params[1] : params.size() == 1 ? params[0] : 1;
    EmitExtended(NavKeyCode(*nav, ModsFromParam(mod)));
    return;
  }
  if (final >= 'P' && final <= 'S') {
    EmitExtended(FunctionKeyCode(final - 'P' + 1, ModsFromParam(modParam)));
    return;
  }
  if (final >= 'a' && final <= 'd') {
    // rxvt's Shift-arrows; Shift has no code of its own.
    static constexpr std::array<Nav, 4> kArrows = {Nav::Up, Nav::Down, Nav::Right, Nav::Left};
    EmitExtended(NavKeyCode(kArrows[static_cast<std::size_t>(final - 'a')], {}));
    return;
  }
  if (final == 'Z' && params.empty()) EmitExtended(ScanCode(NamedKey::ShiftTab));
  // Anything else (focus reports, keypad centre, unknown keys) is no key.
}

void KeyDecoder::FinishSs3() {
  const char final = buffer_.back();
  const std::vector<int> params = ParseParams(buffer_.substr(2, buffer_.size() - 3));
  const Mods mods = ModsFromParam(params.empty() ? 1 : params.back());
  if (std::optional<Nav> nav = NavFromFinal(final)) {
    EmitExtended(NavKeyCode(*nav, mods));
  } else if (final >= 'P' && final <= 'S') {
    EmitExtended(FunctionKeyCode(final - 'P' + 1, mods));
  } else if (final >= 'a' && final <= 'd') {
    // rxvt's Ctrl-arrows.
    static constexpr std::array<Nav, 4> kArrows = {Nav::Up, Nav::Down, Nav::Right, Nav::Left};
    EmitExtended(NavKeyCode(kArrows[static_cast<std::size_t>(final - 'a')], {false, true}));
  } else if (final == 'M') {
    keys_.emplace_back(1, '\r');  // keypad Enter
  } else if (final >= 'j' && final <= 'y') {
    // The numeric keypad in application mode: * + , - . / 0-9.
    keys_.emplace_back(1, static_cast<char>(final - 'j' + '*'));
  } else if (final == 'X') {
    keys_.emplace_back(1, '=');
  }
}

void KeyDecoder::FlushPending() {
  if (!buffer_.empty() && static_cast<std::uint8_t>(buffer_[0]) == kEsc && buffer_.size() <= 2) {
    // The terminal sends a whole sequence at once, so a short one that
    // stopped was typed: Esc, perhaps followed by '[' or 'O'.
    keys_.emplace_back(1, static_cast<char>(kEsc));
    if (buffer_.size() == 2) keys_.emplace_back(1, buffer_[1]);
  }
  buffer_.clear();
  utf8Left_ = 0;
}

std::string KeyDecoder::TakeKey() {
  if (keys_.empty()) return {};
  std::string key = std::move(keys_.front());
  keys_.pop_front();
  ++taken_;
  return key;
}

void KeyDecoder::EmitUnicode(char32_t codePoint) {
  if (std::optional<std::uint8_t> byte = Cp437FromUnicode(codePoint)) {
    keys_.emplace_back(1, static_cast<char>(*byte));
  }
}

void KeyDecoder::EmitExtended(std::uint8_t scanCode) {
  keys_.push_back(ExtendedKey(scanCode));
}

bool KeyDecoder::Queued(std::string_view key) const {
  return std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}
