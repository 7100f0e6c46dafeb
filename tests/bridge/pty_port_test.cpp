// The bridge's pseudo-terminal on a real pty pair: what a client finds when it
// opens the link, and what the bridge learns of the client's writes, speed
// changes and flushes, in their order.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bridge/pty_port.h"

namespace {

namespace fs = std::filesystem;

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("q7m-ptyport-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    link = (dir / "ttyQ7M0").string();
  }
  void TearDown() override {
    CloseClient();
    port.reset();
    fs::remove_all(dir);
  }
  void OpenPort(std::uint32_t baud = 115200) {
    std::string error;
    port = PtyPort::Open(link, baud, error);
    ASSERT_NE(port, nullptr) << error;
  }
  void OpenClient() {
    client = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(client, 0);
  }
  void CloseClient() {
    if (client >= 0) ::close(client);
    client = -1;
  }
  void ClientWrites(const std::string& bytes) {
    ASSERT_EQ(::write(client, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void ClientSetsSpeed(speed_t speed) {
    termios t{};
    ASSERT_EQ(::tcgetattr(client, &t), 0);
    ::cfsetspeed(&t, speed);
    ASSERT_EQ(::tcsetattr(client, TCSANOW, &t), 0);
  }
  // Reads until the bridge side has something, as its poll loop would.
  PtyPort::Input ReadWhenReady(std::size_t max = 4096) {
    pollfd fd{port->Fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&fd, 1, 5000), 1) << "nothing came from the client";
    return port->Read(max);
  }

  fs::path dir;
  std::string link;
  std::unique_ptr<PtyPort> port;
  int client = -1;
};

TEST_F(PtyPortTest, AClientFindsARawLineAtTheBridgeSpeedAndIsSeenComingAndGoing) {
  OpenPort(57600);
  EXPECT_EQ(fs::read_symlink(link).string(), port->SlavePath());
  EXPECT_FALSE(port->ClientPresent());
  OpenClient();
  EXPECT_TRUE(port->ClientPresent());
  termios t{};
  ASSERT_EQ(::tcgetattr(client, &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), B57600);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u) << "no echo, no line editing, no signals";
  EXPECT_EQ(t.c_oflag & OPOST, 0u) << "LF stays LF";
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u) << "CR stays CR, XOFF is a byte";
  EXPECT_NE(t.c_lflag & EXTPROC, 0u) << "its changes are announced to the bridge";
  EXPECT_EQ(port->Speed(), 57600u);

  // Both ways, every byte value.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(port->Write(all), all.size());
  std::string got;
  while (got.size() < all.size()) {
    char buffer[512];
    const ssize_t n = ::read(client, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, all);
  ClientWrites(all);
  std::string sent;
  while (sent.size() < all.size()) sent += ReadWhenReady().data;
  EXPECT_EQ(sent, all);

  CloseClient();
  EXPECT_FALSE(port->ClientPresent());
  OpenClient();
  EXPECT_TRUE(port->ClientPresent()) << "a client that comes later";
}

TEST_F(PtyPortTest, ASpeedChangeComesAfterWhatWasWrittenBeforeIt) {
  OpenPort();
  OpenClient();
  ClientWrites("loadb\r");
  ClientSetsSpeed(B921600);
  // The kernel announces the change first; the bridge still hands the data
  // written before it first, and stops there.
  PtyPort::Input input = ReadWhenReady(2);
  EXPECT_EQ(input.data, "loadb\r");
  EXPECT_TRUE(input.termiosChanged);
  EXPECT_EQ(port->Speed(), 921600u);

  ClientWrites("\r");
  input = ReadWhenReady();
  EXPECT_EQ(input.data, "\r");
  EXPECT_FALSE(input.termiosChanged);
}

TEST_F(PtyPortTest, AClientsSoftwareFlowControlIsAnnouncedAndReadBack) {
  OpenPort();
  ASSERT_TRUE(port->Flow());
  EXPECT_FALSE(port->Flow()->ixon) << "raw: no flow control until a client asks";
  EXPECT_FALSE(port->Flow()->ixoff);
  OpenClient();
  termios t{};
  ASSERT_EQ(::tcgetattr(client, &t), 0);
  t.c_iflag |= IXON | IXANY | IXOFF;
  t.c_cc[VSTART] = 'Q';
  t.c_cc[VSTOP] = 'S';
  ASSERT_EQ(::tcsetattr(client, TCSANOW, &t), 0);
  EXPECT_TRUE(ReadWhenReady().termiosChanged);
  const auto flow = port->Flow();
  ASSERT_TRUE(flow);
  EXPECT_TRUE(flow->ixon && flow->ixany && flow->ixoff);
  EXPECT_EQ(flow->start, 'Q');
  EXPECT_EQ(flow->stop, 'S');
}

TEST_F(PtyPortTest, AClientThatClearsItsLocalModesIsStillHeard) {
  OpenPort();
  OpenClient();
  termios t{};
  ASSERT_EQ(::tcgetattr(client, &t), 0);
  t.c_lflag = 0;
  ASSERT_EQ(::tcsetattr(client, TCSANOW, &t), 0);
  EXPECT_TRUE(ReadWhenReady().termiosChanged) << "the change that clears EXTPROC";
  EXPECT_TRUE(port->KeepAnnouncing());
  EXPECT_FALSE(port->KeepAnnouncing()) << "once is enough";
  ReadWhenReady();  // the bridge's own change
  ClientSetsSpeed(B9600);
  EXPECT_TRUE(ReadWhenReady().termiosChanged);
  EXPECT_EQ(port->Speed(), 9600u);
}

TEST_F(PtyPortTest, FlushesOfTheClientArriveAndItsFlushedOutputIsNotHanded) {
  OpenPort();
  OpenClient();
  ASSERT_EQ(::tcflush(client, TCIFLUSH), 0);
  PtyPort::Input input = ReadWhenReady();
  EXPECT_TRUE(input.flushedInput);
  EXPECT_FALSE(input.flushedOutput);

  // The flush arrives as a status ahead of any data still to come; what the
  // client wrote is never dropped here (it may have drained it first).
  ClientWrites("before");
  EXPECT_EQ(ReadWhenReady().data, "before");
  ASSERT_EQ(::tcflush(client, TCOFLUSH), 0);
  ClientWrites("keep");
  bool flushed = false;
  std::string data;
  while (data.size() < 4) {
    input = ReadWhenReady();
    if (input.flushedOutput) {
      EXPECT_EQ(data, "") << "the flush comes first";
      flushed = true;
    }
    data += input.data;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_TRUE(flushed);
  EXPECT_EQ(data, "keep");
}

TEST_F(PtyPortTest, AnOddSpeedIsSetAsANumber) {
  OpenPort(250000);
  EXPECT_EQ(port->Speed(), 250000u);
}

TEST_F(PtyPortTest, TheLinkReplacesABridgesOldLinkNothingElseAndGoesOnlyWhileItIsOurs) {
  // Left by a bridge that was killed: its pty number may be anyone's now.
  fs::create_symlink("/dev/pts/999999", link);
  OpenPort();
  EXPECT_EQ(fs::read_symlink(link).string(), port->SlavePath()) << "a stale link is replaced";
  port.reset();
  EXPECT_FALSE(fs::is_symlink(link)) << "removed at the end";

  // A link to another file is not a bridge's: neither replaced nor removed.
  fs::create_symlink("/dev/null", link);
  std::string refusal;
  EXPECT_EQ(PtyPort::Open(link, 115200, refusal), nullptr);
  EXPECT_NE(refusal.find("is a symbolic link to /dev/null, not to a pseudo-terminal"),
            std::string::npos)
      << refusal;
  EXPECT_EQ(fs::read_symlink(link).string(), "/dev/null");
  fs::remove(link);

  OpenPort();
  fs::remove(link);
  fs::create_symlink("/dev/zero", link);  // someone else's now
  port.reset();
  EXPECT_EQ(fs::read_symlink(link).string(), "/dev/zero");
  fs::remove(link);

  std::ofstream(link) << "a user's file";
  std::string error;
  EXPECT_EQ(PtyPort::Open(link, 115200, error), nullptr);
  EXPECT_NE(error.find("is a file, not a link to a pseudo-terminal"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_regular_file(link));
  EXPECT_EQ(PtyPort::Open((dir / "no" / "folder").string(), 115200, error), nullptr);
  EXPECT_NE(error.find("cannot make the link"), std::string::npos) << error;
}

TEST_F(PtyPortTest, WithAGroupTheSlaveIsThatGroupsReadWriteBeforeTheLinkExists) {
  // Root may give it any group; a user only one of their own.
  const bool root = ::geteuid() == 0;
  const gid_t group = root ? ::getegid() + 1 : ::getegid();
  std::string error;
  port = PtyPort::Open(link, 115200, error, group);
  ASSERT_NE(port, nullptr) << error;
  struct stat info {};
  ASSERT_EQ(::stat(link.c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, group);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  OpenClient();
  EXPECT_TRUE(port->ClientPresent());
  CloseClient();
  port.reset();

  // Without one, the system's choice: the group may not read it.
  OpenPort();
  ASSERT_EQ(::stat(link.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0040, 0u);
  port.reset();

  if (root) return;
  std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)) + 1);
  groups.resize(
      static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
  gid_t foreign = 0;
  while (foreign == ::getegid() ||
         std::find(groups.begin(), groups.end(), foreign) != groups.end()) {
    ++foreign;
  }
  EXPECT_EQ(PtyPort::Open(link, 115200, error, foreign), nullptr);
  EXPECT_NE(error.find("cannot give /dev/pts/"), std::string::npos) << error;
  EXPECT_FALSE(fs::is_symlink(link)) << "no link to a console its group cannot open";
}

}  // namespace
