#include "console/wait_source.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

WakeFlag::WakeFlag() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeFlag::~WakeFlag() {
  if (fd_ >= 0) ::close(fd_);
}

void WakeFlag::Raise() {
  if (up_.exchange(true) || fd_ < 0) return;
  const std::uint64_t one = 1;
  (void)!::write(fd_, &one, sizeof one);
}

bool WakeFlag::Ready() {
  // The count only wakes the poll; the flag says what is true.
  std::uint64_t count = 0;
  if (fd_ >= 0) (void)!::read(fd_, &count, sizeof count);
  return up_.load();
}
