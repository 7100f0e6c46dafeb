#pragma once
// The terminal's receive side: each byte from the remote console is shown,
// captured, or taken as part of an ANSI colour or line-clear sequence.

#include <cstdint>
#include <string>
#include <string_view>

enum class EscStates { Normal, AfterEsc, InParams };

// The parser's state carries over from one received batch to the next, so a
// sequence split across two reads is still recognised.
extern EscStates EscState;
extern std::string EscParam;

// Applies one numeric colour code to TextFg and TextBg, then SetColor.
void ApplyColorCode(std::int64_t code);
// Passes received bytes through the parser to the screen and the capture file.
void ShowReceived(std::string_view bytes);
