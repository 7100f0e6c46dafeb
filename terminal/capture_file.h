#pragma once
// The capture file "Term.txt": the received bytes the terminal shows, raw.
// Open only while a terminal runs. Written through after every received
// batch, and closed by its owner's destructor on every way out of the
// program; a crash finishes it from the UART session's consumer. Put and
// flush neither allocate nor lock.

#include <array>
#include <string>
#include <string_view>

inline constexpr std::string_view kCaptureFileName = "Term.txt";

class CaptureFile {
 public:
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

 private:
  int fd_ = -1;
  std::array<char, 4096> buffer_{};
  std::size_t used_ = 0;
};
