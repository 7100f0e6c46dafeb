#include "widgets/text_viewer.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "app/settings.h"
#include "config/config_file.h"
#include "config/messages.h"
#include "console/console.h"
#include "widgets/number_format.h"

namespace {

constexpr std::int64_t kPageRows = 23;
constexpr std::int64_t kPageCols = 76;

std::int32_t ToField(std::int64_t value) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(value, std::numeric_limits<std::int32_t>::max()));
}

void ShowOverflow(const std::string& text) {
  std::string shown = text;
  ShowMessage(24, 12, 15, shown, 0);
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// FileExists finds names without regard to case but this file system does not
// ignore it: the regular file in the same directory whose name matches,
// first in byte order, or empty.
std::string FindIgnoringCase(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::unique_ptr<DIR, DirCloser> handle(opendir(dir.c_str()));
  if (!handle) return {};
  std::string best;
  while (const dirent* entry = readdir(handle.get())) {
    const std::string found = entry->d_name;
    if (!SameIgnoringCase(found, name) || (!best.empty() && found >= best)) continue;
    struct stat info {};
    const std::string candidate = (slash == std::string::npos ? std::string() : dir) + found;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) best = found;
  }
  if (best.empty()) return {};
  return (slash == std::string::npos ? std::string() : dir) + best;
}

}  // namespace

void ViewTxtArray(std::string_view title, const TextArray& lines, std::int32_t count) {
  if (count == 0) return;
  if (count < 0 || count > lines.Capacity()) {
    ShowOverflow("ViewTxtArray: Txl Array Overflow " + std::string(title) + " " +
                 std::to_string(count) + " " + std::to_string(lines.Capacity()));
    return;
  }
  std::int64_t longest = 0;
  for (std::int32_t i = 1; i <= count; ++i) {
    longest = std::max<std::int64_t>(longest, static_cast<std::int64_t>(lines.Get(i).size()));
  }
  std::int64_t top = 0;
  std::int64_t left = 0;

  SetColor(7, 1);
  ClearScreen();
  Locate(1, 4);
  PrintText(title);
  Locate(1, 66);
  PrintText("V:" + DecZero(count, 4) + " H:" + DecZero(ToField(longest), 3));
  Locate(25, 4);
  PrintText("<Lf><Rg><Home><End> <Up><Dw><Pu><Pd><CtlPu><CtlPd> <ESC>");

  for (;;) {
    SetColor(7, 1);
    Locate(25, 66);
    PrintText("L:" + DecZero(ToField(top + 1), 4) + " P:" + DecZero(ToField(left + 1), 3));
    SetColor(7, 0);
    for (std::int64_t i = 1; i <= kPageRows; ++i) {
      const std::int64_t k = top + i;
      const std::string& text = k <= count ? lines.Get(static_cast<std::int32_t>(k)) : "";
      std::string shown(static_cast<std::size_t>(kPageCols), ' ');
      if (static_cast<std::int64_t>(text.size()) > left) {
        const std::string part =
            text.substr(static_cast<std::size_t>(left), static_cast<std::size_t>(kPageCols));
        std::copy(part.begin(), part.end(), shown.begin());
      }
      // Control characters would move the cursor or mean nothing: each shows
      // as one blank column.
      for (char& c : shown) {
        if (static_cast<unsigned char>(c) <= 32) c = ' ';
      }
      Locate(static_cast<int>(i) + 1, 3);
      PrintText(shown);
    }

    const std::string key = UpperKey(WaitKey());
    if (key == KeyEsc) return;
    if (key == KeyDown) {
      top += 1;
    } else if (key == KeyUp) {
      top -= 1;
    } else if (key == KeyCtrlDown) {
      top += 4;
    } else if (key == KeyCtrlUp) {
      top -= 4;
    } else if (key == KeyPgDn) {
      top += kPageRows;
    } else if (key == KeyPgUp) {
      top -= kPageRows;
    } else if (key == KeyCtrlPgDnUpper) {
      // Ctrl-PgDn read after upper-casing: Shift-F3 has the same code then.
      top = count - kPageRows;
    } else if (key == KeyCtrlPgUp) {
      top = 0;
    } else if (key == KeyHome) {
      left = 0;
    } else if (key == KeyEnd) {
      left = longest - kPageCols;
    } else if (key == KeyLeft) {
      left -= 1;
    } else if (key == KeyRight) {
      left += 1;
    }
    top = std::max<std::int64_t>(0, std::min<std::int64_t>(top, count - kPageRows));
    left = std::max<std::int64_t>(0, std::min<std::int64_t>(left, longest - kPageCols));
  }
}

void ViewTxtFile(const std::string& fileName) {
  if (!FileExists(fileName)) return;
  std::ifstream file(fileName, std::ios::binary);
  if (!file.is_open()) {
    const std::string found = FindIgnoringCase(fileName);
    if (!found.empty()) file.open(found, std::ios::binary);
  }
  if (!file.is_open()) return;
  TextArray lines(kViewFileLines);
  std::int32_t count = 0;
  std::string line;
  while (count < kViewFileLines && std::getline(file, line)) {
    // Read as text: a CR before the line end belongs to the line end.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.erase(line.find_last_not_of(' ') + 1);
    ++count;
    lines.Set(count, std::move(line));
    line.clear();
  }
  file.close();
  ViewTxtArray("File: " + fileName, lines, count);
}
