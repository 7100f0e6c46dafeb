#include "bridge/pty_termios.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

bool Get(int fd, termios2& t) {
  return ::ioctl(fd, TCGETS2, &t) == 0;
}

bool Set(int fd, const termios2& t) {
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

// A rate with a B constant is set as that constant, so that a client's
// cfgetospeed (which knows only the constants) reads it back; any other rate
// is set as a number (BOTHER).
tcflag_t SpeedBits(std::uint32_t baud) {
  static constexpr struct {
    std::uint32_t baud;
    tcflag_t bits;
  } kRates[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& rate : kRates) {
    if (rate.baud == baud) return rate.bits;
  }
  return BOTHER;
}

}  // namespace

bool PtySetRaw(int masterFd, std::uint32_t baud) {
  termios2 t{};
  if (!Get(masterFd, t)) return false;
  // What cfmakeraw does.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_lflag |= EXTPROC;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CBAUD | (CBAUD << IBSHIFT));
  const tcflag_t speed = SpeedBits(baud);
  t.c_cflag |= CS8 | CREAD | CLOCAL | speed;
  // No input speed of its own: the same as the output's.
  if (speed == BOTHER) t.c_cflag |= BOTHER << IBSHIFT;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return Set(masterFd, t);
}

std::optional<std::uint32_t> PtySpeed(int masterFd) {
  termios2 t{};
  if (!Get(masterFd, t)) return std::nullopt;
  return static_cast<std::uint32_t>(t.c_ospeed);
}

bool PtyKeepExtproc(int masterFd) {
  termios2 t{};
  if (!Get(masterFd, t) || (t.c_lflag & EXTPROC) != 0) return false;
  t.c_lflag |= EXTPROC;
  return Set(masterFd, t);
}

std::optional<FlowModes> PtyFlowModes(int masterFd) {
  termios2 t{};
  if (!Get(masterFd, t)) return std::nullopt;
  FlowModes modes;
  modes.ixon = (t.c_iflag & IXON) != 0;
  modes.ixany = (t.c_iflag & IXANY) != 0;
  modes.ixoff = (t.c_iflag & IXOFF) != 0;
  modes.start = static_cast<std::uint8_t>(t.c_cc[VSTART]);
  modes.stop = static_cast<std::uint8_t>(t.c_cc[VSTOP]);
  return modes;
}
