#include "uart/reception.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;
// The taken part is cut off now and then, not at every read.
constexpr std::size_t kCompactAfter = 4096;

}  // namespace

ReceiveBacklog::ReceiveBacklog(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

std::size_t ReceiveBacklog::Add(std::string_view bytes) {
  // Bytes that would be dropped at once are not copied first.
  std::size_t dropped = 0;
  if (bytes.size() > limit_) {
    dropped = bytes.size() - limit_;
    bytes.remove_prefix(dropped);
    added_ += dropped;
  }
  bytes_.append(bytes);
  added_ += bytes.size();
  if (Size() > limit_) {
    const std::size_t excess = Size() - limit_;
    start_ += excess;
    dropped += excess;
  }
  dropped_ += dropped;
  if (start_ > kCompactAfter && start_ > bytes_.size() / 2) {
    bytes_.erase(0, start_);
    start_ = 0;
  }
  return dropped;
}

std::string_view ReceiveBacklog::Front(std::size_t max) const {
  return std::string_view(bytes_).substr(start_, std::min(max, Size()));
}

void ReceiveBacklog::Consume(std::size_t n) {
  start_ += std::min(n, Size());
  if (start_ == bytes_.size()) {
    bytes_.clear();
    start_ = 0;
  }
}

void ReceiveErrorReports::Report(std::uint8_t bits,
                                 const std::function<void(const char* message)>& report,
                                 const std::function<std::uint64_t()>& now) {
  for (Kind* kind : {&overflow_, &framing_}) {
    if ((bits & kind->bit) == 0 || now() < kind->quietUntilNs) continue;
    report(kind->message);
    kind->quietUntilNs = now() + kQuietMs * kNsPerMs;
  }
}
