// --help and --version: which argument asks for what, what the texts say
// about the files of a run, and a stdout that cannot take them.

#include "app/command_line.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/login_child.h"

namespace {

using Args = std::vector<std::string_view>;

TEST(CommandLine, OnlyHelpAndVersionAreAnsweredTheFirstOfThemWins) {
  EXPECT_EQ(ReadCommandLine({}), CommandLineRequest::kNone);
  EXPECT_EQ(ReadCommandLine(Args{"--help"}), CommandLineRequest::kHelp);
  EXPECT_EQ(ReadCommandLine(Args{"--version"}), CommandLineRequest::kVersion);
  EXPECT_EQ(ReadCommandLine(Args{"x", "--version", "--help"}), CommandLineRequest::kVersion);
  EXPECT_EQ(ReadCommandLine(Args{"--help", "--version"}), CommandLineRequest::kHelp);
  // Anything else is ignored, as the program always ignored its arguments.
  EXPECT_EQ(ReadCommandLine(Args{"-h", "--helpme", "help", "-V", "--Version", ""}),
            CommandLineRequest::kNone);
}

ProgramPlaces BuildTree() {
  ProgramPlaces places;
  places.workDir = "/src/build/bin";
  places.configFile = "/src/build/bin/Q7m_Uart.cfg";
  return places;
}

ProgramPlaces Installed() {
  ProgramPlaces places;
  places.installed = true;
  places.home = "/home/ann";
  places.workDir = "/home/ann/.local/state/q7m-uart";
  places.systemConfigFile = "/etc/q7m-uart/Q7m_Uart.cfg";
  places.userConfigFile = "/home/ann/.config/q7m-uart/Q7m_Uart.cfg";
  places.configFile = places.systemConfigFile;
  return places;
}

// The longest real-time lines: refused, with a memory-lock limit too low.
const RealTimePermission kRefused{false, 0, 64 * 1024, false};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CommandLine, HelpNamesTheProgramItsOptionsAndTheFilesOfThisRun) {
  const std::string uart = HelpText(ProgramKind::kUart, BuildTree(), kRefused);
  EXPECT_EQ(uart.rfind("Usage: q7m-uart [--help | --version]\n", 0), 0u) << uart;
  for (const char* text : {"Q7M PCIe board", "--help", "--version", "other arguments are",
                           "/src/build/bin/Q7m_Uart.cfg", "/src/build/bin/Term.txt",
                           "/src/build/bin/PCIAccessDll.log", "Q7M_PCI_LOG_DIR", "q7m-uart(1)"}) {
    EXPECT_NE(uart.find(text), std::string::npos) << "missing " << text << ":\n" << uart;
  }
  EXPECT_EQ(uart.find("Q7m_Config.bin"), std::string::npos) << "q7m-inspect's file";

  const std::string inspect = HelpText(ProgramKind::kInspect, Installed(), kRefused);
  EXPECT_EQ(inspect.rfind("Usage: q7m-inspect ", 0), 0u) << inspect;
  for (const char* text :
       {"/etc/q7m-uart/Q7m_Uart.cfg\n", "only its baud rate is used",
        "/home/ann/.config/q7m-uart/Q7m_Uart.cfg", "/home/ann/.local/state/q7m-uart/Q7m_Config.bin",
        "/home/ann/.local/state/q7m-uart/PCIAccessDll.log", "q7m-inspect-sim"}) {
    EXPECT_NE(inspect.find(text), std::string::npos) << "missing " << text << ":\n" << inspect;
  }
  EXPECT_EQ(inspect.find("Term.txt"), std::string::npos);

  // With the user's own configuration read, the install's is named apart.
  ProgramPlaces own = Installed();
  own.configFile = own.userConfigFile;
  const std::string mine = HelpText(ProgramKind::kUart, own, kRefused);
  EXPECT_NE(mine.find("configuration       /home/ann/.config/q7m-uart/Q7m_Uart.cfg"),
            std::string::npos)
      << mine;
  EXPECT_NE(mine.find("(the installed one is /etc/q7m-uart/Q7m_Uart.cfg)"), std::string::npos)
      << mine;

  // No home folder: the files go where the program is started.
  ProgramPlaces homeless = Installed();
  homeless.workDir.clear();
  EXPECT_NE(HelpText(ProgramKind::kUart, homeless, kRefused)
                .find("Term.txt in the folder it is started from"),
            std::string::npos);

  // The bridge's help lists its options and the files it uses: no capture
  // of its own but the --log file.
  const std::string bridge = HelpText(ProgramKind::kBridge, Installed(), kRefused);
  EXPECT_NE(bridge.find("Usage: q7m-uart-bridge [options]"), std::string::npos);
  EXPECT_NE(bridge.find("--route N"), std::string::npos);
  EXPECT_NE(bridge.find("(only its baud rate is used; it may be missing)"), std::string::npos);
  EXPECT_EQ(bridge.find("Term.txt"), std::string::npos);

  for (const auto& text : {uart, inspect, mine, bridge}) {
    for (const auto& line : Lines(text)) EXPECT_LE(line.size(), 80u) << line;
  }
}

// --help of each program, answered in a child that looks like the login.
std::string HelpIn(const LoginLimits& login, ProgramKind program, int& status) {
  const auto child = RunInLogin(login, [program] {
    char name[] = "q7m";
    char help[] = "--help";
    char* argv[] = {name, help, nullptr};
    const auto answered = AnswerCommandLine(program, 2, argv);
    return answered ? *answered : 92;
  });
  status = child.LimitRefused() ? -2 : child.status;
  return child.output;
}

constexpr ProgramKind kPrograms[] = {ProgramKind::kUart, ProgramKind::kInspect,
                                     ProgramKind::kBridge};

TEST(CommandLine, HelpSaysWhetherThisLoginMayUseRealTimeWakeUpsAndHowToGetThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  if (!RootGetsRoundRobinHere()) GTEST_SKIP() << "this machine refuses root real-time scheduling";
  for (const ProgramKind program : kPrograms) {
    int status = -1;
    const std::string root = HelpIn({}, program, status);
    ASSERT_EQ(status, 0) << root;
    EXPECT_NE(root.find("\nReal-time wake-ups: permitted to this login.\n"), std::string::npos)
        << root;
    EXPECT_EQ(root.find("adduser"), std::string::npos) << root;

    const std::string nobody =
        HelpIn({.rtprio = 0, .memlock = std::nullopt, .asNobody = true, .keepSysNice = false},
               program, status);
    ASSERT_EQ(status, 0) << nobody;
    for (const char* text :
         {"Real-time wake-ups: not permitted", "sudo adduser $USER q7m", "log in again"}) {
      EXPECT_NE(nobody.find(text), std::string::npos) << "missing " << text << ":\n" << nobody;
    }
    for (const auto& line : Lines(nobody)) EXPECT_LE(line.size(), 80u) << line;
  }
}

TEST(CommandLine, HelpOfALoginWithTheGroupsRtprioLimitSaysPermitted) {
  if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
  if (!RootGetsRoundRobinHere()) GTEST_SKIP() << "this machine refuses root real-time scheduling";
  for (const ProgramKind program : kPrograms) {
    int status = -1;
    // What /etc/security/limits.d/q7m-uart.conf gives a member of q7m.
    const std::string member =
        HelpIn({.rtprio = 1, .memlock = 8192 * 1024, .asNobody = true, .keepSysNice = false},
               program, status);
    if (status == -2) GTEST_SKIP() << kCannotRaiseLimit;
    ASSERT_EQ(status, 0) << member;
    EXPECT_NE(member.find("\nReal-time wake-ups: permitted to this login.\n"), std::string::npos)
        << member;
    EXPECT_EQ(member.find("Locked memory"), std::string::npos) << member;
  }
}

TEST(CommandLine, VersionIsNameAndVersionFirst) {
  EXPECT_EQ(Lines(VersionText(ProgramKind::kUart)).at(0), "q7m-uart " Q7M_VERSION);
  EXPECT_EQ(Lines(VersionText(ProgramKind::kInspect)).at(0), "q7m-inspect " Q7M_VERSION);
  EXPECT_EQ(Lines(VersionText(ProgramKind::kBridge)).at(0), "q7m-uart-bridge " Q7M_VERSION);
}

// In a child whose stdout is /dev/full, where every write fails.
int AnswerIntoAFullDevice(const char* argument) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (std::freopen("/dev/full", "w", stdout) == nullptr) ::_exit(90);
    if (std::freopen("/dev/null", "w", stderr) == nullptr) ::_exit(91);
    char name[] = "q7m-uart";
    std::string copy = argument;
    char* argv[] = {name, copy.data(), nullptr};
    const auto status = AnswerCommandLine(ProgramKind::kUart, 2, argv);
    ::_exit(status ? *status : 92);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CommandLine, AStdoutThatCannotTakeTheAnswerGivesStatusOne) {
  EXPECT_EQ(AnswerIntoAFullDevice("--version"), 1);
  EXPECT_EQ(AnswerIntoAFullDevice("--help"), 1);
  EXPECT_EQ(AnswerIntoAFullDevice("--other"), 92) << "no answer: the program starts";
}

}  // namespace
