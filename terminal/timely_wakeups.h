#pragma once
// The thread that polls the board UART must run within a few milliseconds of
// waking, or the UART's 127-byte buffer (11 ms at 115200 baud) overflows; a
// busy PC delays a plain thread by more than that. While a TimelyWakeups is
// alive, the calling thread is scheduled for that: at the lowest real-time
// round-robin priority when the process may take one (root, or a real-time
// limit granted to the user), else with short time slices, a hint to the
// fair scheduler that it is woken first (Linux 6.12 and later; older
// kernels accept and ignore it). Programs the thread starts get ordinary
// scheduling. The thread's scheduling is put back when it ends.

class TimelyWakeups {
 public:
  enum class Kind { kUnchanged, kShortSlices, kRealTime };

  TimelyWakeups();
  ~TimelyWakeups();
  TimelyWakeups(const TimelyWakeups&) = delete;
  TimelyWakeups& operator=(const TimelyWakeups&) = delete;

  Kind kind() const { return kind_; }

 private:
  Kind kind_ = Kind::kUnchanged;
  // The thread's scheduling before, as the kernel's sched_attr, kept whole.
  alignas(8) unsigned char saved_[48] = {};
};
