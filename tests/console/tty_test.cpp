// The tty layer's signals: a termination signal ends the console's wait and
// unwinds the program with it; a crash signal does its work on the main
// thread.

#include "console/tty.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "console/console.h"
#include "console/program_end.h"

namespace {

// Reports on a pipe what happened to it: "W" when a wait began, and "D" or
// "X" when it was destroyed outside or inside one of its own calls.
class ProbeBackend : public ConsoleBackend {
 public:
  explicit ProbeBackend(int fd) : fd_(fd) {}
  ~ProbeBackend() override { Say(inCall_ ? "X" : "D"); }
  void Present(ScreenModel& screen) override {
    const Call call(*this);
    screen.MarkClean();
  }
  std::uint64_t KeysArrived() override { return 0; }
  std::string TakeKey() override { return {}; }
  bool KeyQueued(std::string_view) override { return false; }
  WaitEnd Wait(std::uint64_t, std::uint64_t, std::span<WaitSource* const>) override {
    const Call call(*this);
    Say("W");
    // The signal comes while the backend waits; the wait ends for it.
    ::raise(SIGTERM);
    return TtySignalPending() ? WaitEnd::kSignal : WaitEnd::kDeadline;
  }
  int TakeSignal() override { return TtyTakePendingSignal(); }
  std::uint64_t NowNs() const override { return 0; }
  void Tone(int, int) override {}
  void Say(const char* text) const { (void)!::write(fd_, text, 1); }

 private:
  struct Call {
    explicit Call(ProbeBackend& b) : backend(b) { backend.inCall_ = true; }
    ~Call() { backend.inCall_ = false; }
    ProbeBackend& backend;
  };
  int fd_;
  bool inCall_ = false;
};

TEST(TtySignals, ATerminationSignalEndsTheWaitAndUnwindsWithTheSignal) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    TtyTakeOver();
    TtySetActive();
    auto backend = std::make_unique<ProbeBackend>(pipeFds[1]);
    ProbeBackend* probe = backend.get();
    ConsoleAttach(std::move(backend));
    try {
      WaitMs(50);
      probe->Say("R");  // not reached: the signal ends the wait
    } catch (const ProgramEnd& end) {
      probe->Say(end.signal == SIGTERM ? "T" : "?");
    }
    ConsoleDetach();
    _exit(0);
  }
  ::close(pipeFds[1]);
  std::string said;
  char c;
  while (::read(pipeFds[0], &c, 1) == 1) said.push_back(c);
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(said, "WTD") << "one wait, the end with its signal, then the backend destroyed "
                            "outside its calls";
}

TEST(TtySignals, WithoutTheScreenATerminationSignalKillsAtOnce) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TtyTakeOver();  // handlers in place, but the screen is not up
    ::raise(SIGTERM);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_FALSE(TtySignalPending());
}

// Where the crash work runs: the pipe it tells, and the process's main thread.
int g_crashPipe = -1;
void TellWhichThread(void*) {
  const char where = ::gettid() == ::getpid() ? 'M' : 'O';
  [[maybe_unused]] const ssize_t n = ::write(g_crashPipe, &where, 1);
}

TEST(TtySignals, ACrashSignalFromAnotherProcessIsHandledOnTheMainThread) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    g_crashPipe = fds[1];
    TtyTakeOver();
    TtySetCrashWork(TellWhichThread, nullptr);
    // The main thread blocks the signal for a while, so the kernel gives it
    // to the other thread, as it may give it to any thread that is working.
    sigset_t segv;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    pthread_sigmask(SIG_BLOCK, &segv, nullptr);
    std::thread other([segv] {
      pthread_sigmask(SIG_UNBLOCK, &segv, nullptr);  // it inherited the block
      for (;;) ::pause();
    });
    other.detach();
    const char ready = 'R';
    [[maybe_unused]] const ssize_t n = ::write(fds[1], &ready, 1);
    ::sleep(1);
    pthread_sigmask(SIG_UNBLOCK, &segv, nullptr);
    ::sleep(30);
    _exit(0);
  }
  ::close(fds[1]);
  char got = 0;
  ASSERT_EQ(::read(fds[0], &got, 1), 1);
  ASSERT_EQ(got, 'R');
  ::kill(child, SIGSEGV);
  std::string where;
  while (::read(fds[0], &got, 1) == 1) where += got;
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(where, "M") << "the crash work ran once, on the main thread";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
}

}  // namespace
