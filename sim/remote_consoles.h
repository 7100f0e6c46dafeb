// The built-in consoles behind the board UART: the VSC7420 switch chip
// (routes 0, 4 and 5) and the KB20Q and KB20T console modules (routes 1 and
// 3). Route 2 (J27) has nothing built in.
//
// Each console is a small command line: printable bytes are echoed,
// Backspace (8 or 127) erases with BS SP BS, CR runs the line, Ctrl-C (byte
// 3) aborts output and gives a fresh prompt at once, whatever came before it,
// ESC [ A recalls the last command.
// A console prints nothing on its own until something happens to it: it sits
// at a prompt that was printed before the tool connected, so the first CR
// gives a fresh prompt. The VSC7420 also boots after each reset pulse: it is
// silent for kVscBootDelayNs, prints its coloured boot log and a prompt, and
// ignores input until then.
#ifndef Q7M_SIM_REMOTE_CONSOLES_H
#define Q7M_SIM_REMOTE_CONSOLES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/paced_remote.h"

namespace q7m::sim {

inline constexpr std::uint64_t kVscBootDelayNs = 1'500'000'000;  // reset to first log byte
inline constexpr std::uint64_t kVscRebootPauseNs = 500'000'000;  // "reboot" to reset
inline constexpr std::size_t kConsoleLineLimit = 200;
inline constexpr std::string_view kVscPrompt = "vsc7420# ";
inline constexpr std::string_view kKb20qPrompt = "KB20Q> ";
inline constexpr std::string_view kKb20tPrompt = "kb20t:~$ ";

// The boot log the VSC7420 prints after a reset, prompt not included.
std::string VscBootLog();

class LineConsole : public PacedRemote {
 public:
  explicit LineConsole(std::string_view prompt) : prompt_(prompt) {}

  void OnTransmit(std::uint8_t byte, std::uint64_t doneNs) override;
  void Restart() override;
  const std::string& Prompt() const { return prompt_; }

 protected:
  // Runs one command line (not empty). Returns false when the command will
  // print the prompt itself later (a flood, a reboot).
  virtual bool Run(std::string_view name, std::string_view args, std::uint64_t t) = 0;
  // Commands every console has; true when `name` was one of them.
  bool RunCommon(std::string_view name, std::string_view args, std::uint64_t t, bool& promptNow);
  void Say(std::string_view text, std::uint64_t t) { Emit(text, t); }
  void Unknown(std::string_view name, std::uint64_t t);
  void ShowPrompt(std::uint64_t t) { Emit(prompt_, t); }
  void OnFloodDone(std::uint64_t doneNs) override;

 private:
  enum class Esc { kNone, kEsc, kCsi };
  void Submit(std::uint64_t t);
  void Recall(std::uint64_t t);

  std::string prompt_;
  std::string line_;
  std::string last_;
  Esc esc_ = Esc::kNone;
};

class VscConsole final : public LineConsole {
 public:
  VscConsole() : LineConsole(kVscPrompt) {}
  void OnVscReset(std::uint64_t nowNs) override;
  std::uint64_t Boots() const { return boots_; }
  void Restart() override;

 protected:
  bool Run(std::string_view name, std::string_view args, std::uint64_t t) override;

 private:
  void Boot(std::uint64_t startNs);
  std::uint64_t boots_ = 0;
};

// KB20Q and KB20T: the same firmware family with its own prompt and banner.
class Kb20Console final : public LineConsole {
 public:
  enum class Model { kKb20q, kKb20t };
  explicit Kb20Console(Model model);

 protected:
  bool Run(std::string_view name, std::string_view args, std::uint64_t t) override;

 private:
  Model model_;
  std::uint64_t bornNs_ = 0;  // uptime counts from the model's time 0
};

}  // namespace q7m::sim

#endif
