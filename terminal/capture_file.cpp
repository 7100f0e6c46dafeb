#include "terminal/capture_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

CaptureFile::~CaptureFile() {
  Close();
}

std::string CaptureFile::Open(const std::string& name) {
  Close();
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  fd_ = fd;
  used_ = 0;
  written_ = 0;
  error_ = 0;
  said_ = false;
  return {};
}

void CaptureFile::Put(char byte) {
  if (fd_ < 0 || error_.load(std::memory_order_relaxed) != 0) return;
  if (used_ == buffer_.size()) Flush();
  buffer_[used_++] = byte;
}

void CaptureFile::Flush() {
  std::size_t done = 0;
  while (fd_ >= 0 && done < used_ && error_.load(std::memory_order_relaxed) == 0) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A write that takes nothing without an error is a full file system
      // too.
      error_.store(n == 0 ? ENOSPC : errno);
      break;
    }
    done += static_cast<std::size_t>(n);
    written_.fetch_add(static_cast<std::uint64_t>(n));
  }
  used_ = 0;
}

void CaptureFile::Close() {
  if (fd_ < 0) return;
  Flush();
  ::close(fd_);
  fd_ = -1;
}

std::optional<CaptureFile::Failure> CaptureFile::Failed() const {
  const int error = error_.load();
  if (error == 0) return std::nullopt;
  return Failure{error, written_.load()};
}

std::optional<CaptureFile::Failure> CaptureFile::FailureToSay() {
  const auto failure = Failed();
  if (!failure || said_.exchange(true)) return std::nullopt;
  return failure;
}

std::string CaptureStoppedText(std::string_view file, const CaptureFile::Failure& failure) {
  return std::string(file) + ": " + std::strerror(failure.error) + "; capture stopped at " +
         std::to_string(failure.bytes) + " bytes";
}
