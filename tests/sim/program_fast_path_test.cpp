// The program's own board accessors, as compiled in this build, on the
// mapping of the built simulated library: their byte accesses must all be
// decoded in the handler, none single-stepped.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "board/board_io.h"
#include "board/pcie_library.h"
#include "include/PCIAccessDll.h"
#include "sim/sim_control.h"
#include "tests/support/sim_mapping_fixture.h"
#include "uart/uart.h"

namespace {

void Say(std::string_view) {}

class ProgramFastPathTest : public SimMappingTest {
 protected:
  std::uint64_t SlowPath() { return Q7M_SYM(handle, SimWindowSlowPathCount)(); }
  std::string Warning() { return Q7M_SYM(handle, SimLastWindowWarning)(); }
  std::size_t Accesses() { return Q7M_SYM(handle, SimAccessCount)(); }
};

constexpr std::int32_t kPort = 0x352;
constexpr std::int32_t kRegBase = 0;

TEST_F(ProgramFastPathTest, UartDriverSequenceNeedsNoSingleStep) {
  LoadSetupBlock(0);
  ASSERT_TRUE(UartInit(UartClockHz, 115200, kPort, kRegBase, Say));
  UartSendStr(kPort, kRegBase, "Q7M", Say);
  const std::string incoming = "hello, world";
  Q7M_SYM(handle, SimRxInject)
  (reinterpret_cast<const std::uint8_t*>(incoming.data()), incoming.size());
  const std::int32_t waiting = UartRxCount(kPort, kRegBase);
  std::string text;
  std::int32_t failed = -1;
  UartRcvStr(kPort, kRegBase, waiting, 1000, text, 1, failed, Say);
  BoardPortWrite(0x2A4, 0x5A);
  const std::uint8_t control = BoardRegRead(kPort, kRegBase + kUartCtrl);

  // The sequence did what it does on the board...
  EXPECT_EQ(Q7M_SYM(handle, SimUartDivisor)(), UartDivisor(UartClockHz, 115200));
  EXPECT_EQ(Q7M_SYM(handle, SimUartEnabled)(), 1);
  ASSERT_EQ(Q7M_SYM(handle, SimTxCount)(), 3u);
  std::string sent;
  for (std::size_t i = 0; i < 3; ++i) {
    std::uint8_t byte = 0;
    Q7M_SYM(handle, SimTxGet)(i, &byte, nullptr);
    sent.push_back(static_cast<char>(byte));
  }
  EXPECT_EQ(sent, "Q7M");
  EXPECT_EQ(waiting, static_cast<std::int32_t>(incoming.size()));
  EXPECT_EQ(text, incoming);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(Q7M_SYM(handle, SimPortValue)(0x2A4), 0x5A);
  EXPECT_EQ(control, Q7M_SYM(handle, SimRegValue)(kRegBase + kUartCtrl));
  std::uint8_t setup[16] = {};
  std::uint8_t written[16] = {};
  Q7M_SYM(handle, SimSetupBlockRead)(setup, written);
  EXPECT_EQ(setup[0x0F], 0x63);
  EXPECT_EQ(written[0x03], 0) << "offset 0x03 is never written";

  // ...with every access reaching the model once, none of them single-stepped.
  EXPECT_GT(Accesses(), incoming.size() + 14 + 3);
  EXPECT_EQ(SlowPath(), 0u) << Warning();
  EXPECT_EQ(Warning(), "");
}

TEST_F(ProgramFastPathTest, TheLibraryCountsAccessesItCouldNotDecode) {
  // A 16-bit load, which no accessor of the program makes.
  auto* port = static_cast<volatile std::uint16_t*>(
      static_cast<void*>(BoardMemBase + kBoardIoWindowOffset + 0x2A4));
  const std::size_t before = Accesses();
  const std::uint16_t value = *port;
  (void)value;
  EXPECT_EQ(Accesses(), before + 1);
  EXPECT_EQ(SlowPath(), 1u);
  EXPECT_NE(Warning().find("undecoded access form"), std::string::npos) << Warning();
  BoardPortWrite(0x2A4, 1);
  EXPECT_EQ(SlowPath(), 1u) << "a byte store is decoded again";
}

}  // namespace
