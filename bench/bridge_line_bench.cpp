// q7m-uart-bridge on the simulated board at 115200 baud: how busy it keeps
// the line for bytes a client writes, what a ZMODEM transfer gets, and what
// the bridge costs in CPU, idle and while sending. Ratios measured in one
// run; times of the line are the board's (the simulator's trace), and so are
// the figures of the bridge's polling: window accesses per received byte and
// the polling thread's share of a core.
//
//   bench_bridge_line [--busy]    --busy: one spinning process per core meanwhile

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "uart/uart_engine.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const std::string kBuild = Q7M_BUILD_DIR;
constexpr double kCharNs = 1085 * 80;  // 10 bits at divisor 1085

struct LineUse {
  std::size_t bytes = 0;
  double busy = 0;  // share of the time from the first to the last byte's end
};

LineUse Line(const std::string& trace) {
  std::vector<unsigned long long> starts;
  std::istringstream in(ReadWholeFile(trace));
  for (std::string line; std::getline(in, line);) {
    int byte = 0;
    unsigned long long start = 0;
    if (std::sscanf(line.c_str(), "tx %d %llu", &byte, &start) == 2) starts.push_back(start);
  }
  LineUse use;
  use.bytes = starts.size();
  if (starts.size() < 2) return use;
  const double span = static_cast<double>(starts.back() - starts.front()) + kCharNs;
  use.busy = static_cast<double>(starts.size()) * kCharNs / span;
  return use;
}

// The value after `key` on the trace's stats line, which the simulated board
// writes when the bridge closes it.
std::optional<double> Stat(const std::string& trace, const std::string& key) {
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("stats ", 0) != 0) continue;
    const auto at = line.find(" " + key + " ");
    if (at == std::string::npos) return std::nullopt;
    return std::strtod(line.c_str() + at + key.size() + 2, nullptr);
  }
  return std::nullopt;
}

// What the bridge's polling cost, as the board saw it: window accesses per
// received byte, and the polling thread's CPU as a share of a core between
// its first and last read of the UART's status.
std::string PollFigures(const std::string& tracePath) {
  const std::string trace = ReadWholeFile(tracePath);
  const auto accesses = Stat(trace, "accesses");
  const auto rx = Stat(trace, "rx-bytes");
  const auto cpu = Stat(trace, "poll-cpu-us");
  const auto wall = Stat(trace, "poll-wall-us");
  if (!accesses || !rx || !cpu || !wall) return "    board: no stats line in the trace";
  char text[200];
  std::snprintf(text, sizeof text, "    board: %.0f accesses, %.0f bytes received", *accesses, *rx);
  std::string line = text;
  if (*rx > 0) {
    std::snprintf(text, sizeof text, ", %.1f accesses a byte", *accesses / *rx);
    line += text;
  }
  if (*wall > 0) {
    std::snprintf(text, sizeof text, "; polling thread CPU %.3f of a core", *cpu / *wall);
    line += text;
  }
  return line;
}

class Bench {
 public:
  explicit Bench(const std::string& name)
      : dir_(fs::temp_directory_path() /
             ("q7m-bridge-bench-" + std::to_string(::getpid()) + "-" + name)) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    link_ = (dir_ / "ttyQ7M0").string();
    remote_ = (dir_ / "remote").string();
  }
  ~Bench() {
    bridge_.reset();
    fs::remove_all(dir_);
  }
  void StartBridge(bool remotePty) {
    ChildProcess::Options options;
    options.environment = {"LD_LIBRARY_PATH=" + kBuild + "/sim",
                           "Q7M_SIM_TRACE=" + (dir_ / "trace").string(),
                           "Q7M_SIM_LOCK_DIR=" + dir_.string()};
    if (remotePty) options.environment.push_back("Q7M_SIM_PTY=" + remote_);
    options.out = (dir_ / "bridge.out").string();
    options.err = (dir_ / "bridge.err").string();
    bridge_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kBuild + "/bin/q7m-uart-bridge", "--route", "2", "--link", link_},
        options);
    WaitUntil([&] { return ReadWholeFile(options.out).find('\n') != std::string::npos; });
  }
  ChildProcess& Bridge() { return *bridge_; }
  // Ends the bridge as a service manager would, so that it closes the board
  // and the board writes its figures; prints them.
  void StopAndPrintPollFigures() {
    bridge_->Signal(SIGTERM);
    bridge_->Wait(seconds(10));
    std::printf("%s\n", PollFigures(Trace()).c_str());
  }
  const fs::path& Dir() const { return dir_; }
  const std::string& Link() const { return link_; }
  const std::string& Remote() const { return remote_; }
  std::string Trace() const { return (dir_ / "trace").string(); }

 private:
  fs::path dir_;
  std::string link_, remote_;
  std::unique_ptr<ChildProcess> bridge_;
};

void Idle() {
  Bench bench("idle");
  bench.StartBridge(false);
  const double before = bench.Bridge().CpuSeconds();
  std::this_thread::sleep_for(seconds(5));
  const double cpu = bench.Bridge().CpuSeconds() - before;
  std::printf("idle, no client, polling every %.1f ms: CPU %.3f of a core\n",
              static_cast<double>(UartPollPeriodNs(115200)) / 1e6, cpu / 5);
  bench.StopAndPrintPollFigures();
}

// A client writes 64 KiB; the line goes to J27, where nothing listens, so
// the simulator spends nothing on a remote side.
void Stream() {
  Bench bench("stream");
  bench.StartBridge(false);
  const std::string path = (bench.Dir() / "stream.bin").string();
  {
    std::string data(64 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : data) c = static_cast<char>(random());
    std::ofstream(path, std::ios::binary) << data;
  }
  const double before = bench.Bridge().CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  ChildProcess::Options options;
  options.in = path;
  options.out = bench.Link();
  ChildProcess cat({"cat"}, options);
  cat.Wait(seconds(60));
  WaitUntil([&] { return Line(bench.Trace()).bytes >= 64 * 1024; }, seconds(60));
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = bench.Bridge().CpuSeconds() - before;
  const LineUse use = Line(bench.Trace());
  std::printf("64 KiB written by a client, no remote: line busy %.3f, %.1f us a byte, CPU %.3f\n",
              use.busy, kCharNs / use.busy / 1000, cpu / wall);
  bench.StopAndPrintPollFigures();
}

// Whether `program` is in one of PATH's folders, executable.
bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

void Zmodem() {
  if (!OnPath("sz") || !OnPath("rz")) {
    std::printf("256 KiB sz -> rz: SKIPPED, sz or rz not found (scripts/deps.sh installs lrzsz)\n");
    return;
  }
  Bench bench("zmodem");
  bench.StartBridge(true);
  const std::string path = (bench.Dir() / "image.bin").string();
  const std::size_t size = 256 * 1024;
  {
    std::string data(size, '\0');
    std::mt19937 random(11);
    for (char& c : data) c = static_cast<char>(random());
    std::ofstream(path, std::ios::binary) << data;
  }
  fs::create_directories(bench.Dir() / "received");
  ChildProcess::Options receiver;
  receiver.in = receiver.out = bench.Remote();
  receiver.directory = (bench.Dir() / "received").string();
  WaitUntil([&] { return fs::is_symlink(bench.Remote()); });
  ChildProcess rz({"rz", "-b", "-y"}, receiver);
  ChildProcess::Options sender;
  sender.in = sender.out = bench.Link();
  const double before = bench.Bridge().CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  ChildProcess sz({"sz", "-b", path}, sender);
  const auto status = sz.Wait(seconds(120));
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = bench.Bridge().CpuSeconds() - before;
  rz.Wait(seconds(10));
  const bool same =
      ReadWholeFile((bench.Dir() / "received/image.bin").string()) == ReadWholeFile(path);
  const LineUse use = Line(bench.Trace());
  const double file = use.busy * static_cast<double>(size) / static_cast<double>(use.bytes);
  std::printf(
      "256 KiB sz -> rz through the sim's pty:  line busy %.3f, file %.3f of the line rate "
      "(%.0f bytes/s over sz's %.1f s), CPU %.3f%s\n",
      use.busy, file, static_cast<double>(size) / wall, wall, cpu / wall,
      status == 0 && same ? "" : "  TRANSFER FAILED");
  bench.StopAndPrintPollFigures();
}

}  // namespace

int main(int argc, char** argv) {
  const bool busy = argc > 1 && std::strcmp(argv[1], "--busy") == 0;
  std::vector<pid_t> spinners;
  if (busy) {
    for (long i = 0; i < ::sysconf(_SC_NPROCESSORS_ONLN); ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        for (;;) {
        }
      }
      spinners.push_back(pid);
    }
  }
  std::printf("q7m-uart-bridge at 115200 baud (%.1f us a character)%s, bridge %s\n", kCharNs / 1000,
              busy ? ", one busy process per core" : "",
              ::geteuid() == 0 ? "real-time (root)" : "with short slices");
  Idle();
  Stream();
  Zmodem();
  for (const pid_t pid : spinners) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return 0;
}
