#include "bridge/scheduling_line.h"

#include <cstdlib>

#include "bridge/bridge.h"

namespace {

std::string KiB(std::uint64_t bytes) {
  return std::to_string(bytes / 1024) + " KiB";
}

std::string Limit(std::uint64_t value) {
  return value == kNoLimit ? std::string("unlimited") : std::to_string(value);
}

std::string NoRealTime(const RealTimePermission& permission, BridgeStartedBy startedBy) {
  std::string text =
      "the UART's poller has no real-time wake-ups, only short time slices, so a busy PC may "
      "delay its reading of the board UART: ";
  if (permission.rtprioLimit != 0) {
    return text + "RLIMIT_RTPRIO is " + Limit(permission.rtprioLimit) +
           ", but its control group gives real-time tasks no run time (cpu.rt_runtime_us); "
           "give the group some, or run the bridge outside it";
  }
  text += "RLIMIT_RTPRIO is 0. ";
  if (startedBy == BridgeStartedBy::kServiceManager) {
    return text +
           "The service manager grants a unit's LimitRTPRIO=1 (the package's unit has it) only "
           "up to its own limit, which is 0 in some containers; a drop-in with "
           "AmbientCapabilities=CAP_SYS_NICE and CapabilityBoundingSet=CAP_SYS_NICE gives them "
           "instead";
  }
  return text +
         "To get them, join the group q7m (sudo adduser $USER q7m) and log in again: the "
         "package's /etc/security/limits.d/q7m-uart.conf grants its members real-time "
         "priority 1";
}

}  // namespace

std::string SchedulingLine(TaskScheduling got, const RealTimePermission& permission,
                           BridgeStartedBy startedBy) {
  std::string line;
  switch (got) {
    case TaskScheduling::kRealTime:
      line = "the UART's poller has real-time wake-ups (SCHED_RR priority 1)";
      break;
    case TaskScheduling::kShortSlices:
      line = NoRealTime(permission, startedBy);
      break;
    case TaskScheduling::kUnchanged:
    case TaskScheduling::kOnClock:
      line =
          "the UART's poller kept the scheduling the bridge was started with (a policy other "
          "than the fair scheduler's, or the scheduler refused any change), so its wake-ups are "
          "as timely as that makes them";
      break;
  }
  if (!permission.memlockCovered) {
    line += "; its memory is not locked: RLIMIT_MEMLOCK is " + KiB(permission.memlockBytes) +
            ", below the " + KiB(kEngineLockedBytes) + " it locks (" +
            (startedBy == BridgeStartedBy::kServiceManager
                 ? "the package's unit sets LimitMEMLOCK=8M"
                 : "the group q7m's limits.d file raises it to 8192 KiB") +
            ")";
  }
  return line;
}

void SayScheduling(TaskScheduling got) {
  // systemd gives each service run an invocation ID; a login has none.
  const BridgeStartedBy startedBy = std::getenv("INVOCATION_ID") != nullptr
                                        ? BridgeStartedBy::kServiceManager
                                        : BridgeStartedBy::kLogin;
  BridgeSay(SchedulingLine(got, CheckRealTimePermission(), startedBy));
}
