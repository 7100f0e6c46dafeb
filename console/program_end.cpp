#include "console/program_end.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "console/console.h"
#include "console/tty.h"

namespace {

struct EndState {
  std::vector<std::string> exitLines;
  std::map<int, std::function<void()>> work;
  int nextId = 1;
};

EndState& State() {
  static EndState state;
  return state;
}

}  // namespace

void RememberExitLine(std::string line) {
  State().exitLines.push_back(std::move(line));
}

int AtProgramEnd(std::function<void()> work) {
  auto& state = State();
  const int id = state.nextId++;
  state.work.emplace(id, std::move(work));
  return id;
}

void ForgetAtProgramEnd(int id) {
  State().work.erase(id);
}

void RunProgramEndWork() {
  auto& state = State();
  // Newest first, like destructors; each runs once even if it ends the program.
  while (!state.work.empty()) {
    auto last = std::prev(state.work.end());
    auto work = std::move(last->second);
    state.work.erase(last);
    if (work) work();
  }
  ConsoleDetach();
}

void EndProgram(int status) {
  RunProgramEndWork();
  for (const auto& line : State().exitLines) std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  std::exit(status);
}

void EndProgramOnSignal(int sig) {
  RunProgramEndWork();
  RestoreTerminal();
  TtyDieOfSignal(sig);
}
