#pragma once
// Ready-made screens over the file selector and the text viewer, for a menu
// to call.

#include <string>

// Opens the file selector on startDir (all files) and shows the chosen file
// in the text viewer, again and again, until Esc in the selector. The
// current directory the call started in is current again afterwards: the
// calling program keeps its files (the capture file, the configuration)
// where it expects them.
void BrowseAndViewFile(const std::string& startDir);

// Walks directories with the directory selector from startDir until Enter on
// the path line, and returns the directory then current; it stays the
// current directory, since choosing it is the point of the walk. Esc returns
// "" (nothing chosen) and also leaves the walk's directory current.
std::string WalkDirectories(const std::string& startDir);
