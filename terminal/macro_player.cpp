#include "terminal/macro_player.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "config/number_reader.h"
#include "console/ascii.h"
#include "console/console.h"
#include "uart/uart.h"
#include "uart/uart_engine.h"

extern char** environ;

namespace {

enum class MacroState { Idle, Quoted, CharCode, Wait, AfterC, AfterL };

constexpr const char* kViewerName = "QV.EXE";
constexpr int kViewerPollMs = 10;

constexpr std::uint64_t kNsPerMs = 1'000'000;

void ReportPosition(const std::string& command, std::size_t position) {
  ReportError("Cmd:" + command + "  Pos" + std::to_string(position) + " ??");
}

// The engine sends each byte kKeyGapNs after the previous one left; this
// waits until the last has left and its own pause is over.
void SendThroughEngine(UartEngine& engine, std::string_view text) {
  for (std::size_t queued = 0; queued < text.size();) {
    queued += engine.Send(text.substr(queued));
    if (queued < text.size()) PauseMs(1);
  }
  const std::uint64_t last = engine.Queued();
  while (engine.Sent() < last) PauseMs(1);
  const std::uint64_t until = engine.LastSentNs() + kKeyGapNs;
  const std::uint64_t now = ConsoleNowNs();
  if (until > now) PauseMs(static_cast<int>((until - now + kNsPerMs - 1) / kNsPerMs));
}

}  // namespace

void SendKeys(std::string_view text) {
  if (UartEngine* engine = UartEngine::Owner()) {
    SendThroughEngine(*engine, text);
    return;
  }
  for (const char byte : text) {
    UartSendStr(UartPort, UartRegBase, std::string_view(&byte, 1));
    WaitMs(static_cast<int>(kKeyGapNs / kNsPerMs));
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
    // Polled rather than waited for, so that a termination signal is acted
    // on while the viewer runs.
    int status = 0;
    for (;;) {
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid || (done < 0 && errno != EINTR)) break;
      WaitMs(kViewerPollMs);
    }
  }
  ConsoleResume();
  if (spawned != 0) {
    ReportError(std::string("Cannot start ") + kViewerName + ": " + std::strerror(spawned));
  }
}

void RunMacro(int slot) {
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
        } else {
          SendKeys(std::string_view(&c, 1));
        }
        break;
      case MacroState::CharCode:
        if (c == ' ') {
          const char byte = static_cast<char>(ReadRoundedInteger(number) & 0xFF);
          SendKeys(std::string_view(&byte, 1));
          state = MacroState::Idle;
        } else {
          number.push_back(c);
        }
        break;
      case MacroState::Wait:
        if (c == ' ') {
          const std::int32_t ms = SaturateInt32(ReadRoundedInteger(number));
          // -1 waits for a key; other negative waits do nothing.
          if (ms == -1 || ms > 0) WaitMs(ms);
          state = MacroState::Idle;
        } else {
          number.push_back(c);
        }
        break;
      case MacroState::AfterC:
        if (c == 'R') {
          SendKeys("\r");
        } else {
          ReportPosition(command, i);
        }
        state = MacroState::Idle;
        break;
      case MacroState::AfterL:
        if (c == 'F') {
          SendKeys("\n");
        } else {
          ReportPosition(command, i);
        }
        state = MacroState::Idle;
        break;
    }
  }
}
