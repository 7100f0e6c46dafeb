#pragma once
// A scratch directory for the file tests: made fresh under /tmp, entered on
// construction, and on destruction left (back to where the test was) and
// removed with everything in it.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

class ScratchDir {
 public:
  ScratchDir() : previous_(std::filesystem::current_path()) {
    // Short paths, so that a listing header fits one console row.
    std::string pattern = "/tmp/q7mf-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    // The physical path: the selector reads the current directory back.
    path_ = std::filesystem::canonical(pattern).string();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
    std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return path_; }

  // Relative names are taken from the scratch directory, not the current one.
  std::string At(const std::string& name) const { return path_ + "/" + name; }
  void File(const std::string& name, const std::string& content = "") const {
    std::ofstream(At(name), std::ios::binary) << content;
  }
  void Dir(const std::string& name) const { std::filesystem::create_directories(At(name)); }

 private:
  std::filesystem::path previous_;
  std::string path_;
};
