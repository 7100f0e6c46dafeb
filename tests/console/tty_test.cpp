// The tty layer's termination signals, acted on by the console once the
// backend call they came in has returned.

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

// Reports on a pipe what happened to it: "S" when a sleep began, "E" when the
// end work ran, and "D" or "X" when it was destroyed outside or inside one
// of its own calls.
class ProbeBackend : public ConsoleBackend {
 public:
  explicit ProbeBackend(int fd) : fd_(fd) {}
  ~ProbeBackend() override { Say(inCall_ ? "X" : "D"); }
  void Present(ScreenModel& screen) override {
    const Call call(*this);
    screen.MarkClean();
  }
  bool KeyWaiting() override {
    const Call call(*this);
    return false;
  }
  std::string TakeKey() override {
    const Call call(*this);
    return {};
  }
  void SleepMs(int) override {
    const Call call(*this);
    Say("S");
    // The signal comes while the backend runs; the sleep is cut short by it.
    ::raise(SIGTERM);
  }
  std::uint64_t NowNs() override { return now_ += 1'000'000; }
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
  std::uint64_t now_ = 0;
};

TEST(TtySignals, ATerminationSignalEndsTheProgramAfterTheBackendCallReturned) {
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
    AtProgramEnd([probe] { probe->Say("E"); });
    WaitMs(50);
    _exit(0);  // not reached: the signal ends the program
  }
  ::close(pipeFds[1]);
  std::string said;
  char c;
  while (::read(pipeFds[0], &c, 1) == 1) said.push_back(c);
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(said, "SED") << "one sleep, the end work, then the backend destroyed outside its calls";
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
void TellWhichThread() {
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
    TtySetCrashWork(TellWhichThread);
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
