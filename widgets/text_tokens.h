#pragma once
// Path splitting and token readers for command lines. Positions are 1-based
// and in/out; found is 0 or 1. A position below 1 is read as 1, and one past
// the end of the text finds nothing, so the text is never indexed outside.

#include <cstdint>
#include <string>
#include <string_view>

// Splits on the last "/" or "\": "C:\DIR\FILE.TXT" -> "C:\DIR", "FILE.TXT";
// with neither, dir is empty and name is the path.
void SplitPath(std::string_view path, std::string& dir, std::string& name);

// Skips delimiters at pos, then takes the text up to the next delimiter (or
// the end); pos is left on that delimiter (or past the end).
void ReadToken(std::string_view text, int& pos, std::string_view delimiters, std::string& token,
               std::int32_t& found);
// ReadToken with the delimiters space, comma and tab.
void ReadWord(std::string_view text, int& pos, std::string& token, std::int32_t& found);
// Skips spaces, commas and tabs, then passes over "0"-"9", ":", ";", "+", "-";
// value is the signed decimal integer at the start of what was passed
// (saturated to 32 bits).
void ReadIntToken(std::string_view text, int& pos, std::int32_t& value, std::int32_t& found);
// Skips spaces, commas and tabs, then reads a double-quoted string; pos ends
// after the closing quote. Another character first: found 0, pos on it. No
// closing quote: found 0, pos past the end.
void ReadQuoted(std::string_view text, int& pos, std::string& str, std::int32_t& found);
