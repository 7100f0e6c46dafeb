#pragma once
// The terminal's receive side: each byte from the remote console is shown,
// captured, or taken as part of an ANSI colour or line-clear sequence.

#include <cstdint>
#include <string>
#include <string_view>

class CaptureFile;

enum class EscStates { Normal, AfterEsc, InParams };

// What the parser makes of the bytes. Show is the only output that reaches
// the capture file; the rest act on the screen alone.
class ReceiveSink {
 public:
  virtual ~ReceiveSink() = default;
  // A byte that is shown and captured.
  virtual void Show(char byte) = 0;
  // A marker for a byte that is not shown as itself ("<1F>", "<ESC><41>").
  virtual void Marker(std::string_view) {}
  virtual void Tab() {}
  virtual void Backspace() {}
  virtual void ColorCode(std::int64_t) {}
  // ESC [J: blanks from the cursor to column 79, the cursor stays.
  virtual void ClearToLineEnd() {}
  virtual void Bell() {}
};

// The escape-sequence parser. Its state carries over from one received batch
// to the next, so a sequence split across two reads is still recognised.
class ReceiveParser {
 public:
  void Feed(std::string_view bytes, ReceiveSink& sink);
  void Reset();

  EscStates EscState = EscStates::Normal;
  // The digits of the parameter being collected.
  std::string EscParam;

 private:
  void Normal(std::uint8_t c, ReceiveSink& sink);
  void Params(std::uint8_t c, ReceiveSink& sink);
};

// Applies one numeric colour code to TextFg and TextBg, then SetColor.
void ApplyColorCode(std::int64_t code);

// The parser's output on the console: text and markers printed at the cursor,
// colour codes applied, the bell sounded.
class ScreenReceiveSink final : public ReceiveSink {
 public:
  void Show(char byte) override;
  void Marker(std::string_view text) override;
  void Tab() override;
  void Backspace() override;
  void ColorCode(std::int64_t code) override;
  void ClearToLineEnd() override;
  void Bell() override;
};

// The parser's output into the capture file: the shown bytes, raw.
class CaptureReceiveSink final : public ReceiveSink {
 public:
  explicit CaptureReceiveSink(CaptureFile& file) : file_(file) {}
  void Show(char byte) override;

 private:
  CaptureFile& file_;
};
