// The bridge's unit under a real service manager: systemd booted as PID 1 in
// a systemd-nspawn container whose root file system mmdebstrap builds from
// Debian's packages (kept in /var/cache/q7m-uart-tests/, one per package
// list; the container writes to memory only), with this build's package
// installed by dpkg while systemd runs. A drop-in points board 0 at the
// simulated board. Then: the unit starts, publishes the link, serves a member
// of the group q7m, logs the bridge's own lines to the journal, stops clean;
// its poller gets real-time wake-ups; a bad settings file fails it once; and
// systemd-analyze rates its hardening.
//
// Skipped only where no container can boot (not root, no namespaces or
// control groups); everything else that goes wrong fails.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_homes.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const std::string kBuild = Q7M_BUILD_DIR;
const fs::path kCache = "/var/cache/q7m-uart-tests";
const std::string kUnit = "q7m-uart-bridge@0.service";
const std::string kLink = "/run/q7m-uart/ttyQ7M0";
const std::string kDropIns = "/etc/systemd/system/q7m-uart-bridge@0.service.d";

// The drop-in that points board 0 at the simulated board: the simulated
// access library is found before the real one beside the program (as
// q7m-uart-bridge-sim does it), and its lock folder is a runtime folder of
// the service's, since ProtectSystem=strict leaves the rest of /run
// read-only to it. Everything else is the unit as shipped.
const char* const kSimulatedBoard =
    "[Service]\n"
    "Environment=LD_LIBRARY_PATH=/usr/lib/q7m-uart/sim\n"
    "Environment=Q7M_SIM_LOCK_DIR=%t/q7m-uart-sim\n"
    "RuntimeDirectory=q7m-uart-sim\n";

// For a machine whose service manager cannot grant the unit's LimitRTPRIO=1
// (its own hard limit is 0 and it may not raise it): the capability instead,
// which the unit's empty bounding set would otherwise drop.
const char* const kNiceCapability =
    "[Service]\n"
    "AmbientCapabilities=CAP_SYS_NICE\n"
    "CapabilityBoundingSet=CAP_SYS_NICE\n";

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Why no container can boot here, or "".
std::string WhyNoContainer() {
  if (::geteuid() != 0) return "booting a container needs root";
  if (RunCommand("unshare --mount --pid --uts --ipc --fork true").status != 0) {
    return "no mount, PID, UTS or IPC namespaces here (unshare fails)";
  }
  if (!fs::exists("/sys/fs/cgroup") || fs::is_empty("/sys/fs/cgroup")) {
    return "no control groups mounted at /sys/fs/cgroup for systemd";
  }
  return "";
}

// The package built from this build, in `folder`; "" with the reason.
std::string BuildPackage(const fs::path& folder, fs::path& deb) {
  const auto cpack = RunCommand("cpack --config '" + kBuild + "/CPackConfig.cmake' -G DEB -B '" +
                                folder.string() + "'");
  if (cpack.status != 0) return "cpack failed:\n" + cpack.output;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".deb") deb = entry.path();
  }
  return deb.empty() ? "cpack made no .deb:\n" + cpack.output : "";
}

// The packages the root file system holds: systemd and D-Bus to boot, and
// what the package depends on, so that dpkg installs it offline.
std::vector<std::string> RootPackages(const fs::path& deb) {
  std::set<std::string> names = {"systemd", "dbus", "adduser", "passwd"};
  std::istringstream depends(RunCommand("dpkg-deb -f '" + deb.string() + "' Depends").output);
  for (std::string item; std::getline(depends, item, ',');) {
    item = item.substr(0, item.find('|'));  // the first of alternatives
    std::istringstream name(item);
    std::string word;
    if (name >> word) names.insert(word.substr(0, word.find(':')));
  }
  return {names.begin(), names.end()};
}

std::string HostCodename() {
  std::ifstream release("/etc/os-release");
  for (std::string line; std::getline(release, line);) {
    if (line.rfind("VERSION_CODENAME=", 0) == 0) return line.substr(17);
  }
  return "";
}

// A root file system with `packages`, from the cache when it has one for
// this list, else built by mmdebstrap (into the cache where it may be
// written, else into `scratch`). Concurrent tests take turns at the cache.
struct RootFileSystem {
  fs::path path;
  bool cached = false;  // found there, not built
  double buildSeconds = 0;
  std::string error;
};

RootFileSystem FindOrBuildRoot(const std::vector<std::string>& packages, const fs::path& scratch) {
  RootFileSystem root;
  const std::string codename = HostCodename();
  if (codename.empty()) {
    root.error = "/etc/os-release names no VERSION_CODENAME for mmdebstrap";
    return root;
  }
  std::string include;
  for (const std::string& p : packages) include += (include.empty() ? "" : ",") + p;
  const std::string options = "--variant=minbase --include=" + include + " " + codename;
  const std::string key =
      Trimmed(RunCommand("printf %s " + ShellQuote(options) + " | sha256sum | cut -c1-16").output);

  std::error_code error;
  fs::create_directories(kCache, error);
  const int lock = error ? -1 : ::open((kCache / "lock").c_str(), O_RDWR | O_CREAT, 0644);
  if (lock >= 0) ::flock(lock, LOCK_EX);
  const fs::path cached = kCache / ("rootfs-" + codename + "-" + key);
  if (lock >= 0 && fs::exists(cached / "usr/lib/systemd/systemd")) {
    root.path = cached;
    root.cached = true;
  } else {
    const fs::path target = lock >= 0 ? fs::path(cached.string() + ".partial") : scratch / "root";
    fs::remove_all(target, error);
    const auto start = std::chrono::steady_clock::now();
    const auto built = RunCommand("mmdebstrap --quiet " + options + " '" + target.string() + "'");
    root.buildSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (built.status != 0) {
      root.error = "mmdebstrap " + options + " failed:\n" + built.output;
      fs::remove_all(target, error);
    } else if (lock >= 0) {
      fs::rename(target, cached);
      root.path = cached;
    } else {
      root.path = target;
    }
  }
  if (lock >= 0) ::close(lock);
  return root;
}

// systemd booted in a container on a root file system that it may not
// change: its writes go to memory and end with it.
class BootedContainer {
 public:
  BootedContainer(const fs::path& root, const fs::path& shared, const fs::path& log) {
    std::vector<std::string> argv = {
        "systemd-nspawn", "--quiet", "--boot", "--directory=" + root.string(), "--volatile=overlay",
        "--machine=q7m-test-" + std::to_string(::getpid()), "--private-network",
        "--bind-ro=" + shared.string() + ":/mnt/q7m",
        // The poller locks its memory; nspawn's own filter refuses mlock.
        "--system-call-filter=@memlock",
        // For the unit's LimitRTPRIO=1 to be grantable inside, where this
        // machine allows it.
        "--rlimit=RTPRIO=1"};
    // Without a systemd of the host's to register with, the container stays
    // in this process's control group.
    if (!fs::exists("/run/systemd/system")) {
      argv.push_back("--register=no");
      argv.push_back("--keep-unit");
    }
    std::ofstream(log).close();  // one stream for both, opened as it is
    ChildProcess::Options options;
    options.out = log.string();
    options.err = log.string();
    options.newSession = true;
    nspawn_ = std::make_unique<ChildProcess>(argv, options);
    log_ = log;
  }

  ~BootedContainer() {
    if (init_ > 0) {
      ::kill(init_, SIGRTMIN + 4);  // systemd's poweroff
      if (!nspawn_->Wait(seconds(60))) ::kill(init_, SIGKILL);
    }
    nspawn_->Wait(seconds(30));
  }

  // Waits for systemd to be PID 1 in the container and to have finished
  // booting; "" or what went wrong.
  std::string WaitForBoot() {
    const std::string children = "/proc/" + std::to_string(nspawn_->Pid()) + "/task/" +
                                 std::to_string(nspawn_->Pid()) + "/children";
    const bool found = WaitUntil(
        [&] {
          std::istringstream pids(ReadWholeFile(children));
          for (pid_t pid; pids >> pid;) {
            const std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
            const auto at = status.find("\nNSpid:");
            if (at == std::string::npos) continue;
            const std::string line = status.substr(at + 1, status.find('\n', at + 1) - at - 1);
            if (line.size() > 2 && line.compare(line.size() - 2, 2, "\t1") == 0) {
              init_ = pid;
              return true;
            }
          }
          return nspawn_->Wait(std::chrono::milliseconds(0)).has_value();
        },
        seconds(60));
    if (!found || init_ <= 0) {
      const auto status = nspawn_->Wait(std::chrono::milliseconds(0));
      return "nspawn started no init (" +
             (status ? "exit status " + std::to_string(*status) : std::string("still running")) +
             "):\n" + ReadWholeFile(log_);
    }
    if (!WaitUntil([&] { return fs::exists(Path("/run/systemd/private")); }, seconds(60))) {
      return "systemd did not come up:\n" + ReadWholeFile(log_);
    }
    const auto state = Run("timeout 120 systemctl is-system-running --wait");
    if (state.output != "running\n" && state.output != "degraded\n") {
      return "the boot did not finish: " + state.output + "\n" + ReadWholeFile(log_);
    }
    if (state.output == "degraded\n") {
      std::cout << "[ NOTE     ] the container's boot is degraded:\n"
                << Run("systemctl --failed --no-legend --no-pager").output;
    }
    return "";
  }

  // A shell command run inside, as root, with a plain environment.
  CommandResult Run(const std::string& command) const {
    return RunCommand("nsenter --target " + std::to_string(init_) +
                      " --all env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 sh -c " +
                      ShellQuote(command));
  }
  // A path inside, as this process reaches it.
  fs::path Path(const std::string& inside) const {
    return "/proc/" + std::to_string(init_) + "/root" + inside;
  }
  pid_t Init() const { return init_; }

 private:
  std::unique_ptr<ChildProcess> nspawn_;
  fs::path log_;
  pid_t init_ = -1;
};

class ServiceUnderSystemd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = WhyNoContainer();
    if (!skip_.empty()) return;
    for (const char* tool : {"systemd-nspawn", "mmdebstrap", "nsenter", "cpack", "dpkg-deb"}) {
      if (RunCommand(std::string("command -v ") + tool).status != 0) {
        failure_ = std::string(tool) + " is missing: scripts/deps.sh installs it";
        return;
      }
    }
    base_ = fs::temp_directory_path() / ("q7m-machine-" + std::to_string(::getpid()));
    fs::remove_all(base_);
    fs::create_directories(base_ / "deb");
    failure_ = BuildPackage(base_ / "deb", deb_);
    if (!failure_.empty()) return;
    root_ = FindOrBuildRoot(RootPackages(deb_), base_);
    failure_ = root_.error;
    if (failure_.empty()) {
      std::cout << "[ NOTE     ] root file system " << root_.path
                << (root_.cached ? " from the cache"
                                 : " built in " + std::to_string(root_.buildSeconds) + " s")
                << "\n";
    }
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    if (!base_.empty()) fs::remove_all(base_, ignored);
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_EQ(failure_, "");
    const auto start = std::chrono::steady_clock::now();
    container_ =
        std::make_unique<BootedContainer>(root_.path, base_ / "deb", base_ / (Name() + ".console"));
    const std::string booted = container_->WaitForBoot();
    ASSERT_EQ(booted, "");
    const auto install = Run("dpkg -i /mnt/q7m/" + deb_.filename().string());
    ASSERT_EQ(install.status, 0) << install.output;
    AddDropIn("simulated-board.conf", kSimulatedBoard);
    // A member of the group the pseudo-terminal is given to.
    const auto user = Run("useradd --no-create-home --groups q7m member");
    ASSERT_EQ(user.status, 0) << user.output;
    std::cout << "[ NOTE     ] booted and installed in "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
              << " s\n";
  }
  void TearDown() override { container_.reset(); }

  static std::string Name() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  CommandResult Run(const std::string& command) const { return container_->Run(command); }

  void AddDropIn(const std::string& name, const std::string& text) {
    fs::create_directories(container_->Path(kDropIns));
    std::ofstream(container_->Path(kDropIns + "/" + name)) << text;
    const auto reload = Run("systemctl daemon-reload");
    ASSERT_EQ(reload.status, 0) << reload.output;
  }

  std::string Property(const std::string& name) const {
    return Trimmed(Run("systemctl show --value -p " + name + " " + kUnit).output);
  }
  // The bridge's own lines in the journal (systemd's are another
  // identifier's), unprintable bytes included as they are.
  std::string BridgeLines() const {
    return Run("journalctl --no-pager --all -o cat -u " + kUnit + " -t q7m-uart-bridge").output;
  }
  bool WaitForBridgeLine(const std::string& text) const {
    return WaitUntil([&] { return Has(BridgeLines(), text); }, seconds(30));
  }
  // The policy and priority of the bridge's poller, as chrt tells them.
  std::string PollerScheduling(const std::string& mainPid) const {
    return Run("for task in /proc/" + mainPid +
               "/task/*; do [ \"$(cat $task/comm)\" = uart-poller ] && chrt -p ${task##*/}; done")
        .output;
  }

  static inline std::string skip_;
  static inline std::string failure_;
  static inline fs::path base_;
  static inline fs::path deb_;
  static inline RootFileSystem root_;
  std::unique_ptr<BootedContainer> container_;
};

TEST_F(ServiceUnderSystemd, StartsServesAMemberOfTheGroupLogsToTheJournalAndStopsClean) {
  const auto start = Run("systemctl start " + kUnit);
  ASSERT_EQ(start.status, 0) << start.output;
  ASSERT_TRUE(WaitUntil([&] { return fs::is_symlink(container_->Path(kLink)); }, seconds(30)))
      << Run("systemctl status --no-pager " + kUnit).output;
  // The scheduling line comes after the link's, once the poller runs.
  ASSERT_TRUE(WaitForBridgeLine("the UART's poller ")) << BridgeLines();

  // The simulated VSC7420 answers a command through the link.
  const auto member =
      Run("setpriv --reuid=member --regid=member --init-groups sh -c 'exec 3<>" + kLink +
          " && stty -F " + kLink +
          " raw -echo && printf \"version\\r\" >&3 && timeout 20 grep -a -m1 \"^Chip: \" <&3'");
  EXPECT_EQ(member.status, 0) << member.output;
  EXPECT_TRUE(Has(member.output, "Chip: VSC7420-02 Caracal-1, revision B")) << member.output;
  const auto stranger =
      Run("setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c 'exec 3<>" + kLink + "'");
  EXPECT_NE(stranger.status, 0) << "a user outside q7m opened the console";
  EXPECT_TRUE(WaitForBridgeLine("a client opened " + kLink)) << BridgeLines();

  const std::string mainPid = Property("MainPID");
  ASSERT_NE(mainPid, "0");
  const auto stop = Run("systemctl stop " + kUnit);
  EXPECT_EQ(stop.status, 0) << stop.output;
  // systemctl stop returns once the process has ended.
  EXPECT_FALSE(fs::exists(fs::symlink_status(container_->Path(kLink)))) << "the link stays";
  EXPECT_FALSE(fs::exists(container_->Path("/proc/" + mainPid))) << "the bridge still runs";
  EXPECT_EQ(Property("ActiveState"), "inactive");
  EXPECT_EQ(Property("Result"), "success");

  const std::string lines = BridgeLines();
  std::cout << "[ NOTE     ] the bridge's lines in the journal:\n" << lines;
  EXPECT_EQ(lines.rfind("the board UART, routing 0 at 115200 baud, is " + kLink + " (/dev/pts/", 0),
            0u)
      << lines;
  EXPECT_TRUE(Has(lines, "\nthe UART's poller has ")) << lines;
  EXPECT_TRUE(Has(lines, "\nending on Terminated: routing 0, board closed\n")) << lines;
  EXPECT_FALSE(Has(lines, "q7m-uart-bridge: ")) << "the journal names the program itself";
  EXPECT_FALSE(Has(lines, "\x1b")) << "no colour codes";
}

TEST_F(ServiceUnderSystemd, ItsPollerRunsAtRealTimePriorityOne) {
  // Whether this machine lets the container's systemd grant LimitRTPRIO=1:
  // nspawn was asked to raise its hard limit, which needs CAP_SYS_RESOURCE.
  std::istringstream limits(ReadWholeFile(container_->Path("/proc/1/limits")));
  bool grantable = false;
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind("Max realtime priority", 0) != 0) continue;
    std::istringstream fields(line.substr(21));
    std::string soft, hard;
    fields >> soft >> hard;
    grantable = hard == "unlimited" || (!hard.empty() && std::stoul(hard) >= 1);
  }
  ASSERT_EQ(Run("systemctl start " + kUnit).status, 0);
  ASSERT_TRUE(WaitForBridgeLine("the UART's poller ")) << BridgeLines();
  if (grantable) {
    std::cout << "[ NOTE     ] the service manager grants the unit's LimitRTPRIO=1 here\n";
  } else {
    // As shipped, the unit's poller is told why it has no real-time
    // wake-ups and how to get them; then the capability gives them.
    const std::string lines = BridgeLines();
    EXPECT_TRUE(Has(lines, "the UART's poller has no real-time wake-ups")) << lines;
    EXPECT_TRUE(Has(lines, "RLIMIT_RTPRIO is 0")) << lines;
    EXPECT_TRUE(Has(lines, "AmbientCapabilities=CAP_SYS_NICE")) << lines;
    const std::string mainPid = Property("MainPID");
    std::string scheduling;
    EXPECT_TRUE(
        WaitUntil([&] { return !(scheduling = PollerScheduling(mainPid)).empty(); }, seconds(30)));
    EXPECT_TRUE(Has(scheduling, "scheduling policy: SCHED_OTHER")) << scheduling;
    std::cout << "[ NOTE     ] this machine grants no RLIMIT_RTPRIO, not even to the container's "
                 "systemd: a test-only drop-in gives the unit CAP_SYS_NICE\n";
    AddDropIn("nice-capability.conf", kNiceCapability);
    ASSERT_EQ(Run("systemctl restart " + kUnit).status, 0);
  }
  ASSERT_TRUE(WaitForBridgeLine("the UART's poller has real-time wake-ups (SCHED_RR priority 1)"))
      << BridgeLines();
  // The poller names itself a moment after it asked the scheduler.
  const std::string mainPid = Property("MainPID");
  std::string scheduling;
  EXPECT_TRUE(
      WaitUntil([&] { return !(scheduling = PollerScheduling(mainPid)).empty(); }, seconds(30)))
      << "no thread uart-poller in the bridge";
  std::cout << "[ NOTE     ] chrt -p on the poller: " << scheduling;
  EXPECT_TRUE(Has(scheduling, "scheduling policy: SCHED_RR")) << scheduling;
  EXPECT_TRUE(Has(scheduling, "scheduling priority: 1\n")) << scheduling;
}

TEST_F(ServiceUnderSystemd, ABadSettingsFileFailsItOnceWithTheBridgesOwnLine) {
  const fs::path settings = container_->Path("/etc/q7m-uart/bridge.conf");
  std::string text = ReadWholeFile(settings);
  const auto at = text.find("\nOPTIONS=\n");
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, 10, "\nOPTIONS=--no-such-option\n");
  std::ofstream(settings, std::ios::trunc) << text;

  Run("systemctl start " + kUnit);  // Type=exec: it may start before it fails
  ASSERT_TRUE(WaitUntil([&] { return Property("ActiveState") == "failed"; }, seconds(30)))
      << Run("systemctl status --no-pager " + kUnit).output;
  // A restart would have been scheduled at the exit instead (auto-restart).
  EXPECT_EQ(Property("SubState"), "failed");
  EXPECT_EQ(Property("ExecMainStatus"), "2");
  EXPECT_EQ(Property("NRestarts"), "0");
  EXPECT_TRUE(WaitForBridgeLine("unknown option --no-such-option\n")) << BridgeLines();
  const auto exits = [&] {
    return Run("journalctl --no-pager -o cat -u " + kUnit + " | grep -c 'Main process exited'")
        .output;
  };
  ASSERT_TRUE(WaitUntil([&] { return exits() != "0\n"; }, seconds(30)));
  EXPECT_EQ(exits(), "1\n") << "it ran once";
}

TEST_F(ServiceUnderSystemd, SystemdAnalyzeSecurityRatesItsHardeningOK) {
  const auto security = Run("systemd-analyze security --no-pager " + kUnit);
  EXPECT_EQ(security.status, 0) << security.output;
  const std::string overall = "Overall exposure level for " + kUnit + ": ";
  const auto at = security.output.find(overall);
  ASSERT_NE(at, std::string::npos) << security.output;
  const std::string figure = security.output.substr(
      at + overall.size(), security.output.find('\n', at) - at - overall.size());
  std::cout << "[ NOTE     ] systemd-analyze security: " << figure << "\n";
  // The README's rating: below 5.0 is "OK" or better.
  EXPECT_LT(std::stod(figure), 5.0) << security.output;
}

}  // namespace
