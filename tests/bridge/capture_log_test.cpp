// The bridge's capture file: every received byte, with the local time at the
// start of each line when asked.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
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

// A file that may grow to `bytes` only, as a full disk would leave it: a
// write past the limit is cut there, the next one fails (EFBIG).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_{};
};

TEST_F(CaptureLogTest, AFailedWriteEndsTheLogWholeUpToItAndIsSaidOnce) {
  CaptureLog log;
  ASSERT_EQ(log.Open(path.string(), false), "");
  std::string said;
  {
    const FileSizeLimit limit(10'000);
    EXPECT_EQ(log.Write(std::string(6000, 'a'), kLeapNight), "");
    said = log.Write(std::string(6000, 'b'), kLeapNight);
    EXPECT_EQ(log.Write("after the gap", kLeapNight), "") << "said once";
  }
  EXPECT_EQ(said,
            "cannot write " + path.string() + ": File too large; the log stops at 10000 bytes");
  EXPECT_EQ(Read(), std::string(6000, 'a') + std::string(4000, 'b'))
      << "what the file holds is what came, up to the failure, with no gap";
  log.Write("more, with room again", kLeapNight);
  EXPECT_EQ(Read().size(), 10000u) << "nothing after a gap";
}

TEST(CaptureFile, OnAFullDeviceTheCaptureStopsAtOnceAndTheTerminalsLineSaysWhy) {
  CaptureFile file;
  ASSERT_EQ(file.Open("/dev/full"), "");
  for (const char c : std::string("lost")) file.Put(c);
  EXPECT_FALSE(file.Failed()) << "nothing written yet";
  file.Flush();
  const auto failure = file.FailureToSay();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->bytes, 0u);
  EXPECT_EQ(CaptureStoppedText(kCaptureFileName, *failure),
            "Term.txt: No space left on device; capture stopped at 0 bytes");
  EXPECT_FALSE(file.FailureToSay()) << "once";
  EXPECT_TRUE(file.Failed()) << "but still known";
}

}  // namespace
