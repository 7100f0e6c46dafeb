// q7m-uart-bridge as a lab service, end to end on the simulated board: its
// lines as the journal takes them, and the lab's tools on its link with real
// programs on the board's side. conserver logs the console with times while
// one console client types and another spies; labgrid's ShellDriver logs in
// through agetty and login and checks a command's output, on the link and
// through ser2net's RFC 2217 port. The servers run here on loopback ports
// chosen at run time, with the package's example configurations.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/tmux_session.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kBuild = Q7M_BUILD_DIR;
const std::string kSource = Q7M_SOURCE_DIR;
// Debian's interpreter, with labgrid and pytest: another python3 first on
// the PATH may lack them.
const std::string kPython = "/usr/bin/python3";

std::string Example(const std::string& name) {
  return ReadWholeFile(kSource + "/examples/" + name);
}

// Puts a site's own value in place of the example's everywhere; a value the
// example no longer holds fails the test, which would otherwise test less.
void Substitute(std::string& text, const std::string& from, const std::string& to) {
  EXPECT_NE(text.find(from), std::string::npos) << "the example lacks \"" << from << "\"";
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

// A line of conserver's log that holds exactly `text` after the time stamp
// that "timestamp 1l" puts before every line: "[Thu Dec 10 05:52:17 2026]".
bool StampedLine(const std::string& log, const std::string& text) {
  // The stamp's shape, character by character: A upper case, a lower case,
  // 9 a digit, _ a space or a digit; anything else stands for itself.
  static constexpr std::string_view kShape = "[Aaa Aaa _9 99:99:99 9999]";
  const auto fits = [](std::string_view stamp) {
    if (stamp.size() != kShape.size()) return false;
    for (std::size_t i = 0; i < stamp.size(); ++i) {
      const char c = stamp[i];
      const bool ok = kShape[i] == 'A'   ? (c >= 'A' && c <= 'Z')
                      : kShape[i] == 'a' ? (c >= 'a' && c <= 'z')
                      : kShape[i] == '9' ? (c >= '0' && c <= '9')
                      : kShape[i] == '_' ? (c == ' ' || (c >= '0' && c <= '9'))
                                         : c == kShape[i];
      if (!ok) return false;
    }
    return true;
  };
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() == kShape.size() + text.size() &&
        fits(std::string_view(line).substr(0, kShape.size())) &&
        line.compare(kShape.size(), std::string::npos, text) == 0) {
      return true;
    }
  }
  return false;
}

// A server the test starts (conserver, ser2net) in a process group of its
// own, ended with all the processes it forked however the test ends.
class Server {
 public:
  Server(const std::vector<std::string>& argv, ChildProcess::Options options) {
    options.newSession = true;
    process_ = std::make_unique<ChildProcess>(argv, options);
  }
  ~Server() {
    if (!process_->Started()) return;
    ::kill(-process_->Pid(), SIGTERM);
    process_->Wait(seconds(5));
    ::kill(-process_->Pid(), SIGKILL);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  ChildProcess& Process() { return *process_; }

 private:
  std::unique_ptr<ChildProcess> process_;
};

// How many processes a user has.
int ProcessesOf(uid_t uid) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat info {};
    if (::stat(entry.path().c_str(), &info) == 0 && info.st_uid == uid) ++count;
  }
  return count;
}

// The board's user for a login on its console: made for the test with a
// password and a prompt, and removed with its home once its processes have
// ended.
class BoardUser {
 public:
  explicit BoardUser(const fs::path& home)
      : name_("q7mlab" + std::to_string(::getpid() % 100000)), password_("lab board " + name_) {
    const auto added = RunCommand("useradd --create-home --home-dir '" + home.string() +
                                  "' --shell /bin/sh " + name_);
    if (added.status != 0) {
      why_ = "useradd: " + added.output;
      return;
    }
    made_ = true;
    const passwd* entry = ::getpwnam(name_.c_str());
    uid_ = entry->pw_uid;
    const auto password = RunCommand("echo '" + name_ + ":" + password_ + "' | chpasswd");
    if (password.status != 0) why_ = "chpasswd: " + password.output;
    // A board's prompt, as Debian's shell shows it on a board.
    std::ofstream(home / ".profile") << "PS1='" << name_ << "@board0:~$ '\n";
  }
  ~BoardUser() {
    if (!made_) return;
    // The login's shell ends when its console hangs up.
    WaitUntil([&] { return ProcessesOf(uid_) == 0; }, seconds(10));
    RunCommand("userdel --remove " + name_);
  }
  BoardUser(const BoardUser&) = delete;
  BoardUser& operator=(const BoardUser&) = delete;

  bool Ready() const { return made_ && why_.empty(); }
  const std::string& Why() const { return why_; }
  const std::string& Name() const { return name_; }
  const std::string& Password() const { return password_; }
  uid_t Uid() const { return uid_; }

 private:
  std::string name_;
  std::string password_;
  std::string why_;
  bool made_ = false;
  uid_t uid_ = 0;
};

class LabE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parameterized test's name holds a slash.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    root = (fs::temp_directory_path() / ("q7m-lab-" + std::to_string(::getpid()) + "-" + name))
               .string();
    fs::remove_all(root);
    programDir = root + "/program";
    fs::create_directories(programDir);
    // Others (conserver's user, the board's user) find their way in.
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(kBuild + "/bin/q7m-uart-bridge", programDir + "/q7m-uart-bridge");
    remotePath = root + "/remote";
    link = root + "/ttyQ7M0";
  }
  void TearDown() override {
    clients.clear();
    bridges.clear();
    fs::remove_all(root);
  }

  // Starts a bridge on the simulated board, whose console is the pty at
  // remotePath, and waits until it has printed its link (or ended).
  ChildProcess& StartBridge(std::vector<std::string> arguments,
                            const std::vector<std::string>& environment = {},
                            const std::string& name = "bridge") {
    arguments.insert(arguments.begin(), programDir + "/q7m-uart-bridge");
    std::vector<std::string> all = {"LD_LIBRARY_PATH=" + kBuild + "/sim",
                                    "Q7M_SIM_PTY=" + remotePath};
    all.insert(all.end(), environment.begin(), environment.end());
    return StartUntilItSaysReady(arguments, all, root, name, bridges);
  }
  std::string Err(const std::string& name = "bridge") const {
    return ReadWholeFile(root + "/" + name + ".err");
  }
  // Ends a bridge as systemd stops a service.
  void StopBridge(ChildProcess& bridge) {
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(seconds(10)), 0) << Err();
  }
  ChildProcess& Start(const std::vector<std::string>& argv, ChildProcess::Options options) {
    clients.push_back(std::make_unique<ChildProcess>(argv, options));
    return *clients.back();
  }
  // An interactive shell on the board's console, with the line discipline a
  // board's getty sets up (the simulated board's pty starts raw).
  void StartBoardShell() {
    ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(remotePath); }));
    ChildProcess::Options shell;
    shell.in = shell.out = shell.err = remotePath;
    shell.newSession = true;
    shell.environment = {"ENV=", "PS1=board0$ "};
    Start({"sh", "-c", "stty sane && exec sh -i"}, shell);
  }

  std::string root, programDir, remotePath, link;
  std::vector<std::unique_ptr<ChildProcess>> bridges;
  std::vector<std::unique_ptr<ChildProcess>> clients;
};

TEST_F(LabE2E, UnderTheJournalEachEventIsALineWithoutTheProgramsName) {
  // systemd hands a service a stream to the journal and names it in
  // JOURNAL_STREAM ("<device>:<inode>"); a file stands in for it here.
  const std::string journal = root + "/journal.err";
  std::ofstream(journal).close();
  struct stat info {};
  ASSERT_EQ(::stat(journal.c_str(), &info), 0);
  const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  ChildProcess& bridge =
      StartBridge({"--route", "2", "--link", link}, {"JOURNAL_STREAM=" + stream}, "journal");
  // A second bridge that inherited the variable but writes elsewhere.
  ChildProcess& other = StartBridge({"--route", "2", "--link", link, "--board", "1"},
                                    {"JOURNAL_STREAM=" + stream}, "other");
  EXPECT_EQ(other.Wait(), 1);
  {
    const int client = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(WaitForFileText(journal, "a client opened " + link + "\n"));
    ::close(client);
  }
  bridge.Signal(SIGTERM);
  EXPECT_EQ(bridge.Wait(), 0) << Err("journal");

  const std::string lines = ReadWholeFile(journal);
  EXPECT_EQ(lines.rfind("the board UART, routing 2 at 115200 baud, is " + link, 0), 0u) << lines;
  EXPECT_NE(lines.find("\nending on Terminated: routing 0, board closed\n"), std::string::npos)
      << lines;
  EXPECT_EQ(lines.find("q7m-uart-bridge:"), std::string::npos) << lines;
  EXPECT_EQ(lines.find('\x1b'), std::string::npos) << "no colours: " << lines;
  EXPECT_EQ(lines.find('\r'), std::string::npos) << lines;
  EXPECT_EQ(Err("other").rfind("q7m-uart-bridge: Cannot Open Selected Device", 0), 0u)
      << Err("other");
}

TEST_F(LabE2E, ConserverLogsEveryLineWithItsTimeWhileOneTypesAndAnotherSpies) {
  // Debian's conserver runs as a user of its own, which opens the console
  // through the group the bridge gives it: nobody in nogroup here when the
  // test runs as root, else the test's own user and group.
  const bool asRoot = ::geteuid() == 0;
  const group* own = ::getgrgid(::getegid());
  ASSERT_NE(own, nullptr);
  const std::string consoleGroup = asRoot ? "nogroup" : own->gr_name;
  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link, "--group", consoleGroup});
  StartBoardShell();

  const std::string logs = root + "/conserver";
  fs::create_directories(logs);
  fs::permissions(logs, fs::perms::all);
  // Debian's conserver.cf around the example's blocks: read-write for all,
  // clients of the loopback, without a password (conserver.passwd).
  std::string blocks = Example("conserver.cf");
  Substitute(blocks, "/run/q7m-uart/ttyQ7M0", link);
  Substitute(blocks, "/var/log/conserver/", logs + "/");
  const std::string config = root + "/conserver.cf";
  std::ofstream(config) << "default full { rw *; }\n"
                        << "default * { logfile " << logs << "/&; timestamp \"\"; include full; }\n"
                        << blocks << "access * { allowed 127.0.0.1; }\n";
  const std::string passwords = root + "/conserver.passwd";
  std::ofstream(passwords) << "*any*:\n";

  const int port = FreePort();
  std::vector<std::string> argv = {"conserver",          "-C", config,     "-P", passwords, "-p",
                                   std::to_string(port), "-M", "127.0.0.1"};
  if (asRoot) {
    argv.insert(argv.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  }
  ChildProcess::Options options;
  options.out = root + "/conserver.out";
  options.err = root + "/conserver.err";
  options.directory = root;
  Server conserver(argv, options);
  ASSERT_TRUE(WaitUntil([&] { return Listening(port); })) << ReadWholeFile(options.err);
  // conserver opens the console at its start and logs from then on: the
  // shell's prompt, kept by the bridge until a client came, is there.
  const std::string log = logs + "/q7m-board0.log";
  ASSERT_TRUE(WaitForFileText(log, "board0$ ")) << ReadWholeFile(options.out) << Err();

  const std::string client = "console -M 127.0.0.1 -p " + std::to_string(port) + " ";
  // conserver lists a console's clients ("console -i"): "w@user@host..." for
  // the one who types, "r@user@host..." for one who spies.
  const auto clients = [&] { return RunCommand(client + "-i").output; };
  const auto listed = [&](const char* kind) {
    const std::string list = clients();
    return list.find(std::string(":") + kind) != std::string::npos ||
           list.find(std::string(",") + kind) != std::string::npos;
  };
  TmuxSession typing(client + "q7m-board0");
  ASSERT_TRUE(WaitUntil([&] { return listed("w@"); })) << clients() << typing.Capture();
  TmuxSession watching(client + "-s q7m-board0");
  ASSERT_TRUE(WaitUntil([&] { return listed("r@"); })) << clients() << watching.Capture();

  // Enter as a terminal sends it.
  typing.SendText("echo lab-$((6 * 7))\r");
  EXPECT_TRUE(typing.WaitForLine("lab-42")) << typing.Capture();
  EXPECT_TRUE(watching.WaitForLine("lab-42")) << watching.Capture();
  // The spy only watches: what it types goes nowhere.
  watching.SendText("echo spy-$((1 + 1))\r");
  typing.SendText("echo done-$((2 + 3))\r");
  EXPECT_TRUE(watching.WaitForLine("done-5")) << watching.Capture();

  ASSERT_TRUE(WaitForFileText(log, "done-5")) << ReadWholeFile(log);
  const std::string text = ReadWholeFile(log);
  EXPECT_TRUE(StampedLine(text, "lab-42")) << text;
  EXPECT_TRUE(StampedLine(text, "done-5")) << text;
  EXPECT_NE(text.find(" attached -- "), std::string::npos) << "who attached: " << text;
  EXPECT_EQ(text.find("spy-2"), std::string::npos) << text;
  StopBridge(bridge);
}

class LabgridE2E : public LabE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(LabgridE2E, ShellDriverLogsInOnTheBoardsConsoleAndChecksACommandsOutput) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a login on the board's side needs root: a user made for the test, agetty "
                    "and login";
  }
  const std::string target = GetParam();
  const bool network = target == "main";
  BoardUser user(root + "/home");
  ASSERT_TRUE(user.Ready()) << user.Why();
  ChildProcess& bridge = StartBridge({"--route", "2", "--link", link});
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(remotePath); }));

  // On the board's side: agetty asks for the name, login for the password,
  // and login starts the user's shell.
  const std::string tty = fs::read_symlink(remotePath).string();
  ASSERT_EQ(tty.rfind("/dev/", 0), 0u) << tty;
  ChildProcess::Options getty;
  getty.newSession = true;
  getty.err = root + "/agetty.err";
  ChildProcess& login =
      Start({"/usr/sbin/agetty", "-L", "--noclear", tty.substr(5), "115200", "vt100"}, getty);

  // The example's environment with this board's user, and this run's link
  // and port.
  const int port = FreePort();
  std::string environment = Example("labgrid-q7m.yaml");
  Substitute(environment, "host: labpc", "host: 127.0.0.1");
  Substitute(environment, "port: 3001", "port: " + std::to_string(port));
  Substitute(environment, "port: /run/q7m-uart/ttyQ7M0", "port: " + link);
  Substitute(environment, "username: root", "username: " + user.Name());
  Substitute(environment, "password: 'board password'", "password: '" + user.Password() + "'");
  Substitute(environment, "prompt: 'root@", "prompt: '" + user.Name() + "@");
  const std::string environmentFile = root + "/labgrid.yaml";
  std::ofstream(environmentFile) << environment;

  std::unique_ptr<Server> ser2net;
  if (network) {
    std::string connection = Example("ser2net.yaml");
    Substitute(connection, "tcp,3001", "tcp,127.0.0.1," + std::to_string(port));
    Substitute(connection, "/run/q7m-uart/ttyQ7M0", link);
    const std::string config = root + "/ser2net.yaml";
    std::ofstream(config) << connection;
    ChildProcess::Options options;
    options.out = root + "/ser2net.out";
    options.err = root + "/ser2net.err";
    ser2net =
        std::make_unique<Server>(std::vector<std::string>{"ser2net", "-n", "-d", "-u", "-P",
                                                          root + "/ser2net.pid", "-c", config},
                                 options);
    ASSERT_TRUE(WaitUntil([&] { return Listening(port); })) << ReadWholeFile(options.err);
  }

  ChildProcess::Options script;
  script.out = root + "/pytest.out";
  script.err = root + "/pytest.err";
  script.directory = root;
  script.environment = {"Q7M_LG_TARGET=" + target, "Q7M_LG_USER=" + user.Name(),
                        "PYTHONDONTWRITEBYTECODE=1"};
  ChildProcess& pytest = Start({kPython, "-m", "pytest", "-p", "no:cacheprovider", "-v", "--lg-env",
                                environmentFile, kSource + "/tests/e2e/lab_labgrid.py"},
                               script);
  EXPECT_EQ(pytest.Wait(seconds(180)), 0)
      << ReadWholeFile(script.out) << ReadWholeFile(script.err) << Err();
  const std::string report = ReadWholeFile(script.out);
  EXPECT_NE(report.find("1 passed"), std::string::npos) << report;
  // pytest's last line: the test's time, the login included.
  const std::size_t last = report.find_last_of('\n', report.size() - 2);
  std::cout << "labgrid, target " << target << ": "
            << report.substr(last == std::string::npos ? 0 : last + 1);

  // login passes the signal on to the shell; the bridge's end hangs the
  // console up for anything left.
  login.Signal(SIGTERM);
  login.Wait();
  ser2net.reset();
  StopBridge(bridge);
}

INSTANTIATE_TEST_SUITE_P(Targets, LabgridE2E, ::testing::Values("local", "main"),
                         [](const auto& info) {
                           return std::string(info.param) == "local"
                                      ? std::string("RawSerialPortOnTheLink")
                                      : std::string("NetworkSerialPortThroughSer2net");
                         });

}  // namespace
