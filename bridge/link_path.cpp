#include "bridge/link_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

constexpr std::string_view kPtsFolder = "/dev/pts/";
// The folder's mode with a group: the service's runtime folder has the same.
constexpr mode_t kSharedFolderMode = 0755;

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The target of the symbolic link at `path`, or nullopt when it is none.
std::optional<std::string> LinkTarget(const std::string& path) {
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<std::size_t>(n));
}

// Whether a member of `group` who is neither the owner nor root may pass
// through a folder: its search permission for others, or for its group when
// that is the one.
bool GroupMayPass(const struct stat& info, gid_t group) {
  if ((info.st_mode & S_IXOTH) != 0) return true;
  return info.st_gid == group && (info.st_mode & S_IXGRP) != 0;
}

}  // namespace

bool IsPtySlavePath(std::string_view target) {
  if (!target.starts_with(kPtsFolder)) return false;
  const std::string_view number = target.substr(kPtsFolder.size());
  return !number.empty() && number.size() <= 10 &&
         number.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string LinkPathRefusal(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return {};
    return "cannot use " + path + " for the link: " + std::strerror(errno);
  }
  if (S_ISLNK(info.st_mode)) {
    const auto target = LinkTarget(path);
    if (target && IsPtySlavePath(*target)) return {};
    return path + " is a symbolic link to " + (target ? *target : std::string("?")) +
           ", not to a pseudo-terminal: it is left as it is; name another place with --link";
  }
  const char* kind = S_ISDIR(info.st_mode) ? "a folder" : "a file";
  return path + " is " + kind + ", not a link to a pseudo-terminal: it is left as it is; name " +
         "another place with --link";
}

std::string RemoveLeftLink(const std::string& path, bool& failed) {
  failed = false;
  const auto target = LinkTarget(path);
  if (!target || !IsPtySlavePath(*target)) return {};
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return {};
    failed = true;
    return "cannot remove the link " + path + ": " + std::strerror(errno);
  }
  return "removed the link " + path + " (to " + *target + "), which its bridge left";
}

// A folder above the link's that keeps the group's members out: not this
// program's to change, so it is named. "" when they pass every one.
std::string FolderAboveThatKeepsOut(const std::string& folder, gid_t group,
                                    std::string_view groupName) {
  std::error_code error;
  std::filesystem::path above = std::filesystem::absolute(folder, error).parent_path();
  for (;;) {
    struct stat info {};
    if (::stat(above.c_str(), &info) != 0) return above.string() + ": " + std::strerror(errno);
    if (!GroupMayPass(info, group)) {
      return "--group " + std::string(groupName) + ": the group's members cannot reach " + folder +
             ", since " + above.string() + " keeps them out (mode " + Mode(info.st_mode) +
             "); name a place they can reach with --link";
    }
    if (above == above.root_path() || above.empty()) return {};
    above = above.parent_path();
  }
}

std::string PrepareLinkFolder(const std::string& folder, std::optional<gid_t> group,
                              std::string_view groupName, std::string& notice) {
  notice.clear();
  if (group) {
    if (std::string reason = FolderAboveThatKeepsOut(folder, *group, groupName); !reason.empty()) {
      return reason;
    }
  }
  const bool made = ::mkdir(folder.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    return "cannot make the folder " + folder + ": " + std::strerror(errno);
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return folder + ": " + std::strerror(errno);
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
    return folder + " is not a folder of this user's; name another place with --link";
  }
  if (!group || (!made && GroupMayPass(info, *group))) return {};
  // The pseudo-terminal is the group's alone; the folder holds only links.
  const mode_t mode = (info.st_mode & 07777) | kSharedFolderMode;
  if (::chmod(folder.c_str(), mode) != 0) {
    return "cannot open " + folder + " to the group " + std::string(groupName) + ": " +
           std::strerror(errno);
  }
  if (!made) {
    notice = folder + " kept the group " + std::string(groupName) + " out (mode " +
             Mode(info.st_mode) + "): it is now " + Mode(mode) +
             ", so that the group's members reach the link";
  }
  return {};
}
