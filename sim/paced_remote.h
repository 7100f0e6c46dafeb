// A remote end that talks at the line rate. Output is queued and put on the
// wire lazily: on each Advance the bytes whose time has come are sent, dated
// to when they were really on the line, so the line stays busy back-to-back
// even while nobody touches the board (and the FIFO overflows then, as a real
// one would). While disconnected, time still passes and the output is lost.
#ifndef Q7M_SIM_PACED_REMOTE_H
#define Q7M_SIM_PACED_REMOTE_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "sim/device_model.h"

namespace q7m::sim {

// The baud rate a remote end uses before the UART has been programmed.
inline constexpr std::uint32_t kDefaultRemoteBaud = 115200;

// Flood progress, shared by all remote ends of one board so that the
// inspection functions can report on whichever end floods.
struct FloodStats {
  std::uint64_t requested = 0;
  std::uint64_t sent = 0;  // flood bytes put on the wire (or lost while disconnected)
  bool active = false;
};

class PacedRemote : public RemoteEnd {
 public:
  PacedRemote();

  void OnConnect(Wire& wire, std::uint64_t nowNs) override;
  void OnDisconnect(std::uint64_t nowNs) override;
  void Advance(std::uint64_t nowNs) override;

  // Streams `bytes` of the flood text after whatever is queued.
  void StartFlood(std::uint64_t bytes, std::uint64_t nowNs);
  void SetFloodStats(std::shared_ptr<FloodStats> stats) { flood_ = std::move(stats); }
  const FloodStats& Flood() const { return *flood_; }

  bool Connected() const { return wire_ != nullptr; }
  // Output bytes queued and not yet on the line.
  std::uint64_t PendingBytes() const;
  // Forgets all state, as after power-on.
  virtual void Restart();

 protected:
  // Queues text that may start no earlier than `notBeforeNs`. `holdsInput`
  // marks output during which the end ignores what it receives (a boot).
  void Emit(std::string_view bytes, std::uint64_t notBeforeNs, bool holdsInput = false);
  // Drops queued output that has not reached the line yet.
  void DropPending();
  bool InputHeld() const;
  // Sends what is due by `nowNs`.
  void Pump(std::uint64_t nowNs);
  // The rate this end talks at.
  virtual std::uint32_t Baud() const;
  Wire* wire() const { return wire_; }
  // A flood that came to its end; ends may then print a prompt.
  virtual void OnFloodDone(std::uint64_t doneNs) { (void)doneNs; }

 private:
  struct Segment {
    std::string text;             // empty for a flood segment
    std::uint64_t floodLeft = 0;  // flood bytes still to send
    std::uint64_t floodNext = 0;  // stream index of the next flood byte
    std::uint64_t notBeforeNs = 0;
    bool holdsInput = false;
    std::size_t pos = 0;
    bool IsFlood() const { return text.empty(); }
    std::uint64_t Left() const { return IsFlood() ? floodLeft : text.size() - pos; }
  };

  Wire* wire_ = nullptr;
  std::uint32_t lastBaud_ = kDefaultRemoteBaud;  // kept for output while disconnected
  std::uint64_t lineFreeNs_ = 0;
  std::deque<Segment> queue_;
  std::shared_ptr<FloodStats> flood_;
};

}  // namespace q7m::sim

#endif
