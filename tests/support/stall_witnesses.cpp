#include "tests/support/stall_witnesses.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

std::uint64_t Us(const timespec& t) {
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000 +
         static_cast<std::uint64_t>(t.tv_nsec) / 1000;
}

}  // namespace

StallWitnesses::StallWitnesses() {
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  for (long cpu = 0; cpu < processors; ++cpu) {
    threads_.emplace_back([this, cpu](const std::stop_token& stop) { Run(stop, cpu); });
  }
}

void StallWitnesses::Run(const std::stop_token& stop, long cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(static_cast<int>(cpu), &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  sched_param param{};
  param.sched_priority = 1;
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) realTime_ = true;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  while (!stop.stop_requested()) {
    next.tv_nsec += 1'000'000;
    if (next.tv_nsec >= 1'000'000'000) {
      next.tv_nsec -= 1'000'000'000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (Us(now) > Us(next) + 1000) {
      const std::lock_guard lock(mutex_);
      stalls_.push_back({Us(next), Us(now)});
      next = now;  // after a stall, no burst of catching up
    }
  }
}

std::uint64_t StallWitnesses::HeldWithinUs(std::uint64_t fromUs, std::uint64_t toUs) const {
  const std::lock_guard lock(mutex_);
  std::uint64_t held = 0;
  for (const Stall& s : stalls_) {
    const std::uint64_t start = std::max(s.fromUs, fromUs);
    const std::uint64_t end = std::min(s.toUs, toUs);
    if (end > start) held = std::max(held, end - start);
  }
  return held;
}

bool StallWitnesses::HostHeldLongestGap(const std::string& trace, std::uint64_t bufferUs) const {
  return HostHeldGap(TraceStat(trace, "gap-us"), TraceStat(trace, "gap-end-us"), bufferUs);
}

bool StallWitnesses::HostHeldGap(std::uint64_t gapUs, std::uint64_t endUs,
                                 std::uint64_t bufferUs) const {
  const std::uint64_t held = endUs >= gapUs ? HeldWithinUs(endUs - gapUs, endUs) : 0;
  return held + bufferUs >= gapUs;
}

bool StallWitnesses::ExcuseUartLoss(const std::string& trace, std::uint64_t bufferUs) const {
  return ExcuseUartLoss(TraceStat(trace, "rx-overflows"), TraceStat(trace, "gap-us"),
                        TraceStat(trace, "gap-end-us"), bufferUs);
}

bool StallWitnesses::ExcuseUartLoss(std::uint64_t overflows, std::uint64_t gapUs,
                                    std::uint64_t gapEndUs, std::uint64_t bufferUs) const {
  return HostHeldGap(gapUs, gapEndUs, bufferUs) || overflows <= kChanceOverflows;
}

void StallWitnesses::Forget() {
  const std::lock_guard lock(mutex_);
  stalls_.clear();
}

std::uint64_t MonotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return Us(now);
}

std::uint64_t TraceStat(const std::string& trace, const std::string& key) {
  const auto line = trace.rfind("stats ");
  if (line == std::string::npos) return 0;
  const std::string stats = trace.substr(line, trace.find('\n', line) - line);
  const auto at = stats.find(" " + key + " ");
  if (at == std::string::npos) return 0;
  return std::strtoull(stats.c_str() + at + key.size() + 2, nullptr, 10);
}

std::uint64_t UartBufferUs(long baud) {
  return static_cast<std::uint64_t>(127.0 * 10 * 1e6 / static_cast<double>(baud));
}

bool InOrderWithin(const std::string& part, const std::string& whole) {
  std::size_t at = 0;
  for (const char c : part) {
    at = whole.find(c, at);
    if (at == std::string::npos) return false;
    ++at;
  }
  return true;
}
