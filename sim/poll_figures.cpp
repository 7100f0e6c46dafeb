#include "sim/poll_figures.h"

#include <cstdio>

namespace q7m::sim {

void PollFigures::StatusRead(std::int64_t tid, std::uint64_t cpuNs, std::uint64_t wallNs) {
  ++statusReads_;
  std::size_t i = 0;
  while (i < used_ && threads_[i].tid != tid) ++i;
  if (i == used_) {
    if (used_ == kThreads) return;
    threads_[used_++] = PollThread{tid, 0, cpuNs, cpuNs, wallNs, wallNs};
  }
  PollThread& t = threads_[i];
  if (wallNs - t.lastWallNs > t.maxGapNs) {
    t.maxGapNs = wallNs - t.lastWallNs;
    t.maxGapCpuNs = cpuNs - t.lastCpuNs;
    t.maxGapEndNs = wallNs;
  }
  ++t.statusReads;
  t.lastCpuNs = cpuNs;
  t.lastWallNs = wallNs;
}

PollThread PollFigures::Poller() const {
  PollThread best;
  for (std::size_t i = 0; i < used_; ++i) {
    if (threads_[i].statusReads > best.statusReads) best = threads_[i];
  }
  return best;
}

std::string PollFigures::Fields() const {
  const PollThread poller = Poller();
  char text[300];
  std::snprintf(
      text, sizeof text,
      "accesses %llu status-reads %llu rx-bytes %llu poll-cpu-us %llu "
      "poll-wall-us %llu poll-tid %lld gap-us %llu gap-cpu-us %llu gap-end-us %llu",
      static_cast<unsigned long long>(accesses_), static_cast<unsigned long long>(statusReads_),
      static_cast<unsigned long long>(rxBytes_),
      static_cast<unsigned long long>(poller.CpuNs() / 1000),
      static_cast<unsigned long long>(poller.WallNs() / 1000), static_cast<long long>(poller.tid),
      static_cast<unsigned long long>(poller.maxGapNs / 1000),
      static_cast<unsigned long long>(poller.maxGapCpuNs / 1000),
      static_cast<unsigned long long>(poller.maxGapEndNs / 1000));
  return text;
}

}  // namespace q7m::sim
