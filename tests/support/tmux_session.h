#pragma once
// Runs a program in a detached tmux session of fixed size, for end-to-end
// tests: keys go in with send-keys, the screen comes back with capture-pane.
// Each session has a server of its own (a private socket), so tests cannot
// see each other, and the server is killed when the session object dies.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TmuxSession {
 public:
  struct Options {
    int cols = 80;
    int rows = 25;
    // TERM inside the pane (tmux's default-terminal).
    std::string term = "tmux-256color";
    std::string lang = "C.UTF-8";
    // Further NAME=value pairs for the program's environment.
    std::vector<std::string> environment;
    // Directory the program starts in; empty keeps the test's own.
    std::string directory;
  };

  // Starts `command` (run by the shell) in the session. The pane stays after
  // the program ends, so that its last screen and exit status can be read.
  explicit TmuxSession(const std::string& command);
  TmuxSession(const std::string& command, const Options& options);
  ~TmuxSession();
  TmuxSession(const TmuxSession&) = delete;
  TmuxSession& operator=(const TmuxSession&) = delete;

  // False when tmux could not start the session.
  bool Started() const { return started_; }

  // Keys by tmux name ("F1", "C-Up", "S-F2", "BTab", "Enter", "Escape").
  void SendKeys(const std::vector<std::string>& keys);
  // Text typed as it is, byte for byte.
  void SendText(const std::string& text);

  // The visible screen, one line per row without trailing blanks.
  std::string Capture();
  // The same with the colours and attributes as escape sequences.
  std::string CaptureWithColors();
  std::vector<std::string> Lines();

  // Polls the screen until it contains the text (or a row equals the line);
  // false after the timeout.
  bool WaitForText(const std::string& text,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool WaitForLine(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Polls any condition the same way.
  bool WaitFor(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // A tmux format evaluated for the pane, e.g. "#{alternate_on}".
  std::string Format(const std::string& format);

  bool Exited();
  // The exit status once the program has ended by itself.
  std::optional<int> ExitStatus();
  // The signal number once the program has died of one.
  std::optional<int> ExitSignal();
  bool WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // For a pane that runs a shell: true while the shell waits at its prompt,
  // that is, it is the pane's foreground program and the cursor stands right
  // after "$ " or "# " at the end of its row. Text typed before the prompt is
  // echoed by the terminal and then shares a row with what the shell prints.
  bool AtShellPrompt();
  bool WaitForShellPrompt(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the prompt, then types the line and Enter; false when no prompt came.
  bool TypeAtPrompt(const std::string& line);
  // The shell's $? once it is back at its prompt: asked with a marker of its
  // own, so an earlier answer on the screen cannot be taken for this one.
  std::optional<int> ShellStatus(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // The pid of the pane's foreground program when it is a child of the
  // pane's shell named `name`, or nullopt.
  std::optional<int> ChildPid(const std::string& name);

  const std::string& Socket() const { return socket_; }

 private:
  // Runs tmux on this session's socket; returns its standard output.
  std::string Tmux(const std::vector<std::string>& args, int* status = nullptr);

  std::string socket_;
  std::string configPath_;
  std::string target_ = "main";
  bool started_ = false;
  int statusQuestions_ = 0;
};

// What the process is blocked in, as the kernel names it ("hrtimer_nanosleep"
// while it sleeps), or "" when it runs or is gone.
std::string KernelWaitChannel(int pid);

// A shell (sh) in a session that, at its prompt, is given the
// command followed by "; echo EXIT=$?", so that the program's exit status
// appears on the screen.
std::unique_ptr<TmuxSession> StartInShell(const std::string& command,
                                          TmuxSession::Options options = {});
