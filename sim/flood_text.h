// The flood stream: numbered lines that a reader can check for loss and
// reordering. Header only, so that the benchmark can include it without
// linking the simulator.
//
//   FLOOD 00000042 ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv \r\n
//
// Every line is kFloodLineSize bytes; line numbers count from 0 and wrap at
// 10^8. Byte k of the stream depends on k alone.
#ifndef Q7M_SIM_FLOOD_TEXT_H
#define Q7M_SIM_FLOOD_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace q7m::sim {

inline constexpr std::string_view kFloodTag = "FLOOD ";
inline constexpr std::string_view kFloodPattern =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv";
inline constexpr std::size_t kFloodDigits = 8;
inline constexpr std::uint64_t kFloodNumberLimit = 100'000'000;
// Tag, number, space, pattern, space, CR LF.
inline constexpr std::size_t kFloodLineSize =
    kFloodTag.size() + kFloodDigits + 1 + kFloodPattern.size() + 1 + 2;

// Byte k of the flood stream.
constexpr char FloodByte(std::uint64_t k) {
  const std::uint64_t line = (k / kFloodLineSize) % kFloodNumberLimit;
  std::size_t at = static_cast<std::size_t>(k % kFloodLineSize);
  if (at < kFloodTag.size()) return kFloodTag[at];
  at -= kFloodTag.size();
  if (at < kFloodDigits) {
    std::uint64_t v = line;
    for (std::size_t i = kFloodDigits - 1; i > at; --i) v /= 10;
    return static_cast<char>('0' + v % 10);
  }
  at -= kFloodDigits;
  if (at == 0) return ' ';
  at -= 1;
  if (at < kFloodPattern.size()) return kFloodPattern[at];
  at -= kFloodPattern.size();
  if (at == 0) return ' ';
  return at == 1 ? '\r' : '\n';
}

// Bytes [from, from + count) of the stream.
inline std::string FloodText(std::uint64_t from, std::uint64_t count) {
  std::string out;
  out.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t k = from; k < from + count; ++k) out.push_back(FloodByte(k));
  return out;
}

struct FloodCheck {
  std::uint64_t validLines = 0;   // complete, well-formed lines
  std::uint64_t firstNumber = 0;  // number of the first valid line
  std::uint64_t lastNumber = 0;   // number of the last valid line
  std::uint64_t gaps = 0;         // places where the numbering does not go on by one
  std::uint64_t badLines = 0;     // damaged lines between the first and last valid one
  bool hasProblem = false;
  std::uint64_t problemOffset = 0;   // capture offset of the first gap or damaged line
  std::uint64_t expectedNumber = 0;  // what should have come there
  std::string problem;               // the first problem in words

  bool Clean() const { return validLines > 0 && !hasProblem; }
};

// Number of a well-formed line body (a line without its CR LF), or -1.
inline std::int64_t FloodLineNumber(std::string_view body) {
  if (body.size() != kFloodLineSize - 2) return -1;
  if (body.substr(0, kFloodTag.size()) != kFloodTag) return -1;
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < kFloodDigits; ++i) {
    const char c = body[kFloodTag.size() + i];
    if (c < '0' || c > '9') return -1;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  for (std::size_t i = kFloodTag.size() + kFloodDigits; i < body.size(); ++i) {
    if (body[i] != FloodByte(n * kFloodLineSize + i)) return -1;
  }
  return static_cast<std::int64_t>(n);
}

// Checks a captured byte string. Text before the first valid line and after
// the last one (a prompt, a command echo, a cut-off first or last line) is
// ignored; between them every line must be valid and numbered one up.
inline FloodCheck CheckFlood(std::string_view captured) {
  FloodCheck r;
  struct Line {
    std::size_t offset;
    std::string_view body;
    std::int64_t number;
  };
  auto note = [&r](std::size_t offset, std::uint64_t expected, std::string what) {
    if (r.hasProblem) return;
    r.hasProblem = true;
    r.problemOffset = offset;
    r.expectedNumber = expected;
    r.problem = std::move(what);
  };
  bool seenValid = false;
  std::uint64_t badSinceValid = 0;  // damaged lines not yet known to lie inside
  std::size_t firstBadSinceValid = 0;
  std::size_t pos = 0;
  while (pos < captured.size()) {
    const std::size_t end = captured.find("\r\n", pos);
    if (end == std::string_view::npos) break;  // unterminated tail: ignored
    const Line line{pos, captured.substr(pos, end - pos),
                    FloodLineNumber(captured.substr(pos, end - pos))};
    pos = end + 2;
    if (line.number < 0) {
      if (seenValid) {
        if (badSinceValid == 0) firstBadSinceValid = line.offset;
        ++badSinceValid;
      }
      continue;
    }
    const auto n = static_cast<std::uint64_t>(line.number);
    if (!seenValid) {
      seenValid = true;
      r.firstNumber = n;
    } else {
      const std::uint64_t expected = (r.lastNumber + 1) % kFloodNumberLimit;
      if (badSinceValid > 0) {
        r.badLines += badSinceValid;
        note(firstBadSinceValid, expected,
             "damaged line where " + std::to_string(expected) + " was expected");
      }
      if (n != expected) {
        ++r.gaps;
        note(line.offset, expected,
             "line " + std::to_string(n) + " where " + std::to_string(expected) + " was expected");
      }
    }
    badSinceValid = 0;
    r.lastNumber = n;
    ++r.validLines;
  }
  return r;
}

}  // namespace q7m::sim

#endif
