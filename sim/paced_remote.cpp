#include "sim/paced_remote.h"

#include <algorithm>

#include "sim/flood_text.h"

namespace q7m::sim {
namespace {

constexpr std::uint64_t kTenBitsNs = 10'000'000'000ULL;  // 10 bits at 1 baud
// Bounds one pumping step so that elapsed * baud cannot overflow 64 bits.
constexpr std::uint64_t kMaxStepNs = 10'000'000'000ULL;

}  // namespace

PacedRemote::PacedRemote() : flood_(std::make_shared<FloodStats>()) {}

void PacedRemote::OnConnect(Wire& wire, std::uint64_t nowNs) {
  Pump(nowNs);  // what was due while disconnected is gone
  wire_ = &wire;
  lineFreeNs_ = std::max(lineFreeNs_, nowNs);
}

void PacedRemote::OnDisconnect(std::uint64_t nowNs) {
  Pump(nowNs);
  wire_ = nullptr;
}

void PacedRemote::Advance(std::uint64_t nowNs) {
  Pump(nowNs);
}

std::uint32_t PacedRemote::Baud() const {
  if (wire_ == nullptr) return lastBaud_;
  const std::uint32_t b = wire_->UartBaud();
  return b != 0 ? b : kDefaultRemoteBaud;
}

void PacedRemote::Emit(std::string_view bytes, std::uint64_t notBeforeNs, bool holdsInput) {
  if (bytes.empty()) return;
  // Text that follows text with the same conditions joins it, which keeps
  // the queue short for byte-by-byte echo.
  if (!queue_.empty()) {
    Segment& back = queue_.back();
    if (!back.IsFlood() && back.holdsInput == holdsInput && back.notBeforeNs >= notBeforeNs) {
      back.text.append(bytes);
      return;
    }
  }
  Segment s;
  s.text.assign(bytes);
  s.notBeforeNs = notBeforeNs;
  s.holdsInput = holdsInput;
  queue_.push_back(std::move(s));
}

void PacedRemote::StartFlood(std::uint64_t bytes, std::uint64_t nowNs) {
  std::erase_if(queue_, [](const Segment& s) { return s.IsFlood(); });
  flood_->requested = bytes;
  flood_->sent = 0;
  flood_->active = bytes > 0;
  if (bytes == 0) return;
  Segment s;
  s.floodLeft = bytes;
  s.notBeforeNs = nowNs;
  queue_.push_back(std::move(s));
}

void PacedRemote::DropPending() {
  const bool hadFlood =
      std::any_of(queue_.begin(), queue_.end(), [](const Segment& s) { return s.IsFlood(); });
  queue_.clear();
  if (hadFlood) flood_->active = false;
}

bool PacedRemote::InputHeld() const {
  return std::any_of(queue_.begin(), queue_.end(), [](const Segment& s) { return s.holdsInput; });
}

std::uint64_t PacedRemote::PendingBytes() const {
  std::uint64_t n = 0;
  for (const Segment& s : queue_) n += s.Left();
  return n;
}

void PacedRemote::Restart() {
  DropPending();
  flood_->active = false;
  lineFreeNs_ = 0;
}

void PacedRemote::Pump(std::uint64_t nowNs) {
  while (!queue_.empty()) {
    Segment& s = queue_.front();
    if (s.Left() == 0) {
      queue_.pop_front();
      continue;
    }
    const std::uint32_t baud = Baud();
    if (wire_ != nullptr) lastBaud_ = baud;
    std::uint64_t start = std::max(lineFreeNs_, s.notBeforeNs);
    if (wire_ != nullptr) start = std::max(start, wire_->LineFreeNs());
    if (start >= nowNs) break;
    const std::uint64_t elapsed = std::min(nowNs - start, kMaxStepNs);
    // Bytes whose stop bit has ended by now: the largest i with
    // floor(i * 10 bits / baud) <= elapsed, the wire's own arrival formula,
    // so that the pacing has no gaps and no drift.
    const std::uint64_t due = std::min(((elapsed + 1) * baud - 1) / kTenBitsNs, s.Left());
    if (due == 0) break;
    std::string chunk;
    if (s.IsFlood()) {
      chunk = FloodText(s.floodNext, due);
      s.floodNext += due;
      s.floodLeft -= due;
    } else {
      chunk = s.text.substr(s.pos, static_cast<std::size_t>(due));
      s.pos += static_cast<std::size_t>(due);
    }
    if (wire_ != nullptr) wire_->SendAt(chunk, baud, start);
    lineFreeNs_ = start + due * kTenBitsNs / baud;
    if (s.IsFlood()) {
      flood_->sent += due;
      if (s.floodLeft == 0) {
        queue_.pop_front();
        flood_->active = false;
        OnFloodDone(lineFreeNs_);
        continue;
      }
    }
    if (s.Left() == 0) queue_.pop_front();
  }
}

}  // namespace q7m::sim
