// A task run on a thread of its own: woken at its deadlines and never before
// them unless woken, its signals left to the program's thread, real-time
// where asked and permitted.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "uart/realtime_permission.h"
#include "uart/thread_tasks.h"

namespace {

std::uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Asks to be run every 2 ms and notes what its thread is like.
class NotingTask final : public ClockedTask {
 public:
  std::uint64_t RunAt(std::uint64_t nowNs) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    runs_.push_back({nowNs, MonotonicNs(), due_});
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    termBlocked_ = sigismember(&mask, SIGTERM) == 1 && sigismember(&mask, SIGHUP) == 1;
    segvOpen_ = sigismember(&mask, SIGSEGV) == 0 && sigismember(&mask, SIGTRAP) == 0;
    policy_ = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    due_ = nowNs + 2'000'000;
    return due_;
  }
  struct Run {
    std::uint64_t givenNs;
    std::uint64_t clockNs;
    std::uint64_t dueNs;
  };
  std::vector<Run> Runs() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return runs_;
  }
  bool termBlocked_ = false;
  bool segvOpen_ = false;
  int policy_ = -1;

 private:
  std::mutex mutex_;
  std::vector<Run> runs_;
  std::uint64_t due_ = 0;
};

bool WaitForRuns(NotingTask& task, std::size_t n) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (task.Runs().size() < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(ThreadTasks, RunsAtItsDeadlinesNeverBeforeWithTheProgramsSignalsLeftAlone) {
  ThreadTaskHost host;
  NotingTask task;
  auto started = host.Start(task, {});
  ASSERT_TRUE(WaitForRuns(task, 20));
  started.reset();
  const auto runs = task.Runs();
  for (std::size_t i = 1; i < runs.size(); ++i) {
    EXPECT_GE(runs[i].givenNs, runs[i - 1].givenNs + 2'000'000) << "run " << i << " was early";
    EXPECT_LE(runs[i].givenNs, runs[i].clockNs) << "the time given is the clock's";
  }
  EXPECT_TRUE(task.termBlocked_) << "termination signals go to the program's thread";
  EXPECT_TRUE(task.segvOpen_) << "faults stay with the thread (the simulated board's window)";
  EXPECT_EQ(task.policy_, SCHED_OTHER) << "not asked for real time";
}

// Sleeps until woken, and counts its runs.
class SleepingTask final : public ClockedTask {
 public:
  std::uint64_t RunAt(std::uint64_t) override {
    runs.fetch_add(1);
    return kNoDeadline;
  }
  std::atomic<int> runs{0};
};

TEST(ThreadTasks, AWakeRunsASleepingTaskAtOnceAndStoppingEndsItsSleep) {
  ThreadTaskHost host;
  SleepingTask task;
  auto started = host.Start(task, {});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (task.runs.load() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(task.runs.load(), 1) << "its first run is due at once";
  for (int wakes = 1; wakes <= 50; ++wakes) {
    started->Wake();
    while (task.runs.load() <= wakes && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
  }
  EXPECT_GE(task.runs.load(), 51) << "every wake ran it, though it asked for no deadline";
  // A task that never asks to run again must still stop when told.
  started.reset();
  const int runs = task.runs.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(task.runs.load(), runs) << "no run after the stop";
}

TEST(ThreadTasks, RealTimeWhereAskedAndPermittedWithoutTouchingTheCaller) {
  const int before = sched_getscheduler(0);
  ThreadTaskHost host;
  NotingTask task;
  TaskOptions options;
  options.realTime = true;
  auto started = host.Start(task, options);
  ASSERT_TRUE(WaitForRuns(task, 3));
  const TaskScheduling scheduling = started->Scheduling();
  started.reset();
  if (CheckRealTimePermission().permitted) {
    EXPECT_EQ(task.policy_, SCHED_RR);
    EXPECT_EQ(scheduling, TaskScheduling::kRealTime);
  } else {
    EXPECT_EQ(task.policy_, SCHED_OTHER);
  }
  EXPECT_EQ(sched_getscheduler(0), before);
}

TEST(ThreadTasks, TellWhatTheirThreadGotAsSoonAsAsked) {
  ThreadTaskHost host;
  TaskOptions options;
  options.realTime = true;
  for (int i = 0; i < 20; ++i) {
    NotingTask task;
    auto started = host.Start(task, options);
    // Asked at once, before the thread may have run at all: the answer waits
    // for the thread's own request to the scheduler.
    const TaskScheduling got = started->Scheduling();
    EXPECT_TRUE(got == TaskScheduling::kRealTime || got == TaskScheduling::kShortSlices)
        << "run " << i << ": " << static_cast<int>(got);
    if (CheckRealTimePermission().permitted) {
      EXPECT_EQ(got, TaskScheduling::kRealTime);
    }
  }
}

}  // namespace
