#pragma once
// Date-time text for seconds since 1 January 1970, 00:00.

#include <cstdint>
#include <string>

// text = "dd/mm/yy hh:mm" (24-hour): 0 -> "01/01/70 00:00". Seconds before
// 1970 count back on the same calendar (proleptic Gregorian).
void FormatUnixTime(std::int64_t seconds, std::string& text);
