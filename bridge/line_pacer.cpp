#include "bridge/line_pacer.h"

#include <algorithm>

std::uint64_t LinePacer::MarginNs() const {
  return std::min(charNs_, usualLatenessNs_ + readNs_);
}

void LinePacer::WokeUp(std::uint64_t targetNs, std::uint64_t nowNs) {
  const std::uint64_t late = nowNs > targetNs ? nowNs - targetNs : 0;
  lateness_[next_] = late;
  next_ = (next_ + 1) % kSamples;
  count_ = std::min(count_ + 1, kSamples);
  // Nine wake-ups in ten come at most this late; the rare long delay of a
  // busy machine costs that byte its slot, not every byte a long spin.
  std::array<std::uint64_t, kSamples> sorted = lateness_;
  const auto first = sorted.begin();
  const auto nth = first + static_cast<std::ptrdiff_t>((count_ - 1) * 9 / 10);
  std::nth_element(first, nth, first + static_cast<std::ptrdiff_t>(count_));
  usualLatenessNs_ = *nth;
}

void LinePacer::StatusRead(std::uint64_t ns) {
  // A read the thread was preempted in says nothing of the board.
  ns = std::min(ns, charNs_);
  readNs_ = readNs_ == 0 ? ns : (readNs_ * 7 + ns) / 8;
}
