// Each way the board opening can fail, run in a child process: the exact
// line, the wait for a key, Close where it belongs, and the program's end
// with status 0 and the line to show again in the shell.

#include <gtest/gtest.h>

#include <cstdio>

#include "app/settings.h"
#include "board/pcie_library.h"
#include "console/memory_console.h"
#include "console/program_end.h"
#include "tests/support/screen_helpers.h"
#include "tests/support/sim_api.h"

namespace {

// Opens the board with the named library; a key arrives at 400 ms. Before the
// child exits, it reports on stderr what the screen showed, when it ended and,
// when the library stayed loaded for inspection, how often Close was called.
void OpenWith(const std::string& library) {
  InitSettings();
  MemoryConsole& console = AttachMemoryConsole();
  console.PushKey(" ", 400);
  PcieLibraryName = library;
  void* keep = dlopen(library.c_str(), RTLD_NOW | RTLD_NODELETE);
  try {
    InitPcieDllAccess();
    std::fprintf(stderr, "opened\n");
    std::exit(7);
  } catch (const ProgramEnd& end) {
    std::fprintf(stderr, "row1=[%s] at=%llu\n", ScreenLine(1).c_str(),
                 static_cast<unsigned long long>(console.NowMsValue()));
    if (keep != nullptr) {
      auto counts = reinterpret_cast<decltype(&SimGetCallCounts)>(dlsym(keep, "SimGetCallCounts"));
      SimCallCounts calls{};
      counts(&calls);
      std::fprintf(stderr, "close=%u\n", calls.close);
    }
    // The line the shell shows again once the terminal is given back.
    std::fprintf(stderr, "line=[%s]\n", end.line.c_str());
    std::exit(end.status);
  }
}

TEST(BindingFailureDeathTest, MissingLibrary) {
  EXPECT_EXIT(OpenWith("/nonexistent/libPCIAccessDll.so"), ::testing::ExitedWithCode(0),
              "row1=\\[InitPcieDllAccess failed - invalid dll handle\\] at=4[0-9][0-9]\n"
              "line=\\[InitPcieDllAccess failed - invalid dll handle\\]");
}

TEST(BindingFailureDeathTest, LibraryWithoutAllocateMemory) {
  EXPECT_EXIT(OpenWith(SimLibraryPath("no_allocate")), ::testing::ExitedWithCode(0),
              "row1=\\[InitPcieDllAccess failed - at least a function pointer is null\\] "
              "at=4[0-9][0-9]\nclose=0\nline=\\[InitPcieDllAccess failed - at least a function "
              "pointer is null\\]");
}

TEST(BindingFailureDeathTest, OpenFailsButCloseIsStillCalled) {
  EXPECT_EXIT(OpenWith(SimLibraryPath("init_fails")), ::testing::ExitedWithCode(0),
              "row1=\\[Cannot Open Selected Device\\] at=4[0-9][0-9]\nclose=1\n"
              "line=\\[Cannot Open Selected Device\\]");
}

TEST(BindingFailureDeathTest, MapFails) {
  EXPECT_EXIT(OpenWith(SimLibraryPath("mmap_fails")), ::testing::ExitedWithCode(0),
              "row1=\\[Cannot Map Memory\\] at=4[0-9][0-9]\nclose=1\nline=\\[Cannot Map Memory\\]");
}

TEST(Binding, LibraryWithoutReadBBindsWithAnEmptySlot) {
  PcieLibraryName = SimLibraryPath("no_readb");
  EXPECT_EQ(LoadPcieLibrary(), 0);
  EXPECT_EQ(Pcie.ReadB, nullptr);
  EXPECT_NE(Pcie.WriteB, nullptr);
  EXPECT_NE(Pcie.AllocateMemory, nullptr);
  ClosePcieLibrary();
  EXPECT_FALSE(PcieLibraryLoaded());
}

TEST(Binding, LibraryWithoutARequiredEntryPointStaysLoaded) {
  PcieLibraryName = SimLibraryPath("no_allocate");
  EXPECT_EQ(LoadPcieLibrary(), -20);
  EXPECT_TRUE(PcieLibraryLoaded());
  EXPECT_EQ(Pcie.AllocateMemory, nullptr);
  EXPECT_NE(Pcie.ReleaseMemory, nullptr) << "every slot is resolved, not just up to the gap";
  ClosePcieLibrary();
}

TEST(Binding, MissingLibraryResolvesNothing) {
  PcieLibraryName = "/nonexistent/libPCIAccessDll.so";
  EXPECT_EQ(LoadPcieLibrary(), -21);
  EXPECT_FALSE(PcieLibraryLoaded());
  EXPECT_EQ(Pcie.Close, nullptr);
}

}  // namespace
