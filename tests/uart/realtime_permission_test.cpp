// Whether a login may give the receive thread real-time wake-ups: told for
// root and for an ordinary user with and without the limits the package's
// limits.d file grants, without changing the caller's scheduling; and the
// --help lines that say it.

#include "uart/realtime_permission.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/login_child.h"

namespace {

// The permission as a child found it, written as one line of numbers.
struct Found {
  int status = -1;
  bool limitRefused = false;
  RealTimePermission permission;
};

Found CheckIn(const LoginLimits& login) {
  const auto child = RunInLogin(login, [] {
    const RealTimePermission p = CheckRealTimePermission();
    std::printf("%d %llu %llu %d\n", p.permitted ? 1 : 0,
                static_cast<unsigned long long>(p.rtprioLimit),
                static_cast<unsigned long long>(p.memlockBytes), p.memlockCovered ? 1 : 0);
    return 0;
  });
  Found found;
  found.status = child.status;
  found.limitRefused = child.LimitRefused();
  std::istringstream in(child.output);
  int permitted = 0, covered = 0;
  unsigned long long rtprio = 0, memlock = 0;
  if (in >> permitted >> rtprio >> memlock >> covered) {
    found.permission = {permitted == 1, rtprio, memlock, covered == 1};
  } else if (found.status == 0) {
    found.status = -1;  // said nothing readable
  }
  return found;
}

struct Scheduling {
  int policy = -1;  // with SCHED_RESET_ON_FORK when set
  int priority = -1;
  int nice = 0;
  bool operator==(const Scheduling&) const = default;
};

Scheduling Current() {
  Scheduling now;
  now.policy = ::sched_getscheduler(0);
  sched_param param{};
  if (::sched_getparam(0, &param) == 0) now.priority = param.sched_priority;
  now.nice = ::getpriority(PRIO_PROCESS, 0);
  return now;
}

TEST(RealTimePermission, RootIsPermittedAndTheCallersSchedulingStaysAsItWas) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  if (!RootGetsRoundRobinHere()) GTEST_SKIP() << "this machine refuses root real-time scheduling";
  const Scheduling before = Current();
  const RealTimePermission permission = CheckRealTimePermission();
  EXPECT_TRUE(permission.permitted);
  EXPECT_TRUE(permission.memlockCovered) << "root may lock any amount";
  EXPECT_EQ(Current(), before) << "the caller's own thread was changed";
}

TEST(RealTimePermission, AnOrdinaryLoginWithoutAnRtprioLimitIsNotPermitted) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  const Found found =
      CheckIn({.rtprio = 0, .memlock = std::nullopt, .asNobody = true, .keepSysNice = false});
  ASSERT_EQ(found.status, 0);
  EXPECT_FALSE(found.permission.permitted);
  EXPECT_EQ(found.permission.rtprioLimit, 0u);
}

// The limit says no, the capability yes: only asking tells.
TEST(RealTimePermission, AnOrdinaryLoginWithCapSysNiceIsPermittedWhateverItsRtprioLimit) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  if (!RootGetsRoundRobinHere()) GTEST_SKIP() << "this machine refuses root real-time scheduling";
  const Found found =
      CheckIn({.rtprio = 0, .memlock = std::nullopt, .asNobody = true, .keepSysNice = true});
  ASSERT_EQ(found.status, 0);
  EXPECT_TRUE(found.permission.permitted);
  EXPECT_EQ(found.permission.rtprioLimit, 0u);
  EXPECT_NE(RealTimePermissionHelp(found.permission).find("permitted to this login."),
            std::string::npos);
}

TEST(RealTimePermission, AnOrdinaryLoginWithAnRtprioLimitIsPermitted) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  if (!RootGetsRoundRobinHere()) GTEST_SKIP() << "this machine refuses root real-time scheduling";
  const Found one =
      CheckIn({.rtprio = 1, .memlock = std::nullopt, .asNobody = true, .keepSysNice = false});
  if (one.limitRefused) GTEST_SKIP() << kCannotRaiseLimit;
  ASSERT_EQ(one.status, 0);
  EXPECT_TRUE(one.permission.permitted);
  EXPECT_EQ(one.permission.rtprioLimit, 1u);

  const Found unlimited = CheckIn(
      {.rtprio = RLIM_INFINITY, .memlock = std::nullopt, .asNobody = true, .keepSysNice = false});
  ASSERT_EQ(unlimited.status, 0);
  EXPECT_TRUE(unlimited.permission.permitted);
  EXPECT_EQ(unlimited.permission.rtprioLimit, kNoLimit);

  const Found noMemoryBound =
      CheckIn({.rtprio = 1, .memlock = RLIM_INFINITY, .asNobody = true, .keepSysNice = false});
  ASSERT_EQ(noMemoryBound.status, 0);
  EXPECT_EQ(noMemoryBound.permission.memlockBytes, kNoLimit);
  EXPECT_TRUE(noMemoryBound.permission.memlockCovered);
}

TEST(RealTimePermission, TheMemoryLockLimitCoversTheEngineOrCapIpcLockSetsItAside) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  struct Case {
    rlim_t limit;
    bool asNobody;
    bool covered;
  };
  // Lowered limits first: raising one (8 MiB on a kernel older than 5.16)
  // may be refused here.
  for (const Case c : {Case{64 * 1024, true, false}, Case{kEngineLockedBytes - 4096, true, false},
                       Case{kEngineLockedBytes, true, true}, Case{64 * 1024, false, true},
                       Case{8192 * 1024, true, true}}) {
    const Found found = CheckIn(
        {.rtprio = std::nullopt, .memlock = c.limit, .asNobody = c.asNobody, .keepSysNice = false});
    if (found.limitRefused) GTEST_SKIP() << kCannotRaiseLimit << ": " << c.limit << " bytes";
    ASSERT_EQ(found.status, 0);
    EXPECT_EQ(found.permission.memlockBytes, c.limit == RLIM_INFINITY ? kNoLimit : c.limit)
        << c.limit;
    EXPECT_EQ(found.permission.memlockCovered, c.covered)
        << c.limit << (c.asNobody ? " as nobody" : " as root");
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(RealTimePermissionHelp, SaysPermittedOrHowToGetItInLinesOf80Columns) {
  const RealTimePermission root{true, 0, 8 << 20, true};
  const std::string permitted = RealTimePermissionHelp(root);
  EXPECT_EQ(permitted, "Real-time wake-ups: permitted to this login.\n");

  const std::string refused = RealTimePermissionHelp({false, 0, 8 << 20, true});
  for (const char* text :
       {"not permitted", "RLIMIT_RTPRIO 0", "group q7m", "sudo adduser $USER q7m", "log in again",
        "/etc/security/limits.d/q7m-uart.conf"}) {
    EXPECT_NE(refused.find(text), std::string::npos) << "missing " << text << ":\n" << refused;
  }
  EXPECT_EQ(refused.find("Locked memory"), std::string::npos) << "the limit covers it";

  // A limit that would permit it, refused all the same: joining the group
  // would not help, so the help does not send one there.
  for (const std::uint64_t limit : {std::uint64_t{5}, kNoLimit}) {
    const std::string cgroup = RealTimePermissionHelp({false, limit, 8 << 20, true});
    EXPECT_NE(cgroup.find("control group"), std::string::npos) << cgroup;
    EXPECT_NE(cgroup.find(limit == kNoLimit ? "is unlimited" : "is 5"), std::string::npos)
        << cgroup;
    EXPECT_EQ(cgroup.find("adduser"), std::string::npos) << cgroup;
  }

  const std::string unlocked = RealTimePermissionHelp({true, 1, 64 * 1024, false});
  EXPECT_EQ(unlocked.rfind("Real-time wake-ups: permitted", 0), 0u) << unlocked;
  EXPECT_NE(unlocked.find("limit (64 KiB) is below the 1024 KiB"), std::string::npos) << unlocked;

  for (const auto& text : {permitted, refused, unlocked,
                           RealTimePermissionHelp({false, 0, kEngineLockedBytes - 1024, false}),
                           RealTimePermissionHelp({false, kNoLimit, 64 * 1024, false})}) {
    for (const auto& line : Lines(text)) EXPECT_LE(line.size(), 80u) << line;
  }
}

}  // namespace
