#pragma once
// The bridge's line at start about the UART's poller: whether it got
// real-time wake-ups and, when not, why and how to get them, as --help says
// for a login. Said once, so that a journal shows why a busy PC lost bytes.

#include <string>

#include "console/task_host.h"
#include "uart/realtime_permission.h"

// Where the bridge runs, which decides how real-time wake-ups are given.
enum class BridgeStartedBy {
  kLogin,           // a shell: pam_limits and the group q7m
  kServiceManager,  // systemd: the unit's LimitRTPRIO= or a capability
};

// One line, without a newline. `got` is what the poller's thread got, and
// `permission` the process's limits.
std::string SchedulingLine(TaskScheduling got, const RealTimePermission& permission,
                           BridgeStartedBy startedBy);

// Says the line for what the engine's thread got.
void SayScheduling(TaskScheduling got);
