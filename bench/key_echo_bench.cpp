// How soon a typed key's echo is seen, on the simulated board at 115200
// baud, whose VSC7420 console echoes each character once it has crossed the
// wire (two character times, 0.17 ms, of the line):
//
//   floor     a client on a kernel pty loopback: the pty layer's own cost
//   terminal  q7m-uart in a pty of the benchmark's, routing 0: a key written
//             to the pty until its echo is in what the program draws
//   bridge    a client on q7m-uart-bridge's link, routing 0
//
// Keys are typed one at a time, as a person types: each after the echo of
// the one before, and a pause. Prints the median, p90, p99 and max of each,
// measured in one run, the CPU the terminal and the bridge use while idle (a
// share of one core over a few seconds), and how a paste of 200 characters
// into the terminal leaves the UART (from the simulated board's trace).
//
//   bench_key_echo [keys]      (default 200)

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kBuild = Q7M_BUILD_DIR;
constexpr auto kPause = std::chrono::milliseconds(30);

void MakeRaw(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

// Reads from fd until `wanted` is in what was read since the call (or the
// deadline passes); returns whether it came.
bool ReadUntil(int fd, const std::string& wanted, std::string& seen,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto deadline = Clock::now() + limit;
  while (seen.find(wanted) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

struct Figures {
  std::vector<double> ms;
  std::string failure;
  void Print(const char* label) const {
    if (!failure.empty()) {
      std::printf("  %-9s not measured: %s\n", label, failure.c_str());
      return;
    }
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) {
      return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * sorted.size()))];
    };
    std::printf("  %-9s %5zu keys  median %6.2f  p90 %6.2f  p99 %6.2f  max %6.2f ms\n", label,
                sorted.size(), at(0.5), at(0.9), at(0.99), sorted.back());
  }
  double Median() const {
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? 0 : sorted[sorted.size() / 2];
  }
  double P99() const {
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
  }
};

// Types `keys` keys on `fd` and times each until its echo is read back from
// `echoFd`. Every 40 keys an Enter (not timed) ends the console's line.
Figures TypeAndTime(int fd, int echoFd, int keys, const std::string& afterEnter) {
  Figures figures;
  std::string seen;
  for (int i = 0; i < keys; ++i) {
    if (i > 0 && i % 40 == 0 && !afterEnter.empty()) {
      seen.clear();
      if (write(fd, "\r", 1) != 1 || !ReadUntil(echoFd, afterEnter, seen)) {
        figures.failure = "no prompt after Enter";
        return figures;
      }
    }
    // Lower-case letters: none is in the prompt or the drawing's sequences
    // of interest, and a fresh read buffer starts each key.
    const char key = static_cast<char>('a' + i % 26);
    seen.clear();
    const auto start = Clock::now();
    if (write(fd, &key, 1) != 1 || !ReadUntil(echoFd, std::string(1, key), seen)) {
      figures.failure = "key " + std::to_string(i) + " was not echoed";
      return figures;
    }
    figures.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    // What else the echo brings (the rest of a frame) is not the next key's.
    std::this_thread::sleep_for(kPause);
    char drain[4096];
    while (true) {
      pollfd p{echoFd, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0 || read(echoFd, drain, sizeof drain) <= 0) break;
    }
  }
  return figures;
}

Figures Floor(int keys) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {{}, "no pty"};
  MakeRaw(slave);
  MakeRaw(master);
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char c;
    while (!stop) {
      pollfd p{slave, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (read(slave, &c, 1) == 1) (void)!write(slave, &c, 1);
    }
  });
  Figures figures = TypeAndTime(master, master, keys, "");
  stop = true;
  echo.join();
  close(master);
  close(slave);
  return figures;
}

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double IdleShare(pid_t pid, std::chrono::seconds span) {
  const double before = CpuSeconds(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(span);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return (CpuSeconds(pid) - before) / wall;
}

struct Child {
  pid_t pid = -1;
  int fd = -1;  // the pty's master, for the terminal
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (fd >= 0) close(fd);
  }
};

// The gaps between the bytes the UART sent, from the simulated board's trace
// ("tx <byte> <start ns>" lines), from the `from`-th on.
std::vector<double> SendGapsMs(const fs::path& trace, std::size_t from) {
  std::vector<unsigned long long> starts;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    int byte = 0;
    unsigned long long start = 0;
    if (std::sscanf(line.c_str(), "tx %d %llu", &byte, &start) == 2) starts.push_back(start);
  }
  std::vector<double> gaps;
  for (std::size_t i = from + 1; i < starts.size(); ++i) {
    gaps.push_back(static_cast<double>(starts[i] - starts[i - 1]) / 1e6);
  }
  return gaps;
}

struct Paste {
  std::size_t bytes = 0;
  double spanMs = 0;
  double minGapMs = 0;
  double maxGapMs = 0;
  std::string failure;
};

Figures Terminal(int keys, double& idle, Paste& paste, const fs::path& work) {
  fs::create_directories(work / "program");
  fs::copy_file(kBuild + "/bin/q7m-uart", work / "program/q7m-uart",
                fs::copy_options::overwrite_existing);
  std::ofstream(work / "program/Q7m_Uart.cfg") << "#COMMODE 115200\n";
  Child child;
  winsize size{25, 80, 0, 0};
  child.pid = forkpty(&child.fd, nullptr, nullptr, &size);
  if (child.pid == 0) {
    setenv("TERM", "xterm", 1);
    setenv("LD_LIBRARY_PATH", (kBuild + "/sim").c_str(), 1);
    setenv("Q7M_SIM_LOCK_DIR", work.c_str(), 1);
    setenv("Q7M_SIM_TRACE", (work / "trace").c_str(), 1);
    const std::string program = (work / "program/q7m-uart").string();
    execl(program.c_str(), program.c_str(), nullptr);
    _exit(127);
  }
  std::string seen;
  if (!ReadUntil(child.fd, "Q7M UART IO port", seen)) return {{}, "no menu"};
  seen.clear();
  if (write(child.fd, "0", 1) != 1 || !ReadUntil(child.fd, "115200", seen)) {
    return {{}, "no terminal"};
  }
  seen.clear();
  if (write(child.fd, "\r", 1) != 1 || !ReadUntil(child.fd, "vsc7420#", seen)) {
    return {{}, "no prompt"};
  }
  Figures figures = TypeAndTime(child.fd, child.fd, keys, "vsc7420#");
  idle = IdleShare(child.pid, std::chrono::seconds(5));
  // A paste: 200 characters at once, then Enter once their echo is in.
  const std::size_t before = SendGapsMs(work / "trace", 0).size() + 1;
  std::string text;
  for (int i = 0; i < 200; ++i) text.push_back(static_cast<char>('a' + i % 26));
  if (write(child.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    paste.failure = "cannot type it";
    return figures;
  }
  // Until the trace has them all; the program's drawing is read away meanwhile.
  std::vector<double> gaps;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while ((gaps = SendGapsMs(work / "trace", before)).size() + 1 < text.size() &&
         Clock::now() < deadline) {
    seen.clear();
    ReadUntil(child.fd, "\x01", seen, std::chrono::milliseconds(50));
  }
  if (gaps.size() + 1 < text.size()) {
    paste.failure = "only " + std::to_string(gaps.size() + 1) + " bytes left";
    return figures;
  }
  paste.bytes = gaps.size() + 1;
  for (const double gap : gaps) paste.spanMs += gap;
  paste.minGapMs = gaps.empty() ? 0 : *std::min_element(gaps.begin(), gaps.end());
  paste.maxGapMs = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
  (void)!write(child.fd, "\r", 1);
  return figures;
}

Figures Bridge(int keys, double& idleAlone, double& idleWithClient, const fs::path& work) {
  const fs::path link = work / "ttyQ7M";
  Child child;
  child.pid = fork();
  if (child.pid == 0) {
    setenv("Q7M_SIM_LOCK_DIR", work.c_str(), 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    const std::string program = kBuild + "/bin/q7m-uart-bridge-sim";
    execl(program.c_str(), program.c_str(), "--link", link.c_str(), nullptr);
    _exit(127);
  }
  for (int i = 0; i < 500 && !fs::exists(link); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!fs::exists(link)) return {{}, "no link"};
  idleAlone = IdleShare(child.pid, std::chrono::seconds(5));
  const int client = open(link.c_str(), O_RDWR | O_NOCTTY);
  if (client < 0) return {{}, "cannot open the link"};
  MakeRaw(client);
  std::string seen;
  if (write(client, "\r", 1) != 1 || !ReadUntil(client, "vsc7420#", seen)) {
    close(client);
    return {{}, "no prompt"};
  }
  Figures figures = TypeAndTime(client, client, keys, "vsc7420#");
  idleWithClient = IdleShare(child.pid, std::chrono::seconds(5));
  close(client);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const int keys = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const fs::path work = fs::temp_directory_path() / ("q7m-echo-" + std::to_string(getpid()));
  fs::create_directories(work);
  std::printf("key to echo, %d keys typed one at a time (%lld ms apart), 115200 baud:\n", keys,
              static_cast<long long>(kPause.count()));
  const Figures floor = Floor(keys);
  double terminalIdle = -1;
  Paste paste;
  const Figures terminal = Terminal(keys, terminalIdle, paste, work);
  double bridgeAlone = -1;
  double bridgeClient = -1;
  const Figures bridge = Bridge(keys, bridgeAlone, bridgeClient, work);
  floor.Print("floor");
  terminal.Print("terminal");
  bridge.Print("bridge");
  if (floor.failure.empty()) {
    for (const auto* f : {&terminal, &bridge}) {
      if (!f->failure.empty()) continue;
      std::printf("  %-9s over the floor: median +%.2f ms, p99 +%.2f ms\n",
                  f == &terminal ? "terminal" : "bridge", f->Median() - floor.Median(),
                  f->P99() - floor.P99());
    }
  }
  if (paste.failure.empty()) {
    std::printf(
        "paste of 200 characters into the terminal: %zu bytes left in %.0f ms, %.2f to %.2f ms "
        "apart (the line's pacing: 10 ms)\n",
        paste.bytes, paste.spanMs, paste.minGapMs, paste.maxGapMs);
  } else {
    std::printf("paste not measured: %s\n", paste.failure.c_str());
  }
  std::printf(
      "idle CPU: terminal %.2f %%, bridge %.2f %% without a client, %.2f %% with one "
      "(of one core, 5 s each)\n",
      100 * terminalIdle, 100 * bridgeAlone, 100 * bridgeClient);
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return 0;
}
