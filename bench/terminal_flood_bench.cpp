// Runs the serial terminal against the simulated board's flood mode on the
// real clock and prints what arrived: bytes sent on the line, bytes shown and
// captured in Term.txt, overflow events, and the received rate as a fraction
// of the line rate; then the CPU the terminal uses while the line is idle.
//
//   bench_terminal_flood [seconds] [baud ...]     (default: 10 s at 115200 and 230400)
//
// The console is headless (no terminal drawing); the program's screen model,
// receive parser, capture file, UART driver and the simulated board's
// trapped window all run as in q7m-uart.

#include <dlfcn.h>
#include <poll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "board/board_io.h"
#include "board/pcie_library.h"
#include "console/console.h"
#include "sim/flood_text.h"
#include "sim/sim_control.h"
#include "terminal/terminal.h"
#include "uart/thread_tasks.h"
#include "uart/uart.h"

namespace {

// Real time, no screen: keys come from a schedule of real milliseconds.
class HeadlessConsole : public ConsoleBackend {
 public:
  HeadlessConsole() : start_(Now()) {}
  std::function<std::string(std::uint64_t elapsedMs)> keySource;

  void Present(ScreenModel& screen) override { screen.MarkClean(); }
  std::uint64_t KeysArrived() override {
    if (pending_.empty() && keySource) {
      pending_ = keySource(ElapsedMs());
      if (!pending_.empty()) ++arrived_;
    }
    return arrived_;
  }
  std::string TakeKey() override {
    KeysArrived();
    return std::exchange(pending_, {});
  }
  bool KeyQueued(std::string_view key) override {
    KeysArrived();
    return !pending_.empty() && pending_ == key;
  }
  // The key schedule is looked at every 10 ms; the sources wake it at once.
  WaitEnd Wait(std::uint64_t deadlineNs, std::uint64_t keyMark,
               std::span<WaitSource* const> sources) override {
    std::vector<pollfd> fds;
    for (;;) {
      if (KeysArrived() > keyMark) return WaitEnd::kKey;
      for (WaitSource* source : sources) {
        if (source->Ready()) return WaitEnd::kSource;
      }
      const std::uint64_t now = Now();
      if (now >= deadlineNs) return WaitEnd::kDeadline;
      fds.clear();
      for (WaitSource* source : sources) fds.push_back({source->Fd(), POLLIN, 0});
      const std::uint64_t wait = std::min<std::uint64_t>(deadlineNs - now, 10'000'000);
      const timespec timeout{0, static_cast<long>(wait)};
      ppoll(fds.data(), fds.size(), &timeout, nullptr);
    }
  }
  std::uint64_t NowNs() const override { return Now(); }
  void Tone(int, int) override {}
  std::uint64_t ElapsedMs() { return (Now() - start_) / 1000000; }

 private:
  static std::uint64_t Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
  }
  std::uint64_t start_;
  std::string pending_;
  std::uint64_t arrived_ = 0;
};

template <typename Fn>
Fn* Sim(const char* name) {
  auto* fn = reinterpret_cast<Fn*>(dlsym(PcieLibraryHandle(), name));
  if (fn == nullptr) {
    std::fprintf(stderr, "the simulated board lacks %s\n", name);
    std::exit(2);
  }
  return fn;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void FloodRun(HeadlessConsole& console, TaskHost& tasks, int seconds, std::int32_t baud) {
  const auto floodStart = Sim<int(std::uint64_t)>("SimFloodStart");
  const auto floodSent = Sim<std::uint64_t()>("SimFloodSent");
  const auto overflows = Sim<std::uint64_t()>("SimRxOverflowEvents");
  const auto lost = Sim<std::uint64_t()>("SimRxLostCount");
  const auto slowPath =
      reinterpret_cast<std::uint64_t (*)()>(dlsym(PcieLibraryHandle(), "SimWindowSlowPathCount"));

  const std::uint64_t overflowsBefore = overflows();
  const std::uint64_t lostBefore = lost();
  const std::uint64_t lineBytesPerSecond = static_cast<std::uint64_t>(baud) / 10;
  // More than the run can carry, so that the line is busy all the time.
  const std::uint64_t floodBytes = lineBytesPerSecond * static_cast<std::uint64_t>(seconds + 5);
  bool started = false;
  std::uint64_t startMs = 0;
  console.keySource = [&](std::uint64_t elapsedMs) -> std::string {
    if (!started) {
      started = true;
      startMs = elapsedMs;
      floodStart(floodBytes);
      return {};
    }
    if (elapsedMs - startMs >= static_cast<std::uint64_t>(seconds) * 1000) return KeyShiftF2;
    return {};
  };
  const double cpuBefore = CpuSeconds();
  const std::uint64_t wallBefore = console.ElapsedMs();
  RunTerminal("flood", baud, tasks);
  const double cpu = CpuSeconds() - cpuBefore;
  const double wall = static_cast<double>(console.ElapsedMs() - wallBefore) / 1000.0;
  const std::uint64_t sent = floodSent();  // counted from this run's start
  // Ctrl-C stops the console's flood; what is still on the line is read away
  // so that the next run starts on a quiet line.
  const auto quiet = [](std::string_view) {};
  UartSendStr(UartPort, UartRegBase, "\x03", quiet);
  for (int i = 0; i < 50; ++i) {
    WaitMs(10);
    std::string rest;
    std::int32_t failed = 0;
    UartRcvStr(UartPort, UartRegBase, UartRxCount(UartPort, UartRegBase), 0, rest, 1, failed,
               quiet);
  }

  const std::string captured = ReadFile("Term.txt");
  const q7m::sim::FloodCheck check = q7m::sim::CheckFlood(captured);
  const double lineRate = static_cast<double>(lineBytesPerSecond);
  std::printf("baud %d, %d s of flood\n", baud, seconds);
  std::printf("  bytes on the line          %llu (line rate x run time: %.0f)\n",
              static_cast<unsigned long long>(sent), wall * lineRate);
  std::printf("  bytes shown and captured   %zu (Term.txt)\n", captured.size());
  std::printf("  flood lines intact         %llu, gaps %llu, damaged %llu%s%s\n",
              static_cast<unsigned long long>(check.validLines),
              static_cast<unsigned long long>(check.gaps),
              static_cast<unsigned long long>(check.badLines), check.hasProblem ? ": " : "",
              check.problem.c_str());
  std::printf("  overflow events            %llu (%llu bytes lost)\n",
              static_cast<unsigned long long>(overflows() - overflowsBefore),
              static_cast<unsigned long long>(lost() - lostBefore));
  std::printf("  received rate / line rate  %.4f\n",
              static_cast<double>(captured.size()) / (wall * lineRate));
  std::printf("  CPU while flooding         %.1f %% of one core\n", 100.0 * cpu / wall);
  if (slowPath != nullptr) {
    std::printf("  single-stepped accesses    %llu\n", static_cast<unsigned long long>(slowPath()));
  }
}

void IdleRun(HeadlessConsole& console, TaskHost& tasks, int seconds) {
  console.keySource = [&, start = console.ElapsedMs()](std::uint64_t elapsedMs) -> std::string {
    return elapsedMs - start >= static_cast<std::uint64_t>(seconds) * 1000 ? KeyShiftF2
                                                                           : std::string();
  };
  BoardRegWrite(0x352, 8, 2);  // the J27 connector: nothing is sent
  const double cpuBefore = CpuSeconds();
  const std::uint64_t wallBefore = console.ElapsedMs();
  RunTerminal("idle", 115200, tasks);
  const double cpu = CpuSeconds() - cpuBefore;
  const double wall = static_cast<double>(console.ElapsedMs() - wallBefore) / 1000.0;
  std::printf("idle terminal, %.1f s: CPU %.2f %% of one core\n", wall, 100.0 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  std::vector<std::int32_t> rates;
  for (int i = 2; i < argc; ++i) rates.push_back(std::atoi(argv[i]));
  if (rates.empty()) rates = {115200, 230400};

  const auto work =
      std::filesystem::temp_directory_path() / ("q7m-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  std::filesystem::current_path(work);

  InitSettings();
  ThreadTaskHost tasks;
  auto backend = std::make_unique<HeadlessConsole>();
  HeadlessConsole& console = *backend;
  ConsoleAttach(std::move(backend));
  PcieLibraryName = std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so";
  InitPcieDllAccess();
  for (const std::int32_t baud : rates) {
    BoardRegWrite(0x352, 8, 3);  // the KB20T console module
    FloodRun(console, tasks, seconds, baud);
  }
  IdleRun(console, tasks, 5);
  BoardRegWrite(0x352, 8, 0);
  ClosePcieDllAccess();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(work);
  ConsoleDetach();
  return 0;
}
