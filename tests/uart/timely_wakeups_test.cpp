// How the thread that polls the board UART is scheduled while a screen owns
// it, and that nothing of it outlives the screen or reaches a started program.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include "uart/timely_wakeups.h"

namespace {

// The thread's scheduling as the kernel reports it: policy and slice.
struct Scheduling {
  std::uint32_t policy = 0;
  std::uint64_t sliceNs = 0;
};

Scheduling Current() {
  struct {
    std::uint32_t size, policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime, deadline, period;
  } attr{};
  attr.size = sizeof attr;
  if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return {};
  return {attr.policy, attr.runtime};
}

TEST(TimelyWakeups, ShortSlicesWhileAliveTheOldOnesAfterAndNoneForChildren) {
  const Scheduling before = Current();
  ASSERT_EQ(before.policy, static_cast<std::uint32_t>(SCHED_OTHER));
  {
    const TimelyWakeups wakeups;
    ASSERT_EQ(wakeups.kind(), TimelyWakeups::Kind::kShortSlices);
    const Scheduling during = Current();
    EXPECT_EQ(during.policy, static_cast<std::uint32_t>(SCHED_OTHER)) << "never a real-time class";
    // Kernels that keep no custom slice report their own; a newer one ours.
    if (during.sliceNs != before.sliceNs) {
      EXPECT_LT(during.sliceNs, before.sliceNs);
    }
    // A program started meanwhile (QV.EXE, say) is scheduled as usual.
    const pid_t child = fork();
    if (child == 0) _exit(Current().sliceNs == during.sliceNs && during.sliceNs != before.sliceNs);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child kept the short slices";
  }
  const Scheduling after = Current();
  EXPECT_EQ(after.policy, before.policy);
  EXPECT_EQ(after.sliceNs, before.sliceNs) << "put back when the screen ends";
}

TEST(TimelyWakeups, RealTimeOnlyWhenAskedAndPermittedAndNeverForChildren) {
  const Scheduling before = Current();
  {
    const TimelyWakeups wakeups(TimelyWakeups::Ask::kRealTimeWhenPermitted);
    if (wakeups.kind() != TimelyWakeups::Kind::kRealTime) {
      // Not permitted here (no CAP_SYS_NICE, no RLIMIT_RTPRIO): short slices.
      EXPECT_EQ(wakeups.kind(), TimelyWakeups::Kind::kShortSlices);
      EXPECT_EQ(Current().policy, static_cast<std::uint32_t>(SCHED_OTHER));
    } else {
      EXPECT_EQ(Current().policy, static_cast<std::uint32_t>(SCHED_RR));
      const pid_t child = fork();
      if (child == 0) _exit(Current().policy == SCHED_RR);
      int status = -1;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child is real-time";
    }
  }
  EXPECT_EQ(Current().policy, before.policy) << "put back";
}

}  // namespace
