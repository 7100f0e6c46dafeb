#pragma once
// Whether a client holds the bridge's pseudo-terminal, and when it is ready
// for the bytes kept for it.
//
// Serial programs set a port up when they open it, and many flush its input
// while doing so (picocom's TCSAFLUSH, pyserial's reset_input_buffer,
// ser2net): bytes handed over before that would be thrown away. So a client
// that arrives settles first: the kept bytes go to it once it has been quiet
// for a settling time after its last termios change or flush, or as soon as
// it writes.

#include <cstdint>

class ClientWatch {
 public:
  static constexpr std::uint64_t kSettleNs = 100'000'000;

  enum class Change { kNone, kArrived, kSettled, kLeft };

  // Whether a client has the slave open, seen at nowNs.
  Change Present(bool present, std::uint64_t nowNs);
  // A termios change or a flush of the client.
  void SetUp(std::uint64_t nowNs);
  // The client wrote: it is set up. Returns kSettled when that ended the
  // settling.
  Change Wrote();

  bool Here() const { return state_ != State::kAbsent; }
  // Bytes may go to the client.
  bool Ready() const { return state_ == State::kReady; }
  // While settling: when it ends unless the client sets up more.
  std::uint64_t SettledAtNs() const { return lastSetUpNs_ + kSettleNs; }
  bool Settling() const { return state_ == State::kSettling; }

 private:
  enum class State { kAbsent, kSettling, kReady };
  State state_ = State::kAbsent;
  std::uint64_t lastSetUpNs_ = 0;
};
