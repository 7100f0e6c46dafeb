#pragma once
// Software flow control (XON/XOFF) between the board and a client of the
// bridge's pseudo-terminal, by the client's termios, as a serial port's line
// discipline honours it.
//
// The slave has EXTPROC set so that the bridge hears each termios change of
// a client; the kernel then leaves all input processing to the master's side,
// IXON included: an XOFF from the board would reach the client as a byte and
// hold nothing. These rules stand in for the line discipline's:
//
// - IXON: the STOP character (VSTOP, XOFF by default) received from the board
//   holds what goes to the board until the START character (VSTART, XON)
//   comes, or with IXANY any other byte; both are taken out of what the
//   client reads. Clearing IXON releases the hold, as the kernel does.
// - IXOFF: while a client is there and the received bytes waiting for it in
//   the bridge reach three quarters of the bridge's limit (it reads more
//   slowly than the board sends), STOP goes to the board ahead of anything
//   queued, and START once they are down to a quarter, or once the client
//   has gone or cleared IXOFF. Before the limit, the bridge would drop the
//   oldest bytes. The pty's own buffer is not watched: it is small, and what
//   it cannot take waits in the bridge.
//
// Plain rules: the bridge feeds them and applies what they decide.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct FlowModes {
  bool ixon = false;
  bool ixany = false;
  bool ixoff = false;
  // 0 (_POSIX_VDISABLE) disables the character.
  std::uint8_t start = 0x11;
  std::uint8_t stop = 0x13;
};

class SoftwareFlow {
 public:
  // A client's termios, as read after each change it made.
  void SetModes(const FlowModes& modes);
  const FlowModes& Modes() const { return modes_; }

  // Bytes received from the board, in order. Returns those the client is to
  // read: all of them, or without the STOP and START characters while IXON
  // is on. The view lasts until the next call.
  std::string_view Receive(std::string_view bytes);
  // What the client sends waits: the board said STOP and has not said START.
  bool SendingHeld() const { return held_; }

  // For IXOFF: the character to send to the board now, ahead of what is
  // queued, or nothing. `waiting` received bytes wait for the client, the
  // bridge keeps at most `limit`; `clientThere` while a client has the pty.
  std::optional<char> InputControl(std::size_t waiting, std::size_t limit, bool clientThere);
  // A STOP went to the board and no START since.
  bool BoardAskedToStop() const { return stopSent_; }

 private:
  FlowModes modes_;
  bool held_ = false;
  bool stopSent_ = false;
  std::uint8_t startAfterStop_ = 0;  // the START that undoes the STOP sent
  std::string forClient_;
};
