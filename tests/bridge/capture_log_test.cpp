// The bridge's capture file: every received byte, with the local time at the
// start of each line when asked.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bridge/capture_log.h"

namespace {

namespace fs = std::filesystem;

// 2024-02-29 23:59:59.250 UTC.
constexpr std::int64_t kLeapNight = 1709251199LL * 1'000'000'000 + 250'000'000;

class CaptureLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = fs::temp_directory_path() / ("q7m-capture-" + std::to_string(::getpid()));
    const char* tz = ::getenv("TZ");
    if (tz != nullptr) savedTz = tz;
    hadTz = tz != nullptr;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (hadTz) {
      ::setenv("TZ", savedTz.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
    fs::remove(path);
  }
  std::string Read() {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path path;
  std::string savedTz;
  bool hadTz = false;
};

TEST_F(CaptureLogTest, RawBytesAsTheyCameEmptiedAtOpen) {
  std::ofstream(path) << "an older run";
  CaptureLog log;
  ASSERT_EQ(log.Open(path.string(), false), "");
  log.Write(std::string("boot\r\n\x1b[1mok\0", 13), kLeapNight);
  EXPECT_EQ(Read(), std::string("boot\r\n\x1b[1mok\0", 13)) << "on disk after each batch";
}

TEST_F(CaptureLogTest, TimestampsAtEachLineStartAcrossBatches) {
  CaptureLog log;
  ASSERT_EQ(log.Open(path.string(), true), "");
  log.Write("U-Boot 2024\r\nDRAM:", kLeapNight);
  log.Write(" 1 GiB\r\n", kLeapNight + 800'000'000);
  log.Write("\nlogin: ", kLeapNight + 1'000'000'000);
  EXPECT_EQ(Read(),
            "[2024-02-29 23:59:59.250] U-Boot 2024\r\n"
            "[2024-02-29 23:59:59.250] DRAM: 1 GiB\r\n"
            "[2024-03-01 00:00:00.250] \n"
            "[2024-03-01 00:00:00.250] login: ");
}

TEST_F(CaptureLogTest, AFileThatCannotBeMadeSaysWhy) {
  CaptureLog log;
  EXPECT_EQ(log.Open((path / "no" / "such").string(), false), "No such file or directory");
  EXPECT_FALSE(log.IsOpen());
  log.Write("dropped quietly", kLeapNight);
}

}  // namespace
