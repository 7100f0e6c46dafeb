// The built-in consoles on the device model, driven through the UART
// registers with a test clock: what the remote side prints, and when.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/device_model.h"
#include "sim/flood_text.h"
#include "sim/remote_consoles.h"

namespace q7m::sim {
namespace {

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint32_t kData = kIoWindowOffset + kRegDataPort;
constexpr std::uint32_t kIndex = kIoWindowOffset + kRegIndexPort;
constexpr std::uint16_t kDiv115200 = 1085;
constexpr std::uint16_t kDiv9600 = 13021;

// The board as the library builds it: one VSC7420 on routes 0, 4 and 5, the
// KB20Q on 1, the KB20T on 3, nothing on 2.
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    model.Reset(now);
    model.AttachRemote(0, vsc);
    model.AttachRemote(1, kb20q);
    model.AttachRemote(3, kb20t);
    model.AttachRemote(4, vsc);
    model.AttachRemote(5, vsc);
    Program(kDiv115200);
  }

  void RegWrite(std::uint8_t index, std::uint8_t value) {
    model.Write(kIndex, index, now);
    model.Write(kData, value, now);
  }
  std::uint8_t RegRead(std::uint8_t index) {
    model.Write(kIndex, index, now);
    return model.Read(kData, now);
  }
  void Program(std::uint16_t div) {
    RegWrite(kRegDivLo, static_cast<std::uint8_t>(div & 0xFF));
    RegWrite(kRegDivHi, static_cast<std::uint8_t>(div >> 8));
    RegWrite(kRegErrStatus, 0xC1);
    RegWrite(kRegCtrl, 1);
  }
  void Pulse() {
    RegWrite(kRegVscReset, 1);
    now += 10 * kMs;
    RegWrite(kRegVscReset, 0);
  }
  // Everything waiting in the FIFO now.
  std::string Drain() {
    std::string out;
    for (std::uint8_t n = RegRead(kRegRxStatus) & 0x7F; n > 0; n = RegRead(kRegRxStatus) & 0x7F) {
      model.Write(kIndex, kRegRxData, now);
      for (std::uint8_t i = 0; i < n; ++i) out.push_back(static_cast<char>(model.Read(kData, now)));
    }
    return out;
  }
  // Runs the clock for `ns`, draining every `stepNs` as a fast reader would.
  std::string Run(std::uint64_t ns, std::uint64_t stepNs = 5 * kMs) {
    std::string out;
    const std::uint64_t end = now + ns;
    while (now < end) {
      now = std::min(end, now + stepNs);
      out += Drain();
    }
    return out;
  }
  // Sends bytes the way the terminal does: one at a time, waiting for the
  // transmitter, 10 ms apart; returns what came back meanwhile.
  std::string Type(std::string_view keys) {
    std::string out;
    for (char c : keys) {
      RegWrite(kRegTxData, static_cast<std::uint8_t>(c));
      out += Run(10 * kMs);
    }
    return out;
  }
  // Types a command line and collects its whole answer.
  std::string Command(std::string_view keys) {
    std::string out = Type(keys);
    return out + Run(500 * kMs);
  }

  std::uint64_t now = 1'000 * kMs;
  DeviceModel model;
  std::shared_ptr<VscConsole> vsc = std::make_shared<VscConsole>();
  std::shared_ptr<Kb20Console> kb20q = std::make_shared<Kb20Console>(Kb20Console::Model::kKb20q);
  std::shared_ptr<Kb20Console> kb20t = std::make_shared<Kb20Console>(Kb20Console::Model::kKb20t);
};

TEST_F(ConsoleTest, BootLogFollowsEachResetPulseAtTheLineRate) {
  EXPECT_EQ(Run(3000 * kMs), "") << "silent until something happens";
  Pulse();
  const std::uint64_t start = now + kVscBootDelayNs;
  EXPECT_EQ(Run(kVscBootDelayNs), "") << "nothing during the boot delay";
  ASSERT_EQ(now, start);

  // Byte k (from 1) arrives k character times after the start: the FIFO
  // holds k - 1 bytes just before that moment and k at it. The console talks
  // at the rounded rate, 115207 baud, so it may lag the model's character
  // time by up to a third of a nanosecond per byte.
  const std::uint64_t charNs = model.CharTimeNs();
  ASSERT_EQ(charNs, 86'800u);
  ASSERT_EQ(model.UartBaud(), 115'207u);
  const std::string expected = VscBootLog() + std::string(kVscPrompt);
  std::string got;
  for (std::uint64_t k = 1; k <= expected.size(); ++k) {
    now = start + k * charNs - 1;
    got += Drain();
    ASSERT_EQ(got.size(), k - 1) << "byte " << k << " early";
    now = start + k * charNs + k / 2;
    got += Drain();
    ASSERT_EQ(got.size(), k) << "byte " << k << " late";
  }
  EXPECT_EQ(got, expected);
  EXPECT_GT(got.size(), 2500u) << "a few kilobytes";
  EXPECT_NE(got.find("\x1b[1;32mOK\x1b[0m"), std::string::npos) << "coloured OK marks";
  EXPECT_NE(got.find("\r\n"), std::string::npos);
  EXPECT_EQ(got.find('\n'), got.find("\r\n") + 1) << "lines end in CR LF";
  EXPECT_EQ(model.RxOverflowEvents(), 0u);
  EXPECT_EQ(model.RxFramingErrors(), 0u);
  EXPECT_EQ(vsc->Boots(), 1u);

  Pulse();
  EXPECT_EQ(Run(kVscBootDelayNs + 2000 * kMs), expected) << "every pulse boots again";
}

TEST_F(ConsoleTest, BootLogDoesNotWaitForTheReader) {
  Pulse();
  now += kVscBootDelayNs + 1000 * kMs;  // nobody reads while the log streams
  EXPECT_EQ(Drain().size(), kRxFifoSize);
  EXPECT_EQ(model.RxOverflowEvents(), 1u);
  EXPECT_EQ(model.RxLostCount(), VscBootLog().size() + kVscPrompt.size() - kRxFifoSize);
}

TEST_F(ConsoleTest, InputDuringTheBootIsIgnored) {
  Pulse();
  RegWrite(kRegTxData, 'x');
  RegWrite(kRegTxData, '\r');
  const std::string out = Run(kVscBootDelayNs + 1000 * kMs);
  EXPECT_EQ(out, VscBootLog() + std::string(kVscPrompt));
}

TEST_F(ConsoleTest, CommandLineEchoesAndRunsCommands) {
  EXPECT_EQ(Type("\r"), "\r\nvsc7420# ") << "CR on an empty line gives a prompt";
  EXPECT_EQ(Type("echo hi\r"), "echo hi\r\nhi\r\nvsc7420# ");
  // Backspace and Delete both erase on screen and in the line.
  EXPECT_EQ(Type("echp\b"), "echp\b \b");
  EXPECT_EQ(Type("o x\x7Fyz\r"), "o x\b \byz\r\nyz\r\nvsc7420# ");
  EXPECT_EQ(Type("\b"), "") << "nothing to erase";

  const std::string bad = Command("frobnicate\r");
  EXPECT_EQ(bad, "frobnicate\r\n\x1b[1;31mfrobnicate: command not found\x1b[0m\r\nvsc7420# ");

  const std::string version = Command("version\r");
  EXPECT_NE(version.find("VSC7420"), std::string::npos);
  const std::string ports = Command("ports\r");
  EXPECT_NE(ports.find("\x1b[1;32mup  \x1b[0m"), std::string::npos) << ports;
  EXPECT_NE(ports.find("\x1b[1;31mdown\x1b[0m"), std::string::npos) << ports;
  EXPECT_TRUE(ports.ends_with("\r\nvsc7420# "));
  const std::string help = Command("help\r");
  for (const char* cmd : {"version", "ports", "echo", "clear", "reboot", "flood"}) {
    EXPECT_NE(help.find(cmd), std::string::npos) << cmd;
  }
  const std::string clear = Command("clear\r");
  EXPECT_NE(clear.find("\x1b[J"), std::string::npos);
  EXPECT_EQ(model.RxOverflowEvents(), 0u);
}

TEST_F(ConsoleTest, CtrlCGivesAFreshPromptAndUpRecallsTheLastCommand) {
  EXPECT_EQ(Type("abc\x03"), "abc^C\r\nvsc7420# ");
  EXPECT_EQ(Type("\r"), "\r\nvsc7420# ") << "Ctrl-C emptied the line";

  Type("echo one\r");
  EXPECT_EQ(Type("xy\x1b[A"), "xy\b \b\b \becho one") << "Up replaces the line being typed";
  EXPECT_EQ(Type("\r"), "\r\none\r\nvsc7420# ");
  EXPECT_EQ(Type("\x1b[B\x1b[C\x1b[D"), "") << "other arrows do nothing";
  EXPECT_EQ(Type("\x1b[A\r"), "echo one\r\none\r\nvsc7420# ");
}

TEST_F(ConsoleTest, FloodCommandStreamsCheckableLinesAndCtrlCStopsIt) {
  std::string out = Type("flood 2000\r");
  out += Run(300 * kMs);
  const std::string head = "flood 2000\r\n";
  ASSERT_TRUE(out.starts_with(head));
  EXPECT_EQ(out.substr(head.size(), 2000), FloodText(0, 2000));
  EXPECT_EQ(out.substr(head.size() + 2000), "\r\nvsc7420# ");
  const FloodCheck check = CheckFlood(out);
  EXPECT_TRUE(check.Clean()) << check.problem;
  EXPECT_EQ(check.validLines, 2000 / kFloodLineSize);
  EXPECT_EQ(vsc->Flood().sent, 2000u);
  EXPECT_FALSE(vsc->Flood().active);

  Type("flood 1000000\r");
  EXPECT_TRUE(vsc->Flood().active);
  std::string stopped = Type("\x03");
  stopped += Run(50 * kMs);
  EXPECT_FALSE(vsc->Flood().active);
  EXPECT_LT(vsc->Flood().sent, 10'000u);
  EXPECT_TRUE(stopped.ends_with("^C\r\nvsc7420# ")) << stopped.substr(stopped.size() - 40);
  EXPECT_EQ(Run(100 * kMs), "") << "nothing more after the prompt";

  const std::string usage = Type("flood lots\r");
  EXPECT_NE(usage.find("usage: flood"), std::string::npos);
}

TEST_F(ConsoleTest, CtrlCStopsAFloodAtOnceWhateverCameBeforeItAndWhenever) {
  const std::string prompt = "^C\r\nvsc7420# ";
  // Whatever the console was reading: an Esc key, an arrow or a function
  // key's sequence cut short.
  for (const std::string before : {"", "\x1b", "\x1b[", "\x1b[1;5", "\x1bO"}) {
    Type("flood 1000000\r");
    Run(20 * kMs);
    ASSERT_TRUE(vsc->Flood().active);
    std::string out = Type(before);
    out += Type("\x03");
    out += Run(20 * kMs);
    EXPECT_FALSE(vsc->Flood().active) << "after \"\\x" << (before.empty() ? "" : "1b")
                                      << before.substr(before.empty() ? 0 : 1) << "\"";
    EXPECT_TRUE(out.ends_with(prompt))
        << out.substr(out.size() - std::min<std::size_t>(40, out.size()));
    EXPECT_EQ(Run(100 * kMs), "") << "nothing more after the prompt";
  }
  // Whenever it comes and however the UART is read meanwhile (every 0 to
  // 10 ms, which the FIFO outlasts at this rate): the flood stops at the
  // byte's arrival, and the prompt is the last thing said.
  std::mt19937 random(26);
  for (int run = 0; run < 200; ++run) {
    Type("flood 1000000\r");
    const std::uint64_t started = model.TxBusyUntilNs();  // the CR's arrival
    std::string out;
    for (auto steps = random() % 40; steps-- > 0;) out += Run(random() % (10 * kMs) + 1, kMs);
    RegWrite(kRegTxData, 3);
    const std::uint64_t arrives = model.TxBusyUntilNs();
    while (now < arrives + 20 * kMs) out += Run(random() % (10 * kMs) + 1, 10 * kMs);
    ASSERT_FALSE(vsc->Flood().active) << "run " << run;
    ASSERT_TRUE(out.ends_with(prompt)) << "run " << run;
    const std::uint64_t floodBytes = vsc->Flood().sent;
    EXPECT_LE(floodBytes, (arrives - started) / model.CharTimeNs()) << "none after the Ctrl-C";
    EXPECT_EQ(Run(100 * kMs), "") << "run " << run;
    EXPECT_EQ(vsc->Flood().sent, floodBytes);
  }
}

TEST_F(ConsoleTest, RebootPrintsTheBootLogAgainAfterAPause) {
  const std::string first = Type("reboot\r");
  EXPECT_TRUE(first.starts_with("reboot\r\n\x1b[1;33mRestarting system...\x1b[0m\r\n")) << first;
  EXPECT_EQ(Run(kVscRebootPauseNs - 20 * kMs), "") << "pause before the log";
  const std::string log = Run(1000 * kMs);
  EXPECT_EQ(log, VscBootLog() + std::string(kVscPrompt));
  EXPECT_EQ(vsc->Boots(), 1u);
}

TEST_F(ConsoleTest, EachRouteConnectsItsOwnConsole) {
  RegWrite(kRegUartRoute, 3);
  EXPECT_EQ(Type("\r"), "\r\nkb20t:~$ ");
  const std::string status = Command("status\r");
  EXPECT_NE(status.find("\x1b[1;36mKB20T\x1b[0m"), std::string::npos) << status;
  EXPECT_NE(status.find("\x1b[1;32mOK\x1b[0m"), std::string::npos);
  EXPECT_TRUE(Type("uptime\r").starts_with("uptime\r\nup 0 days, 00:00:"));

  RegWrite(kRegUartRoute, 1);
  EXPECT_EQ(Type("\r"), "\r\nKB20Q> ");
  EXPECT_NE(Command("help\r").find("KB20Q monitor"), std::string::npos);
  EXPECT_NE(Command("foo\r").find("\x1b[1;31mfoo: command not found"), std::string::npos);

  RegWrite(kRegUartRoute, 2);
  EXPECT_EQ(Command("help\r"), "") << "nothing on J27";

  for (std::uint8_t route : {0, 4, 5}) {
    RegWrite(kRegUartRoute, route);
    EXPECT_EQ(Type("\r"), "\r\nvsc7420# ") << "route " << int{route};
  }
}

TEST_F(ConsoleTest, OutputFollowsTheProgrammedBaudRate) {
  Program(kDiv9600);
  RegWrite(kRegUartRoute, 1);
  RegWrite(kRegTxData, '\r');
  now = model.TxBusyUntilNs();
  model.Advance(now);
  const std::uint64_t start = now;
  const std::uint64_t charNs = model.CharTimeNs();  // 1.04 ms
  std::vector<std::uint64_t> arrivals;
  std::string got;
  while (got.size() < 9 && now < start + 20 * kMs) {
    now += 1000;
    const std::string d = Drain();
    for (std::size_t i = 0; i < d.size(); ++i) arrivals.push_back(now);
    got += d;
  }
  EXPECT_EQ(got, "\r\nKB20Q> ");
  for (std::size_t k = 0; k < arrivals.size(); ++k) {
    const double expect = static_cast<double>(start + (k + 1) * charNs);
    EXPECT_NEAR(static_cast<double>(arrivals[k]), expect, 1000.0) << "byte " << k;
  }
  EXPECT_EQ(model.RxFramingErrors(), 0u);
}

TEST_F(ConsoleTest, OutputWhileDisconnectedIsLost) {
  RegWrite(kRegUartRoute, 1);
  Pulse();
  now += kVscBootDelayNs + 100 * kMs;  // the VSC7420 is part-way through its log
  model.Advance(now);
  RegWrite(kRegUartRoute, 0);
  const std::string rest = Run(1000 * kMs);
  const std::string full = VscBootLog() + std::string(kVscPrompt);
  ASSERT_FALSE(rest.empty());
  EXPECT_LT(rest.size(), full.size() - 1000);
  EXPECT_TRUE(full.ends_with(rest)) << "the tail of the log, from where the line was switched";
}

}  // namespace
}  // namespace q7m::sim
