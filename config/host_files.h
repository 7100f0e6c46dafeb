#pragma once
// The host's files as the screens need them: FileExists, the file it found
// when letter case differs, and the user's home folder.

#include <string>
#include <string_view>

// True when an ordinary file matches name (wildcards allowed) and name ends
// with the found file's name, compared without regard to case. Hidden files
// (names starting with ".") do not match.
bool FileExists(std::string_view name);
// The file to open for a name FileExists accepted: name itself when it is an
// ordinary file, else the ordinary file of name's folder that the search of
// FileExists finds (this host's names keep their case); empty when none.
std::string FoundFileName(std::string_view name);
// The user's home folder from the password database (the program reads no
// environment variables, and under sudo it is root's); empty when unknown.
std::string UserHomeDirectory();
