// The sysfs access library, loaded by absolute path as the program loads it,
// on fake sysfs trees of ordinary files.

#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "tests/pcie-linux/fake_sysfs.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kVendor = 0x1172;
constexpr std::uint16_t kDevice = 0x5680;
constexpr std::size_t kBar0Size = 0x20000;  // covers the window and set-up block
constexpr std::size_t kBar2Size = 0x100;

struct Api {
  void* handle = nullptr;
  int32_t (*InitPCIAccess)(int32_t, int32_t, int32_t) = nullptr;
  int32_t (*Close)() = nullptr;
  int32_t (*ReadDW)(uint32_t, int32_t) = nullptr;
  int32_t (*WriteDW)(uint32_t, uint32_t, int32_t) = nullptr;
  int32_t (*ReadW)(uint32_t, int32_t) = nullptr;
  int32_t (*WriteW)(uint32_t, uint32_t, int32_t) = nullptr;
  int32_t (*ReadB)(uint32_t, int32_t) = nullptr;
  int32_t (*WriteB)(uint32_t, uint32_t, int32_t) = nullptr;
  int32_t (*ReadDWBuffer)(void*, int32_t, uint32_t, int32_t) = nullptr;
  int32_t (*WriteDWBuffer)(const void*, int32_t, uint32_t, int32_t) = nullptr;
  int32_t (*AllocateMemory)(void**, int32_t) = nullptr;
  int32_t (*ReleaseMemory)(void*) = nullptr;
  int32_t (*ReadWriteConfigSpace)(void*, int32_t, int32_t, int32_t) = nullptr;
  int32_t (*Mmap)(void**, int32_t, int32_t) = nullptr;
  int32_t (*MUnmap)(void*) = nullptr;
};

template <typename F>
void Bind(void* handle, F*& slot, const char* name) {
  slot = reinterpret_cast<F*>(dlsym(handle, name));
}

const Api& Lib() {
  static const Api api = [] {
    Api a;
    a.handle = dlopen(Q7M_SYSFS_LIB, RTLD_NOW | RTLD_LOCAL);
    if (a.handle == nullptr) return a;
    Bind(a.handle, a.InitPCIAccess, "InitPCIAccess");
    Bind(a.handle, a.Close, "Close");
    Bind(a.handle, a.ReadDW, "ReadDW");
    Bind(a.handle, a.WriteDW, "WriteDW");
    Bind(a.handle, a.ReadW, "ReadW");
    Bind(a.handle, a.WriteW, "WriteW");
    Bind(a.handle, a.ReadB, "ReadB");
    Bind(a.handle, a.WriteB, "WriteB");
    Bind(a.handle, a.ReadDWBuffer, "ReadDWBuffer");
    Bind(a.handle, a.WriteDWBuffer, "WriteDWBuffer");
    Bind(a.handle, a.AllocateMemory, "AllocateMemory");
    Bind(a.handle, a.ReleaseMemory, "ReleaseMemory");
    Bind(a.handle, a.ReadWriteConfigSpace, "ReadWriteConfigSpace");
    Bind(a.handle, a.Mmap, "Mmap");
    Bind(a.handle, a.MUnmap, "MUnmap");
    return a;
  }();
  return api;
}

std::size_t OpenFdCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::uint8_t Byte(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint8_t>(bytes.at(at));
}

// "2024-05-01 12:34:56.789 [pid] " at the start of the text. (std::regex
// trips a false warning of g++ 12 under the sanitizers.)
bool LooksTimestamped(const std::string& text) {
  const std::string shape = "0000-00-00 00:00:00.000 [";
  if (text.size() < shape.size() + 2) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == '0' ? !digit : text[i] != shape[i]) return false;
  }
  std::size_t i = shape.size();
  const std::size_t first = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  return i > first && text.compare(i, 2, "] ") == 0;
}

class SysfsLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Lib().handle, nullptr) << dlerror();
    ASSERT_NE(Lib().InitPCIAccess, nullptr);
    ASSERT_NE(Lib().MUnmap, nullptr);
    char pattern[] = "/tmp/q7m-sysfs-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    temp_ = pattern;
    // Readable for the unprivileged child of the permission test.
    fs::permissions(temp_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    root_ = temp_ / "devices";
    log_dir_ = temp_ / "log";
    fs::create_directories(root_);
    fs::create_directories(log_dir_);
    setenv("Q7M_PCI_SYSFS_ROOT", root_.c_str(), 1);
    setenv("Q7M_PCI_LOG_DIR", log_dir_.c_str(), 1);
  }

  void TearDown() override {
    if (Lib().Close != nullptr) Lib().Close();
    unsetenv("Q7M_PCI_SYSFS_ROOT");
    unsetenv("Q7M_PCI_LOG_DIR");
    unsetenv("Q7M_PCI_DEVICE");
    std::error_code ignored;
    fs::remove_all(temp_, ignored);
  }

  // The log lines written since the previous call.
  std::string NewLog() {
    const std::string all = ReadBytes(log_dir_ / "PCIAccessDll.log");
    std::string fresh = all.size() > log_seen_ ? all.substr(log_seen_) : std::string();
    log_seen_ = all.size();
    return fresh;
  }

  fs::path AddBoard(const std::string& address = "0000:03:00.0", std::uint16_t command = 0x0007) {
    FakeDevice board{address, kVendor, kDevice, command, 256, {{0, kBar0Size}, {2, kBar2Size}},
                     {},      true};
    return AddFakeDevice(root_, board);
  }
  void AddOthers() {
    AddFakeDevice(root_,
                  FakeDevice{"0000:00:00.0", 0x8086, 0x1237, 7, 256, {{0, 0x1000}}, {}, true});
    AddFakeDevice(root_,
                  FakeDevice{"0000:02:00.0", 0x10ec, 0x8168, 7, 4096, {{2, 0x1000}}, {}, true});
  }
  void OpenBoard() {
    ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0) << NewLog();
    NewLog();
  }

  fs::path temp_, root_, log_dir_;
  std::size_t log_seen_ = 0;
};

// ---- Finding the board --------------------------------------------------

using SysfsOpen = SysfsLibrary;

TEST_F(SysfsOpen, FindsTheBoardAmongSeveralByIdsAndByIndexInBusOrder) {
  // The second board is created first so that directory order is not bus order.
  AddBoard("0000:05:00.0");
  AddOthers();
  AddBoard("0000:03:00.0");
  const std::string first = ReadBytes(root_ / "0000:03:00.0" / "config");
  const std::string second = ReadBytes(root_ / "0000:05:00.0" / "config");
  ASSERT_NE(first, second);

  std::string buffer(256, '\0');
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  EXPECT_NE(NewLog().find("opened 0000:03:00.0 (1172:5680, match 0 of 2)"), std::string::npos);
  ASSERT_EQ(Lib().ReadWriteConfigSpace(buffer.data(), 256, 0, -1), 0);
  EXPECT_EQ(buffer, first);

  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 1), 0);
  EXPECT_NE(NewLog().find("opened 0000:05:00.0"), std::string::npos);
  ASSERT_EQ(Lib().ReadWriteConfigSpace(buffer.data(), 256, 0, -1), 0);
  EXPECT_EQ(buffer, second);

  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 2), 0);
  const std::string log = NewLog();
  EXPECT_NE(log.find("2 device(s) with vendor 0x1172 device 0x5680 (0000:03:00.0, 0000:05:00.0) "
                     "but index 2 was asked for"),
            std::string::npos)
      << log;
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, -1), 0);
  EXPECT_NE(NewLog().find("index must be 0 or more (got -1)"), std::string::npos);
}

TEST_F(SysfsOpen, NoBoardIsLoggedWithTheDevicesThatWereSeen) {
  AddOthers();
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  const std::string log = NewLog();
  EXPECT_NE(log.find("no PCI device with vendor 0x1172 device 0x5680 under " + root_.string()),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("2 devices seen: 0000:00:00.0 8086:1237, 0000:02:00.0 10ec:8168"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("lspci -d 1172:5680"), std::string::npos);
  // Nothing is open after a failed search.
  EXPECT_EQ(Lib().ReadB(0, 0), -1);
  EXPECT_NE(NewLog().find("no device is open"), std::string::npos);
}

TEST_F(SysfsOpen, MissingRootAndUnreadableConfigAreRefused) {
  setenv("Q7M_PCI_SYSFS_ROOT", (temp_ / "nowhere").c_str(), 1);
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  EXPECT_NE(NewLog().find("cannot list " + (temp_ / "nowhere").string()), std::string::npos);

  setenv("Q7M_PCI_SYSFS_ROOT", root_.c_str(), 1);
  const fs::path dir = AddBoard();
  fs::remove(dir / "config");
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  EXPECT_NE(NewLog().find((dir / "config").string() + " does not exist"), std::string::npos);
}

// ---- Configuration space ------------------------------------------------

using SysfsConfig = SysfsLibrary;

TEST_F(SysfsConfig, ReadsAndWritesLandInTheConfigFile) {
  const fs::path dir = AddBoard();
  OpenBoard();
  const std::string before = ReadBytes(dir / "config");
  std::string buffer(256, '\0');
  ASSERT_EQ(Lib().ReadWriteConfigSpace(buffer.data(), 256, 0, -1), 0);
  EXPECT_EQ(buffer, before);

  std::string id(2, '\0');
  ASSERT_EQ(Lib().ReadWriteConfigSpace(id.data(), 2, 2, -1), 0);
  EXPECT_EQ(Byte(id, 0) | (Byte(id, 1) << 8), kDevice);

  const std::string written = "\x11\x22\x33\x44\x55\x66\x77\x88";
  ASSERT_EQ(Lib().ReadWriteConfigSpace(const_cast<char*>(written.data()), 8, 0x40, 0), 0);
  std::string expected = before;
  expected.replace(0x40, 8, written);
  EXPECT_EQ(ReadBytes(dir / "config"), expected);
}

TEST_F(SysfsConfig, CountsOffsetsAndDirectionsOutsideTheSpaceAreRefused) {
  const fs::path dir = AddBoard();
  OpenBoard();
  const std::string before = ReadBytes(dir / "config");
  std::string buffer(512, '\x5A');

  EXPECT_NE(Lib().ReadWriteConfigSpace(buffer.data(), 8, 250, 0), 0);
  EXPECT_NE(NewLog().find("offset 250 + count 8 lies outside the 256 bytes"), std::string::npos);
  EXPECT_NE(Lib().ReadWriteConfigSpace(buffer.data(), 257, 0, -1), 0);
  EXPECT_NE(NewLog().find("offset 0 + count 257"), std::string::npos);
  EXPECT_NE(Lib().ReadWriteConfigSpace(buffer.data(), -1, 0, -1), 0);
  EXPECT_NE(NewLog().find("count -1"), std::string::npos);
  EXPECT_NE(Lib().ReadWriteConfigSpace(buffer.data(), 4, -4, -1), 0);
  EXPECT_NE(NewLog().find("offset -4"), std::string::npos);
  EXPECT_NE(Lib().ReadWriteConfigSpace(buffer.data(), 4, 0, 1), 0);
  EXPECT_NE(NewLog().find("direction must be -1 (read) or 0 (write)"), std::string::npos);
  EXPECT_EQ(ReadBytes(dir / "config"), before);
  // The last byte is inside.
  EXPECT_EQ(Lib().ReadWriteConfigSpace(buffer.data(), 1, 255, -1), 0);
  EXPECT_EQ(Byte(buffer, 0), Byte(before, 255));
}

TEST_F(SysfsConfig, ExtendedSpaceAndShortReadsFollowTheFile) {
  AddFakeDevice(root_,
                FakeDevice{"0000:03:00.0", kVendor, kDevice, 7, 4096, {{0, kBar0Size}}, {}, true});
  AddFakeDevice(root_,
                FakeDevice{"0000:04:00.0", kVendor, kDevice, 7, 64, {{0, kBar0Size}}, {}, true});
  OpenBoard();
  const std::string extended = ReadBytes(root_ / "0000:03:00.0" / "config");
  std::string buffer(16, '\0');
  ASSERT_EQ(Lib().ReadWriteConfigSpace(buffer.data(), 16, 0x100, -1), 0);
  EXPECT_EQ(buffer, extended.substr(0x100, 16));
  EXPECT_NE(Lib().ReadWriteConfigSpace(buffer.data(), 8, 4090, -1), 0);
  EXPECT_NE(NewLog().find("outside the 4096 bytes"), std::string::npos);

  // A config file that ends early, as unprivileged readers see it.
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 1), 0);
  NewLog();
  std::string whole(256, '\0');
  EXPECT_NE(Lib().ReadWriteConfigSpace(whole.data(), 256, 0, -1), 0);
  const std::string log = NewLog();
  EXPECT_NE(log.find("read only 64 of 256 bytes"), std::string::npos) << log;
  EXPECT_NE(log.find("run q7m-uart as root"), std::string::npos);
}

// ---- Mapping BAR 0 ------------------------------------------------------

using SysfsMmap = SysfsLibrary;

TEST_F(SysfsMmap, MappingShowsTheFileAndWritesReachIt) {
  const fs::path dir = AddBoard();
  OpenBoard();
  const std::string before = ReadBytes(dir / "resource0");
  void* base = nullptr;
  ASSERT_EQ(Lib().Mmap(&base, 0, 0), 0) << NewLog();
  ASSERT_NE(base, nullptr);
  auto* bytes = static_cast<volatile std::uint8_t*>(base);
  EXPECT_EQ(bytes[0], Byte(before, 0));
  EXPECT_EQ(bytes[0x1B352], Byte(before, 0x1B352));
  EXPECT_EQ(bytes[kBar0Size - 1], Byte(before, kBar0Size - 1));

  // The set-up block writes of start-up.
  const std::uint8_t block[4] = {0x04, 0x15, 0x17, 0x99};
  for (int i = 0; i < 4; ++i) bytes[0x1C000 + i] = block[i];
  const std::string after = ReadBytes(dir / "resource0");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Byte(after, 0x1C000 + i), block[i]) << i;
  EXPECT_EQ(after.substr(0, 0x1C000), before.substr(0, 0x1C000));
  // ReadB on BAR 0 sees the same bytes.
  EXPECT_EQ(Lib().ReadB(0x1C001, 0), 0x15);

  // A second Mmap hands out the same mapping.
  void* again = nullptr;
  EXPECT_EQ(Lib().Mmap(&again, 0, 0), 0);
  EXPECT_EQ(again, base);

  EXPECT_EQ(Lib().MUnmap(base), 0);
  EXPECT_NE(Lib().MUnmap(base), 0);
  EXPECT_NE(NewLog().find("is not an address that Mmap returned (nothing is mapped)"),
            std::string::npos);
  // Byte access still works after the unmap.
  EXPECT_EQ(Lib().ReadB(0x1C002, 0), 0x17);
}

TEST_F(SysfsMmap, MemoryDecodingOffIsLoggedAndRefusesTheMapping) {
  AddBoard("0000:03:00.0", 0x0004);  // bus mastering only
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  std::string log = NewLog();
  EXPECT_NE(log.find("memory decoding is off on 0000:03:00.0 (command register 0x0004"),
            std::string::npos)
      << log;
  void* base = reinterpret_cast<void*>(0x1);
  EXPECT_NE(Lib().Mmap(&base, 0, 0), 0);
  EXPECT_EQ(base, nullptr);
  log = NewLog();
  EXPECT_NE(log.find("Mmap: memory decoding is off"), std::string::npos) << log;
  EXPECT_NE(log.find("setpci -s 0000:03:00.0 COMMAND=0x02:0x02"), std::string::npos) << log;
  EXPECT_EQ(Lib().ReadB(0, 0), -1);
  EXPECT_NE(NewLog().find("ReadB: memory decoding is off"), std::string::npos);
}

TEST_F(SysfsMmap, ResourcesThatCannotBeMappedAreRefused) {
  AddFakeDevice(root_, FakeDevice{"0000:03:00.0", kVendor, kDevice, 7, 256, {{0, 0}}, {}, true});
  AddFakeDevice(root_,
                FakeDevice{"0000:04:00.0", kVendor, kDevice, 7, 256, {{2, 0x100}}, {}, true});
  AddFakeDevice(
      root_, FakeDevice{"0000:05:00.0", kVendor, kDevice, 7, 256, {{0, 0x100}}, {{0, true}}, true});
  void* base = nullptr;

  OpenBoard();
  EXPECT_NE(Lib().Mmap(&base, 0, 0), 0);
  EXPECT_NE(NewLog().find("resource0 has size 0: resource not mappable"), std::string::npos);

  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 1), 0);
  NewLog();
  EXPECT_NE(Lib().Mmap(&base, 0, 0), 0);
  EXPECT_NE(NewLog().find("has no BAR 0"), std::string::npos);

  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 2), 0);
  NewLog();
  EXPECT_NE(Lib().Mmap(&base, 0, 0), 0);
  EXPECT_NE(NewLog().find("I/O port range, not memory"), std::string::npos);

  EXPECT_NE(Lib().Mmap(&base, 1, 0), 0);
  EXPECT_NE(NewLog().find("must be 0"), std::string::npos);
  Lib().Close();
  EXPECT_NE(Lib().Mmap(&base, 0, 0), 0);
  EXPECT_NE(NewLog().find("Mmap: no device is open"), std::string::npos);
  EXPECT_EQ(base, nullptr);
}

// ---- BAR accesses -------------------------------------------------------

using SysfsBars = SysfsLibrary;

TEST_F(SysfsBars, ByteAccessesReachTheRightResourceFile) {
  const fs::path dir = AddBoard();
  OpenBoard();
  const std::string bar0 = ReadBytes(dir / "resource0");
  const std::string bar2 = ReadBytes(dir / "resource2");
  ASSERT_NE(bar0.substr(0, kBar2Size), bar2);
  for (const std::uint32_t offset : {0x00u, 0x10u, 0x7Fu, 0xFFu}) {
    EXPECT_EQ(Lib().ReadB(offset, 0), Byte(bar0, offset)) << offset;
    EXPECT_EQ(Lib().ReadB(offset, 2), Byte(bar2, offset)) << offset;
  }
  EXPECT_EQ(Lib().WriteB(0xA5, 0x10, 2), 0);
  EXPECT_EQ(Lib().WriteB(0x1C3, 0x11, 2), 0);  // only the low byte is written
  EXPECT_EQ(Lib().WriteB(0x5A, 0x1B352, 0), 0);
  const std::string bar0_after = ReadBytes(dir / "resource0");
  const std::string bar2_after = ReadBytes(dir / "resource2");
  EXPECT_EQ(Byte(bar2_after, 0x10), 0xA5);
  EXPECT_EQ(Byte(bar2_after, 0x11), 0xC3);
  EXPECT_EQ(Byte(bar0_after, 0x10), Byte(bar0, 0x10));
  EXPECT_EQ(Byte(bar0_after, 0x1B352), 0x5A);
  EXPECT_EQ(bar2_after.size(), kBar2Size);
}

TEST_F(SysfsBars, WordAndDwordAccessesAreLittleEndian) {
  const fs::path dir = AddBoard();
  OpenBoard();
  const std::string bar2 = ReadBytes(dir / "resource2");
  EXPECT_EQ(Lib().ReadW(0x20, 2), Byte(bar2, 0x20) | (Byte(bar2, 0x21) << 8));
  const std::uint32_t dword = Byte(bar2, 0x40) | (Byte(bar2, 0x41) << 8) |
                              (Byte(bar2, 0x42) << 16) |
                              (static_cast<std::uint32_t>(Byte(bar2, 0x43)) << 24);
  EXPECT_EQ(static_cast<std::uint32_t>(Lib().ReadDW(0x40, 2)), dword);

  EXPECT_EQ(Lib().WriteDW(0x12345678, 0x80, 0), 0);
  EXPECT_EQ(Lib().WriteW(0xBEEF, 0x84, 0), 0);
  const std::string bar0 = ReadBytes(dir / "resource0");
  EXPECT_EQ(bar0.substr(0x80, 6), std::string("\x78\x56\x34\x12\xEF\xBE", 6));

  const std::uint32_t block[3] = {0x11223344u, 0xAABBCCDDu, 0x01020304u};
  EXPECT_EQ(Lib().WriteDWBuffer(block, 3, 0x100, 0), 0);
  EXPECT_EQ(ReadBytes(dir / "resource0").substr(0x100, 12),
            std::string("\x44\x33\x22\x11\xDD\xCC\xBB\xAA\x04\x03\x02\x01", 12));
  std::uint32_t back[3] = {};
  EXPECT_EQ(Lib().ReadDWBuffer(back, 3, 0x100, 0), 0);
  EXPECT_EQ(back[0], block[0]);
  EXPECT_EQ(back[1], block[1]);
  EXPECT_EQ(back[2], block[2]);
}

TEST_F(SysfsBars, OutOfRangeMisalignedAndMissingBarsAreRefused) {
  const fs::path dir = AddBoard();
  OpenBoard();
  const std::string bar2 = ReadBytes(dir / "resource2");

  EXPECT_EQ(Lib().ReadB(kBar2Size, 2), -1);
  EXPECT_NE(NewLog().find("ReadB: offset 0x100 + 1 bytes lies outside BAR 2 of 0000:03:00.0, "
                          "which is 0x100 bytes"),
            std::string::npos);
  EXPECT_NE(Lib().WriteB(1, kBar2Size, 2), 0);
  EXPECT_NE(NewLog().find("WriteB: offset 0x100"), std::string::npos);
  EXPECT_EQ(Lib().ReadB(kBar0Size, 0), -1);
  EXPECT_NE(NewLog().find("which is 0x20000 bytes"), std::string::npos);
  EXPECT_EQ(Lib().ReadDW(kBar2Size - 2, 2), -1);
  EXPECT_NE(NewLog().find("not a multiple of 4"), std::string::npos);
  EXPECT_NE(Lib().WriteDW(0, kBar2Size - 4 + 4, 2), 0);
  EXPECT_NE(NewLog().find("lies outside BAR 2"), std::string::npos);
  EXPECT_EQ(Lib().ReadW(0x11, 2), -1);
  EXPECT_NE(NewLog().find("not a multiple of 2"), std::string::npos);

  std::uint32_t buffer[8] = {};
  EXPECT_NE(Lib().WriteDWBuffer(buffer, 8, kBar2Size - 16, 2), 0);
  EXPECT_NE(NewLog().find("+ 32 bytes lies outside BAR 2"), std::string::npos);
  EXPECT_NE(Lib().ReadDWBuffer(buffer, -1, 0, 2), 0);
  EXPECT_NE(NewLog().find("count must be 0 or more"), std::string::npos);

  for (const int bar : {1, 3, 6, -1}) {
    EXPECT_EQ(Lib().ReadB(0, bar), -1) << bar;
    EXPECT_NE(NewLog().find("has no BAR " + std::to_string(bar) +
                            " (its BARs: 0 mem 0x20000 bytes, "
                            "2 mem 0x100 bytes)"),
              std::string::npos)
        << bar;
  }
  // Nothing refused reached the file.
  EXPECT_EQ(ReadBytes(dir / "resource2"), bar2);
}

TEST_F(SysfsBars, IoPortBarsUseOneFileAccessAndTheirOwnDecodingBit) {
  // Memory decoding on, I/O decoding off: only the I/O BAR is refused.
  const fs::path dir = AddFakeDevice(root_, FakeDevice{"0000:03:00.0",
                                                       kVendor,
                                                       kDevice,
                                                       0x0002,
                                                       256,
                                                       {{0, kBar0Size}, {2, kBar2Size}},
                                                       {{2, true}},
                                                       true});
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  EXPECT_NE(NewLog().find("BARs: 0 mem 0x20000 bytes, 2 io 0x100 bytes"), std::string::npos);
  const std::string bar2 = ReadBytes(dir / "resource2");
  EXPECT_EQ(Lib().ReadB(0x10, 2), -1);
  std::string log = NewLog();
  EXPECT_NE(log.find("I/O decoding is off"), std::string::npos) << log;
  EXPECT_NE(log.find("COMMAND=0x01:0x01"), std::string::npos) << log;
  EXPECT_EQ(Lib().ReadB(0x10, 0), Byte(ReadBytes(dir / "resource0"), 0x10));

  // Once I/O decoding is on, the accesses go to the file.
  std::string config = ReadBytes(dir / "config");
  config[4] = 0x03;
  WriteBytes(dir / "config", config);
  EXPECT_EQ(Lib().ReadB(0x10, 2), Byte(bar2, 0x10));
  EXPECT_EQ(Lib().WriteW(0x1234, 0x20, 2), 0);
  EXPECT_EQ(Lib().ReadW(0x20, 2), 0x1234);
  EXPECT_EQ(ReadBytes(dir / "resource2").substr(0x20, 2), std::string("\x34\x12"));
}

// ---- Failures, the log and the life cycle -------------------------------

using SysfsFailures = SysfsLibrary;

// Real sysfs: config is readable by everyone, resource0 only by root. An
// unprivileged user opens read-only and cannot map.
TEST_F(SysfsFailures, PermissionDeniedNamesTheFilesToGrant) {
  const fs::path dir = AddBoard();
  fs::permissions(dir / "config", fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir / "resource0", fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(log_dir_, fs::perms::all);

  const auto run = []() -> int {
    if (Lib().InitPCIAccess(kVendor, kDevice, 0) != 0) return 10;
    char byte = 0;
    if (Lib().ReadWriteConfigSpace(&byte, 1, 0, 0) == 0) return 11;
    void* base = nullptr;
    if (Lib().Mmap(&base, 0, 0) == 0) return 12;
    if (base != nullptr) return 13;
    Lib().Close();
    return 0;
  };

  int result;
  if (geteuid() != 0) {
    result = run();
  } else {
    // Root ignores file modes; a child that gives up root meets them.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
      _exit(run());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    result = WEXITSTATUS(status);
    if (result == 77) GTEST_SKIP() << "cannot drop root privileges here to meet a denied file";
  }
  EXPECT_EQ(result, 0)
      << "10 open failed, 11 write to read-only config accepted, 12 mapped, 13 base set";
  const std::string log = NewLog();
  EXPECT_NE(log.find((dir / "config").string() + " opened read-only"), std::string::npos) << log;
  EXPECT_NE(log.find("run q7m-uart as root to write configuration space"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Mmap: permission denied to open " + (dir / "resource0").string() +
                     ": run q7m-uart as root, or grant the user read-write access to " +
                     dir.string() + "/resource0 and " + dir.string() + "/config"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("udev rule"), std::string::npos);
}

TEST_F(SysfsFailures, AResourceThatCannotBeOpenedIsLoggedWithItsReason) {
  const fs::path dir = AddBoard();
  fs::remove(dir / "resource2");
  fs::create_directory(dir / "resource2");  // present, but not a file
  OpenBoard();
  EXPECT_EQ(Lib().ReadB(0, 2), -1);
  const std::string log = NewLog();
  EXPECT_NE(log.find("ReadB: cannot open " + (dir / "resource2").string() + ": Is a directory"),
            std::string::npos)
      << log;
}

TEST_F(SysfsFailures, DmaMemoryIsNotOffered) {
  AddBoard();
  OpenBoard();
  int sentinel = 0;
  void* address = &sentinel;
  EXPECT_NE(Lib().AllocateMemory(&address, 4096), 0);
  EXPECT_EQ(address, nullptr);
  EXPECT_NE(NewLog().find("AllocateMemory(4096): DMA memory is not offered through sysfs"),
            std::string::npos);
  EXPECT_NE(Lib().ReleaseMemory(&sentinel), 0);
  EXPECT_NE(NewLog().find("ReleaseMemory: DMA memory is not offered"), std::string::npos);
}

TEST_F(SysfsFailures, CloseReleasesEverythingAndIsSafeTwiceAndBeforeOpen) {
  const fs::path dir = AddBoard();
  EXPECT_EQ(Lib().Close(), 0);
  const std::size_t fds = OpenFdCount();

  OpenBoard();
  void* base = nullptr;
  ASSERT_EQ(Lib().Mmap(&base, 0, 0), 0);
  EXPECT_EQ(Lib().ReadB(0, 2), Byte(ReadBytes(dir / "resource2"), 0));
  EXPECT_GT(OpenFdCount(), fds);
  const std::string maps_open = ReadBytes("/proc/self/maps");
  EXPECT_NE(maps_open.find((dir / "resource0").string()), std::string::npos);

  EXPECT_EQ(Lib().Close(), 0);
  EXPECT_EQ(Lib().Close(), 0);
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_EQ(ReadBytes("/proc/self/maps").find((dir / "resource0").string()), std::string::npos);
  EXPECT_NE(NewLog().find("Close: closed 0000:03:00.0"), std::string::npos);
  EXPECT_EQ(Lib().ReadB(0, 0), -1);
  EXPECT_NE(NewLog().find("ReadB: no device is open"), std::string::npos);

  // It opens and maps again after a close.
  OpenBoard();
  ASSERT_EQ(Lib().Mmap(&base, 0, 0), 0);
  EXPECT_EQ(static_cast<volatile std::uint8_t*>(base)[5], Byte(ReadBytes(dir / "resource0"), 5));
}

// ---- One program per board, several boards ------------------------------

// Another program with the library: a child process that opens a board
// (Q7M_PCI_DEVICE as given, or unset) under a command name of its own and
// holds it until it is told to end, or is killed.
class Holder {
 public:
  Holder(const char* command, const char* device) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_NAME, command);
      if (device != nullptr) {
        setenv("Q7M_PCI_DEVICE", device, 1);
      } else {
        unsetenv("Q7M_PCI_DEVICE");
      }
      const char opened = Lib().InitPCIAccess(kVendor, kDevice, 0) == 0 ? 'y' : 'n';
      (void)!write(up[1], &opened, 1);
      char how = 0;
      (void)!read(down[0], &how, 1);
      if (how == 'c') Lib().Close();
      _exit(0);  // without Close otherwise: the end of the process must release the board
    }
    close(up[1]);
    close(down[0]);
    tell_ = down[1];
    char opened = 0;
    if (read(up[0], &opened, 1) == 1) opened_ = opened == 'y';
    close(up[0]);
  }
  ~Holder() {
    if (pid_ > 0) Kill();
    if (tell_ >= 0) close(tell_);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  bool opened() const { return opened_; }
  pid_t pid() const { return pid_; }
  // Ends the child, with a Close first or without; true once it has ended.
  bool End(bool close_first) {
    const char how = close_first ? 'c' : 'x';
    (void)!write(tell_, &how, 1);
    return Reap();
  }
  bool Kill() {
    kill(pid_, SIGKILL);
    return Reap();
  }

 private:
  bool Reap() {
    int status = 0;
    const bool ended = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended;
  }

  pid_t pid_ = -1;
  int tell_ = -1;
  bool opened_ = false;
};

std::string OwnCommand() {
  std::string command = ReadBytes("/proc/self/comm");
  if (!command.empty() && command.back() == '\n') command.pop_back();
  return command;
}

using SysfsLock = SysfsLibrary;

TEST_F(SysfsLock, ASecondOpenerIsRefusedAndTheLogNamesTheHolder) {
  AddBoard();
  Holder first("q7m-first", nullptr);
  ASSERT_TRUE(first.opened()) << NewLog();
  NewLog();
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  std::string log = NewLog();
  EXPECT_NE(log.find("InitPCIAccess: 0000:03:00.0 is in use by process " +
                     std::to_string(first.pid()) + " (q7m-first), which holds the lock on " +
                     (root_ / "0000:03:00.0" / "config").string()),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("choose another board with Q7M_PCI_DEVICE"), std::string::npos) << log;
  EXPECT_EQ(Lib().ReadB(0, 0), -1) << "nothing is open after a refusal";
  void* base = nullptr;
  EXPECT_NE(Lib().Mmap(&base, 0, 0), 0);

  // Once the holder has ended (without a Close), the board is free.
  ASSERT_TRUE(first.End(false));
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0) << NewLog();
  EXPECT_NE(NewLog().find("opened 0000:03:00.0"), std::string::npos);
  // Opening again in the same process is no conflict with itself.
  EXPECT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0) << NewLog();

  // Now this process holds it, and the other one is refused, with this one named.
  Holder second("q7m-second", nullptr);
  EXPECT_FALSE(second.opened());
  log = NewLog();
  EXPECT_NE(log.find("[" + std::to_string(second.pid()) + "] InitPCIAccess: 0000:03:00.0 is in " +
                     "use by process " + std::to_string(getpid()) + " (" + OwnCommand() + ")"),
            std::string::npos)
      << log;
  ASSERT_TRUE(second.End(false));

  // Close gives it up.
  Lib().Close();
  Holder third("q7m-third", nullptr);
  EXPECT_TRUE(third.opened()) << NewLog();
  ASSERT_TRUE(third.End(true));
}

TEST_F(SysfsLock, AHolderKilledWithSigkillLeavesTheBoardFree) {
  AddBoard();
  Holder killed("q7m-killed", nullptr);
  ASSERT_TRUE(killed.opened()) << NewLog();
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  EXPECT_NE(NewLog().find("in use by process " + std::to_string(killed.pid()) + " (q7m-killed)"),
            std::string::npos);
  ASSERT_TRUE(killed.Kill());
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0) << NewLog();
  void* base = nullptr;
  ASSERT_EQ(Lib().Mmap(&base, 0, 0), 0) << NewLog();
  EXPECT_EQ(Lib().MUnmap(base), 0);
}

TEST_F(SysfsLock, TwoBoardsAreOpenedOneEachByTwoProgramsAtOnce) {
  AddOthers();
  const fs::path second_dir = AddBoard("0000:05:00.0");
  const fs::path first_dir = AddBoard("0000:03:00.0");
  Holder other("q7m-other", "0000:05:00.0");
  ASSERT_TRUE(other.opened()) << NewLog();
  EXPECT_NE(NewLog().find("opened 0000:05:00.0 (1172:5680, match 1 of 2) by "
                          "Q7M_PCI_DEVICE=0000:05:00.0"),
            std::string::npos);

  // This process opens the first board while the other one holds the second.
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0) << NewLog();
  std::string buffer(256, '\0');
  ASSERT_EQ(Lib().ReadWriteConfigSpace(buffer.data(), 256, 0, -1), 0);
  EXPECT_EQ(buffer, ReadBytes(first_dir / "config"));
  void* base = nullptr;
  ASSERT_EQ(Lib().Mmap(&base, 0, 0), 0) << NewLog();
  static_cast<volatile std::uint8_t*>(base)[0x1C000] = 0x04;
  EXPECT_EQ(Byte(ReadBytes(first_dir / "resource0"), 0x1C000), 0x04);
  NewLog();

  // The second board, by number or address, is the other program's.
  for (const char* device : {"1", "05:00.0", "0000:05:00.0"}) {
    setenv("Q7M_PCI_DEVICE", device, 1);
    EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0) << device;
    EXPECT_NE(NewLog().find("0000:05:00.0 is in use by process " + std::to_string(other.pid()) +
                            " (q7m-other)"),
              std::string::npos)
        << device;
  }
  ASSERT_TRUE(other.End(true));
  ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, 0), 0) << NewLog();
  ASSERT_EQ(Lib().ReadWriteConfigSpace(buffer.data(), 256, 0, -1), 0);
  EXPECT_EQ(buffer, ReadBytes(second_dir / "config"));
}

using SysfsChoice = SysfsLibrary;

TEST_F(SysfsChoice, TheDeviceVariableTakesTheArgumentsPlaceAndItsMistakesAreLogged) {
  AddOthers();
  AddBoard("0000:05:00.0");
  AddBoard("0000:03:00.0");
  struct Case {
    const char* device;
    int index;
    const char* opened;
  };
  for (const Case& c : {Case{"1", 0, "0000:05:00.0"}, Case{"0", 1, "0000:03:00.0"},
                        Case{"05:00.0", 0, "0000:05:00.0"}, Case{"0000:03:00.0", 1, "0000:03:00.0"},
                        Case{"", 1, "0000:05:00.0"}}) {
    setenv("Q7M_PCI_DEVICE", c.device, 1);
    ASSERT_EQ(Lib().InitPCIAccess(kVendor, kDevice, c.index), 0) << c.device << NewLog();
    EXPECT_NE(NewLog().find(std::string("opened ") + c.opened), std::string::npos) << c.device;
  }

  setenv("Q7M_PCI_DEVICE", "0000:02:00.0", 1);  // a device, but not a board
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  std::string log = NewLog();
  EXPECT_NE(log.find("InitPCIAccess: Q7M_PCI_DEVICE=0000:02:00.0 names no device with vendor "
                     "0x1172 device 0x5680 under " +
                     root_.string() +
                     "; the device(s) with these IDs: 0000:03:00.0, 0000:05:00.0; 4 devices seen: "
                     "0000:00:00.0 8086:1237, 0000:02:00.0 10ec:8168, 0000:03:00.0 1172:5680, "
                     "0000:05:00.0 1172:5680"),
            std::string::npos)
      << log;
  EXPECT_EQ(Lib().ReadB(0, 0), -1) << "the board opened before is closed";

  setenv("Q7M_PCI_DEVICE", "2", 1);
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  log = NewLog();
  EXPECT_NE(log.find("2 device(s) with vendor 0x1172 device 0x5680 (0000:03:00.0, 0000:05:00.0) "
                     "but Q7M_PCI_DEVICE=2 was asked for"),
            std::string::npos)
      << log;

  setenv("Q7M_PCI_DEVICE", "second", 1);
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  log = NewLog();
  EXPECT_NE(log.find("Q7M_PCI_DEVICE=second is neither a board number"), std::string::npos) << log;
}

using SysfsLog = SysfsLibrary;

TEST_F(SysfsLog, LinesAreTimestampedAndGoToTheCurrentDirectoryByDefault) {
  unsetenv("Q7M_PCI_LOG_DIR");
  const fs::path previous = fs::current_path();
  const fs::path here = temp_ / "program";
  fs::create_directories(here);
  fs::current_path(here);
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  fs::current_path(previous);
  const std::string log = ReadBytes(here / "PCIAccessDll.log");
  EXPECT_TRUE(LooksTimestamped(log)) << log;
  EXPECT_NE(log.find("] InitPCIAccess: no PCI device"), std::string::npos) << log;
}

TEST_F(SysfsLog, AnUnusableLogDirectoryFallsBackToTheStateDirectory) {
  WriteBytes(temp_ / "plain-file", "x");
  setenv("Q7M_PCI_LOG_DIR", (temp_ / "plain-file" / "sub").c_str(), 1);
  const char* old_state = std::getenv("XDG_STATE_HOME");
  const std::string saved = old_state != nullptr ? old_state : "";
  setenv("XDG_STATE_HOME", (temp_ / "state").c_str(), 1);
  EXPECT_NE(Lib().InitPCIAccess(kVendor, kDevice, 0), 0);
  if (old_state != nullptr) {
    setenv("XDG_STATE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
  const std::string log = ReadBytes(temp_ / "state" / "q7m-uart" / "PCIAccessDll.log");
  EXPECT_NE(log.find("InitPCIAccess: no PCI device"), std::string::npos) << log;
}

// Only the entry points leave the library, so the program and the simulated
// library cannot collide with its inner symbols.
TEST(SysfsExports, OnlyTheFifteenEntryPointsAreExported) {
  FILE* pipe = popen("nm -D --defined-only " Q7M_SYSFS_LIB " 2>/dev/null", "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    const std::size_t last = text.find_last_of(' ');
    if (last != std::string::npos) names.insert(text.substr(last + 1, text.size() - last - 2));
  }
  if (pclose(pipe) != 0 && names.empty()) GTEST_SKIP() << "nm is not available";
  const std::set<std::string> expected = {"InitPCIAccess",
                                          "Close",
                                          "ReadDW",
                                          "WriteDW",
                                          "ReadW",
                                          "WriteW",
                                          "ReadB",
                                          "WriteB",
                                          "ReadDWBuffer",
                                          "WriteDWBuffer",
                                          "AllocateMemory",
                                          "ReleaseMemory",
                                          "ReadWriteConfigSpace",
                                          "Mmap",
                                          "MUnmap"};
  EXPECT_EQ(names, expected);
}

}  // namespace
