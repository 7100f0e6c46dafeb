// The bridge's link: what may stand at its place, what is removed after a
// bridge that ended, and the default folder with and without a group.

#include "bridge/link_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class LinkPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("q7m-linkpath-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ::chmod(dir.c_str(), 0755);
    link = (dir / "ttyQ7M0").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  static mode_t Mode(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }

  fs::path dir;
  std::string link;
};

TEST(PtySlavePath, OnlyASlaveOfTheSystemsPtsFolder) {
  EXPECT_TRUE(IsPtySlavePath("/dev/pts/0"));
  EXPECT_TRUE(IsPtySlavePath("/dev/pts/4711"));
  for (const char* other : {"/dev/pts/", "/dev/pts/ptmx", "/dev/pts/3/x", "/dev/pts/../null",
                            "/dev/ptmx", "/dev/null", "/etc/passwd", "dev/pts/1", ""}) {
    EXPECT_FALSE(IsPtySlavePath(other)) << other;
  }
}

TEST_F(LinkPathTest, AFreePlaceOrABridgesLeftLinkIsTakenAnythingElseIsRefusedAndNamed) {
  EXPECT_EQ(LinkPathRefusal(link), "");
  // Left by a bridge that was killed: its pty is gone, or someone else's now.
  fs::create_symlink("/dev/pts/999999", link);
  EXPECT_EQ(LinkPathRefusal(link), "");
  fs::remove(link);
  fs::create_symlink("/dev/pts/0", link);
  EXPECT_EQ(LinkPathRefusal(link), "");
  fs::remove(link);

  fs::create_symlink("/etc/passwd", link);
  const std::string toFile = LinkPathRefusal(link);
  EXPECT_NE(toFile.find(link + " is a symbolic link to /etc/passwd, not to a pseudo-terminal"),
            std::string::npos)
      << toFile;
  EXPECT_NE(toFile.find("--link"), std::string::npos) << toFile;
  fs::remove(link);

  std::ofstream(link) << "a user's file";
  EXPECT_NE(LinkPathRefusal(link).find(link + " is a file, not a link to a pseudo-terminal"),
            std::string::npos);
  fs::remove(link);
  fs::create_directory(link);
  EXPECT_NE(LinkPathRefusal(link).find(link + " is a folder"), std::string::npos);
  for (const std::string& refusal : {toFile, LinkPathRefusal(link)}) {
    EXPECT_EQ(refusal.find('\n'), std::string::npos) << "one line";
  }
}

TEST_F(LinkPathTest, OnlyALinkToAPseudoTerminalIsRemovedAfterItsBridge) {
  bool failed = true;
  EXPECT_EQ(RemoveLeftLink(link, failed), "") << "nothing there, nothing said";
  EXPECT_FALSE(failed);

  fs::create_symlink("/dev/pts/7", link);
  EXPECT_EQ(RemoveLeftLink(link, failed),
            "removed the link " + link + " (to /dev/pts/7), which its bridge left");
  EXPECT_FALSE(failed);
  EXPECT_FALSE(fs::is_symlink(link));

  fs::create_symlink("/etc/passwd", link);
  EXPECT_EQ(RemoveLeftLink(link, failed), "");
  EXPECT_EQ(fs::read_symlink(link), "/etc/passwd");
  fs::remove(link);
  std::ofstream(link) << "a user's file";
  EXPECT_EQ(RemoveLeftLink(link, failed), "");
  EXPECT_TRUE(fs::is_regular_file(link));
  EXPECT_FALSE(failed);
}

TEST_F(LinkPathTest, TheDefaultFolderIsPrivateWithoutAGroupAndOpenToItsMembersWithOne) {
  std::string notice;
  const fs::path alone = dir / "alone";
  EXPECT_EQ(PrepareLinkFolder(alone.string(), std::nullopt, "", notice), "");
  EXPECT_EQ(Mode(alone), 0700u);
  EXPECT_EQ(notice, "");

  // A group: made so that its members pass, whatever the umask.
  const gid_t group = ::getegid() + 1;
  const fs::path shared = dir / "shared";
  const mode_t umask = ::umask(077);
  EXPECT_EQ(PrepareLinkFolder(shared.string(), group, "lab", notice), "");
  ::umask(umask);
  EXPECT_EQ(Mode(shared), 0755u);
  EXPECT_EQ(notice, "");

  // Left behind by a bridge without a group: opened, and said.
  EXPECT_EQ(PrepareLinkFolder(alone.string(), group, "lab", notice), "");
  EXPECT_EQ(Mode(alone), 0755u);
  EXPECT_EQ(notice, alone.string() +
                        " kept the group lab out (mode 0700): it is now 0755, so that the "
                        "group's members reach the link");
  EXPECT_EQ(PrepareLinkFolder(alone.string(), group, "lab", notice), "");
  EXPECT_EQ(notice, "") << "once open, nothing more to say";

  // One of the group's already, that others may not pass: left as it is.
  const fs::path grouped = dir / "grouped";
  fs::create_directory(grouped);
  ::chmod(grouped.c_str(), 0750);
  const gid_t own = ::getegid();
  EXPECT_EQ(PrepareLinkFolder(grouped.string(), own, "mine", notice), "");
  EXPECT_EQ(Mode(grouped), 0750u);
  EXPECT_EQ(notice, "");
}

TEST_F(LinkPathTest, AFolderAboveThatKeepsTheGroupOutIsNamedNotChanged) {
  const fs::path closed = dir / "closed";
  fs::create_directory(closed);
  ::chmod(closed.c_str(), 0700);
  const fs::path folder = closed / "q7m-uart";
  std::string notice;
  const std::string reason = PrepareLinkFolder(folder.string(), ::getegid() + 1, "lab", notice);
  EXPECT_EQ(reason, "--group lab: the group's members cannot reach " + folder.string() +
                        ", since " + closed.string() +
                        " keeps them out (mode 0700); name a place they can reach with --link");
  EXPECT_EQ(Mode(closed), 0700u);
  EXPECT_FALSE(fs::exists(folder)) << "nothing made for a link nobody of the group could reach";
  // Without a group nobody else has to reach it.
  EXPECT_EQ(PrepareLinkFolder(folder.string(), std::nullopt, "", notice), "");
  // Its own group passes a folder that is the group's.
  ::chmod(closed.c_str(), 0710);
  EXPECT_EQ(PrepareLinkFolder(folder.string(), ::getegid(), "mine", notice), "");
  EXPECT_EQ(Mode(folder), 0755u);
}

TEST_F(LinkPathTest, AFolderThatIsNotThisUsersIsRefused) {
  const fs::path file = dir / "file";
  std::ofstream(file) << "x";
  std::string notice;
  EXPECT_NE(PrepareLinkFolder(file.string(), std::nullopt, "", notice)
                .find("is not a folder of this user's; name another place with --link"),
            std::string::npos);
  if (::geteuid() != 0) {
    EXPECT_NE(
        PrepareLinkFolder("/", std::nullopt, "", notice).find("is not a folder of this user's"),
        std::string::npos);
  }
  EXPECT_NE(PrepareLinkFolder((dir / "no" / "such").string(), std::nullopt, "", notice)
                .find("cannot make the folder"),
            std::string::npos);
}

}  // namespace
