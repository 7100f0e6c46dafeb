#include "uart/realtime_permission.h"

#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace {

std::uint64_t SoftLimit(int resource) {
  rlimit limit{};
  if (::getrlimit(resource, &limit) != 0) return 0;
  if (limit.rlim_cur == RLIM_INFINITY) return kNoLimit;
  return limit.rlim_cur;
}

// CAP_IPC_LOCK in the effective set: the memory-lock limit does not apply.
bool MayLockAnyAmount() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_IPC_LOCK / 32].effective & (1u << (CAP_IPC_LOCK % 32))) != 0;
}

// Asking is the only test that covers every way of being permitted (and a
// control group that refuses despite them). The thread ends at once, and its
// scheduling with it.
bool RoundRobinPermitted() {
  bool permitted = false;
  try {
    std::thread scratch([&permitted] {
      sched_param param{};
      param.sched_priority = 1;
      permitted = ::sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0;
    });
    scratch.join();
  } catch (const std::system_error&) {
    return false;  // no thread to try it on: say not permitted
  }
  return permitted;
}

std::string KiB(std::uint64_t bytes) {
  return std::to_string(bytes / 1024) + " KiB";
}

}  // namespace

RealTimePermission CheckRealTimePermission() {
  RealTimePermission permission;
  permission.permitted = RoundRobinPermitted();
  permission.rtprioLimit = SoftLimit(RLIMIT_RTPRIO);
  permission.memlockBytes = SoftLimit(RLIMIT_MEMLOCK);
  permission.memlockCovered = permission.memlockBytes >= kEngineLockedBytes || MayLockAnyAmount();
  return permission;
}

std::string RealTimePermissionHelp(const RealTimePermission& permission) {
  std::string text;
  if (permission.permitted) {
    text = "Real-time wake-ups: permitted to this login.\n";
  } else if (permission.rtprioLimit == 0) {
    text =
        "Real-time wake-ups: not permitted to this login (RLIMIT_RTPRIO 0), so a busy\n"
        "PC may delay the reading of the board UART. To get them, join the group q7m\n"
        "(sudo adduser $USER q7m) and log in again: the package's\n"
        "/etc/security/limits.d/q7m-uart.conf grants its members real-time priority 1.\n";
  } else {
    const std::string limit = permission.rtprioLimit == kNoLimit
                                  ? std::string("unlimited")
                                  : std::to_string(permission.rtprioLimit);
    text =
        "Real-time wake-ups: not permitted to this login, although its RLIMIT_RTPRIO\n"
        "is " +
        limit + ": its control group gives real-time tasks no run time.\n";
  }
  if (!permission.memlockCovered) {
    text += "Locked memory: this login's limit (" + KiB(permission.memlockBytes) +
            ") is below the " + KiB(kEngineLockedBytes) +
            " the receive\n"
            "thread locks; the group q7m's limits.d file raises it to 8192 KiB.\n";
  }
  return text;
}
