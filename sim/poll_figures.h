// What the program's use of the board window says about its polling of the
// UART: every access, the reads of the receive status, the bytes taken from
// the receive FIFO, and, per thread, the CPU and wall time between its first
// and its last status read. The access library feeds it from its handlers,
// which run on the thread that made the access; the trace's stats line and
// the Sim functions read it.
//
// Kept cheap: an access is a counter; a status read looks its thread up among
// a few records and stores two times the caller took.
#ifndef Q7M_SIM_POLL_FIGURES_H
#define Q7M_SIM_POLL_FIGURES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace q7m::sim {

struct PollThread {
  std::int64_t tid = 0;
  std::uint64_t statusReads = 0;
  std::uint64_t firstCpuNs = 0;
  std::uint64_t lastCpuNs = 0;
  std::uint64_t firstWallNs = 0;
  std::uint64_t lastWallNs = 0;
  // The longest wall time between two of its status reads, the CPU time the
  // thread used within it (near none: it was not running; near all: it was
  // busy), and the wall clock at its end.
  std::uint64_t maxGapNs = 0;
  std::uint64_t maxGapCpuNs = 0;
  std::uint64_t maxGapEndNs = 0;

  std::uint64_t CpuNs() const { return lastCpuNs - firstCpuNs; }
  std::uint64_t WallNs() const { return lastWallNs - firstWallNs; }
};

class PollFigures {
 public:
  // Threads recorded; status reads of further threads are counted, not
  // attributed (a program polls from one thread, a test from two or three).
  static constexpr std::size_t kThreads = 8;

  void Clear() { *this = PollFigures(); }

  void CountAccess() { ++accesses_; }
  void CountRxByte() { ++rxBytes_; }
  // A status read by thread `tid`, at its CPU time `cpuNs` and the wall
  // clock's `wallNs`.
  void StatusRead(std::int64_t tid, std::uint64_t cpuNs, std::uint64_t wallNs);

  std::uint64_t Accesses() const { return accesses_; }
  std::uint64_t StatusReads() const { return statusReads_; }
  std::uint64_t RxBytes() const { return rxBytes_; }
  std::size_t ThreadCount() const { return used_; }
  const PollThread& Thread(std::size_t i) const { return threads_[i]; }
  // The thread that made the most status reads (the first of equals); an
  // empty record when none did.
  PollThread Poller() const;

  // "accesses N status-reads N rx-bytes N poll-cpu-us N poll-wall-us N
  // poll-tid N gap-us N gap-cpu-us N gap-end-us N", the poll figures being
  // the Poller's and the gap its longest.
  std::string Fields() const;

 private:
  std::uint64_t accesses_ = 0;
  std::uint64_t statusReads_ = 0;
  std::uint64_t rxBytes_ = 0;
  std::array<PollThread, kThreads> threads_{};
  std::size_t used_ = 0;
};

}  // namespace q7m::sim

#endif
