#pragma once
// One program at a time per board: an exclusive flock on an open file of the
// board (the access library for real boards locks the board's sysfs
// `config`, the simulated one a lock file of each simulated board).
//
// flock belongs to the open file, so the kernel drops it when the holder
// closes it or ends in any way, SIGKILL included; nothing stale is left
// behind. Who holds a refused lock is read from /proc/locks and
// /proc/<pid>/comm, for the message only: the kernel alone decides.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace q7m::pcie_linux {

enum class LockStatus {
  kLocked,  // this open file holds the lock now
  kHeld,    // another open file holds it; `holder` says whose
  kFailed,  // the file system would not lock it; `error` is the errno
};

struct LockAttempt {
  LockStatus status = LockStatus::kFailed;
  int error = 0;
  std::string holder;
};

// Takes the lock without waiting.
LockAttempt LockExclusive(int fd);

// "process 4242 (q7m-uart)" for the process holding the flock on the file
// open at `fd`, or a plain "another process" when /proc/locks does not tell.
std::string DescribeLockHolder(int fd);

// The pid that /proc/locks (its text) names for a granted flock on the file
// with this device and inode. Waiting requests and other kinds of lock do not
// count. When no line has the device (a stacked file system may show another
// one), a single line with the inode alone is taken.
std::optional<long> FlockHolder(std::string_view procLocks, unsigned major, unsigned minor,
                                std::uint64_t inode);

}  // namespace q7m::pcie_linux
