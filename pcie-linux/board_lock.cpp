#include "pcie-linux/board_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "pcie-linux/digits.h"
#include "pcie-linux/unique_fd.h"

namespace q7m::pcie_linux {
namespace {

std::string ReadSmallFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!fd.valid()) return text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

std::optional<std::uint64_t> Number(std::string_view text, int base) {
  return ParseDigits(text, base, 20);
}

struct FlockLine {
  long pid;
  unsigned major, minor;
  std::uint64_t inode;
};

// "1: FLOCK  ADVISORY  WRITE 5979 fe:00:10953099 0 EOF"; a waiting request
// has "->" after the number.
std::optional<FlockLine> ParseLine(const std::string& line) {
  std::istringstream words(line);
  std::string number, kind, advisory, mode, pid, file;
  if (!(words >> number >> kind)) return std::nullopt;
  if (kind == "->" || kind != "FLOCK") return std::nullopt;
  if (!(words >> advisory >> mode >> pid >> file)) return std::nullopt;
  const auto pidValue = Number(pid, 10);
  const std::size_t colon1 = file.find(':');
  const std::size_t colon2 = file.find(':', colon1 == std::string::npos ? 0 : colon1 + 1);
  if (!pidValue || colon1 == std::string::npos || colon2 == std::string::npos) return std::nullopt;
  const auto major = Number(std::string_view(file).substr(0, colon1), 16);
  const auto minor = Number(std::string_view(file).substr(colon1 + 1, colon2 - colon1 - 1), 16);
  const auto inode = Number(std::string_view(file).substr(colon2 + 1), 10);
  if (!major || !minor || !inode) return std::nullopt;
  return FlockLine{static_cast<long>(*pidValue), static_cast<unsigned>(*major),
                   static_cast<unsigned>(*minor), *inode};
}

}  // namespace

std::optional<long> FlockHolder(std::string_view procLocks, unsigned major, unsigned minor,
                                std::uint64_t inode) {
  std::istringstream lines{std::string(procLocks)};
  std::vector<long> sameInode;
  for (std::string line; std::getline(lines, line);) {
    const auto lock = ParseLine(line);
    if (!lock || lock->inode != inode) continue;
    if (lock->major == major && lock->minor == minor) return lock->pid;
    sameInode.push_back(lock->pid);
  }
  if (sameInode.size() == 1) return sameInode.front();
  return std::nullopt;
}

std::string DescribeLockHolder(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "another process";
  const auto pid = FlockHolder(ReadSmallFile("/proc/locks"), major(info.st_dev), minor(info.st_dev),
                               static_cast<std::uint64_t>(info.st_ino));
  if (!pid || *pid <= 0) return "another process";
  std::string command = ReadSmallFile("/proc/" + std::to_string(*pid) + "/comm");
  while (!command.empty() && (command.back() == '\n' || command.back() == ' ')) {
    command.pop_back();
  }
  std::string text = "process " + std::to_string(*pid);
  if (!command.empty()) text += " (" + command + ")";
  return text;
}

LockAttempt LockExclusive(int fd) {
  LockAttempt attempt;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    attempt.status = LockStatus::kLocked;
    return attempt;
  }
  attempt.error = errno;
  if (attempt.error == EWOULDBLOCK) {
    attempt.status = LockStatus::kHeld;
    attempt.holder = DescribeLockHolder(fd);
  }
  return attempt;
}

}  // namespace q7m::pcie_linux
