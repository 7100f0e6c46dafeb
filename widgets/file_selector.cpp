#include "widgets/file_selector.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "app/settings.h"
#include "config/host_files.h"
#include "config/messages.h"
#include "console/ascii.h"
#include "console/console.h"
#include "widgets/dir_list.h"

std::int32_t FileTop = 0;
std::int32_t FileSelIdx = 0;
std::int32_t DirTop = 0;
std::int32_t DirSelIdx = 0;
std::string LastExt;

namespace {

constexpr int kPanelRows = 14;
constexpr int kPanelTopRow = 7;
constexpr int kDirPanelCol = 2;
constexpr int kDirPanelWidth = 33;
constexpr int kFilePanelCol = 38;
constexpr int kFilePanelWidth = 40;
// The type-ahead window in tenths of a second.
constexpr std::int64_t kTypeAheadTenths = 12;

enum Focus : int { kPathLine = 1, kDirPanel = 2, kFilePanel = 3 };

const std::string kCtrlA(1, '\x01');

// text cut or padded with spaces to exactly width characters.
std::string Fit(std::string_view text, std::size_t width) {
  std::string fitted(text.substr(0, width));
  fitted.resize(width, ' ');
  return fitted;
}

// Keeps sel on the page: the page moves just far enough.
void FollowSelection(int rows, std::int32_t& top, std::int32_t sel) {
  if (sel > top + rows - 1) top = sel - rows + 1;
  if (sel < top) top = sel;
}

void ClampSelection(std::int32_t count, std::int32_t& sel) {
  if (sel > count) sel = count;
  if (sel < 1) sel = 1;
}

// The console clock in tenths of a second, rounded to the nearest.
std::int64_t NowTenths() {
  return static_cast<std::int64_t>((ConsoleNowMs() + 50) / 100);
}

void ClearDarkGrey() {
  SetColor(std::nullopt, 8);
  ClearScreen();
}

// Failed changes are ignored: the lists are read again and show where we are.
void ChangeTo(const std::string& target) {
  if (target.empty()) return;
  if (chdir(target.c_str()) != 0) return;
}

// Enter on a directory entry: "." goes to the root (the one drive's root on
// this host), ".." to the parent, any other name into that directory.
void EnterDirectory(const std::string& name) {
  const std::string cur = CurrentDirectory();
  if (name == ".") {
    ChangeTo("/");
  } else if (name == "..") {
    const std::size_t slash = cur.rfind('/');
    if (slash == std::string::npos) return;
    ChangeTo(slash == 0 ? std::string("/") : cur.substr(0, slash));
  } else if (cur.empty()) {
    ChangeTo(name);
  } else {
    ChangeTo(cur.back() == '/' ? cur + name : cur + "/" + name);
  }
}

// The first field of a typed line: leading blanks and tabs skipped, a quoted
// field runs to the closing quote, an unquoted one to the first comma; the
// blanks around it are removed.
std::string FirstField(const std::string& line) {
  std::size_t from = line.find_first_not_of(" \t");
  if (from == std::string::npos) return {};
  std::string field;
  if (line[from] == '"') {
    const std::size_t close = line.find('"', from + 1);
    field =
        line.substr(from + 1, close == std::string::npos ? std::string::npos : close - from - 1);
  } else {
    field = line.substr(from, line.find(',', from) - from);
  }
  const std::size_t first = field.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::size_t last = field.find_last_not_of(" \t");
  return field.substr(first, last - first + 1);
}

// Asks on row 24; true only for "Y" or "y".
bool Confirm(std::string_view prompt) {
  SetColor(7, 8);
  Locate(24, 1);
  PrintLine(std::string(78, ' '));
  SetColor(15, 12);
  Locate(24, 38);
  PrintLine(std::string(42, ' '));
  Locate(24, 38, 0);
  PrintLine(prompt);
  const std::string answer = WaitKey();
  return answer == "Y" || answer == "y";
}

// The name typed after a prompt on row 24 at column col, in black on white
// over `width` cells, with the cursor shown.
std::string AskName(int col, int width, std::string_view prompt) {
  SetColor(7, 8);
  Locate(24, 1);
  PrintLine(std::string(78, ' '));
  SetColor(0, 15);
  Locate(24, col);
  PrintLine(std::string(static_cast<std::size_t>(width), ' '));
  Locate(24, col, 1);
  PrintText(prompt);
  return FirstField(ReadLine());
}

std::string HelpLine(bool fileMode, int focus, std::int32_t mode) {
  const std::string lead = fileMode ? "File Sel Keys: Lf Rg Tab" : "Dir Sel Keys: Lf Rg Tab";
  const std::string panel = lead + " Up Dw Pup Pdw Home End A-Z 0-9";
  std::string line;
  if (focus == kPathLine) {
    line = fileMode ? lead + " A-Z" : lead + " A-Z Enter";
  } else if (focus == kDirPanel) {
    line = panel + (mode == 1 ? " Enter Esc Ins" : " Enter Esc");
  } else if (!fileMode) {
    line = panel + " Esc";
  } else {
    line = panel + (mode == 1 ? " Enter Esc Ins" : " Enter Esc Ctrl-A");
  }
  return Fit(line, fileMode ? 72 : 71);
}

bool IsLetterOrDigit(const std::string& key) {
  if (key.size() != 1) return false;
  const char c = key[0];
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Path line letters on a host without drives: "R" the root, "H" the home
// directory; every other letter and digit only reads the lists again.
void PathLineLetter(char letter) {
  if (letter == 'R') ChangeTo("/");
  if (letter == 'H') ChangeTo(UserHomeDirectory());
}

// What a call of the selector asks for.
struct SelectorCall {
  bool fileMode;
  std::string_view title;
  std::string_view status;
  std::string_view ext;
  std::int32_t mode;
};

// One interactive selector screen: the call, where the user is, and the two
// lists as last read.
struct Selector {
  explicit Selector(const SelectorCall& c)
      : call(c), focus(c.fileMode ? kFilePanel : kPathLine), prefixTime(NowTenths()) {}

  const SelectorCall call;
  int focus;
  std::string prefix;  // type-ahead
  std::int64_t prefixTime;
  bool readLists = true;
  TextArray directories{kDirListCapacity};
  std::int32_t dirCount = 0;
  TextArray files{kFileListCapacity};
  std::int32_t fileCount = 0;

  // Colour of the title bar and the headings.
  int Header() const { return call.mode == 1 ? 4 : (call.mode == -1 ? 5 : 1); }
  bool Saving() const { return call.fileMode && call.mode == 1; }
  bool Opening() const { return call.fileMode && call.mode < 1; }
};

// What a key does to the call.
enum class Outcome {
  kNextPass,     // the screen goes on
  kEnd,          // the call ends, the screen as it is
  kEndAndReset,  // the call ends with the screen reset
};

void ReadLists(Selector& s) {
  GetDirList("*", kListDirectories, s.directories, s.dirCount);
  GetDirList(s.call.ext, kListFiles, s.files, s.fileCount);
  s.readLists = false;
}

void DrawDirectoryPanel(Selector& s, bool focused) {
  DrawListPanel(s.directories, kPanelTopRow, kDirPanelCol, kDirPanelWidth, kPanelRows, s.dirCount,
                DirTop, DirSelIdx, focused);
}

void DrawFilePanel(Selector& s, bool focused) {
  DrawListPanel(s.files, kPanelTopRow, kFilePanelCol, kFilePanelWidth, kPanelRows, s.fileCount,
                FileTop, FileSelIdx, focused);
}

// One whole screen: title, path line, both panels, the help line for the
// focus, and the bottom line (a one-time message shows once in its place).
void DrawSelector(Selector& s, std::string& message) {
  Locate(2, 2, 0);
  SetColor(15, s.Header());
  PrintText(Fit(" " + std::string(s.call.title), 77) + " ");

  Locate(4, 2);
  SetColor(15, s.Header());
  PrintText(" Path:");
  Locate(4, 8);
  const std::string cur = CurrentDirectory();
  const std::string shown = cur.size() > 70 ? cur.substr(0, 67) + "..." : Fit(cur, 70);
  if (s.focus == kPathLine) {
    SetColor(0, 15);
  } else {
    SetColor(7, 0);
  }
  PrintText(" " + shown + " ");

  Locate(6, 2);
  SetColor(15, s.Header());
  PrintText(Fit(" Directories:", 35));
  DrawDirectoryPanel(s, s.focus == kDirPanel);

  Locate(6, 38);
  SetColor(15, s.Header());
  PrintText(" " + Fit("Files: *." + std::string(s.call.ext), 40) + " ");
  DrawFilePanel(s, s.focus == kFilePanel);

  Locate(22, 3);
  SetColor(7, 8);
  PrintLine(HelpLine(s.call.fileMode, s.focus, s.call.mode));

  Locate(24, 3);
  if (!message.empty()) {
    SetColor(15, 12);
    PrintText(Fit(" " + message, 76));
    message.clear();
  } else {
    SetColor(15, 8);
    PrintText(Fit(s.call.status, 77));
  }
}

// The panel keys of the focused panel; on the path line they mean nothing.
void PanelKey(Selector& s, std::string& key) {
  if (s.focus == kFilePanel) {
    ListPanelKey(key, kPanelRows, s.fileCount, FileTop, FileSelIdx);
  } else if (s.focus == kDirPanel) {
    ListPanelKey(key, kPanelRows, s.dirCount, DirTop, DirSelIdx);
  } else if (key == KeyUp || key == KeyDown || key == KeyPgUp || key == KeyPgDn || key == KeyHome ||
             key == KeyEnd) {
    key.clear();
  }
}

void MoveFocus(Selector& s, int step) {
  s.focus = (s.focus - 1 + step + 3) % 3 + 1;
  s.prefix.clear();
  s.prefixTime = NowTenths();
}

Outcome EnterKey(Selector& s, std::string& result) {
  if (s.focus == kFilePanel && s.Saving()) {
    if (!Confirm(" File Already Exists! Continue [N]?")) return Outcome::kNextPass;
    result = s.files.Get(FileSelIdx);
    return Outcome::kEndAndReset;
  }
  if (s.focus == kFilePanel && s.Opening()) {
    result = s.files.Get(FileSelIdx);
    return Outcome::kEndAndReset;
  }
  if (s.focus == kDirPanel) {
    EnterDirectory(s.directories.Get(DirSelIdx));
    s.readLists = true;
    FileTop = FileSelIdx = DirTop = DirSelIdx = 1;
    return Outcome::kNextPass;
  }
  if (s.focus == kPathLine && !s.call.fileMode) {
    result = s.files.Get(FileSelIdx);
    return Outcome::kEndAndReset;
  }
  return Outcome::kNextPass;
}

// Ins on the file panel when saving: a new name, ended when no such file is
// there yet (an existing one is selected instead, for Enter to confirm).
Outcome NewFileKey(Selector& s, std::string& result) {
  DrawFilePanel(s, false);
  const std::string name = AskName(38, 42, " New File:");
  if (name.empty()) {
    Locate(0, 0, 0);
    ClearDarkGrey();
    return Outcome::kNextPass;
  }
  result = name;
  // Compared without regard to case, as the extension pattern is: a name
  // typed as "LOG.TXT" already has the extension txt.
  const std::string dotExt = "." + std::string(s.call.ext);
  if (!ContainsIgnoringCase(result, dotExt)) result += dotExt;
  if (FileExists(result)) {
    SeekListEntry(result, s.files, kPanelRows, s.fileCount, FileTop, FileSelIdx);
    Locate(0, 0, 0);
    ClearDarkGrey();
    return Outcome::kNextPass;
  }
  return Outcome::kEndAndReset;
}

// Ins on the directory panel when saving: a directory made in the current one.
void NewDirectoryKey(Selector& s) {
  DrawDirectoryPanel(s, false);
  const std::string name = AskName(2, 78, " Make New dir:");
  if (!name.empty()) {
    const std::string dir = CurrentDirectory();
    const std::string path = dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
    // A directory that cannot be made is simply not in the list read next.
    mkdir(path.c_str(), 0777);
  }
  s.readLists = true;
  Locate(0, 0, 0);
  ClearDarkGrey();
}

Outcome InsKey(Selector& s, std::string& result) {
  if (s.focus == kFilePanel && s.Saving()) return NewFileKey(s, result);
  if (s.focus == kDirPanel && s.call.mode == 1) NewDirectoryKey(s);
  return Outcome::kNextPass;
}

// Letters and digits: a path-line command, or type-ahead in a panel (within
// the type-ahead window the prefix grows, after it a new one starts).
void LetterKey(Selector& s, const std::string& key) {
  if (s.focus == kPathLine) {
    PathLineLetter(key[0]);
    s.readLists = true;
    return;
  }
  const std::int64_t now = NowTenths();
  s.prefix = now - s.prefixTime < kTypeAheadTenths ? s.prefix + key : key;
  s.prefixTime = now;
  if (s.focus == kFilePanel) {
    SeekListEntry(s.prefix, s.files, kPanelRows, s.fileCount, FileTop, FileSelIdx);
  } else {
    SeekListEntry(s.prefix, s.directories, kPanelRows, s.dirCount, DirTop, DirSelIdx);
  }
}

// A key the panels left, by the first row of the key table that matches.
Outcome SelectorKey(Selector& s, const std::string& key, std::string& result) {
  if (key == KeyRight || key == KeyTab) {
    MoveFocus(s, 1);
  } else if (key == KeyLeft || key == KeyShiftTab) {
    MoveFocus(s, -1);
  } else if (key == KeyEnter) {
    return EnterKey(s, result);
  } else if (key == kCtrlA) {
    if (s.focus == kFilePanel && s.Opening() && Confirm(" Select All Files, Sure [N]?")) {
      result.clear();
      return Outcome::kEndAndReset;
    }
  } else if (key == KeyIns) {
    return InsKey(s, result);
  } else if (IsLetterOrDigit(key)) {
    LetterKey(s, key);
  } else if (key == KeyEsc) {
    result.clear();
    return Outcome::kEndAndReset;
  } else if (key == " ") {
    s.readLists = true;
  } else {
    result.clear();
    return Outcome::kEnd;
  }
  return Outcome::kNextPass;
}

// Stepping: "+" or "-" moves to the next or previous file without a screen.
void StepFile(std::string_view ext, std::string& result, std::string& key,
              std::int32_t& clearFirst) {
  TextArray files(kFileListCapacity);
  std::int32_t fileCount = 0;
  GetDirList(ext, kListFiles, files, fileCount);
  FileSelIdx += key == "+" ? 1 : -1;
  ClampSelection(fileCount, FileSelIdx);
  key = KeyEnter;
  result = files.Get(FileSelIdx);
  clearFirst = 0;
  ClearDarkGrey();
}

void FileDirSelect(bool fileMode, std::string_view title, std::string_view status,
                   std::string& message, std::string_view ext, std::string& result,
                   std::int32_t mode, std::string& key, std::int32_t& clearFirst) {
  if (ext != LastExt) {
    FileTop = 1;
    FileSelIdx = 1;
    LastExt = std::string(ext);
  }
  if ((key == "+" || key == "-") && mode < 1 && fileMode) {
    StepFile(ext, result, key, clearFirst);
    return;
  }
  if (FileTop < 1) FileTop = 1;
  if (DirTop < 1) DirTop = 1;
  if (clearFirst == 1) {
    clearFirst = 0;
    ClearDarkGrey();
  }
  Selector s(SelectorCall{fileMode, title, status, ext, mode});
  for (;;) {
    if (s.readLists) ReadLists(s);
    DrawSelector(s, message);
    key = UpperKey(WaitKey());
    PanelKey(s, key);
    if (key.empty()) continue;
    switch (SelectorKey(s, key, result)) {
      case Outcome::kNextPass:
        break;
      case Outcome::kEndAndReset:
        ResetScreen();
        return;
      case Outcome::kEnd:
        return;
    }
  }
}

}  // namespace

void DrawListPanel(const TextArray& list, int topRow, int col, int width, int rows,
                   std::int32_t count, std::int32_t& top, std::int32_t& sel, bool focused) {
  if (count < rows) top = 1;
  ClampSelection(count, sel);
  FollowSelection(rows, top, sel);
  const std::size_t cell = width > 0 ? static_cast<std::size_t>(width) : 0;
  SetColor(7, 0);
  for (int i = 1; i <= rows; ++i) {
    const std::int32_t k = top + i - 1;
    const std::string& entry = k <= count ? list.Get(k) : std::string();
    std::string text =
        entry.size() > cell ? entry.substr(0, cell >= 3 ? cell - 3 : 0) + "..." : Fit(entry, cell);
    Locate(topRow + i - 1, col);
    if (k == sel && focused) {
      SetColor(0, 15);
    } else {
      SetColor(7, 0);
    }
    PrintText(" " + text + " ");
  }
}

void ListPanelKey(std::string& key, int rows, std::int32_t count, std::int32_t& top,
                  std::int32_t& sel) {
  const std::string pressed = key;
  key.clear();
  if (pressed == KeyUp) {
    --sel;
  } else if (pressed == KeyDown) {
    ++sel;
  } else if (pressed == KeyPgUp) {
    sel = sel == top ? sel - rows : top;
  } else if (pressed == KeyPgDn) {
    sel = sel == top + rows - 1 ? sel + rows : top + rows - 1;
  } else if (pressed == KeyHome) {
    sel = 1;
  } else if (pressed == KeyEnd) {
    sel = count;
  } else {
    key = pressed;
    return;
  }
  ClampSelection(count, sel);
  FollowSelection(rows, top, sel);
}

void SeekListEntry(std::string_view prefix, const TextArray& list, int rows, std::int32_t count,
                   std::int32_t& top, std::int32_t& sel) {
  if (count > list.Capacity()) count = list.Capacity();
  const std::string wanted = AsciiUpper(prefix);
  const std::size_t n = wanted.size();
  std::int32_t found = count < 1 ? 1 : count;
  for (std::int32_t i = 1; i <= count; ++i) {
    std::string head = list.Get(i).substr(0, n);
    head.resize(n, '\0');
    if (AsciiUpper(head) >= wanted) {
      found = i;
      break;
    }
  }
  sel = found;
  FollowSelection(rows, top, sel);
}

void FileSel(std::string_view title, std::string_view status, std::string& message,
             std::string_view ext, std::string& result, std::int32_t mode, std::string& key,
             std::int32_t& clearFirst) {
  FileDirSelect(true, title, status, message, ext, result, mode, key, clearFirst);
}

void DirSel(std::string_view title, std::string_view status, std::string& message,
            std::string_view ext, std::int32_t mode, std::string& key, std::int32_t& clearFirst) {
  std::string unused;
  FileDirSelect(false, title, status, message, ext, unused, mode, key, clearFirst);
}
