// The udev rule of the package: its syntax (udevadm verify where this udev
// has it, and a parser of udev's rule grammar that runs everywhere), what it
// matches, and its commands applied to a fake sysfs tree, after which a
// member of the group q7m, and only a member, may use the board through the
// sysfs access library.

#include <dlfcn.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/pcie-linux/fake_sysfs.h"
#include "tests/support/scratch_homes.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRule = fs::path(Q7M_SOURCE_DIR) / "packaging/60-q7m-uart.rules";

struct Entry {
  std::string key;        // ACTION, ATTR, RUN ...
  std::string attribute;  // the part in braces, or ""
  std::string op;         // == != = += -= :=
  std::string value;      // without the quotes
};
using Rule = std::vector<Entry>;

// udev's rule grammar (udev(7)): one rule per line, continued by a backslash
// at the end; comma-separated KEY[{attribute}] OP "value" entries; match
// keys take == or !=, the others assign. Returns the rules, or nullopt with
// the reason.
std::optional<std::vector<Rule>> ParseRules(const std::string& text, std::string& why) {
  static const std::set<std::string> kMatchOnly = {
      "DEVPATH", "KERNEL", "KERNELS", "SUBSYSTEMS", "DRIVERS",   "ATTRS",  "TAGS",
      "PROGRAM", "RESULT", "CONST",   "TEST",       "SUBSYSTEM", "DRIVER", "ACTION"};
  static const std::set<std::string> kEither = {"NAME", "SYMLINK", "ATTR", "SYSCTL", "ENV", "TAG"};
  static const std::set<std::string> kAssignOnly = {"OWNER", "GROUP", "MODE",   "SECLABEL", "RUN",
                                                    "LABEL", "GOTO",  "IMPORT", "OPTIONS"};
  static const std::set<std::string> kWithAttribute = {"ATTR", "ATTRS",    "SYSCTL", "ENV", "CONST",
                                                       "TEST", "SECLABEL", "IMPORT", "RUN"};
  std::vector<Rule> rules;
  std::istringstream lines(text);
  std::string logical;
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (!line.empty() && line.back() == '\\') {
      logical += line.substr(0, line.size() - 1);
      continue;
    }
    logical += line;
    std::string rule = logical;
    logical.clear();
    const auto first = rule.find_first_not_of(" \t");
    if (first == std::string::npos || rule[first] == '#') continue;
    Rule entries;
    std::size_t at = first;
    while (at < rule.size()) {
      auto key_end = at;
      while (key_end < rule.size() && std::isupper(static_cast<unsigned char>(rule[key_end]))) {
        ++key_end;
      }
      Entry entry;
      entry.key = rule.substr(at, key_end - at);
      at = key_end;
      if (at < rule.size() && rule[at] == '{') {
        const auto close = rule.find('}', at);
        if (close == std::string::npos) {
          why = "line " + std::to_string(number) + ": { without }";
          return std::nullopt;
        }
        entry.attribute = rule.substr(at + 1, close - at - 1);
        at = close + 1;
      }
      const bool known =
          kMatchOnly.count(entry.key) || kEither.count(entry.key) || kAssignOnly.count(entry.key);
      if (!known) {
        why = "line " + std::to_string(number) + ": unknown key \"" + entry.key + "\"";
        return std::nullopt;
      }
      if (!entry.attribute.empty() && !kWithAttribute.count(entry.key)) {
        why = "line " + std::to_string(number) + ": " + entry.key + " takes no {attribute}";
        return std::nullopt;
      }
      for (const char* op : {"==", "!=", "+=", "-=", ":=", "="}) {
        if (rule.compare(at, std::string(op).size(), op) == 0) {
          entry.op = op;
          break;
        }
      }
      const bool matches = entry.op == "==" || entry.op == "!=";
      if (entry.op.empty() || (kMatchOnly.count(entry.key) && !matches) ||
          (kAssignOnly.count(entry.key) && matches)) {
        why = "line " + std::to_string(number) + ": " + entry.key + " with operator \"" + entry.op +
              "\"";
        return std::nullopt;
      }
      at += entry.op.size();
      if (at >= rule.size() || rule[at] != '"') {
        why = "line " + std::to_string(number) + ": the value of " + entry.key + " is not quoted";
        return std::nullopt;
      }
      const auto end = rule.find('"', at + 1);
      if (end == std::string::npos) {
        why = "line " + std::to_string(number) + ": unterminated value of " + entry.key;
        return std::nullopt;
      }
      entry.value = rule.substr(at + 1, end - at - 1);
      entries.push_back(entry);
      at = rule.find_first_not_of(" \t", end + 1);
      if (at == std::string::npos) break;
      if (rule[at] != ',') {
        why = "line " + std::to_string(number) + ": entries must be separated by commas";
        return std::nullopt;
      }
      at = rule.find_first_not_of(" \t", at + 1);
      if (at == std::string::npos) {
        why = "line " + std::to_string(number) + ": a comma ends the rule";
        return std::nullopt;
      }
    }
    rules.push_back(entries);
  }
  if (!logical.empty()) {
    why = "the last line ends in a backslash";
    return std::nullopt;
  }
  return rules;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(UdevRuleSyntax, TheParserRefusesWhatUdevRefuses) {
  std::string why;
  EXPECT_TRUE(ParseRules("# comment\n\nACTION==\"add\", RUN+=\"/bin/true\"\n", why)) << why;
  for (const char* broken : {"ACTION==\"add\", RUN+=\"/bin/true\n",   // unterminated value
                             "ACTION==add\n",                         // unquoted value
                             "ACTON==\"add\"\n",                      // unknown key
                             "ACTION=\"add\"\n",                      // a match key assigned
                             "RUN==\"/bin/true\"\n",                  // an assignment key matched
                             "ACTION==\"add\" SUBSYSTEM==\"pci\"\n",  // no comma
                             "ACTION==\"add\",\n",                    // a comma at the end
                             "ACTION==\"add\", \\\n",                 // continued into nothing
                             "SUBSYSTEM{vendor}==\"pci\"\n",  // an attribute where none is taken
                             "ATTR{vendor==\"0x1172\"\n"}) {  // an unclosed brace
    EXPECT_FALSE(ParseRules(broken, why)) << "accepted: " << broken;
  }
}

TEST(UdevRuleSyntax, TheShippedRuleParsesAndMatchesTheBoardOnAdd) {
  const std::string text = ReadText(kRule);
  std::string why;
  const auto rules = ParseRules(text, why);
  ASSERT_TRUE(rules) << why;
  ASSERT_EQ(rules->size(), 1u);
  std::map<std::string, std::string> matches;
  std::vector<std::string> commands;
  for (const Entry& entry : rules->front()) {
    if (entry.op == "==") matches[entry.key + "{" + entry.attribute + "}"] = entry.value;
    if (entry.key == "RUN") {
      EXPECT_EQ(entry.op, "+=") << "RUN= would drop the commands of earlier rules";
      commands.push_back(entry.value);
    }
  }
  const std::map<std::string, std::string> expected = {{"ACTION{}", "add"},
                                                       {"SUBSYSTEM{}", "pci"},
                                                       {"ATTR{vendor}", "0x1172"},
                                                       {"ATTR{device}", "0x5680"}};
  EXPECT_EQ(matches, expected);
  ASSERT_FALSE(commands.empty());
  for (const std::string& command : commands) {
    // udev runs programs by absolute path, without a shell.
    const std::string program = command.substr(0, command.find(' '));
    EXPECT_TRUE(fs::path(program).is_absolute()) << command;
    EXPECT_TRUE(fs::exists(program)) << program << " is not on this machine";
    EXPECT_EQ(command.find_first_of(";|&$`<>"), std::string::npos) << "no shell here: " << command;
  }

  // The udev of this machine checks it too, where it offers `udevadm verify`.
  if (std::system("udevadm verify --help >/dev/null 2>&1") == 0) {
    EXPECT_EQ(std::system(("udevadm verify --no-style '" + kRule.string() + "'").c_str()), 0);
  }
}

// ---- The rule's commands on a fake sysfs tree -------------------------------

constexpr gid_t kGroupId = 64990;
constexpr uid_t kNobody = 65534;

struct LibraryCalls {
  int32_t (*InitPCIAccess)(int32_t, int32_t, int32_t) = nullptr;
  int32_t (*Close)() = nullptr;
  int32_t (*ReadWriteConfigSpace)(void*, int32_t, int32_t, int32_t) = nullptr;
  int32_t (*Mmap)(void**, int32_t, int32_t) = nullptr;
};

// In a child as nobody, with the group or without, through the access
// library at `library`: 0 when the board opens with its config writable and
// BAR 0 maps; otherwise which step failed.
int UseTheBoardAs(bool inGroup, const std::string& library) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const gid_t groups[] = {kGroupId};
    if (::setgroups(inGroup ? 1 : 0, groups) != 0 || ::setgid(kNobody) != 0 ||
        ::setuid(kNobody) != 0) {
      ::_exit(90);
    }
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) ::_exit(91);
    LibraryCalls lib;
    lib.InitPCIAccess =
        reinterpret_cast<decltype(lib.InitPCIAccess)>(dlsym(handle, "InitPCIAccess"));
    lib.ReadWriteConfigSpace =
        reinterpret_cast<decltype(lib.ReadWriteConfigSpace)>(dlsym(handle, "ReadWriteConfigSpace"));
    lib.Mmap = reinterpret_cast<decltype(lib.Mmap)>(dlsym(handle, "Mmap"));
    if (lib.InitPCIAccess(0x1172, 0x5680, 0) != 0) ::_exit(10);
    std::uint8_t byte = 0x0B;
    if (lib.ReadWriteConfigSpace(&byte, 1, 0x3C, 0) != 0) ::_exit(11);
    void* base = nullptr;
    if (lib.Mmap(&base, 0, 0) != 0 || base == nullptr) ::_exit(12);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(UdevRuleOnAFakeTree, ItsCommandsGiveTheGroupWhatTheLibraryNeeds) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the files as the kernel does";
  if (std::system("unshare -m true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mount namespaces";
  const bool groupExists = ::getgrnam("q7m") != nullptr;
  const gid_t gid = groupExists ? ::getgrnam("q7m")->gr_gid : kGroupId;
  if (!groupExists && ::getgrgid(kGroupId) != nullptr) GTEST_SKIP() << "gid 64990 is taken";
  if (groupExists && gid != kGroupId) GTEST_SKIP() << "the group q7m of this machine is in use";

  const fs::path base = fs::temp_directory_path() / ("q7m-udev-" + std::to_string(::getpid()));
  fs::remove_all(base);
  const std::string devpath = "/devices/pci0000:00/0000:00:1c.0/0000:03:00.0";
  FakeDevice board;
  board.address = "0000:03:00.0";
  board.vendor = 0x1172;
  board.device = 0x5680;
  board.bars = {{0, 0x20000}, {2, 0x1000}};
  const fs::path sys = base / "sys";
  const fs::path dir = AddFakeDevice(sys / "devices/pci0000:00/0000:00:1c.0", board);
  fs::create_directories(sys / "bus/pci/devices");
  fs::create_symlink("../../../devices/pci0000:00/0000:00:1c.0/0000:03:00.0",
                     sys / "bus/pci/devices/0000:03:00.0");
  // As the kernel makes them: config 0644, resources 0600, all root's.
  fs::permissions(dir / "config", fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir / "resource0", fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(dir / "resource2", fs::perms::owner_read | fs::perms::owner_write);
  for (const fs::path& folder : {base, base / "sys", base / "log"}) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all);
  }
  // nobody loads a copy of the library: the build tree may be in a folder
  // only root may enter (a clone in root's home).
  const std::string library = (base / "libPCIAccessDll.so").string();
  fs::copy_file(Q7M_SYSFS_LIB, library);
  fs::permissions(library, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  setenv("Q7M_PCI_SYSFS_ROOT", (sys / "bus/pci/devices").c_str(), 1);
  setenv("Q7M_PCI_LOG_DIR", (base / "log").c_str(), 1);

  EXPECT_EQ(UseTheBoardAs(true, library), 11) << "before the rule: config cannot be written";

  // The commands as udev would run them for this device, with /sys moved to
  // the fake tree and a group q7m known to name resolution.
  std::string why;
  const auto rules = ParseRules(ReadText(kRule), why);
  ASSERT_TRUE(rules) << why;
  std::string script = "mount --bind " + (base / "group").string() + " /etc/group";
  for (const Entry& entry : rules->front()) {
    if (entry.key != "RUN") continue;
    std::string command = entry.value;
    for (std::size_t at; (at = command.find("/sys%p")) != std::string::npos;) {
      command.replace(at, 6, sys.string() + devpath);
    }
    EXPECT_EQ(command.find('%'), std::string::npos) << "only %p is known here: " << command;
    script += " && " + command;
  }
  {
    std::ofstream group(base / "group");
    group << ReadText("/etc/group");
    if (!groupExists) group << "q7m:x:" << kGroupId << ":\n";
  }
  ASSERT_EQ(std::system(("unshare -m sh -c " + ShellQuote(script)).c_str()), 0) << script;

  struct stat info {};
  ASSERT_EQ(::stat((dir / "config").c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, gid);
  EXPECT_EQ(info.st_mode & 07777, 0664u);
  ASSERT_EQ(::stat((dir / "resource0").c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, gid);
  EXPECT_EQ(info.st_mode & 07777, 0660u);
  ASSERT_EQ(::stat((dir / "resource2").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u) << "only what the program uses is opened up";

  EXPECT_EQ(UseTheBoardAs(true, library), 0)
      << "10 open, 11 config write, 12 mapping of BAR 0 failed, 91 library not loaded";
  EXPECT_EQ(UseTheBoardAs(false, library), 11) << "without the group nothing changes";
  EXPECT_NE(ReadText(base / "log/PCIAccessDll.log").find("config read-write"), std::string::npos);

  unsetenv("Q7M_PCI_SYSFS_ROOT");
  unsetenv("Q7M_PCI_LOG_DIR");
  fs::remove_all(base);
}

}  // namespace
