#include "app/working_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "config/config_file.h"
#include "config/host_files.h"

namespace fs = std::filesystem;

namespace {

// Files the program writes, which an earlier version kept in ~/.q7m-uart.
constexpr const char* kWrittenFiles[] = {"Term.txt", "PCIAccessDll.log", "Q7m_Config.bin"};

bool IsFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool IsFolder(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The configuration folder the layout file names: "config <folder>" on a
// line of its own. A relative folder is taken from the program's folder.
fs::path LayoutConfigFolder(const fs::path& layoutFile, const fs::path& programDir) {
  std::ifstream in(layoutFile);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("config ", 0) != 0) continue;
    const fs::path folder = line.substr(7);
    if (folder.empty()) continue;
    return folder.is_absolute() ? folder : programDir / folder;
  }
  return {};
}

// A rename within the home folder; false, with nothing changed, otherwise.
bool MoveFile(const fs::path& from, const fs::path& to) {
  std::error_code error;
  if (fs::exists(to, error)) return false;
  fs::create_directories(to.parent_path(), error);
  if (error) return false;
  fs::rename(from, to, error);
  return !error;
}

std::string HomeRelative(const fs::path& path, const fs::path& home) {
  const fs::path rel = path.lexically_relative(home);
  if (rel.empty() || *rel.begin() == "..") return path.string();
  return "~/" + rel.string();
}

}  // namespace

WorkingDirectoryHost SystemWorkingDirectoryHost() {
  WorkingDirectoryHost host;
  host.home = []() { return fs::path(UserHomeDirectory()); };
  host.ownedByUser = [](const fs::path& dir) {
    struct stat info {};
    return ::getuid() != 0 && ::stat(dir.c_str(), &info) == 0 && info.st_uid == ::getuid();
  };
  return host;
}

ProgramPlaces FindProgramPlaces(const fs::path& programDir, const WorkingDirectoryHost& host) {
  ProgramPlaces places;
  const std::string cfgName(kConfigFileName);
  const fs::path layout = programDir / kLayoutFileName;
  if (!IsFile(layout) || host.ownedByUser(programDir)) {
    places.workDir = programDir;
    places.configFile = programDir / cfgName;
    // An install of the user's own keeps its configuration with the
    // install's other configuration until the user puts one beside the
    // program.
    if (IsFile(layout) && !IsFile(places.configFile)) {
      const fs::path folder = LayoutConfigFolder(layout, programDir);
      if (!folder.empty() && IsFile(folder / cfgName)) places.configFile = folder / cfgName;
    }
    return places;
  }

  places.installed = true;
  const fs::path folder = LayoutConfigFolder(layout, programDir);
  if (!folder.empty()) places.systemConfigFile = folder / cfgName;
  places.configFile = places.systemConfigFile;
  const fs::path home = host.home();
  if (home.empty()) return places;  // workDir "": the current folder
  places.home = home;
  places.workDir = home / kUserStateFolder;
  places.userConfigFile = home / kUserConfigFolder / cfgName;
  if (IsFolder(home / kLegacyFolderName)) places.legacyDir = home / kLegacyFolderName;

  const fs::path legacyConfig = places.legacyDir.empty() ? fs::path() : places.legacyDir / cfgName;
  if (IsFile(places.userConfigFile)) {
    places.configFile = places.userConfigFile;
  } else if (!legacyConfig.empty() && IsFile(legacyConfig) &&
             (places.systemConfigFile.empty() || !IsFile(places.systemConfigFile) ||
              ReadAll(legacyConfig) != ReadAll(places.systemConfigFile))) {
    // The user's edits of the copy an earlier version made.
    places.configFile = legacyConfig;
  }
  return places;
}

std::string PrepareProgramPlaces(ProgramPlaces& places) {
  if (places.workDir.empty()) return {};
  std::error_code error;
  fs::create_directories(places.workDir, error);
  if (error || !IsFolder(places.workDir)) {
    // Without it the program still runs, in the folder it was started in.
    places.workDir.clear();
    return {};
  }
  if (!places.installed || places.legacyDir.empty()) return {};

  const fs::path& home = places.home;
  std::vector<std::string> moved;
  const fs::path legacyConfig = places.legacyDir / std::string(kConfigFileName);
  if (places.configFile == legacyConfig) {
    if (MoveFile(legacyConfig, places.userConfigFile)) {
      places.configFile = places.userConfigFile;
      moved.push_back(HomeRelative(places.userConfigFile.parent_path(), home));
    }
  } else if (IsFile(legacyConfig) && IsFile(places.systemConfigFile) &&
             ReadAll(legacyConfig) == ReadAll(places.systemConfigFile)) {
    // Only the sample that an earlier version copied: the install's file
    // says the same.
    fs::remove(legacyConfig, error);
  }
  bool movedState = false;
  for (const char* name : kWrittenFiles) {
    const fs::path from = places.legacyDir / name;
    if (IsFile(from) && MoveFile(from, places.workDir / name)) movedState = true;
  }
  if (movedState) moved.push_back(HomeRelative(places.workDir, home));
  // Gone once empty; anything else the user kept there stays.
  fs::remove(places.legacyDir, error);
  if (moved.empty()) return {};
  std::string line = "Files of ~/" + std::string(kLegacyFolderName) + " moved to " + moved[0];
  if (moved.size() > 1) line += " and " + moved[1];
  return line;
}
