#pragma once
// Whether this login may give the UART's receive thread real-time wake-ups,
// told without touching the terminal or the board, for --help. The thread
// asks for round robin at priority 1 and locks the memory it touches; the
// package's limits.d file gives both to the group q7m.

#include <cstdint>
#include <string>

// The most memory the receive thread locks (its ring, stack and state, about
// half of this): a memory-lock limit of at least this covers it.
inline constexpr std::uint64_t kEngineLockedBytes = 1 << 20;
// A resource limit without a bound.
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

struct RealTimePermission {
  // A thread of this process was given SCHED_RR priority 1: root,
  // CAP_SYS_NICE or an RLIMIT_RTPRIO of 1 or more, and a control group that
  // leaves real-time tasks some run time.
  bool permitted = false;
  std::uint64_t rtprioLimit = 0;   // RLIMIT_RTPRIO, soft; kNoLimit
  std::uint64_t memlockBytes = 0;  // RLIMIT_MEMLOCK, soft; kNoLimit
  // The receive thread's memory can be locked: the limit covers
  // kEngineLockedBytes, or CAP_IPC_LOCK sets the limit aside.
  bool memlockCovered = false;
};

// Tries the scheduling on a short-lived thread of its own, so the caller's
// scheduling never changes, and reads the limits.
RealTimePermission CheckRealTimePermission();

// A few lines for --help: permitted or not and, when not, how to get it.
// Each fits 80 columns.
std::string RealTimePermissionHelp(const RealTimePermission& permission);
