#pragma once
// A test with the simulated board opened through the real binding code and the
// in-memory console, whose virtual clock is also the board's clock.

#include <gtest/gtest.h>

#include <memory>

#include "app/settings.h"
#include "board/pcie_library.h"
#include "console/memory_console.h"
#include "tests/support/sim_api.h"

class SimBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The settings as start-up leaves them.
    InitSettings();
    InitScreenColors();
    InitPortSettings();
    BaudRate = kStartBaudRate;
    console = &AttachMemoryConsole();
    PcieLibraryName = SimLibraryPath();
    // Load the library first so that the board runs on the virtual clock
    // from its first access: the binding's own load then finds it loaded.
    preloaded = dlopen(PcieLibraryName.c_str(), RTLD_NOW);
    sim = std::make_unique<SimApi>(preloaded);
    sim->SimSetClock(&VirtualClock, console);
    sim->SimReset();
    InitPcieDllAccess();
    sim->SimAccessClear();
    sim->SimTxClear();
  }
  void TearDown() override {
    if (PcieLibraryLoaded()) {
      sim->SimSetClock(nullptr, nullptr);
      ClosePcieDllAccess();
    }
    if (preloaded != nullptr) dlclose(preloaded);
    ConsoleDetach();
  }

  static std::uint64_t VirtualClock(void* context) {
    return static_cast<MemoryConsole*>(context)->NowNsValue();
  }

  MemoryConsole* console = nullptr;
  std::unique_ptr<SimApi> sim;
  void* preloaded = nullptr;
};
