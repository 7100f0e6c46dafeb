#pragma once
// The thread that polls the board UART must run within a few milliseconds of
// waking, or the UART's 127-byte buffer (11 ms at 115200 baud) overflows; on
// a busy PC a plain thread waits for other tasks' time slices first. While a
// TimelyWakeups is alive, the calling thread asks the fair scheduler for
// short time slices, which let a thread that wakes often for a little work
// run soon after it wakes (Linux 6.12 and later; older kernels accept and
// ignore it). Not a priority: a thread that spins by mistake cannot starve
// the machine, as a real-time one would. A thread that really sleeps between
// polls (the terminal on a real terminal, the bridge, whose pseudo-terminal
// client may write its last bytes and flush them away at once, since a pty
// never waits for a drain) asks for the lowest real-time priority instead,
// where permitted (root, CAP_SYS_NICE or an RLIMIT_RTPRIO of 1): a busy PC's
// other tasks then never delay its wake-up, and the kernel's throttling of
// real-time tasks keeps a core usable if it spun. Programs the thread starts
// inherit neither. The thread's scheduling is put back when it ends.

class TimelyWakeups {
 public:
  enum class Kind { kUnchanged, kShortSlices, kRealTime };
  enum class Ask { kShortSlices, kRealTimeWhenPermitted };

  explicit TimelyWakeups(Ask ask = Ask::kShortSlices);
  ~TimelyWakeups();
  TimelyWakeups(const TimelyWakeups&) = delete;
  TimelyWakeups& operator=(const TimelyWakeups&) = delete;

  Kind kind() const { return kind_; }

 private:
  Kind kind_ = Kind::kUnchanged;
  // The thread's scheduling before, as the kernel's sched_attr, kept whole.
  alignas(8) unsigned char saved_[48] = {};
};
