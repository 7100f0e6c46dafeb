#pragma once
// Threads that witness the machine stopping: one bound to each processor,
// each sleeping to 1 ms absolute deadlines at the UART engine's real-time
// priority and noting every wake-up more than 1 ms late. A virtual
// machine's host may stop its processors for tens of milliseconds without
// counting steal time; when a witness, doing nothing, was held through the
// program's longest poll gap, the machine held the processor, not the
// program. Used where a test or benchmark on a real clock needs to tell a
// byte lost to the host from one lost to the program.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

class StallWitnesses {
 public:
  StallWitnesses();
  StallWitnesses(const StallWitnesses&) = delete;
  StallWitnesses& operator=(const StallWitnesses&) = delete;

  // Whether the witnesses got their real-time priority.
  bool RealTime() const { return realTime_.load(); }
  // The longest stall of one witness within [fromUs, toUs] of the monotonic
  // clock, in microseconds of the overlap.
  std::uint64_t HeldWithinUs(std::uint64_t fromUs, std::uint64_t toUs) const;
  // Whether the host explains the polling thread's longest gap in `trace`
  // (its stats line's gap-us and gap-end-us): but for the time a witness was held
  // too, the gap was within `bufferUs`, the time the UART's buffer lasts.
  bool HostHeldLongestGap(const std::string& trace, std::uint64_t bufferUs) const;
  // The same for a gap of `gapUs` that ended at `endUs`.
  bool HostHeldGap(std::uint64_t gapUs, std::uint64_t endUs, std::uint64_t bufferUs) const;
  // Whether a test on a real clock takes the UART's losses in `trace` as the
  // host's: a witness held through the longest gap, or no more than
  // kChanceOverflows overflows (a processor the host stopped while the
  // witnesses' own processors ran; the benchmark counts them all). Zero loss
  // at late wake-ups is proved on the virtual clock.
  static constexpr std::uint64_t kChanceOverflows = 2;
  bool ExcuseUartLoss(const std::string& trace, std::uint64_t bufferUs) const;
  // The same from the figures themselves (a program that was killed writes
  // no stats line; the simulated board's tally keeps them).
  bool ExcuseUartLoss(std::uint64_t overflows, std::uint64_t gapUs, std::uint64_t gapEndUs,
                      std::uint64_t bufferUs) const;
  void Forget();

 private:
  struct Stall {
    std::uint64_t fromUs;  // the deadline
    std::uint64_t toUs;    // the wake-up
  };
  void Run(const std::stop_token& stop, long cpu);

  mutable std::mutex mutex_;
  std::vector<Stall> stalls_;
  std::atomic<bool> realTime_{false};
  std::vector<std::jthread> threads_;
};

// The monotonic clock, the witnesses' and the simulated board's, in
// microseconds.
std::uint64_t MonotonicUs();

// The value after `key` on the trace's stats line; 0 when there is none.
std::uint64_t TraceStat(const std::string& trace, const std::string& key);

// How long the UART's 127-byte receive buffer lasts at `baud`, 10 bits a
// character, in microseconds.
std::uint64_t UartBufferUs(long baud);

// Whether `part` is `whole` with some bytes left out: nothing added,
// changed or reordered (what a UART that dropped bytes on overflow delivers).
bool InOrderWithin(const std::string& part, const std::string& whole);
