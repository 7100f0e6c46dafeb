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
    InitSettings();
    console = &AttachMemoryConsole();
    PcieLibraryName = SimLibraryPath();
    InitPcieDllAccess();
    sim = std::make_unique<SimApi>(PcieLibraryHandle());
    sim->SimSetClock(&VirtualClock, console);
    sim->SimAccessClear();
    sim->SimTxClear();
  }
  void TearDown() override {
    if (PcieLibraryLoaded()) {
      sim->SimSetClock(nullptr, nullptr);
      ClosePcieDllAccess();
    }
    ConsoleDetach();
  }

  static std::uint64_t VirtualClock(void* context) {
    return static_cast<MemoryConsole*>(context)->NowNsValue();
  }

  MemoryConsole* console = nullptr;
  std::unique_ptr<SimApi> sim;
};
