// Where the program reads its configuration and writes its files: its own
// folder in the build tree and in an install of the user's own; the install's
// /etc and the user's XDG folders for an installed program; what an earlier
// version left in ~/.q7m-uart.

#include "app/working_directory.h"
#include "tests/support/child_process.h"

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

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class Places : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("q7m-wd-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    programDir = root / "usr/lib/q7m-uart";
    etc = root / "etc/q7m-uart";
    home = root / "home";
    fs::create_directories(programDir);
    fs::create_directories(home);
    stateDir = home / ".local/state/q7m-uart";
    userConfig = home / ".config/q7m-uart/Q7m_Uart.cfg";
    legacy = home / ".q7m-uart";
  }
  void TearDown() override { fs::remove_all(root); }

  // Ownership is injected: the tests run as root, who owns everything.
  WorkingDirectoryHost Host(bool owned) const {
    WorkingDirectoryHost host;
    host.home = [this] { return home; };
    host.ownedByUser = [this, owned](const fs::path& dir) { return dir == programDir && owned; };
    return host;
  }
  // What the install puts beside the programs, and its configuration.
  void Install(const std::string& sample = "#COMMODE 9600\n") {
    WriteFile(programDir / kLayoutFileName, "# comment\nconfig " + etc.string() + "\n");
    WriteFile(etc / "Q7m_Uart.cfg", sample);
  }
  // Every path under the root, to see that nothing was made.
  std::string Tree() const {
    std::string all;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      all += entry.path().lexically_relative(root).string() + "\n";
    }
    return all;
  }

  fs::path root, programDir, etc, home, stateDir, userConfig, legacy;
};

TEST_F(Places, BuildTreeKeepsEverythingInTheProgramFolderWhoeverRunsIt) {
  WriteFile(programDir / "Q7m_Uart.cfg", "#COMMODE 9600\n");
  const std::string before = Tree();
  for (const bool owned : {true, false}) {
    ProgramPlaces places = FindProgramPlaces(programDir, Host(owned));
    EXPECT_FALSE(places.installed);
    EXPECT_EQ(places.workDir, programDir);
    EXPECT_EQ(places.configFile, programDir / "Q7m_Uart.cfg");
    EXPECT_EQ(PrepareProgramPlaces(places), "");
  }
  EXPECT_EQ(Tree(), before) << "nothing made in the home folder";
}

TEST_F(Places, InstallOfTheUsersOwnKeepsTheProgramFolderWithTheInstallsConfiguration) {
  Install();
  ProgramPlaces places = FindProgramPlaces(programDir, Host(true));
  EXPECT_FALSE(places.installed);
  EXPECT_EQ(places.workDir, programDir);
  EXPECT_EQ(places.configFile, etc / "Q7m_Uart.cfg") << "until one is put beside the program";
  WriteFile(programDir / "Q7m_Uart.cfg", "#COMMODE 1200\n");
  EXPECT_EQ(FindProgramPlaces(programDir, Host(true)).configFile, programDir / "Q7m_Uart.cfg");
  EXPECT_FALSE(fs::exists(stateDir));
}

TEST_F(Places, InstalledProgramReadsEtcAndWritesTheStateFolderMadeOnlyWhenPrepared) {
  Install();
  const std::string before = Tree();
  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_TRUE(places.installed);
  EXPECT_EQ(places.workDir, stateDir);
  EXPECT_EQ(places.configFile, etc / "Q7m_Uart.cfg");
  EXPECT_EQ(places.systemConfigFile, etc / "Q7m_Uart.cfg");
  EXPECT_EQ(places.userConfigFile, userConfig);
  EXPECT_EQ(Tree(), before) << "finding the places changes nothing";

  EXPECT_EQ(PrepareProgramPlaces(places), "");
  EXPECT_TRUE(fs::is_directory(stateDir));
  EXPECT_FALSE(fs::exists(userConfig)) << "the install's file is read, not copied";
  EXPECT_FALSE(fs::exists(programDir / "Term.txt"));
}

TEST_F(Places, AConfigurationOfTheUsersOwnIsReadInsteadOfTheInstalls) {
  Install();
  WriteFile(userConfig, "#COMMODE 57600\n");
  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_EQ(places.configFile, userConfig);
  PrepareProgramPlaces(places);
  EXPECT_EQ(ReadWholeFile(userConfig), "#COMMODE 57600\n");
}

TEST_F(Places, LayoutFileNamesARelativeFolderOrNoneAndAHomelessUserStaysWhereStarted) {
  WriteFile(programDir / kLayoutFileName, "config ../../../etc/q7m-uart\n");
  WriteFile(etc / "Q7m_Uart.cfg", "x\n");
  EXPECT_EQ(fs::weakly_canonical(FindProgramPlaces(programDir, Host(false)).configFile),
            fs::weakly_canonical(etc / "Q7m_Uart.cfg"));

  WriteFile(programDir / kLayoutFileName, "nothing of use\n");
  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_TRUE(places.installed);
  EXPECT_EQ(places.configFile, fs::path()) << "no configuration rather than one under /usr";
  EXPECT_EQ(places.workDir, stateDir);

  auto homeless = Host(false);
  homeless.home = [] { return fs::path(); };
  Install();
  places = FindProgramPlaces(programDir, homeless);
  EXPECT_EQ(places.workDir, fs::path()) << "the current folder, never the program's";
  EXPECT_EQ(places.configFile, etc / "Q7m_Uart.cfg");
  EXPECT_EQ(PrepareProgramPlaces(places), "");
}

TEST_F(Places, AStateFolderThatCannotBeMadeLeavesTheCurrentFolder) {
  Install();
  WriteFile(home / ".local/state", "a file where the folder should be");
  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_EQ(PrepareProgramPlaces(places), "");
  EXPECT_EQ(places.workDir, fs::path());
  EXPECT_EQ(ReadWholeFile(home / ".local/state"), "a file where the folder should be");
}

// ---- ~/.q7m-uart of an earlier version ------------------------------------

TEST_F(Places, EarlierFilesAreMovedOnceAndSaidOnce) {
  Install("#COMMODE 9600\n");
  WriteFile(legacy / "Q7m_Uart.cfg", "#COMMODE 38400\n#F1 \"ls\" CR\n");
  WriteFile(legacy / "Term.txt", "captured\n");
  WriteFile(legacy / "PCIAccessDll.log", "logged\n");
  WriteFile(legacy / "Q7m_Config.bin", std::string(256, '\x11'));

  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_EQ(places.configFile, legacy / "Q7m_Uart.cfg") << "the user's edits, before the move";
  EXPECT_EQ(PrepareProgramPlaces(places),
            "Files of ~/.q7m-uart moved to ~/.config/q7m-uart and ~/.local/state/q7m-uart");
  EXPECT_EQ(places.configFile, userConfig);
  EXPECT_EQ(ReadWholeFile(userConfig), "#COMMODE 38400\n#F1 \"ls\" CR\n");
  EXPECT_EQ(ReadWholeFile(stateDir / "Term.txt"), "captured\n");
  EXPECT_EQ(ReadWholeFile(stateDir / "PCIAccessDll.log"), "logged\n");
  EXPECT_EQ(ReadWholeFile(stateDir / "Q7m_Config.bin"), std::string(256, '\x11'));
  EXPECT_FALSE(fs::exists(legacy)) << "the emptied folder is removed";

  places = FindProgramPlaces(programDir, Host(false));
  EXPECT_EQ(places.configFile, userConfig);
  EXPECT_EQ(PrepareProgramPlaces(places), "") << "said once";
}

TEST_F(Places, AnEarlierCopyOfTheSampleIsDroppedSoThatEtcIsRead) {
  Install("#COMMODE 9600\n");
  WriteFile(legacy / "Q7m_Uart.cfg", "#COMMODE 9600\n");
  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_EQ(places.configFile, etc / "Q7m_Uart.cfg");
  EXPECT_EQ(PrepareProgramPlaces(places), "") << "none of the user's files moved";
  EXPECT_FALSE(fs::exists(legacy));
  EXPECT_FALSE(fs::exists(userConfig));
  EXPECT_EQ(places.configFile, etc / "Q7m_Uart.cfg");
}

TEST_F(Places, NothingIsOverwrittenAndWhatCannotMoveStays) {
  Install("#COMMODE 9600\n");
  WriteFile(userConfig, "#COMMODE 57600\n");
  WriteFile(stateDir / "Term.txt", "newer capture\n");
  WriteFile(legacy / "Q7m_Uart.cfg", "#COMMODE 38400\n");
  WriteFile(legacy / "Term.txt", "older capture\n");
  WriteFile(legacy / "PCIAccessDll.log", "older log\n");
  WriteFile(legacy / "notes.txt", "the user's own\n");

  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_EQ(places.configFile, userConfig);
  EXPECT_EQ(PrepareProgramPlaces(places), "Files of ~/.q7m-uart moved to ~/.local/state/q7m-uart");
  EXPECT_EQ(ReadWholeFile(userConfig), "#COMMODE 57600\n");
  EXPECT_EQ(ReadWholeFile(stateDir / "Term.txt"), "newer capture\n");
  EXPECT_EQ(ReadWholeFile(stateDir / "PCIAccessDll.log"), "older log\n");
  EXPECT_EQ(ReadWholeFile(legacy / "Q7m_Uart.cfg"), "#COMMODE 38400\n");
  EXPECT_EQ(ReadWholeFile(legacy / "Term.txt"), "older capture\n");
  EXPECT_EQ(ReadWholeFile(legacy / "notes.txt"), "the user's own\n");
  EXPECT_EQ(PrepareProgramPlaces(places), "") << "nothing more to move, nothing said again";
}

TEST_F(Places, AnEarlierConfigurationThatCannotMoveIsReadWhereItIs) {
  Install("#COMMODE 9600\n");
  WriteFile(home / ".config", "a file where the folder should be");
  WriteFile(legacy / "Q7m_Uart.cfg", "#COMMODE 38400\n");
  ProgramPlaces places = FindProgramPlaces(programDir, Host(false));
  EXPECT_EQ(PrepareProgramPlaces(places), "");
  EXPECT_EQ(places.configFile, legacy / "Q7m_Uart.cfg");
  EXPECT_EQ(ReadWholeFile(legacy / "Q7m_Uart.cfg"), "#COMMODE 38400\n");
}

// ---- The real host --------------------------------------------------------

// Runs the body in a child process as uid and gid 65534 when the tests run
// as root, so that ownership and the password database can be seen.
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

TEST_F(Places, SystemHostTellsOwnFoldersAndReadsHomeFromThePasswordDatabase) {
  const fs::path mine = root / "mine";
  fs::create_directories(mine);
  fs::permissions(root, fs::perms::all);
  const uid_t user = ::geteuid() == 0 ? 65534 : ::getuid();
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(mine.c_str(), 65534, 65534), 0);
  }
  const passwd* entry = ::getpwuid(user);
  ASSERT_NE(entry, nullptr);
  const std::string expectedHome = entry->pw_dir;

  if (::geteuid() == 0) {
    EXPECT_FALSE(SystemWorkingDirectoryHost().ownedByUser(root))
        << "root's own folders are the system's";
  }
  const int result = RunUnprivileged([&] {
    const auto host = SystemWorkingDirectoryHost();
    if (!host.ownedByUser(mine)) return 1;
    if (host.ownedByUser("/")) return 2;
    // The home folder comes from the password database, not from HOME.
    ::setenv("HOME", mine.c_str(), 1);
    if (host.home() != fs::path(expectedHome)) return 3;
    return 0;
  });
  EXPECT_EQ(result, 0) << "1: own folder not seen as the user's, 2: / seen as the user's, "
                          "3: home not from the password database, 90: no setuid";
}

}  // namespace
