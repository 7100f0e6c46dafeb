// The installed tree (cmake --install into a temporary prefix), the installed
// programs in tmux on the simulated board and on fake sysfs trees, the man
// page, and the Debian package that CPack builds.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pcie-linux/fake_sysfs.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;

const std::string kBuild = Q7M_BUILD_DIR;
const std::string kSource = Q7M_SOURCE_DIR;

struct CommandResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
  if (!pipe) return result;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
    result.output.append(buffer, n);
  }
  const int status = ::pclose(pipe.release());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
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

// The files of the package, as both the installed tree and the .deb hold them.
const std::set<std::string> kInstalledFiles = {
    "bin/",
    "bin/q7m-inspect -> ../lib/q7m-uart/q7m-inspect",
    "bin/q7m-uart -> ../lib/q7m-uart/q7m-uart",
    "bin/q7m-uart-sim",
    "lib/",
    "lib/q7m-uart/",
    "lib/q7m-uart/Q7m_Uart.cfg",
    "lib/q7m-uart/libPCIAccessDll.so",
    "lib/q7m-uart/q7m-inspect",
    "lib/q7m-uart/q7m-uart",
    "lib/q7m-uart/sim/",
    "lib/q7m-uart/sim/libPCIAccessDll.so",
    "share/",
    "share/doc/",
    "share/doc/q7m-uart/",
    "share/doc/q7m-uart/README.md",
    "share/doc/q7m-uart/README.pcie-linux.md",
    "share/doc/q7m-uart/copyright",
    "share/man/",
    "share/man/man1/",
    "share/man/man1/q7m-inspect.1.gz",
    "share/man/man1/q7m-uart.1.gz",
};

// One installation per test process, shared by its tests.
class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base = fs::temp_directory_path() / ("q7m-install-" + std::to_string(::getpid()));
    fs::remove_all(base);
    fs::create_directories(base);
    prefix = base / "prefix";
    install = RunCommand("cmake --install '" + kBuild + "' --prefix '" + prefix.string() + "'");
  }
  static void TearDownTestSuite() { fs::remove_all(base); }
  void SetUp() override { ASSERT_EQ(install.status, 0) << install.output; }

  fs::path Private() const { return prefix / "lib/q7m-uart"; }

  // A shell in tmux that runs the command, then prints its exit status.
  std::unique_ptr<TmuxSession> StartInShell(const std::string& command,
                                            const std::vector<std::string>& environment = {}) {
    TmuxSession::Options options;
    options.directory = base.string();
    options.environment = environment;
    auto session = std::make_unique<TmuxSession>("sh", options);
    EXPECT_TRUE(session->Started());
    EXPECT_TRUE(session->TypeAtPrompt(command + "; echo EXIT=$?")) << session->Capture();
    return session;
  }

  static fs::path base, prefix;
  static CommandResult install;
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

// The libraries that the program started from the pane's shell has mapped.
std::string MappedFiles(TmuxSession& session) {
  const std::string shell = session.Format("#{pane_pid}");
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid, comm, state, ppid;
    if (!(stat >> pid >> comm >> state >> ppid) || ppid != shell) continue;
    return ReadFile(entry.path() / "maps");
  }
  return {};
}

TEST_F(Installed, TreeHoldsProgramsLibrariesSampleManPageAndDocsOnly) {
  EXPECT_EQ(Join(Tree(prefix)), Join(kInstalledFiles))
      << "no tests, no sim-variants libraries, nothing else";

  // The links resolve into the private folder, where RUNPATH $ORIGIN points.
  EXPECT_EQ(fs::canonical(prefix / "bin/q7m-uart"), fs::canonical(Private() / "q7m-uart"));
  for (const char* program : {"q7m-uart", "q7m-inspect"}) {
    const auto dynamic = RunCommand("readelf -d '" + (Private() / program).string() + "'");
    EXPECT_NE(dynamic.output.find("(RUNPATH)            Library runpath: [$ORIGIN]"),
              std::string::npos)
        << program << ":\n"
        << dynamic.output;
  }

  // The real access library beside the programs, the simulated one apart.
  EXPECT_EQ(ReadFile(Private() / "libPCIAccessDll.so"),
            ReadFile(kBuild + "/pcie-linux/libPCIAccessDll.so"));
  EXPECT_EQ(ReadFile(Private() / "sim/libPCIAccessDll.so"),
            ReadFile(kBuild + "/sim/libPCIAccessDll.so"));
  EXPECT_EQ(ReadFile(Private() / "Q7m_Uart.cfg"),
            ReadFile(kSource + "/config/sample/Q7m_Uart.cfg"));

  // The launcher names the installed folder, not the build tree.
  const std::string launcher = ReadFile(prefix / "bin/q7m-uart-sim");
  EXPECT_EQ(launcher.find(kBuild), std::string::npos) << launcher;
  EXPECT_TRUE((fs::status(prefix / "bin/q7m-uart-sim").permissions() & fs::perms::others_exec) !=
              fs::perms::none);
}

TEST_F(Installed, SimLauncherRunsToTheRoutingMenuOnTheInstalledSimulatedBoard) {
  auto session = StartInShell((prefix / "bin/q7m-uart-sim").string());
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:", std::chrono::seconds(10)))
      << session->Capture();
  EXPECT_TRUE(session->WaitForText("<R> Reset VSC7420"));
  const std::string maps = MappedFiles(*session);
  EXPECT_NE(maps.find((Private() / "sim/libPCIAccessDll.so").string()), std::string::npos) << maps;
  EXPECT_EQ(maps.find(kBuild), std::string::npos) << "nothing from the build tree:\n" << maps;

  session->SendText("q");
  EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "0");
}

TEST_F(Installed, RealLibraryOnAFakeTreeWithTheBoardShowsTheRoutingMenu) {
  const fs::path tree = base / "sysfs-board";
  AddFakeDevice(tree, Device("0000:00:1f.0", 0x8086, 0x1234));
  FakeDevice board = Device("0000:03:00.0", 0x1172, 0x5680);
  // BAR 0 reaches past the set-up block at 0x1C000.
  board.bars = {{0, 0x20000}, {2, 0x1000}};
  AddFakeDevice(tree, board);
  fs::remove(Private() / "PCIAccessDll.log");

  // Started through the link in bin/, so $ORIGIN must be the private folder.
  auto session =
      StartInShell((prefix / "bin/q7m-uart").string(), SysfsEnvironment(tree, Private()));
  ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:", std::chrono::seconds(10)))
      << session->Capture() << ReadFile(Private() / "PCIAccessDll.log");
  const std::string maps = MappedFiles(*session);
  EXPECT_NE(maps.find((Private() / "libPCIAccessDll.so").string()), std::string::npos) << maps;
  EXPECT_NE(maps.find((tree / "0000:03:00.0/resource0").string()), std::string::npos)
      << "BAR 0 of the board is mapped:\n"
      << maps;

  session->SendText("q");
  EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  // The set-up block landed in the board's memory (offset 0x1C000, byte 0x0F).
  const std::string bar0 = ReadFile(tree / "0000:03:00.0/resource0");
  ASSERT_EQ(bar0.size(), 0x20000u);
  EXPECT_EQ(static_cast<unsigned char>(bar0[0x1C00F]), 0x63);
}

TEST_F(Installed, RealLibraryWithoutTheBoardSaysSoWaitsForAKeyAndExitsZero) {
  const fs::path tree = base / "sysfs-empty";
  AddFakeDevice(tree, Device("0000:00:1f.0", 0x8086, 0x1234));
  fs::remove(Private() / "PCIAccessDll.log");

  auto session =
      StartInShell((prefix / "bin/q7m-uart").string(), SysfsEnvironment(tree, Private()));
  ASSERT_TRUE(session->WaitForLine("Cannot Open Selected Device", std::chrono::seconds(10)))
      << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "1");
  // The message waits for a key: with it on the screen the program sleeps in
  // its key poll (a program that went on would close the board and exit).
  const auto pid = session->ChildPid("q7m-uart");
  ASSERT_TRUE(pid.has_value()) << session->Capture();
  EXPECT_TRUE(session->WaitFor([&] { return KernelWaitChannel(*pid) == "hrtimer_nanosleep"; }))
      << KernelWaitChannel(*pid);
  EXPECT_EQ(session->Capture().find("EXIT="), std::string::npos) << "the message waits for a key";

  session->SendText("x");
  ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  EXPECT_EQ(session->Format("#{alternate_on}"), "0") << "the terminal is given back";
  // The line stays visible in the shell, above the status.
  const auto lines = session->Lines();
  const auto message = std::find(lines.begin(), lines.end(), "Cannot Open Selected Device");
  const auto status = std::find(lines.begin(), lines.end(), "EXIT=0");
  EXPECT_TRUE(message != lines.end() && message < status) << session->Capture();

  const std::string log = ReadFile(Private() / "PCIAccessDll.log");
  EXPECT_NE(log.find("no PCI device with vendor 0x1172 device 0x5680"), std::string::npos) << log;
}

// An ordinary user of an installed tree that only root may write: nobody
// (uid 65534), given a home folder through a private copy of /etc/passwd
// bound over the real one in a mount namespace of its own.
TEST_F(Installed, OrdinaryUserKeepsConfigurationAndCaptureInTheHomeFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for unshare, mount and setpriv";
  const fs::path home = base / "home-nobody";
  fs::create_directories(home);
  ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
  std::string passwd;
  {
    std::istringstream lines(ReadFile("/etc/passwd"));
    bool found = false;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("nobody:", 0) == 0) {
        // name:password:uid:gid:gecos:home:shell
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ':');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 7u) << line;
        ASSERT_EQ(fields[2], "65534") << line;
        fields[5] = home.string();
        line.clear();
        for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? ":" : "") + fields[i];
        found = true;
      }
      passwd += line + "\n";
    }
    if (!found) GTEST_SKIP() << "no user nobody";
  }
  const fs::path passwdCopy = base / "passwd";
  std::ofstream(passwdCopy) << passwd;
  if (RunCommand("unshare -m true").status != 0) GTEST_SKIP() << "no mount namespaces here";
  fs::remove(Private() / "Term.txt");
  const std::string asNobody = "unshare -m sh -c 'mount --bind " + passwdCopy.string() +
                               " /etc/passwd && exec setpriv --reuid=65534 --regid=65534 "
                               "--clear-groups " +
                               (prefix / "bin/q7m-uart-sim").string() + "'";
  const fs::path mine = home / ".q7m-uart";

  // First start: the folder is made and the sample copied; the terminal's
  // capture goes there, not into the installed folder.
  {
    auto session = StartInShell(asNobody);
    ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:", std::chrono::seconds(10)))
        << session->Capture();
    session->SendText("2");
    ASSERT_TRUE(session->WaitForText("CON-5Pins Console")) << session->Capture();
    session->SendKeys({"S-F2"});
    ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
    session->SendText("q");
    ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  }
  EXPECT_EQ(ReadFile(mine / "Q7m_Uart.cfg"), ReadFile(Private() / "Q7m_Uart.cfg"));
  EXPECT_TRUE(fs::exists(mine / "Term.txt"));
  EXPECT_FALSE(fs::exists(Private() / "Term.txt"));

  // Second start: the user's own configuration is read and kept.
  const std::string edited = "#COMMODE 9600\n";
  std::ofstream(mine / "Q7m_Uart.cfg", std::ios::trunc) << edited;
  {
    auto session = StartInShell(asNobody);
    ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:", std::chrono::seconds(10)))
        << session->Capture();
    session->SendText("2");
    EXPECT_TRUE(session->WaitForText("Baud: 9600")) << session->Capture();
    session->SendKeys({"S-F2"});
    ASSERT_TRUE(session->WaitForLine("Q7M UART IO port 0x352:")) << session->Capture();
    session->SendText("q");
    ASSERT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  }
  EXPECT_EQ(ReadFile(mine / "Q7m_Uart.cfg"), edited);
}

TEST_F(Installed, ManPageRendersWithoutWarningsAndCoversKeysFilesAndExitStatus) {
  for (const char* name : {"q7m-uart.1", "q7m-inspect.1"}) {
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
                           "DESCRIPTION",
                           "ROUTING MENU",
                           "TERMINAL KEYS",
                           "CONFIGURATION FILE",
                           "Macro language",
                           "FILES",
                           "ENVIRONMENT",
                           "EXIT STATUS",
                           "SEE ALSO",
                           "q7m-inspect(1)",
                           "#COMMODE",
                           "#HELP",
                           "Shift-F2",
                           "Term.txt",
                           "PCIAccessDll.log",
                           "~/.q7m-uart",
                           "Q7M_PCI_SYSFS_ROOT",
                           "Q7M_PCI_LOG_DIR",
                           "Q7M_PCI_DEVICE",
                           "Q7M_SIM_BOARDS",
                           "Q7M_SIM_PTY_ROUTES",
                           "Q7M_SIM_TRACE"}) {
    EXPECT_NE(rendered.output.find(text), std::string::npos) << "missing: " << text;
  }
}

TEST_F(Installed, DebianPackageHoldsTheSameTreeUnderUsrWithItsRuntimeDependencies) {
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
    const auto at = line.find("./usr/");
    if (at == std::string::npos || line.size() == at + 6) continue;
    files.insert(line.substr(at + 6));
  }
  EXPECT_EQ(Join(files), Join(kInstalledFiles)) << listing.output;

  const auto control = RunCommand("dpkg-deb -f '" + deb.string() +
                                  "' Package Version Architecture Section Maintainer Depends");
  ASSERT_EQ(control.status, 0) << control.output;
  EXPECT_NE(control.output.find("Package: q7m-uart\n"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Version: " Q7M_VERSION "\n"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Architecture: amd64"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Section: electronics"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("Maintainer: "), std::string::npos) << control.output;
  for (const char* runtime : {"libc6", "libstdc++6", "libncursesw6", "libtinfo6"}) {
    EXPECT_NE(control.output.find(runtime), std::string::npos)
        << "Depends lacks " << runtime << ":\n"
        << control.output;
  }
}

}  // namespace
