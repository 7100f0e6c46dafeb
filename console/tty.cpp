#include "console/tty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::array<int, 3> kTerminationSignals = {SIGTERM, SIGHUP, SIGINT};
constexpr std::array<int, 5> kFatalSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

struct TtyState {
  volatile std::sig_atomic_t active = 0;
  volatile std::sig_atomic_t pendingSignal = 0;
  termios savedTermios{};
  bool haveTermios = false;
  std::array<char, 512> resetSequence{};
  std::size_t resetLength = 0;
  void (*screenEnd)() = nullptr;
  // Set by the program's thread, read by a crash on any thread.
  std::atomic<void (*)(void*)> crashWork{nullptr};
  std::atomic<void*> crashContext{nullptr};
  // Written by the termination handler, read by the console's wait.
  int signalPipe[2] = {-1, -1};
  bool fatalHandlersInstalled = false;
  bool terminationHandlersInstalled = false;
  std::array<struct sigaction, kTerminationSignals.size()> previousTermination{};
};

TtyState g_tty;

void SetDisposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

void OnTerminationSignal(int sig) {
  if (g_tty.active) {
    // Ending here could interrupt the screen mid-update; the console's wait
    // ends the program properly.
    g_tty.pendingSignal = sig;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_tty.signalPipe[1], &byte, 1);
    return;
  }
  SetDisposition(sig, SIG_DFL);
  raise(sig);
}

void OnFatalSignal(int sig, siginfo_t* info, void*) {
  // A crash signal sent by another process (kill -SEGV) may land on any
  // thread, in the middle of that thread's work; the crash work would then
  // find it half done. The main thread takes it instead. A fault or an
  // abort of this process's own is handled where it happened.
  const pid_t process = getpid();
  if (info != nullptr && info->si_code <= 0 && info->si_pid != process && gettid() != process) {
    tgkill(process, process, sig);
    return;
  }
  if (const auto work = g_tty.crashWork.load()) work(g_tty.crashContext.load());
  if (g_tty.active) {
    g_tty.active = 0;
    [[maybe_unused]] ssize_t written =
        write(STDOUT_FILENO, g_tty.resetSequence.data(), g_tty.resetLength);
    if (g_tty.haveTermios) tcsetattr(STDIN_FILENO, TCSANOW, &g_tty.savedTermios);
  }
  // The signal is blocked while this runs; it is delivered again, now with
  // the default action, when the handler returns (a fault simply recurs).
  SetDisposition(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

bool TtyTakeOver() {
  g_tty.haveTermios = tcgetattr(STDIN_FILENO, &g_tty.savedTermios) == 0;
  g_tty.pendingSignal = 0;
  if (g_tty.signalPipe[0] < 0 && pipe2(g_tty.signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    g_tty.signalPipe[0] = g_tty.signalPipe[1] = -1;
  }
  for (std::size_t i = 0; i < kTerminationSignals.size(); ++i) {
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a sleep must wake up to notice the signal.
    sigaction(kTerminationSignals[i], &action, &g_tty.previousTermination[i]);
  }
  g_tty.terminationHandlersInstalled = true;
  // Installed once only: the simulated board library puts its own fault
  // handler in front later and passes foreign faults on to this one.
  if (!g_tty.fatalHandlersInstalled) {
    for (int sig : kFatalSignals) {
      struct sigaction action {};
      action.sa_sigaction = OnFatalSignal;
      action.sa_flags = SA_SIGINFO;
      sigemptyset(&action.sa_mask);
      sigaction(sig, &action, nullptr);
    }
    g_tty.fatalHandlersInstalled = true;
  }
  return g_tty.haveTermios;
}

void TtyReleaseSignals() {
  if (!g_tty.terminationHandlersInstalled) return;
  for (std::size_t i = 0; i < kTerminationSignals.size(); ++i) {
    sigaction(kTerminationSignals[i], &g_tty.previousTermination[i], nullptr);
  }
  g_tty.terminationHandlersInstalled = false;
}

void TtySetResetSequence(std::string_view bytes) {
  g_tty.resetLength = std::min(bytes.size(), g_tty.resetSequence.size());
  std::memcpy(g_tty.resetSequence.data(), bytes.data(), g_tty.resetLength);
}

void TtySetScreenEnd(void (*screenEnd)()) {
  g_tty.screenEnd = screenEnd;
}

void TtySetCrashWork(void (*work)(void*), void* context) {
  // Cleared first, so that a crash between the two stores does no half work.
  g_tty.crashWork.store(nullptr);
  g_tty.crashContext.store(context);
  g_tty.crashWork.store(work);
}

void TtySetActive() {
  g_tty.pendingSignal = 0;
  g_tty.active = 1;
}

bool TtyActive() {
  return g_tty.active != 0;
}

void RestoreTerminal() {
  if (!g_tty.active) return;
  // From here a termination signal ends the program at once, as it would
  // without the screen.
  g_tty.active = 0;
  if (g_tty.screenEnd != nullptr) g_tty.screenEnd();
  if (g_tty.haveTermios) tcsetattr(STDIN_FILENO, TCSANOW, &g_tty.savedTermios);
  TtyReleaseSignals();
}

int TtyTakePendingSignal() {
  const int sig = g_tty.pendingSignal;
  g_tty.pendingSignal = 0;
  char drained[64];
  while (g_tty.signalPipe[0] >= 0 && read(g_tty.signalPipe[0], drained, sizeof drained) > 0) {
  }
  return sig;
}

int TtySignalFd() {
  return g_tty.signalPipe[0];
}

bool TtySignalPending() {
  return g_tty.pendingSignal != 0;
}

void TtyDieOfSignal(int sig) {
  SetDisposition(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);
}
