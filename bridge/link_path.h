#pragma once
// The place of the bridge's link and what may be there.
//
// The link is the bridge's own: a symbolic link to the pseudo-terminal's
// slave, /dev/pts/<n>. A link of that kind found at the path was left by a
// bridge that ended without removing it (killed, crashed); the pty it names
// may now be someone else's terminal, so it is replaced at start and removed
// when a service manager sees the bridge end. Anything else at the path (a
// file, a folder, a symbolic link to another file) is not the bridge's to
// replace or remove.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

// True for the target of a link to a pseudo-terminal's slave: /dev/pts/<n>.
bool IsPtySlavePath(std::string_view target);

// "" when the bridge may link at `path`: nothing is there, or a symbolic link
// to a pseudo-terminal's slave. Otherwise the one line that says why not.
std::string LinkPathRefusal(const std::string& path);

// Removes `path` when it is a symbolic link to a pseudo-terminal's slave.
// Returns what it did for a log line: "" when nothing was to be done, else
// the line (the removal, or why it failed); `failed` tells which.
std::string RemoveLeftLink(const std::string& path, bool& failed);

// Makes the folder of the default link when it is missing and checks that it
// is a folder of this user's. With a group, the folder is open to others for
// search and listing (mode 0755, as the service's runtime folder), so that
// the group's members reach the link (the pseudo-terminal itself stays the
// group's); one of this user's that keeps them out is opened so, and a
// folder above it that keeps them out is named. Returns "" or the reason it
// cannot be used (`groupName` names the group in it); `notice` is set to a
// line to say when the folder's mode was changed.
std::string PrepareLinkFolder(const std::string& folder, std::optional<gid_t> group,
                              std::string_view groupName, std::string& notice);
