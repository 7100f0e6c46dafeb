#pragma once
// The bridge's capture (--log FILE): every byte received from the board, as
// it arrives, whether or not a client reads; optionally with the local time
// at the start of each line. Written through after every batch, so that a
// CI job that kills the bridge still has the whole boot log.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

class CaptureLog {
 public:
  // Creates or empties the file; "" or the reason it could not.
  std::string Open(const std::string& path, bool timestamps);
  bool IsOpen() const { return file_ != nullptr; }
  // Bytes received at unixNs (nanoseconds since 1970, the wall clock).
  void Write(std::string_view bytes, std::int64_t unixNs);

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  bool timestamps_ = false;
  bool atLineStart_ = true;
};

// "[2025-03-01 14:02:03.123] ": the local time, to the millisecond.
std::string CaptureTimestamp(std::int64_t unixNs);
