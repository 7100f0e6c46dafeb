#include "bridge/capture_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

std::string CaptureLog::Open(const std::string& path, bool timestamps) {
  file_.reset(std::fopen(path.c_str(), "wbe"));
  if (!file_) return std::strerror(errno);
  timestamps_ = timestamps;
  atLineStart_ = true;
  return {};
}

void CaptureLog::Write(std::string_view bytes, std::int64_t unixNs) {
  if (!file_ || bytes.empty()) return;
  std::string text;
  if (!timestamps_) {
    text.assign(bytes);
  } else {
    const std::string stamp = CaptureTimestamp(unixNs);
    for (const char c : bytes) {
      if (atLineStart_) text += stamp;
      text.push_back(c);
      atLineStart_ = c == '\n';
    }
  }
  std::fwrite(text.data(), 1, text.size(), file_.get());
  std::fflush(file_.get());
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
