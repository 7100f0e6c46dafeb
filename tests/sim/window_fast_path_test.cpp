// The trapped window's fast path, live: each decoded instruction form runs on
// the window and on ordinary memory, and must leave the same registers and
// flags, hand the client the access exactly once, and not be single-stepped.
// The same runs with decoding off check the slow path against it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/trapped_window.h"
#include "tests/sim/recording_client.h"

namespace q7m::sim {
namespace {

// Registers the instructions below use, and the flags around them.
struct Regs {
  std::uint64_t rax, rbx, rcx, rdx, rsi, rdi, r8, r9, r12, r15, flags;
  bool operator==(const Regs&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Regs& r) {
  return os << std::hex << "rax " << r.rax << " rbx " << r.rbx << " rcx " << r.rcx << " rdx "
            << r.rdx << " rsi " << r.rsi << " rdi " << r.rdi << " r8 " << r.r8 << " r9 " << r.r9
            << " r12 " << r.r12 << " r15 " << r.r15 << " flags " << r.flags;
}

using Run = void (*)(std::uint8_t* p, Regs& r);

// Runs `insn` with the registers and flags of `r` and reads them back; %[p]
// holds the byte's address and %[i] holds 3. The red zone is stepped over, as
// the pushes would overwrite the compiler's data there. An instruction naming
// ah, bh, ch or dh cannot take a REX prefix, so its address must be in one of
// the first eight registers: Q7M_LIVE_HIGH gives it rdi, which it leaves as is.
#define Q7M_LIVE_WITH(name, insn, rdiOperand, pointerOperand)                                 \
  void name(std::uint8_t* p, Regs& r) {                                                       \
    register std::uint64_t r8 asm("r8") = r.r8;                                               \
    register std::uint64_t r9 asm("r9") = r.r9;                                               \
    register std::uint64_t r12 asm("r12") = r.r12;                                            \
    register std::uint64_t r15 asm("r15") = r.r15;                                            \
    std::uint64_t f = r.flags;                                                                \
    const std::uint64_t three = 3;                                                            \
    asm volatile("lea -128(%%rsp),%%rsp\n\tpushq %[f]\n\tpopfq\n\t" insn                      \
                 "\n\tpushfq\n\tpopq %[f]\n\tlea 128(%%rsp),%%rsp"                            \
                 : "+a"(r.rax), "+b"(r.rbx), "+c"(r.rcx), "+d"(r.rdx), "+S"(r.rsi)rdiOperand, \
                   "+r"(r8), "+r"(r9), "+r"(r12), "+r"(r15), [f] "+r"(f)                      \
                 : [p] pointerOperand(p), [i] "r"(three)                                      \
                 : "cc", "memory");                                                           \
    r.r8 = r8;                                                                                \
    r.r9 = r9;                                                                                \
    r.r12 = r12;                                                                              \
    r.r15 = r15;                                                                              \
    r.flags = f;                                                                              \
  }
#define Q7M_COMMA ,
#define Q7M_LIVE(name, insn) Q7M_LIVE_WITH(name, insn, Q7M_COMMA "+D"(r.rdi), "r")
#define Q7M_LIVE_HIGH(name, insn) Q7M_LIVE_WITH(name, insn, , "D")

// Loads, into every kind of destination.
Q7M_LIVE(MovzxEax, "movzbl (%[p]),%%eax")
Q7M_LIVE(MovzxDx, "movzbw (%[p]),%%dx")
Q7M_LIVE(MovzxR15, "movzbq (%[p]),%%r15")
Q7M_LIVE(MovzxR9dIndexed, "movzbl -3(%[p],%[i],1),%%r9d")
Q7M_LIVE(MovsxEcx, "movsbl (%[p]),%%ecx")
Q7M_LIVE(MovsxSi, "movsbw (%[p]),%%si")
Q7M_LIVE(MovsxR12, "movsbq (%[p]),%%r12")
Q7M_LIVE(LoadAl, "movb (%[p]),%%al")
Q7M_LIVE_HIGH(LoadAh, "movb (%[p]),%%ah")
Q7M_LIVE_HIGH(LoadBh, "movb (%[p]),%%bh")
Q7M_LIVE_HIGH(LoadCh, "movb (%[p]),%%ch")
Q7M_LIVE_HIGH(LoadDh, "movb (%[p]),%%dh")
Q7M_LIVE(LoadSil, "movb (%[p]),%%sil")
Q7M_LIVE(LoadDil, "movb (%[p]),%%dil")
Q7M_LIVE(LoadR8b, "movb (%[p]),%%r8b")
Q7M_LIVE(LoadR15b, "movb (%[p]),%%r15b")
Q7M_LIVE(LoadBlScaled, "movb -12(%[p],%[i],4),%%bl")
// Loads folded into flag-setting and arithmetic instructions.
Q7M_LIVE(TestImm, "testb $0x81,(%[p])")
Q7M_LIVE_HIGH(TestBh, "testb %%bh,(%[p])")
Q7M_LIVE(TestR12b, "testb %%r12b,(%[p])")
Q7M_LIVE(CmpImm, "cmpb $0x7F,(%[p])")
Q7M_LIVE_HIGH(CmpMemAh, "cmpb %%ah,(%[p])")
Q7M_LIVE(CmpMemDil, "cmpb %%dil,(%[p])")
Q7M_LIVE(CmpR9bMem, "cmpb (%[p]),%%r9b")
Q7M_LIVE(CmpClMem, "cmpb (%[p]),%%cl")
Q7M_LIVE_HIGH(AndDh, "andb (%[p]),%%dh")
Q7M_LIVE(OrR8b, "orb (%[p]),%%r8b")
Q7M_LIVE(XorSil, "xorb (%[p]),%%sil")
Q7M_LIVE(AddAl, "addb (%[p]),%%al")
Q7M_LIVE_HIGH(AddCh, "addb (%[p]),%%ch")
// Stores, from every kind of source.
Q7M_LIVE(StoreAl, "movb %%al,(%[p])")
Q7M_LIVE_HIGH(StoreAh, "movb %%ah,(%[p])")
Q7M_LIVE_HIGH(StoreBh, "movb %%bh,(%[p])")
Q7M_LIVE(StoreSil, "movb %%sil,(%[p])")
Q7M_LIVE(StoreR15b, "movb %%r15b,(%[p])")
Q7M_LIVE(StoreR9bIndexed, "movb %%r9b,-3(%[p],%[i],1)")
Q7M_LIVE(StoreImm, "movb $0xC3,(%[p])")
// Not a byte form: left to the slow path.
Q7M_LIVE_HIGH(LoadAx, "movw (%[p]),%%ax")

struct Case {
  const char* assembly;
  Run run;
  bool store;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"movzbl (p),%eax", MovzxEax, false},
      {"movzbw (p),%dx", MovzxDx, false},
      {"movzbq (p),%r15", MovzxR15, false},
      {"movzbl -3(p,i,1),%r9d", MovzxR9dIndexed, false},
      {"movsbl (p),%ecx", MovsxEcx, false},
      {"movsbw (p),%si", MovsxSi, false},
      {"movsbq (p),%r12", MovsxR12, false},
      {"movb (p),%al", LoadAl, false},
      {"movb (p),%ah", LoadAh, false},
      {"movb (p),%bh", LoadBh, false},
      {"movb (p),%ch", LoadCh, false},
      {"movb (p),%dh", LoadDh, false},
      {"movb (p),%sil", LoadSil, false},
      {"movb (p),%dil", LoadDil, false},
      {"movb (p),%r8b", LoadR8b, false},
      {"movb (p),%r15b", LoadR15b, false},
      {"movb -12(p,i,4),%bl", LoadBlScaled, false},
      {"testb $0x81,(p)", TestImm, false},
      {"testb %bh,(p)", TestBh, false},
      {"testb %r12b,(p)", TestR12b, false},
      {"cmpb $0x7F,(p)", CmpImm, false},
      {"cmpb %ah,(p)", CmpMemAh, false},
      {"cmpb %dil,(p)", CmpMemDil, false},
      {"cmpb (p),%r9b", CmpR9bMem, false},
      {"cmpb (p),%cl", CmpClMem, false},
      {"andb (p),%dh", AndDh, false},
      {"orb (p),%r8b", OrR8b, false},
      {"xorb (p),%sil", XorSil, false},
      {"addb (p),%al", AddAl, false},
      {"addb (p),%ch", AddCh, false},
      {"movb %al,(p)", StoreAl, true},
      {"movb %ah,(p)", StoreAh, true},
      {"movb %bh,(p)", StoreBh, true},
      {"movb %sil,(p)", StoreSil, true},
      {"movb %r15b,(p)", StoreR15b, true},
      {"movb %r9b,-3(p,i,1)", StoreR9bIndexed, true},
      {"movb $0xC3,(p)", StoreImm, true},
  };
  return cases;
}

// Register contents that differ in every byte and vary with `seed`, with the
// status flags all clear or all set.
Regs Seeded(std::uint64_t seed) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  const auto next = [&x] {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 32;
    return x;
  };
  Regs r{};
  r.rax = next();
  r.rbx = next();
  r.rcx = next();
  r.rdx = next();
  r.rsi = next();
  r.rdi = next();
  r.r8 = next();
  r.r9 = next();
  r.r12 = next();
  r.r15 = next();
  r.flags = (seed & 1) != 0 ? 0x202 | 0x8D5 : 0x202;
  return r;
}

constexpr std::uint32_t kPort = 0x1B352;
const std::uint8_t kValues[] = {0x00, 0x01, 0x7F, 0x80, 0xC3, 0xFF};

class WindowFastPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window = TrappedWindow::Open(0x20000, client);
    ASSERT_NE(window, nullptr);
    port = static_cast<std::uint8_t*>(window->base()) + kPort;
  }

  // Runs `c` on the window with the client answering `value`; checks that
  // the access reached the client once, on the path asked for, and returns
  // the registers.
  Regs OnWindow(const Case& c, const Regs& in, std::uint8_t value, bool fast,
                std::uint8_t& stored) {
    window->setFastPath(fast);
    client.events.clear();
    client.next = value;
    const std::uint64_t traps = window->trapCount();
    const std::uint64_t slow = window->slowPathCount();
    Regs r = in;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    c.run(port, r);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    EXPECT_EQ(window->trapCount(), traps + 1);
    EXPECT_EQ(window->slowPathCount(), slow + (fast ? 0 : 1)) << window->lastWarning();
    EXPECT_EQ(client.events.size(), 1u);
    stored = 0;
    if (!client.events.empty()) {
      const Event& e = client.events.front();
      EXPECT_EQ(e.kind, c.store ? 'S' : 'L');
      EXPECT_EQ(e.offset, kPort);
      if (c.store) {
        stored = e.value;
      } else {
        EXPECT_EQ(e.value, value);
      }
    }
    return r;
  }

  RecordingClient client;
  std::unique_ptr<TrappedWindow> window;
  std::uint8_t* port = nullptr;
};

TEST_F(WindowFastPathTest, EachFormMatchesOrdinaryMemoryOnBothPaths) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.assembly);
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
      for (const std::uint8_t value : kValues) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " byte " << unsigned{value});
        const Regs in = Seeded(seed);
        volatile std::uint8_t cell = value;
        Regs want = in;
        c.run(const_cast<std::uint8_t*>(&cell), want);
        const std::uint8_t wantStored = cell;
        for (const bool fast : {true, false}) {
          SCOPED_TRACE(fast ? "fast path" : "slow path");
          std::uint8_t stored = 0;
          const Regs got = OnWindow(c, in, value, fast, stored);
          EXPECT_EQ(got, want);
          if (c.store) {
            EXPECT_EQ(stored, wantStored);
          }
        }
        if (HasFailure()) return;  // one report per fault is enough
      }
    }
  }
}

TEST_F(WindowFastPathTest, AccessesInSequenceKeepProgramOrder) {
  Regs r = Seeded(7);
  r.rax = 0x11;
  r.r15 = 0x22;
  client.events.clear();
  client.next = 0x5A;
  StoreAl(port, r);
  LoadAh(port, r);
  StoreR15b(port + 1, r);
  CmpImm(port + 2, r);
  StoreImm(port, r);
  const std::vector<Event> want = {{'S', kPort, 0x11},
                                   {'L', kPort, 0x5A},
                                   {'S', kPort + 1, 0x22},
                                   {'L', kPort + 2, 0x5A},
                                   {'S', kPort, 0xC3}};
  EXPECT_EQ(client.events, want);
  EXPECT_EQ((r.rax >> 8) & 0xFF, 0x5Au);
  EXPECT_EQ(window->slowPathCount(), 0u);
}

TEST_F(WindowFastPathTest, UnknownFormIsSingleSteppedCountedAndNamed) {
  EXPECT_STREQ(window->lastWarning(), "");
  Regs want = Seeded(3);
  volatile std::uint8_t cell[2] = {0x9A, 0x00};
  LoadAx(const_cast<std::uint8_t*>(cell), want);

  Regs got = Seeded(3);
  client.events.clear();
  client.next = 0x9A;
  LoadAx(port, got);
  // The slow path answers the byte the model knows and leaves the page's
  // other byte, which is zero, as it was.
  EXPECT_EQ(got, want);
  EXPECT_EQ(client.events, (std::vector<Event>{{'L', kPort, 0x9A}}));
  EXPECT_EQ(window->slowPathCount(), 1u);
  const std::string warning = window->lastWarning();
  EXPECT_NE(warning.find("undecoded access form"), std::string::npos) << warning;
  EXPECT_NE(warning.find("(bytes 66 8B)"), std::string::npos) << warning;
  EXPECT_NE(warning.find("window offset 0x1B352"), std::string::npos) << warning;

  // Decoded forms after it stay on the fast path.
  LoadAl(port, got);
  EXPECT_EQ(window->slowPathCount(), 1u);
  EXPECT_EQ(window->trapCount(), 2u);
}

}  // namespace
}  // namespace q7m::sim
