#pragma once
// A screen's side of a UART session (the terminal, the code view): what the
// board sends is shown as it arrives, from every wait of the console (while
// a macro plays too), and what the engine said is reported at its place
// with the driver's messages; while a message stands, what arrives waits and
// is shown once it has gone. Receive errors are reported once and then stay
// quiet for a while, so that a line at the wrong baud rate leaves the screen
// usable. Keys go out through the session (macro_player.h).

#include <cstdint>
#include <functional>
#include <string_view>

#include "console/console.h"
#include "uart/reception.h"
#include "uart/uart_session.h"

class UartScreen {
 public:
  using Show = std::function<void(std::string_view bytes)>;

  // `captured`: what the screen cannot show is in "Term.txt" still (said so
  // when the held text overflows).
  UartScreen(UartSession& session, Show show, bool captured);
  UartScreen(const UartScreen&) = delete;
  UartScreen& operator=(const UartScreen&) = delete;

  UartSession& Session() { return session_; }

  // Shows what is held, for a while at most, so that keys are read between
  // (a long hold, after an external program, is shown over several turns).
  void ShowHeld();
  // Waits, showing what arrives, until every byte queued has left the UART;
  // false, and at once, when `stopKey` is waiting (it stays unread).
  bool WaitSent(std::string_view stopKey = {});

 private:
  void Said(const UartEvent& event);
  void SayDropped();

  UartSession& session_;
  Show show_;
  const bool captured_;
  ReceiveErrorReports errors_;
  bool droppedSaid_ = false;
  ConsoleWatch watch_;
};

// The driver's messages on this screen (row 24, until a key).
void ReportUartMessage(std::string_view message);

// A screen's session on the board UART at `baud`: the program's port and
// register base, typed keys paced kKeyGapNs apart, every byte to `tap`.
UartSession::Options ScreenSessionOptions(std::int32_t baud, UartSession::Tap* tap = nullptr);
