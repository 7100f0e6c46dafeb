#include "uart/reception.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;

}  // namespace

void ReceiveErrorReports::Report(std::uint8_t bits,
                                 const std::function<void(const char* message)>& report,
                                 const std::function<std::uint64_t()>& now) {
  for (Kind* kind : {&overflow_, &framing_}) {
    if ((bits & kind->bit) == 0 || now() < kind->quietUntilNs) continue;
    report(kind->message);
    kind->quietUntilNs = now() + kQuietMs * kNsPerMs;
  }
}
