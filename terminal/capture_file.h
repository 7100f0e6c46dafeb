#pragma once
// The capture file "Term.txt": the received bytes the terminal shows, raw.
// Open only while a terminal runs. Written through after every received
// batch, and closed by its owner's destructor on every way out of the
// program; a crash finishes it from the UART session's consumer. Put and
// flush neither allocate nor lock.
//
// A write that fails (a full disk, a quota, an I/O error) ends the capture
// there: the file then holds, whole, every byte before that point, and its
// owner says so. Writing on after a gap would leave a file that looks whole
// and is not; holding on to what could not be written would fill memory for
// as long as the disk stays full.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view kCaptureFileName = "Term.txt";

class CaptureFile {
 public:
  // Why the capture stopped, and how many bytes the file holds.
  struct Failure {
    int error = 0;
    std::uint64_t bytes = 0;
  };

  CaptureFile() = default;
  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  // Creates or empties the file; returns an empty string or the reason it
  // could not be created.
  std::string Open(const std::string& name);
  bool IsOpen() const { return fd_ >= 0; }
  void Put(char byte);
  void Flush();
  void Close();

  // Any thread. The failure that stopped the capture, if one did.
  std::optional<Failure> Failed() const;
  // The failure, the first time it is asked for: its owner says it once.
  std::optional<Failure> FailureToSay();

 private:
  int fd_ = -1;
  std::array<char, 4096> buffer_{};
  std::size_t used_ = 0;
  std::atomic<std::uint64_t> written_{0};
  std::atomic<int> error_{0};
  std::atomic<bool> said_{false};
};

// "Term.txt: No space left on device; capture stopped at 65536 bytes": the
// file's name, the reason and what it holds, in a line that fits the message
// row.
std::string CaptureStoppedText(std::string_view file, const CaptureFile::Failure& failure);
