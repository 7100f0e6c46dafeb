#pragma once
// The full-screen file and directory selector: a path line, a directory panel
// and a file panel, driven by the keyboard. In file mode it returns a file
// name to open or to save under; in directory mode it walks directories and
// leaves the chosen one current. Paths use "/".
//
// This host has no drive letters. On the path line "R" goes to the root "/"
// and "H" to the user's home directory (from the password database: the
// program reads no environment variables); the other letters and the digits
// only read the lists again. In the directory panel "." goes to the root "/"
// (the root of the one drive there is) and ".." to the parent directory.

#include <cstdint>
#include <string>
#include <string_view>

#include "widgets/text_array.h"

// Panel positions, shared by FileSel and DirSel and kept between calls so
// that a selector called again opens where the user left it; LastExt is the
// extension of the previous call (a different one restarts the file panel).
extern std::int32_t FileTop;
extern std::int32_t FileSelIdx;
extern std::int32_t DirTop;
extern std::int32_t DirSelIdx;
extern std::string LastExt;

// mode: 1 save (new names allowed, overwrite confirmed), 0 open, -1 open with
// a magenta header. message (in/out) is shown once in place of the status
// line and comes back empty. key (in/out): "+" or "-" on entry steps to the
// next or previous file without showing the screen (modes below 1); on
// return the last key read, upper-cased. clearFirst (in/out): 1 clears the
// screen first and becomes 0.
//   Enter on a file, or overwrite confirmed: result = the name, key Enter.
//   New name accepted (save): the name with "." + ext added, key Ins.
//   Select all confirmed (open): result empty, key Ctrl-A (byte 1).
//   Esc, or a key the screen does not handle: result empty, key that key.
// The current directory stays changed after the call, also after Esc.
void FileSel(std::string_view title, std::string_view status, std::string& message,
             std::string_view ext, std::string& result, std::int32_t mode, std::string& key,
             std::int32_t& clearFirst);
// The same in directory mode: Enter on the path line ends with key Enter and
// the current directory is the choice.
void DirSel(std::string_view title, std::string_view status, std::string& message,
            std::string_view ext, std::int32_t mode, std::string& key, std::int32_t& clearFirst);

// Draws `rows` rows of entries top.. at (topRow, col), each as " " + text cut
// or padded to width + " ", the selected one black on white when focused.
// top and sel are first brought into range (sel 1 to count, on the page).
void DrawListPanel(const TextArray& list, int topRow, int col, int width, int rows,
                   std::int32_t count, std::int32_t& top, std::int32_t& sel, bool focused);
// Up, Down, PgUp, PgDn, Home and End move sel (and top with it); such a key
// is consumed (key becomes empty), any other key is left as it is.
void ListPanelKey(std::string& key, int rows, std::int32_t count, std::int32_t& top,
                  std::int32_t& sel);
// Selects the first entry whose first characters, upper-cased, are not below
// the prefix upper-cased (the last entry when none), and keeps it on the page.
void SeekListEntry(std::string_view prefix, const TextArray& list, int rows, std::int32_t count,
                   std::int32_t& top, std::int32_t& sel);
