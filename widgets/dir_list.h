#pragma once
// Reading the current directory into a bounded name list, sorting name lists,
// and printing the file names of the current directory in columns.
//
// On this host: names beginning with "." other than "." and ".." are hidden
// (GetDirList lists them, PrintFileList leaves them out); the extension
// pattern matches without regard to letter case; "." and ".." are listed for
// every directory; names are kept byte for byte.

#include <cstdint>
#include <string>
#include <string_view>

#include "widgets/text_array.h"

inline constexpr std::int32_t kDirListCapacity = 300;
inline constexpr std::int32_t kFileListCapacity = 2500;
// Stored as the last entry of a full list: the list is incomplete.
inline constexpr std::string_view kTooMuchFilesMarker = "ZZZZZZ_TOO_MUCH_FILES";

// Entry kinds.
inline constexpr std::int32_t kListFiles = 0;
inline constexpr std::int32_t kListDirectories = 1;
// Sort orders: by name ignoring case; by extension, base and trailing number;
// "." and ".." first, then by name ignoring case.
inline constexpr std::int32_t kOrderName = 0;
inline constexpr std::int32_t kOrderNumbered = 1;
inline constexpr std::int32_t kOrderDirectory = 3;

// Empties the list and fills entries 1 on from the current directory, then
// sorts them. ext is the extension pattern without the dot ("txt", "*" for
// all files, wildcards allowed); it is not used for directories. count ends
// as the number of entries, the marker included: a list holds at most
// capacity - 1 names and then the marker. Directories are listed in order 3;
// files in order 0 for ext "*", otherwise in order 1. A directory that cannot
// be read gives count 0.
void GetDirList(std::string_view ext, std::int32_t kind, TextArray& list, std::int32_t& count);

// Sorts entries 1 to count (count limited to the capacity) in place with the
// diminishing-gap exchange sort, so that equal keys end in the same order as
// in the original tool.
void SortNameList(TextArray& list, std::int32_t count, std::int32_t order);

// RUN12.LOG -> base "RUN", number "12", extension ".LOG"; A.B.C -> "A.B", "",
// ".C"; 1999 -> "", "1999", "".
void SplitNumberedName(std::string_view name, std::string& base, std::string& number,
                       std::string& extension);

// Prints "Files: " + current directory + "/*." + ext, then the names of the
// matching files (in directory order) in cells of columnWidth - 1 characters
// and a space, as many as fit in 80 columns on a line. stripExtension not 0
// cuts each name before its first ".".
void PrintFileList(std::string_view ext, std::int32_t columnWidth, std::int32_t stripExtension);

// The current directory ("/" separated), or empty when it cannot be read.
std::string CurrentDirectory();
