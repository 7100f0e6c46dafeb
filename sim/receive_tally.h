// The receive side's running figures, kept by the simulated board in the
// shared mapping of the file that Q7M_SIM_RX_COUNT names. The file holds
// them however the program ends: a signal or a crash writes no stats line,
// and a test still wants to know what the UART lost and the longest time the
// program left it unpolled.
#ifndef Q7M_SIM_RECEIVE_TALLY_H
#define Q7M_SIM_RECEIVE_TALLY_H

#include <cstdint>

namespace q7m::sim {

struct ReceiveTally {
  // First, as an 8-byte number on its own, so that a reader of the count
  // alone keeps working.
  std::uint64_t rxBytes = 0;
  // Times the receive FIFO overflowed.
  std::uint64_t overflows = 0;
  // The longest wall time between two reads of the receive status since a
  // screen set the UART up, and the monotonic clock at its end, in
  // microseconds.
  std::uint64_t maxGapUs = 0;
  std::uint64_t maxGapEndUs = 0;
};

}  // namespace q7m::sim

#endif
