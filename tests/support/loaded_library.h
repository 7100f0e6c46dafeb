#pragma once
// A shared library opened by absolute path for the length of a test, with
// typed symbol lookup.

#include <dlfcn.h>

#include <string>

class Loaded {
 public:
  explicit Loaded(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~Loaded() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;

  bool ok() const { return handle_ != nullptr; }
  bool Has(const char* name) const { return dlsym(handle_, name) != nullptr; }
  template <typename F>
  F* Get(const char* name) const {
    return reinterpret_cast<F*>(dlsym(handle_, name));
  }

 private:
  void* handle_;
};

#define Q7M_SYM(lib, name) ((lib).Get<decltype(name)>(#name))
