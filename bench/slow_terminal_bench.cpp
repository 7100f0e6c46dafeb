// The real q7m-uart receiving a flood from the simulated board's VSC7420
// console, at the UART's programmed rate, drawn on terminals that take its
// output at different rates, on a quiet and on a busy machine, on a simulated
// board made slower per access, and while something else goes on: Esc typed
// again and again, a big file written to the disk, an external program run
// from a macro. Prints, per run: the bytes on the line, in "Term.txt" and lost
// in the UART, the frames drawn and the bytes written to the terminal, the
// longest gap between two polls of the UART's status and how many gaps were
// over 4 ms (the 127-byte buffer fills in 11 ms at 115200 baud), the CPU the
// polling thread used within its longest gap and how much of that gap a
// real-time sleeper of the benchmark's own was held too (a virtual machine's
// host stops its processors without always counting steal time), the window
// accesses per received byte, the polling thread's CPU as a share of a core
// between its first and last poll, and the program's CPU over its life, in
// seconds and as a share of a core; whether the polling thread is the
// program's main thread or a thread of its own, and how many of its threads
// run at a real-time policy at the flood's end.
//
// Usage: bench_slow_terminal [seconds per run] [quick|all] [row filter] [user]
//   quick: one run per row and no tmux rows; a filter keeps the rows whose
//   label holds it ("" keeps all). user, from root only:
//     nobody     the program runs as uid 65534, without real-time permission;
//     nobody-rt  the same user holding RLIMIT_RTPRIO 1 and RLIMIT_MEMLOCK
//                8 MiB, as a member of a group that limits.d grants them.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
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
#include "tests/support/stall_witnesses.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kBuild = Q7M_BUILD_DIR;
const std::string kPreload = Q7M_COUNTS_PRELOAD;
constexpr uid_t kNobody = 65534;
constexpr rlim_t kMemlockBytes = 8u << 20;
constexpr double kUartClockHz = 125e6;

// Who the program runs as. Root may raise its scheduling; nobody may not,
// unless its limits allow the lowest real-time priority.
enum class User { kThisUser, kNobody, kNobodyRt };
User g_user = User::kThisUser;

// A key the benchmark types during the flood, as xterm sends it and as tmux
// names it.
struct Key {
  const char* bytes;
  const char* tmuxName;
};
constexpr Key kEscKey = {"\x1b", "Escape"};
constexpr Key kF5Key = {"\x1b[15~", "F5"};

// Presses of one key during the flood, `interval` apart, the first one
// `interval` after the flood was asked for.
struct Presses {
  Key key = kEscKey;
  int count = 0;
  milliseconds interval{0};
};

struct Row {
  std::string label;
  long readerRate = 0;  // bytes per second; 0 reads as fast as it comes
  bool busy = false;    // one busy process per core beside the program
  bool tmux = false;    // drawn by tmux instead of the benchmark's own reader
  double slowdown = 1;  // the simulated board's cost per access, times
  long baud = 115200;   // the configuration's #COMMODE
  Presses presses{};
  bool viewerMacro = false;  // F5 runs QV.EXE, a program of about 2 s
  bool bigWriter = false;    // a 12 GiB file written and synced beside it
  int runs = 1;
};

struct Result {
  std::string failure;  // the run could not be measured
  std::string note;     // measured, but something is off
  std::uint64_t onLine = 0;
  std::uint64_t captured = 0;
  std::uint64_t lost = 0;
  std::uint64_t gaps = 0;
  std::uint64_t frames = 0;
  std::uint64_t terminalBytes = 0;
  std::uint64_t maxGapUs = 0;
  std::uint64_t gapsOver4Ms = 0;
  std::uint64_t accesses = 0;
  std::uint64_t rxBytes = 0;
  std::uint64_t pollCpuUs = 0;
  std::uint64_t pollWallUs = 0;
  std::int64_t pollTid = 0;         // the thread that read the UART's status most
  pid_t pid = -1;                   // the program's, which is its main thread's id
  int realTimeThreads = -1;         // of the program's, at the end of the flood
  double cpuSeconds = -1;           // the program's, user and system
  double lifeSeconds = -1;          // the program's, start to exit or to the CPU reading
  std::uint64_t stealMs = 0;        // time the host gave this machine's processors to others
  std::uint64_t gapUs = 0;          // the poller's longest gap
  std::uint64_t gapCpuUs = 0;       // the CPU it used within it
  std::uint64_t gapEndUs = 0;       // the monotonic clock when that gap ended
  std::uint64_t witnessHeldUs = 0;  // of that gap, the longest a witness was held too
  bool Clean() const { return failure.empty() && note.empty() && lost == 0 && gaps == 0; }
};

Result Failed(std::string why) {
  Result r;
  r.failure = std::move(why);
  return r;
}

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

// The value of the last "reg <index> <value>" line of the trace.
std::optional<unsigned> LastRegWrite(const std::string& trace, int index) {
  std::optional<unsigned> value;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    int i = 0;
    unsigned v = 0;
    if (std::sscanf(line.c_str(), "reg %d %u", &i, &v) == 2 && i == index) value = v;
  }
  return value;
}

unsigned Divisor(long baud) {
  return static_cast<unsigned>(std::floor(kUartClockHz / static_cast<double>(baud) + 0.5));
}

// The flood, in whole lines, is as long as the line carries in the time
// asked for, and outlasts the row's key presses.
std::uint64_t FloodBytes(const Row& row, int seconds) {
  const auto pressing = row.presses.interval * row.presses.count;
  const double needed = std::chrono::duration<double>(pressing).count() + 2;
  const double span = std::max(static_cast<double>(seconds), row.presses.count > 0 ? needed : 0);
  const auto bytes = static_cast<std::uint64_t>(span * static_cast<double>(row.baud) / 10);
  return bytes / q7m::sim::kFloodLineSize * q7m::sim::kFloodLineSize;
}

class BusyMachine {
 public:
  explicit BusyMachine(bool on) {
    if (!on) return;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < cores; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        // A session of its own, as another user's build would be: the
        // scheduler shares the processors between sessions first.
        setsid();
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

// A shell command in a process group of its own, killed with its children
// when the object dies.
class Background {
 public:
  explicit Background(const std::string& command) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);
  }
  ~Background() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

 private:
  pid_t pid_ = -1;
};

constexpr std::uint64_t kBigFileBytes = 12ull << 30;

// Writes a 12 GiB file with a flush to the disk at its end, and runs sync
// every 0.2 s, beside the flood; the file goes when the run ends.
class BigWriter {
 public:
  explicit BigWriter(const fs::path& dir)
      : file_(dir / "big"),
        dd_("exec dd if=/dev/zero of=" + file_.string() + " bs=1M count=12288 conv=fdatasync"),
        sync_("while :; do sync; sleep 0.2; done") {}
  ~BigWriter() {
    sync_.reset();
    dd_.reset();
    fs::remove(file_);
  }
  // Free bytes where the file goes, and whether the file and 1 GiB more fit.
  static bool Room(const fs::path& dir, std::uint64_t& free) {
    struct statvfs info {};
    if (statvfs(dir.c_str(), &info) != 0) return false;
    free = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    return free >= kBigFileBytes + (1ull << 30);
  }

 private:
  fs::path file_;
  std::optional<Background> dd_;
  std::optional<Background> sync_;
};

// A program folder of its own, so that "Term.txt" lands there, with the
// row's configuration and, for a macro row, the external program.
struct Scratch {
  explicit Scratch(const Row& row) {
    dir = fs::temp_directory_path() / ("q7m-bench-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(kBuild + "/bin/q7m-uart", dir / "q7m-uart");
    std::ofstream config(dir / "Q7m_Uart.cfg");
    config << "#COMMODE " << row.baud << "\n";
    if (row.viewerMacro) {
      // Two lines: the key starts QV.EXE instead of playing them.
      config << "#F5\n\"first line\"\n\"second line\"\n";
      std::ofstream(dir / "QV.EXE") << "#!/bin/sh\ntouch QV.ran\nsleep 2\n";
      fs::permissions(dir / "QV.EXE", fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
    }
    config.close();
    // An ordinary user's run keeps its files here too.
    if (g_user != User::kThisUser) {
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

// Whether this machine lets the benchmark raise RLIMIT_RTPRIO for the
// program: raising a hard limit needs CAP_SYS_RESOURCE, which a container's
// root may lack. Without it, nobody-rt gives the user CAP_SYS_NICE instead,
// which the kernel accepts in place of the limit for the same request.
bool CanGiveRealTimeLimits() {
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit rtprio{1, 1};
    const rlimit memlock{kMemlockBytes, kMemlockBytes};
    _exit(setrlimit(RLIMIT_RTPRIO, &rtprio) == 0 && setrlimit(RLIMIT_MEMLOCK, &memlock) == 0 ? 0
                                                                                             : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}
bool g_rtByCapability = false;

// The command that starts the program as the user the benchmark was asked
// for, with its limits, before the program's own path.
std::string UserPrefix() {
  const std::string setpriv = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  switch (g_user) {
    case User::kThisUser:
      return "";
    case User::kNobody:
      return setpriv + "-- ";
    case User::kNobodyRt:
      if (g_rtByCapability) {
        return "prlimit --memlock=" + std::to_string(kMemlockBytes) + " -- " + setpriv +
               "--inh-caps=+sys_nice --ambient-caps=+sys_nice -- ";
      }
      return "prlimit --rtprio=1 --memlock=" + std::to_string(kMemlockBytes) + " -- " + setpriv +
             "-- ";
  }
  return "";
}

// In the child: becomes the user and execs the program.
[[noreturn]] void ExecAsUser(const std::string& program) {
  const std::string command = UserPrefix() + program;
  execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

const char* UserName() {
  switch (g_user) {
    case User::kThisUser:
      return "this user";
    case User::kNobody:
      return "nobody (uid 65534), no real-time permission";
    case User::kNobodyRt:
      return g_rtByCapability
                 ? "nobody (uid 65534) with CAP_SYS_NICE, as this machine cannot raise "
                   "RLIMIT_RTPRIO, and RLIMIT_MEMLOCK 8 MiB"
                 : "nobody (uid 65534) with RLIMIT_RTPRIO 1 and RLIMIT_MEMLOCK 8 MiB";
  }
  return "";
}

// Waits for the condition, polling every 50 ms while `pump` keeps the
// terminal read; false after the timeout.
template <typename Done, typename Pump>
bool WaitFor(Done done, Pump pump, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    pump(milliseconds(50));
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

// The row's presses as they come due, from the time the flood was asked for.
class PressSchedule {
 public:
  PressSchedule(const Presses& presses, Clock::time_point start)
      : presses_(presses), start_(start) {}
  // Makes the presses whose time has come with `press(key)`.
  template <typename Press>
  void Due(Press press) {
    while (made_ < presses_.count && Clock::now() >= start_ + presses_.interval * (made_ + 1)) {
      press(presses_.key);
      ++made_;
    }
  }
  int Missing() const { return presses_.count - made_; }

 private:
  Presses presses_;
  Clock::time_point start_;
  int made_ = 0;
};

// What the row's extras left to say: presses the flood did not outlast, an
// external program that did not run.
std::string ExtrasNote(const Row& row, const Scratch& scratch, const PressSchedule& schedule) {
  std::string note;
  if (schedule.Missing() > 0) {
    note += std::to_string(schedule.Missing()) + " presses after the flood; ";
  }
  if (row.viewerMacro && !fs::exists(scratch.dir / "QV.ran")) note += "QV.EXE did not run; ";
  return note;
}

Result Collect(const Row& row, const Scratch& scratch, std::uint64_t bytes) {
  Result r;
  const std::string trace = ReadFile(scratch.dir / "trace.txt");
  const std::string counts = ReadFile(scratch.dir / "counts.txt");
  const auto check = q7m::sim::CheckFlood(ReadFile(scratch.dir / "Term.txt"));
  auto stat = [&](const char* key) { return Field(trace, "stats", key).value_or(0); };
  r.onLine = stat("flood-sent");
  r.lost = stat("rx-lost");
  r.maxGapUs = stat("max-poll-gap-us");
  r.gapsOver4Ms = stat("gaps-over-4ms");
  r.accesses = stat("accesses");
  r.rxBytes = stat("rx-bytes");
  r.pollCpuUs = stat("poll-cpu-us");
  r.pollWallUs = stat("poll-wall-us");
  r.pollTid = static_cast<std::int64_t>(stat("poll-tid"));
  r.gapUs = stat("gap-us");
  r.gapCpuUs = stat("gap-cpu-us");
  r.gapEndUs = stat("gap-end-us");
  r.frames = Field("c " + counts, "c", "frames").value_or(0);
  r.terminalBytes = Field("c " + counts, "c", "output-bytes").value_or(0);
  r.captured = check.validLines * q7m::sim::kFloodLineSize;
  r.gaps = check.gaps;
  if (!Field(trace, "stats", "rx-lost").has_value()) {
    r.failure = "no stats line in the trace";
  } else if (r.onLine != bytes) {
    r.note = "the flood did not run whole; ";
  }
  const auto lo = LastRegWrite(trace, 0);
  const auto hi = LastRegWrite(trace, 1);
  const unsigned divisor = Divisor(row.baud);
  if (!lo || !hi || *lo != (divisor & 0xFF) || *hi != (divisor >> 8)) {
    r.note += "the UART was not programmed for " + std::to_string(row.baud) + " baud; ";
  }
  return r;
}

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// The fields of a /proc stat file from the third (the state) on.
std::vector<std::string> StatFields(const fs::path& path) {
  const std::string stat = ReadFile(path);
  const auto close = stat.rfind(')');
  std::vector<std::string> f;
  if (close == std::string::npos) return f;
  std::istringstream fields(stat.substr(close + 2));
  for (std::string field; fields >> field;) f.push_back(field);
  return f;
}

// How many of the process's threads run at a real-time policy (SCHED_FIFO or
// SCHED_RR, field 41 of their stat); -1 when it cannot be told.
int RealTimeThreads(pid_t pid) {
  std::error_code error;
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  int count = 0;
  for (const auto& task : fs::directory_iterator(tasks, error)) {
    const auto f = StatFields(task.path() / "stat");
    if (f.size() < 39) return -1;
    const int policy = std::atoi(f[38].c_str());
    if (policy == SCHED_FIFO || policy == SCHED_RR) ++count;
  }
  return error ? -1 : count;
}

// The CPU time of a process so far and its age, from /proc.
struct ProcessTimes {
  double cpuSeconds = -1;
  double lifeSeconds = -1;
};
ProcessTimes ReadProcessTimes(pid_t pid) {
  // utime is field 14, stime 15, starttime 22.
  const auto f = StatFields("/proc/" + std::to_string(pid) + "/stat");
  if (f.size() < 20) return {};
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  const double uptime = std::strtod(ReadFile("/proc/uptime").c_str(), nullptr);
  ProcessTimes t;
  t.cpuSeconds = (std::strtod(f[11].c_str(), nullptr) + std::strtod(f[12].c_str(), nullptr)) / tick;
  t.lifeSeconds = uptime - std::strtod(f[19].c_str(), nullptr) / tick;
  return t;
}

Result RunInPty(const Row& row, std::uint64_t bytes) {
  Scratch scratch(row);
  const auto env = scratch.Environment(row);
  winsize size{};
  size.ws_row = 25;
  size.ws_col = 80;
  int master = -1;
  const auto born = Clock::now();
  const pid_t child = forkpty(&master, nullptr, nullptr, &size);
  if (child < 0) return Failed("forkpty failed");
  if (child == 0) {
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    ExecAsUser((scratch.dir / "q7m-uart").string());
  }
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::string output;
  std::uint64_t total = 0;
  double tokens = 0;
  auto last = Clock::now();
  bool ended = false;
  // Reads the terminal for `span`, at most at the row's rate.
  auto pump = [&](milliseconds span) {
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
  PressSchedule schedule(row.presses, Clock::now());
  int realTime = -1;
  {
    BusyMachine busy(row.busy);
    std::optional<BigWriter> writer;
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
          if (row.bigWriter) writer.emplace(scratch.dir);
          type("flood " + std::to_string(bytes) + "\r");
          schedule = PressSchedule(row.presses, Clock::now());
          auto pumpAndPress = [&](milliseconds span) {
            schedule.Due([&](const Key& key) { type(key.bytes); });
            pump(span);
          };
          WaitFor([&] { return FloodDone(capture, bytes); }, pumpAndPress,
                  std::chrono::seconds(bytes / 1000 + 60));
          realTime = RealTimeThreads(child);
        }
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
  const double life = std::chrono::duration<double>(Clock::now() - born).count();
  close(master);
  if (!failed.failure.empty()) return failed;
  Result r = Collect(row, scratch, bytes);
  r.note += ExtrasNote(row, scratch, schedule);
  r.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  r.lifeSeconds = life;
  r.pid = child;
  r.realTimeThreads = realTime;
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

// The program in the pane: the child of the pane's shell.
pid_t ProgramInPane(const std::string& socket) {
  std::string text;
  Tmux(socket, {"display", "-p", "#{pane_pid}"}, &text);
  const std::string shell = std::to_string(std::atol(text.c_str()));
  std::istringstream children(ReadFile("/proc/" + shell + "/task/" + shell + "/children"));
  for (pid_t pid = 0; children >> pid;) {
    if (ReadFile("/proc/" + std::to_string(pid) + "/comm") == "q7m-uart\n") return pid;
  }
  return -1;
}

Result RunInTmux(const Row& row, std::uint64_t bytes) {
  Scratch scratch(row);
  const std::string socket = "q7m-bench-" + std::to_string(getpid());
  std::vector<std::string> args = {"new-session", "-d", "-x", "80", "-y", "25"};
  for (const std::string& e : scratch.Environment(row)) {
    args.push_back("-e");
    args.push_back(e);
  }
  const fs::path exited = scratch.dir / "exited";
  args.push_back(UserPrefix() + (scratch.dir / "q7m-uart").string() + "; touch " + exited.string());
  auto sleep = [](milliseconds span) { std::this_thread::sleep_for(span); };
  auto screen = [&] {
    std::string text;
    Tmux(socket, {"capture-pane", "-p"}, &text);
    return text;
  };
  const fs::path capture = scratch.dir / "Term.txt";
  Result failed;
  PressSchedule schedule(row.presses, Clock::now());
  pid_t program = -1;
  int realTime = -1;
  {
    BusyMachine busy(row.busy);
    std::optional<BigWriter> writer;
    Tmux(socket, args);
    if (!WaitFor([&] { return screen().find("Q7M UART IO port") != std::string::npos; }, sleep,
                 std::chrono::seconds(30))) {
      failed.failure = "no menu";
    } else {
      program = ProgramInPane(socket);
      Tmux(socket, {"send-keys", "0"});
      WaitFor([&] { return fs::exists(capture); }, sleep, std::chrono::seconds(30));
      Tmux(socket, {"send-keys", "Enter"});
      if (!WaitFor([&] { return ReadFile(capture).find("vsc7420# ") != std::string::npos; }, sleep,
                   std::chrono::seconds(30))) {
        failed.failure = "no prompt";
      } else {
        if (row.bigWriter) writer.emplace(scratch.dir);
        Tmux(socket, {"send-keys", "-l", "flood " + std::to_string(bytes)});
        Tmux(socket, {"send-keys", "Enter"});
        schedule = PressSchedule(row.presses, Clock::now());
        auto sleepAndPress = [&](milliseconds span) {
          schedule.Due([&](const Key& key) { Tmux(socket, {"send-keys", key.tmuxName}); });
          sleep(span);
        };
        WaitFor([&] { return FloodDone(capture, bytes); }, sleepAndPress,
                std::chrono::seconds(bytes / 1000 + 60));
        if (program > 0) realTime = RealTimeThreads(program);
      }
    }
  }
  for (int tries = 0; tries < 10; ++tries) {
    Tmux(socket, {"send-keys", "S-F2"});
    if (WaitFor([&] { return screen().find("Q7M UART IO port") != std::string::npos; }, sleep,
                std::chrono::seconds(5))) {
      break;
    }
  }
  const ProcessTimes times = program > 0 ? ReadProcessTimes(program) : ProcessTimes{};
  Tmux(socket, {"send-keys", "q"});
  WaitFor([&] { return fs::exists(exited); }, sleep, std::chrono::seconds(60));
  Tmux(socket, {"kill-server"});
  if (!failed.failure.empty()) return failed;
  Result r = Collect(row, scratch, bytes);
  r.note += ExtrasNote(row, scratch, schedule);
  r.cpuSeconds = times.cpuSeconds;
  r.lifeSeconds = times.lifeSeconds;
  r.pid = program;
  r.realTimeThreads = realTime;
  return r;
}

// A figure, or "-" when it cannot be told.
std::string Ratio(double num, double den, const char* format) {
  if (!(den > 0) || num < 0) return "-";
  char text[24];
  std::snprintf(text, sizeof text, format, num / den);
  return text;
}

void PrintHeader() {
  std::printf("%-38s %3s %8s %8s %6s %4s %6s %10s %6s %6s %6s %5s %6s %5s %6s %3s %5s %5s %6s\n",
              "row", "run", "on line", "Term.txt", "lost", "gaps", "frames", "term bytes", "gap ms",
              "in cpu", "wit ms", ">4ms", "acc/B", "poll", "poller", "rt", "cpu s", "cpu", "steal");
}

// The processors' steal time so far (a virtual machine's processors held by
// its host), in milliseconds: a late wake-up then is nobody's in this machine.
std::uint64_t StealMs() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  std::uint64_t field = 0;
  std::uint64_t steal = 0;
  stat >> cpu;
  for (int i = 1; i <= 8 && stat >> field; ++i) {
    if (i == 8) steal = field;
  }
  return steal * 1000 / static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
}

void Print(const Row& row, int run, const Result& r) {
  if (!r.failure.empty()) {
    std::printf("%-38s %3d  FAILED: %s\n", row.label.c_str(), run, r.failure.c_str());
    std::fflush(stdout);
    return;
  }
  const std::string accessesPerByte =
      Ratio(static_cast<double>(r.accesses), static_cast<double>(r.rxBytes), "%.3f");
  const std::string pollShare =
      Ratio(static_cast<double>(r.pollCpuUs), static_cast<double>(r.pollWallUs), "%.2f");
  const char* poller = r.pollTid == 0 || r.pid <= 0 ? "-" : r.pollTid == r.pid ? "main" : "own";
  const std::string cpuSeconds = Ratio(r.cpuSeconds, 1, "%.2f");
  const std::string cpuShare = Ratio(r.cpuSeconds, r.lifeSeconds, "%.2f");
  const std::string realTime =
      r.realTimeThreads < 0 ? std::string("-") : std::to_string(r.realTimeThreads);
  std::printf(
      "%-38s %3d %8llu %8llu %6llu %4llu %6llu %10llu %6.1f %6.1f %6.1f %5llu %6s %5s %6s %3s %5s "
      "%5s %6llu",
      row.label.c_str(), run, static_cast<unsigned long long>(r.onLine),
      static_cast<unsigned long long>(r.captured), static_cast<unsigned long long>(r.lost),
      static_cast<unsigned long long>(r.gaps), static_cast<unsigned long long>(r.frames),
      static_cast<unsigned long long>(r.terminalBytes), static_cast<double>(r.gapUs) / 1000.0,
      static_cast<double>(r.gapCpuUs) / 1000.0, static_cast<double>(r.witnessHeldUs) / 1000.0,
      static_cast<unsigned long long>(r.gapsOver4Ms), accessesPerByte.c_str(), pollShare.c_str(),
      poller, realTime.c_str(), cpuSeconds.c_str(), cpuShare.c_str(),
      static_cast<unsigned long long>(r.stealMs));
  if (!r.note.empty()) std::printf("  NOTE: %s", r.note.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

constexpr int kBusyRuns = 5;

// Rows run on the simulated board as it is and made twice as slow per access.
const std::vector<Row> kBoardRows = {
    {.label = "pty, reader unlimited"},
    {.label = "pty, reader 10000 B/s", .readerRate = 10000},
    {.label = "pty, reader 4000 B/s", .readerRate = 4000},
    {.label = "pty, reader 1000 B/s", .readerRate = 1000},
    {.label = "pty, busy cores", .busy = true, .runs = kBusyRuns},
    {.label = "tmux, idle", .tmux = true, .runs = 10},
};

// Rows of something else going on beside the flood, on the board as it is.
const std::vector<Row> kBesideRows = {
    {.label = "pty, Esc x20", .presses = {kEscKey, 20, milliseconds(400)}},
    {.label = "pty, big writer", .bigWriter = true},
    {.label = "pty, QV.EXE macro", .presses = {kF5Key, 1, milliseconds(1000)}, .viewerMacro = true},
    {.label = "pty, 230400 baud", .baud = 230400},
    {.label = "pty, 230400 baud, busy cores", .busy = true, .baud = 230400, .runs = kBusyRuns},
    {.label = "tmux, Esc x20", .tmux = true, .presses = {kEscKey, 20, milliseconds(400)}},
    {.label = "tmux, big writer", .tmux = true, .bigWriter = true},
    {.label = "tmux, QV.EXE macro",
     .tmux = true,
     .presses = {kF5Key, 1, milliseconds(1000)},
     .viewerMacro = true},
};

// The rows to run, in order: quick leaves out the tmux rows and runs each
// row once.
std::vector<Row> Rows(bool quick) {
  std::vector<Row> rows;
  for (const double slowdown : {1.0, 2.0}) {
    for (Row row : kBoardRows) {
      if (slowdown != 1) row.label += ", board x2 slower";
      row.slowdown = slowdown;
      rows.push_back(row);
    }
  }
  rows.insert(rows.end(), kBesideRows.begin(), kBesideRows.end());
  if (quick) {
    std::erase_if(rows, [](const Row& row) { return row.tmux; });
    for (Row& row : rows) row.runs = 1;
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const bool quick = argc > 2 && std::string(argv[2]) == "quick";
  const std::string filter = argc > 3 ? argv[3] : "";
  const std::string user = argc > 4 ? argv[4] : "";
  if (user == "nobody") {
    g_user = User::kNobody;
  } else if (user == "nobody-rt") {
    g_user = User::kNobodyRt;
  } else if (!user.empty()) {
    std::fprintf(stderr,
                 "usage: bench_slow_terminal [seconds] [quick|all] [filter] [nobody|nobody-rt]\n");
    return 2;
  }
  if (g_user != User::kThisUser && geteuid() != 0) {
    std::fprintf(stderr, "running as nobody needs root\n");
    return 2;
  }
  g_rtByCapability = g_user == User::kNobodyRt && !CanGiveRealTimeLimits();
  std::printf("program runs as %s\n", UserName());
  std::printf(
      "flood of %d s of line per run (longer where a row's key presses need it), at the "
      "row's baud rate\n"
      "acc/B: window accesses per received byte; poll: the polling thread's CPU share of a "
      "core between its first and last status read; poller: that thread is the program's "
      "main thread or one of its own; rt: the program's threads at a real-time policy when the "
      "flood ends; cpu s, cpu: the program's CPU time and its share of a "
      "core over its life; steal: ms the host held this virtual machine's processors, as the "
      "host counts it; gap ms: the longest time between two status reads of the polling "
      "thread, in cpu: the CPU it used within it, wit ms: how much of it one of the "
      "benchmark's own 1 ms real-time sleepers, one on each processor, was held too\n",
      seconds);
  StallWitnesses witnesses;
  PrintHeader();
  bool clean = true;
  // Losses in runs where the witness too was held past the time the
  // UART's buffer lasts: the machine stopped, not the program.
  int lossesWithStall = 0;
  int lossesOtherwise = 0;
  for (const Row& row : Rows(quick)) {
    if (row.label.find(filter) == std::string::npos) continue;
    for (int run = 1; run <= row.runs; ++run) {
      std::uint64_t free = 0;
      if (row.bigWriter && !BigWriter::Room(fs::temp_directory_path(), free)) {
        std::printf("%-38s %3d  SKIPPED: %.1f GiB free in %s, the big file needs 13\n",
                    row.label.c_str(), run, static_cast<double>(free) / (1u << 30),
                    fs::temp_directory_path().c_str());
        clean = false;
        continue;
      }
      const std::uint64_t bytes = FloodBytes(row, seconds);
      const std::uint64_t stealBefore = StealMs();
      witnesses.Forget();
      Result r = row.tmux ? RunInTmux(row, bytes) : RunInPty(row, bytes);
      r.stealMs = StealMs() - stealBefore;
      if (r.gapEndUs != 0) {
        r.witnessHeldUs = witnesses.HeldWithinUs(r.gapEndUs - r.gapUs, r.gapEndUs);
      }
      Print(row, run, r);
      clean = clean && r.Clean();
      if (r.failure.empty() && r.lost > 0) {
        ++(witnesses.HostHeldGap(r.gapUs, r.gapEndUs, UartBufferUs(row.baud)) ? lossesWithStall
                                                                              : lossesOtherwise);
      }
    }
  }
  std::printf("%s\n", clean ? "every run: 0 lost, no gaps" : "SOME RUNS LOST BYTES OR FAILED");
  if (!witnesses.RealTime()) std::printf("the witnesses had no real-time priority\n");
  if (lossesWithStall + lossesOtherwise > 0) {
    std::printf(
        "runs that lost bytes: %d where, but for the time a witness was held too, the "
        "longest gap was within what the UART's buffer lasts; %d otherwise\n",
        lossesWithStall, lossesOtherwise);
  }
  return clean ? 0 : 1;
}
