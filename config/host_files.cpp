#include "config/host_files.h"

#include <dirent.h>
#include <fnmatch.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "console/ascii.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool IsOrdinaryFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The first ordinary, non-hidden file of dir whose name matches pattern
// (wildcards *, ? and [...]), letters compared without regard to case, as a
// bare name; empty when none matches. "First" is byte order of the names, so
// the answer does not depend on the order the file system lists them in.
std::string FindFirstFile(const std::string& dir, const std::string& pattern) {
  if (pattern.empty()) return {};
  const std::unique_ptr<DIR, DirCloser> handle(opendir(dir.c_str()));
  if (!handle) return {};
  std::string best;
  while (const dirent* entry = readdir(handle.get())) {
    const std::string_view entryName = entry->d_name;
    if (entryName.empty() || entryName.front() == '.') continue;
    if (!best.empty() && entryName >= best) continue;
    if (fnmatch(pattern.c_str(), entry->d_name, FNM_CASEFOLD | FNM_NOESCAPE) != 0) continue;
    if (!IsOrdinaryFile(dir + "/" + entry->d_name)) continue;
    best = entryName;
  }
  return best;
}

struct SplitName {
  std::string dir;
  std::string pattern;
};

SplitName Split(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(name)};
  return {slash == 0 ? std::string("/") : std::string(name.substr(0, slash)),
          std::string(name.substr(slash + 1))};
}

}  // namespace

bool FileExists(std::string_view name) {
  // A C string cannot carry a NUL, so such a name names no file.
  if (name.find('\0') != std::string_view::npos) return false;
  const SplitName split = Split(name);
  const std::string found = FindFirstFile(split.dir, split.pattern);
  const std::size_t n = found.size();
  return n > 0 && n <= name.size() && SameIgnoringCase(name.substr(name.size() - n), found);
}

std::string FoundFileName(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return {};
  const std::string path(name);
  if (IsOrdinaryFile(path)) return path;
  const SplitName split = Split(name);
  const std::string found = FindFirstFile(split.dir, split.pattern);
  if (found.empty()) return {};
  return name.find('/') == std::string_view::npos ? found : split.dir + "/" + found;
}

std::string UserHomeDirectory() {
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? std::string(entry->pw_dir) : std::string();
}
