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

void FileDirSelect(bool fileMode, std::string_view title, std::string_view status,
                   std::string& message, std::string_view ext, std::string& result,
                   std::int32_t mode, std::string& key, std::int32_t& clearFirst) {
  if (ext != LastExt) {
    FileTop = 1;
    FileSelIdx = 1;
    LastExt = std::string(ext);
  }
  TextArray files(kFileListCapacity);
  std::int32_t fileCount = 0;

  if ((key == "+" || key == "-") && mode < 1 && fileMode) {
    GetDirList(ext, kListFiles, files, fileCount);
    FileSelIdx += key == "+" ? 1 : -1;
    ClampSelection(fileCount, FileSelIdx);
    key = KeyEnter;
    result = files.Get(FileSelIdx);
    clearFirst = 0;
    ClearDarkGrey();
    return;
  }

  if (FileTop < 1) FileTop = 1;
  if (DirTop < 1) DirTop = 1;
  if (clearFirst == 1) {
    clearFirst = 0;
    ClearDarkGrey();
  }
  TextArray directories(kDirListCapacity);
  std::int32_t dirCount = 0;
  int focus = fileMode ? kFilePanel : kPathLine;
  std::string prefix;
  std::int64_t prefixTime = NowTenths();
  bool readLists = true;
  const int header = mode == 1 ? 4 : (mode == -1 ? 5 : 1);

  for (;;) {
    if (readLists) {
      GetDirList("*", kListDirectories, directories, dirCount);
      GetDirList(ext, kListFiles, files, fileCount);
      readLists = false;
    }
    Locate(2, 2, 0);
    SetColor(15, header);
    PrintText(Fit(" " + std::string(title), 77) + " ");

    Locate(4, 2);
    SetColor(15, header);
    PrintText(" Path:");
    Locate(4, 8);
    const std::string cur = CurrentDirectory();
    const std::string shown = cur.size() > 70 ? cur.substr(0, 67) + "..." : Fit(cur, 70);
    if (focus == kPathLine) {
      SetColor(0, 15);
    } else {
      SetColor(7, 0);
    }
    PrintText(" " + shown + " ");

    Locate(6, 2);
    SetColor(15, header);
    PrintText(Fit(" Directories:", 35));
    DrawListPanel(directories, kPanelTopRow, kDirPanelCol, kDirPanelWidth, kPanelRows, dirCount,
                  DirTop, DirSelIdx, focus == kDirPanel);

    Locate(6, 38);
    SetColor(15, header);
    PrintText(" " + Fit("Files: *." + std::string(ext), 40) + " ");
    DrawListPanel(files, kPanelTopRow, kFilePanelCol, kFilePanelWidth, kPanelRows, fileCount,
                  FileTop, FileSelIdx, focus == kFilePanel);

    Locate(22, 3);
    SetColor(7, 8);
    PrintLine(HelpLine(fileMode, focus, mode));

    Locate(24, 3);
    if (!message.empty()) {
      SetColor(15, 12);
      PrintText(Fit(" " + message, 76));
      message.clear();
    } else {
      SetColor(15, 8);
      PrintText(Fit(status, 77));
    }

    key = UpperKey(WaitKey());

    if (focus == kFilePanel) {
      ListPanelKey(key, kPanelRows, fileCount, FileTop, FileSelIdx);
    } else if (focus == kDirPanel) {
      ListPanelKey(key, kPanelRows, dirCount, DirTop, DirSelIdx);
    } else if (key == KeyUp || key == KeyDown || key == KeyPgUp || key == KeyPgDn ||
               key == KeyHome || key == KeyEnd) {
      key.clear();
    }
    if (key.empty()) continue;

    if (key == KeyRight || key == KeyTab) {
      focus = focus == kFilePanel ? kPathLine : focus + 1;
      prefix.clear();
      prefixTime = NowTenths();
    } else if (key == KeyLeft || key == KeyShiftTab) {
      focus = focus == kPathLine ? kFilePanel : focus - 1;
      prefix.clear();
      prefixTime = NowTenths();
    } else if (key == KeyEnter) {
      if (focus == kFilePanel && fileMode && mode == 1) {
        if (Confirm(" File Already Exists! Continue [N]?")) {
          result = files.Get(FileSelIdx);
          ResetScreen();
          return;
        }
      } else if (focus == kFilePanel && fileMode && mode < 1) {
        result = files.Get(FileSelIdx);
        ResetScreen();
        return;
      } else if (focus == kDirPanel) {
        EnterDirectory(directories.Get(DirSelIdx));
        readLists = true;
        FileTop = FileSelIdx = DirTop = DirSelIdx = 1;
      } else if (focus == kPathLine && !fileMode) {
        result = files.Get(FileSelIdx);
        ResetScreen();
        return;
      }
    } else if (key == kCtrlA) {
      if (focus == kFilePanel && fileMode && mode < 1 && Confirm(" Select All Files, Sure [N]?")) {
        result.clear();
        ResetScreen();
        return;
      }
    } else if (key == KeyIns) {
      if (focus == kFilePanel && fileMode && mode == 1) {
        DrawListPanel(files, kPanelTopRow, kFilePanelCol, kFilePanelWidth, kPanelRows, fileCount,
                      FileTop, FileSelIdx, false);
        const std::string name = AskName(38, 42, " New File:");
        if (name.empty()) {
          Locate(0, 0, 0);
          ClearDarkGrey();
          continue;
        }
        result = name;
        // Compared without regard to case, as the extension pattern is: a
        // name typed as "LOG.TXT" already has the extension txt.
        if (!ContainsIgnoringCase(result, "." + std::string(ext))) result += "." + std::string(ext);
        if (FileExists(result)) {
          SeekListEntry(result, files, kPanelRows, fileCount, FileTop, FileSelIdx);
          Locate(0, 0, 0);
          ClearDarkGrey();
          continue;
        }
        ResetScreen();
        return;
      }
      if (focus == kDirPanel && mode == 1) {
        DrawListPanel(directories, kPanelTopRow, kDirPanelCol, kDirPanelWidth, kPanelRows, dirCount,
                      DirTop, DirSelIdx, false);
        const std::string name = AskName(2, 78, " Make New dir:");
        if (!name.empty()) {
          const std::string dir = CurrentDirectory();
          const std::string path = dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
          // A directory that cannot be made is simply not in the list read next.
          mkdir(path.c_str(), 0777);
        }
        readLists = true;
        Locate(0, 0, 0);
        ClearDarkGrey();
      }
    } else if (IsLetterOrDigit(key)) {
      if (focus == kPathLine) {
        PathLineLetter(key[0]);
        readLists = true;
      } else {
        const std::int64_t now = NowTenths();
        if (now - prefixTime < kTypeAheadTenths) {
          prefix += key;
        } else {
          prefix = key;
        }
        prefixTime = now;
        if (focus == kFilePanel) {
          SeekListEntry(prefix, files, kPanelRows, fileCount, FileTop, FileSelIdx);
        } else {
          SeekListEntry(prefix, directories, kPanelRows, dirCount, DirTop, DirSelIdx);
        }
      }
    } else if (key == KeyEsc) {
      result.clear();
      ResetScreen();
      return;
    } else if (key == " ") {
      readLists = true;
    } else {
      result.clear();
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
