#include "sim/pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

namespace q7m::sim {
namespace {

// How far ahead of the line the bridge reads from the pty: enough to keep
// the line busy between board accesses, little enough that a fast writer is
// held back by the pty's own buffer instead of by an ever-growing queue.
constexpr std::uint64_t kReadAheadNs = 50'000'000;
constexpr std::size_t kOutLimit = 16 * 1024 * 1024;
// Transmitted bytes are handed to the pty a millisecond's worth at a time,
// as a USB serial adapter's latency timer does. One byte at a time, each
// write (which wakes the program on the slave, about 10 us here) would be
// paid by the program's next board access: a cost per character that a real
// UART does not put on the host.
constexpr std::uint64_t kHandOverNs = 1'000'000;
constexpr std::uint32_t kMaxBaud = 125'000'000;
// What the reader holds for a line nobody is connected to (its bytes are
// thrown away at the next board access), and how long it waits for room.
constexpr std::size_t kUnconnectedRead = 4096;
constexpr auto kReaderWait = std::chrono::milliseconds(2);

std::string Errno(std::string_view what) {
  std::string s(what);
  s.append(": ").append(std::strerror(errno));
  return s;
}

bool ParseUint(std::string_view s, std::uint64_t limit, std::uint64_t& out) {
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > limit) return false;
  }
  out = v;
  return true;
}

}  // namespace

std::optional<PtyConfig> ParsePtyConfig(const char* (*get)(const char*), std::string& error,
                                        std::string_view prefix) {
  const std::string pathName = std::string(prefix) + "PTY";
  const std::string routesName = pathName + "_ROUTES";
  const std::string baudName = pathName + "_BAUD";
  PtyConfig c;
  const char* path = get(pathName.c_str());
  if (path == nullptr || *path == '\0') return c;
  c.linkPath = path;
  const char* routes = get(routesName.c_str());
  if (routes == nullptr || *routes == '\0') {
    c.routes.fill(true);
  } else {
    std::string_view rest(routes);
    while (true) {
      const std::size_t comma = rest.find(',');
      std::string_view item = rest.substr(0, comma);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
      std::uint64_t r = 0;
      if (!ParseUint(item, kRouteCount - 1, r)) {
        error = routesName + ": not a route number 0 to 5: \"" + std::string(item) + "\"";
        return std::nullopt;
      }
      c.routes[r] = true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  const char* baud = get(baudName.c_str());
  if (baud != nullptr && *baud != '\0') {
    std::uint64_t b = 0;
    if (!ParseUint(baud, kMaxBaud, b) || b == 0) {
      error = baudName + ": not a baud rate: \"" + std::string(baud) + "\"";
      return std::nullopt;
    }
    c.baud = static_cast<std::uint32_t>(b);
  }
  return c;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

int Fd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::shared_ptr<PtyBridge> PtyBridge::Open(const std::string& linkPath, std::uint32_t baud,
                                           std::string& error) {
  auto b = std::make_shared<PtyBridge>(Private{});
  b->baud_ = baud;
  b->master_ = Fd(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!b->master_.ok()) {
    error = Errno("posix_openpt");
    return nullptr;
  }
  if (grantpt(b->master_.get()) != 0 || unlockpt(b->master_.get()) != 0) {
    error = Errno("grantpt/unlockpt");
    return nullptr;
  }
  char name[128];
  if (ptsname_r(b->master_.get(), name, sizeof name) != 0) {
    error = Errno("ptsname_r");
    return nullptr;
  }
  b->slavePath_ = name;
  b->slave_ = Fd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!b->slave_.ok()) {
    error = Errno("open " + b->slavePath_);
    return nullptr;
  }
  // Raw: the remote program sees exactly the UART's bytes and its bytes
  // reach the UART unchanged, with no echo from the line discipline.
  termios t{};
  if (tcgetattr(b->slave_.get(), &t) != 0) {
    error = Errno("tcgetattr");
    return nullptr;
  }
  cfmakeraw(&t);
  if (tcsetattr(b->slave_.get(), TCSANOW, &t) != 0) {
    error = Errno("tcsetattr");
    return nullptr;
  }
  struct stat st {};
  if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = linkPath + ": exists and is not a symbolic link";
    return nullptr;
  }
  // A new link beside the old one, renamed over it, so that the path never
  // points at nothing while a reader retries.
  const std::string tmp = linkPath + ".q7m-new";
  ::unlink(tmp.c_str());
  if (::symlink(name, tmp.c_str()) != 0) {
    error = Errno("symlink " + linkPath);
    return nullptr;
  }
  if (::rename(tmp.c_str(), linkPath.c_str()) != 0) {
    error = Errno("rename to " + linkPath);
    ::unlink(tmp.c_str());
    return nullptr;
  }
  b->linkPath_ = linkPath;
  b->StartReader();
  return b;
}

void PtyBridge::StartReader() {
  // The program's signals are not the reader's to take: it starts with
  // every asynchronous signal blocked.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  reader_ = std::thread([this] { ReadLoop(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void PtyBridge::ReadLoop() {
  char buf[4096];
  while (!stopReader_.load(std::memory_order_relaxed)) {
    const std::size_t wanted = inWanted_.load(std::memory_order_relaxed);
    std::size_t have = 0;
    {
      const std::lock_guard<std::mutex> lock(inMutex_);
      have = in_.size();
    }
    if (have >= wanted) {
      std::this_thread::sleep_for(kReaderWait);
      continue;
    }
    pollfd p{master_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kReaderWait.count())) <= 0 || (p.revents & POLLIN) == 0) {
      if ((p.revents & (POLLHUP | POLLERR)) != 0) std::this_thread::sleep_for(kReaderWait);
      continue;
    }
    const ssize_t n = ::read(master_.get(), buf, std::min(wanted - have, sizeof buf));
    if (n > 0) {
      const std::lock_guard<std::mutex> lock(inMutex_);
      in_.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      // EIO: no program has the slave open.
      std::this_thread::sleep_for(kReaderWait);
    }
  }
}

PtyBridge::~PtyBridge() {
  stopReader_ = true;
  if (reader_.joinable()) reader_.join();
  Flush();
  if (linkPath_.empty()) return;
  // Remove the link only while it is still ours.
  char target[256];
  const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == slavePath_) {
    ::unlink(linkPath_.c_str());
  }
}

std::uint32_t PtyBridge::Baud() const {
  return baud_ != 0 ? baud_ : PacedRemote::Baud();
}

// The hooks run inside board accesses, which may be inside a signal handler
// of the trapped window: the interrupted code's errno must survive them.
class SavedErrno {
 public:
  SavedErrno() : saved_(errno) {}
  ~SavedErrno() { errno = saved_; }
  SavedErrno(const SavedErrno&) = delete;
  SavedErrno& operator=(const SavedErrno&) = delete;

 private:
  int saved_;
};

void PtyBridge::OnTransmit(std::uint8_t byte, std::uint64_t doneNs) {
  const SavedErrno keep;
  if (out_.size() >= kOutLimit) {
    ++outDropped_;  // counted and reported, not silent
  } else {
    if (out_.empty()) oldestOutNs_ = doneNs;
    out_.push_back(static_cast<char>(byte));
  }
  if (doneNs >= oldestOutNs_ + kHandOverNs) Flush();
}

void PtyBridge::Flush() {
  while (!out_.empty()) {
    const ssize_t n = ::write(master_.get(), out_.data(), out_.size());
    if (n <= 0) return;  // EAGAIN: the slave's reader is behind; keep the rest
    out_.erase(0, static_cast<std::size_t>(n));
  }
}

void PtyBridge::OnDisconnect(std::uint64_t nowNs) {
  const SavedErrno keep;
  PacedRemote::OnDisconnect(nowNs);
  Flush();
}

void PtyBridge::HandOver() {
  const SavedErrno keep;
  Flush();
}

void PtyBridge::Advance(std::uint64_t nowNs) {
  const SavedErrno keep;
  if (!out_.empty() && nowNs >= oldestOutNs_ + kHandOverNs) Flush();
  PacedRemote::Advance(nowNs);
  const std::uint64_t baud = Baud();
  const std::uint64_t budget = kReadAheadNs * baud / 10'000'000'000ULL;
  const std::uint64_t pending = PendingBytes();
  const std::size_t want = !Connected()        ? kUnconnectedRead
                           : pending >= budget ? 0
                                               : static_cast<std::size_t>(budget - pending);
  inWanted_.store(want, std::memory_order_relaxed);
  if (want == 0) return;
  const std::unique_lock<std::mutex> lock(inMutex_, std::try_to_lock);
  if (!lock.owns_lock() || in_.empty()) return;
  const std::size_t n = std::min(want, in_.size());
  // A line nobody is connected to carries the bytes nowhere.
  if (Connected()) Emit(std::string_view(in_.data(), n), nowNs);
  in_.erase(0, n);
}

}  // namespace q7m::sim
