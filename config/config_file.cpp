#include "config/config_file.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>

#include "app/settings.h"
#include "config/baud_rate.h"
#include "config/messages.h"
#include "config/number_reader.h"

std::array<std::int32_t, kMacroSlots + 1> MacroCount{};
// No "{}" on the string tables: clang 14 crashes evaluating that initialiser,
// and default construction gives the same empty strings.
std::array<std::array<std::string, kMacroPlaces>, kMacroSlots + 1> MacroText;
std::array<std::string, kHelpLinesMax + 1> HelpLines;
std::int32_t HelpCount = 0;
std::string ConfigFilePath(kConfigFileName);

namespace {

constexpr std::int32_t kDefaultBaudRate = 115200;
constexpr std::int64_t kBaudSection = 0;
constexpr std::int64_t kHelpSection = -1;
constexpr std::int64_t kUnknownSection = -2;
constexpr std::int32_t kMacroLinesMax = kMacroPlaces - 1;

std::string TrimSpaces(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view word) {
  return text.size() >= word.size() && SameIgnoringCase(text.substr(0, word.size()), word);
}

// Characters [from, from + count) of text, as far as text reaches.
std::string_view Cut(std::string_view text, std::size_t from, std::size_t count) {
  if (from >= text.size()) return {};
  return text.substr(from, count);
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The first ordinary, non-hidden file of dir whose name matches pattern
// (wildcards *, ? and [...]), letters compared without regard to case, as a
// bare name; empty when none matches. "First" is byte order of the names, so
// the answer does not depend on the order the file system lists them in.
std::string FindFirstFile(const std::string& dir, const std::string& pattern) {
  if (pattern.empty()) return {};
  const std::unique_ptr<DIR, DirCloser> handle(opendir(dir.c_str()));
  if (!handle) return {};
  std::string best;
  while (const dirent* entry = readdir(handle.get())) {
    const std::string_view entryName = entry->d_name;
    if (entryName.empty() || entryName.front() == '.') continue;
    if (!best.empty() && entryName >= best) continue;
    if (fnmatch(pattern.c_str(), entry->d_name, FNM_CASEFOLD | FNM_NOESCAPE) != 0) continue;
    struct stat info {};
    const std::string path = dir + "/" + entry->d_name;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    best = entryName;
  }
  return best;
}

// Reads the lines of the file into the tables, one section at a time.
class ConfigReader {
 public:
  explicit ConfigReader(const ConfigReport& report) : report_(report) {}

  void Line(std::string raw) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string line = TrimSpaces(raw);
    if (line.empty() || line.front() == '\'') return;
    if (line.front() == '#') {
      Directive(line);
    } else {
      Entry(line, line);
    }
  }

 private:
  void Directive(const std::string& line) {
    counter_ = 0;
    std::size_t textFrom = 0;
    if (StartsWithIgnoringCase(line, "#F")) {
      // The key number is read from two characters only: "#F1ls" is F1.
      const std::int64_t key = ReadRoundedInteger(Cut(line, 2, 2));
      if (!SelectNumberedSection(key, line)) return;
      textFrom = 4;
    } else if (StartsWithIgnoringCase(line, "#SF")) {
      const std::int64_t key = ReadRoundedInteger(Cut(line, 3, 2));
      // Adding 12 only to numbers that can land in range keeps it from overflowing.
      if (!SelectNumberedSection(key <= kMacroSlots ? key + 12 : key, line)) return;
      textFrom = 5;
    } else if (StartsWithIgnoringCase(line, "#COMMODE")) {
      section_ = kBaudSection;
      textFrom = 8;
    } else if (StartsWithIgnoringCase(line, "#HELP")) {
      section_ = kHelpSection;
      textFrom = 5;
    } else {
      section_ = kUnknownSection;
      Report("Non Valid Command: " + line);
      return;
    }
    // Text after the directive word is an entry of the new section, unless
    // it is empty or a comment.
    const std::string_view rest = Cut(line, textFrom, std::string_view::npos);
    const std::size_t first = rest.find_first_not_of(' ');
    if (first == std::string_view::npos || rest[first] == '\'') return;
    Entry(std::string(rest.substr(first)), line);
  }

  // Sections 0 (baud rate) and -1 (help) are reachable by number too, as in
  // "#FX"; numbers naming no slot are reported and their entries dropped.
  bool SelectNumberedSection(std::int64_t section, const std::string& line) {
    if (section >= kHelpSection && section <= kMacroSlots) {
      section_ = section;
      return true;
    }
    section_ = kUnknownSection;
    Report("Non Valid Command: " + line);
    return false;
  }

  // entry is the text to store; line is the trimmed file line, quoted in reports.
  void Entry(const std::string& entry, const std::string& line) {
    if (section_ == kBaudSection) {
      const std::int64_t baud = ReadRoundedInteger(entry);
      if (BaudRateUsable(baud)) {
        BaudRate = static_cast<std::int32_t>(baud);
      } else {
        Report("Baud rate not usable, " + std::to_string(BaudRate) + " kept: " + line);
      }
    } else if (section_ == kHelpSection) {
      if (HelpCount >= kHelpLinesMax) {
        Report("Non Valid Command: " + line);
        return;
      }
      ++HelpCount;
      // A lone double quote asks for an empty help line (empty lines are skipped).
      HelpLines[static_cast<std::size_t>(HelpCount)] = entry == "\"" ? " " : entry;
    } else if (section_ >= 1 && section_ <= kMacroSlots) {
      if (counter_ >= kMacroLinesMax) {
        Report("Non Valid Command: " + line);
        return;
      }
      ++counter_;
      const auto slot = static_cast<std::size_t>(section_);
      MacroText[slot][static_cast<std::size_t>(counter_)] = entry;
      MacroCount[slot] = counter_;
    }
    // Entries of an unknown section belong nowhere and are dropped.
  }

  void Report(const std::string& text) { report_(text); }

  const ConfigReport& report_;
  std::int64_t section_ = kBaudSection;
  std::int32_t counter_ = 0;
};

void ClearTables() {
  MacroCount.fill(0);
  for (auto& slot : MacroText) slot.fill(std::string());
  HelpLines.fill(std::string());
  HelpCount = 0;
}

}  // namespace

void LoadConfig() {
  LoadConfig([](std::string_view text) { ReportError(text); });
}

void LoadConfig(const ConfigReport& report) {
  BaudRate = kDefaultBaudRate;
  const std::string fileName = ConfigFilePath;
  if (!FileExists(fileName)) {
    report("Config file not found: " + fileName);
    return;
  }
  ClearTables();
  std::ifstream file(fileName, std::ios::binary);
  if (!file.is_open()) {
    // FileExists ignores letter case; Linux names do not, so open the file found.
    const std::size_t slash = fileName.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : fileName.substr(0, slash);
    const std::string found =
        FindFirstFile(dir, slash == std::string::npos ? fileName : fileName.substr(slash + 1));
    if (!found.empty()) file.open(dir + "/" + found, std::ios::binary);
  }
  if (!file.is_open()) {
    report("Config file cannot be read: " + fileName);
    return;
  }
  ConfigReader reader(report);
  std::string raw;
  while (std::getline(file, raw)) reader.Line(std::move(raw));
}

bool FileExists(std::string_view name) {
  // A C string cannot carry a NUL, so such a name names no file.
  if (name.find('\0') != std::string_view::npos) return false;
  const std::size_t slash = name.rfind('/');
  std::string dir = ".";
  if (slash == 0) dir = "/";
  if (slash != std::string_view::npos && slash > 0) dir = std::string(name.substr(0, slash));
  const std::string pattern(slash == std::string_view::npos ? name : name.substr(slash + 1));
  const std::string found = FindFirstFile(dir, pattern);
  const std::size_t n = found.size();
  return n > 0 && n <= name.size() && SameIgnoringCase(name.substr(name.size() - n), found);
}
