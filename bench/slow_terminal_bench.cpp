// The real q7m-uart receiving a flood at 115200 baud from the simulated
// board's VSC7420 console, drawn on terminals that take its output at
// different rates, on a quiet and on a busy machine, and on a simulated board
// made slower per access. Prints, per run: the bytes on the line, in
// "Term.txt" and lost in the UART, the frames drawn and the bytes written to
// the terminal, the longest gap between two polls of the UART's status and
// how many gaps were over 4 ms (the 127-byte buffer fills in 11 ms).
//
// Usage: bench_slow_terminal [seconds per run] [quick|all] [row filter] [nobody]
//   quick: one run per row and no tmux rows; a filter keeps the rows whose
//   label holds it; nobody runs the program as that user (from root).

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/flood_text.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kBuild = Q7M_BUILD_DIR;
const std::string kPreload = Q7M_COUNTS_PRELOAD;
constexpr uid_t kNobody = 65534;
// Runs the program as the user nobody (root may raise its scheduling, an
// ordinary user may not).
bool g_asNobody = false;

struct Row {
  std::string label;
  long readerRate = 0;  // bytes per second; 0 reads as fast as it comes
  bool busy = false;    // one busy process per core beside the program
  bool tmux = false;    // drawn by tmux instead of the benchmark's own reader
  double slowdown = 1;  // the simulated board's cost per access, times
};

struct Result {
  bool ok = false;
  std::string failure;
  std::uint64_t onLine = 0;
  std::uint64_t captured = 0;
  std::uint64_t lost = 0;
  std::uint64_t overflows = 0;
  std::uint64_t gaps = 0;
  std::uint64_t frames = 0;
  std::uint64_t terminalBytes = 0;
  std::uint64_t maxGapUs = 0;
  std::uint64_t gapsOver4Ms = 0;
  double seconds = 0;
  double cpuSeconds = -1;  // the program's, when the benchmark is its parent
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// The value after `key` on the line of the file that starts with `prefix`.
std::optional<std::uint64_t> Field(const std::string& text, const std::string& prefix,
                                   const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    const auto at = line.find(" " + key + " ");
    if (at == std::string::npos) continue;
    return std::strtoull(line.c_str() + at + key.size() + 2, nullptr, 10);
  }
  return std::nullopt;
}

class BusyMachine {
 public:
  explicit BusyMachine(bool on) {
    if (!on) return;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < cores; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        volatile unsigned long n = 0;
        for (;;) n = static_cast<unsigned long>(n) + 1;
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~BusyMachine() {
    for (const pid_t pid : pids_) kill(pid, SIGKILL);
    for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }

 private:
  std::vector<pid_t> pids_;
};

// A program folder of its own, so that "Term.txt" lands there.
struct Scratch {
  Scratch() {
    dir = fs::temp_directory_path() / ("q7m-bench-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(kBuild + "/bin/q7m-uart", dir / "q7m-uart");
    std::ofstream(dir / "Q7m_Uart.cfg") << "#COMMODE 115200\n";
    // An ordinary user's run keeps its files here too.
    if (g_asNobody) {
      for (const auto& entry : fs::directory_iterator(dir)) {
        (void)!chown(entry.path().c_str(), kNobody, kNobody);
      }
      (void)!chown(dir.c_str(), kNobody, kNobody);
    }
  }
  ~Scratch() { fs::remove_all(dir); }
  std::vector<std::string> Environment(const Row& row) const {
    std::vector<std::string> env = {
        "LD_LIBRARY_PATH=" + kBuild + "/sim", "Q7M_SIM_TRACE=" + (dir / "trace.txt").string(),
        "LD_PRELOAD=" + kPreload, "Q7M_BENCH_COUNTS=" + (dir / "counts.txt").string(),
        "LANG=C.UTF-8", "TERM=xterm-256color",
        // A board lock of its own: a demo on the
        // default board does not stop it.
        "Q7M_SIM_LOCK_DIR=" + dir.string()};
    if (row.slowdown != 1) env.push_back("Q7M_SIM_SLOWDOWN=" + std::to_string(row.slowdown));
    return env;
  }
  fs::path dir;
};

// Waits for the condition, polling every 50 ms while `pump` keeps the
// terminal read; false after the timeout.
template <typename Done, typename Pump>
bool WaitFor(Done done, Pump pump, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    pump(std::chrono::milliseconds(50));
  }
  return true;
}

// The flood has ended once the console's prompt follows the last flood line.
bool FloodDone(const fs::path& capture, std::uint64_t bytes) {
  const std::string text = ReadFile(capture);
  const auto last = text.rfind("FLOOD ");
  if (last == std::string::npos) return false;
  if (text.find("vsc7420# ", last) != std::string::npos) return true;
  return text.size() > bytes + 4096;  // something else went wrong: stop waiting
}

Result Collect(const Scratch& scratch, std::uint64_t bytes, Clock::time_point start) {
  Result r;
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string trace = ReadFile(scratch.dir / "trace.txt");
  const std::string counts = ReadFile(scratch.dir / "counts.txt");
  const std::string capture = ReadFile(scratch.dir / "Term.txt");
  const auto check = q7m::sim::CheckFlood(capture);
  r.onLine = Field(trace, "stats", "flood-sent").value_or(0);
  r.lost = Field(trace, "stats", "rx-lost").value_or(0);
  r.overflows = Field(trace, "stats", "rx-overflows").value_or(0);
  r.maxGapUs = Field(trace, "stats", "max-poll-gap-us").value_or(0);
  r.gapsOver4Ms = Field(trace, "stats", "gaps-over-4ms").value_or(0);
  r.frames = Field("c " + counts, "c", "frames").value_or(0);
  r.terminalBytes = Field("c " + counts, "c", "output-bytes").value_or(0);
  r.captured = check.validLines * q7m::sim::kFloodLineSize;
  r.gaps = check.gaps;
  r.ok = Field(trace, "stats", "rx-lost").has_value() && r.onLine == bytes;
  if (!r.ok) r.failure = "the run did not complete (no stats, or the flood did not run whole)";
  return r;
}

Result RunInPty(const Row& row, std::uint64_t bytes) {
  Scratch scratch;
  const auto env = scratch.Environment(row);
  winsize size{};
  size.ws_row = 25;
  size.ws_col = 80;
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, &size);
  if (child < 0) return Result{false, "forkpty failed"};
  if (child == 0) {
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    if (g_asNobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
    const std::string program = (scratch.dir / "q7m-uart").string();
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::string output;
  std::uint64_t total = 0;
  double tokens = 0;
  auto last = Clock::now();
  bool ended = false;
  // Reads the terminal for `span`, at most at the row's rate.
  auto pump = [&](std::chrono::milliseconds span) {
    const auto until = Clock::now() + span;
    while (!ended && Clock::now() < until) {
      pollfd fd{master, POLLIN, 0};
      poll(&fd, 1, 5);
      const auto now = Clock::now();
      const double dt = std::chrono::duration<double>(now - last).count();
      last = now;
      std::size_t room = 65536;
      if (row.readerRate > 0) {
        tokens = std::min(tokens + dt * static_cast<double>(row.readerRate),
                          static_cast<double>(row.readerRate) / 20);
        if (tokens < 1) continue;
        room = std::min<std::size_t>(room, static_cast<std::size_t>(tokens));
      }
      char buffer[65536];
      const ssize_t n = read(master, buffer, room);
      if (n > 0) {
        total += static_cast<std::uint64_t>(n);
        tokens -= static_cast<double>(n);
        output.append(buffer, static_cast<std::size_t>(n));
        if (output.size() > 1 << 20) output.erase(0, output.size() - 4096);
      } else if (n == 0 || (n < 0 && errno == EIO)) {
        ended = true;
      }
    }
  };
  auto seen = [&](const std::string& text) { return output.find(text) != std::string::npos; };
  auto type = [&](const std::string& keys) { (void)!write(master, keys.data(), keys.size()); };
  const fs::path capture = scratch.dir / "Term.txt";
  Result failed;
  const auto start = Clock::now();
  BusyMachine busy(row.busy);
  if (!WaitFor([&] { return seen("Q7M UART IO port"); }, pump, std::chrono::seconds(30))) {
    failed.failure = "no menu";
  } else {
    output.clear();
    type("0");
    if (!WaitFor([&] { return fs::exists(capture); }, pump, std::chrono::seconds(30))) {
      failed.failure = "no terminal";
    } else {
      type("\r");
      if (!WaitFor([&] { return ReadFile(capture).find("vsc7420# ") != std::string::npos; }, pump,
                   std::chrono::seconds(30))) {
        failed.failure = "no prompt";
      } else {
        type("flood " + std::to_string(bytes) + "\r");
        WaitFor([&] { return FloodDone(capture, bytes); }, pump,
                std::chrono::seconds(bytes / 1000 + 60));
      }
    }
  }
  // Shift-F2 as xterm sends it; again if a message (a receive error) took
  // the first one.
  output.clear();
  for (int tries = 0; tries < 10 && !seen("Q7M UART IO port"); ++tries) {
    type("\x1b[1;2Q");
    WaitFor([&] { return seen("Q7M UART IO port"); }, pump, std::chrono::seconds(5));
  }
  type("q");
  WaitFor([&] { return ended; }, pump, std::chrono::seconds(120));
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, WNOHANG, &usage) != child) {
    kill(child, SIGKILL);
    wait4(child, &status, 0, &usage);
  }
  close(master);
  if (!failed.failure.empty()) return failed;
  Result r = Collect(scratch, bytes, start);
  r.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (row.readerRate == 0 || r.terminalBytes == 0) r.terminalBytes = total;
  return r;
}

int Tmux(const std::string& socket, const std::vector<std::string>& args,
         std::string* out = nullptr) {
  std::string command = "tmux -L " + socket + " -f /dev/null";
  for (const std::string& a : args) {
    std::string quoted = "'";
    for (const char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " " + quoted + "'";
  }
  command += " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::string text;
  while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  if (out != nullptr) *out = text;
  return pclose(pipe);
}

Result RunInTmux(const Row& row, std::uint64_t bytes) {
  Scratch scratch;
  const std::string socket = "q7m-bench-" + std::to_string(getpid());
  std::vector<std::string> args = {"new-session", "-d", "-x", "80", "-y", "25"};
  for (const std::string& e : scratch.Environment(row)) {
    args.push_back("-e");
    args.push_back(e);
  }
  const fs::path exited = scratch.dir / "exited";
  const std::string asUser =
      g_asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups -- " : "";
  args.push_back(asUser + (scratch.dir / "q7m-uart").string() + "; touch " + exited.string());
  const auto start = Clock::now();
  BusyMachine busy(row.busy);
  Tmux(socket, args);
  auto sleep = [](std::chrono::milliseconds span) { std::this_thread::sleep_for(span); };
  auto screen = [&] {
    std::string text;
    Tmux(socket, {"capture-pane", "-p"}, &text);
    return text;
  };
  const fs::path capture = scratch.dir / "Term.txt";
  Result failed;
  if (!WaitFor([&] { return screen().find("Q7M UART IO port") != std::string::npos; }, sleep,
               std::chrono::seconds(30))) {
    failed.failure = "no menu";
  } else {
    Tmux(socket, {"send-keys", "0"});
    WaitFor([&] { return fs::exists(capture); }, sleep, std::chrono::seconds(30));
    Tmux(socket, {"send-keys", "Enter"});
    if (!WaitFor([&] { return ReadFile(capture).find("vsc7420# ") != std::string::npos; }, sleep,
                 std::chrono::seconds(30))) {
      failed.failure = "no prompt";
    } else {
      Tmux(socket, {"send-keys", "-l", "flood " + std::to_string(bytes)});
      Tmux(socket, {"send-keys", "Enter"});
      WaitFor([&] { return FloodDone(capture, bytes); }, sleep,
              std::chrono::seconds(bytes / 1000 + 60));
    }
  }
  for (int tries = 0; tries < 10; ++tries) {
    Tmux(socket, {"send-keys", "S-F2"});
    if (WaitFor([&] { return screen().find("Q7M UART IO port") != std::string::npos; }, sleep,
                std::chrono::seconds(5))) {
      break;
    }
  }
  Tmux(socket, {"send-keys", "q"});
  WaitFor([&] { return fs::exists(exited); }, sleep, std::chrono::seconds(60));
  Tmux(socket, {"kill-server"});
  if (!failed.failure.empty()) return failed;
  return Collect(scratch, bytes, start);
}

void Print(const Row& row, int run, const Result& r) {
  if (!r.failure.empty()) {
    std::printf("%-40s %3d  FAILED: %s\n", row.label.c_str(), run, r.failure.c_str());
    return;
  }
  char cpu[16] = "-";
  if (r.cpuSeconds >= 0) std::snprintf(cpu, sizeof cpu, "%.2f", r.cpuSeconds);
  std::printf("%-40s %3d %8llu %8llu %5llu %4llu %6llu %10llu %6.1f %5llu %6s\n", row.label.c_str(),
              run, static_cast<unsigned long long>(r.onLine),
              static_cast<unsigned long long>(r.captured), static_cast<unsigned long long>(r.lost),
              static_cast<unsigned long long>(r.gaps), static_cast<unsigned long long>(r.frames),
              static_cast<unsigned long long>(r.terminalBytes),
              static_cast<double>(r.maxGapUs) / 1000.0,
              static_cast<unsigned long long>(r.gapsOver4Ms), cpu);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const bool quick = argc > 2 && std::string(argv[2]) == "quick";
  const std::string filter = argc > 3 ? argv[3] : "";
  g_asNobody = argc > 4 && std::string(argv[4]) == "nobody";
  if (g_asNobody && geteuid() != 0) {
    std::fprintf(stderr, "running as nobody needs root\n");
    return 2;
  }
  std::printf("program runs as %s\n", g_asNobody ? "nobody (uid 65534)" : "this user");
  // The flood is as long as the line carries in the time asked for, in whole
  // lines, so that every byte of it is in a line the capture check counts.
  const std::uint64_t bytes = static_cast<std::uint64_t>(seconds) * 11520 /
                              q7m::sim::kFloodLineSize * q7m::sim::kFloodLineSize;
  std::printf("flood of %llu bytes at 115200 baud (%d s of line) per run\n",
              static_cast<unsigned long long>(bytes), seconds);
  std::printf("%-40s %3s %8s %8s %5s %4s %6s %10s %6s %5s %6s\n", "terminal", "run", "on line",
              "Term.txt", "lost", "gaps", "frames", "term bytes", "gap ms", ">4ms", "cpu s");
  bool clean = true;
  for (const double slowdown : {1.0, 2.0}) {
    const std::string board = slowdown == 1 ? "" : ", board x2 slower";
    std::vector<std::pair<Row, int>> rows = {
        {{"pty, reader unlimited" + board, 0, false, false, slowdown}, 1},
        {{"pty, reader 10000 B/s" + board, 10000, false, false, slowdown}, 1},
        {{"pty, reader 4000 B/s" + board, 4000, false, false, slowdown}, 1},
        {{"pty, reader 1000 B/s" + board, 1000, false, false, slowdown}, 1},
        {{"pty, busy cores" + board, 0, true, false, slowdown}, quick ? 1 : 5},
    };
    if (!quick) rows.push_back({{"tmux, idle" + board, 0, false, true, slowdown}, 10});
    for (const auto& [row, runs] : rows) {
      if (row.label.find(filter) == std::string::npos) continue;
      for (int run = 1; run <= runs; ++run) {
        const Result r = row.tmux ? RunInTmux(row, bytes) : RunInPty(row, bytes);
        Print(row, run, r);
        clean = clean && r.failure.empty() && r.lost == 0 && r.gaps == 0;
      }
    }
  }
  std::printf("%s\n", clean ? "every run: 0 lost, no gaps" : "SOME RUNS LOST BYTES OR FAILED");
  return clean ? 0 : 1;
}
