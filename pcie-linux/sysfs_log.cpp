#include "pcie-linux/sysfs_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "pcie-linux/unique_fd.h"

namespace q7m::pcie_linux {
namespace {

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// mkdir -p for the fallback state directory.
bool MakeDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string StateDirectory() {
  std::string base = EnvOrEmpty("XDG_STATE_HOME");
  if (base.empty()) {
    const std::string home = EnvOrEmpty("HOME");
    if (home.empty()) return {};
    base = home + "/.local/state";
  }
  return base + "/q7m-uart";
}

// Candidate directories in order of preference.
std::vector<std::string> Candidates() {
  std::vector<std::string> dirs;
  const std::string chosen = EnvOrEmpty(kLogDirVariable);
  dirs.push_back(chosen.empty() ? std::string(".") : chosen);
  const std::string state = StateDirectory();
  if (!state.empty()) dirs.push_back(state);
  return dirs;
}

UniqueFd OpenLog(std::string* path_out) {
  const std::vector<std::string> dirs = Candidates();
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    // Only the fallback is created; a directory named by the user or the
    // current one must already exist.
    if (i > 0 && !MakeDirectories(dirs[i])) continue;
    const std::string path = dirs[i] + "/" + kLogFileName;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.valid()) {
      if (path_out != nullptr) *path_out = path;
      return fd;
    }
  }
  return UniqueFd();
}

std::string Timestamp() {
  struct timeval now {};
  ::gettimeofday(&now, nullptr);
  struct tm local {};
  ::localtime_r(&now.tv_sec, &local);
  char text[64];
  const std::size_t used = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + used, sizeof text - used, ".%03ld", static_cast<long>(now.tv_usec / 1000));
  return text;
}

}  // namespace

std::string LogFilePath() {
  std::string path;
  OpenLog(&path);
  return path;
}

void AppendLogLine(std::string_view text) {
  UniqueFd fd = OpenLog(nullptr);
  if (!fd.valid()) return;
  std::string line = Timestamp() + " [" + std::to_string(::getpid()) + "] ";
  line.append(text);
  line.push_back('\n');
  // One write per line so that lines of two processes do not interleave.
  const ssize_t written = ::write(fd.get(), line.data(), line.size());
  (void)written;
}

}  // namespace q7m::pcie_linux
