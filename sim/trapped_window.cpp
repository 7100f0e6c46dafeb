#include "sim/trapped_window.h"

#if !defined(__linux__) || !defined(__x86_64__)
#error "The trapped window needs x86-64 Linux (trap flag and REG_ERR in ucontext)."
#endif

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "sim/byte_access_decoder.h"

// The window's counters leave the shared library as Sim* functions.
#pragma GCC visibility push(default)
#include "sim/sim_control.h"
#pragma GCC visibility pop

namespace q7m::sim {
namespace {

constexpr std::size_t kPageSize = 4096;
constexpr greg_t kTrapFlag = 0x100;   // EFLAGS.TF
constexpr greg_t kErrWriteBit = 0x2;  // page-fault error code: write access

// Handler state. Signals are synchronous faults of the one thread touching
// the window, so plain globals suffice; the handlers never run concurrently.
struct Step {
  bool active = false;
  std::uint8_t* page = nullptr;
  std::uint32_t offset = 0;
  bool isWrite = false;
};

struct State {
  std::uint8_t* base = nullptr;
  std::size_t size = 0;
  WindowClient* client = nullptr;
  struct sigaction prevSegv {};
  struct sigaction prevTrap {};
  Step step;
  std::array<std::uint8_t, kPageSize> snapshot{};
  std::uint64_t traps = 0;
  std::uint64_t slow = 0;
  bool fastPath = true;
  std::array<char, 160> warning{};
};

State g;

void Say(const char* text) {
  const std::size_t n = std::strlen(text);
  const ssize_t r = ::write(STDERR_FILENO, text, n);
  (void)r;
}

// Passes a signal that is not ours to whoever had it before. With the default
// action the handler is reset and the fault is left to repeat (or re-raised
// for signals that do not repeat on return), so the process dies as it would
// have without us.
void Chain(const struct sigaction& prev, int sig, siginfo_t* info, void* ctx) {
  if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction != nullptr) {
    prev.sa_sigaction(sig, info, ctx);
    return;
  }
  if (prev.sa_handler == SIG_IGN && sig == SIGTRAP) return;
  if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
    prev.sa_handler(sig);
    return;
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  if (sig == SIGTRAP || info == nullptr || info->si_code <= 0) raise(sig);
}

// The encoding's register numbers (rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi,
// r8-r15) as indices of the saved registers.
constexpr std::array<int, 16> kGreg = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                       REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                       REG_R12, REG_R13, REG_R14, REG_R15};

void NoteSlow(const char* why, std::uint64_t rip, std::span<const std::uint8_t> bytes,
              std::uint32_t offset) {
  std::string byteList;
  for (const std::uint8_t b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b);
    byteList += hex;
  }
  std::snprintf(g.warning.data(), g.warning.size(),
                "q7m sim: %s at rip 0x%012llX (bytes%s), window offset 0x%05X; single-stepped", why,
                static_cast<unsigned long long>(rip), byteList.c_str(),
                static_cast<unsigned>(offset));
}

// Answers a byte access by emulating the instruction on the saved registers;
// false when the instruction is not one the decoder knows exactly, which is
// then noted for the slow path.
bool FastAccess(ucontext_t* uc, const std::uint8_t* addr, std::uint32_t offset, bool isWrite) {
  greg_t* gregs = uc->uc_mcontext.gregs;
  const auto rip = static_cast<std::uint64_t>(gregs[REG_RIP]);
  // The processor fetched the whole instruction, so it is readable; the
  // decoder reads no further than the instruction (or its first unknown byte).
  const std::span<const std::uint8_t> code(reinterpret_cast<const std::uint8_t*>(rip), 15);
  const Decoded d = DecodeByteAccess(code);
  if (d.status != DecodeStatus::kOk) {
    NoteSlow("undecoded access form", rip, code.first(d.examined), offset);
    return false;
  }
  CpuState cpu;
  for (std::size_t i = 0; i < kGreg.size(); ++i) {
    cpu.gpr[i] = static_cast<std::uint64_t>(gregs[kGreg[i]]);
  }
  cpu.rip = rip;
  cpu.rflags = static_cast<std::uint64_t>(gregs[REG_EFL]);
  // Cross-checks against what the processor reported: a decoding error must
  // not turn into a wrong answer.
  if (EffectiveAddress(d.access, cpu) != reinterpret_cast<std::uintptr_t>(addr) ||
      IsStore(d.access.form) != isWrite) {
    NoteSlow("decoded access disagrees with the fault", rip, code.first(d.examined), offset);
    return false;
  }
  ++g.traps;
  std::uint8_t loaded = 0;
  if (isWrite) {
    g.client->Store(offset, StoreValue(d.access, cpu));
  } else {
    loaded = g.client->Load(offset);
  }
  Complete(d.access, loaded, cpu);
  for (std::size_t i = 0; i < kGreg.size(); ++i) {
    gregs[kGreg[i]] = static_cast<greg_t>(cpu.gpr[i]);
  }
  gregs[REG_RIP] = static_cast<greg_t>(cpu.rip);
  gregs[REG_EFL] = static_cast<greg_t>(cpu.rflags);
  return true;
}

void OnSegv(int sig, siginfo_t* info, void* ctx) {
  auto* uc = static_cast<ucontext_t*>(ctx);
  auto* addr = static_cast<std::uint8_t*>(info->si_addr);
  const bool inside = g.base != nullptr && addr >= g.base && addr < g.base + g.size;
  if (!inside || info->si_code != SEGV_ACCERR) {
    Chain(g.prevSegv, sig, info, ctx);
    return;
  }
  if (g.step.active) {
    // A second page touched by the same instruction (an access across a page
    // boundary): not a byte access, and not something the window models.
    Say("q7m sim: access crosses a page of the trapped window; not supported\n");
    Chain(g.prevSegv, sig, info, ctx);
    return;
  }
  const auto offset = static_cast<std::uint32_t>(addr - g.base);
  const bool isWrite = (uc->uc_mcontext.gregs[REG_ERR] & kErrWriteBit) != 0;
  if (g.fastPath && FastAccess(uc, addr, offset, isWrite)) return;
  auto* page = g.base + (offset & ~(kPageSize - 1));
  mprotect(page, kPageSize, PROT_READ | PROT_WRITE);
  ++g.traps;
  ++g.slow;
  if (!isWrite) *addr = g.client->Load(offset);
  std::memcpy(g.snapshot.data(), page, kPageSize);
  g.step = {true, page, offset, isWrite};
  uc->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

void OnTrap(int sig, siginfo_t* info, void* ctx) {
  if (!g.step.active) {
    Chain(g.prevTrap, sig, info, ctx);
    return;
  }
  auto* uc = static_cast<ucontext_t*>(ctx);
  uc->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
  const Step step = g.step;
  g.step.active = false;
  const std::size_t inPage = step.offset & (kPageSize - 1);
  bool wide = false;
  for (std::size_t i = 0; i < kPageSize && !wide; ++i) {
    if (i != inPage && step.page[i] != g.snapshot[i]) wide = true;
  }
  const std::uint8_t stored = step.page[inPage];
  mprotect(step.page, kPageSize, PROT_NONE);
  if (step.isWrite) g.client->Store(step.offset, stored);
  if (wide) {
    std::array<char, 128> line{};
    std::snprintf(line.data(), line.size(),
                  "q7m sim: WARNING: wide %s at window offset 0x%05X; only one byte modelled\n",
                  step.isWrite ? "store" : "access", static_cast<unsigned>(step.offset));
    Say(line.data());
    g.client->Wide(step.offset, step.isWrite);
  }
}

bool Install() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO;
  sa.sa_sigaction = OnSegv;
  if (sigaction(SIGSEGV, &sa, &g.prevSegv) != 0) return false;
  sa.sa_sigaction = OnTrap;
  if (sigaction(SIGTRAP, &sa, &g.prevTrap) != 0) {
    sigaction(SIGSEGV, &g.prevSegv, nullptr);
    return false;
  }
  return true;
}

void Uninstall() {
  sigaction(SIGTRAP, &g.prevTrap, nullptr);
  sigaction(SIGSEGV, &g.prevSegv, nullptr);
}

}  // namespace

std::unique_ptr<TrappedWindow> TrappedWindow::Open(std::size_t size, WindowClient& client) {
  if (g.base != nullptr || size == 0) return nullptr;
  const std::size_t rounded = (size + kPageSize - 1) & ~(kPageSize - 1);
  void* p = mmap(nullptr, rounded, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  g.base = static_cast<std::uint8_t*>(p);
  g.size = rounded;
  g.client = &client;
  g.step = {};
  g.traps = 0;
  g.slow = 0;
  g.fastPath = true;
  g.warning[0] = '\0';
  if (!Install()) {
    munmap(p, rounded);
    g = State{};
    return nullptr;
  }
  return std::make_unique<TrappedWindow>(Key{}, p, rounded);
}

TrappedWindow::~TrappedWindow() {
  Uninstall();
  munmap(base_, size_);
  g.base = nullptr;
  g.size = 0;
  g.client = nullptr;
  g.step = {};
}

std::uint64_t TrappedWindow::trapCount() const {
  return g.traps;
}

std::uint64_t TrappedWindow::slowPathCount() const {
  return g.slow;
}

const char* TrappedWindow::lastWarning() const {
  return g.warning.data();
}

void TrappedWindow::setFastPath(bool enabled) {
  g.fastPath = enabled;
}

}  // namespace q7m::sim

// Counters of the current window, or of the last one after it closed.
extern "C" uint64_t SimWindowSlowPathCount(void) {
  return q7m::sim::g.slow;
}

extern "C" const char* SimLastWindowWarning(void) {
  return q7m::sim::g.warning.data();
}
