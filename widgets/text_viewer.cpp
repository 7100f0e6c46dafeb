#include "widgets/text_viewer.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>

#include "app/settings.h"
#include "config/host_files.h"
#include "config/messages.h"
#include "console/ascii.h"
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
  // This host's names keep their case; FileExists does not.
  const std::string found = FoundFileName(fileName);
  if (found.empty()) return;
  std::ifstream file(found, std::ios::binary);
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
