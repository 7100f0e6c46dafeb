#include "bridge/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/link_path.h"
#include "bridge/pty_termios.h"

namespace {

// What the kernel holds for the master at most, with room to spare: a drain
// after a termios change stops there even if a client keeps writing.
constexpr std::size_t kDrainLimit = 64 * 1024;

std::string Reason(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

std::unique_ptr<PtyPort> PtyPort::Open(const std::string& linkPath, std::uint32_t baud,
                                       std::string& error, std::optional<gid_t> group) {
  auto port = std::make_unique<PtyPort>(Private{});
  port->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port->master_ < 0) {
    error = Reason("cannot open a pseudo-terminal");
    return nullptr;
  }
  char name[128];
  if (::grantpt(port->master_) != 0 || ::unlockpt(port->master_) != 0 ||
      ::ptsname_r(port->master_, name, sizeof name) != 0) {
    error = Reason("cannot unlock the pseudo-terminal");
    return nullptr;
  }
  port->slavePath_ = name;
  // The system gives the slave to its owner and, for writing only, to the
  // group tty; a console server or a test farm's exporter running as a user
  // of its own reads it through a group.
  if (group && (::chown(name, static_cast<uid_t>(-1), *group) != 0 || ::chmod(name, 0660) != 0)) {
    error = Reason("cannot give " + port->slavePath_ + " to group " + std::to_string(*group));
    return nullptr;
  }
  // The master reports a hang-up only once a slave has been closed: one is
  // opened and closed so that "no client" reads the same from the start.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    error = Reason("cannot open " + port->slavePath_);
    return nullptr;
  }
  ::close(slave);
  int on = 1;
  if (!PtySetRaw(port->master_, baud) || ::ioctl(port->master_, TIOCPKT, &on) != 0) {
    error = Reason("cannot set the pseudo-terminal up");
    return nullptr;
  }
  // Checked again here, just before the link is made.
  if (std::string refusal = LinkPathRefusal(linkPath); !refusal.empty()) {
    error = std::move(refusal);
    return nullptr;
  }
  // A new link beside the old one, renamed over it: the path never names
  // nothing while a client retries.
  const std::string fresh = linkPath + ".new-" + std::to_string(::getpid());
  ::unlink(fresh.c_str());
  if (::symlink(name, fresh.c_str()) != 0) {
    error = Reason("cannot make the link " + linkPath);
    return nullptr;
  }
  if (::rename(fresh.c_str(), linkPath.c_str()) != 0) {
    error = Reason("cannot make the link " + linkPath);
    ::unlink(fresh.c_str());
    return nullptr;
  }
  port->linkPath_ = linkPath;
  return port;
}

PtyPort::~PtyPort() {
  if (!linkPath_.empty()) {
    char target[256];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == slavePath_) {
      ::unlink(linkPath_.c_str());
    }
  }
  if (master_ >= 0) ::close(master_);
}

bool PtyPort::ClientPresent() const {
  pollfd fd{master_, 0, 0};
  return ::poll(&fd, 1, 0) >= 0 && (fd.revents & POLLHUP) == 0;
}

PtyPort::Input PtyPort::Read(std::size_t max) {
  Input input;
  char buffer[4097];
  for (;;) {
    // After a change, the data written before it is still to come.
    if (!input.termiosChanged && input.data.size() >= max) break;
    if (input.data.size() >= max + kDrainLimit) break;
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) break;  // nothing more now, or no client
    const auto status = static_cast<unsigned char>(buffer[0]);
    if (status == TIOCPKT_DATA) {
      input.data.append(buffer + 1, static_cast<std::size_t>(n - 1));
      continue;
    }
    if ((status & TIOCPKT_FLUSHWRITE) != 0) input.flushedOutput = true;
    if ((status & TIOCPKT_FLUSHREAD) != 0) input.flushedInput = true;
    if ((status & TIOCPKT_IOCTL) != 0) input.termiosChanged = true;
  }
  return input;
}

std::size_t PtyPort::Write(std::string_view bytes) {
  if (bytes.empty()) return 0;
  const ssize_t n = ::write(master_, bytes.data(), bytes.size());
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::optional<std::uint32_t> PtyPort::Speed() const {
  return PtySpeed(master_);
}

std::optional<FlowModes> PtyPort::Flow() const {
  return PtyFlowModes(master_);
}

bool PtyPort::KeepAnnouncing() {
  return PtyKeepExtproc(master_);
}
