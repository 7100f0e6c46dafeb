// The built simulated access libraries, loaded with dlopen by path the way a
// program binds them, and driven through their entry points and mapping.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "include/PCIAccessDll.h"
#include "sim/receive_tally.h"
#include "sim/sim_control.h"
#include "tests/support/loaded_library.h"

namespace {

// Atomic, not plain: the model reads the clock from inside the fault handler,
// and a plain variable's stores could be moved past the trapped accesses.
std::atomic<std::uint64_t> g_clockNs{0};
std::uint64_t VirtualClock(void*) {
  return g_clockNs.load();
}

constexpr std::uint32_t kWindow = 0x1B000;

class AccessLibraryTest : public ::testing::Test {
 protected:
  static const Loaded& Lib() {
    static Loaded lib(std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so");
    return lib;
  }

  void SetUp() override {
    ASSERT_TRUE(Lib().ok()) << dlerror();
    g_clockNs = 1'000'000'000;
    Q7M_SYM(Lib(), SimSetClock)(VirtualClock, nullptr);
    Q7M_SYM(Lib(), SimReset)();
  }
  void TearDown() override {
    if (base != nullptr) Q7M_SYM(Lib(), MUnmap)(base);
    Q7M_SYM(Lib(), SimSetClock)(nullptr, nullptr);
  }

  volatile std::uint8_t* Map() {
    EXPECT_EQ(Q7M_SYM(Lib(), Mmap)(&base, 0, 0), 0);
    return static_cast<volatile std::uint8_t*>(base);
  }
  void RegWrite(volatile std::uint8_t* b, std::uint8_t index, std::uint8_t value) {
    b[kWindow + 0x353] = index;
    b[kWindow + 0x352] = value;
  }
  std::uint8_t RegRead(volatile std::uint8_t* b, std::uint8_t index) {
    b[kWindow + 0x353] = index;
    return b[kWindow + 0x352];
  }
  std::vector<SimAccess> Log() {
    std::vector<SimAccess> out(Q7M_SYM(Lib(), SimAccessCount)());
    for (std::size_t i = 0; i < out.size(); ++i) Q7M_SYM(Lib(), SimAccessGet)(i, &out[i]);
    return out;
  }

  void* base = nullptr;
};

TEST_F(AccessLibraryTest, OpensOnlyTheQ7mAndReadsItsConfigurationSpace) {
  const auto& lib = Lib();
  EXPECT_EQ(Q7M_SYM(lib, InitPCIAccess)(0x1172, 0x5680, 0), 0);
  EXPECT_NE(Q7M_SYM(lib, InitPCIAccess)(0x1172, 0x5681, 0), 0);

  std::array<std::uint8_t, 256> shadow{};
  std::array<std::uint8_t, 256> truth{};
  ASSERT_EQ(Q7M_SYM(lib, ReadWriteConfigSpace)(shadow.data(), 256, 0, -1), 0);
  Q7M_SYM(lib, SimConfigRead)(truth.data());
  EXPECT_EQ(shadow, truth);
  EXPECT_EQ(shadow[0] | shadow[1] << 8, 0x1172);
  EXPECT_EQ(shadow[2] | shadow[3] << 8, 0x5680);
  EXPECT_NE(Q7M_SYM(lib, ReadWriteConfigSpace)(shadow.data(), 256, 1, -1), 0);
  EXPECT_NE(Q7M_SYM(lib, ReadWriteConfigSpace)(shadow.data(), 4, 0, 1), 0) << "bad direction";

  shadow[0x3C] = 0x05;
  ASSERT_EQ(Q7M_SYM(lib, ReadWriteConfigSpace)(shadow.data(), 256, 0, 0), 0);
  Q7M_SYM(lib, SimConfigRead)(truth.data());
  EXPECT_EQ(truth[0x3C], 0x05);
  EXPECT_EQ(Q7M_SYM(lib, SimConfigWriteCount)(), 1u);

  Q7M_SYM(lib, SimConfigSetDeviceId)(0x1234);
  EXPECT_NE(Q7M_SYM(lib, InitPCIAccess)(0x1172, 0x5680, 0), 0);
  SimCallCounts counts{};
  Q7M_SYM(lib, SimGetCallCounts)(&counts);
  EXPECT_EQ(counts.init, 3u);
}

TEST_F(AccessLibraryTest, MappedByteAccessesReachTheModelOnceInOrder) {
  const auto& lib = Lib();
  auto* b = Map();
  ASSERT_NE(b, nullptr);
  Q7M_SYM(lib, SimAccessClear)();

  b[kWindow + 0x2A4] = 0;
  RegWrite(b, 8, 3);
  const std::vector<SimAccess> log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].offset, kWindow + 0x2A4);
  EXPECT_EQ(log[1].offset, kWindow + 0x353);
  EXPECT_EQ(log[1].value, 8);
  EXPECT_EQ(log[2].offset, kWindow + 0x352);
  EXPECT_EQ(log[2].value, 3);
  for (const auto& a : log) {
    EXPECT_EQ(a.isWrite, 1);
    EXPECT_EQ(a.wide, 0);
    EXPECT_EQ(a.timeNs, g_clockNs.load());
  }
  EXPECT_EQ(Q7M_SYM(lib, SimRegValue)(8), 3);
  EXPECT_EQ(Q7M_SYM(lib, SimRegIndex)(), 8);
  EXPECT_EQ(Q7M_SYM(lib, SimPortValue)(0x2A4), 0);

  // The driver's set-up, then received bytes read back through loads.
  RegWrite(b, 0, 0x3D);
  RegWrite(b, 1, 0x04);
  RegWrite(b, 6, 0xC1);
  RegWrite(b, 3, 1);
  EXPECT_EQ(Q7M_SYM(lib, SimUartDivisor)(), 1085u);
  EXPECT_EQ(Q7M_SYM(lib, SimUartEnabled)(), 1);
  const std::string hello = "hello";
  Q7M_SYM(lib, SimRxInject)(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size());
  EXPECT_EQ(RegRead(b, 5), 5);
  b[kWindow + 0x353] = 4;
  std::string got;
  for (int i = 0; i < 5; ++i) got.push_back(static_cast<char>(b[kWindow + 0x352]));
  EXPECT_EQ(got, hello);
  EXPECT_EQ(RegRead(b, 5), 0);
  const SimAccess last = Log().back();
  EXPECT_EQ(last.isWrite, 0);
  EXPECT_EQ(last.offset, kWindow + 0x352);
}

TEST_F(AccessLibraryTest, TransmitterTimingFollowsTheInjectedClock) {
  const auto& lib = Lib();
  auto* b = Map();
  RegWrite(b, 0, 0x3D);
  RegWrite(b, 1, 0x04);
  b[kWindow + 0x353] = 2;
  EXPECT_EQ(b[kWindow + 0x352] & 2, 0);
  const std::uint64_t t0 = g_clockNs.load();
  b[kWindow + 0x352] = 'Q';
  EXPECT_EQ(b[kWindow + 0x352] & 2, 2);
  g_clockNs = t0 + 86'799;
  EXPECT_EQ(b[kWindow + 0x352] & 2, 2);
  g_clockNs = t0 + 86'800;
  EXPECT_EQ(b[kWindow + 0x352] & 2, 0);
  ASSERT_EQ(Q7M_SYM(lib, SimTxCount)(), 1u);
  std::uint8_t byte = 0;
  std::uint64_t start = 0;
  ASSERT_EQ(Q7M_SYM(lib, SimTxGet)(0, &byte, &start), 0);
  EXPECT_EQ(byte, 'Q');
  EXPECT_EQ(start, t0);
  EXPECT_EQ(Q7M_SYM(lib, SimTxBusyUntilNs)(), t0 + 86'800);
  EXPECT_NE(Q7M_SYM(lib, SimTxGet)(1, &byte, &start), 0);
}

TEST_F(AccessLibraryTest, WireAtTheWrongBaudGivesFramingErrors) {
  const auto& lib = Lib();
  auto* b = Map();
  RegWrite(b, 0, 0x3D);
  RegWrite(b, 1, 0x04);
  const std::uint8_t bytes[2] = {'o', 'k'};
  Q7M_SYM(lib, SimRxWire)(bytes, 2, 9600);
  EXPECT_EQ(Q7M_SYM(lib, SimRxFifoLevel)(), 0u) << "still on the wire";
  g_clockNs += 2'083'333;  // two characters at 9600 baud
  EXPECT_EQ(RegRead(b, 5), 0x80 | 2);
  EXPECT_EQ(RegRead(b, 6) & 1, 1);
  EXPECT_EQ(Q7M_SYM(lib, SimRxFramingErrors)(), 2u);
  EXPECT_EQ(Q7M_SYM(lib, SimRxLostCount)(), 0u);
  EXPECT_EQ(Q7M_SYM(lib, SimRxOverflowEvents)(), 0u);
}

TEST_F(AccessLibraryTest, SetupBlockAndResetPulseThroughTheMapping) {
  const auto& lib = Lib();
  auto* b = Map();
  b[0x1C000] = 0x04;
  b[0x1C00A] = 0x37;
  std::uint8_t values[16];
  std::uint8_t written[16];
  Q7M_SYM(lib, SimSetupBlockRead)(values, written);
  EXPECT_EQ(written[0], 1);
  EXPECT_EQ(written[0x0A], 1);
  EXPECT_EQ(written[0x03], 0);
  EXPECT_EQ(values[0x0A], 0x37);

  RegWrite(b, 7, 1);
  g_clockNs += 10'000'000;
  RegWrite(b, 7, 0);
  EXPECT_EQ(Q7M_SYM(lib, SimVscResetPulses)(), 1u);
  EXPECT_EQ(Q7M_SYM(lib, SimVscResetWidthNs)(), 10'000'000u);
}

TEST_F(AccessLibraryTest, ByteAndWideEntryPointsOnBarZero) {
  const auto& lib = Lib();
  auto readB = Q7M_SYM(lib, ReadB);
  auto writeB = Q7M_SYM(lib, WriteB);
  EXPECT_EQ(writeB(3, kWindow + 0x353, 0), 0);
  EXPECT_EQ(readB(kWindow + 0x353, 0), 3);
  EXPECT_EQ(Q7M_SYM(lib, SimRegIndex)(), 3);
  EXPECT_EQ(readB(0x1FFFF, 0), 0);
  EXPECT_EQ(readB(0x20000, 0), -1);
  EXPECT_EQ(readB(0, 1), -1);
  EXPECT_NE(writeB(1, 0, 2), 0);
  const std::vector<SimAccess> log = Log();
  ASSERT_EQ(log.size(), 3u) << "ReadB/WriteB are logged like mapped accesses";
  EXPECT_EQ(log[1].offset, kWindow + 0x353);
  EXPECT_EQ(log[1].isWrite, 0);

  g_clockNs = 1234ULL * 1'000'000 + 5;
  EXPECT_EQ(Q7M_SYM(lib, ReadDW)(0, 0), 1234) << "free-running millisecond counter";
  EXPECT_EQ(Q7M_SYM(lib, WriteDW)(0xA1B2C3D4, 0x100, 0), 0);
  EXPECT_EQ(static_cast<std::uint32_t>(Q7M_SYM(lib, ReadDW)(0x100, 0)), 0xA1B2C3D4u);
  EXPECT_EQ(Q7M_SYM(lib, ReadW)(0x102, 0), 0xA1B2);
  EXPECT_EQ(Q7M_SYM(lib, WriteW)(0xBEEF, 0x1FFFE, 0), 0);
  EXPECT_EQ(Q7M_SYM(lib, WriteW)(0xBEEF, 0x1FFFF, 0), -1);
  EXPECT_EQ(Q7M_SYM(lib, ReadDW)(0x100, 1), -1);

  const std::array<std::uint32_t, 3> out = {1, 2, 0xFFFFFFFF};
  std::array<std::uint32_t, 3> in{};
  EXPECT_EQ(Q7M_SYM(lib, WriteDWBuffer)(out.data(), 3, 0x200, 0), 0);
  EXPECT_EQ(Q7M_SYM(lib, ReadDWBuffer)(in.data(), 3, 0x200, 0), 0);
  EXPECT_EQ(in, out);
  EXPECT_EQ(Q7M_SYM(lib, ReadDWBuffer)(in.data(), 1, 0x1FFFD, 0), -1);
  EXPECT_EQ(Q7M_SYM(lib, ReadDWBuffer)(in.data(), -1, 0, 0), -1);
}

TEST_F(AccessLibraryTest, AllocatedMemoryIsZeroedAndReleasedOnce) {
  const auto& lib = Lib();
  void* p = nullptr;
  ASSERT_EQ(Q7M_SYM(lib, AllocateMemory)(&p, 64), 0);
  ASSERT_NE(p, nullptr);
  const auto* bytes = static_cast<const std::uint8_t*>(p);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bytes[i], 0);
  EXPECT_EQ(Q7M_SYM(lib, ReleaseMemory)(p), 0);
  EXPECT_NE(Q7M_SYM(lib, ReleaseMemory)(p), 0);
  EXPECT_NE(Q7M_SYM(lib, AllocateMemory)(&p, 0), 0);
}

TEST_F(AccessLibraryTest, MappingLifecycleAndCloseOrder) {
  const auto& lib = Lib();
  struct sigaction beforeSegv {};
  struct sigaction beforeTrap {};
  sigaction(SIGSEGV, nullptr, &beforeSegv);
  sigaction(SIGTRAP, nullptr, &beforeTrap);

  auto* b = Map();
  ASSERT_NE(b, nullptr);
  void* again = nullptr;
  EXPECT_NE(Q7M_SYM(lib, Mmap)(&again, 0, 0), 0) << "one mapping at a time";
  EXPECT_EQ(again, nullptr);
  struct sigaction during {};
  sigaction(SIGSEGV, nullptr, &during);
  EXPECT_NE(during.sa_sigaction, beforeSegv.sa_sigaction);

  EXPECT_NE(Q7M_SYM(lib, MUnmap)(reinterpret_cast<void*>(0x1000)), 0);
  EXPECT_EQ(Q7M_SYM(lib, MUnmap)(base), 0);
  void* unmapped = base;
  base = nullptr;
  EXPECT_EQ(Q7M_SYM(lib, Close)(), 0);

  struct sigaction afterSegv {};
  struct sigaction afterTrap {};
  sigaction(SIGSEGV, nullptr, &afterSegv);
  sigaction(SIGTRAP, nullptr, &afterTrap);
  EXPECT_EQ(afterSegv.sa_sigaction, beforeSegv.sa_sigaction);
  EXPECT_EQ(afterTrap.sa_sigaction, beforeTrap.sa_sigaction);

  EXPECT_STREQ(Q7M_SYM(lib, SimCloseOrder)(), "MMC");
  SimCallCounts counts{};
  Q7M_SYM(lib, SimGetCallCounts)(&counts);
  EXPECT_EQ(counts.mmap, 2u);
  EXPECT_EQ(counts.munmap, 2u);
  EXPECT_EQ(counts.close, 1u);
  EXPECT_EQ(counts.lastMunmapBase, unmapped);
  EXPECT_EQ(counts.mappedBase, nullptr);
}

std::string Variant(const char* name) {
  return std::string(Q7M_BUILD_DIR) + "/sim-variants/" + name + "/libPCIAccessDll.so";
}

TEST(AccessLibraryVariantTest, EachVariantFailsInItsOwnWay) {
  {
    Loaded lib(Variant("no_allocate"));
    ASSERT_TRUE(lib.ok()) << dlerror();
    EXPECT_FALSE(lib.Has("AllocateMemory"));
    EXPECT_TRUE(lib.Has("ReleaseMemory"));
    EXPECT_TRUE(lib.Has("SimReset"));
  }
  {
    Loaded lib(Variant("no_readb"));
    ASSERT_TRUE(lib.ok()) << dlerror();
    EXPECT_FALSE(lib.Has("ReadB"));
    for (const char* name : {"WriteB", "ReadW", "WriteW", "AllocateMemory", "SimReset"}) {
      EXPECT_TRUE(lib.Has(name)) << name;
    }
  }
  {
    Loaded lib(Variant("init_fails"));
    ASSERT_TRUE(lib.ok()) << dlerror();
    EXPECT_EQ(Q7M_SYM(lib, InitPCIAccess)(0x1172, 0x5680, 0), 1);
  }
  {
    Loaded lib(Variant("mmap_fails"));
    ASSERT_TRUE(lib.ok()) << dlerror();
    EXPECT_EQ(Q7M_SYM(lib, InitPCIAccess)(0x1172, 0x5680, 0), 0);
    void* base = nullptr;
    EXPECT_EQ(Q7M_SYM(lib, Mmap)(&base, 0, 0), -1);
    EXPECT_EQ(base, nullptr);
  }
}

TEST(AccessLibraryExportsTest, OnlyEntryPointsAndSimFunctionsAreExported) {
  Loaded lib(std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so");
  ASSERT_TRUE(lib.ok()) << dlerror();
  for (const char* name : {"InitPCIAccess", "Close", "ReadDW", "WriteDW", "ReadW", "WriteW",
                           "ReadB", "WriteB", "ReadDWBuffer", "WriteDWBuffer", "AllocateMemory",
                           "ReleaseMemory", "ReadWriteConfigSpace", "Mmap", "MUnmap"}) {
    EXPECT_TRUE(lib.Has(name)) << name;
  }
  EXPECT_FALSE(lib.Has("_ZN3q7m3sim11DeviceModel4ReadEjm")) << "model internals stay hidden";
}

}  // namespace

// The receive tally a test reads after the program ended however it ended:
// a copy of the library, so that it reads Q7M_SIM_RX_COUNT when loaded.
TEST(AccessLibraryTallyTest, KeepsBytesOverflowsAndTheLongestPollGapInTheFile) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("q7m-sim-tally-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::filesystem::path copy = dir / "libPCIAccessDll.so";
  std::filesystem::copy_file(std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so", copy);
  const std::filesystem::path file = dir / "tally";
  ::setenv("Q7M_SIM_RX_COUNT", file.c_str(), 1);
  {
    Loaded lib(copy.string());
    ::unsetenv("Q7M_SIM_RX_COUNT");
    ASSERT_TRUE(lib.ok()) << dlerror();
    const auto tally = [&] {
      q7m::sim::ReceiveTally t;
      std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(&t), sizeof t);
      return t;
    };
    g_clockNs = 1'000'000'000;
    Q7M_SYM(lib, SimSetClock)(VirtualClock, nullptr);
    Q7M_SYM(lib, SimReset)();
    void* base = nullptr;
    ASSERT_EQ(Q7M_SYM(lib, Mmap)(&base, 0, 0), 0);
    auto* b = static_cast<volatile std::uint8_t*>(base);
    const auto read = [&](std::uint8_t index) -> std::uint8_t {
      b[kWindow + 0x353] = index;
      return b[kWindow + 0x352];
    };
    const auto setUp = [&] {
      b[kWindow + 0x353] = 3;
      b[kWindow + 0x352] = 1;
    };
    setUp();
    for (const std::uint64_t at : {0, 5, 30, 31}) {
      g_clockNs = 1'000'000'000 + at * 1'000'000;
      (void)read(5);
    }
    EXPECT_EQ(tally().maxGapUs, 25'000u);
    EXPECT_NE(tally().maxGapEndUs, 0u);
    EXPECT_EQ(tally().overflows, 0u);

    const std::vector<std::uint8_t> burst(200, 'x');
    Q7M_SYM(lib, SimRxInject)(burst.data(), burst.size());
    const std::uint8_t waiting = read(5) & 0x7F;
    EXPECT_EQ(tally().overflows, 1u) << "seen at the status read after it";
    for (std::uint8_t i = 0; i < waiting; ++i) (void)read(4);
    EXPECT_EQ(tally().rxBytes, waiting);
    EXPECT_EQ(waiting, 127);

    // A screen that sets the UART up again starts afresh: the time between
    // is no gap.
    g_clockNs += 100'000'000;
    setUp();
    (void)read(5);
    g_clockNs += 1'000'000;
    (void)read(5);
    EXPECT_EQ(tally().maxGapUs, 25'000u);

    EXPECT_EQ(Q7M_SYM(lib, MUnmap)(base), 0);
    Q7M_SYM(lib, SimSetClock)(nullptr, nullptr);
  }
  std::filesystem::remove_all(dir);
}
