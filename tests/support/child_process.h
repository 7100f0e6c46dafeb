#pragma once
// A program started by an end-to-end test without a terminal: its standard
// streams to files (or to a device such as a pty), extra environment, killed
// and reaped when the object dies. Waits are for facts: the program's exit,
// or a file holding what the step caused.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> environment;  // NAME=value, added or replaced
    std::vector<std::string> unset;        // names removed
    std::string directory;                 // "" keeps the test's
    // Paths the streams are opened on; "" is /dev/null. The same path for
    // several streams opens it once.
    std::string in, out, err;
    bool newSession = false;  // setsid(): a pty opened as stdin becomes its terminal
  };

  ChildProcess(const std::vector<std::string>& argv, const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }
  void Signal(int signal);
  // The exit status (128 + n after signal n) once it ends; nullopt when it
  // is still running after the timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Its CPU time so far (user + system), in seconds.
  double CpuSeconds() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::string ReadWholeFile(const std::string& path);

// A shell command run to its end: its exit status (-1 when it did not exit)
// and its standard output and standard error together.
struct CommandResult {
  int status = -1;
  std::string output;
};
CommandResult RunCommand(const std::string& command);
// Polls until the condition holds; false after the timeout.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Starts a program that prints a line once it is ready (q7m-uart-bridge
// prints its link), with its standard output and error in
// <folder>/<name>.out and .err and its working folder there, kept in
// `owned`; returns once the line came or the program ended.
ChildProcess& StartUntilItSaysReady(std::vector<std::string> argv,
                                    std::vector<std::string> environment, const std::string& folder,
                                    const std::string& name,
                                    std::vector<std::unique_ptr<ChildProcess>>& owned);
// Polls the file until it contains the text.
bool WaitForFileText(const std::string& path, const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
