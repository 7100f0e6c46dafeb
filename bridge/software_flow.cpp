#include "bridge/software_flow.h"

void SoftwareFlow::SetModes(const FlowModes& modes) {
  // The line discipline restarts output when IXON is cleared.
  if (!modes.ixon) held_ = false;
  modes_ = modes;
}

std::string_view SoftwareFlow::Receive(std::string_view bytes) {
  if (!modes_.ixon) return bytes;
  forClient_.clear();
  for (const char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    // STOP first, as the kernel's line discipline tests them.
    if (modes_.stop != 0 && byte == modes_.stop) {
      held_ = true;
      continue;
    }
    if (modes_.start != 0 && byte == modes_.start) {
      held_ = false;
      continue;
    }
    if (modes_.ixany) held_ = false;
    forClient_.push_back(c);
  }
  return forClient_;
}

std::optional<char> SoftwareFlow::InputControl(std::size_t waiting, std::size_t limit,
                                               bool clientThere) {
  if (!stopSent_) {
    const std::size_t high = limit - limit / 4;
    if (!modes_.ixoff || !clientThere || modes_.stop == 0 || limit == 0 || waiting < high) {
      return std::nullopt;
    }
    stopSent_ = true;
    startAfterStop_ = modes_.start != 0 ? modes_.start : std::uint8_t{0x11};
    return static_cast<char>(modes_.stop);
  }
  if (modes_.ixoff && clientThere && waiting > limit / 4) return std::nullopt;
  stopSent_ = false;
  return static_cast<char>(startAfterStop_);
}
