#pragma once
// Turns the bytes a terminal sends for keystrokes into the console's key
// codes: one byte for an ordinary key, 0xFF and the PC scan code for an
// extended key. It knows the xterm, tmux, VT220, rxvt and Linux console
// forms. It has no clock: the caller feeds bytes as they come and calls
// FlushPending when no byte has followed an incomplete sequence for a short
// while, which is how a lone Esc is told from the start of a sequence.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

class KeyDecoder {
 public:
  // utf8: input bytes 128-255 are UTF-8; otherwise each is one Latin-1
  // character.
  explicit KeyDecoder(bool utf8 = true) : utf8_(utf8) {}

  void Feed(std::uint8_t byte);
  void Feed(const std::string& bytes);

  // An incomplete escape sequence or UTF-8 character is buffered.
  bool Pending() const { return !buffer_.empty(); }
  // No more bytes came: a lone ESC becomes Esc (ESC then '[' or 'O' becomes
  // Esc and that character); anything else incomplete is dropped.
  void FlushPending();

  bool HasKey() const { return !keys_.empty(); }
  // The oldest decoded key, or empty when none is waiting.
  std::string TakeKey();
  // Keys decoded since the decoder was made, taken or not.
  std::uint64_t Decoded() const { return taken_ + keys_.size(); }
  // True when `key` is among the keys waiting.
  bool Queued(std::string_view key) const;

 private:
  void FeedEscape(std::uint8_t byte);
  void FeedUtf8(std::uint8_t byte);
  void FeedPlain(std::uint8_t byte);
  void FinishCsi();
  void FinishSs3();
  void EmitUnicode(char32_t codePoint);
  void EmitExtended(std::uint8_t scanCode);

  bool utf8_;
  // Bytes of the sequence being read, starting with its ESC or UTF-8 lead.
  std::string buffer_;
  int utf8Left_ = 0;
  std::deque<std::string> keys_;
  std::uint64_t taken_ = 0;
};
