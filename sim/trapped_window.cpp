#include "sim/trapped_window.h"

#if !defined(__linux__) || !defined(__x86_64__)
#error "The trapped window needs x86-64 Linux (trap flag and REG_ERR in ucontext)."
#endif

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

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
  auto* page = g.base + (offset & ~(kPageSize - 1));
  const bool isWrite = (uc->uc_mcontext.gregs[REG_ERR] & kErrWriteBit) != 0;
  mprotect(page, kPageSize, PROT_READ | PROT_WRITE);
  ++g.traps;
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

}  // namespace q7m::sim
