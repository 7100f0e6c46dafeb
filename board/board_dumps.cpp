#include "board/board_dumps.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "board/hex_view.h"
#include "board/pcie_library.h"
#include "config/messages.h"
#include "console/console.h"

std::string ConfigShadowDirectory;

namespace {

constexpr int kGridRow = 4;
constexpr std::uint64_t kBarDumpEnd = 0x2000;
constexpr std::uint64_t kConfigDumpEnd = 0x100;
constexpr std::int32_t kReadDirection = -1;
constexpr std::int32_t kWriteDirection = 0;

using Page = std::array<std::uint8_t, kHexPageBytes>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool BoardMapped() {
  return PcieLibraryLoaded() && BoardMemBase != nullptr;
}

// Reports a count that the buffer cannot hold; false when the copy may go on.
bool CountRefused(std::string_view who, std::int32_t count, std::size_t bufferSize) {
  if (static_cast<std::size_t>(count) <= bufferSize) return false;
  ReportError(std::string(who) + ": count " + std::to_string(count) + " exceeds the buffer of " +
              std::to_string(bufferSize) + " bytes, nothing copied");
  return true;
}

void Title(std::string_view title, std::string_view underline) {
  Locate(1, 1);
  PrintZone();
  PrintZone();
  PrintLine(title);
  PrintZone();
  PrintZone();
  PrintLine(underline);
}

bool Leaves(std::int32_t code) {
  const auto c = static_cast<std::uint8_t>(code & 0xFF);
  return c == 'Q' || c == 27;
}

}  // namespace

std::string ConfigShadowPath(std::string_view fileName) {
  const std::filesystem::path name{std::string(fileName)};
  if (name.is_absolute()) return name.string();
  if (ConfigShadowDirectory.empty()) return name.string();
  return (std::filesystem::path(ConfigShadowDirectory) / name).string();
}

bool RestoreConfigSpace() {
  if (!BoardMapped()) {
    ReportError("RestoreConfigSpace: board not open, nothing written");
    return false;
  }
  const std::size_t valid = std::min(ConfigShadowValid, ConfigShadow.size());
  // Without bytes 2 and 3 there is no device ID to compare.
  if (valid < 4) {
    ReportError("Configuration copy is empty - nothing written");
    return false;
  }
  std::uint16_t deviceId = 0;
  Pcie.ReadWriteConfigSpace(&deviceId, 2, 2, kReadDirection);
  const auto shadowId = static_cast<std::uint16_t>(ConfigShadow[2] | (ConfigShadow[3] << 8));
  if (deviceId != shadowId) {
    ReportError("Device does not match");
    return false;
  }
  Pcie.ReadWriteConfigSpace(ConfigShadow.data(), static_cast<std::int32_t>(valid), 0,
                            kWriteDirection);
  if (valid < ConfigShadow.size()) {
    ReportError("Copy holds " + std::to_string(valid) + " of 256 bytes: only those written back");
    return false;
  }
  return true;
}

bool SaveConfigShadow(std::string_view fileName) {
  if (fileName.empty()) return false;
  const std::size_t valid = std::min(ConfigShadowValid, ConfigShadow.size());
  // A file must never carry zeros that were not read as if they were.
  if (valid == 0) return false;
  const std::string path = ConfigShadowPath(fileName);
  // Read and write keeps what a longer file holds beyond the 256 bytes.
  File file(std::fopen(path.c_str(), "r+b"));
  if (!file) file.reset(std::fopen(path.c_str(), "w+b"));
  if (!file) return false;
  const bool written = std::fwrite(ConfigShadow.data(), 1, valid, file.get()) == valid;
  return std::fclose(file.release()) == 0 && written;
}

bool LoadConfigShadow(std::string_view fileName) {
  if (fileName.empty()) return false;
  const std::string path = ConfigShadowPath(fileName);
  if (std::filesystem::is_directory(path)) return false;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::array<std::uint8_t, 256> bytes{};
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
  std::copy_n(bytes.begin(), got, ConfigShadow.begin());
  // The file's bytes count as read; beyond them the copy is what it was.
  ConfigShadowValid = std::max(ConfigShadowValid, got);
  return true;
}

bool ReadBoardBytes(std::uint32_t offset, std::int32_t count, std::span<std::uint8_t> buffer) {
  if (count <= 0) return false;
  if (CountRefused("ReadBoardBytes", count, buffer.size())) return false;
  if (BoardMemBase == nullptr) {
    ReportError("ReadBoardBytes: board memory not mapped, nothing read");
    return false;
  }
  const volatile std::uint8_t* const board = BoardMemBase + offset;
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) buffer[i] = board[i];
  return true;
}

bool WriteBoardBytes(std::uint32_t offset, std::int32_t count,
                     std::span<const std::uint8_t> buffer) {
  if (count <= 0) return false;
  if (CountRefused("WriteBoardBytes", count, buffer.size())) return false;
  if (BoardMemBase == nullptr) {
    ReportError("WriteBoardBytes: board memory not mapped, nothing written");
    return false;
  }
  volatile std::uint8_t* const board = BoardMemBase + offset;
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) board[i] = buffer[i];
  return true;
}

bool BarReadBytes(std::span<std::uint8_t> buffer, std::int32_t count, std::uint32_t offset,
                  std::int32_t bar) {
  if (count <= 0) return false;
  if (CountRefused("BarReadBytes", count, buffer.size())) return false;
  if (Pcie.ReadB == nullptr) {
    ReportError("BarReadBytes: the access library has no ReadB, nothing read");
    return false;
  }
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(count); ++i) {
    buffer[i] = static_cast<std::uint8_t>(Pcie.ReadB(offset + i, bar));
  }
  return true;
}

bool BarWriteBytes(std::span<const std::uint8_t> buffer, std::int32_t count, std::uint32_t offset,
                   std::int32_t bar) {
  if (count <= 0) return false;
  if (CountRefused("BarWriteBytes", count, buffer.size())) return false;
  if (Pcie.WriteB == nullptr) {
    ReportError("BarWriteBytes: the access library has no WriteB, nothing written");
    return false;
  }
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(count); ++i) {
    Pcie.WriteB(buffer[i], offset + i, bar);
  }
  return true;
}

void BarDumpScreen() {
  if (!BoardMapped()) {
    ReportError("Bar Dump: board not open, nothing read");
    return;
  }
  if (Pcie.ReadB == nullptr) {
    ReportError("Bar Dump: the access library has no ReadB, nothing read");
    return;
  }
  HexView view{};
  view.endAddr = kBarDumpEnd;
  ClearScreen();
  Page page{};
  for (;;) {
    BarReadBytes(page, static_cast<std::int32_t>(page.size()),
                 static_cast<std::uint32_t>(view.pageAddr), 0);
    Title("Bar Dump", "--------");
    const std::int32_t code = HexViewPage(kGridRow, page, view, "");
    if (Leaves(code)) return;
    if ((code & 0xFF) == 'F') WaitKeyDiscard();
  }
}

void ConfigDumpScreen() {
  if (!BoardMapped()) {
    ReportError("Config Space Dump: board not open, nothing read");
    return;
  }
  HexView view{};
  view.endAddr = kConfigDumpEnd;
  ClearScreen();
  Page page{};
  for (;;) {
    Title("Config Space Dump", "-----------------");
    Pcie.ReadWriteConfigSpace(page.data(), static_cast<std::int32_t>(page.size()), 0,
                              kReadDirection);
    if (Leaves(HexViewPage(kGridRow, page, view, ""))) return;
  }
}
