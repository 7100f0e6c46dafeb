#pragma once
// The built simulated library loaded on its own and its window mapped as the
// program's board accessors see it (BoardMemBase), on a clock the test sets.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "board/board_io.h"
#include "board/pcie_library.h"
#include "include/PCIAccessDll.h"
#include "sim/sim_control.h"

template <typename F>
F* SimSymbol(void* handle, const char* name) {
  return reinterpret_cast<F*>(dlsym(handle, name));
}
#define Q7M_SYM(handle, name) SimSymbol<decltype(name)>(handle, #name)

class SimMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so";
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    ClockNs() = 1'000'000'000;
    Q7M_SYM(handle, SimSetClock)(Clock, nullptr);
    Q7M_SYM(handle, SimReset)();
    ASSERT_EQ(Q7M_SYM(handle, Mmap)(&base, 0, 0), 0);
    BoardMemBase = static_cast<std::uint8_t*>(base);
  }
  void TearDown() override {
    BoardMemBase = nullptr;
    if (handle == nullptr) return;
    if (base != nullptr) Q7M_SYM(handle, MUnmap)(base);
    Q7M_SYM(handle, SimSetClock)(nullptr, nullptr);
    dlclose(handle);
  }

  // The board's clock, which only the test moves.
  static std::atomic<std::uint64_t>& ClockNs() {
    static std::atomic<std::uint64_t> now{0};
    return now;
  }
  static std::uint64_t Clock(void*) { return ClockNs().load(); }

  void* handle = nullptr;
  void* base = nullptr;
};
