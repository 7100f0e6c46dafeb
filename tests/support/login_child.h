#pragma once
// Runs a piece of the test in a forked child that looks like another login:
// resource limits set first (as pam_limits sets them before the shell
// starts), then, when asked, root dropped for an ordinary user. What the
// piece writes on stdout comes back with its exit status. Dropping root needs
// root.

#include <grp.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

struct LoginLimits {
  std::optional<rlim_t> rtprio;   // RLIMIT_RTPRIO, soft and hard
  std::optional<rlim_t> memlock;  // RLIMIT_MEMLOCK in bytes, soft and hard
  bool asNobody = false;          // uid and gid 65534, no supplementary groups
  bool keepSysNice = false;       // as nobody, with CAP_SYS_NICE alone kept
};

struct LoginChildResult {
  int status = -1;  // the exit status; 100 and up when the child could not be set up
  std::string output;
  // A limit could not be set: raising a hard limit needs CAP_SYS_RESOURCE,
  // which some containers withhold even from root.
  bool LimitRefused() const { return status == 101 || status == 102; }
};

inline LoginChildResult RunInLogin(const LoginLimits& login, const std::function<int()>& body) {
  LoginChildResult result;
  int out[2];
  if (::pipe(out) != 0) return result;
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    if (::dup2(out[1], STDOUT_FILENO) < 0) ::_exit(100);
    const auto limit = [](int resource, std::optional<rlim_t> value) {
      if (!value) return true;
      const rlimit both{*value, *value};
      return ::setrlimit(resource, &both) == 0;
    };
    if (!limit(RLIMIT_RTPRIO, login.rtprio)) ::_exit(101);
    if (!limit(RLIMIT_MEMLOCK, login.memlock)) ::_exit(102);
    if (login.keepSysNice && ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) ::_exit(104);
    if (login.asNobody &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(103);
    }
    if (login.keepSysNice) {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
      data[0].effective = data[0].permitted = 1u << CAP_SYS_NICE;
      if (::syscall(SYS_capset, &header, data) != 0) ::_exit(105);
    }
    const int status = body();
    std::fflush(stdout);
    ::_exit(status);
  }
  ::close(out[1]);
  if (pid < 0) {
    ::close(out[0]);
    return result;
  }
  char buffer[4096];
  for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  int status = 0;
  if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

// Whether root gets round robin here at all, asked in a child process: a
// container without CAP_SYS_NICE or a control group without real-time run
// time refuses even root.
inline bool RootGetsRoundRobinHere() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    sched_param param{};
    param.sched_priority = 1;
    ::_exit(::sched_setscheduler(0, SCHED_RR, &param) == 0 ? 0 : 1);
  }
  int status = -1;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

inline constexpr const char* kCannotRaiseLimit =
    "root cannot raise this hard limit here (no CAP_SYS_RESOURCE)";
