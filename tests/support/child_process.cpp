#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
  pid_ = ::fork();
  if (pid_ != 0) return;
  if (options.newSession) ::setsid();
  for (const std::string& name : options.unset) ::unsetenv(name.c_str());
  for (const std::string& pair : options.environment) {
    const std::size_t equals = pair.find('=');
    ::setenv(pair.substr(0, equals).c_str(), pair.substr(equals + 1).c_str(), 1);
  }
  if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) _exit(126);
  // A path given for several streams (a pty as the whole terminal) is opened
  // once, for reading and writing. On a new session the input is opened
  // without O_NOCTTY, so that a pty becomes the controlling terminal.
  std::map<std::string, int> opened;
  const struct {
    const std::string& path;
    int target;
    int flags;
  } streams[] = {{options.in, STDIN_FILENO, O_RDONLY},
                 {options.out, STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC},
                 {options.err, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC}};
  for (const auto& stream : streams) {
    int fd = -1;
    if (stream.path.empty()) {
      fd = ::open("/dev/null", O_RDWR);
    } else if (opened.count(stream.path) != 0) {
      fd = opened[stream.path];
    } else {
      const bool shared = (stream.path == options.in) + (stream.path == options.out) +
                              (stream.path == options.err) >
                          1;
      int flags = shared ? O_RDWR : stream.flags;
      if (!(options.newSession && stream.target == STDIN_FILENO)) flags |= O_NOCTTY;
      fd = ::open(stream.path.c_str(), flags, 0644);
      opened[stream.path] = fd;
    }
    if (fd < 0) _exit(125);
    ::dup2(fd, stream.target);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  _exit(127);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

double ChildProcess::CpuSeconds() const {
  std::istringstream stat(ReadWholeFile("/proc/" + std::to_string(pid_) + "/stat"));
  std::string field;
  // The command may hold spaces: fields are counted after its closing bracket.
  const std::string text = stat.str();
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  double user = 0;
  double system = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) user = std::stod(field);
    if (i == 15) system = std::stod(field);
  }
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool WaitForFileText(const std::string& path, const std::string& text,
                     std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return ReadWholeFile(path).find(text) != std::string::npos; }, timeout);
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
  if (!pipe) return result;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
    result.output.append(buffer, n);
  }
  const int status = ::pclose(pipe.release());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

ChildProcess& StartUntilItSaysReady(std::vector<std::string> argv,
                                    std::vector<std::string> environment, const std::string& folder,
                                    const std::string& name,
                                    std::vector<std::unique_ptr<ChildProcess>>& owned) {
  ChildProcess::Options options;
  options.environment = std::move(environment);
  options.out = folder + "/" + name + ".out";
  options.err = folder + "/" + name + ".err";
  options.directory = folder;
  owned.push_back(std::make_unique<ChildProcess>(argv, options));
  ChildProcess& program = *owned.back();
  WaitUntil([&] {
    return ReadWholeFile(options.out).find('\n') != std::string::npos ||
           program.Wait(std::chrono::milliseconds(0)).has_value();
  });
  return program;
}
