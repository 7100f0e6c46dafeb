#pragma once
// The pseudo-terminal that stands for the board UART: clients (picocom,
// pexpect, sz, ser2net) open its slave through a link; the bridge holds the
// master.
//
// The bridge keeps no slave of its own open, so the master reports a hang-up
// exactly while no client has the slave open. The master is in packet mode
// and the slave has EXTPROC set, so a client's termios change (a speed
// change) and its flushes arrive on the master in order with its data.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/software_flow.h"

class PtyPort {
  struct Private {};

 public:
  explicit PtyPort(Private) {}
  // Opens the pair with the slave raw at `baud` and links `linkPath` to the
  // slave (replacing a link to a pseudo-terminal that a bridge left, nothing
  // else: see bridge/link_path.h). With a
  // `group`, the slave is that group's, read-write, before the link exists.
  // Null with `error` set on failure.
  static std::unique_ptr<PtyPort> Open(const std::string& linkPath, std::uint32_t baud,
                                       std::string& error,
                                       std::optional<gid_t> group = std::nullopt);
  // Closes the master and removes the link while it still points at the slave.
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  int Fd() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }
  const std::string& LinkPath() const { return linkPath_; }

  // True while a client has the slave open.
  bool ClientPresent() const;

  // What the clients did since the last read, in their order.
  struct Input {
    // Bytes they wrote. When `termiosChanged` is set, exactly those written
    // before the change (the kernel announces a change ahead of data that
    // was written before it).
    std::string data;
    bool termiosChanged = false;
    // A client flushed its input (tcflush TCIFLUSH, TCSAFLUSH, ...).
    bool flushedInput = false;
    // A client flushed its output. Its bytes are all in `data` still: the
    // kernel cannot say whether they were drained before the flush.
    bool flushedOutput = false;
  };
  // Reads without waiting, up to about `max` data bytes, and stops after a
  // termios change so that the caller can act on it between the data before
  // and after it.
  Input Read(std::size_t max);
  // Writes what the slave takes now; returns the count written.
  std::size_t Write(std::string_view bytes);
  // The slave's speed, as the last client set it.
  std::optional<std::uint32_t> Speed() const;
  // The slave's software flow control, as the last client set it.
  std::optional<FlowModes> Flow() const;
  // Sets EXTPROC again when a client cleared it, so that its later changes
  // are announced too; true when it had to.
  bool KeepAnnouncing();

 private:
  int master_ = -1;
  std::string slavePath_;
  std::string linkPath_;
};
