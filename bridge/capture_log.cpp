#include "bridge/capture_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

std::string CaptureLog::Open(const std::string& path, bool timestamps) {
  const std::string reason = file_.Open(path);
  if (!reason.empty()) return reason;
  path_ = path;
  timestamps_ = timestamps;
  atLineStart_ = true;
  return {};
}

std::string CaptureLog::Write(std::string_view bytes, std::int64_t unixNs) {
  if (!file_.IsOpen() || bytes.empty()) return {};
  const std::string stamp = timestamps_ ? CaptureTimestamp(unixNs) : std::string();
  for (const char c : bytes) {
    if (timestamps_ && atLineStart_) {
      for (const char s : stamp) file_.Put(s);
    }
    file_.Put(c);
    atLineStart_ = c == '\n';
  }
  file_.Flush();
  const auto failure = file_.FailureToSay();
  if (!failure) return {};
  return "cannot write " + path_ + ": " + std::strerror(failure->error) + "; the log stops at " +
         std::to_string(failure->bytes) + " bytes";
}

std::string CaptureTimestamp(std::int64_t unixNs) {
  const std::time_t seconds = static_cast<std::time_t>(unixNs / 1'000'000'000);
  const int ms = static_cast<int>((unixNs / 1'000'000) % 1000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[48];
  const std::size_t n = std::strftime(text, sizeof text, "[%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d] ", ms);
  return text;
}
