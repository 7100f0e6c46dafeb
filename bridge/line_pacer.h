#pragma once
// When the bridge looks at the board's transmitter for the next byte.
//
// The UART has no transmit FIFO: a byte may be written once the one before
// has left, a character time after it was written (87 us at 115200 baud).
// Reading the status for all that time would keep a core busy for a whole
// transfer; sleeping until the character time is over would add the
// wake-up delay to every byte. So the bridge sleeps until shortly before the
// transmitter is due to be free, by as much as most recent wake-ups came
// late plus one status read, and reads the status from then on.

#include <array>
#include <cstdint>

class LinePacer {
 public:
  explicit LinePacer(std::uint64_t charNs) : charNs_(charNs) {}

  void SetCharNs(std::uint64_t charNs) { charNs_ = charNs; }
  std::uint64_t CharNs() const { return charNs_; }

  // A byte was written at nowNs.
  void Wrote(std::uint64_t nowNs) { freeAtNs_ = nowNs + charNs_; }
  // When the transmitter is due to be free (0: it is).
  std::uint64_t FreeAtNs() const { return freeAtNs_; }
  // When to wake to send the next byte.
  std::uint64_t WakeAtNs() const { return freeAtNs_ > MarginNs() ? freeAtNs_ - MarginNs() : 0; }
  std::uint64_t MarginNs() const;

  // A sleep meant to end at targetNs ended at nowNs.
  void WokeUp(std::uint64_t targetNs, std::uint64_t nowNs);
  // One status read took ns.
  void StatusRead(std::uint64_t ns);

 private:
  static constexpr std::size_t kSamples = 32;

  std::uint64_t charNs_;
  std::uint64_t freeAtNs_ = 0;
  std::array<std::uint64_t, kSamples> lateness_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
  std::uint64_t usualLatenessNs_ = 0;
  std::uint64_t readNs_ = 0;
};
