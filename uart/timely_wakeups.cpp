#include "uart/timely_wakeups.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// The kernel's struct sched_attr, first version (glibc has no wrapper).
struct Attributes {
  std::uint32_t size = sizeof(Attributes);
  std::uint32_t policy = 0;
  std::uint64_t flags = 0;
  std::int32_t nice = 0;
  std::uint32_t priority = 0;
  std::uint64_t runtime = 0;
  std::uint64_t deadline = 0;
  std::uint64_t period = 0;
};

constexpr std::uint64_t kResetOnFork = 0x01;
// A few microseconds of work per poll step fit a slice this short.
constexpr std::uint64_t kShortSliceNs = 200'000;

static_assert(sizeof(Attributes) == 48);

bool Get(Attributes& attributes) {
  attributes = Attributes{};
  return syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) == 0;
}

bool Set(const Attributes& attributes) {
  return syscall(SYS_sched_setattr, 0, &attributes, 0) == 0;
}

}  // namespace

TimelyWakeups::TimelyWakeups(Ask ask) {
  Attributes before;
  if (!Get(before) || before.policy != SCHED_OTHER) return;
  std::memcpy(saved_, &before, sizeof before);

  if (ask == Ask::kRealTimeWhenPermitted) {
    Attributes realTime;
    realTime.policy = SCHED_RR;
    realTime.priority = 1;
    realTime.flags = kResetOnFork;
    if (Set(realTime)) {
      kind_ = Kind::kRealTime;
      return;
    }
  }

  Attributes shortSlices = before;
  shortSlices.size = sizeof shortSlices;
  shortSlices.flags = kResetOnFork;
  shortSlices.runtime = kShortSliceNs;
  if (Set(shortSlices)) kind_ = Kind::kShortSlices;
}

TimelyWakeups::~TimelyWakeups() {
  if (kind_ == Kind::kUnchanged) return;
  Attributes before;
  std::memcpy(&before, saved_, sizeof before);
  before.size = sizeof before;
  before.flags = 0;
  Set(before);
}
