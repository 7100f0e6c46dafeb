#pragma once
// Text rules every layer shares. Texts are byte strings: only the letters a
// to z and A to Z have a case, and trimming removes the space character (32)
// only, never tabs.

#include <string>
#include <string_view>

char AsciiUpper(char c);
std::string AsciiUpper(std::string_view text);
bool SameIgnoringCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringCase(std::string_view text, std::string_view start);
bool ContainsIgnoringCase(std::string_view text, std::string_view part);
// 0 to 15 for 0-9, A-F and a-f; -1 for any other character.
int HexDigitValue(char c);
// Without the spaces at both ends.
std::string TrimSpaces(std::string_view text);
