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
  return {};
}

void CaptureFile::Put(char byte) {
  if (fd_ < 0) return;
  if (used_ == buffer_.size()) Flush();
  buffer_[used_++] = byte;
}

void CaptureFile::Flush() {
  std::size_t done = 0;
  while (fd_ >= 0 && done < used_) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    // A full disk drops the rest: the terminal goes on.
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  used_ = 0;
}

void CaptureFile::Close() {
  if (fd_ < 0) return;
  Flush();
  ::close(fd_);
  fd_ = -1;
}
