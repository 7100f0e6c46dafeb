#pragma once
// q7m-uart-bridge's work: the board UART published as a pseudo-terminal.
//
// The board UART's session (uart/uart_session.h) polls the UART on a thread
// of its own at the pace its baud rate needs, whatever the clients do; its
// consumer gives every received byte to the capture at once, and holds it
// for the pseudo-terminal, which the program's thread feeds as fast as the
// client takes it, woken when bytes come. The held stream keeps the latest
// bytes up to a limit while no client is there. Bytes a client writes go to
// the engine, which sends them at the line's rate. A client's speed change
// reprograms the UART once what it wrote before has left. The bridge has no
// console: what it has to say goes to standard error, one line each.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct BridgeSetup {
  int route = 0;
  std::int32_t baud = 115200;
  std::string link;            // absolute; its folder exists
  std::optional<gid_t> group;  // the pseudo-terminal's group, read-write; none: the system's
  std::size_t keep = 0;
  std::string log;  // absolute, or "" for no capture
  bool timestamps = false;
};

// Opens the board (the program's working folder is current), routes and
// programs the UART, publishes it at setup.link and serves clients until
// SIGTERM, SIGINT or SIGHUP; then puts routing 0 back, unmaps and closes the
// board and removes the link. Returns the exit status: 0 after a signal, 1
// when the board, the capture or the pseudo-terminal could not be opened.
int RunBridge(const BridgeSetup& setup);

// A line of the bridge's log: "q7m-uart-bridge: <text>" on standard error,
// or "<text>" alone when standard error is the systemd journal.
void BridgeSay(std::string_view text);
// True when JOURNAL_STREAM's value (may be null) names this process's
// standard error.
bool StandardErrorIsTheJournal(const char* journalStream);
