#include "sim/remote_consoles.h"

#include <cstdio>
#include <string>

namespace q7m::sim {
namespace {

// Colours within the subset the terminal shows: bold, the eight foreground
// colours and a reset. Backgrounds are avoided because the terminal adds
// background codes together.
constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kGreen = "\x1b[1;32m";
constexpr std::string_view kYellow = "\x1b[1;33m";
constexpr std::string_view kRed = "\x1b[1;31m";
constexpr std::string_view kCyan = "\x1b[1;36m";
constexpr std::string_view kWhite = "\x1b[1;37m";
constexpr std::string_view kBlue = "\x1b[34m";
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
constexpr std::uint64_t kFloodCommandLimit = 100'000'000;

std::string Ok(std::string_view what) {
  std::string s = "[ ";
  s.append(kGreen).append("OK").append(kReset).append(" ] ").append(what).append("\r\n");
  return s;
}

std::string Warn(std::string_view what) {
  std::string s = "[";
  s.append(kYellow).append("WARN").append(kReset).append("] ").append(what).append("\r\n");
  return s;
}

std::string Colored(std::string_view colour, std::string_view text) {
  std::string s(colour);
  s.append(text).append(kReset);
  return s;
}

// Leading text of a line, trimmed of spaces on both sides.
std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// A decimal count; false for anything else, including values past the limit.
bool ParseCount(std::string_view s, std::uint64_t limit, std::uint64_t& out) {
  s = Trim(s);
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > limit) return false;
  }
  out = v;
  return true;
}

std::string Uptime(std::uint64_t ns) {
  const std::uint64_t s = ns / kNsPerSecond;
  char buf[64];
  std::snprintf(
      buf, sizeof buf, "up %llu days, %02llu:%02llu:%02llu\r\n",
      static_cast<unsigned long long>(s / 86400), static_cast<unsigned long long>(s / 3600 % 24),
      static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
  return buf;
}

}  // namespace

std::string VscBootLog() {
  std::string s;
  s.append(kReset).append("\r\n");
  s.append("+SPI: Boot from SPI flash, 16 MB, quad mode off\r\n");
  s.append(Colored(kWhite, "RedBoot(tm) bootstrap and debug environment [ROMRAM]")).append("\r\n");
  s.append("Non-certified release, version 1_36-Vitesse - built 14:02:11, Mar  3 2021\r\n");
  s.append("Copyright (C) 2000-2012 Free Software Foundation, Inc.\r\n\r\n");
  s.append("Platform: VCore-III (MIPS32 24KEc) CARACAL VSC7420\r\n");
  s.append("RAM: 0x80000000-0x88000000 [0x80024348-0x87fe1000 available]\r\n");
  s.append("FLASH: 0x40000000-0x40ffffff, 256 x 0x10000 blocks\r\n");
  s.append("== Executing boot script in 1.000 seconds - enter ^C to abort\r\n");
  s.append("RedBoot> fis load -d managed\r\n");
  s.append("Image loaded from 0x80040000-0x80a5c420\r\n");
  s.append("RedBoot> go\r\n\r\n");
  s.append(Colored(kCyan, "Starting WebStaX 3.40.1 on VSC7420-02 (Caracal-1)")).append("\r\n");
  s.append("CPU: 416 MHz, DDR2 128 MB, switch core clock 250 MHz\r\n");
  s.append(Ok("Board identified: Q7M carrier, 10 x 1G ports, 2 x SGMII"));
  s.append(Ok("Serdes6G macros calibrated"));
  s.append(Ok("Serdes1G macros calibrated"));
  s.append(Ok("Packet buffer memory initialized (4 Mbit)"));
  s.append(Ok("MAC table cleared (8192 entries)"));
  s.append(Ok("VLAN table: default VLAN 1, all ports untagged"));
  for (int port = 1; port <= 10; ++port) {
    char line[96];
    std::snprintf(line, sizeof line, "Port %2d: PHY %s at address %2d, %s", port,
                  port <= 8 ? "VSC8512" : "SGMII-serdes", port - 1,
                  port <= 8 ? "copper 10/100/1000" : "fiber 1000BASE-X");
    s.append(Ok(line));
  }
  s.append(Warn("Port 9: SFP module absent, link will stay down"));
  s.append(Warn("Port 10: SFP module absent, link will stay down"));
  s.append(Ok("Loading startup-config from flash (2148 bytes)"));
  s.append(Ok("Spanning tree: RSTP, bridge priority 32768"));
  s.append(Ok("LLDP agent started"));
  s.append(Ok("IGMP snooping enabled on VLAN 1"));
  s.append(Ok("QoS: 8 queues per port, strict priority"));
  s.append(Ok("Management interface vlan 1: 192.168.1.1/24"));
  s.append(Ok("SNMP agent listening on udp/161"));
  s.append(Ok("HTTP server listening on tcp/80"));
  s.append(Ok("SSH server listening on tcp/22"));
  s.append(Ok("Syslog to local buffer (64 kB)"));
  s.append(Ok("Watchdog armed, 30 s"));
  s.append("Link state after start-up:\r\n");
  for (int port = 1; port <= 8; ++port) {
    char line[96];
    const bool up = port % 3 != 0;
    std::snprintf(line, sizeof line, "  Gi 1/%d: %s", port, up ? "up 1Gfdx" : "down");
    s.append(line).append("  ");
    s.append(up ? kGreen : kRed).append(up ? "*" : "-").append(kReset).append("\r\n");
  }
  s.append(Colored(kWhite, "System ready.")).append(" Press ENTER to get started.\r\n\r\n");
  s.append("Username: admin (console auto-login)\r\n\r\n");
  return s;
}

void LineConsole::Restart() {
  PacedRemote::Restart();
  line_.clear();
  last_.clear();
  esc_ = Esc::kNone;
}

void LineConsole::OnTransmit(std::uint8_t byte, std::uint64_t doneNs) {
  if (InputHeld()) return;  // busy booting: the UART talks to nobody
  // Ctrl-C is acted on before anything reads escape sequences, as a line
  // discipline's ISIG is: an ESC or an unfinished sequence before it (a lone
  // Esc key, an arrow cut short) must not swallow it.
  if (byte == 3) {
    esc_ = Esc::kNone;
    DropPending();
    line_.clear();
    Say("^C\r\n", doneNs);
    ShowPrompt(doneNs);
    return;
  }
  if (esc_ == Esc::kEsc) {
    esc_ = byte == '[' ? Esc::kCsi : Esc::kNone;
    return;
  }
  if (esc_ == Esc::kCsi) {
    if (byte >= 0x40 && byte <= 0x7E) {
      esc_ = Esc::kNone;
      if (byte == 'A') Recall(doneNs);
    }
    return;
  }
  switch (byte) {
    case 27:
      esc_ = Esc::kEsc;
      return;
    case '\r':
      Submit(doneNs);
      return;
    case 8:
    case 127:
      if (!line_.empty()) {
        line_.pop_back();
        Say("\b \b", doneNs);
      }
      return;
    default:
      if (byte >= 0x20 && byte < 0x7F && line_.size() < kConsoleLineLimit) {
        line_.push_back(static_cast<char>(byte));
        Say(std::string(1, static_cast<char>(byte)), doneNs);
      }
      return;  // LF and other control bytes are ignored
  }
}

void LineConsole::Recall(std::uint64_t t) {
  std::string out;
  for (std::size_t i = 0; i < line_.size(); ++i) out.append("\b \b");
  line_ = last_;
  out.append(line_);
  Say(out, t);
}

void LineConsole::Submit(std::uint64_t t) {
  Say("\r\n", t);
  const std::string_view line = Trim(line_);
  bool promptNow = true;
  if (!line.empty()) {
    last_ = std::string(line);
    const std::size_t sp = line.find(' ');
    const std::string_view name = line.substr(0, sp);
    const std::string_view args = sp == std::string_view::npos ? "" : Trim(line.substr(sp + 1));
    if (!RunCommon(name, args, t, promptNow)) promptNow = Run(name, args, t);
  }
  line_.clear();
  if (promptNow) ShowPrompt(t);
}

bool LineConsole::RunCommon(std::string_view name, std::string_view args, std::uint64_t t,
                            bool& promptNow) {
  if (name == "echo") {
    Say(args, t);
    Say("\r\n", t);
    return true;
  }
  if (name == "flood") {
    std::uint64_t n = 0;
    if (!ParseCount(args, kFloodCommandLimit, n)) {
      Say(Colored(kRed, "usage: flood <bytes>, at most 100000000"), t);
      Say("\r\n", t);
      return true;
    }
    if (n == 0) return true;
    StartFlood(n, t);
    promptNow = false;
    return true;
  }
  if (name == "clear") {
    // The terminal's ESC [J blanks the rest of a line only, so a screen's
    // worth of blanked lines scrolls everything away.
    std::string out;
    for (int i = 0; i < 25; ++i) out.append("\r\x1b[J\n");
    Say(out, t);
    return true;
  }
  return false;
}

void LineConsole::Unknown(std::string_view name, std::uint64_t t) {
  std::string msg(name);
  msg.append(": command not found");
  Say(Colored(kRed, msg), t);
  Say("\r\n", t);
}

void LineConsole::OnFloodDone(std::uint64_t doneNs) {
  Say("\r\n", doneNs);
  ShowPrompt(doneNs);
}

void VscConsole::Restart() {
  LineConsole::Restart();
  boots_ = 0;
}

void VscConsole::OnVscReset(std::uint64_t nowNs) {
  // A reset cuts off whatever the chip was printing.
  DropPending();
  Boot(nowNs + kVscBootDelayNs);
}

void VscConsole::Boot(std::uint64_t startNs) {
  ++boots_;
  Emit(VscBootLog(), startNs, true);
  ShowPrompt(startNs);
}

bool VscConsole::Run(std::string_view name, std::string_view args, std::uint64_t t) {
  if (name == "help") {
    Say(Colored(kWhite, "Commands:"), t);
    Say("\r\n  help            this list\r\n"
        "  version         firmware and chip version\r\n"
        "  ports           port status table\r\n"
        "  echo <text>     print text\r\n"
        "  clear           clear the screen\r\n"
        "  reboot          restart the switch\r\n"
        "  flood <n>       stream n bytes of numbered test lines\r\n",
        t);
    return true;
  }
  if (name == "version") {
    Say("WebStaX 3.40.1 (build 2021-03-03), RedBoot 1_36\r\n"
        "Chip: VSC7420-02 Caracal-1, revision B\r\n",
        t);
    return true;
  }
  if (name == "ports") {
    std::string out;
    out.append(kWhite).append("Port  Link  Speed  Duplex  Rx pkts   Tx pkts").append(kReset);
    out.append("\r\n");
    for (int port = 1; port <= 10; ++port) {
      const bool up = port <= 8 && port % 3 != 0;
      char row[96];
      std::snprintf(row, sizeof row, "%4d  ", port);
      out.append(row);
      out.append(up ? kGreen : kRed).append(up ? "up  " : "down").append(kReset);
      std::snprintf(row, sizeof row, "  %-5s  %-6s  %8d  %8d\r\n", up ? "1G" : "-",
                    up ? "full" : "-", up ? 1000 * port + 17 : 0, up ? 900 * port + 3 : 0);
      out.append(row);
    }
    Say(out, t);
    return true;
  }
  if (name == "reboot") {
    Say(Colored(kYellow, "Restarting system..."), t);
    Say("\r\n", t);
    Boot(t + kVscRebootPauseNs);
    return false;
  }
  (void)args;
  Unknown(name, t);
  return true;
}

Kb20Console::Kb20Console(Model model)
    : LineConsole(model == Model::kKb20q ? kKb20qPrompt : kKb20tPrompt), model_(model) {}

bool Kb20Console::Run(std::string_view name, std::string_view args, std::uint64_t t) {
  const bool q = model_ == Model::kKb20q;
  if (name == "help") {
    Say(Colored(kWhite, q ? "KB20Q monitor commands:" : "KB20T shell commands:"), t);
    Say("\r\n  help  status  uptime  echo <text>  clear  flood <n>\r\n", t);
    return true;
  }
  if (name == "status") {
    std::string out;
    out.append(kCyan).append(q ? "KB20Q" : "KB20T").append(kReset);
    out.append(q ? " console module, firmware 2.07\r\n" : " console module, firmware 1.12\r\n");
    out.append("  supply 3.3V  ").append(kGreen).append("OK").append(kReset).append("\r\n");
    out.append("  supply 1.2V  ").append(kGreen).append("OK").append(kReset).append("\r\n");
    out.append("  temperature  ").append(kYellow).append(q ? "61 C" : "48 C").append(kReset);
    out.append("\r\n  link         ").append(kBlue).append(q ? "VSC" : "Q7M").append(kReset);
    out.append("\r\n");
    Say(out, t);
    return true;
  }
  if (name == "uptime") {
    Say(Uptime(t - bornNs_), t);
    return true;
  }
  (void)args;
  Unknown(name, t);
  return true;
}

}  // namespace q7m::sim
