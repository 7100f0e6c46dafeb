#include "config/config_file.h"

#include <fstream>
#include <string>

#include "app/settings.h"
#include "config/host_files.h"
#include "config/messages.h"
#include "config/number_reader.h"
#include "console/ascii.h"

std::array<std::int32_t, kMacroSlots + 1> MacroCount{};
// No "{}" on the string tables: clang 14 crashes evaluating that initialiser,
// and default construction gives the same empty strings.
std::array<std::array<std::string, kMacroPlaces>, kMacroSlots + 1> MacroText;
std::array<std::string, kHelpLinesMax + 1> HelpLines;
std::int32_t HelpCount = 0;
std::string ConfigFilePath(kConfigFileName);

namespace {

constexpr std::int64_t kBaudSection = 0;
constexpr std::int64_t kHelpSection = -1;
constexpr std::int64_t kUnknownSection = -2;
constexpr std::int32_t kMacroLinesMax = kMacroPlaces - 1;

// Characters [from, from + count) of text, as far as text reaches.
std::string_view Cut(std::string_view text, std::size_t from, std::size_t count) {
  if (from >= text.size()) return {};
  return text.substr(from, count);
}

// A report goes to the message row unless the caller names its own place.
void Say(const ConfigLoad& load, const std::string& text) {
  if (load.report) {
    load.report(text);
  } else {
    ReportError(text);
  }
}

// Reads the lines of the file into the tables, one section at a time.
class ConfigReader {
 public:
  explicit ConfigReader(const ConfigLoad& load) : load_(load) {}

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

  // The file ended: the last section's surplus is said.
  void Finish() { EndSection(); }

 private:
  void Directive(const std::string& line) {
    EndSection();
    counter_ = 0;
    std::size_t textFrom = 0;
    if (StartsWithIgnoringCase(line, "#F")) {
      // The key number is read from two characters only: "#F1ls" is F1.
      const std::int64_t key = ReadRoundedInteger(Cut(line, 2, 2));
      textFrom = 4;
      SelectNumberedSection(key, line.substr(0, textFrom));
    } else if (StartsWithIgnoringCase(line, "#SF")) {
      const std::int64_t key = ReadRoundedInteger(Cut(line, 3, 2));
      textFrom = 5;
      // Adding 12 only to numbers that can land in range keeps it from overflowing.
      SelectNumberedSection(key <= kMacroSlots ? key + 12 : key, line.substr(0, textFrom));
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
  // "#FX"; a number naming no slot drops the section, which is said when it
  // ends.
  void SelectNumberedSection(std::int64_t section, const std::string& directive) {
    if (section >= kHelpSection && section <= kMacroSlots) {
      section_ = section;
      return;
    }
    section_ = kUnknownSection;
    noKeyDirective_ = directive;
  }

  // What the section ending now could not hold, said once for the section
  // rather than once a line.
  void EndSection() {
    if (!noKeyDirective_.empty()) {
      Report(noKeyDirective_ + " names no function key: it was dropped" +
             (dropped_ > 0 ? " with its " + Lines(dropped_, "line") : std::string()));
    } else if (dropped_ > 0 && section_ == kHelpSection) {
      Report(Lines(dropped_, "help line") + " beyond the " + std::to_string(kHelpLinesMax) +
             " that fit " + (dropped_ == 1 ? "was" : "were") + " dropped");
    } else if (dropped_ > 0) {
      Report(SlotName(section_) + ": " + Lines(dropped_, "macro line") + " beyond the " +
             std::to_string(kMacroLinesMax) + " that fit " + (dropped_ == 1 ? "was" : "were") +
             " dropped");
    }
    dropped_ = 0;
    noKeyDirective_.clear();
  }

  static std::string Lines(std::int32_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  }

  // Slot 1 to 12 is Fn, 13 to 24 Shift-Fn.
  static std::string SlotName(std::int64_t slot) {
    return slot > 12 ? "Shift-F" + std::to_string(slot - 12) : "F" + std::to_string(slot);
  }

  // entry is the text to store; line is the trimmed file line, quoted in reports.
  void Entry(const std::string& entry, const std::string& line) {
    if (section_ == kBaudSection) {
      const std::int64_t baud = ReadRoundedInteger(entry);
      if (load_.baudRateUsable == nullptr || load_.baudRateUsable(baud)) {
        BaudRate = SaturateInt32(baud);
      } else {
        Report("Baud rate not usable, " + std::to_string(BaudRate) + " kept: " + line);
      }
    } else if (section_ == kHelpSection) {
      if (HelpCount >= kHelpLinesMax) {
        ++dropped_;
        return;
      }
      ++HelpCount;
      // A lone double quote asks for an empty help line (empty lines are skipped).
      HelpLines[static_cast<std::size_t>(HelpCount)] = entry == "\"" ? " " : entry;
    } else if (section_ >= 1 && section_ <= kMacroSlots) {
      if (counter_ >= kMacroLinesMax) {
        ++dropped_;
        return;
      }
      ++counter_;
      const auto slot = static_cast<std::size_t>(section_);
      MacroText[slot][static_cast<std::size_t>(counter_)] = entry;
      MacroCount[slot] = counter_;
    } else if (!noKeyDirective_.empty()) {
      ++dropped_;
    }
    // Entries after an unknown directive belong nowhere and are dropped.
  }

  void Report(const std::string& text) { Say(load_, text); }

  const ConfigLoad& load_;
  std::int64_t section_ = kBaudSection;
  std::int32_t counter_ = 0;
  // Lines of the current section that had no place.
  std::int32_t dropped_ = 0;
  // The "#F" or "#SF" word of a current section whose number names no key.
  std::string noKeyDirective_;
};

void ClearTables() {
  MacroCount.fill(0);
  for (auto& slot : MacroText) slot.fill(std::string());
  HelpLines.fill(std::string());
  HelpCount = 0;
}

}  // namespace

void LoadConfig(const ConfigLoad& load) {
  BaudRate = kStartBaudRate;
  const std::string fileName = ConfigFilePath;
  if (!FileExists(fileName)) {
    if (load.reportMissingFile) Say(load, "Config file not found: " + fileName);
    return;
  }
  ClearTables();
  const std::string found = FoundFileName(fileName);
  std::ifstream file;
  if (!found.empty()) file.open(found, std::ios::binary);
  if (!file.is_open()) {
    Say(load, "Config file cannot be read: " + fileName);
    return;
  }
  ConfigReader reader(load);
  std::string raw;
  while (std::getline(file, raw)) reader.Line(std::move(raw));
  reader.Finish();
}
