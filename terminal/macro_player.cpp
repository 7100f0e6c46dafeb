#include "terminal/macro_player.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "config/number_reader.h"
#include "console/ascii.h"
#include "console/console.h"
#include "terminal/uart_screen.h"

extern char** environ;

namespace {

enum class MacroState { Idle, Quoted, CharCode, Wait, AfterC, AfterL };

constexpr const char* kViewerName = "QV.EXE";
constexpr std::uint64_t kViewerPollNs = 10'000'000;
constexpr std::uint64_t kViewerCheckNs = 50'000'000;

constexpr std::uint64_t kNsPerMs = 1'000'000;

void ReportPosition(const std::string& command, std::size_t position) {
  ReportError("Cmd:" + command + "  Pos" + std::to_string(position) + " ??");
}

// Waits, the screen live, until every byte queued has left and then `ms`
// more than the pause after the last of them, counted from when it left;
// -1 until a key waits, and a wait of 100 ms or more ends early when one
// does (the key stays for the terminal). False when Shift-F2 came: the macro
// ends there.
bool WaitAfterSent(UartScreen& line, std::int32_t ms) {
  if (!line.WaitSent(KeyShiftF2)) return false;
  const UartEngine& engine = line.Session().Engine();
  std::uint64_t start = ConsoleNowNs();
  if (engine.Sent() != 0) start = std::max(start, engine.LastSentNs() + kKeyGapNs);
  const std::uint64_t deadline =
      ms == -1 ? kNoDeadline : start + static_cast<std::uint64_t>(std::max(ms, 0)) * kNsPerMs;
  const bool keyEnds = ms == -1 || ms >= 100;
  for (;;) {
    if (ConsoleKeyQueued(KeyShiftF2)) return false;
    if (keyEnds && ConsoleKeyWaiting()) return true;
    if (ConsoleNowNs() >= deadline) return true;
    ConsoleWaitUntil(deadline, KeyWake::kNew);
  }
}

// One byte of a macro, sent once the one before it and its pause are over,
// so that none is queued that Shift-F2 would have to take back; the macro
// reads on once it has left. False when Shift-F2 came.
bool PlayByte(UartScreen& line, char byte) {
  if (!WaitAfterSent(line, 0)) return false;
  SendKeys(line, std::string_view(&byte, 1));
  return line.WaitSent(KeyShiftF2);
}

// A child the viewer runs as: its end wakes the console's wait.
class ChildEnd final : public WaitSource {
 public:
  explicit ChildEnd(pid_t pid)
      : pid_(pid), fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  ~ChildEnd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ChildEnd(const ChildEnd&) = delete;
  ChildEnd& operator=(const ChildEnd&) = delete;
  int Fd() const override { return fd_; }
  bool Ready() override {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    return done == pid_ || (done < 0 && errno != EINTR);
  }

 private:
  pid_t pid_;
  int fd_;
};

}  // namespace

void SendKeys(UartScreen& line, std::string_view text) {
  for (std::size_t queued = 0; queued < text.size();) {
    queued += line.Session().Send(text.substr(queued));
    // The engine's queue holds seconds of typing; room comes a byte a gap.
    if (queued < text.size()) {
      ConsoleWaitUntil(ConsoleNowNs() + kKeyGapNs, KeyWake::kNone);
    }
  }
}

void RunExternalViewer() {
  struct stat info {};
  const bool local = ::stat(kViewerName, &info) == 0 && S_ISREG(info.st_mode);
  const std::string path = local ? std::string("./") + kViewerName : std::string(kViewerName);
  std::string arg0 = kViewerName;
  char* argv[] = {arg0.data(), nullptr};

  ConsoleSuspend();
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, path.c_str(), nullptr, nullptr, argv, environ);
  if (spawned == 0) {
    // Waited for in the console's wait, so that what arrives meanwhile goes
    // on into the screen and a termination signal is acted on. The process
    // descriptor wakes the wait when the viewer ends; the end is also looked
    // for now and then (a kernel without process descriptors, a console on
    // a virtual clock).
    ChildEnd end(pid);
    while (ConsoleWaitUntil(ConsoleNowNs() + (end.Fd() >= 0 ? kViewerCheckNs : kViewerPollNs),
                            KeyWake::kNone, &end) != WaitResult::kSource) {
    }
  }
  ConsoleResume();
  if (spawned != 0) {
    ReportError(std::string("Cannot start ") + kViewerName + ": " + std::strerror(spawned));
  }
}

void RunMacro(UartScreen& line, int slot) {
  if (slot < 1 || slot > kMacroSlots) return;
  const std::int32_t lines = MacroCount[static_cast<std::size_t>(slot)];
  if (lines <= 0) return;
  if (lines >= 2) {
    RunExternalViewer();
    return;
  }
  // The appended space ends a "$" or "W" argument that stands last.
  const std::string command = MacroText[static_cast<std::size_t>(slot)][1] + " ";
  MacroState state = MacroState::Idle;
  std::string number;
  for (std::size_t i = 1; i <= command.size(); ++i) {
    const char c = command[i - 1];
    const char u = AsciiUpper(c);
    switch (state) {
      case MacroState::Idle:
        if (c == '"') {
          state = MacroState::Quoted;
        } else if (c == '$') {
          number.clear();
          state = MacroState::CharCode;
        } else if (u == 'W') {
          number.clear();
          state = MacroState::Wait;
        } else if (u == 'C') {
          state = MacroState::AfterC;
        } else if (u == 'L') {
          state = MacroState::AfterL;
        } else if (c == ' ') {
        } else if (c == '\'') {
          return;
        } else {
          ReportPosition(command, i);
        }
        break;
      case MacroState::Quoted:
        if (c == '"') {
          state = MacroState::Idle;
        } else if (!PlayByte(line, c)) {
          return;
        }
        break;
      case MacroState::CharCode:
        if (c == ' ') {
          const char byte = static_cast<char>(ReadRoundedInteger(number) & 0xFF);
          if (!PlayByte(line, byte)) return;
          state = MacroState::Idle;
        } else {
          number.push_back(c);
        }
        break;
      case MacroState::Wait:
        if (c == ' ') {
          const std::int32_t ms = SaturateInt32(ReadRoundedInteger(number));
          // -1 waits for a key; other negative waits do nothing.
          if ((ms == -1 || ms > 0) && !WaitAfterSent(line, ms)) return;
          state = MacroState::Idle;
        } else {
          number.push_back(c);
        }
        break;
      case MacroState::AfterC:
        if (c == 'R') {
          if (!PlayByte(line, '\r')) return;
        } else {
          ReportPosition(command, i);
        }
        state = MacroState::Idle;
        break;
      case MacroState::AfterL:
        if (c == 'F') {
          if (!PlayByte(line, '\n')) return;
        } else {
          ReportPosition(command, i);
        }
        state = MacroState::Idle;
        break;
    }
  }
}
