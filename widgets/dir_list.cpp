#include "widgets/dir_list.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "console/ascii.h"
#include "console/console.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The digits as a signed 64-bit value; more than it can hold saturates, so a
// very long number still sorts after every shorter one.
std::int64_t DigitsValue(std::string_view digits) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (const char c : digits) {
    const int digit = c - '0';
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

bool GreaterByName(const std::string& a, const std::string& b) {
  return AsciiUpper(a) > AsciiUpper(b);
}

bool GreaterByNumberedName(const std::string& a, const std::string& b) {
  std::string baseA, numberA, extA, baseB, numberB, extB;
  SplitNumberedName(AsciiUpper(a), baseA, numberA, extA);
  SplitNumberedName(AsciiUpper(b), baseB, numberB, extB);
  if (extA != extB) return extA > extB;
  if (baseA != baseB) return baseA > baseB;
  return DigitsValue(numberA) > DigitsValue(numberB);
}

bool GreaterInDirectoryOrder(const std::string& a, const std::string& b) {
  if (a == ".") return false;
  if (a == "..") return b == ".";
  if (b == "." || b == "..") return true;
  return AsciiUpper(a) > AsciiUpper(b);
}

bool OutOfOrder(const std::string& a, const std::string& b, std::int32_t order) {
  switch (order) {
    case kOrderName:
      return GreaterByName(a, b);
    case kOrderNumbered:
      return GreaterByNumberedName(a, b);
    case kOrderDirectory:
      return GreaterInDirectoryOrder(a, b);
    default:
      // An order the system does not define leaves the list as it is.
      return false;
  }
}

// Half the gap, rounded to the nearest integer with halves going to the even
// neighbour (3 -> 2, 5 -> 2, 7 -> 4, 1 -> 0): the original's integer
// assignment of a halved value rounds so, and the gap sequence decides the
// order of equal keys.
std::int32_t HalveGap(std::int32_t gap) {
  const std::int32_t half = gap / 2;
  if (gap % 2 == 0) return half;
  // gap = 2 * half + 1, so gap / 2 lies exactly between half and half + 1.
  return half % 2 == 0 ? half : half + 1;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

enum class EntryType { kDirectory, kRegular, kOther };

EntryType TypeOf(const dirent& entry) {
  if (entry.d_type == DT_DIR) return EntryType::kDirectory;
  if (entry.d_type == DT_REG) return EntryType::kRegular;
  if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) return EntryType::kOther;
  // Symbolic links are followed: a link to a directory can be entered like one.
  struct stat info {};
  if (stat(entry.d_name, &info) != 0) return EntryType::kOther;
  if (S_ISDIR(info.st_mode)) return EntryType::kDirectory;
  if (S_ISREG(info.st_mode)) return EntryType::kRegular;
  return EntryType::kOther;
}

bool Hidden(std::string_view name) {
  return !name.empty() && name.front() == '.' && name != "." && name != "..";
}

// "*." + ext without regard to case. "*" takes every name, as "*.*" does on
// the original's host; an empty ext takes the names without a dot.
bool MatchesExtension(std::string_view name, std::string_view ext) {
  if (ext == "*") return true;
  if (ext.empty()) return name.find('.') == std::string_view::npos;
  if (ext.find('\0') != std::string_view::npos) return false;
  const std::string pattern = "*." + std::string(ext);
  const std::string text(name);
  return fnmatch(pattern.c_str(), text.c_str(), FNM_CASEFOLD | FNM_NOESCAPE) == 0;
}

struct Listed {
  std::string name;
  bool directory;
};

// The entries of the current directory that an enumeration of the original
// would report, in the directory's own order. For directories every entry is
// reported (files too: they count against the capacity before the directory
// test), with "." and ".." first whether or not the file system reports them,
// so that every directory offers the way up. For files only the regular
// files that match ext are reported. Hidden names (a leading ".") are
// reported only when withHidden is true. visit returns false to stop.
template <typename Visit>
void Enumerate(bool forDirectories, std::string_view ext, bool withHidden, Visit visit) {
  if (forDirectories) {
    if (!visit(Listed{".", true})) return;
    if (!visit(Listed{"..", true})) return;
  }
  const std::unique_ptr<DIR, DirCloser> handle(opendir("."));
  if (!handle) return;
  while (const dirent* entry = readdir(handle.get())) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name == "." || name == "..") continue;
    if (!withHidden && Hidden(name)) continue;
    const EntryType type = TypeOf(*entry);
    if (forDirectories) {
      if (!visit(Listed{std::string(name), type == EntryType::kDirectory})) return;
    } else if (type == EntryType::kRegular && MatchesExtension(name, ext)) {
      if (!visit(Listed{std::string(name), false})) return;
    }
  }
}

}  // namespace

void SplitNumberedName(std::string_view name, std::string& base, std::string& number,
                       std::string& extension) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    base = std::string(name);
    extension.clear();
  } else {
    base = std::string(name.substr(0, dot));
    extension = std::string(name.substr(dot));
  }
  std::size_t digitsFrom = base.size();
  while (digitsFrom > 0 && IsDigit(base[digitsFrom - 1])) --digitsFrom;
  number = base.substr(digitsFrom);
  base.erase(digitsFrom);
}

void SortNameList(TextArray& list, std::int32_t count, std::int32_t order) {
  if (count > list.Capacity()) count = list.Capacity();
  std::int32_t gap = count / 2;
  while (gap > 0) {
    std::int32_t limit = count - gap;
    for (;;) {
      std::int32_t lastExchange = 0;
      for (std::int32_t i = 1; i <= limit; ++i) {
        if (OutOfOrder(list.Get(i), list.Get(i + gap), order)) {
          list.Swap(i, i + gap);
          lastExchange = i;
        }
      }
      if (lastExchange == 0) break;
      limit = lastExchange;
    }
    gap = HalveGap(gap);
  }
}

void GetDirList(std::string_view ext, std::int32_t kind, TextArray& list, std::int32_t& count) {
  list.Clear();
  count = 0;
  const std::int32_t capacity = list.Capacity();
  if (capacity < 1) return;
  const bool forDirectories = kind == kListDirectories;
  // Whatever their attributes: hidden entries are listed too.
  Enumerate(forDirectories, ext, true, [&](const Listed& entry) {
    // The capacity is checked before the entry's kind: the last slot takes
    // the marker as soon as one more entry of any kind turns up.
    if (count == capacity - 1) {
      ++count;
      list.Set(count, std::string(kTooMuchFilesMarker));
      return false;
    }
    if (!forDirectories || entry.directory) {
      ++count;
      list.Set(count, entry.name);
    }
    return true;
  });
  std::int32_t order = kOrderDirectory;
  if (!forDirectories) order = ext == "*" ? kOrderName : kOrderNumbered;
  SortNameList(list, count, order);
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

void PrintFileList(std::string_view ext, std::int32_t columnWidth, std::int32_t stripExtension) {
  std::string dir = CurrentDirectory();
  // The root already ends with the separator.
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  PrintLine("Files: " + dir + "/*." + std::string(ext));
  const std::size_t cellText = columnWidth > 1 ? static_cast<std::size_t>(columnWidth - 1) : 0;
  constexpr std::size_t kLineWidth = 80;
  std::string buffer;
  // Hidden files are not printed.
  Enumerate(false, ext, false, [&](const Listed& entry) {
    std::string name = entry.name;
    if (stripExtension != 0) {
      const std::size_t dot = name.find('.');
      if (dot != std::string::npos) name.erase(dot);
    }
    name.resize(cellText, ' ');
    const std::string cell = name + " ";
    if (buffer.size() + cell.size() > kLineWidth) {
      // A full line wraps by itself; a line break after it would leave a
      // blank row.
      if (buffer.size() == kLineWidth) {
        PrintText(buffer);
      } else {
        PrintLine(buffer);
      }
      buffer = cell;
    } else {
      buffer += cell;
    }
    return true;
  });
  if (!buffer.empty()) PrintLine(buffer);
  if (buffer.size() != kLineWidth) PrintLine();
}
