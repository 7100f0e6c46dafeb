// A pseudo-terminal as the far end of the UART, so that a real program
// (picocom, a shell through socat, a test script) is the remote side.
//
// Environment of the simulated library (the program reads none):
//   Q7M_SIM_PTY=<path>        open a pty pair and link <path> to its slave
//   Q7M_SIM_PTY_ROUTES=0,2,3  routes bridged instead of the built-in console
//                             (default: all, 0 to 5)
//   Q7M_SIM_PTY_BAUD=<n>      rate of the bytes the pty sends; by default the
//                             UART's programmed rate, so a different value
//                             gives framing errors
// These are simulated board 0's; board n's are Q7M_SIM<n>_PTY,
// Q7M_SIM<n>_PTY_ROUTES and Q7M_SIM<n>_PTY_BAUD.
#ifndef Q7M_SIM_PTY_BRIDGE_H
#define Q7M_SIM_PTY_BRIDGE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "sim/device_model.h"
#include "sim/paced_remote.h"

namespace q7m::sim {

struct PtyConfig {
  std::string linkPath;  // empty: no bridge
  std::array<bool, kRouteCount> routes{};
  std::uint32_t baud = 0;  // 0: the UART's programmed rate
};

// Reads the three variables whose names start with `prefix` through `get`
// (getenv in the library). Returns nullopt and sets `error` when a value
// cannot be used.
std::optional<PtyConfig> ParsePtyConfig(const char* (*get)(const char*), std::string& error,
                                        std::string_view prefix = "Q7M_SIM_");

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release();
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The pty is read by a thread of the bridge's own, not inside a board
// access: a read of a pty master with nothing buffered waits for the
// kernel's worker that moves the slave's writes across, and a program's
// polling thread at a real-time priority would wait behind every ordinary
// thread on that processor (tens of milliseconds on a busy machine, far
// longer than the UART's buffer lasts). A real board's line never makes its
// poller wait.
class PtyBridge final : public PacedRemote {
  struct Private {};

 public:
  explicit PtyBridge(Private) {}
  // Opens the pair and makes the link; null with `error` set on failure.
  static std::shared_ptr<PtyBridge> Open(const std::string& linkPath, std::uint32_t baud,
                                         std::string& error);
  ~PtyBridge() override;
  PtyBridge(const PtyBridge&) = delete;
  PtyBridge& operator=(const PtyBridge&) = delete;

  void OnTransmit(std::uint8_t byte, std::uint64_t doneNs) override;
  void OnDisconnect(std::uint64_t nowNs) override;
  void Advance(std::uint64_t nowNs) override;
  // Hands every transmitted byte to the pty now (the board is being closed).
  void HandOver();

  const std::string& SlavePath() const { return slavePath_; }
  const std::string& LinkPath() const { return linkPath_; }
  // UART bytes not yet taken by the pty, and the count given up on because
  // the queue reached its limit (nobody reading the slave for a long time).
  std::size_t OutQueued() const { return out_.size(); }
  std::uint64_t OutDropped() const { return outDropped_; }

 protected:
  std::uint32_t Baud() const override;

 private:
  void Flush();
  // The reader thread: keeps `in_` filled up to what the line may take ahead.
  void ReadLoop();
  void StartReader();

  Fd master_;
  Fd slave_;  // held open so the pair lives on while no program has it open
  std::string slavePath_;
  std::string linkPath_;
  std::uint32_t baud_ = 0;
  std::string out_;
  std::uint64_t oldestOutNs_ = 0;  // when the first byte of out_ left the UART
  std::uint64_t outDropped_ = 0;

  // Read from the pty and not yet on the line. A board access only tries the
  // lock: when the reader holds it, the bytes wait for the next access.
  std::mutex inMutex_;
  std::string in_;
  // How many bytes the line may take ahead, as the last board access saw it.
  std::atomic<std::size_t> inWanted_{0};
  std::atomic<bool> stopReader_{false};
  std::thread reader_;  // last: it starts once everything above is there
};

}  // namespace q7m::sim

#endif
