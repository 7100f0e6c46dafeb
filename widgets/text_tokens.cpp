#include "widgets/text_tokens.h"

#include <limits>

namespace {

constexpr std::string_view kWordDelimiters = " ,\t";
constexpr std::string_view kIntCharacters = "0123456789:;+-";

int End(std::string_view text) {
  return static_cast<int>(text.size()) + 1;
}

// The character at 1-based pos; the callers keep pos within the text.
char At(std::string_view text, int pos) {
  return text[static_cast<std::size_t>(pos - 1)];
}

bool In(std::string_view set, char c) {
  return set.find(c) != std::string_view::npos;
}

void SkipAll(std::string_view text, int& pos, std::string_view set) {
  if (pos < 1) pos = 1;
  while (pos < End(text) && In(set, At(text, pos))) ++pos;
}

// A sign and decimal digits at the start of text, saturated to 32 bits.
std::int32_t LeadingInt(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kCap) value = kCap;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max())
    value = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

}  // namespace

void SplitPath(std::string_view path, std::string& dir, std::string& name) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string_view::npos) {
    dir.clear();
    name = path;
    return;
  }
  dir = path.substr(0, slash);
  name = path.substr(slash + 1);
}

void ReadToken(std::string_view text, int& pos, std::string_view delimiters, std::string& token,
               std::int32_t& found) {
  found = 0;
  token.clear();
  SkipAll(text, pos, delimiters);
  if (pos >= End(text)) return;
  const int start = pos;
  while (pos < End(text) && !In(delimiters, At(text, pos))) ++pos;
  token = text.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(pos - start));
  found = 1;
}

void ReadWord(std::string_view text, int& pos, std::string& token, std::int32_t& found) {
  ReadToken(text, pos, kWordDelimiters, token, found);
}

void ReadIntToken(std::string_view text, int& pos, std::int32_t& value, std::int32_t& found) {
  found = 0;
  value = 0;
  SkipAll(text, pos, kWordDelimiters);
  if (pos >= End(text)) return;
  const int start = pos;
  while (pos < End(text) && In(kIntCharacters, At(text, pos))) ++pos;
  if (pos == start) return;
  value = LeadingInt(text.substr(static_cast<std::size_t>(start - 1)));
  found = 1;
}

void ReadQuoted(std::string_view text, int& pos, std::string& str, std::int32_t& found) {
  found = 0;
  str.clear();
  SkipAll(text, pos, kWordDelimiters);
  if (pos >= End(text) || At(text, pos) != '"') return;
  const auto open = static_cast<std::size_t>(pos - 1);
  const std::size_t close = text.find('"', open + 1);
  if (close == std::string_view::npos) {
    pos = End(text);
    return;
  }
  str = text.substr(open + 1, close - open - 1);
  pos = static_cast<int>(close) + 2;
  found = 1;
}
