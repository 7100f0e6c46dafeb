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

TEST_F(DemoOnABuildMachine, AnOrdinaryUserIsToldOnlyOfMissingBuildPackages) {
  ScratchHomes homes;
  std::string why;
  if (!homes.Prepare(base / "homes", {{65534, base / "nobody"}}, why)) GTEST_SKIP() << why;
  // Everything the demo needs is there: the check passes without a word.
  const auto enough =
      RunCommand(homes.As(65534, Path() + " " + (kSource / "scripts/deps.sh").string() + " build"));
  EXPECT_EQ(enough.status, 0) << enough.output;
  EXPECT_EQ(enough.output, "");

  // Without ncurses the demo stops and names it, and only it.
  const char* const withoutNcurses[] = {"cmake", "ninja-build", "g++", "pkg-config"};
  Installed(withoutNcurses);
  const auto missing =
      RunCommand("cd " + kSource.string() + " && " + homes.As(65534, Path() + " scripts/demo.sh"));
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
