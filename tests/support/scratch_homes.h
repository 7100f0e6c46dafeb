#pragma once
// Runs an installed program as root or as another user with a home folder of
// the test's own. The programs take their home folder from the password
// database, so a copy of /etc/passwd with the homes replaced is bound over
// the real one in a mount namespace of the command's own: nothing of the
// machine changes. Needs root (unshare, mount, setpriv).

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// 'text' for sh, with single quotes inside kept.
inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

class ScratchHomes {
 public:
  // Writes the passwd copy into dir with the home folders of the given users
  // (by uid) replaced, and makes those folders, owned by their users. False
  // with the reason when it cannot work here.
  bool Prepare(const std::filesystem::path& dir,
               const std::map<uid_t, std::filesystem::path>& homes, std::string& why) {
    if (::geteuid() != 0) {
      why = "needs root for unshare, mount and setpriv";
      return false;
    }
    if (std::system("unshare -m true >/dev/null 2>&1") != 0) {
      why = "no mount namespaces here";
      return false;
    }
    std::ifstream in("/etc/passwd");
    std::string copy;
    std::map<uid_t, bool> found;
    for (std::string line; std::getline(in, line);) {
      // name:password:uid:gid:gecos:home:shell
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string field; std::getline(parts, field, ':');) fields.push_back(field);
      if (fields.size() == 7) {
        const uid_t uid = static_cast<uid_t>(std::stoul(fields[2]));
        const auto home = homes.find(uid);
        if (home != homes.end()) {
          fields[5] = home->second.string();
          gids_[uid] = static_cast<gid_t>(std::stoul(fields[3]));
          found[uid] = true;
          line.clear();
          for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? ":" : "") + fields[i];
        }
      }
      copy += line + "\n";
    }
    for (const auto& [uid, home] : homes) {
      if (!found[uid]) {
        why = "no user with uid " + std::to_string(uid) + " in /etc/passwd";
        return false;
      }
      std::filesystem::create_directories(home);
      if (::chown(home.c_str(), uid, gids_[uid]) != 0) {
        why = "cannot give " + home.string() + " to its user";
        return false;
      }
    }
    std::filesystem::create_directories(dir);
    passwd_ = dir / "passwd";
    std::ofstream(passwd_) << copy;
    return true;
  }

  // A shell command that runs `command` (itself a shell command) as the user,
  // with the user's supplementary groups when initGroups is set (else none).
  std::string As(uid_t uid, const std::string& command, bool initGroups = false) const {
    std::string inner = "mount --bind " + passwd_.string() + " /etc/passwd && exec ";
    if (uid != 0) {
      inner += "setpriv --reuid=" + std::to_string(uid) +
               " --regid=" + std::to_string(gids_.at(uid)) +
               (initGroups ? " --init-groups" : " --clear-groups") + " ";
    }
    inner += "sh -c " + ShellQuote(command);
    return "unshare -m sh -c " + ShellQuote(inner);
  }

 private:
  std::filesystem::path passwd_;
  std::map<uid_t, gid_t> gids_;
};
