// The installed tree (cmake --install into a temporary prefix), the installed
// programs in tmux on the simulated board and on fake sysfs trees, run as
// root and as an ordinary user with home folders of the test's own, the man
// pages, and the Debian package that CPack builds.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pcie-linux/fake_sysfs.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_homes.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;

const std::string kBuild = Q7M_BUILD_DIR;
const std::string kSource = Q7M_SOURCE_DIR;
constexpr uid_t kNobody = 65534;

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Every path under the root, relative, with "/" after folders and " -> target"
// after symbolic links.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    // Lexically: fs::relative would resolve the links.
    const std::string rel = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      entries.insert(rel + " -> " + fs::read_symlink(it->path()).string());
    } else if (it->is_directory()) {
      entries.insert(rel + "/");
    } else {
      entries.insert(rel);
    }
  }
  return entries;
}

std::string Join(const std::set<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The files of an install under its prefix (configuration under etc/).
const std::set<std::string> kInstalledFiles = {
    "bin/",
    "bin/q7m-inspect -> ../lib/q7m-uart/q7m-inspect",
    "bin/q7m-inspect-sim",
    "bin/q7m-uart -> ../lib/q7m-uart/q7m-uart",
    "bin/q7m-uart-bridge -> ../lib/q7m-uart/q7m-uart-bridge",
    "bin/q7m-uart-bridge-sim",
    "bin/q7m-uart-sim",
    "etc/",
    "etc/q7m-uart/",
    "etc/q7m-uart/Q7m_Uart.cfg",
    "etc/q7m-uart/bridge.conf",
    "etc/security/",
    "etc/security/limits.d/",
    "etc/security/limits.d/q7m-uart.conf",
    "lib/",
    "lib/q7m-uart/",
    "lib/q7m-uart/libPCIAccessDll.so",
    "lib/q7m-uart/q7m-inspect",
    "lib/q7m-uart/q7m-uart",
    "lib/q7m-uart/q7m-uart-bridge",
    "lib/q7m-uart/q7m-uart.layout",
    "lib/q7m-uart/sim/",
    "lib/q7m-uart/sim/libPCIAccessDll.so",
    "lib/systemd/",
    "lib/systemd/system/",
    "lib/systemd/system/q7m-uart-bridge@.service",
    "lib/udev/",
    "lib/udev/rules.d/",
    "lib/udev/rules.d/60-q7m-uart.rules",
    "share/",
    "share/doc/",
    "share/doc/q7m-uart/",
    "share/doc/q7m-uart/README.md",
    "share/doc/q7m-uart/README.pcie-linux.md",
    "share/doc/q7m-uart/changelog.gz",
    "share/doc/q7m-uart/copyright",
    "share/doc/q7m-uart/examples/",
    "share/doc/q7m-uart/examples/conserver.cf",
    "share/doc/q7m-uart/examples/labgrid-q7m.yaml",
    "share/doc/q7m-uart/examples/ser2net.yaml",
    "share/man/",
    "share/man/man1/",
    "share/man/man1/q7m-inspect-sim.1.gz -> q7m-inspect.1.gz",
    "share/man/man1/q7m-inspect.1.gz",
    "share/man/man1/q7m-uart-bridge-sim.1.gz -> q7m-uart-bridge.1.gz",
    "share/man/man1/q7m-uart-bridge.1.gz",
    "share/man/man1/q7m-uart-sim.1.gz -> q7m-uart.1.gz",
    "share/man/man1/q7m-uart.1.gz",
};

// The same in the package: the prefix is /usr and the configuration in /etc.
std::set<std::string> PackageFiles() {
  std::set<std::string> files = {"usr/"};
  for (const auto& file : kInstalledFiles) {
    files.insert(file.rfind("etc/", 0) == 0 ? file : "usr/" + file);
  }
  return files;
}

// One installation per test process, shared by its tests.
class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base = fs::temp_directory_path() / ("q7m-install-" + std::to_string(::getpid()));
    fs::remove_all(base);
    fs::create_directories(base);
    // Readable for the ordinary user of the tests.
    fs::permissions(base, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    prefix = base / "prefix";
    install = RunCommand("cmake --install '" + kBuild + "' --prefix '" + prefix.string() + "'");
  }
  static void TearDownTestSuite() { fs::remove_all(base); }
  void SetUp() override { ASSERT_EQ(install.status, 0) << install.output; }

  fs::path Private() const { return prefix / "lib/q7m-uart"; }
  fs::path Etc() const { return prefix / "etc/q7m-uart"; }

  // Root and nobody with fresh home folders of this test's own; skips when
  // that cannot be done here.
  bool UseScratchHomes() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    rootHome = base / ("root-home-" + name);
    userHome = base / ("nobody-home-" + name);
    std::string why;
    if (!homes.Prepare(base / ("homes-" + name), {{0, rootHome}, {kNobody, userHome}}, why)) {
      skipReason = why;
      return false;
    }
    return true;
  }
  static fs::path StateDir(const fs::path& home) { return home / ".local/state/q7m-uart"; }

  std::unique_ptr<TmuxSession> StartInShell(const std::string& command,
                                            std::vector<std::string> environment = {}) {
    TmuxSession::Options options;
    options.directory = base.string();
    options.environment = std::move(environment);
    auto session = ::StartInShell(command, options);
    EXPECT_TRUE(session->Started()) << "no tmux";
    return session;
  }

  // q7m-uart-sim as the user: the menu, route 2 (silent) and back, quit. The
  // baud rate the terminal shows is returned.
  std::string RunTerminalOnce(uid_t uid, const fs::path& launcher) {
    auto session = StartInShell(homes.As(uid, launcher.string()));
    EXPECT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:", std::chrono::seconds(10)))
        << session->Capture();
    session->SendText("2");
    EXPECT_TRUE(session->WaitForText("CON-5Pins Console")) << session->Capture();
    std::string header;
    for (const auto& line : session->Lines()) {
      if (line.find("CON-5Pins Console") != std::string::npos) header = line;
    }
    session->SendKeys({"S-F2"});
    EXPECT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
    session->SendText("q");
    EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
    const auto at = header.find("Baud: ");
    return at == std::string::npos ? header : header.substr(at + 6);
  }

  static fs::path base, prefix;
  static CommandResult install;
  ScratchHomes homes;
  fs::path rootHome, userHome;
  std::string skipReason;
};
fs::path Installed::base, Installed::prefix;
CommandResult Installed::install;

// The environment of the installed q7m-uart on a fake sysfs tree. Under
// AddressSanitizer dlopen is intercepted and glibc then reads the RUNPATH of
// libasan instead of the program's (google/sanitizers#1219), so there the
// private folder is named explicitly; the plain build checks RUNPATH $ORIGIN.
std::vector<std::string> SysfsEnvironment(const fs::path& tree, const fs::path& privateDir) {
  std::vector<std::string> environment = {"Q7M_PCI_SYSFS_ROOT=" + tree.string()};
#ifdef Q7M_SANITIZED
  environment.push_back("LD_LIBRARY_PATH=" + privateDir.string());
#else
  (void)privateDir;
#endif
  return environment;
}

FakeDevice Device(const std::string& address, std::uint16_t vendor, std::uint16_t device) {
  FakeDevice dev;
  dev.address = address;
  dev.vendor = vendor;
  dev.device = device;
  return dev;
}

// The program the pane's shell started (through unshare and setpriv, which
// exec it, and the shells between): the first descendant of that name.
std::optional<int> ProgramPid(TmuxSession& session, const std::string& program) {
  std::vector<std::string> parents = {session.Format("#{pane_pid}")};
  for (int depth = 0; depth < 4 && !parents.empty(); ++depth) {
    std::vector<std::string> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::ifstream stat(entry.path() / "stat");
      std::string pid, comm, state, ppid;
      if (!(stat >> pid >> comm >> state >> ppid)) continue;
      if (std::find(parents.begin(), parents.end(), ppid) == parents.end()) continue;
      if (comm == "(" + program.substr(0, 15) + ")") return std::stoi(pid);
      children.push_back(pid);
    }
    parents = children;
  }
  return std::nullopt;
}

// The libraries and files that program has mapped.
std::string MappedFiles(TmuxSession& session, const std::string& program) {
  const auto pid = ProgramPid(session, program);
  return pid ? ReadWholeFile("/proc/" + std::to_string(*pid) + "/maps") : std::string();
}

bool Executable(const fs::path& path) {
  return (fs::status(path).permissions() & fs::perms::others_exec) != fs::perms::none;
}

TEST_F(Installed, TreeHoldsProgramsLibrariesLayoutConfigurationRuleManPagesAndDocsOnly) {
  EXPECT_EQ(Join(Tree(prefix)), Join(kInstalledFiles))
      << "no tests, no sim-variants libraries, nothing else";

  // The links resolve into the private folder, where RUNPATH $ORIGIN points.
  EXPECT_EQ(fs::canonical(prefix / "bin/q7m-uart"), fs::canonical(Private() / "q7m-uart"));
  for (const char* program : {"q7m-uart", "q7m-inspect", "q7m-uart-bridge"}) {
    const std::string path = (Private() / program).string();
    const auto dynamic = RunCommand("readelf -d '" + path + "'");
    EXPECT_NE(dynamic.output.find("(RUNPATH)            Library runpath: [$ORIGIN]"),
              std::string::npos)
        << program << ":\n"
        << dynamic.output;
    // Hardening: immediate binding, read-only relocations, position independence.
    EXPECT_NE(dynamic.output.find("BIND_NOW"), std::string::npos) << program;
    EXPECT_NE(RunCommand("readelf -lW '" + path + "'").output.find("GNU_RELRO"), std::string::npos)
        << program;
    EXPECT_NE(RunCommand("readelf -h '" + path + "'").output.find("DYN (Position-Independent"),
              std::string::npos)
        << program;
#ifndef Q7M_SANITIZED
    EXPECT_NE(RunCommand("nm -D '" + path + "'").output.find("_chk@"), std::string::npos)
        << program << " calls fortified libc functions";
#endif
  }

  // The real access library beside the programs, the simulated one apart.
  EXPECT_EQ(ReadWholeFile(Private() / "libPCIAccessDll.so"),
            ReadWholeFile(kBuild + "/pcie-linux/libPCIAccessDll.so"));
  EXPECT_EQ(ReadWholeFile(Private() / "sim/libPCIAccessDll.so"),
            ReadWholeFile(kBuild + "/sim/libPCIAccessDll.so"));
  EXPECT_EQ(ReadWholeFile(Etc() / "Q7m_Uart.cfg"),
            ReadWholeFile(kSource + "/config/sample/Q7m_Uart.cfg"));
  EXPECT_NE(ReadWholeFile(Private() / "q7m-uart.layout").find("\nconfig " + Etc().string() + "\n"),
            std::string::npos)
      << ReadWholeFile(Private() / "q7m-uart.layout");
  EXPECT_EQ(ReadWholeFile(prefix / "lib/udev/rules.d/60-q7m-uart.rules"),
            ReadWholeFile(kSource + "/packaging/60-q7m-uart.rules"));
  EXPECT_EQ(ReadWholeFile(prefix / "etc/security/limits.d/q7m-uart.conf"),
            ReadWholeFile(kSource + "/packaging/q7m-uart.conf"));

  // The bridge's service names this install's program and settings, and
  // systemd's own check finds nothing to say (the man page it names is
  // checked with the package, where man finds it).
  const fs::path unit = prefix / "lib/systemd/system/q7m-uart-bridge@.service";
  const std::string unitText = ReadWholeFile(unit);
  EXPECT_NE(unitText.find("\nExecStart=" + (prefix / "bin/q7m-uart-bridge").string() + " "),
            std::string::npos)
      << unitText;
  EXPECT_NE(unitText.find("\nEnvironmentFile=-" + (Etc() / "bridge.conf").string() + "\n"),
            std::string::npos)
      << unitText;
  EXPECT_EQ(unitText.find("@Q7M_"), std::string::npos) << "a placeholder is left:\n" << unitText;
  const auto verify = RunCommand("cd / && systemd-analyze verify --man=no '" + unit.string() + "'");
  EXPECT_EQ(verify.status, 0) << verify.output;
  EXPECT_EQ(verify.output, "") << "not even a warning";
  EXPECT_EQ(ReadWholeFile(Etc() / "bridge.conf"),
            ReadWholeFile(kSource + "/packaging/bridge.conf"));
  for (const char* example : {"conserver.cf", "ser2net.yaml", "labgrid-q7m.yaml"}) {
    EXPECT_EQ(ReadWholeFile(prefix / "share/doc/q7m-uart/examples" / example),
              ReadWholeFile(kSource + "/examples/" + example))
        << example;
  }

  // The launchers name the installed folder, not the build tree.
  for (const char* launcher :
       {"bin/q7m-uart-sim", "bin/q7m-inspect-sim", "bin/q7m-uart-bridge-sim"}) {
    const std::string text = ReadWholeFile(prefix / launcher);
    EXPECT_EQ(text.find(kBuild), std::string::npos) << text;
    EXPECT_TRUE(Executable(prefix / launcher)) << launcher;
  }
}

TEST_F(Installed, SimLaunchersRunTheirProgramsOnTheInstalledSimulatedBoard) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const auto before = Tree(prefix);
  struct Case {
    const char* launcher;
    const char* program;
    const char* menu;
  };
  for (const Case& c : {Case{"bin/q7m-uart-sim", "q7m-uart", "Q7M UART IO port 0x352:"},
                        Case{"bin/q7m-inspect-sim", "q7m-inspect", "Q7M Inspect:"}}) {
    auto session = StartInShell(homes.As(0, (prefix / c.launcher).string()));
    ASSERT_TRUE(session->WaitForLine(c.menu, std::chrono::seconds(10))) << session->Capture();
    const std::string maps = MappedFiles(*session, c.program);
    EXPECT_NE(maps.find((Private() / "sim/libPCIAccessDll.so").string()), std::string::npos)
        << c.launcher << ":\n"
        << maps;
    EXPECT_EQ(maps.find(kBuild), std::string::npos) << "nothing from the build tree:\n" << maps;
    session->SendText("q");
    EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
    EXPECT_EQ(session->Format("#{alternate_on}"), "0");
  }
  EXPECT_EQ(Join(Tree(prefix)), Join(before)) << "root writes nothing into the install";
  EXPECT_TRUE(fs::is_directory(StateDir(rootHome)));
}

TEST_F(Installed, RealLibraryOnAFakeTreeWithTheBoardShowsTheRoutingMenu) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const fs::path tree = base / "sysfs-board";
  AddFakeDevice(tree, Device("0000:00:1f.0", 0x8086, 0x1234));
  FakeDevice board = Device("0000:03:00.0", 0x1172, 0x5680);
  // BAR 0 reaches past the set-up block at 0x1C000.
  board.bars = {{0, 0x20000}, {2, 0x1000}};
  AddFakeDevice(tree, board);

  // Started through the link in bin/, so $ORIGIN must be the private folder.
  auto session = StartInShell(homes.As(0, (prefix / "bin/q7m-uart").string()),
                              SysfsEnvironment(tree, Private()));
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:", std::chrono::seconds(10)))
      << session->Capture() << ReadWholeFile(StateDir(rootHome) / "PCIAccessDll.log");
  const std::string maps = MappedFiles(*session, "q7m-uart");
  EXPECT_NE(maps.find((Private() / "libPCIAccessDll.so").string()), std::string::npos) << maps;
  EXPECT_NE(maps.find((tree / "0000:03:00.0/resource0").string()), std::string::npos)
      << "BAR 0 of the board is mapped:\n"
      << maps;

  session->SendText("q");
  EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  // The set-up block landed in the board's memory (offset 0x1C000, byte 0x0F).
  const std::string bar0 = ReadWholeFile(tree / "0000:03:00.0/resource0");
  ASSERT_EQ(bar0.size(), 0x20000u);
  EXPECT_EQ(static_cast<unsigned char>(bar0[0x1C00F]), 0x63);
  EXPECT_NE(ReadWholeFile(StateDir(rootHome) / "PCIAccessDll.log").find("Mmap: mapped"),
            std::string::npos);
}

TEST_F(Installed, RealLibraryWithoutTheBoardSaysSoAndLogsInTheStateFolder) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const fs::path tree = base / "sysfs-empty";
  AddFakeDevice(tree, Device("0000:00:1f.0", 0x8086, 0x1234));

  auto session = StartInShell(homes.As(kNobody, (prefix / "bin/q7m-uart").string()),
                              SysfsEnvironment(tree, Private()));
  ASSERT_TRUE(session->WaitForLine("Cannot Open Selected Device", std::chrono::seconds(10)))
      << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "1");
  // The message waits for a key: with it on the screen the program sleeps in
  // its one wait, a poll of the terminal (a program that went on would close
  // the board and exit).
  // It runs under unshare and setpriv, a grandchild of the pane's shell.
  const auto pid = ProgramPid(*session, "q7m-uart");
  ASSERT_TRUE(pid.has_value()) << session->Capture();
  EXPECT_TRUE(session->WaitFor([&] {
    return KernelWaitChannel(*pid).find("poll_schedule_timeout") != std::string::npos;
  })) << KernelWaitChannel(*pid);
  EXPECT_EQ(session->Capture().find("EXIT="), std::string::npos) << "the message waits for a key";

  session->SendText("x");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "0") << "the terminal is given back";
  // The line stays visible in the shell, above the status.
  const auto lines = session->Lines();
  const auto message = std::find(lines.begin(), lines.end(), "Cannot Open Selected Device");
  const auto status = std::find(lines.begin(), lines.end(), "EXIT=0");
  EXPECT_TRUE(message != lines.end() && message < status) << session->Capture();

  const std::string log = ReadWholeFile(StateDir(userHome) / "PCIAccessDll.log");
  EXPECT_NE(log.find("no PCI device with vendor 0x1172 device 0x5680"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(Private() / "PCIAccessDll.log"));
}

// Root and an ordinary user each keep "Term.txt" in their own state folder,
// read the install's configuration, and a configuration of their own instead
// once they have one.
TEST_F(Installed, EachUserKeepsTheCaptureInTheirStateFolderAndReadsEtcOrTheirOwn) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const std::string sample = ReadWholeFile(Etc() / "Q7m_Uart.cfg");
  const auto before = Tree(prefix);
  const fs::path launcher = prefix / "bin/q7m-uart-sim";

  EXPECT_EQ(RunTerminalOnce(0, launcher), "115200");
  EXPECT_EQ(RunTerminalOnce(kNobody, launcher), "115200");
  EXPECT_TRUE(fs::exists(StateDir(rootHome) / "Term.txt"));
  EXPECT_TRUE(fs::exists(StateDir(userHome) / "Term.txt"));
  struct stat info {};
  ASSERT_EQ(::stat(StateDir(userHome).c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kNobody) << "the user's folder is the user's";
  EXPECT_EQ(Join(Tree(prefix)), Join(before)) << "nothing is written into the install";

  // The administrator's edit reaches everyone without a file of their own.
  WriteFile(Etc() / "Q7m_Uart.cfg", "#COMMODE 9600\n");
  EXPECT_EQ(RunTerminalOnce(kNobody, launcher), "9600");
  fs::create_directories(userHome / ".config/q7m-uart");
  WriteFile(userHome / ".config/q7m-uart/Q7m_Uart.cfg", "#COMMODE 19200\n");
  EXPECT_EQ(RunTerminalOnce(kNobody, launcher), "19200");
  EXPECT_EQ(RunTerminalOnce(0, launcher), "9600");
  WriteFile(Etc() / "Q7m_Uart.cfg", sample);
}

TEST_F(Installed, FilesOfTheEarlierPerUserFolderAreMovedOnceAndSaidOnce) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const fs::path legacy = userHome / ".q7m-uart";
  fs::create_directories(legacy);
  WriteFile(legacy / "Q7m_Uart.cfg", "#COMMODE 38400\n");
  WriteFile(legacy / "Term.txt", "an earlier capture\n");
  ASSERT_EQ(RunCommand("chown -R 65534:65534 '" + legacy.string() + "'").status, 0);
  const std::string command = homes.As(kNobody, (prefix / "bin/q7m-uart-sim").string());

  {
    auto session = StartInShell(command);
    ASSERT_TRUE(session->WaitForText(
        "Files of ~/.q7m-uart moved to ~/.config/q7m-uart and ~/.local/state/q7m-uart",
        std::chrono::seconds(10)))
        << session->Capture();
    session->SendText(" ");
    ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
    session->SendText("2");
    EXPECT_TRUE(session->WaitForText("Baud: 38400")) << "the moved configuration is read";
    session->SendKeys({"S-F2"});
    ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
    session->SendText("q");
    ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  }
  EXPECT_FALSE(fs::exists(legacy));
  EXPECT_EQ(ReadWholeFile(userHome / ".config/q7m-uart/Q7m_Uart.cfg"), "#COMMODE 38400\n");
  EXPECT_TRUE(fs::exists(StateDir(userHome) / "Term.txt"));

  // The notice would stand before the menu, waiting for a key: a menu drawn
  // without one means it was not shown again.
  auto session = StartInShell(command);
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:", std::chrono::seconds(10)))
      << session->Capture();
  session->SendText("q");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
}

// An install into a folder the user owns keeps everything in it, as the
// build tree does: nothing goes to the home folder.
TEST_F(Installed, AnInstallOfTheUsersOwnKeepsItsFilesBesideTheProgram) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const fs::path own = base / "own-prefix";
  const auto result =
      RunCommand("cmake --install '" + kBuild + "' --prefix '" + own.string() + "'");
  ASSERT_EQ(result.status, 0) << result.output;
  ASSERT_EQ(RunCommand("chown -R 65534:65534 '" + own.string() + "'").status, 0);
  WriteFile(own / "etc/q7m-uart/Q7m_Uart.cfg", "#COMMODE 4800\n");

  EXPECT_EQ(RunTerminalOnce(kNobody, own / "bin/q7m-uart-sim"), "4800")
      << "the install's own configuration";
  EXPECT_TRUE(fs::exists(own / "lib/q7m-uart/Term.txt"));
  EXPECT_FALSE(fs::exists(StateDir(userHome)));
  fs::remove_all(own);
}

// --help and --version on stdout, exit 0, with no terminal and no board: no
// escape sequence, no access library loaded, nothing made.
TEST_F(Installed, HelpAndVersionAnswerWithoutTerminalOrBoardAndNameTheFiles) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const fs::path trace = base / "help-trace";
  for (const char* program :
       {"bin/q7m-uart", "bin/q7m-inspect", "bin/q7m-uart-sim", "bin/q7m-inspect-sim"}) {
    const std::string path = (prefix / program).string();
    const auto help = RunCommand("Q7M_SIM_TRACE=" + trace.string() + " " +
                                 homes.As(kNobody, path + " --help </dev/null 2>/dev/null"));
    EXPECT_EQ(help.status, 0) << program << ":\n" << help.output;
    EXPECT_EQ(help.output.find('\x1B'), std::string::npos) << program << " touched the terminal";
    EXPECT_NE(help.output.find("Usage: q7m-"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find((Etc() / "Q7m_Uart.cfg").string()), std::string::npos)
        << help.output;
    EXPECT_NE(help.output.find((userHome / ".config/q7m-uart/Q7m_Uart.cfg").string()),
              std::string::npos)
        << help.output;
    EXPECT_NE(help.output.find((StateDir(userHome) / "PCIAccessDll.log").string()),
              std::string::npos)
        << help.output;

    const auto version = RunCommand(homes.As(kNobody, path + " --version </dev/null 2>/dev/null"));
    EXPECT_FALSE(fs::exists(StateDir(userHome))) << "answering makes no folder";
    EXPECT_EQ(version.status, 0);
    const std::string name = fs::path(program).filename().string();
    const std::string shown = name.substr(0, name.find("-sim"));
    EXPECT_EQ(version.output.substr(0, version.output.find('\n')), shown + " " + Q7M_VERSION)
        << version.output;

    // Any other argument is ignored: the program starts as usual.
    auto session = StartInShell(homes.As(kNobody, path + " --verbose extra"));
    const char* menu =
        name.find("inspect") != std::string::npos ? "Q7M Inspect:" : "Q7M UART IO port 0x352:";
    if (name.find("-sim") != std::string::npos) {
      ASSERT_TRUE(session->WaitForLine(menu, std::chrono::seconds(10))) << session->Capture();
      session->SendText("q");
      EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
    } else {
      // Without the simulated board the real library finds no board.
      EXPECT_TRUE(session->WaitForText("Cannot Open Selected Device", std::chrono::seconds(10)) ||
                  session->WaitForText("InitPcieDllAccess failed"))
          << session->Capture();
      session->SendText("x");
      EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
    }
    fs::remove_all(StateDir(userHome));
  }
  EXPECT_FALSE(fs::exists(trace)) << "the board was never opened for --help";
}

// The installed bridge as an ordinary user on the installed simulated board:
// its link, its working folder where q7m-uart's is, and its end on SIGTERM.
TEST_F(Installed, TheBridgeRunsAsAUserOnTheInstalledSimulatedBoardAndEndsOnSigterm) {
  if (!UseScratchHomes()) GTEST_SKIP() << skipReason;
  const fs::path link = userHome / "ttyQ7M0";
  const std::string launcher = (prefix / "bin/q7m-uart-bridge-sim").string();
  const auto help = RunCommand(homes.As(kNobody, launcher + " --help </dev/null 2>/dev/null"));
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: q7m-uart-bridge [options]"), std::string::npos) << help.output;
  EXPECT_NE(help.output.find((Etc() / "Q7m_Uart.cfg").string()), std::string::npos) << help.output;
  EXPECT_NE(help.output.find((StateDir(userHome) / "PCIAccessDll.log").string()), std::string::npos)
      << help.output;

  auto session = StartInShell(homes.As(kNobody, launcher + " --route 2 --link " + link.string()));
  ASSERT_TRUE(session->WaitForText("q7m-uart-bridge: the board UART, routing 2 at 115200 baud"))
      << session->Capture();
  EXPECT_EQ(fs::read_symlink(link).string().rfind("/dev/pts/", 0), 0u);
  const std::string maps = MappedFiles(*session, "q7m-uart-bridge");
  EXPECT_NE(maps.find((Private() / "sim/libPCIAccessDll.so").string()), std::string::npos) << maps;
  EXPECT_TRUE(fs::is_directory(StateDir(userHome))) << "its working folder, as q7m-uart's";
  const auto pid = ProgramPid(*session, "q7m-uart-bridge");
  ASSERT_TRUE(pid);
  ::kill(*pid, SIGTERM);
  EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_FALSE(fs::is_symlink(link));
}

TEST_F(Installed, ManPagesRenderWithoutWarningsAndCoverKeysFilesAndExitStatus) {
  for (const char* name : {"q7m-uart.1", "q7m-inspect.1", "q7m-uart-bridge.1"}) {
    const auto groff = RunCommand("groff -man -Tutf8 -ww -z '" + kSource + "/man/" + name + "'");
    EXPECT_EQ(groff.status, 0) << name;
    EXPECT_EQ(groff.output, "") << "groff warnings in " << name;
  }

  // man reads the installed, compressed page; its warnings go to stderr.
  const std::string page = (prefix / "share/man/man1/q7m-uart.1.gz").string();
  const auto warnings = RunCommand("MANWIDTH=80 man --warnings -l '" + page + "' 2>&1 >/dev/null");
  EXPECT_EQ(warnings.output, "");
  const auto rendered =
      RunCommand("MANWIDTH=80 MAN_KEEP_FORMATTING= man -l '" + page + "' 2>/dev/null");
  ASSERT_EQ(rendered.status, 0) << rendered.output;
  for (const char* text : {"NAME",
                           "SYNOPSIS",
                           "--help",
                           "--version",
                           "DESCRIPTION",
                           "ROUTING MENU",
                           "TERMINAL KEYS",
                           "CONFIGURATION FILE",
                           "Macro language",
                           "FILES",
                           "/etc/q7m-uart/Q7m_Uart.cfg",
                           "~/.config/q7m-uart/Q7m_Uart.cfg",
                           "~/.local/state/q7m-uart/",
                           "~/.q7m-uart",
                           "60-q7m-uart.rules",
                           "/etc/security/limits.d/q7m-uart.conf",
                           "ENVIRONMENT",
                           "EXIT STATUS",
                           "SEE ALSO",
                           "q7m-inspect(1)",
                           "#COMMODE",
                           "#HELP",
                           "Shift-F2",
                           "Term.txt",
                           "PCIAccessDll.log",
                           "Q7M_PCI_SYSFS_ROOT",
                           "Q7M_PCI_LOG_DIR",
                           "Q7M_PCI_DEVICE",
                           "Q7M_SIM_BOARDS",
                           "Q7M_SIM_PTY_ROUTES",
                           "Q7M_SIM_TRACE"}) {
    EXPECT_NE(rendered.output.find(text), std::string::npos) << "missing: " << text;
  }
  const auto bridge =
      RunCommand("MANWIDTH=80 man -l '" +
                 (prefix / "share/man/man1/q7m-uart-bridge.1.gz").string() + "' 2>/dev/null");
  ASSERT_EQ(bridge.status, 0) << bridge.output;
  for (const char* text : {"--route",
                           "--baud",
                           "--board",
                           "--link",
                           "--keep",
                           "--log",
                           "--timestamps",
                           "--group",
                           "EXAMPLES",
                           "ser2net",
                           "rfc2217",
                           "ign_set_control",
                           "picocom",
                           "conserver",
                           "labgrid",
                           "q7m-uart-bridge@.service",
                           "/etc/q7m-uart/bridge.conf",
                           "/run/q7m-uart/ttyQ7M",
                           "journalctl",
                           "EXIT STATUS",
                           "SIGTERM",
                           "#COMMODE",
                           "Q7M_PCI_DEVICE",
                           "/etc/security/limits.d/q7m-uart.conf",
                           "LimitRTPRIO=1"}) {
    EXPECT_NE(bridge.output.find(text), std::string::npos) << "bridge page misses: " << text;
  }
  // The launchers' pages are their programs'.
  for (const char* link :
       {"q7m-uart-sim.1.gz", "q7m-inspect-sim.1.gz", "q7m-uart-bridge-sim.1.gz"}) {
    const auto shown =
        RunCommand("MANWIDTH=80 man -l '" + (prefix / "share/man/man1" / link).string() + "'");
    EXPECT_EQ(shown.status, 0) << link;
    EXPECT_NE(shown.output.find(std::string(link).substr(0, std::string(link).find(".1"))),
              std::string::npos)
        << link << " is named on its page:\n"
        << shown.output;
  }
}

TEST_F(Installed, DebianPackageHoldsTheTreeUnderUsrAndEtcWithItsScriptsAndDependencies) {
  const fs::path out = base / "deb";
  const auto cpack = RunCommand("cpack --config '" + kBuild + "/CPackConfig.cmake' -G DEB -B '" +
                                out.string() + "'");
  ASSERT_EQ(cpack.status, 0) << cpack.output;
  fs::path deb;
  for (const auto& entry : fs::directory_iterator(out)) {
    if (entry.path().extension() == ".deb") deb = entry.path();
  }
  ASSERT_FALSE(deb.empty()) << cpack.output;
  EXPECT_EQ(deb.filename().string().rfind("q7m-uart_", 0), 0u) << deb;

  // dpkg -c: "perms owner size date time ./path[ -> target]".
  const auto listing = RunCommand("dpkg -c '" + deb.string() + "'");
  ASSERT_EQ(listing.status, 0) << listing.output;
  std::set<std::string> files;
  std::istringstream lines(listing.output);
  for (std::string line; std::getline(lines, line);) {
    const auto at = line.find(" ./");
    if (at == std::string::npos || line.size() == at + 3) continue;
    files.insert(line.substr(at + 3));
  }
  EXPECT_EQ(Join(files), Join(PackageFiles())) << listing.output;

  const auto layout = RunCommand("dpkg-deb --fsys-tarfile '" + deb.string() +
                                 "' | tar -xO ./usr/lib/q7m-uart/q7m-uart.layout");
  EXPECT_NE(layout.output.find("\nconfig /etc/q7m-uart\n"), std::string::npos) << layout.output;

  const auto control = RunCommand("dpkg-deb -f '" + deb.string() +
                                  "' Package Version Architecture Section Maintainer Depends");
  ASSERT_EQ(control.status, 0) << control.output;
  EXPECT_NE(control.output.find("Package: q7m-uart\n"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Version: " Q7M_VERSION "\n"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Architecture: amd64"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Section: electronics"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Maintainer: q7m-uart developers <"), std::string::npos)
      << control.output;
  for (const char* runtime : {"adduser", "libc6", "libstdc++6", "libncursesw6", "libtinfo6"}) {
    EXPECT_NE(control.output.find(runtime), std::string::npos)
        << "Depends lacks " << runtime << ":\n"
        << control.output;
  }

  EXPECT_EQ(RunCommand("dpkg-deb -I '" + deb.string() + "' conffiles").output,
            "/etc/q7m-uart/Q7m_Uart.cfg\n/etc/q7m-uart/bridge.conf\n"
            "/etc/security/limits.d/q7m-uart.conf\n");
  const std::string postinst = RunCommand("dpkg-deb -I '" + deb.string() + "' postinst").output;
  const std::string prerm = RunCommand("dpkg-deb -I '" + deb.string() + "' prerm").output;
  const std::string postrm = RunCommand("dpkg-deb -I '" + deb.string() + "' postrm").output;
  EXPECT_NE(postinst.find("addgroup --system"), std::string::npos) << postinst;
  EXPECT_NE(postinst.find("adduser --system"), std::string::npos) << postinst;
  EXPECT_NE(prerm.find("deb-systemd-invoke stop 'q7m-uart-bridge@*.service'"), std::string::npos)
      << prerm;
  EXPECT_NE(postrm.find("deluser --system"), std::string::npos) << postrm;
  EXPECT_NE(postrm.find("delgroup --system"), std::string::npos) << postrm;
  EXPECT_EQ((postinst + prerm + postrm).find("ldconfig"), std::string::npos)
      << "the libraries are private: no ldconfig";
}

}  // namespace
