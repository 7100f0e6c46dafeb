// Entry points of the simulated access library and its Sim* inspection
// functions. The program loads this library in place of the real one; the
// mapping it gets is a trapped window onto the device model.
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "pcie-linux/board_choice.h"
#include "pcie-linux/board_lock.h"
#include "pcie-linux/sysfs_log.h"
#include "sim/device_model.h"
#include "sim/poll_figures.h"
#include "sim/pty_bridge.h"
#include "sim/receive_tally.h"
#include "sim/remote_consoles.h"
#include "sim/trapped_window.h"

// Only the entry points and Sim* functions leave the library; everything else
// is built with hidden visibility.
#define Q7M_EXPORT __attribute__((visibility("default")))

#pragma GCC visibility push(default)
#include "include/PCIAccessDll.h"
#include "sim/sim_control.h"
#pragma GCC visibility pop

namespace {

using q7m::sim::DeviceModel;
using q7m::sim::kBarSize;
using q7m::sim::kRouteCount;
using q7m::sim::PacedRemote;

constexpr std::size_t kCloseOrderLimit = 64;
// Simulated boards on offer: Q7M_SIM_BOARDS of them (1 by default), at most
// this many, at bus addresses 0000:03:00.0, 0000:04:00.0 and so on.
constexpr std::size_t kMaxBoards = 4;
constexpr const char* kBoardsVariable = "Q7M_SIM_BOARDS";
constexpr const char* kLockDirVariable = "Q7M_SIM_LOCK_DIR";

std::uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

// CPU time of the calling thread: the handlers run on the thread that made
// the access, so at a status read this is the polling thread's.
std::uint64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

// The calling thread's id, asked of the kernel once per thread (and again in
// a forked child, whose thread has a new one).
__attribute__((tls_model("initial-exec"))) thread_local pid_t t_threadId = 0;
std::int64_t ThisThreadId() {
  if (t_threadId == 0) t_threadId = ::gettid();
  return t_threadId;
}

const char* GetEnv(const char* name) {
  return getenv(name);
}

// Spins for ns nanoseconds of the real clock.
void Spin(std::uint64_t ns) {
  const std::uint64_t until = MonotonicNs() + ns;
  while (MonotonicNs() < until) {
  }
}

// Answers every load of a calibration window with the same byte.
class QuietClient final : public q7m::sim::WindowClient {
 public:
  std::uint8_t Load(std::uint32_t) override { return 0; }
  void Store(std::uint32_t, std::uint8_t) override {}
  void Wide(std::uint32_t, bool) override {}
};

[[gnu::noinline]] std::uint8_t LoadByte(volatile std::uint8_t* p) {
  return *p;
}

// What one trapped byte load costs on this machine, in nanoseconds: timed on
// a window of its own, before the board's is opened.
std::uint64_t MeasureAccessNs() {
  constexpr int kLoads = 2000;
  QuietClient quiet;
  auto window = q7m::sim::TrappedWindow::Open(4096, quiet);
  if (window == nullptr) return 0;
  auto* byte = static_cast<volatile std::uint8_t*>(window->base());
  const std::uint64_t start = MonotonicNs();
  for (int i = 0; i < kLoads; ++i) LoadByte(byte);
  return (MonotonicNs() - start) / kLoads;
}

// Q7M_SIM_SLOWDOWN=<factor>, 1 to 100: every window access costs that many
// times what it costs on this machine, the extra spent spinning in the
// handler, as on a slower bus; for showing the program's margin, not only
// that it keeps up. 1 when unset; false, with the reason, when bad.
bool SlowdownFactor(double& factor, std::string& error) {
  factor = 1.0;
  const char* text = GetEnv("Q7M_SIM_SLOWDOWN");
  if (text == nullptr || *text == '\0') return true;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 1.0 && value <= 100.0)) {
    error = std::string("Q7M_SIM_SLOWDOWN: not a factor from 1 to 100: \"") + text + "\"";
    return false;
  }
  factor = value;
  return true;
}

std::string Hex4(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(value) & 0xFFFFu);
  return text;
}

// The folder of the boards' lock files: Q7M_SIM_LOCK_DIR, else a folder of
// this user's under $XDG_RUNTIME_DIR or /tmp, made when missing. Empty, with
// the reason in `error`, when it cannot be used.
std::string LockDirectory(std::string& error) {
  const char* named = GetEnv(kLockDirVariable);
  const bool chosen = named != nullptr && *named != '\0';
  std::string dir;
  if (chosen) {
    dir = named;
  } else {
    const char* runtime = GetEnv("XDG_RUNTIME_DIR");
    dir = (runtime != nullptr && *runtime != '\0')
              ? std::string(runtime) + "/q7m-uart-sim"
              : "/tmp/q7m-uart-sim-" + std::to_string(static_cast<unsigned long>(::getuid()));
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot make the lock folder " + dir + ": " + std::strerror(errno);
    return {};
  }
  struct stat info {};
  // The default folder is in a place every user may write: it must be ours.
  const int got = chosen ? ::stat(dir.c_str(), &info) : ::lstat(dir.c_str(), &info);
  if (got != 0 || !S_ISDIR(info.st_mode) || (!chosen && info.st_uid != ::getuid())) {
    error = "the lock folder " + dir + " is not " +
            (chosen ? std::string("a folder") : std::string("a folder of this user's")) +
            "; remove it or name another with " + kLockDirVariable;
    return {};
  }
  return dir;
}

// One simulated board: its device model, the consoles on its routes, and the
// lock that keeps a second program off it.
struct Board {
  explicit Board(std::size_t index) : number(index) {
    char text[16];
    std::snprintf(text, sizeof text, "0000:%02zx:00.0", index + 3);
    address = text;
    for (const auto& c :
         {std::static_pointer_cast<PacedRemote>(vsc), std::static_pointer_cast<PacedRemote>(kb20q),
          std::static_pointer_cast<PacedRemote>(kb20t)}) {
      c->SetFloodStats(flood);
    }
  }

  // Attaches the built-in consoles, then the pty bridge on the routes the
  // environment names (board 0: Q7M_SIM_PTY..., board n: Q7M_SIM<n>_PTY...).
  // A bridge that cannot be opened leaves the built-in consoles in place and
  // its reason in `error` and environmentError; the board then refuses to
  // open, as a real one that cannot be reached does.
  bool ApplyEnvironment(std::string& error) {
    error.clear();
    environmentApplied = true;
    routeEnds = {vsc, kb20q, nullptr, kb20t, vsc, vsc};
    const std::string prefix = number == 0 ? "Q7M_SIM_" : "Q7M_SIM" + std::to_string(number) + "_";
    const auto config = q7m::sim::ParsePtyConfig(GetEnv, error, prefix);
    std::shared_ptr<q7m::sim::PtyBridge> bridge;
    if (config && !config->linkPath.empty()) {
      bridge = q7m::sim::PtyBridge::Open(config->linkPath, config->baud, error);
      if (bridge == nullptr) error = prefix + "PTY=" + config->linkPath + ": " + error;
      if (bridge != nullptr) {
        bridge->SetFloodStats(flood);
        for (std::size_t r = 0; r < kRouteCount; ++r) {
          if (config->routes[r]) routeEnds[r] = bridge;
        }
      }
    }
    AttachEnds();
    pty = std::move(bridge);  // after the swap, so an old link is replaced first
    environmentError = error;
    return error.empty();
  }
  void AttachEnds() {
    for (std::size_t r = 0; r < kRouteCount; ++r) {
      model.AttachRemote(static_cast<std::uint8_t>(r), routeEnds[r]);
    }
  }

  // Power-on state; the environment is read again at the next open.
  void Restart(std::uint64_t nowNs) {
    environmentApplied = false;
    vsc->Restart();
    kb20q->Restart();
    kb20t->Restart();
    if (pty != nullptr) pty->Restart();
    model.Reset(nowNs);
  }

  PacedRemote* ConnectedEnd() {
    const std::uint8_t route = model.Route();
    return route < kRouteCount ? routeEnds[route].get() : nullptr;
  }

  std::size_t number;
  std::string address;
  DeviceModel model;
  std::shared_ptr<q7m::sim::FloodStats> flood = std::make_shared<q7m::sim::FloodStats>();
  std::shared_ptr<q7m::sim::VscConsole> vsc = std::make_shared<q7m::sim::VscConsole>();
  std::shared_ptr<q7m::sim::Kb20Console> kb20q =
      std::make_shared<q7m::sim::Kb20Console>(q7m::sim::Kb20Console::Model::kKb20q);
  std::shared_ptr<q7m::sim::Kb20Console> kb20t =
      std::make_shared<q7m::sim::Kb20Console>(q7m::sim::Kb20Console::Model::kKb20t);
  std::shared_ptr<q7m::sim::PtyBridge> pty;
  std::array<std::shared_ptr<PacedRemote>, kRouteCount> routeEnds{vsc,   kb20q, nullptr,
                                                                  kb20t, vsc,   vsc};
  // Bridges are opened when the board is first opened, so that a program
  // that is refused the board, or opens another one, leaves its links alone.
  bool environmentApplied = false;
  std::string environmentError;
  q7m::sim::Fd lock;
};

class Library final : public q7m::sim::WindowClient {
 public:
  Library() {
    ::pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });
    for (std::size_t i = 0; i < kMaxBoards; ++i) {
      boards[i] = std::make_unique<Board>(i);
      boards[i]->AttachEnds();
    }
    OpenTrace();
    OpenRxCount();
  }

  ~Library() override {
    if (traceFd >= 0) ::close(traceFd);
    // Unloading the library with the window still mapped must not leave the
    // process with signal handlers pointing into unmapped code.
    window.reset();
  }

  // The board that the mapping and the Sim functions reach: the one opened
  // last (board 0 until one is).
  Board& Current() { return *boards[current]; }

  std::uint64_t Now() const { return clockFn != nullptr ? clockFn(clockContext) : MonotonicNs(); }

  std::uint8_t Load(std::uint32_t offset) override {
    if (extraAccessNs != 0) Spin(extraAccessNs);
    figures.CountAccess();
    DeviceModel& model = Current().model;
    const std::uint64_t now = Now();
    if (offset == kRegisterFileData && model.RegIndex() == q7m::sim::kRegRxStatus) {
      // Wall time is the real clock's even when a test sets the model's.
      const std::uint64_t wall = clockFn != nullptr ? MonotonicNs() : now;
      if (lastRxPollNs != 0) {
        const std::uint64_t gap = now - lastRxPollNs;
        if (gap > maxRxPollGapNs) {
          maxRxPollGapNs = gap;
          // The gap on the board's clock, its end on the real one (where a
          // test's witnesses are).
          if (tally != nullptr) {
            tally->maxGapUs = gap / 1000;
            tally->maxGapEndUs = wall / 1000;
          }
        }
        if (gap > 4'000'000) ++rxPollGapsOver4Ms;
      }
      lastRxPollNs = now;
      figures.StatusRead(ThisThreadId(), ThreadCpuNs(), wall);
    } else if (offset == kRegisterFileData && model.RegIndex() == q7m::sim::kRegRxData) {
      figures.CountRxByte();
      if (tally != nullptr) tally->rxBytes = tally->rxBytes + 1;
    }
    const std::uint8_t value = model.Read(offset, now);
    if (tally != nullptr) tally->overflows = model.RxOverflowEvents();
    return value;
  }
  void Store(std::uint32_t offset, std::uint8_t value) override {
    if (extraAccessNs != 0) Spin(extraAccessNs);
    figures.CountAccess();
    DeviceModel& model = Current().model;
    const std::uint64_t pulsesBefore = model.VscResetPulses();
    model.Write(offset, value, Now());
    if (offset != kRegisterFileData) return;
    Trace("reg %d %d\n", model.RegIndex(), value);
    // Setting the UART up starts a screen's polling afresh: the time spent
    // in the menu before it is no gap.
    if (model.RegIndex() == q7m::sim::kRegCtrl) lastRxPollNs = 0;
    // Times on the board's clock, so that a test measures pacing where the
    // bytes leave, not where a descheduled reader happens to see them.
    if (model.RegIndex() == q7m::sim::kRegTxData && !model.TxLog().empty()) {
      Trace("tx %d %llu\n", value, static_cast<unsigned long long>(model.TxLog().back().startNs));
    }
    if (model.VscResetPulses() != pulsesBefore) {
      Trace("reset-pulse %llu\n", static_cast<unsigned long long>(model.LastVscResetWidthNs()));
    }
  }

  // One line per register-file write and per open, map, unmap and close, in
  // the file named by Q7M_SIM_TRACE, so that a test driving the real program
  // can see the board traffic; each transmitted byte with its start time and
  // each reset pulse with its width, in nanoseconds. Each line is written
  // at once, so that a test reading the file sees it while the program runs.
  void Trace(const char* text) {
    if (traceFd >= 0) (void)!::write(traceFd, text, std::strlen(text));
  }
  template <typename... Args>
  void Trace(const char* format, Args... args) {
    if (traceFd < 0) return;
    char line[160];
    const int n = std::snprintf(line, sizeof line, format, args...);
    if (n > 0) (void)!::write(traceFd, line, static_cast<std::size_t>(n));
  }
  // A line of any length.
  void TraceLine(const std::string& text) {
    if (traceFd < 0) return;
    const std::string line = text + "\n";
    (void)!::write(traceFd, line.data(), line.size());
  }
  void OpenTrace() {
    const char* path = GetEnv("Q7M_SIM_TRACE");
    if (traceFd >= 0 || path == nullptr || *path == '\0') return;
    traceFd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  // Q7M_SIM_RX_COUNT=<file>: the receive side's tally (the bytes the program
  // has read from the receive FIFO first, as an 8-byte number) in the file's
  // shared mapping, so that the file holds it however the program ends.
  void OpenRxCount() {
    const char* path = GetEnv("Q7M_SIM_RX_COUNT");
    if (tally != nullptr || path == nullptr || *path == '\0') return;
    const int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (::ftruncate(fd, sizeof(q7m::sim::ReceiveTally)) == 0) {
      void* map = ::mmap(nullptr, sizeof(q7m::sim::ReceiveTally), PROT_READ | PROT_WRITE,
                         MAP_SHARED, fd, 0);
      if (map != MAP_FAILED) tally = static_cast<volatile q7m::sim::ReceiveTally*>(map);
    }
    ::close(fd);
  }
  void Wide(std::uint32_t, bool) override { Current().model.MarkLastAccessWide(); }

  // What a test or benchmark of the real program wants to know of the
  // receive side at the end: bytes lost to overflow, the longest time the
  // program left the UART's status unread while a screen polled it, and what
  // its polling cost: accesses, status reads, bytes taken, and the CPU and
  // wall time of the thread that polled most.
  void TraceReceiveStats() {
    Board& board = Current();
    board.model.Advance(Now());
    char line[200];
    std::snprintf(line, sizeof line,
                  "stats rx-lost %llu rx-overflows %llu rx-framing %llu max-poll-gap-us %llu "
                  "gaps-over-4ms %llu flood-sent %llu ",
                  static_cast<unsigned long long>(board.model.RxLostCount()),
                  static_cast<unsigned long long>(board.model.RxOverflowEvents()),
                  static_cast<unsigned long long>(board.model.RxFramingErrors()),
                  static_cast<unsigned long long>(maxRxPollGapNs / 1000),
                  static_cast<unsigned long long>(rxPollGapsOver4Ms),
                  static_cast<unsigned long long>(board.flood->sent));
    TraceLine(line + figures.Fields());
  }

  // Spins each access for as much again as it costs, times factor - 1.
  void ApplySlowdown(double factor) {
    extraAccessNs = 0;
    if (factor <= 1.0) return;
    accessNs = MeasureAccessNs();
    extraAccessNs = static_cast<std::uint64_t>(static_cast<double>(accessNs) * (factor - 1.0));
    Trace("slowdown access-ns %llu extra-ns %llu\n", static_cast<unsigned long long>(accessNs),
          static_cast<unsigned long long>(extraAccessNs));
  }

  void NoteClose(char c) {
    if (closeOrder.size() >= kCloseOrderLimit) closeOrder.erase(0, 1);
    closeOrder.push_back(c);
  }

  bool BarRange(std::uint32_t offset, std::uint32_t bytes, std::int32_t bar) const {
    return bar == 0 && offset <= kBarSize && bytes <= kBarSize - offset;
  }

  // Every refusal is said in the log, as the real library says its own.
  bool Refuse(std::string reason) {
    q7m::pcie_linux::AppendLogLine(reason);
    lastError = std::move(reason);
    return false;
  }

  // Picks the board as the real library does (the index, or Q7M_PCI_DEVICE
  // by number or address) among those Q7M_SIM_BOARDS offers, and locks it.
  bool Open(std::int32_t vendor, std::int32_t device, std::int32_t index) {
    lastError.clear();
    // A second open in one process starts afresh, as with the real library.
    Current().lock = q7m::sim::Fd();
    std::size_t count = 1;
    const char* boardsText = GetEnv(kBoardsVariable);
    if (boardsText != nullptr && *boardsText != '\0') {
      const std::string text = boardsText;
      if (text.size() != 1 || text[0] < '1' || text[0] > static_cast<char>('0' + kMaxBoards)) {
        return Refuse(std::string("InitPCIAccess: ") + kBoardsVariable + "=" + text +
                      ": the number of simulated boards is 1 to " + std::to_string(kMaxBoards));
      }
      count = static_cast<std::size_t>(text[0] - '0');
    }
    std::string list;
    for (std::size_t i = 0; i < count; ++i) list += (i == 0 ? "" : ", ") + boards[i]->address;
    const std::string offered = std::to_string(count) + " simulated board(s): " + list + " (" +
                                kBoardsVariable + " sets how many)";
    std::string error;
    const auto choice = q7m::pcie_linux::ChooseBoard(index, error);
    if (!choice) return Refuse("InitPCIAccess: " + error);
    std::size_t chosen = 0;
    if (choice->byAddress) {
      while (chosen < count && boards[chosen]->address != choice->address) ++chosen;
      if (chosen == count) {
        return Refuse("InitPCIAccess: " + choice->origin + " names no simulated board; " + offered);
      }
    } else if (static_cast<std::size_t>(choice->index) >= count) {
      return Refuse("InitPCIAccess: " + choice->origin + " was asked for, but there are " +
                    offered);
    } else {
      chosen = static_cast<std::size_t>(choice->index);
    }
    Board& board = *boards[chosen];
    if (vendor != board.model.VendorId() || device != board.model.DeviceId()) {
      return Refuse("InitPCIAccess: simulated board " + board.address + " is " +
                    Hex4(board.model.VendorId()) + ":" + Hex4(board.model.DeviceId()) +
                    ", not vendor " + Hex4(vendor) + " device " + Hex4(device));
    }

    const std::string dir = LockDirectory(error);
    if (dir.empty()) return Refuse("InitPCIAccess: " + error);
    const std::string path = dir + "/" + board.address + ".lock";
    // Read-only is enough for flock, and lets users share a folder.
    q7m::sim::Fd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.ok()) {
      return Refuse("InitPCIAccess: cannot open the lock file " + path + ": " +
                    std::strerror(errno));
    }
    const auto lock = q7m::pcie_linux::LockExclusive(fd.get());
    if (lock.status == q7m::pcie_linux::LockStatus::kHeld) {
      TraceLine("refused " + board.address + ": in use by " + lock.holder);
      return Refuse("InitPCIAccess: simulated board " + board.address + " is in use by " +
                    lock.holder + ", which holds " + path +
                    "; one program at a time drives a board: end that program first, or "
                    "choose another board with " +
                    q7m::pcie_linux::kDeviceVariable + " (" + offered + ")");
    }
    if (!board.environmentApplied) board.ApplyEnvironment(error);
    if (!board.environmentError.empty()) {
      return Refuse("InitPCIAccess: the simulated board " + board.address +
                    " is not opened: " + board.environmentError);
    }
    double factor = 1.0;
    if (!SlowdownFactor(factor, error)) {
      return Refuse("InitPCIAccess: the simulated board " + board.address +
                    " is not opened: " + error);
    }
    slowdown = factor;
    current = chosen;
    figures.Clear();
    board.lock = std::move(fd);
    TraceLine("open " + board.address + " by " + choice->origin);
    return true;
  }

  std::array<std::unique_ptr<Board>, kMaxBoards> boards;
  std::size_t current = 0;
  std::string lastError;
  // Reads of configuration space beyond this many bytes come back short, as
  // a sysfs config file does for a process without CAP_SYS_ADMIN.
  std::uint32_t configReadLimit = q7m::sim::kConfigSize;
  int traceFd = -1;
  std::uint64_t lastRxPollNs = 0;
  std::uint64_t maxRxPollGapNs = 0;
  std::uint64_t rxPollGapsOver4Ms = 0;
  q7m::sim::PollFigures figures;
  volatile q7m::sim::ReceiveTally* tally = nullptr;
  double slowdown = 1.0;
  std::uint64_t accessNs = 0;
  std::uint64_t extraAccessNs = 0;
  static constexpr std::uint32_t kRegisterFileData = 0x1B352;
  SimClockFn clockFn = nullptr;
  void* clockContext = nullptr;
  std::unique_ptr<q7m::sim::TrappedWindow> window;
  SimCallCounts counts{};
  std::string closeOrder;
  std::map<void*, std::unique_ptr<std::uint8_t[]>> allocations;
};

Library lib;

}  // namespace

extern "C" {

Q7M_EXPORT int32_t InitPCIAccess(int32_t vendorId, int32_t deviceId, int32_t index) {
  ++lib.counts.init;
  lib.Trace("call InitPCIAccess\n");
#ifdef Q7M_SIM_INIT_FAILS
  (void)vendorId;
  (void)deviceId;
  (void)index;
  return 1;
#else
  return lib.Open(vendorId, deviceId, index) ? 0 : 1;
#endif
}

Q7M_EXPORT int32_t Close(void) {
  ++lib.counts.close;
  lib.NoteClose('C');
  lib.Trace("call Close\n");
  lib.Current().lock = q7m::sim::Fd();
  return 0;
}

#ifndef Q7M_SIM_NO_READB
Q7M_EXPORT int32_t ReadB(uint32_t offset, int32_t bar) {
  if (!lib.BarRange(offset, 1, bar)) return -1;
  return lib.Current().model.Read(offset, lib.Now());
}
#endif

Q7M_EXPORT int32_t WriteB(uint32_t value, uint32_t offset, int32_t bar) {
  if (!lib.BarRange(offset, 1, bar)) return -1;
  lib.Current().model.Write(offset, static_cast<std::uint8_t>(value), lib.Now());
  return 0;
}

namespace {

// Wider accesses are little-endian sequences of byte accesses, in ascending
// address order, so the model and its log see what the board would.
std::uint32_t ReadBytes(std::uint32_t offset, std::uint32_t bytes) {
  std::uint32_t v = 0;
  for (std::uint32_t i = 0; i < bytes; ++i) {
    v |= static_cast<std::uint32_t>(lib.Current().model.Read(offset + i, lib.Now())) << (8 * i);
  }
  return v;
}

void WriteBytes(std::uint32_t value, std::uint32_t offset, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) {
    lib.Current().model.Write(offset + i, static_cast<std::uint8_t>(value >> (8 * i)), lib.Now());
  }
}

}  // namespace

Q7M_EXPORT int32_t ReadDW(uint32_t offset, int32_t bar) {
  if (!lib.BarRange(offset, 4, bar)) return -1;
  return static_cast<int32_t>(ReadBytes(offset, 4));
}

Q7M_EXPORT int32_t WriteDW(uint32_t value, uint32_t offset, int32_t bar) {
  if (!lib.BarRange(offset, 4, bar)) return -1;
  WriteBytes(value, offset, 4);
  return 0;
}

Q7M_EXPORT int32_t ReadW(uint32_t offset, int32_t bar) {
  if (!lib.BarRange(offset, 2, bar)) return -1;
  return static_cast<int32_t>(ReadBytes(offset, 2));
}

Q7M_EXPORT int32_t WriteW(uint32_t value, uint32_t offset, int32_t bar) {
  if (!lib.BarRange(offset, 2, bar)) return -1;
  WriteBytes(value, offset, 2);
  return 0;
}

// count is in double words.
Q7M_EXPORT int32_t ReadDWBuffer(void* buffer, int32_t count, uint32_t offset, int32_t bar) {
  if (count < 0 || (count > 0 && buffer == nullptr)) return -1;
  const auto dwords = static_cast<std::uint32_t>(count);
  if (dwords > kBarSize / 4 || !lib.BarRange(offset, dwords * 4, bar)) return -1;
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::uint32_t i = 0; i < dwords * 4; ++i)
    out[i] = lib.Current().model.Read(offset + i, lib.Now());
  return 0;
}

Q7M_EXPORT int32_t WriteDWBuffer(const void* buffer, int32_t count, uint32_t offset, int32_t bar) {
  if (count < 0 || (count > 0 && buffer == nullptr)) return -1;
  const auto dwords = static_cast<std::uint32_t>(count);
  if (dwords > kBarSize / 4 || !lib.BarRange(offset, dwords * 4, bar)) return -1;
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  for (std::uint32_t i = 0; i < dwords * 4; ++i)
    lib.Current().model.Write(offset + i, in[i], lib.Now());
  return 0;
}

#ifndef Q7M_SIM_NO_ALLOCATE
Q7M_EXPORT int32_t AllocateMemory(void** address, int32_t size) {
  if (address == nullptr || size <= 0) return -1;
  auto block = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(size));  // zeroed
  *address = block.get();
  lib.allocations.emplace(block.get(), std::move(block));
  return 0;
}
#endif

Q7M_EXPORT int32_t ReleaseMemory(void* address) {
  return lib.allocations.erase(address) == 1 ? 0 : -1;
}

Q7M_EXPORT int32_t ReadWriteConfigSpace(void* buffer, int32_t count, int32_t offset,
                                        int32_t direction) {
  if (count < 0 || offset < 0) return -1;
  const auto off = static_cast<std::uint32_t>(offset);
  const auto n = static_cast<std::uint32_t>(count);
  if (direction == -1) {
    if (off + static_cast<std::uint64_t>(n) > lib.configReadLimit) {
      // The part below the limit arrives; the call fails, as a short read does.
      if (off < lib.configReadLimit) {
        lib.Current().model.ConfigRead(off, lib.configReadLimit - off,
                                       static_cast<std::uint8_t*>(buffer));
      }
      return -1;
    }
    return lib.Current().model.ConfigRead(off, n, static_cast<std::uint8_t*>(buffer)) ? 0 : -1;
  }
  if (direction == 0) {
    return lib.Current().model.ConfigWrite(off, n, static_cast<const std::uint8_t*>(buffer)) ? 0
                                                                                             : -1;
  }
  return -1;
}

Q7M_EXPORT int32_t Mmap(void** base, int32_t reserved1, int32_t reserved2) {
  (void)reserved1;
  (void)reserved2;
  ++lib.counts.mmap;
  lib.Trace("call Mmap\n");
  if (base == nullptr) return -1;
#ifdef Q7M_SIM_MMAP_FAILS
  *base = nullptr;
  return -1;
#else
  if (lib.window != nullptr) return -1;  // one mapping at a time
  lib.ApplySlowdown(lib.slowdown);
  lib.window = q7m::sim::TrappedWindow::Open(kBarSize, lib);
  if (lib.window == nullptr) return -1;
  *base = lib.window->base();
  lib.counts.mappedBase = *base;
  return 0;
#endif
}

Q7M_EXPORT int32_t MUnmap(void* base) {
  ++lib.counts.munmap;
  lib.TraceReceiveStats();
  if (lib.Current().pty != nullptr) lib.Current().pty->HandOver();
  lib.Trace("call MUnmap\n");
  lib.counts.lastMunmapBase = base;
  lib.NoteClose('M');
  if (lib.window == nullptr || base != lib.window->base()) return -1;
  lib.window.reset();
  lib.counts.mappedBase = nullptr;
  return 0;
}

// ---- Inspection and control ----

Q7M_EXPORT void SimSetClock(SimClockFn fn, void* context) {
  lib.clockFn = fn;
  lib.clockContext = fn != nullptr ? context : nullptr;
}

Q7M_EXPORT uint64_t SimNowNs(void) {
  return lib.Now();
}

Q7M_EXPORT void SimReset(void) {
  for (const auto& board : lib.boards) board->Restart(lib.Now());
  void* mapped = lib.counts.mappedBase;
  lib.counts = SimCallCounts{};
  lib.counts.mappedBase = mapped;
  lib.closeOrder.clear();
  lib.lastRxPollNs = 0;
  lib.maxRxPollGapNs = 0;
  lib.rxPollGapsOver4Ms = 0;
  lib.figures.Clear();
  lib.configReadLimit = q7m::sim::kConfigSize;
}

Q7M_EXPORT size_t SimAccessCount(void) {
  return lib.Current().model.AccessLog().size();
}

Q7M_EXPORT int SimAccessGet(size_t index, SimAccess* out) {
  const auto& log = lib.Current().model.AccessLog();
  if (out == nullptr || index >= log.size()) return -1;
  const auto& r = log[index];
  out->timeNs = r.timeNs;
  out->offset = r.offset;
  out->value = r.value;
  out->isWrite = r.isWrite ? 1 : 0;
  out->wide = r.wide ? 1 : 0;
  return 0;
}

Q7M_EXPORT void SimGetPollFigures(SimPollFigures* out) {
  if (out == nullptr) return;
  const auto& f = lib.figures;
  *out = SimPollFigures{f.Accesses(), f.StatusReads(), f.RxBytes(), f.ThreadCount()};
}

Q7M_EXPORT int SimPollThreadGet(size_t index, SimPollThread* out) {
  const auto& f = lib.figures;
  if (out == nullptr || index >= f.ThreadCount()) return -1;
  const auto& t = f.Thread(index);
  *out = SimPollThread{t.tid, t.statusReads, t.CpuNs(), t.WallNs()};
  return 0;
}

Q7M_EXPORT void SimAccessClear(void) {
  lib.Current().model.ClearAccessLog();
}

Q7M_EXPORT int SimPortValue(uint32_t port) {
  if (port >= q7m::sim::kIoWindowSize) return -1;
  return lib.Current().model.PortValue(static_cast<std::uint16_t>(port));
}

Q7M_EXPORT int SimRegValue(uint32_t index) {
  if (index > 0xFF) return -1;
  return lib.Current().model.RegValue(static_cast<std::uint8_t>(index));
}

Q7M_EXPORT int SimRegIndex(void) {
  return lib.Current().model.RegIndex();
}

Q7M_EXPORT uint32_t SimUartDivisor(void) {
  return lib.Current().model.Divisor();
}

Q7M_EXPORT int SimUartEnabled(void) {
  return lib.Current().model.UartEnabled() ? 1 : 0;
}

Q7M_EXPORT size_t SimTxCount(void) {
  return lib.Current().model.TxLog().size();
}

Q7M_EXPORT int SimTxGet(size_t index, uint8_t* byte, uint64_t* startNs) {
  const auto& log = lib.Current().model.TxLog();
  if (index >= log.size()) return -1;
  if (byte != nullptr) *byte = log[index].byte;
  if (startNs != nullptr) *startNs = log[index].startNs;
  return 0;
}

Q7M_EXPORT void SimTxClear(void) {
  lib.Current().model.ClearTxLog();
}

Q7M_EXPORT uint64_t SimTxBusyUntilNs(void) {
  return lib.Current().model.TxBusyUntilNs();
}

Q7M_EXPORT void SimRxInject(const uint8_t* data, size_t count) {
  if (data == nullptr && count > 0) return;
  lib.Current().model.Inject(std::string(reinterpret_cast<const char*>(data), count), lib.Now());
}

Q7M_EXPORT void SimRxWire(const uint8_t* data, size_t count, uint32_t baud) {
  if (data == nullptr && count > 0) return;
  lib.Current().model.Send(std::string(reinterpret_cast<const char*>(data), count), baud,
                           lib.Now());
}

Q7M_EXPORT size_t SimRxFifoLevel(void) {
  lib.Current().model.Advance(lib.Now());
  return lib.Current().model.RxFifoLevel();
}

Q7M_EXPORT uint64_t SimRxLostCount(void) {
  lib.Current().model.Advance(lib.Now());
  return lib.Current().model.RxLostCount();
}

Q7M_EXPORT uint64_t SimRxOverflowEvents(void) {
  lib.Current().model.Advance(lib.Now());
  return lib.Current().model.RxOverflowEvents();
}

Q7M_EXPORT uint64_t SimRxFramingErrors(void) {
  lib.Current().model.Advance(lib.Now());
  return lib.Current().model.RxFramingErrors();
}

Q7M_EXPORT void SimConfigRead(uint8_t out[256]) {
  lib.Current().model.ConfigRead(0, q7m::sim::kConfigSize, out);
}

Q7M_EXPORT void SimConfigSetDeviceId(uint16_t deviceId) {
  lib.Current().model.SetDeviceId(deviceId);
}

Q7M_EXPORT void SimConfigSetReadLimit(uint32_t bytes) {
  lib.configReadLimit = bytes < q7m::sim::kConfigSize ? bytes : q7m::sim::kConfigSize;
}

Q7M_EXPORT uint64_t SimConfigWriteCount(void) {
  return lib.Current().model.ConfigWriteCount();
}

Q7M_EXPORT void SimSetupBlockRead(uint8_t out[16], uint8_t written[16]) {
  lib.Current().model.SetupBlock(out, written);
}

Q7M_EXPORT void SimGetCallCounts(SimCallCounts* out) {
  if (out != nullptr) *out = lib.counts;
}

Q7M_EXPORT const char* SimCloseOrder(void) {
  return lib.closeOrder.c_str();
}

Q7M_EXPORT uint64_t SimVscResetPulses(void) {
  return lib.Current().model.VscResetPulses();
}

Q7M_EXPORT uint64_t SimVscResetWidthNs(void) {
  return lib.Current().model.LastVscResetWidthNs();
}

Q7M_EXPORT int SimFloodStart(uint64_t bytes) {
  lib.Current().model.Advance(lib.Now());
  PacedRemote* end = lib.Current().ConnectedEnd();
  if (end == nullptr) {
    lib.lastError = "SimFloodStart: nothing is connected on route " +
                    std::to_string(lib.Current().model.Route());
    return -1;
  }
  end->StartFlood(bytes, lib.Current().model.NowNs());
  return 0;
}

Q7M_EXPORT uint64_t SimFloodSent(void) {
  lib.Current().model.Advance(lib.Now());
  return lib.Current().flood->sent;
}

Q7M_EXPORT int SimFloodActive(void) {
  lib.Current().model.Advance(lib.Now());
  return lib.Current().flood->active ? 1 : 0;
}

Q7M_EXPORT const char* SimLastError(void) {
  return lib.lastError.c_str();
}

Q7M_EXPORT const char* SimPtyPath(void) {
  const auto& pty = lib.Current().pty;
  return pty != nullptr ? pty->SlavePath().c_str() : "";
}

Q7M_EXPORT int SimApplyEnvironment(void) {
  lib.Current().model.Advance(lib.Now());
  lib.lastError.clear();
  std::string error;
  if (lib.Current().ApplyEnvironment(error)) return 0;
  lib.lastError = error;
  return -1;
}

Q7M_EXPORT int SimBoardIndex(void) {
  return static_cast<int>(lib.current);
}

Q7M_EXPORT const char* SimBoardAddress(void) {
  return lib.Current().address.c_str();
}

Q7M_EXPORT uint64_t SimRemotePending(void) {
  lib.Current().model.Advance(lib.Now());
  const PacedRemote* end = lib.Current().ConnectedEnd();
  return end != nullptr ? end->PendingBytes() : 0;
}

Q7M_EXPORT uint64_t SimVscBoots(void) {
  return lib.Current().vsc->Boots();
}

}  // extern "C"
