#include "uart/task_runner.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>

#include "console/console.h"

namespace {

// Stack a task's run may use without a page fault once it is locked.
constexpr std::size_t kLockedStack = 64 * 1024;
constexpr std::uint64_t kLongestSleepNs = 50'000'000;

std::uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

bool VirtualConsole() {
  return ConsoleAttached() && ConsoleDevice().ClockIsVirtual();
}

// Touches and locks the stack below the caller's frame, which the task's
// runs then use.
[[gnu::noinline]] void LockStack() {
  std::array<volatile char, kLockedStack> area;
  for (std::size_t i = 0; i < area.size(); i += 4096) area[i] = 0;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(area.data()) & ~(page - 1);
  mlock(reinterpret_cast<void*>(start), kLockedStack + page);
}

}  // namespace

std::uint64_t TaskClockNs(void*) {
  return VirtualConsole() ? ConsoleNowNs() : MonotonicNs();
}

TaskRunner::TaskRunner(ClockedTask& task, Options options) : task_(task) {
  if (VirtualConsole() && ConsoleDevice().RunOnClock(task)) {
    onClock_ = true;
    return;
  }
  // Faults stay with the thread that makes them (the simulated board answers
  // its window accesses from them); everything else goes to the program.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sig);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  thread_ = std::thread([this, options = std::move(options)] { Loop(options); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TaskRunner::~TaskRunner() {
  Stop();
}

void TaskRunner::Stop() {
  if (onClock_) {
    ConsoleDevice().StopOnClock(task_);
    onClock_ = false;
  }
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

TimelyWakeups::Kind TaskRunner::Scheduling() const {
  if (thread_.joinable()) asked_.wait(false, std::memory_order_acquire);
  return scheduling_.load();
}

void TaskRunner::Loop(const Options& options) {
  const TimelyWakeups wakeups(options.realTime ? TimelyWakeups::Ask::kRealTimeWhenPermitted
                                               : TimelyWakeups::Ask::kShortSlices);
  scheduling_ = wakeups.kind();
  asked_.store(true, std::memory_order_release);
  asked_.notify_all();
  if (options.realTime) {
    // A timer a few microseconds late is late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    LockStack();
  }
  if (options.onStart) options.onStart();
  while (!stop_.load(std::memory_order_relaxed)) {
    const std::uint64_t now = MonotonicNs();
    // Never asleep for long, so that Stop is quick whatever the task said.
    const std::uint64_t next = std::min(task_.RunAt(now), now + kLongestSleepNs);
    const timespec at{static_cast<time_t>(next / 1'000'000'000ULL),
                      static_cast<long>(next % 1'000'000'000ULL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
  }
}
