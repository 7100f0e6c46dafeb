#include "uart/held_stream.h"

#include <algorithm>

namespace {

// Bytes added after an event, or beyond this, start an item of their own, so
// that what was taken from the front is given back in steps.
constexpr std::size_t kItemBytes = 64 * 1024;

}  // namespace

HeldStream::HeldStream(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

std::size_t HeldStream::Add(std::string_view bytes) {
  // Bytes that would be dropped at once are not copied first.
  std::size_t dropped = 0;
  if (bytes.size() > limit_) {
    dropped = bytes.size() - limit_;
    bytes.remove_prefix(dropped);
  }
  if (!bytes.empty()) {
    if (items_.empty() || items_.back().event ||
        items_.back().bytes.size() + bytes.size() > kItemBytes) {
      items_.emplace_back();
    }
    items_.back().bytes.append(bytes);
    bytes_ += bytes.size();
  }
  if (bytes_ > limit_) {
    dropped += bytes_ - limit_;
    DropOldest(bytes_ - limit_);
  }
  dropped_ += dropped;
  return dropped;
}

void HeldStream::Add(const UartEvent& event) {
  if (items_.empty() || items_.back().event) items_.emplace_back();
  items_.back().event = event;
}

void HeldStream::DropOldest(std::size_t n) {
  for (auto item = items_.begin(); n != 0 && item != items_.end();) {
    const std::size_t cut = std::min(n, item->Size());
    item->start += cut;
    bytes_ -= cut;
    n -= cut;
    if (item->Size() == 0 && !item->event) {
      item = items_.erase(item);
    } else {
      if (item->Size() == 0) {
        item->bytes.clear();
        item->start = 0;
      }
      ++item;
    }
  }
}

void HeldStream::Take(std::string& out, std::size_t max, std::optional<UartEvent>& event) {
  out.clear();
  event.reset();
  if (items_.empty()) return;
  Item& front = items_.front();
  const std::size_t n = std::min(max, front.Size());
  out.assign(front.bytes, front.start, n);
  front.start += n;
  bytes_ -= n;
  if (front.Size() != 0) return;
  event = front.event;
  items_.pop_front();
}

std::size_t HeldStream::DropBytes() {
  const std::size_t n = bytes_;
  DropOldest(n);
  return n;
}

void HeldStream::Absorb(HeldStream& other) {
  for (Item& item : other.items_) items_.push_back(std::move(item));
  bytes_ += other.bytes_;
  dropped_ += other.dropped_;
  other.items_.clear();
  other.bytes_ = 0;
  other.dropped_ = 0;
  if (bytes_ > limit_) {
    dropped_ += bytes_ - limit_;
    DropOldest(bytes_ - limit_);
  }
}
