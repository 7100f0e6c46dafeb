// The device model on its own, with time handed in by the test.
#include "sim/device_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace q7m::sim {
namespace {

constexpr std::uint32_t kData = kIoWindowOffset + kRegDataPort;
constexpr std::uint32_t kIndex = kIoWindowOffset + kRegIndexPort;
constexpr std::uint64_t kMs = 1'000'000;

class ModelTest : public ::testing::Test {
 protected:
  void RegWrite(std::uint8_t index, std::uint8_t value) {
    model.Write(kIndex, index, now);
    model.Write(kData, value, now);
  }
  std::uint8_t RegRead(std::uint8_t index) {
    model.Write(kIndex, index, now);
    return model.Read(kData, now);
  }
  void Program(std::uint16_t divisor) {
    RegWrite(kRegDivLo, divisor & 0xFF);
    RegWrite(kRegDivHi, divisor >> 8);
    RegWrite(kRegErrStatus, 0xC1);
    RegWrite(kRegCtrl, 1);
  }

  DeviceModel model;
  std::uint64_t now = 5 * kMs;
};

TEST_F(ModelTest, DivisorAndCharacterTime) {
  Program(1085);  // 115200 baud
  EXPECT_EQ(model.Divisor(), 1085);
  EXPECT_EQ(model.CharTimeNs(), 86'800u);  // 10 bits * 1085 / 125 MHz
  EXPECT_TRUE(model.UartEnabled());
  Program(13021);  // 9600 baud
  EXPECT_EQ(model.CharTimeNs(), 1'041'680u);
}

TEST_F(ModelTest, TransmitterBusyForOneCharacterTimePerByte) {
  Program(1085);
  model.Write(kIndex, kRegTxData, now);
  EXPECT_EQ(model.Read(kData, now), 0) << "idle before the first byte";
  const std::uint64_t t0 = now;
  model.Write(kData, 'A', now);
  model.Write(kData, 'B', now);  // queued behind 'A'
  EXPECT_EQ(model.TxBusyUntilNs(), t0 + 2 * 86'800);
  EXPECT_EQ(model.Read(kData, t0 + 2 * 86'800 - 1) & kTxBusy, kTxBusy);
  EXPECT_EQ(model.Read(kData, t0 + 2 * 86'800) & kTxBusy, 0);
  ASSERT_EQ(model.TxLog().size(), 2u);
  EXPECT_EQ(model.TxLog()[0].byte, 'A');
  EXPECT_EQ(model.TxLog()[0].startNs, t0);
  EXPECT_EQ(model.TxLog()[1].byte, 'B');
  EXPECT_EQ(model.TxLog()[1].startNs, t0 + 86'800);

  // A byte written after the line went idle starts at once.
  const std::uint64_t t1 = t0 + 10 * kMs;
  model.Write(kData, 'C', t1);
  EXPECT_EQ(model.TxLog()[2].startNs, t1);
  EXPECT_EQ(model.Read(kData, t1 + 86'799) & kTxBusy, kTxBusy);
  EXPECT_EQ(model.Read(kData, t1 + 86'800) & kTxBusy, 0);
}

TEST_F(ModelTest, FifoOverflowLosesBytesAndSetsFlagsUntilCleared) {
  Program(1085);
  std::string burst;
  for (int i = 0; i < 127; ++i) burst.push_back(static_cast<char>(i));
  model.Inject(burst, now);
  EXPECT_EQ(RegRead(kRegRxStatus), 127) << "full, no error yet";
  EXPECT_EQ(RegRead(kRegErrStatus), 0);

  model.Inject("xy", now);  // bytes 128 and 129 are lost
  EXPECT_EQ(RegRead(kRegRxStatus), 0x80 | 127);
  EXPECT_EQ(RegRead(kRegErrStatus), kErrOverflow);
  EXPECT_EQ(model.RxLostCount(), 2u);
  EXPECT_EQ(model.RxOverflowEvents(), 1u) << "one clear-to-set transition";

  RegWrite(kRegErrStatus, 0xC1);
  EXPECT_EQ(RegRead(kRegRxStatus), 127);
  EXPECT_EQ(RegRead(kRegErrStatus), 0);

  model.Write(kIndex, kRegRxData, now);
  for (int i = 0; i < 127; ++i) ASSERT_EQ(model.Read(kData, now), i) << "FIFO order";
  EXPECT_EQ(RegRead(kRegRxStatus), 0);

  model.Inject(burst + "z", now);
  EXPECT_EQ(model.RxOverflowEvents(), 2u);
}

TEST_F(ModelTest, WireBytesArriveAtTheLineRate) {
  Program(1085);
  const std::uint64_t t0 = now;
  model.Send("abc", 115200, t0);
  const std::uint64_t first = t0 + 86'805;  // 10 bits at 115200 baud, truncated
  model.Advance(first - 1);
  EXPECT_EQ(model.RxFifoLevel(), 0u);
  model.Advance(first);
  EXPECT_EQ(model.RxFifoLevel(), 1u);
  model.Advance(t0 + 260'416);  // third byte: 3 * 10 / 115200 s
  EXPECT_EQ(model.RxFifoLevel(), 3u);

  // A second send queues behind the first, not from its own call time.
  model.Send("d", 115200, t0);
  EXPECT_EQ(model.LineFreeNs(), t0 + 260'416 + 86'805);
  EXPECT_EQ(RegRead(kRegRxStatus), 3);
  model.Write(kIndex, kRegRxData, now);
  std::string got;
  for (int i = 0; i < 3; ++i) got.push_back(static_cast<char>(model.Read(kData, t0 + 260'416)));
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(model.RxFramingErrors(), 0u);
}

TEST_F(ModelTest, MismatchedBaudGivesFramingErrorsAndGarbledBytes) {
  Program(1085);
  model.Send("A", 9600, now);
  model.Advance(now + 10 * kMs);
  EXPECT_EQ(RegRead(kRegRxStatus), 0x80 | 1);
  EXPECT_EQ(RegRead(kRegErrStatus) & kErrFraming, kErrFraming);
  EXPECT_NE(RegRead(kRegRxData), 'A');
  EXPECT_EQ(model.RxFramingErrors(), 1u);
  RegWrite(kRegErrStatus, 0xC1);

  // Within the receiver's tolerance the byte is intact.
  now += 10 * kMs;
  model.Send("B", 115200 * 102 / 100, now);
  model.Advance(now + kMs);
  EXPECT_EQ(RegRead(kRegRxStatus), 1);
  EXPECT_EQ(RegRead(kRegRxData), 'B');
  // Just outside it is not.
  now += kMs;
  model.Send("C", 115200 * 104 / 100, now);
  model.Advance(now + kMs);
  EXPECT_EQ(RegRead(kRegErrStatus), kErrFraming);

  // Mid-bit sampling at twice the rate reads every second bit.
  EXPECT_EQ(SampleMismatchedByte(0x0F, 230400, 115200), 0xF9);
}

TEST_F(ModelTest, IndexIsKeptBetweenDataAccesses) {
  Program(1085);
  model.Inject("hello", now);
  model.Write(kIndex, kRegRxStatus, now);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(model.Read(kData, now), 5);
  EXPECT_EQ(model.Read(kIndex, now), kRegRxStatus);
  model.Write(kIndex, kRegRxData, now);
  std::string got;
  for (int i = 0; i < 5; ++i) got.push_back(static_cast<char>(model.Read(kData, now)));
  EXPECT_EQ(got, "hello");
  EXPECT_EQ(model.RegIndex(), kRegRxData);
}

TEST_F(ModelTest, PlainPortsAndRegistersReadBackWhatWasWritten) {
  model.Write(kIoWindowOffset + kAuxPort, 0, now);
  model.Write(kIoWindowOffset + 0x100, 0x5A, now);
  EXPECT_EQ(model.PortValue(0x100), 0x5A);
  EXPECT_EQ(model.Read(kIoWindowOffset + 0x100, now), 0x5A);
  RegWrite(kRegUartRoute, 4);
  EXPECT_EQ(model.RegValue(kRegUartRoute), 4);
  EXPECT_EQ(model.PortValue(kRegDataPort), 4);
  EXPECT_EQ(model.PortValue(kRegIndexPort), kRegUartRoute);
}

class FakeRemote : public RemoteEnd {
 public:
  void OnConnect(Wire& w, std::uint64_t) override {
    wire = &w;
    events.push_back("connect");
  }
  void OnDisconnect(std::uint64_t) override {
    wire = nullptr;
    events.push_back("disconnect");
  }
  void OnTransmit(std::uint8_t byte, std::uint64_t doneNs) override {
    received.push_back(static_cast<char>(byte));
    doneTimes.push_back(doneNs);
    if (wire != nullptr) wire->Send(std::string(1, static_cast<char>(byte)), 115200, doneNs);
  }
  void OnVscReset(std::uint64_t nowNs) override {
    events.push_back("reset");
    resetAt = nowNs;
  }

  Wire* wire = nullptr;
  std::vector<std::string> events;
  std::string received;
  std::vector<std::uint64_t> doneTimes;
  std::uint64_t resetAt = 0;
};

TEST_F(ModelTest, ResetPulseAndRouteReachTheRemoteEnds) {
  auto remote = std::make_shared<FakeRemote>();
  model.AttachRemote(3, remote);
  EXPECT_TRUE(remote->events.empty()) << "route 0 is selected at power-on";

  RegWrite(kRegVscReset, 0);
  EXPECT_EQ(model.VscResetPulses(), 0u) << "a 0 alone is no pulse";
  RegWrite(kRegVscReset, 1);
  now += 10 * kMs;
  RegWrite(kRegVscReset, 0);
  EXPECT_EQ(model.VscResetPulses(), 1u);
  EXPECT_EQ(model.LastVscResetWidthNs(), 10 * kMs);
  EXPECT_EQ(remote->resetAt, now) << "unrouted ends hear the reset too";

  RegWrite(kRegUartRoute, 3);
  EXPECT_EQ(model.Route(), 3);
  ASSERT_EQ(remote->events.back(), "connect");

  // The connected end gets transmitted bytes when they have fully left, and
  // its echo comes back at the line rate.
  Program(1085);
  const std::uint64_t t0 = now;
  model.Write(kIndex, kRegTxData, now);
  model.Write(kData, 'k', now);
  model.Advance(t0 + 86'799);
  EXPECT_EQ(remote->received, "");
  model.Advance(t0 + 86'800);
  EXPECT_EQ(remote->received, "k");
  EXPECT_EQ(remote->doneTimes[0], t0 + 86'800);
  model.Advance(t0 + 86'800 + 86'805);
  EXPECT_EQ(model.RxFifoLevel(), 1u);

  RegWrite(kRegUartRoute, 1);
  EXPECT_EQ(remote->events.back(), "disconnect");
  model.Write(kIndex, kRegTxData, now);
  model.Write(kData, 'x', now);
  model.Advance(now + kMs);
  EXPECT_EQ(remote->received, "k") << "a disconnected end hears nothing";
}

TEST_F(ModelTest, SetupBlockRecordsWhichBytesWereWritten) {
  for (std::uint32_t i = 0; i < kSetupBlockSize; ++i) {
    if (i == 0x03 || i == 0x0B) continue;
    model.Write(kSetupBlockOffset + i, static_cast<std::uint8_t>(0x10 + i), now);
  }
  std::uint8_t values[kSetupBlockSize];
  std::uint8_t written[kSetupBlockSize];
  model.SetupBlock(values, written);
  for (std::uint32_t i = 0; i < kSetupBlockSize; ++i) {
    const bool skipped = i == 0x03 || i == 0x0B;
    EXPECT_EQ(written[i], skipped ? 0 : 1) << i;
    EXPECT_EQ(values[i], skipped ? 0 : 0x10 + i) << i;
  }
  EXPECT_EQ(model.Read(kSetupBlockOffset + 0x0A, now), 0x1A);
}

TEST_F(ModelTest, CounterAtBarStartIsModelMilliseconds) {
  const std::uint64_t t = 0x12345678ULL * kMs + 999;
  EXPECT_EQ(model.Read(0, t), 0x78);
  EXPECT_EQ(model.Read(1, t), 0x56);
  EXPECT_EQ(model.Read(2, t), 0x34);
  EXPECT_EQ(model.Read(3, t), 0x12);
  model.Write(0, 0xEE, t);
  EXPECT_EQ(model.Read(0, t + kMs), 0x79) << "writes do not stop the counter";
  EXPECT_EQ(model.Read(kBarSize, t), 0xFF);
}

TEST_F(ModelTest, ConfigurationSpace) {
  std::uint8_t c[kConfigSize];
  ASSERT_TRUE(model.ConfigRead(0, kConfigSize, c));
  EXPECT_EQ(c[0], 0x72);
  EXPECT_EQ(c[1], 0x11);
  EXPECT_EQ(c[2], 0x80);
  EXPECT_EQ(c[3], 0x56);
  EXPECT_FALSE(model.ConfigRead(200, 57, c));
  EXPECT_FALSE(model.ConfigRead(257, 0, c));
  EXPECT_TRUE(model.ConfigRead(256, 0, c));

  const std::uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_TRUE(model.ConfigWrite(0x10, 4, ones));  // BAR size probe
  ASSERT_TRUE(model.ConfigRead(0x10, 4, c));
  EXPECT_EQ(c[0] | c[1] << 8 | c[2] << 16 | static_cast<std::uint32_t>(c[3]) << 24,
            ~(kBarSize - 1));
  ASSERT_TRUE(model.ConfigWrite(0, 4, ones));
  EXPECT_EQ(model.VendorId(), kVendorId) << "identity is read-only";
  EXPECT_FALSE(model.ConfigWrite(250, 7, ones));
  EXPECT_EQ(model.ConfigWriteCount(), 2u);
  model.SetDeviceId(0x1234);
  EXPECT_EQ(model.DeviceId(), 0x1234);
}

TEST_F(ModelTest, AccessLogKeepsTheLastMillionEntries) {
  model.Write(kIoWindowOffset + 1, 0xAB, now);
  EXPECT_EQ(model.AccessLog().back().offset, kIoWindowOffset + 1);
  EXPECT_TRUE(model.AccessLog().back().isWrite);
  for (std::size_t i = 0; i < kAccessLogLimit; ++i) model.Read(kIoWindowOffset + 2, now);
  ASSERT_EQ(model.AccessLog().size(), kAccessLogLimit);
  EXPECT_EQ(model.AccessLog().front().offset, kIoWindowOffset + 2) << "oldest entry dropped";
}

TEST_F(ModelTest, ResetReturnsToPowerOn) {
  Program(1085);
  model.Inject("abc", now);
  RegWrite(kRegUartRoute, 2);
  model.Reset(now);
  EXPECT_EQ(model.Divisor(), 0);
  EXPECT_EQ(model.RxFifoLevel(), 0u);
  EXPECT_EQ(model.Route(), 0);
  EXPECT_TRUE(model.AccessLog().empty());
  EXPECT_FALSE(model.UartEnabled());
}

}  // namespace
}  // namespace q7m::sim
