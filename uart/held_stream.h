#pragma once
// Received bytes and the engine's events in their order, waiting for a
// reader slower than the line (the screen, the bridge's client), within a
// limit: beyond it the oldest bytes are dropped, and counted; events are
// never dropped.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "uart/uart_engine.h"

class HeldStream {
 public:
  explicit HeldStream(std::size_t limit);

  // Returns how many bytes this addition made the stream drop.
  std::size_t Add(std::string_view bytes);
  // The event stands after the bytes added so far.
  void Add(const UartEvent& event);
  // Takes held bytes in order into `out` (replacing its content), up to
  // `max`, stopping at the next event, which it then hands over in `event`.
  void Take(std::string& out, std::size_t max, std::optional<UartEvent>& event);
  // Forgets every held byte (events stay); returns how many there were.
  std::size_t DropBytes();
  // Moves what `other` holds (and has dropped) behind what this holds.
  void Absorb(HeldStream& other);

  std::size_t Bytes() const { return bytes_; }
  bool Empty() const { return items_.empty(); }
  std::uint64_t Dropped() const { return dropped_; }
  std::size_t Limit() const { return limit_; }

 private:
  // Bytes, then optionally the event that follows them.
  struct Item {
    std::string bytes;
    std::size_t start = 0;
    std::optional<UartEvent> event;
    std::size_t Size() const { return bytes.size() - start; }
  };
  void DropOldest(std::size_t n);

  std::deque<Item> items_;
  std::size_t bytes_ = 0;
  std::size_t limit_;
  std::uint64_t dropped_ = 0;
};
