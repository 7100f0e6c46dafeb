#include "app/working_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <system_error>

#include "config/config_file.h"

namespace fs = std::filesystem;

WorkingDirectoryHost SystemWorkingDirectoryHost() {
  WorkingDirectoryHost host;
  host.writable = [](const fs::path& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; };
  host.home = []() -> fs::path {
    const passwd* entry = ::getpwuid(::getuid());
    if (entry == nullptr || entry->pw_dir == nullptr) return {};
    return fs::path(entry->pw_dir);
  };
  return host;
}

fs::path WorkingDirectoryFor(const fs::path& programDir, const WorkingDirectoryHost& host) {
  if (host.writable(programDir)) return programDir;
  const fs::path home = host.home();
  if (home.empty()) return programDir;
  const fs::path user = home / kUserFolderName;
  std::error_code error;
  fs::create_directories(user, error);
  if (error || !fs::is_directory(user, error)) return programDir;
  const std::string cfgName(kConfigFileName);
  const fs::path sample = programDir / cfgName;
  const fs::path mine = user / cfgName;
  // A copy failure leaves the user without a sample, which the program
  // tolerates; the folder itself is still the right place.
  if (!fs::exists(mine, error) && fs::is_regular_file(sample, error)) {
    fs::copy_file(sample, mine, fs::copy_options::skip_existing, error);
  }
  return user;
}

fs::path WorkingDirectoryFor(const fs::path& programDir) {
  return WorkingDirectoryFor(programDir, SystemWorkingDirectoryHost());
}
