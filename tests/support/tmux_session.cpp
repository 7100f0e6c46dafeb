#include "tests/support/tmux_session.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string UniqueSocketName() {
  static std::atomic<int> counter{0};
  return "q7m-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

// Runs argv without a shell, collecting standard output; standard error is
// discarded so tmux's complaints do not clutter the test log.
std::string RunCapture(const std::vector<std::string>& argv, int* status) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    if (status) *status = -1;
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      dup2(devNull, STDERR_FILENO);
      dup2(devNull, STDIN_FILENO);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int waitStatus = 0;
  if (pid < 0 || waitpid(pid, &waitStatus, 0) < 0) waitStatus = -1;
  if (status) *status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
  return output;
}

std::string TrimRight(std::string text) {
  text.erase(text.find_last_not_of(" \n") + 1);
  return text;
}

}  // namespace

TmuxSession::TmuxSession(const std::string& command) : TmuxSession(command, Options{}) {}

TmuxSession::TmuxSession(const std::string& command, const Options& options)
    : socket_(UniqueSocketName()) {
  // A private configuration: nothing from the user's ~/.tmux.conf, no status
  // line eating a row, and dead panes kept for their exit status.
  configPath_ = "/tmp/" + socket_ + ".conf";
  {
    std::ofstream config(configPath_);
    config << "set -g status off\n"
           << "set -g remain-on-exit on\n"
           << "set -g default-terminal " << options.term << "\n"
           << "set -g history-limit 1000\n";
  }
  std::vector<std::string> args = {"new-session", "-d",
                                   "-s",          target_,
                                   "-x",          std::to_string(options.cols),
                                   "-y",          std::to_string(options.rows)};
  if (!options.directory.empty()) {
    args.push_back("-c");
    args.push_back(options.directory);
  }
  // TERM comes from default-terminal above: tmux sets it over any -e.
  std::vector<std::string> environment = {"LANG=" + options.lang, "LC_ALL=" + options.lang};
  environment.insert(environment.end(), options.environment.begin(), options.environment.end());
  for (const std::string& variable : environment) {
    args.push_back("-e");
    args.push_back(variable);
  }
  args.push_back(command);
  int status = -1;
  Tmux(args, &status);
  started_ = status == 0;
}

TmuxSession::~TmuxSession() {
  Tmux({"kill-server"});
  std::remove(configPath_.c_str());
}

std::string TmuxSession::Tmux(const std::vector<std::string>& args, int* status) {
  std::vector<std::string> argv = {"tmux", "-L", socket_, "-f", configPath_};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCapture(argv, status);
}

void TmuxSession::SendKeys(const std::vector<std::string>& keys) {
  std::vector<std::string> args = {"send-keys", "-t", target_};
  args.insert(args.end(), keys.begin(), keys.end());
  Tmux(args);
}

void TmuxSession::SendText(const std::string& text) {
  Tmux({"send-keys", "-t", target_, "-l", text});
}

std::string TmuxSession::Capture() {
  return Tmux({"capture-pane", "-p", "-t", target_});
}

std::string TmuxSession::CaptureWithColors() {
  return Tmux({"capture-pane", "-p", "-e", "-t", target_});
}

std::vector<std::string> TmuxSession::Lines() {
  std::vector<std::string> lines;
  std::istringstream stream(Capture());
  for (std::string line; std::getline(stream, line);) lines.push_back(TrimRight(line));
  return lines;
}

bool TmuxSession::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool TmuxSession::WaitForText(const std::string& text, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Capture().find(text) != std::string::npos; }, timeout);
}

bool TmuxSession::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        const std::vector<std::string> rows = Lines();
        return std::find(rows.begin(), rows.end(), line) != rows.end();
      },
      timeout);
}

std::string TmuxSession::Format(const std::string& format) {
  return TrimRight(Tmux({"display-message", "-p", "-t", target_, format}));
}

// tmux closes the pane when the program's terminal closes, a moment before
// it learns the exit status, so a pane counts as ended once the status (or
// the signal) is known.
bool TmuxSession::Exited() {
  return Format("#{pane_dead}#{pane_dead_status}#{pane_dead_signal}").size() > 1;
}

std::optional<int> TmuxSession::ExitStatus() {
  const std::string status = Format("#{pane_dead}:#{pane_dead_status}");
  if (status.size() < 3 || status[0] != '1') return std::nullopt;
  return std::stoi(status.substr(2));
}

std::optional<int> TmuxSession::ExitSignal() {
  const std::string signal = Format("#{pane_dead}:#{pane_dead_signal}");
  if (signal.size() < 3 || signal[0] != '1') return std::nullopt;
  return std::stoi(signal.substr(2));
}

bool TmuxSession::WaitForExit(std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Exited(); }, timeout);
}

bool TmuxSession::AtShellPrompt() {
  const std::string where = Format("#{pane_current_command} #{cursor_x} #{cursor_y}");
  std::istringstream fields(where);
  std::string command;
  int x = -1;
  int y = -1;
  if (!(fields >> command >> x >> y) || command != "sh" || x < 2) return false;
  // capture-pane drops the blanks at the end of a row, the prompt's space too.
  std::string row =
      Tmux({"capture-pane", "-p", "-t", target_, "-S", std::to_string(y), "-E", std::to_string(y)});
  if (!row.empty() && row.back() == '\n') row.pop_back();
  const auto cursor = static_cast<std::size_t>(x);
  if (row.size() < cursor) row.resize(cursor, ' ');
  const std::string after = TrimRight(row.substr(cursor));
  const std::string prompt = row.substr(cursor - 2, 2);
  return after.empty() && (prompt == "$ " || prompt == "# ");
}

bool TmuxSession::WaitForShellPrompt(std::chrono::milliseconds timeout) {
  return WaitFor([&] { return AtShellPrompt(); }, timeout);
}

bool TmuxSession::TypeAtPrompt(const std::string& line) {
  if (!WaitForShellPrompt()) return false;
  SendText(line);
  SendKeys({"Enter"});
  return true;
}

std::optional<int> TmuxSession::ShellStatus(std::chrono::milliseconds timeout) {
  const std::string marker = "status-" + std::to_string(++statusQuestions_) + "=";
  // The marker is split in the typed line, so only the shell's answer holds it whole.
  if (!TypeAtPrompt("echo \"" + marker.substr(0, 7) + "\"\"" + marker.substr(7) + "$?\"")) {
    return std::nullopt;
  }
  std::optional<int> status;
  WaitFor(
      [&] {
        const std::string screen = Capture();
        const auto at = screen.find(marker);
        if (at == std::string::npos) return false;
        const auto end = screen.find('\n', at);
        const std::string digits = screen.substr(at + marker.size(), end - at - marker.size());
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
          return false;
        }
        status = std::stoi(digits);
        return true;
      },
      timeout);
  return status;
}

std::optional<int> TmuxSession::ChildPid(const std::string& name) {
  const std::string shell = Format("#{pane_pid}");
  if (shell.empty()) return std::nullopt;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream statFile(entry.path() / "stat");
    std::string stat;
    std::getline(statFile, stat);
    // pid (comm) state ppid ...: the name may hold spaces, so read from the last ')'.
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    std::string ppid;
    rest >> state >> ppid;
    if (ppid == shell && stat.substr(open + 1, close - open - 1) == name.substr(0, 15)) {
      return std::stoi(pid);
    }
  }
  return std::nullopt;
}

std::string KernelWaitChannel(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/wchan");
  std::string channel;
  std::getline(file, channel);
  return channel;
}

std::unique_ptr<TmuxSession> StartInShell(const std::string& command,
                                          TmuxSession::Options options) {
  auto session = std::make_unique<TmuxSession>("sh", options);
  // Without a prompt nothing is typed; the caller's next wait then fails with
  // the screen to show.
  if (session->Started()) session->TypeAtPrompt(command + "; echo EXIT=$?");
  return session;
}
