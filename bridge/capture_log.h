#pragma once
// The bridge's capture (--log FILE): every byte received from the board, as
// it arrives, whether or not a client reads; optionally with the local time
// at the start of each line. Written through after every batch, so that a
// CI job that kills the bridge still has the whole boot log. A write that
// fails ends the log there, as the terminal's capture does: the file holds,
// whole, everything before it, and the bridge says so in one line.

#include <cstdint>
#include <string>
#include <string_view>

#include "terminal/capture_file.h"

class CaptureLog {
 public:
  // Creates or empties the file; "" or the reason it could not.
  std::string Open(const std::string& path, bool timestamps);
  bool IsOpen() const { return file_.IsOpen(); }
  // Bytes received at unixNs (nanoseconds since 1970, the wall clock).
  // Returns the line to say when this write stopped the log, else "".
  std::string Write(std::string_view bytes, std::int64_t unixNs);

 private:
  CaptureFile file_;
  std::string path_;
  bool timestamps_ = false;
  bool atLineStart_ = true;
};

// "[2025-03-01 14:02:03.123] ": the local time, to the millisecond.
std::string CaptureTimestamp(std::int64_t unixNs);
