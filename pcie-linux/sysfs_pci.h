#pragma once
// One PCI device reached through the kernel's sysfs files: the device logic of
// the sysfs access library, kept apart from its C entry points.
//
// A device folder holds `vendor` and `device` (text such as "0x1172\n"),
// `config` (binary configuration space, 256 or 4096 bytes), `resource0` to
// `resource5` (one file per BAR that the device has, sized as the BAR) and
// `resource` (a text table of start, end and flags per BAR). Memory BAR files
// can only be mapped; I/O BAR files are read and written with pread/pwrite
// one access of 1, 2 or 4 bytes at a time. Every failure writes its reason to
// the log through the sink given at construction.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "pcie-linux/unique_fd.h"

namespace q7m::pcie_linux {

inline constexpr const char* kDefaultSysfsRoot = "/sys/bus/pci/devices";
inline constexpr const char* kSysfsRootVariable = "Q7M_PCI_SYSFS_ROOT";

// Results of Open; any value other than kOk is a failure.
enum OpenResult : std::int32_t {
  kOk = 0,
  kBadArguments = -1,
  kNoSysfsRoot = -2,
  kNoSuchDevice = -3,
  kIndexBeyondMatches = -4,
  kConfigNotOpened = -5,
  kBoardInUse = -6,  // another process holds the board's lock
};

class SysfsPci {
 public:
  using LogSink = std::function<void(std::string_view)>;

  explicit SysfsPci(LogSink log) : log_(std::move(log)) {}
  SysfsPci(const SysfsPci&) = delete;
  SysfsPci& operator=(const SysfsPci&) = delete;

  // Opens the index-th device (0 the first, in bus-address order) whose IDs
  // match, under the sysfs root (the environment variable, else the default),
  // or the one Q7M_PCI_DEVICE names, and locks it for this process until
  // Close. An open device is closed first.
  std::int32_t Open(std::int32_t vendor, std::int32_t device, std::int32_t index);
  // Unmaps and closes everything; harmless when nothing is open.
  void Close();
  bool IsOpen() const { return config_.valid(); }

  // Maps BAR 0 whole and hands out its address; 0 on success.
  std::int32_t Map(void** base);
  // Unmaps a base that Map handed out; 0 on success.
  std::int32_t Unmap(void* base);

  // direction -1 reads configuration space into buffer, 0 writes it; 0 on
  // success.
  std::int32_t ConfigAccess(void* buffer, std::int32_t count, std::int32_t offset,
                            std::int32_t direction);

  // One access of width 1, 2 or 4 bytes, little-endian, at a naturally
  // aligned offset of a BAR.
  std::optional<std::uint32_t> Read(std::string_view caller, std::int32_t bar, std::uint32_t offset,
                                    std::uint32_t width);
  bool Write(std::string_view caller, std::int32_t bar, std::uint32_t offset, std::uint32_t width,
             std::uint32_t value);
  // count dwords from or to a buffer, one dword access each.
  bool ReadBlock(std::int32_t bar, std::uint32_t offset, void* buffer, std::int32_t count);
  bool WriteBlock(std::int32_t bar, std::uint32_t offset, const void* buffer, std::int32_t count);

  void Log(std::string_view text) const { log_(text); }
  const std::string& address() const { return address_; }

 private:
  struct Bar {
    bool present = false;
    bool io = false;  // I/O port BAR: pread/pwrite instead of a mapping
    std::uint64_t size = 0;
    UniqueFd fd;
    Mapping map;
    bool handed_out = false;  // the mapping's address was given to Map's caller
  };

  std::string FilePath(std::string_view name) const { return dir_ + "/" + std::string(name); }
  std::optional<std::uint16_t> ReadCommand() const;
  bool CheckDecoding(std::string_view caller, bool io) const;
  bool OpenBarFile(std::string_view caller, int bar);
  bool EnsureMapped(std::string_view caller, int bar);
  // The BAR when it exists, the device is open and [offset, offset+length)
  // lies inside it with the given alignment; logs why not otherwise.
  Bar* CheckedBar(std::string_view caller, std::int32_t bar, std::uint64_t offset,
                  std::uint64_t length, std::uint32_t alignment);
  bool Access(std::string_view caller, Bar& bar, int index, std::uint32_t offset,
              std::uint32_t width, std::uint32_t* value, bool write);
  std::string BarList() const;
  void LogFileError(std::string_view caller, std::string_view what, const std::string& path,
                    int error) const;

  LogSink log_;
  std::string dir_;      // the device folder
  std::string address_;  // its bus address, e.g. 0000:03:00.0
  UniqueFd config_;
  bool config_writable_ = false;
  std::uint32_t config_limit_ = 256;
  std::array<Bar, 6> bars_;
};

}  // namespace q7m::pcie_linux
