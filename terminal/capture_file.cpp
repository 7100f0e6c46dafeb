#include "terminal/capture_file.h"

#include <cerrno>
#include <cstring>

#include "console/program_end.h"

CaptureFile::~CaptureFile() {
  Close();
}

std::string CaptureFile::Open(const std::string& name) {
  Close();
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return std::strerror(errno);
  file_.reset(file);
  // Home at a message, SIGTERM and SIGHUP end the program from deep inside
  // a screen; the capture must still reach the disk.
  endWorkId_ = AtProgramEnd([this] { Close(); });
  return {};
}

void CaptureFile::Put(char byte) {
  if (file_) std::fputc(static_cast<unsigned char>(byte), file_.get());
}

void CaptureFile::Flush() {
  if (file_) std::fflush(file_.get());
}

void CaptureFile::Close() {
  if (endWorkId_ != 0) {
    ForgetAtProgramEnd(endWorkId_);
    endWorkId_ = 0;
  }
  file_.reset();
}
