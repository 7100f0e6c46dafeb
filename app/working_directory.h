#pragma once
// Where the program reads "Q7m_Uart.cfg" and writes "Term.txt", the access
// library's log and q7m-inspect's configuration copy.
//
// In the build tree and in an install of the user's own, all of them live in
// the program's folder. An installed program (a layout file beside it, put
// there by the install) in a folder the user does not own, root's included,
// follows Linux custom instead:
//   configuration  ~/.config/q7m-uart/Q7m_Uart.cfg when the user has one,
//                  else the install's /etc/q7m-uart/Q7m_Uart.cfg
//   written files  ~/.local/state/q7m-uart/
// The home folder comes from the password database: the program reads no
// environment variables, and under sudo it is root's, so root's files never
// land in the invoking user's home.

#include <filesystem>
#include <functional>
#include <string>

// Written by the install beside the programs; names the configuration folder.
inline constexpr const char* kLayoutFileName = "q7m-uart.layout";
// Per-user folders, under the home folder.
inline constexpr const char* kUserConfigFolder = ".config/q7m-uart";
inline constexpr const char* kUserStateFolder = ".local/state/q7m-uart";
// Where an earlier version kept an installed program's files.
inline constexpr const char* kLegacyFolderName = ".q7m-uart";

struct WorkingDirectoryHost {
  // The user's home folder ("" when it cannot be told).
  std::function<std::filesystem::path()> home;
  // True when the folder belongs to the user running the program and that
  // user is not root (root owns the system's folders).
  std::function<bool(const std::filesystem::path&)> ownedByUser;
};

// The host as it is: the password database for the home folder, stat(2) and
// the real user ID for ownership.
WorkingDirectoryHost SystemWorkingDirectoryHost();

struct ProgramPlaces {
  bool installed = false;            // the per-user folders are used
  std::filesystem::path home;        // installed only; "" when unknown
  std::filesystem::path workDir;     // made current; "" leaves the current one
  std::filesystem::path configFile;  // the configuration read at start-up
  // Installed only: the install's configuration, the user's own, the folder
  // of an earlier version ("" when there is none).
  std::filesystem::path systemConfigFile;
  std::filesystem::path userConfigFile;
  std::filesystem::path legacyDir;
};

// Works the places out without creating or changing anything.
ProgramPlaces FindProgramPlaces(const std::filesystem::path& programDir,
                                const WorkingDirectoryHost& host);
// Makes the working folder and moves what an earlier version left in
// ~/.q7m-uart: a configuration of the user's own to ~/.config/q7m-uart/ (a
// plain copy of the install's is removed), the written files to the state
// folder. Nothing is overwritten; what cannot move stays and is read from
// there. Returns a line saying what was moved, "" when nothing was.
std::string PrepareProgramPlaces(ProgramPlaces& places);
