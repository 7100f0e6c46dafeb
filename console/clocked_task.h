#pragma once
// Work that runs at deadlines of its own, beside the screens: the board
// UART's engine, the capture writer. On a real terminal each such task gets
// a thread; a virtual clock (tests) runs the tasks itself as it passes their
// deadlines, so that what the threads would do happens at exact, repeatable
// times.

#include <cstdint>

class ClockedTask {
 public:
  virtual ~ClockedTask() = default;
  // Does what is due at nowNs; returns the next deadline (absolute).
  virtual std::uint64_t RunAt(std::uint64_t nowNs) = 0;
};
