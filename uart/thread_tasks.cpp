#include "uart/thread_tasks.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <thread>

#include "uart/timely_wakeups.h"

namespace {

// Stack a task's run may use without a page fault once it is locked.
constexpr std::size_t kLockedStack = 64 * 1024;

// Touches and locks the stack below the caller's frame, which the task's
// runs then use.
[[gnu::noinline]] void LockStack() {
  std::array<volatile char, kLockedStack> area;
  for (std::size_t i = 0; i < area.size(); i += 4096) area[i] = 0;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(area.data()) & ~(page - 1);
  mlock(reinterpret_cast<void*>(start), kLockedStack + page);
}

TaskScheduling SchedulingOf(TimelyWakeups::Kind kind) {
  switch (kind) {
    case TimelyWakeups::Kind::kRealTime:
      return TaskScheduling::kRealTime;
    case TimelyWakeups::Kind::kShortSlices:
      return TaskScheduling::kShortSlices;
    case TimelyWakeups::Kind::kUnchanged:
      break;
  }
  return TaskScheduling::kUnchanged;
}

class TaskThread final : public StartedTask {
 public:
  TaskThread(ClockedTask& task, TaskOptions options) : task_(task) {
    // Faults stay with the thread that makes them (the simulated board
    // answers its window accesses from them); everything else goes to the
    // program's thread.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sig);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this, options = std::move(options)] { Loop(options); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  ~TaskThread() override {
    stop_.store(true);
    Wake();
    thread_.join();
  }

  void Wake() override {
    // The sleeper looks at the word after saying it sleeps, and the waker at
    // the flag after changing the word: one of them sees the other.
    word_.fetch_add(1);
    if (sleeping_.load()) {
      syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
  }

  // Waits for the thread to have asked the scheduler, a moment after the
  // start.
  TaskScheduling Scheduling() const override {
    asked_.wait(false);
    return scheduling_.load();
  }

 private:
  void Loop(const TaskOptions& options) {
    const TimelyWakeups wakeups(options.realTime ? TimelyWakeups::Ask::kRealTimeWhenPermitted
                                                 : TimelyWakeups::Ask::kShortSlices);
    scheduling_ = SchedulingOf(wakeups.kind());
    asked_.store(true);
    asked_.notify_all();
    if (options.realTime) {
      // A timer a few microseconds late is late.
      prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
      LockStack();
    }
    if (options.onStart) options.onStart();
    while (!stop_.load()) {
      const std::uint32_t seen = word_.load();
      const std::uint64_t next = task_.RunAt(MonotonicNs());
      SleepUntil(next, seen);
    }
  }

  // Until the absolute deadline, or until woken since `seen` was read.
  void SleepUntil(std::uint64_t deadline, std::uint32_t seen) {
    sleeping_.store(true);
    if (word_.load() == seen && !stop_.load()) {
      timespec at{static_cast<time_t>(deadline / 1'000'000'000ULL),
                  static_cast<long>(deadline % 1'000'000'000ULL)};
      // FUTEX_WAIT_BITSET takes an absolute time on the monotonic clock.
      syscall(SYS_futex, &word_, FUTEX_WAIT_BITSET_PRIVATE, seen,
              deadline == kNoDeadline ? nullptr : &at, nullptr, FUTEX_BITSET_MATCH_ANY);
    }
    sleeping_.store(false);
  }

  ClockedTask& task_;
  std::atomic<std::uint32_t> word_{0};
  std::atomic<bool> sleeping_{false};
  std::atomic<bool> stop_{false};
  std::atomic<TaskScheduling> scheduling_{TaskScheduling::kUnchanged};
  std::atomic<bool> asked_{false};
  std::thread thread_;
};

}  // namespace

std::uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::unique_ptr<StartedTask> ThreadTaskHost::Start(ClockedTask& task, TaskOptions options) {
  return std::make_unique<TaskThread>(task, std::move(options));
}
