// The trapped window with a recording client: every byte access of the
// program reaches the client once, in order, and foreign faults are left to
// whoever handled them before.
#include "sim/trapped_window.h"
#include "tests/sim/recording_client.h"

#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace q7m::sim {
namespace {

// The client runs inside the signal handlers: fences keep the compiler from
// moving the test's own reads and writes of it across the trapped accesses.
void Put(volatile std::uint8_t* p, std::uint8_t v) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  *p = v;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

std::uint8_t Get(volatile std::uint8_t* p) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const std::uint8_t v = *p;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return v;
}

// Handler and SA_SIGINFO only: the C library adds flags of its own (the
// restorer) when an action is installed, even when putting back SIG_DFL.
bool SameAction(const struct sigaction& a, const struct sigaction& b) {
  return a.sa_sigaction == b.sa_sigaction && (a.sa_flags & SA_SIGINFO) == (b.sa_flags & SA_SIGINFO);
}

struct sigaction Current(int sig) {
  struct sigaction sa {};
  sigaction(sig, nullptr, &sa);
  return sa;
}

TEST(TrappedWindowTest, ByteStoresAndLoadsReachTheClientOnceInOrder) {
  RecordingClient client;
  auto window = TrappedWindow::Open(0x20000, client);
  ASSERT_NE(window, nullptr);
  auto* base = static_cast<volatile std::uint8_t*>(window->base());

  Put(base + 0x1B353, 8);
  Put(base + 0x1B352, 3);
  client.next = 0x85;
  const std::uint8_t a = Get(base + 0x1B352);
  client.next = 0x07;
  const std::uint8_t b = Get(base + 0x1B352);
  Put(base + 0x1C00F, 0x63);

  EXPECT_EQ(a, 0x85);
  EXPECT_EQ(b, 0x07) << "a repeated load is answered afresh";
  const std::vector<Event> want = {{'S', 0x1B353, 8},
                                   {'S', 0x1B352, 3},
                                   {'L', 0x1B352, 0x85},
                                   {'L', 0x1B352, 0x07},
                                   {'S', 0x1C00F, 0x63}};
  EXPECT_EQ(client.events, want);
  EXPECT_EQ(window->trapCount(), 5u);
}

TEST(TrappedWindowTest, LoadFoldedIntoCompareIsAnsweredByTheClient) {
  RecordingClient client;
  auto window = TrappedWindow::Open(0x20000, client);
  ASSERT_NE(window, nullptr);
  auto* p = static_cast<std::uint8_t*>(window->base()) + 0x1B352;
  client.next = 0x02;
  std::uint8_t equal = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // What a compiler makes of `while (*p & 2)`-style polls: a memory operand.
  asm volatile("cmpb $2, %1\n\tsete %0" : "=r"(equal) : "m"(*p) : "cc");
  EXPECT_EQ(equal, 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  client.next = 0x00;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::uint8_t nonzero = 0;
  asm volatile("testb $2, %1\n\tsetnz %0" : "=r"(nonzero) : "m"(*p) : "cc");
  std::atomic_signal_fence(std::memory_order_seq_cst);
  EXPECT_EQ(nonzero, 0);
  const std::vector<Event> want = {{'L', 0x1B352, 0x02}, {'L', 0x1B352, 0x00}};
  EXPECT_EQ(client.events, want);
}

TEST(TrappedWindowTest, WideStoreIsFlaggedLoudly) {
  RecordingClient client;
  auto window = TrappedWindow::Open(0x20000, client);
  ASSERT_NE(window, nullptr);
  auto* p = reinterpret_cast<volatile std::uint32_t*>(static_cast<std::uint8_t*>(window->base()) +
                                                      0x1B100);
  ::testing::internal::CaptureStderr();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  *p = 0x44332211;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("wide store at window offset 0x1B100"), std::string::npos) << err;
  const std::vector<Event> want = {{'S', 0x1B100, 0x11}, {'W', 0x1B100, 0}};
  EXPECT_EQ(client.events, want);
}

TEST(TrappedWindowTest, HandlersAreInstalledAndRestored) {
  struct sigaction before_segv = Current(SIGSEGV);
  struct sigaction before_trap = Current(SIGTRAP);
  RecordingClient client;
  {
    auto window = TrappedWindow::Open(0x1000, client);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(SameAction(Current(SIGSEGV), before_segv));
    EXPECT_FALSE(SameAction(Current(SIGTRAP), before_trap));
    EXPECT_EQ(TrappedWindow::Open(0x1000, client), nullptr) << "one window at a time";
  }
  EXPECT_TRUE(SameAction(Current(SIGSEGV), before_segv));
  EXPECT_TRUE(SameAction(Current(SIGTRAP), before_trap));
}

sigjmp_buf g_escape;
int g_foreignSegv = 0;
int g_foreignTrap = 0;

void ForeignSegv(int, siginfo_t*, void*) {
  ++g_foreignSegv;
  siglongjmp(g_escape, 1);
}

void ForeignTrap(int, siginfo_t*, void*) {
  ++g_foreignTrap;
}

TEST(TrappedWindowTest, ForeignFaultsAndTrapsGoToThePreviousHandlers) {
  struct sigaction mine {};
  sigemptyset(&mine.sa_mask);
  mine.sa_flags = SA_SIGINFO;
  mine.sa_sigaction = ForeignSegv;
  struct sigaction oldSegv {};
  struct sigaction oldTrap {};
  ASSERT_EQ(sigaction(SIGSEGV, &mine, &oldSegv), 0);
  mine.sa_sigaction = ForeignTrap;
  ASSERT_EQ(sigaction(SIGTRAP, &mine, &oldTrap), 0);

  g_foreignSegv = 0;
  g_foreignTrap = 0;
  void* other = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(other, MAP_FAILED);
  {
    RecordingClient client;
    auto window = TrappedWindow::Open(0x1000, client);
    ASSERT_NE(window, nullptr);
    if (sigsetjmp(g_escape, 1) == 0) {
      *static_cast<volatile std::uint8_t*>(other) = 1;
      ADD_FAILURE() << "store to a foreign page did not fault";
    }
    raise(SIGTRAP);
    // The window still works after passing signals on.
    Put(static_cast<volatile std::uint8_t*>(window->base()) + 5, 9);
    EXPECT_EQ(client.events, (std::vector<Event>{{'S', 5, 9}}));
  }
  munmap(other, 4096);
  sigaction(SIGSEGV, &oldSegv, nullptr);
  sigaction(SIGTRAP, &oldTrap, nullptr);
  EXPECT_EQ(g_foreignSegv, 1);
  EXPECT_EQ(g_foreignTrap, 1);
}

TEST(TrappedWindowDeathTest, FaultOutsideTheWindowStillCrashes) {
  RecordingClient client;
  auto window = TrappedWindow::Open(0x1000, client);
  ASSERT_NE(window, nullptr);
  // A page without access rights of its own: the same fault kind as the
  // window's, at an address outside it.
  void* other = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(other, MAP_FAILED);
  EXPECT_EXIT(
      {
        static_cast<volatile std::uint8_t*>(window->base())[1] = 1;
        *static_cast<volatile std::uint8_t*>(other) = 1;
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  munmap(other, 4096);
}

}  // namespace
}  // namespace q7m::sim
