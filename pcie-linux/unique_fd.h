#pragma once
// Owners of a file descriptor and of a memory mapping.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

namespace q7m::pcie_linux {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

class Mapping {
 public:
  Mapping() = default;
  Mapping(void* address, std::size_t length) : address_(address), length_(length) {}
  Mapping(Mapping&& other) noexcept
      : address_(std::exchange(other.address_, nullptr)),
        length_(std::exchange(other.length_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    if (this != &other) {
      reset();
      address_ = std::exchange(other.address_, nullptr);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { reset(); }

  void* get() const { return address_; }
  std::size_t size() const { return length_; }
  bool valid() const { return address_ != nullptr; }
  void reset() {
    if (address_ != nullptr) ::munmap(address_, length_);
    address_ = nullptr;
    length_ = 0;
  }

 private:
  void* address_ = nullptr;
  std::size_t length_ = 0;
};

}  // namespace q7m::pcie_linux
