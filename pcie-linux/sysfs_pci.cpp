#include "pcie-linux/sysfs_pci.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "pcie-linux/board_choice.h"
#include "pcie-linux/board_lock.h"
#include "pcie-linux/digits.h"

namespace q7m::pcie_linux {
namespace {

// Linux resource flags in the `resource` table (include/linux/ioport.h).
constexpr std::uint64_t kResourceIo = 0x100;
// Command register bits: I/O space enable, memory space enable.
constexpr std::uint16_t kCommandIo = 0x1;
constexpr std::uint16_t kCommandMemory = 0x2;
// How many devices a "not found" line lists before it summarises.
constexpr std::size_t kSeenListed = 16;

std::string Hex(std::uint64_t value, int digits = 0) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string IdPair(std::uint32_t vendor, std::uint32_t device) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vendor, device);
  return text;
}

std::optional<std::string> ReadTextFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

// "0x1172\n" or "1172" -> 0x1172; nullopt for anything else.
std::optional<std::uint64_t> ParseHex(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  return ParseDigits(text, 16, 16);
}

// Flags column of each line of the `resource` table; empty when absent.
std::vector<std::uint64_t> ResourceFlags(const std::string& path) {
  std::vector<std::uint64_t> flags;
  const std::optional<std::string> text = ReadTextFile(path);
  if (!text) return flags;
  std::istringstream lines(*text);
  std::string start, end, flag;
  while (lines >> start >> end >> flag) flags.push_back(ParseHex(flag).value_or(0));
  return flags;
}

std::uint32_t FromLittleEndian(std::uint32_t value, std::uint32_t width) {
  if constexpr (std::endian::native == std::endian::big) {
    if (width == 2) return static_cast<std::uint16_t>((value >> 8) | (value << 8));
    if (width == 4) {
      return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
    }
  }
  (void)width;
  return value;
}

}  // namespace

void SysfsPci::LogFileError(std::string_view caller, std::string_view what, const std::string& path,
                            int error) const {
  std::string line = std::string(caller) + ": ";
  if (error == EACCES || error == EPERM) {
    line += "permission denied to " + std::string(what) + " " + path +
            ": run q7m-uart as root, or grant the user read-write access to " + dir_ +
            "/resource0 and " + dir_ +
            "/config (for example with a udev rule that sets their group and mode)";
    if (error == EPERM) line += "; kernel lockdown (Secure Boot) also forbids this access";
  } else if (error == ENOENT) {
    line += path + " does not exist";
  } else {
    line += "cannot " + std::string(what) + " " + path + ": " + std::strerror(error);
  }
  Log(line);
}

std::int32_t SysfsPci::Open(std::int32_t vendor, std::int32_t device, std::int32_t index) {
  if (IsOpen()) {
    Log("InitPCIAccess: closing " + address_ + " before opening again");
    Close();
  }
  const std::string wanted = "vendor " + Hex(static_cast<std::uint32_t>(vendor), 4) + " device " +
                             Hex(static_cast<std::uint32_t>(device), 4);
  if (vendor < 0 || vendor > 0xFFFF || device < 0 || device > 0xFFFF) {
    Log("InitPCIAccess(" + wanted + ", index " + std::to_string(index) +
        "): IDs must be 0 to 0xffff");
    return kBadArguments;
  }
  std::string choice_error;
  const std::optional<BoardChoice> choice = ChooseBoard(index, choice_error);
  if (!choice) {
    Log("InitPCIAccess(" + wanted + "): " + choice_error);
    return kBadArguments;
  }

  const char* variable = std::getenv(kSysfsRootVariable);
  const std::string root =
      (variable != nullptr && *variable != '\0') ? variable : kDefaultSysfsRoot;
  std::vector<std::string> names;
  {
    DIR* listing = ::opendir(root.c_str());
    if (listing == nullptr) {
      Log("InitPCIAccess: cannot list " + root + ": " + std::strerror(errno) +
          "; sysfs must be mounted on /sys (or " + kSysfsRootVariable +
          " must name a folder of device folders)");
      return kNoSysfsRoot;
    }
    while (const dirent* entry = ::readdir(listing)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
  }
  // Bus addresses have fixed-width hex fields, so text order is bus order.
  std::sort(names.begin(), names.end());

  std::vector<std::string> seen;
  std::vector<std::string> matches;
  for (const std::string& name : names) {
    const std::string folder = root + "/" + name;
    const auto v = ReadTextFile(folder + "/vendor");
    const auto d = ReadTextFile(folder + "/device");
    if (!v || !d) continue;
    const auto vid = ParseHex(*v);
    const auto did = ParseHex(*d);
    if (!vid || !did) continue;
    seen.push_back(name + " " +
                   IdPair(static_cast<std::uint32_t>(*vid), static_cast<std::uint32_t>(*did)));
    if (*vid == static_cast<std::uint64_t>(vendor) && *did == static_cast<std::uint64_t>(device)) {
      matches.push_back(name);
    }
  }

  const std::string pair =
      IdPair(static_cast<std::uint32_t>(vendor), static_cast<std::uint32_t>(device));
  const auto seen_list = [&seen] {
    std::string list = std::to_string(seen.size()) + " devices seen";
    for (std::size_t i = 0; i < seen.size() && i < kSeenListed; ++i) {
      list += (i == 0 ? ": " : ", ") + seen[i];
    }
    if (seen.size() > kSeenListed) {
      list += " and " + std::to_string(seen.size() - kSeenListed) + " more";
    }
    return list;
  };
  if (matches.empty()) {
    Log("InitPCIAccess: no PCI device with " + wanted + " under " + root + "; " + seen_list() +
        ". Check that the board is seated and powered and that `lspci -d " + pair + "` lists it");
    return kNoSuchDevice;
  }
  std::string match_list;
  for (std::size_t i = 0; i < matches.size(); ++i) match_list += (i == 0 ? "" : ", ") + matches[i];
  std::size_t chosen = 0;
  if (choice->byAddress) {
    const auto it = std::find(matches.begin(), matches.end(), choice->address);
    if (it == matches.end()) {
      Log("InitPCIAccess: " + choice->origin + " names no device with " + wanted + " under " +
          root + "; the device(s) with these IDs: " + match_list + "; " + seen_list());
      return kNoSuchDevice;
    }
    chosen = static_cast<std::size_t>(it - matches.begin());
  } else if (static_cast<std::size_t>(choice->index) >= matches.size()) {
    Log("InitPCIAccess: " + std::to_string(matches.size()) + " device(s) with " + wanted + " (" +
        match_list + ") but " + choice->origin + " was asked for (0 is the first)");
    return kIndexBeyondMatches;
  } else {
    chosen = static_cast<std::size_t>(choice->index);
  }

  address_ = matches[chosen];
  dir_ = root + "/" + address_;
  const std::string config_path = FilePath("config");
  config_ = UniqueFd(::open(config_path.c_str(), O_RDWR | O_CLOEXEC));
  config_writable_ = config_.valid();
  int write_error = 0;
  if (!config_.valid()) {
    write_error = errno;
    config_ = UniqueFd(::open(config_path.c_str(), O_RDONLY | O_CLOEXEC));
  }
  if (!config_.valid()) {
    const int error = errno;
    LogFileError("InitPCIAccess", "open", config_path, error);
    Close();
    return kConfigNotOpened;
  }
  // The board's index register is shared by everything that drives it, so
  // a second program would corrupt the first one's register sequences.
  const LockAttempt lock = LockExclusive(config_.get());
  if (lock.status == LockStatus::kHeld) {
    Log("InitPCIAccess: " + address_ + " is in use by " + lock.holder +
        ", which holds the lock on " + config_path +
        "; one program at a time drives a board: end that program first, or choose another "
        "board with " +
        kDeviceVariable + " (a number or a bus address; boards with " + pair + ": " + match_list +
        ")");
    config_.reset();
    dir_.clear();
    address_.clear();
    return kBoardInUse;
  }
  if (lock.status == LockStatus::kFailed) {
    Log("InitPCIAccess: cannot lock " + config_path + " (" + std::strerror(lock.error) +
        "); going on without the lock, so nothing keeps a second program off this board");
  }
  if (!config_writable_) {
    Log("InitPCIAccess: " + config_path + " opened read-only (" + std::strerror(write_error) +
        " for writing); configuration writes will fail: run q7m-uart as root to write it");
  }
  struct stat info {};
  config_limit_ = (::fstat(config_.get(), &info) == 0 && info.st_size >= 4096) ? 4096 : 256;

  const std::vector<std::uint64_t> flags = ResourceFlags(FilePath("resource"));
  for (std::size_t i = 0; i < bars_.size(); ++i) {
    Bar& bar = bars_[i];
    struct stat file {};
    bar.present = ::stat(FilePath("resource" + std::to_string(i)).c_str(), &file) == 0;
    bar.size = bar.present ? static_cast<std::uint64_t>(file.st_size) : 0;
    bar.io = i < flags.size() && (flags[i] & kResourceIo) != 0;
  }

  std::string line = "InitPCIAccess: opened " + address_ + " (" + pair + ", match " +
                     std::to_string(chosen) + " of " + std::to_string(matches.size()) + ") by " +
                     choice->origin + " under " + root + ", locked for this process; config " +
                     (config_writable_ ? "read-write" : "read-only") + ", " +
                     std::to_string(config_limit_) + " bytes; BARs: " + BarList();
  const std::optional<std::uint16_t> command = ReadCommand();
  if (command) line += "; command register " + Hex(*command, 4);
  Log(line);
  if (!command) {
    Log("InitPCIAccess: cannot read the command register of " + address_ +
        "; whether memory decoding is on is unknown");
  } else if ((*command & kCommandMemory) == 0) {
    Log("InitPCIAccess: memory decoding is off on " + address_ + " (command register " +
        Hex(*command, 4) + ", bit 1 clear); Mmap will fail until it is enabled: `setpci -s " +
        address_ + " COMMAND=0x02:0x02` as root, `echo 1 > " + dir_ +
        "/enable`, or load/bind its driver");
  }
  return kOk;
}

void SysfsPci::Close() {
  const bool was_open = IsOpen();
  for (Bar& bar : bars_) bar = Bar();
  config_.reset();
  config_writable_ = false;
  config_limit_ = 256;
  if (was_open) Log("Close: closed " + address_);
  dir_.clear();
  address_.clear();
}

std::string SysfsPci::BarList() const {
  std::string list;
  for (std::size_t i = 0; i < bars_.size(); ++i) {
    if (!bars_[i].present) continue;
    if (!list.empty()) list += ", ";
    list += std::to_string(i) + (bars_[i].io ? " io " : " mem ") + Hex(bars_[i].size) + " bytes";
  }
  return list.empty() ? "none" : list;
}

std::optional<std::uint16_t> SysfsPci::ReadCommand() const {
  std::uint8_t bytes[2];
  if (::pread(config_.get(), bytes, sizeof bytes, 4) != static_cast<ssize_t>(sizeof bytes)) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

bool SysfsPci::CheckDecoding(std::string_view caller, bool io) const {
  const std::optional<std::uint16_t> command = ReadCommand();
  if (!command) return true;  // unknown: let the access itself tell
  const std::uint16_t bit = io ? kCommandIo : kCommandMemory;
  if ((*command & bit) != 0) return true;
  Log(std::string(caller) + ": " + (io ? "I/O" : "memory") + " decoding is off on " + address_ +
      " (command register " + Hex(*command, 4) + ", bit " + (io ? "0" : "1") + " clear), so its " +
      (io ? "I/O" : "memory") + " BARs do not answer: enable it with `setpci -s " + address_ +
      " COMMAND=" + Hex(bit, 2) + ":" + Hex(bit, 2) + "` as root, `echo 1 > " + dir_ +
      "/enable`, or load/bind its driver");
  return false;
}

bool SysfsPci::OpenBarFile(std::string_view caller, int index) {
  Bar& bar = bars_[static_cast<std::size_t>(index)];
  if (bar.fd.valid()) return true;
  if (!CheckDecoding(caller, bar.io)) return false;
  const std::string path = FilePath("resource" + std::to_string(index));
  bar.fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!bar.fd.valid()) {
    const int error = errno;
    LogFileError(caller, "open", path, error);
    return false;
  }
  return true;
}

bool SysfsPci::EnsureMapped(std::string_view caller, int index) {
  Bar& bar = bars_[static_cast<std::size_t>(index)];
  if (bar.map.valid()) return true;
  // Decoding may have been switched on or off since the open: ask again.
  if (bar.fd.valid() && !CheckDecoding(caller, false)) return false;
  if (!OpenBarFile(caller, index)) return false;
  const std::string path = FilePath("resource" + std::to_string(index));
  struct stat info {};
  if (::fstat(bar.fd.get(), &info) != 0 || info.st_size <= 0) {
    Log(std::string(caller) + ": " + path +
        " has size 0: resource not mappable (the BAR has no address assigned; see `lspci -vv -s " +
        address_ + "`)");
    return false;
  }
  bar.size = static_cast<std::uint64_t>(info.st_size);
  void* address = ::mmap(nullptr, static_cast<std::size_t>(bar.size), PROT_READ | PROT_WRITE,
                         MAP_SHARED, bar.fd.get(), 0);
  if (address == MAP_FAILED) {
    const int error = errno;
    Log(std::string(caller) + ": cannot map " + path + " (" + Hex(bar.size) +
        " bytes): " + std::strerror(error) +
        "; resource not mappable. If a kernel driver has claimed this region, unbind it or boot "
        "with iomem=relaxed; under kernel lockdown (Secure Boot) PCI resources cannot be mapped");
    return false;
  }
  bar.map = Mapping(address, static_cast<std::size_t>(bar.size));
  return true;
}

std::int32_t SysfsPci::Map(void** base) {
  if (base == nullptr) {
    Log("Mmap: the address of the base variable is null");
    return -1;
  }
  *base = nullptr;
  if (!IsOpen()) {
    Log("Mmap: no device is open; InitPCIAccess must succeed first");
    return -1;
  }
  Bar& bar = bars_[0];
  if (!bar.present) {
    Log("Mmap: " + address_ + " has no BAR 0 (no " + FilePath("resource0") +
        "): resource not mappable");
    return -1;
  }
  if (bar.io) {
    Log("Mmap: BAR 0 of " + address_ + " is an I/O port range, not memory: resource not mappable");
    return -1;
  }
  if (!EnsureMapped("Mmap", 0)) return -1;
  bar.handed_out = true;
  *base = bar.map.get();
  Log("Mmap: mapped " + FilePath("resource0") + ", " + Hex(bar.map.size()) + " bytes at " +
      Hex(reinterpret_cast<std::uintptr_t>(bar.map.get())));
  return 0;
}

std::int32_t SysfsPci::Unmap(void* base) {
  Bar& bar = bars_[0];
  if (base == nullptr || !bar.handed_out || base != bar.map.get()) {
    Log("MUnmap: " + Hex(reinterpret_cast<std::uintptr_t>(base)) +
        " is not an address that Mmap returned" +
        (bar.handed_out
             ? " (Mmap returned " + Hex(reinterpret_cast<std::uintptr_t>(bar.map.get())) + ")"
             : std::string(" (nothing is mapped)")));
    return -1;
  }
  bar.map.reset();
  bar.handed_out = false;
  Log("MUnmap: unmapped resource0 of " + address_);
  return 0;
}

std::int32_t SysfsPci::ConfigAccess(void* buffer, std::int32_t count, std::int32_t offset,
                                    std::int32_t direction) {
  const std::string call = "ReadWriteConfigSpace(count " + std::to_string(count) + ", offset " +
                           Hex(static_cast<std::uint32_t>(offset)) + ", direction " +
                           std::to_string(direction) + ")";
  if (!IsOpen()) {
    Log(call + ": no device is open; InitPCIAccess must succeed first");
    return -1;
  }
  if (direction != -1 && direction != 0) {
    Log(call + ": direction must be -1 (read) or 0 (write)");
    return -1;
  }
  if (count < 0 || offset < 0 ||
      static_cast<std::int64_t>(offset) + count > static_cast<std::int64_t>(config_limit_)) {
    Log(call + ": offset " + std::to_string(offset) + " + count " + std::to_string(count) +
        " lies outside the " + std::to_string(config_limit_) + " bytes of configuration space of " +
        address_);
    return -1;
  }
  if (count == 0) return 0;
  if (buffer == nullptr) {
    Log(call + ": the buffer is null");
    return -1;
  }
  const std::string path = FilePath("config");
  if (direction == 0) {
    if (!config_writable_) {
      Log(call + ": " + path +
          " is open read-only: run q7m-uart as root to write configuration space");
      return -1;
    }
    const ssize_t done = ::pwrite(config_.get(), buffer, static_cast<std::size_t>(count), offset);
    if (done != count) {
      const int error = errno;
      if (done < 0) {
        LogFileError(call, "write", path, error);
      } else {
        Log(call + ": wrote only " + std::to_string(done) + " of " + std::to_string(count) +
            " bytes to " + path);
      }
      return -1;
    }
    return 0;
  }
  const ssize_t done = ::pread(config_.get(), buffer, static_cast<std::size_t>(count), offset);
  if (done != count) {
    const int error = errno;
    if (done < 0) {
      LogFileError(call, "read", path, error);
    } else {
      Log(call + ": read only " + std::to_string(done) + " of " + std::to_string(count) +
          " bytes from " + path +
          "; without root the kernel gives only the first 64 bytes: run q7m-uart as root");
    }
    return -1;
  }
  return 0;
}

SysfsPci::Bar* SysfsPci::CheckedBar(std::string_view caller, std::int32_t index,
                                    std::uint64_t offset, std::uint64_t length,
                                    std::uint32_t alignment) {
  if (!IsOpen()) {
    Log(std::string(caller) + ": no device is open; InitPCIAccess must succeed first");
    return nullptr;
  }
  if (index < 0 || index >= static_cast<std::int32_t>(bars_.size()) ||
      !bars_[static_cast<std::size_t>(index)].present) {
    Log(std::string(caller) + ": " + address_ + " has no BAR " + std::to_string(index) +
        " (its BARs: " + BarList() + ")");
    return nullptr;
  }
  Bar& bar = bars_[static_cast<std::size_t>(index)];
  if (offset % alignment != 0) {
    Log(std::string(caller) + ": offset " + Hex(offset) + " is not a multiple of " +
        std::to_string(alignment) + "; accesses of " + std::to_string(alignment) +
        " bytes must be aligned");
    return nullptr;
  }
  if (offset + length > bar.size) {
    Log(std::string(caller) + ": offset " + Hex(offset) + " + " + std::to_string(length) +
        " bytes lies outside BAR " + std::to_string(index) + " of " + address_ + ", which is " +
        Hex(bar.size) + " bytes");
    return nullptr;
  }
  return &bar;
}

bool SysfsPci::Access(std::string_view caller, Bar& bar, int index, std::uint32_t offset,
                      std::uint32_t width, std::uint32_t* value, bool write) {
  if (!bar.io) {
    if (!EnsureMapped(caller, index)) return false;
    // The mapping is sized by the file at mapping time, which may differ from
    // the size seen at open.
    if (static_cast<std::uint64_t>(offset) + width > bar.map.size()) {
      Log(std::string(caller) + ": offset " + Hex(offset) + " lies outside the " +
          Hex(bar.map.size()) + " mapped bytes of BAR " + std::to_string(index));
      return false;
    }
    // One volatile access of exactly this width, as the device expects.
    auto* place = static_cast<std::uint8_t*>(bar.map.get()) + offset;
    if (width == 1) {
      auto* p = reinterpret_cast<volatile std::uint8_t*>(place);
      if (write)
        *p = static_cast<std::uint8_t>(*value);
      else
        *value = *p;
    } else if (width == 2) {
      auto* p = reinterpret_cast<volatile std::uint16_t*>(place);
      if (write)
        *p = static_cast<std::uint16_t>(FromLittleEndian(*value, 2));
      else
        *value = FromLittleEndian(*p, 2);
    } else {
      auto* p = reinterpret_cast<volatile std::uint32_t*>(place);
      if (write)
        *p = FromLittleEndian(*value, 4);
      else
        *value = FromLittleEndian(*p, 4);
    }
    return true;
  }
  if (!OpenBarFile(caller, index)) return false;
  // The kernel turns one pread/pwrite of 1, 2 or 4 bytes into one in/out.
  std::uint8_t bytes[4] = {};
  const std::string path = FilePath("resource" + std::to_string(index));
  if (write) {
    for (std::uint32_t i = 0; i < width; ++i)
      bytes[i] = static_cast<std::uint8_t>(*value >> (8 * i));
  }
  const ssize_t done = write ? ::pwrite(bar.fd.get(), bytes, width, offset)
                             : ::pread(bar.fd.get(), bytes, width, offset);
  if (done != static_cast<ssize_t>(width)) {
    const int error = errno;
    if (done < 0) {
      LogFileError(caller, write ? "write" : "read", path, error);
    } else {
      Log(std::string(caller) + ": " + std::to_string(done) + " of " + std::to_string(width) +
          " bytes " + (write ? "written to " : "read from ") + path + " at offset " + Hex(offset));
    }
    return false;
  }
  if (!write) {
    *value = 0;
    for (std::uint32_t i = 0; i < width; ++i)
      *value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  }
  return true;
}

std::optional<std::uint32_t> SysfsPci::Read(std::string_view caller, std::int32_t index,
                                            std::uint32_t offset, std::uint32_t width) {
  Bar* bar = CheckedBar(caller, index, offset, width, width);
  std::uint32_t value = 0;
  if (bar == nullptr || !Access(caller, *bar, index, offset, width, &value, false)) {
    return std::nullopt;
  }
  return value;
}

bool SysfsPci::Write(std::string_view caller, std::int32_t index, std::uint32_t offset,
                     std::uint32_t width, std::uint32_t value) {
  Bar* bar = CheckedBar(caller, index, offset, width, width);
  return bar != nullptr && Access(caller, *bar, index, offset, width, &value, true);
}

bool SysfsPci::ReadBlock(std::int32_t index, std::uint32_t offset, void* buffer,
                         std::int32_t count) {
  const std::string caller = "ReadDWBuffer(count " + std::to_string(count) + ")";
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    Log(caller + ": the count must be 0 or more and the buffer not null");
    return false;
  }
  Bar* bar = CheckedBar(caller, index, offset, 4ull * static_cast<std::uint64_t>(count), 4);
  if (bar == nullptr) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint32_t value = 0;
    if (!Access(caller, *bar, index, offset + 4u * static_cast<std::uint32_t>(i), 4, &value,
                false)) {
      return false;
    }
    std::memcpy(out + 4 * i, &value, 4);
  }
  return true;
}

bool SysfsPci::WriteBlock(std::int32_t index, std::uint32_t offset, const void* buffer,
                          std::int32_t count) {
  const std::string caller = "WriteDWBuffer(count " + std::to_string(count) + ")";
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    Log(caller + ": the count must be 0 or more and the buffer not null");
    return false;
  }
  Bar* bar = CheckedBar(caller, index, offset, 4ull * static_cast<std::uint64_t>(count), 4);
  if (bar == nullptr) return false;
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint32_t value = 0;
    std::memcpy(&value, in + 4 * i, 4);
    if (!Access(caller, *bar, index, offset + 4u * static_cast<std::uint32_t>(i), 4, &value,
                true)) {
      return false;
    }
  }
  return true;
}

}  // namespace q7m::pcie_linux
