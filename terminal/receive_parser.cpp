#include "terminal/receive_parser.h"

#include <array>
#include <limits>

#include "app/settings.h"
#include "console/console.h"
#include "terminal/capture_file.h"

namespace {

// Digits beyond this cannot form a 32-bit code; more are not kept, so an
// endless parameter cannot grow memory.
constexpr std::size_t kMaxParamDigits = 11;

// Markers are made in place, without allocating: the capture's parser also
// runs from a crash handler.
class MarkerText {
 public:
  MarkerText& Add(std::string_view text) {
    for (const char c : text) Put(c);
    return *this;
  }
  // The byte in upper-case hexadecimal without leading zeros.
  MarkerText& Hex(std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (byte >= 16) Put(kDigits[byte >> 4]);
    Put(kDigits[byte & 0xF]);
    return *this;
  }
  MarkerText& Byte(std::uint8_t byte) {
    Put(static_cast<char>(byte));
    return *this;
  }
  std::string_view View() const { return {text_.data(), size_}; }

 private:
  void Put(char c) {
    if (size_ < text_.size()) text_[size_++] = c;
  }
  std::array<char, 16> text_{};
  std::size_t size_ = 0;
};

std::int64_t ParamValue(const std::string& param) {
  std::int64_t value = 0;
  for (const char digit : param) value = value * 10 + (digit - '0');
  return value;
}

}  // namespace

void ReceiveParser::Reset() {
  EscState = EscStates::Normal;
  EscParam.clear();
}

void ReceiveParser::Feed(std::string_view bytes, ReceiveSink& sink) {
  for (const char byte : bytes) {
    const auto c = static_cast<std::uint8_t>(byte);
    switch (EscState) {
      case EscStates::Normal:
        Normal(c, sink);
        break;
      case EscStates::AfterEsc:
        if (c == '[') {
          EscParam.clear();
          EscState = EscStates::InParams;
        } else {
          sink.Marker(MarkerText().Add("<ESC><").Hex(c).Add(">").View());
          EscState = EscStates::Normal;
        }
        break;
      case EscStates::InParams:
        Params(c, sink);
        break;
    }
  }
}

void ReceiveParser::Normal(std::uint8_t c, ReceiveSink& sink) {
  switch (c) {
    case 27:
      EscState = EscStates::AfterEsc;
      return;
    case 9:
      sink.Tab();
      return;
    case 10:
    case 13:
    case 127:
      sink.Show(static_cast<char>(c));
      return;
    case 8:
      sink.Backspace();
      return;
    case 7:
      sink.Bell();
      return;
    default:
      break;
  }
  if (c < 32) {
    sink.Marker(MarkerText().Add("<").Hex(c).Add(">").View());
  } else {
    sink.Show(static_cast<char>(c));
  }
}

void ReceiveParser::Params(std::uint8_t c, ReceiveSink& sink) {
  if (c >= '0' && c <= '9') {
    // Leading zeros are dropped so that the kept digits always tell whether
    // the code fits 32 bits.
    if (EscParam == "0") EscParam.clear();
    if (EscParam.size() < kMaxParamDigits) EscParam.push_back(static_cast<char>(c));
    return;
  }
  switch (c) {
    case ';':
      sink.ColorCode(ParamValue(EscParam));
      EscParam.clear();
      return;
    case 'm':
      sink.ColorCode(ParamValue(EscParam));
      break;
    case 'J':
      sink.ClearToLineEnd();
      break;
    default:
      sink.Marker(MarkerText().Add("<ESC><[><?>").Byte(c).View());
      break;
  }
  EscState = EscStates::Normal;
}

void ApplyColorCode(std::int64_t code) {
  const std::int32_t bright = TextFg & 8;
  if (code > std::numeric_limits<std::int32_t>::max()) code = -1;
  switch (code) {
    // Concealed text (8) is shown like a reset: an engineer reading a console
    // wants to see every byte.
    case 0:
    case 2:
    case 4:
    case 5:
    case 8:
      TextFg = 7;
      TextBg = 0;
      break;
    case 1:
      TextFg |= 8;
      break;
    case 30:
      TextFg = bright;
      break;
    case 31:
      TextFg = bright | 4;
      break;
    case 32:
      TextFg = bright | 2;
      break;
    case 33:
      TextFg = bright | 6;
      break;
    case 34:
      TextFg = bright | 1;
      break;
    case 35:
      TextFg = bright | 5;
      break;
    case 36:
      TextFg = bright | 3;
      break;
    case 37:
      TextFg = bright | 7;
      break;
    case 41:
      TextBg |= 4;
      break;
    case 42:
      TextBg |= 2;
      break;
    case 43:
      TextBg |= 6;
      break;
    case 44:
      TextBg |= 1;
      break;
    case 45:
      TextBg |= 5;
      break;
    case 46:
      TextBg |= 3;
      break;
    case 47:
      TextBg |= 7;
      break;
    default:
      break;
  }
  SetColor(TextFg, TextBg);
}

void ScreenReceiveSink::Show(char byte) {
  PrintText(std::string_view(&byte, 1));
}

void ScreenReceiveSink::Marker(std::string_view text) {
  PrintText(text);
}

void ScreenReceiveSink::Tab() {
  const int col = CursorCol();
  Locate(0, ((col - 1 + 8) & 0xF8) + 1);
}

void ScreenReceiveSink::Backspace() {
  const int col = CursorCol();
  if (col > 1) Locate(0, col - 1);
}

void ScreenReceiveSink::ColorCode(std::int64_t code) {
  ApplyColorCode(code);
}

void ScreenReceiveSink::ClearToLineEnd() {
  const int col = CursorCol();
  if (col < 80) PrintText(std::string(static_cast<std::size_t>(80 - col), ' '));
  Locate(0, col);
}

void ScreenReceiveSink::Bell() {
  // Received text goes on while the tone sounds, and BELs meanwhile join it.
  StartBeep();
}

void CaptureReceiveSink::Show(char byte) {
  file_.Put(byte);
}
