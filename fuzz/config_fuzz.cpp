// libFuzzer harness for the configuration loader: each input becomes
// Q7m_Uart.cfg in a private temporary directory and is loaded. Error reports
// wait for a key, so a key is supplied whenever the in-memory console runs
// out. Afterwards the tables must be within their bounds and the baud rate
// usable; the input is also read as a number and searched for as a file name.

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "config/config_file.h"
#include "config/host_files.h"
#include "config/messages.h"
#include "config/number_reader.h"
#include "console/memory_console.h"
#include "uart/uart.h"

namespace {

std::filesystem::path& WorkDir() {
  static std::filesystem::path dir;
  return dir;
}

void RemoveWorkDir() {
  std::error_code ignored;
  std::filesystem::remove_all(WorkDir(), ignored);
}

MemoryConsole& Console() {
  static MemoryConsole& console = []() -> MemoryConsole& {
    MemoryConsole& attached = AttachMemoryConsole();
    // Each report costs 10 ms of virtual time; never let the clock run out.
    attached.SetTimeLimitMs(std::numeric_limits<std::uint64_t>::max() / 2000000);
    attached.onAdvance = [&attached](std::uint64_t) {
      if (attached.KeysLeft() == 0) attached.PushKey("x");
    };
    return attached;
  }();
  return console;
}

// The loader reads the current directory, but libFuzzer resolves its corpus
// and artifact paths against the directory it was started in: step into the
// work directory only while an input is handled.
class InWorkDir {
 public:
  InWorkDir() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(WorkDir());
  }
  ~InWorkDir() { std::filesystem::current_path(previous_); }
  InWorkDir(const InWorkDir&) = delete;
  InWorkDir& operator=(const InWorkDir&) = delete;

 private:
  std::filesystem::path previous_;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (std::filesystem::temp_directory_path() / "q7m-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  WorkDir() = pattern;
  std::atexit(RemoveWorkDir);
  InitSettings();
  Console();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const InWorkDir inWorkDir;
  {
    std::ofstream file("Q7m_Uart.cfg", std::ios::binary | std::ios::trunc);
    file.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  Console();
  try {
    LoadConfig({.baudRateUsable = UartBaudRateUsable});
  } catch (const ScriptExhausted&) {
    return 0;
  }
  Check(BaudRate == kStartBaudRate || UartBaudRateUsable(BaudRate));
  for (int slot = 1; slot <= kMacroSlots; ++slot) {
    Check(MacroCount[slot] >= 0 && MacroCount[slot] < kMacroPlaces);
  }
  Check(HelpCount >= 0 && HelpCount <= kHelpLinesMax);

  const double value = ReadNumberValue(input);
  Check(std::isfinite(value));
  const std::int64_t rounded = ReadRoundedInteger(input);
  Check(std::fabs(static_cast<double>(rounded) - value) <= 0.5 || std::fabs(value) >= 9.2e18);
  (void)SaturateInt32(rounded);

  // Only names inside the work directory: a path could send the search
  // anywhere on the machine.
  if (input.find('/') == std::string_view::npos) (void)FileExists(input);
  return 0;
}
