// Where the program keeps its configuration and capture file: its own folder
// when writable, else the per-user folder with a copy of the sample.

#include "app/working_directory.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class WorkingDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("q7m-wd-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    programDir = root / "program";
    home = root / "home";
    fs::create_directories(programDir);
    fs::create_directories(home);
    userDir = home / ".q7m-uart";
  }
  void TearDown() override { fs::remove_all(root); }

  // The writability check is injected: the tests run as root, for whom every
  // folder is writable.
  WorkingDirectoryHost Host(bool programWritable) const {
    WorkingDirectoryHost host;
    host.writable = [this, programWritable](const fs::path& dir) {
      return dir == programDir ? programWritable : true;
    };
    host.home = [this] { return home; };
    return host;
  }

  fs::path root, programDir, home, userDir;
};

TEST_F(WorkingDirectory, WritableProgramFolderIsUsedAndNothingIsMadeElsewhere) {
  WriteFile(programDir / "Q7m_Uart.cfg", "#COMMODE 9600\n");
  EXPECT_EQ(WorkingDirectoryFor(programDir, Host(true)), programDir);
  EXPECT_FALSE(fs::exists(userDir));
}

TEST_F(WorkingDirectory, ReadOnlyProgramFolderGivesThePerUserFolderWithTheSampleCopiedOnce) {
  const std::string sample = "#COMMODE 9600\n#F1 \"ls\" CR\n";
  WriteFile(programDir / "Q7m_Uart.cfg", sample);

  EXPECT_EQ(WorkingDirectoryFor(programDir, Host(false)), userDir);
  ASSERT_TRUE(fs::is_directory(userDir));
  EXPECT_EQ(ReadFile(userDir / "Q7m_Uart.cfg"), sample);
  EXPECT_FALSE(fs::exists(userDir / "Term.txt")) << "only the configuration is copied";

  // The user's edits survive a later start, even when the sample changes.
  WriteFile(userDir / "Q7m_Uart.cfg", "#COMMODE 57600\n");
  WriteFile(programDir / "Q7m_Uart.cfg", "#COMMODE 1200\n");
  EXPECT_EQ(WorkingDirectoryFor(programDir, Host(false)), userDir);
  EXPECT_EQ(ReadFile(userDir / "Q7m_Uart.cfg"), "#COMMODE 57600\n");
}

TEST_F(WorkingDirectory, PerUserFolderWithoutASampleStaysWithoutConfiguration) {
  EXPECT_EQ(WorkingDirectoryFor(programDir, Host(false)), userDir);
  EXPECT_TRUE(fs::is_directory(userDir));
  EXPECT_FALSE(fs::exists(userDir / "Q7m_Uart.cfg"));
}

TEST_F(WorkingDirectory, ProgramFolderWhenNoPerUserFolderCanBeMade) {
  WriteFile(programDir / "Q7m_Uart.cfg", "#COMMODE 9600\n");
  auto noHome = Host(false);
  noHome.home = [] { return fs::path(); };
  EXPECT_EQ(WorkingDirectoryFor(programDir, noHome), programDir);

  // A file where the folder should be: nothing is replaced.
  WriteFile(userDir, "not a folder");
  EXPECT_EQ(WorkingDirectoryFor(programDir, Host(false)), programDir);
  EXPECT_EQ(ReadFile(userDir), "not a folder");
}

// The real host, run in a child process as an unprivileged user (uid and gid
// 65534) when the tests run as root, so that access(2) can say no.
int RunUnprivileged(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(90);
    }
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(WorkingDirectory, SystemHostTellsWritableFoldersAndReadsHomeFromThePasswordDatabase) {
  const fs::path readOnly = root / "readonly";
  const fs::path open = root / "open";
  fs::create_directories(readOnly);
  fs::create_directories(open);
  fs::permissions(root, fs::perms::all);
  fs::permissions(readOnly, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(open, fs::perms::all);
  if (::geteuid() != 0) fs::permissions(readOnly, fs::perms::owner_write, fs::perm_options::remove);
  const passwd* entry = ::getpwuid(::geteuid() == 0 ? 65534 : ::getuid());
  ASSERT_NE(entry, nullptr);
  const std::string expectedHome = entry->pw_dir;

  const int result = RunUnprivileged([&] {
    const auto host = SystemWorkingDirectoryHost();
    if (host.writable(readOnly)) return 1;
    if (!host.writable(open)) return 2;
    // The home directory comes from the password database, not from HOME.
    ::setenv("HOME", open.c_str(), 1);
    if (host.home() != fs::path(expectedHome)) return 3;
    return 0;
  });
  EXPECT_EQ(result, 0) << "1: read-only folder seen as writable, 2: open folder seen as "
                          "read-only, 3: home not from the password database, 90: no setuid";
}

}  // namespace
