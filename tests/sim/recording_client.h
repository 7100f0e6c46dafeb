#pragma once
// A window client that records every access the trapped window hands it, for
// the window tests.

#include <cstdint>
#include <ostream>
#include <vector>

#include "sim/trapped_window.h"

struct Event {
  char kind;  // 'L' load, 'S' store, 'W' wide
  std::uint32_t offset;
  std::uint8_t value;
  bool operator==(const Event&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << e.kind << "@" << std::hex << e.offset << "=" << unsigned{e.value};
}

class RecordingClient : public q7m::sim::WindowClient {
 public:
  std::uint8_t Load(std::uint32_t offset) override {
    events.push_back({'L', offset, next});
    return next;
  }
  void Store(std::uint32_t offset, std::uint8_t value) override {
    events.push_back({'S', offset, value});
  }
  void Wide(std::uint32_t offset, bool) override { events.push_back({'W', offset, 0}); }

  volatile std::uint8_t next = 0;
  std::vector<Event> events;
};
