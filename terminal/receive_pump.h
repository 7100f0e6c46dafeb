#pragma once
// Keeps the board UART's receive side drained while a screen that owns it
// waits: between terminal loop passes, in the gaps of the paced key sender
// and in a macro's waits. At line rate the 127-byte receive buffer fills in
// about 11 ms, so a screen that only looked every 30 ms would lose bytes.

#include <cstdint>
#include <functional>
#include <string_view>

using ReceiveHandler = std::function<void(std::string_view bytes)>;

// While alive, received bytes are drained and handed to `handler`; `baud`
// sets how often the UART is polled during waits. Scopes nest: the inner one
// wins until it ends.
class ReceiveScope {
 public:
  ReceiveScope(ReceiveHandler handler, std::int32_t baud);
  ~ReceiveScope();
  ReceiveScope(const ReceiveScope&) = delete;
  ReceiveScope& operator=(const ReceiveScope&) = delete;

 private:
  ReceiveHandler previousHandler_;
  int previousPollMs_;
};

// Reads every byte the UART holds until it reports none waiting and hands
// them on; does nothing when no screen owns the receive side.
void DrainReceiver();
// WaitMs with the receive side kept drained: n below 100 waits n ms, 100 or
// more ends early when a key is waiting, -1 waits until a key is waiting.
void WaitDraining(int ms);
// The poll step for a baud rate: a quarter of a receive buffer's worth of
// time, at most 10 ms.
int ReceivePollMs(std::int32_t baud);
