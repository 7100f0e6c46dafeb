#pragma once
// The capture file "Term.txt": the received bytes the terminal shows, raw.
// Open only while a terminal runs; flushed after every received batch and on
// every way out of the program, so nothing received is missing from it.

#include <cstdio>
#include <memory>
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
  bool IsOpen() const { return file_ != nullptr; }
  void Put(char byte);
  void Flush();
  void Close();

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, FileCloser> file_;
  int endWorkId_ = 0;
};
