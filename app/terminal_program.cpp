#include "app/terminal_program.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "console/console.h"
#include "console/program_end.h"
#include "console/terminal_console.h"
#include "console/tty.h"
#include "uart/thread_tasks.h"

int RunOnTerminal(std::string_view programName, const std::function<void(TaskHost&)>& body) {
  std::string error;
  std::unique_ptr<ConsoleBackend> backend = OpenTerminalConsole(error);
  if (!backend) {
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(programName.size()), programName.data(),
                 error.c_str());
    return 1;
  }
  ConsoleAttach(std::move(backend), std::max(kLayoutRows, TerminalRows()), kLayoutCols);
  ProgramEnd end;
  ThreadTaskHost tasks;
  try {
    body(tasks);
  } catch (ProgramEnd& ended) {
    end = std::move(ended);
  }
  // Every owner below has cleaned up by now: the terminal goes back last.
  ConsoleDetach();
  if (!end.line.empty()) {
    std::fprintf(stderr, "%s\n", end.line.c_str());
    std::fflush(stderr);
  }
  if (end.signal != 0) TtyDieOfSignal(end.signal);
  return end.status;
}
