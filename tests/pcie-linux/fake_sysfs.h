#pragma once
// A fake sysfs PCI tree of ordinary files in a temporary folder, laid out as
// /sys/bus/pci/devices is: one folder per device named by bus address.

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

struct FakeDevice {
  std::string address;  // e.g. "0000:03:00.0"
  std::uint16_t vendor = 0;
  std::uint16_t device = 0;
  std::uint16_t command = 0x0007;  // I/O, memory and bus mastering on
  std::size_t config_size = 256;
  std::map<int, std::size_t> bars;  // BAR number -> resource file size
  std::map<int, bool> io_bars;      // BARs listed as I/O ports in `resource`
  bool resource_table = true;
};

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Distinct contents per device and BAR, so a read from the wrong file shows.
inline std::string Pattern(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 7 + seed * 31 + (i >> 8) * 3) & 0xFF);
  }
  return bytes;
}

inline std::uint32_t Seed(const std::string& address, int bar) {
  std::uint32_t seed = static_cast<std::uint32_t>(bar) * 17;
  for (const char c : address) seed = seed * 5 + static_cast<unsigned char>(c);
  return seed;
}

inline std::filesystem::path AddFakeDevice(const std::filesystem::path& root,
                                           const FakeDevice& dev) {
  const std::filesystem::path dir = root / dev.address;
  std::filesystem::create_directories(dir);
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x\n", dev.vendor);
  WriteBytes(dir / "vendor", text);
  std::snprintf(text, sizeof text, "0x%04x\n", dev.device);
  WriteBytes(dir / "device", text);

  std::string config = Pattern(dev.config_size, Seed(dev.address, -1));
  const auto put16 = [&](std::size_t at, std::uint16_t v) {
    if (at + 1 < config.size()) {
      config[at] = static_cast<char>(v & 0xFF);
      config[at + 1] = static_cast<char>(v >> 8);
    }
  };
  put16(0, dev.vendor);
  put16(2, dev.device);
  put16(4, dev.command);
  WriteBytes(dir / "config", config);

  std::string table;
  for (int bar = 0; bar < 13; ++bar) {
    const auto it = dev.bars.find(bar);
    const bool io = dev.io_bars.count(bar) != 0 && dev.io_bars.at(bar);
    if (it != dev.bars.end()) {
      WriteBytes(dir / ("resource" + std::to_string(bar)),
                 Pattern(it->second, Seed(dev.address, bar)));
      const std::uint64_t start = 0xf0000000ull + static_cast<std::uint64_t>(bar) * 0x100000;
      char line[96];
      std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n",
                    static_cast<unsigned long long>(start),
                    static_cast<unsigned long long>(start + it->second - 1),
                    io ? 0x101ull : 0x40200ull);
      table += line;
    } else {
      table += "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    }
  }
  if (dev.resource_table) WriteBytes(dir / "resource", table);
  return dir;
}
