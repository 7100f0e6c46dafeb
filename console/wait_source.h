#pragma once
// What a wait of the console wakes for besides keys and time: work another
// thread has for the screen's thread (received text to show, a key's bytes
// gone out, a program that ended). A real terminal polls the source's file
// descriptor; a virtual clock asks the source after each task it runs.

#include <atomic>

class WaitSource {
 public:
  // Readable when the source may be ready; -1 when there is none to poll.
  virtual int Fd() const = 0;
  // Whether the source has something now. May clear what made the file
  // descriptor readable.
  virtual bool Ready() = 0;

 protected:
  ~WaitSource() = default;
};

// A flag that any thread raises for the screen's thread to see: an eventfd
// written only when the flag goes up, so that a flood of raises costs one
// write per wake-up.
class WakeFlag final : public WaitSource {
 public:
  WakeFlag();
  ~WakeFlag();
  WakeFlag(const WakeFlag&) = delete;
  WakeFlag& operator=(const WakeFlag&) = delete;

  // Any thread; never waits.
  void Raise();
  // The waiter takes the flag down; true when it was up.
  bool Lower() { return up_.exchange(false); }
  bool Up() const { return up_.load(); }

  int Fd() const override { return fd_; }
  bool Ready() override;

 private:
  int fd_ = -1;
  std::atomic<bool> up_{false};
};
