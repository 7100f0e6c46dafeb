#pragma once
// Where the program keeps "Q7m_Uart.cfg", "Term.txt" and the access library's
// log: its own folder when it may write there, else a folder of the user's.

#include <filesystem>
#include <functional>

// Name of the per-user folder, under the home directory.
inline constexpr const char* kUserFolderName = ".q7m-uart";

struct WorkingDirectoryHost {
  // True when the process may create files in the folder.
  std::function<bool(const std::filesystem::path&)> writable;
  // The user's home directory ("" when it cannot be told).
  std::function<std::filesystem::path()> home;
};

// The host as it is: access(2) for writability, the password database for
// the home directory (the program reads no environment variables).
WorkingDirectoryHost SystemWorkingDirectoryHost();

// The program folder when it is writable. Otherwise <home>/.q7m-uart, created
// when missing, with the program folder's sample "Q7m_Uart.cfg" copied there
// when the user has none (an existing file is never overwritten). Falls back
// to the program folder when the per-user folder cannot be made.
std::filesystem::path WorkingDirectoryFor(const std::filesystem::path& programDir,
                                          const WorkingDirectoryHost& host);
std::filesystem::path WorkingDirectoryFor(const std::filesystem::path& programDir);
