// The bridge's line at start about its poller's wake-ups: one line, what the
// poller got, and when it is not real-time, the limit that refused it and
// the way to get it where the bridge runs (a login or a service).

#include <gtest/gtest.h>

#include <string>

#include "bridge/scheduling_line.h"

namespace {

RealTimePermission Limits(std::uint64_t rtprio, std::uint64_t memlock) {
  RealTimePermission permission;
  permission.permitted = rtprio != 0;
  permission.rtprioLimit = rtprio;
  permission.memlockBytes = memlock;
  permission.memlockCovered = memlock >= kEngineLockedBytes;
  return permission;
}

constexpr std::uint64_t kEnough = 8 << 20;
using Kind = TaskScheduling;

bool Has(const std::string& line, const std::string& text) {
  return line.find(text) != std::string::npos;
}

TEST(SchedulingLine, EveryCaseIsOneLineThatStartsWithThePoller) {
  for (const Kind kind : {Kind::kRealTime, Kind::kShortSlices, Kind::kUnchanged}) {
    for (const RealTimePermission& limits :
         {Limits(0, 64 << 10), Limits(1, kEnough), Limits(kNoLimit, 64 << 10)}) {
      for (const BridgeStartedBy by : {BridgeStartedBy::kLogin, BridgeStartedBy::kServiceManager}) {
        const std::string line = SchedulingLine(kind, limits, by);
        EXPECT_EQ(line.rfind("the UART's poller ", 0), 0u) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
      }
    }
  }
}

TEST(SchedulingLine, RealTimeIsSaidPlainlyWithNothingToDo) {
  const std::string line =
      SchedulingLine(Kind::kRealTime, Limits(1, kEnough), BridgeStartedBy::kServiceManager);
  EXPECT_EQ(line, "the UART's poller has real-time wake-ups (SCHED_RR priority 1)");
}

TEST(SchedulingLine, WithoutTheLimitAServiceIsToldOfItsUnitAndALoginOfTheGroup) {
  const std::string service =
      SchedulingLine(Kind::kShortSlices, Limits(0, kEnough), BridgeStartedBy::kServiceManager);
  EXPECT_TRUE(Has(service, "has no real-time wake-ups, only short time slices")) << service;
  EXPECT_TRUE(Has(service, "RLIMIT_RTPRIO is 0")) << service;
  EXPECT_TRUE(Has(service, "LimitRTPRIO=1")) << service;
  EXPECT_TRUE(Has(service, "AmbientCapabilities=CAP_SYS_NICE")) << service;
  // The unit's empty bounding set would drop an ambient capability.
  EXPECT_TRUE(Has(service, "CapabilityBoundingSet=CAP_SYS_NICE")) << service;
  EXPECT_FALSE(Has(service, "log in again")) << "a service does not log in: " << service;

  const std::string login =
      SchedulingLine(Kind::kShortSlices, Limits(0, kEnough), BridgeStartedBy::kLogin);
  EXPECT_TRUE(Has(login, "RLIMIT_RTPRIO is 0")) << login;
  EXPECT_TRUE(Has(login, "sudo adduser $USER q7m")) << login;
  EXPECT_TRUE(Has(login, "log in again")) << login;
  EXPECT_TRUE(Has(login, "/etc/security/limits.d/q7m-uart.conf")) << login;
  EXPECT_FALSE(Has(login, "LimitRTPRIO")) << login;
}

TEST(SchedulingLine, ALimitThatWasRefusedAnywayPointsAtTheControlGroup) {
  for (const std::uint64_t rtprio : {std::uint64_t{1}, kNoLimit}) {
    const std::string line =
        SchedulingLine(Kind::kShortSlices, Limits(rtprio, kEnough), BridgeStartedBy::kLogin);
    EXPECT_TRUE(Has(line, rtprio == 1 ? "RLIMIT_RTPRIO is 1, but its control group"
                                      : "RLIMIT_RTPRIO is unlimited, but its control group"))
        << line;
    EXPECT_TRUE(Has(line, "cpu.rt_runtime_us")) << line;
    EXPECT_FALSE(Has(line, "adduser")) << "the limit is there already: " << line;
  }
}

TEST(SchedulingLine, AThreadStartedUnderAnotherPolicyIsSaidToHaveKeptIt) {
  const std::string line =
      SchedulingLine(Kind::kUnchanged, Limits(0, kEnough), BridgeStartedBy::kLogin);
  EXPECT_TRUE(Has(line, "kept the scheduling the bridge was started with")) << line;
  EXPECT_FALSE(Has(line, "has real-time wake-ups")) << line;
}

TEST(SchedulingLine, UnlockedMemoryIsAddedWithTheLimitAndWhereToRaiseIt) {
  const std::string service =
      SchedulingLine(Kind::kRealTime, Limits(1, 64 << 10), BridgeStartedBy::kServiceManager);
  EXPECT_EQ(service,
            "the UART's poller has real-time wake-ups (SCHED_RR priority 1); its memory is not "
            "locked: RLIMIT_MEMLOCK is 64 KiB, below the 1024 KiB it locks (the package's unit "
            "sets LimitMEMLOCK=8M)");
  const std::string login =
      SchedulingLine(Kind::kShortSlices, Limits(0, 64 << 10), BridgeStartedBy::kLogin);
  EXPECT_TRUE(Has(login, "RLIMIT_MEMLOCK is 64 KiB")) << login;
  EXPECT_TRUE(Has(login, "limits.d file raises it to 8192 KiB")) << login;
  EXPECT_FALSE(Has(SchedulingLine(Kind::kShortSlices, Limits(0, kEnough), BridgeStartedBy::kLogin),
                   "RLIMIT_MEMLOCK"))
      << "a limit that covers the memory is not mentioned";
}

}  // namespace
