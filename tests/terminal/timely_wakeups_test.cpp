// How the thread that polls the board UART is scheduled while a screen owns
// it, and that nothing of it outlives the screen or reaches a started program.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "terminal/timely_wakeups.h"

namespace {

TEST(TimelyWakeups, RealTimeWhenPermittedOrdinaryAgainAfterAndNeverForChildren) {
  ASSERT_EQ(sched_getscheduler(0), SCHED_OTHER);
  {
    const TimelyWakeups wakeups;
    if (geteuid() == 0) {
      EXPECT_EQ(wakeups.kind(), TimelyWakeups::Kind::kRealTime);
      EXPECT_EQ(sched_getscheduler(0), SCHED_RR | SCHED_RESET_ON_FORK);
    }
    // A program started meanwhile (QV.EXE, say) is scheduled as usual.
    const pid_t child = fork();
    if (child == 0) _exit(sched_getscheduler(0) == SCHED_OTHER ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "put back when the screen ends";
}

TEST(TimelyWakeups, AnOrdinaryUserGetsShortSlicesAndStaysOrdinary) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become an ordinary user";
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const TimelyWakeups wakeups;
    // Kernels before 6.12 ignore the slice; either way no real-time class.
    const bool ordinary = sched_getscheduler(0) == SCHED_OTHER;
    _exit(ordinary && wakeups.kind() != TimelyWakeups::Kind::kRealTime ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
