// scripts/demo.sh on a machine that has only the packages to build and run
// the programs: dpkg-query answers from a list of the test's own, apt-get
// records any call, and the demo must start the program without either
// installing or asking for the test toolchain.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/scratch_homes.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = Q7M_SOURCE_DIR;
const fs::path kBuild = Q7M_BUILD_DIR;

// What a machine set up to build and run the programs has of this project's
// packages: a compiler, the build tools and ncurses; no GoogleTest, tmux,
// clang, lintian or man.
const char* const kBuildAndRun[] = {"cmake", "ninja-build", "g++", "pkg-config", "libncurses-dev"};

void WriteScript(const fs::path& path, const std::string& text) {
  std::ofstream(path) << text;
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

class DemoOnABuildMachine : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef Q7M_SANITIZED
    GTEST_SKIP() << "the demo builds and runs the normal build";
#endif
    if (kBuild != kSource / "build") GTEST_SKIP() << "the demo uses the build folder build/";
    base = fs::temp_directory_path() / ("q7m-demo-" + std::to_string(::getpid()));
    fs::remove_all(base);
    fs::create_directories(base / "bin");
    fs::permissions(base, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    Installed(kBuildAndRun);
    WriteScript(base / "bin/apt-get",
                "#!/bin/sh\necho \"$@\" >> " + (base / "apt-calls").string() + "\nexit 1\n");
    WriteScript(base / "bin/sudo", "#!/bin/sh\nexit 1\n");
  }
  void TearDown() override {
    fs::remove_all(base);
  }

  // dpkg-query -W -f='${Status}' <package>, answered from the list.
  template <std::size_t N>
  void Installed(const char* const (&packages)[N]) {
    std::string cases;
    for (const char* p : packages) cases += std::string(cases.empty() ? "" : "|") + p;
    WriteScript(base / "bin/dpkg-query", "#!/bin/sh\nfor last; do :; done\ncase $last in\n  " +
                                             cases +
                                             ") printf 'install ok installed' ;;\n  *) exit 1 ;;\n"
                                             "esac\n");
  }
  std::string Path() const {
    return "PATH=" + (base / "bin").string() + ":/usr/bin:/bin";
  }

  fs::path base;
};

TEST_F(DemoOnABuildMachine, StartsEitherProgramWithoutInstallingTheTestToolchain) {
  struct Case {
    const char* argument;
    const char* menu;
  };
  for (const Case& c : {Case{"", "Q7M UART IO port 0x352:"}, Case{"inspect", "Q7M Inspect:"}}) {
    TmuxSession::Options options;
    options.directory = "/";
    options.environment = {Path()};
    auto session = StartInShell((kSource / "scripts/demo.sh").string() + " " + c.argument, options);
    ASSERT_TRUE(session->WaitForLine(c.menu, std::chrono::seconds(120))) << session->Capture();
    session->SendText("q");
    EXPECT_TRUE(session->WaitForText("EXIT=0")) << session->Capture();
  }
  EXPECT_FALSE(fs::exists(base / "apt-calls"))
      << "apt-get was called: " << RunCommand("cat " + (base / "apt-calls").string()).output;
}

// The scripts the demo runs before it builds, copied into `checkout` for a
// user who may not reach this checkout (a clone in root's 0700 home), and the
// folders owned by `owner`.
void CopyTheDemosScripts(const fs::path& checkout, uid_t owner) {
  fs::create_directories(checkout / "scripts");
  for (const char* script : {"demo.sh", "deps.sh"}) {
    fs::copy_file(kSource / "scripts" / script, checkout / "scripts" / script);
  }
  for (const fs::path& path : {checkout, checkout / "scripts"}) {
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0) << path;
  }
}

TEST_F(DemoOnABuildMachine, AnOrdinaryUserIsToldOnlyOfMissingBuildPackages) {
  ScratchHomes homes;
  std::string why;
  if (!homes.Prepare(base / "homes", {{65534, base / "nobody"}}, why)) GTEST_SKIP() << why;
  // The user's own clone, of which the demo needs only its scripts to get as
  // far as the packages.
  const fs::path own = base / "nobody/q7m-uart";
  CopyTheDemosScripts(own, 65534);
  // Everything the demo needs is there: the check passes without a word.
  const auto enough =
      RunCommand(homes.As(65534, Path() + " " + (own / "scripts/deps.sh").string() + " build"));
  EXPECT_EQ(enough.status, 0) << enough.output;
  EXPECT_EQ(enough.output, "");

  // Without ncurses the demo stops and names it, and only it.
  const char* const withoutNcurses[] = {"cmake", "ninja-build", "g++", "pkg-config"};
  Installed(withoutNcurses);
  const auto missing =
      RunCommand("cd " + own.string() + " && " + homes.As(65534, Path() + " scripts/demo.sh"));
  EXPECT_EQ(missing.status, 1) << missing.output;
  EXPECT_NE(missing.output.find("Missing Debian packages: libncurses-dev\n"), std::string::npos)
      << missing.output;
  EXPECT_NE(missing.output.find("sudo apt-get install -y libncurses-dev"), std::string::npos);
  for (const char* tool : {"libgtest-dev", "tmux", "clang", "lintian", "man-db"}) {
    EXPECT_EQ(missing.output.find(tool), std::string::npos) << tool << " named:\n"
                                                            << missing.output;
  }
  EXPECT_FALSE(fs::exists(base / "apt-calls"));
}

TEST_F(DemoOnABuildMachine, AnOrdinaryUserIsToldWhatOfTheCheckoutIsClosedToThem) {
  ScratchHomes homes;
  std::string why;
  if (!homes.Prepare(base / "homes", {{65534, base / "nobody"}}, why)) GTEST_SKIP() << why;
  struct Case {
    fs::path checkout;
    std::string said;
  };
  // Root's clone in a folder only root may enter, reached from a shell whose
  // working folder is inside it (sudo keeps it): the path leads nowhere.
  const fs::path closed = base / "private";
  fs::create_directories(closed);
  fs::permissions(closed, fs::perms::owner_all);
  CopyTheDemosScripts(closed / "q7m-uart", 0);
  // Root's clone in an open folder: readable, but the build cannot be made.
  CopyTheDemosScripts(base / "shared/q7m-uart", 0);
  // The demo names folders by their real paths.
  const fs::path real = fs::canonical(base);
  const std::string unreachable =
      "demo.sh: this user (nobody) cannot reach " + (real / "private/q7m-uart").string() +
      " by its path: " + (real / "private").string() + " (drwx------, owned by root) is closed";
  const std::string unwritable = "demo.sh: this user (nobody) cannot write the build folder " +
                                 (real / "shared/q7m-uart/build").string() + " (root's)";
  for (const Case& c :
       {Case{closed / "q7m-uart", unreachable}, Case{base / "shared/q7m-uart", unwritable}}) {
    const auto run = RunCommand("cd " + c.checkout.string() + " && " +
                                homes.As(65534, Path() + " scripts/demo.sh"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(c.said), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("clone the project into a folder of your own"), std::string::npos)
        << run.output;
    for (const char* vague : {"Permission denied", "does not exist"}) {
      EXPECT_EQ(run.output.find(vague), std::string::npos) << run.output;
    }
  }
  EXPECT_FALSE(fs::exists(base / "apt-calls"));
}

TEST(DepsLists, NoSetNamesADebianRelease) {
  for (const char* set : {"build", "package", "test"}) {
    const auto list = RunCommand((kSource / "scripts/deps.sh").string() + " --list " + set);
    ASSERT_EQ(list.status, 0) << list.output;
    for (const char* versioned : {"-14", "-15", "-16", "-17", "-18", "-19"}) {
      EXPECT_EQ(list.output.find(versioned), std::string::npos) << set << ":\n" << list.output;
    }
  }
  const auto build = RunCommand((kSource / "scripts/deps.sh").string() + " --list build");
  for (const char* tool : {"libgtest-dev", "tmux", "clang", "lintian"}) {
    EXPECT_EQ(build.output.find(tool), std::string::npos) << "the demo does not need " << tool;
  }
}

}  // namespace
