#include "tests/support/tmux_session.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
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

std::unique_ptr<TmuxSession> StartInShell(const std::string& command,
                                          TmuxSession::Options options) {
  // A prompt of our own, matched wherever it stands on the line. It is set by
  // the file that $ENV names: dash keeps "# " for root whatever PS1 says.
  struct Profile {
    std::string path = "/tmp/q7m-test-prompt-" + std::to_string(::getpid());
    Profile() { std::ofstream(path) << "PS1='READY> '\n"; }
    ~Profile() { std::remove(path.c_str()); }
  };
  static const Profile profile;
  options.environment.push_back("ENV=" + profile.path);
  auto session = std::make_unique<TmuxSession>("sh", options);
  // Without the prompt the command is typed anyway; the caller's next wait
  // then fails with the screen to show.
  if (session->Started()) session->WaitForText("READY>");
  session->SendText(command + "; echo EXIT=$?");
  session->SendKeys({"Enter"});
  return session;
}
