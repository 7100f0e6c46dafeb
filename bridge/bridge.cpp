#include "bridge/bridge.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/settings.h"
#include "board/board_io.h"
#include "board/pcie_library.h"
#include "bridge/bridge_options.h"
#include "bridge/capture_log.h"
#include "bridge/client_watch.h"
#include "bridge/pty_port.h"
#include "bridge/scheduling_line.h"
#include "bridge/software_flow.h"
#include "uart/reception.h"
#include "uart/thread_tasks.h"
#include "uart/timely_wakeups.h"
#include "uart/uart.h"
#include "uart/uart_session.h"

namespace {

// Bytes read from a client ahead of the line. The rest waits in the pty,
// which holds the client back as a full transmit buffer would.
constexpr std::size_t kReadAhead = 1024;
// How often the bridge looks for a client while it has none, and when it
// offers the engine more of a client's bytes after the engine's queue was
// full (it holds 4 KiB, a third of a second at 115200 baud).
constexpr std::uint64_t kLookForClientNs = 50'000'000;
constexpr std::uint64_t kEngineRoomNs = 2'000'000;
// Bytes offered to the pty in one write.
constexpr std::size_t kWriteSlice = 64 * 1024;
constexpr const char* kAccessLogName = "PCIAccessDll.log";

volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
  stopSignal = signal;
}

std::int64_t WallClockNs() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

std::string Count(std::uint64_t n, const char* unit) {
  return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

// Where the access library writes its log: Q7M_PCI_LOG_DIR, else the
// working folder.
std::filesystem::path AccessLogPath() {
  const char* dir = std::getenv("Q7M_PCI_LOG_DIR");
  std::error_code error;
  const std::filesystem::path folder = dir != nullptr && *dir != '\0'
                                           ? std::filesystem::path(dir)
                                           : std::filesystem::current_path(error);
  return folder / kAccessLogName;
}

std::uintmax_t FileSize(const std::filesystem::path& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

// A board that cannot be opened: the binding's line, then what the access
// library logged about it, which names the reason (the board in use and by
// whom, no board at that address, permissions).
void SayOpenFailure(const char* line, const std::filesystem::path& log, std::uintmax_t logSize) {
  BridgeSay(line);
  std::ifstream in(log, std::ios::binary);
  if (in && FileSize(log) > logSize) {
    in.seekg(static_cast<std::streamoff>(logSize));
    for (std::string entry; std::getline(in, entry);) {
      if (!entry.empty()) BridgeSay("  " + entry);
    }
  }
  BridgeSay("(the access library's log is " + log.string() + ")");
}

// What the board sends, at once and in order, on the session's consumer: the
// log gets every byte, and what the engine said is said.
class BridgeTap final : public UartSession::Tap {
 public:
  explicit BridgeTap(CaptureLog& capture) : capture_(capture) {}
  void Received(std::string_view bytes) override {
    received_.fetch_add(bytes.size(), std::memory_order_relaxed);
    if (const std::string stopped = capture_.Write(bytes, WallClockNs()); !stopped.empty()) {
      BridgeSay(stopped);
    }
  }
  void Said(const UartEvent& event) override {
    switch (event.kind) {
      case UartEvent::Kind::kReceiveErrors:
        errors_.Report(
            static_cast<std::uint8_t>(event.value), [](const char* message) { BridgeSay(message); },
            MonotonicNs);
        return;
      case UartEvent::Kind::kTransmitTimeout:
        BridgeSay(kUartTxTimeoutMessage);
        return;
      case UartEvent::Kind::kBytesLost:
        BridgeSay(Count(event.value, "received byte") + " lost: the bridge fell behind the board");
        return;
      case UartEvent::Kind::kSpeedChanged:
        BridgeSay("a client set the line to " + std::to_string(event.value) + " baud");
        return;
    }
  }
  std::uint64_t Received() const { return received_.load(std::memory_order_relaxed); }

 private:
  CaptureLog& capture_;
  ReceiveErrorReports errors_;
  std::atomic<std::uint64_t> received_{0};
};

// The bridge's client of the UART session, on the program's thread: the
// pseudo-terminal, which may wait. What the board sent waits in the
// session's held stream, which keeps the latest bytes up to a limit while
// no client reads; bytes a client writes go to the engine, which sends them
// at the line's rate.
class Bridge {
 public:
  Bridge(PtyPort& pty, UartSession& session, std::int32_t baud)
      : pty_(pty), session_(session), askedBaud_(baud) {}

  void Run();
  void Summary(const BridgeTap& tap) const;

 private:
  void ReadClient(std::uint64_t now);
  void FeedEngine();
  void AskedForSpeed();
  void Deliver();
  void ClientChange(ClientWatch::Change change);
  void NoteDrops();
  void EndDropping();
  std::size_t Waiting() const { return out_.size() + session_.HeldBytes(); }

  PtyPort& pty_;
  UartSession& session_;
  ClientWatch client_;
  SoftwareFlow flow_;  // XON/XOFF for a client that asked for it
  std::int32_t askedBaud_;
  // Client bytes read but not yet taken by the engine, and all read so far.
  std::string pending_;
  std::uint64_t taken_ = 0;
  // Bytes taken from the session that the pty did not take yet.
  std::string out_;

  std::uint64_t deliveredTotal_ = 0;
  std::uint64_t discardedByClients_ = 0;
  std::uint64_t droppedSeen_ = 0;
  bool dropping_ = false;
  std::uint64_t droppedInEpisode_ = 0;
};

void Bridge::Run() {
  sigset_t unblocked;
  ::sigprocmask(SIG_SETMASK, nullptr, &unblocked);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigdelset(&unblocked, signal);
  while (stopSignal == 0) {
    const std::uint64_t now = MonotonicNs();
    // With no client the master reports a hang-up at every poll, so its
    // coming is looked for now and then rather than slept on.
    if (!client_.Here()) ClientChange(client_.Present(pty_.ClientPresent(), now));
    // A client that wrote and closed at once left its bytes in the pty:
    // they are read whether or not it is still there.
    ReadClient(now);
    FeedEngine();
    if (client_.Here()) ClientChange(client_.Present(true, now));
    NoteDrops();
    Deliver();
    // Software flow control: IXOFF asks the board to pause while the client lags.
    if (const auto control = flow_.InputControl(Waiting(), session_.HoldLimit(), client_.Here())) {
      session_.SendAhead(*control);
    }

    std::uint64_t wakeAt = kNoDeadline;
    if (!client_.Here()) wakeAt = now + kLookForClientNs;
    if (client_.Settling()) wakeAt = std::min(wakeAt, client_.SettledAtNs());
    // The engine's queue was full: it takes more a character time later.
    if (!pending_.empty()) wakeAt = std::min(wakeAt, now + kEngineRoomNs);
    std::array<pollfd, 2> fds{};
    std::size_t used = 0;
    if (client_.Ready()) fds[used++] = {session_.Notice().Fd(), POLLIN, 0};
    const std::size_t ptyAt = used;
    if (client_.Here()) {
      fds[used] = {pty_.Fd(), 0, 0};
      if (pending_.size() < kReadAhead) fds[used].events |= POLLIN;
      if (client_.Ready() && !out_.empty()) fds[used].events |= POLLOUT;
      ++used;
    }
    const std::uint64_t after = MonotonicNs();
    const std::uint64_t wait = wakeAt > after ? wakeAt - after : 0;
    const timespec timeout{static_cast<time_t>(wait / 1'000'000'000ULL),
                           static_cast<long>(wait % 1'000'000'000ULL)};
    const int ready =
        ::ppoll(fds.data(), used, wakeAt == kNoDeadline ? nullptr : &timeout, &unblocked);
    // The flag's descriptor only wakes the poll; reading it lets it sleep
    // again.
    if (ready > 0 && ptyAt == 1 && (fds[0].revents & POLLIN) != 0) session_.Notice().Ready();
    if (ready > 0 && client_.Here() && (fds[ptyAt].revents & POLLHUP) != 0) {
      ClientChange(client_.Present(false, MonotonicNs()));
    }
  }
  // Software flow control: a board asked to pause is let go before the line closes.
  if (const auto control = flow_.InputControl(0, session_.HoldLimit(), false)) {
    const std::uint64_t ahead = session_.Engine().SentAhead();
    session_.SendAhead(*control);
    for (int waits = 0; waits < 100 && session_.Engine().SentAhead() == ahead; ++waits) {
      ::usleep(1000);
    }
  }
}

void Bridge::ReadClient(std::uint64_t now) {
  const std::size_t room = kReadAhead > pending_.size() ? kReadAhead - pending_.size() : 0;
  if (room == 0) return;
  PtyPort::Input input = pty_.Read(room);
  // A flush of the client's output throws nothing away: a pseudo-terminal
  // reports no drain, so bytes a client wrote and drained before flushing
  // (as lrzsz's last "OO" before its exit) cannot be told from bytes it
  // wants gone, and a serial port would have sent the former.
  if (input.flushedInput && client_.Ready() && Waiting() != 0) {
    // A client that flushes its input after settling asks for what it has not
    // read to go, as on a serial port.
    const std::size_t discarded = out_.size() + session_.DropHeldBytes();
    out_.clear();
    BridgeSay("a client flushed its input: " + Count(discarded, "received byte") +
              " it had not taken were discarded");
    discardedByClients_ += discarded;
    EndDropping();
  }
  if (input.termiosChanged || input.flushedInput || input.flushedOutput) client_.SetUp(now);
  if (!input.data.empty()) {
    pending_ += input.data;
    taken_ += input.data.size();
    ClientChange(client_.Wrote());
  }
  if (input.termiosChanged) AskedForSpeed();
  // Software flow control: the client's modes, after each change it made.
  if (input.termiosChanged) {
    if (const auto modes = pty_.Flow()) flow_.SetModes(*modes);
    session_.HoldSending(flow_.SendingHeld());
  }
}

void Bridge::FeedEngine() {
  if (pending_.empty()) return;
  pending_.erase(0, session_.Send(pending_));
}

void Bridge::AskedForSpeed() {
  pty_.KeepAnnouncing();
  const auto speed = pty_.Speed();
  // 0 is a hang-up request (B0), which a pseudo-terminal has nothing to do with.
  if (!speed || *speed == 0 || static_cast<std::int64_t>(*speed) == askedBaud_) return;
  if (!UartBaudRateUsable(*speed)) {
    BridgeSay("a client asked for " + std::to_string(*speed) +
              " baud, which the board UART cannot be set to (1908 to 250000000); it stays at " +
              std::to_string(askedBaud_));
    return;
  }
  // After every byte the client wrote before the change.
  if (!session_.ChangeSpeed(taken_, static_cast<std::int32_t>(*speed))) {
    BridgeSay("a client asked for " + std::to_string(*speed) +
              " baud while too many speed changes waited; it stays at " +
              std::to_string(askedBaud_));
    return;
  }
  askedBaud_ = static_cast<std::int32_t>(*speed);
}

void Bridge::Deliver() {
  if (!client_.Ready()) return;
  session_.Notice().Lower();
  std::string taken;
  for (;;) {
    if (out_.empty()) {
      std::optional<UartEvent> event;
      session_.Take(taken, kWriteSlice, event);
      if (taken.empty()) break;
      // Software flow control: the board's XOFF, as it reaches the client,
      // holds what the client sends.
      out_ = flow_.Receive(taken);
      session_.HoldSending(flow_.SendingHeld());
      if (out_.empty()) continue;
    }
    const std::size_t written = pty_.Write(out_);
    deliveredTotal_ += written;
    out_.erase(0, written);
    if (!out_.empty()) break;
  }
  if (Waiting() == 0) EndDropping();
}

void Bridge::ClientChange(ClientWatch::Change change) {
  switch (change) {
    case ClientWatch::Change::kNone:
      return;
    case ClientWatch::Change::kArrived:
      BridgeSay("a client opened " + pty_.LinkPath());
      return;
    case ClientWatch::Change::kSettled:
      if (const std::size_t kept = Waiting()) BridgeSay("handing over " + Count(kept, "kept byte"));
      EndDropping();
      return;
    case ClientWatch::Change::kLeft:
      BridgeSay("the last client closed " + pty_.LinkPath() + "; received bytes are kept (up to " +
                Count(session_.HoldLimit(), "byte") + ")");
      return;
  }
}

void Bridge::NoteDrops() {
  const std::uint64_t dropped = session_.Dropped();
  if (dropped == droppedSeen_) return;
  if (!dropping_) {
    dropping_ = true;
    droppedInEpisode_ = 0;
    BridgeSay(std::string(client_.Ready() ? "the client takes less than the line brings"
                                          : "no client reads") +
              ": more than " + Count(session_.HoldLimit(), "received byte") +
              " wait; the oldest are dropped");
  }
  droppedInEpisode_ += dropped - droppedSeen_;
  droppedSeen_ = dropped;
}

void Bridge::EndDropping() {
  NoteDrops();
  if (!dropping_) return;
  dropping_ = false;
  BridgeSay(Count(droppedInEpisode_, "received byte") + " were dropped");
}

void Bridge::Summary(const BridgeTap& tap) const {
  std::string text = "received " + Count(tap.Received(), "byte") + ", handed " +
                     std::to_string(deliveredTotal_) + " to clients, sent " +
                     Count(session_.Engine().Sent(), "client byte") + " to the board";
  if (session_.Dropped() != 0) {
    text += "; " + std::to_string(session_.Dropped()) + " received bytes were dropped";
  }
  if (const std::size_t left = Waiting()) text += "; " + std::to_string(left) + " were never taken";
  if (discardedByClients_ != 0) {
    text += "; " + std::to_string(discardedByClients_) + " flushed by clients";
  }
  BridgeSay(text);
}

// The stop signals are taken only while the bridge sleeps, so a signal can
// never cut a board access or a register sequence in two.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  ::sigemptyset(&action.sa_mask);
  sigset_t blocked;
  ::sigemptyset(&blocked);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ::sigaction(signal, &action, nullptr);
    ::sigaddset(&blocked, signal);
  }
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
  // A client gone while being written to is seen as a hang-up, not a signal.
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

bool StandardErrorIsTheJournal(const char* journalStream) {
  // systemd names the journal's stream as "<device>:<inode>"; a program that
  // inherited the variable but writes elsewhere keeps its own prefix.
  if (journalStream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char rest = 0;
  if (std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
  struct stat info {};
  return ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void BridgeSay(std::string_view text) {
  // The journal names the program on each line itself.
  static const bool toJournal = StandardErrorIsTheJournal(std::getenv("JOURNAL_STREAM"));
  std::string line = toJournal ? std::string() : std::string(kBridgeName) + ": ";
  line.append(text);
  line.push_back('\n');
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

int RunBridge(const BridgeSetup& setup) {
  CatchStopSignals();
  CaptureLog capture;
  if (!setup.log.empty()) {
    const std::string reason = capture.Open(setup.log, setup.timestamps);
    if (!reason.empty()) {
      BridgeSay("cannot create " + setup.log + ": " + reason);
      return 1;
    }
  }
  const std::filesystem::path accessLog = AccessLogPath();
  const std::uintmax_t accessLogSize = FileSize(accessLog);
  if (const PcieOpenFailure failure = OpenPcieDllAccess()) {
    SayOpenFailure(failure.line, accessLog, accessLogSize);
    if (failure.closeLibrary) ClosePcieLibrary();
    return 1;
  }
  const auto port = static_cast<std::uint32_t>(UartPort);
  BoardPortWrite(static_cast<std::uint32_t>(AuxPort), 0);
  BoardRegWrite(port, kUartRouteReg, static_cast<std::uint8_t>(setup.route));
  UartInit(UartClockHz, setup.baud, UartPort, UartRegBase,
           [](std::string_view message) { BridgeSay(message); });

  std::string error;
  std::unique_ptr<PtyPort> pty =
      PtyPort::Open(setup.link, static_cast<std::uint32_t>(setup.baud), error, setup.group);
  if (!pty) {
    BridgeSay(error);
    BoardRegWrite(port, kUartRouteReg, 0);
    ClosePcieDllAccess();
    return 1;
  }
  std::printf("%s\n", setup.link.c_str());
  std::fflush(stdout);
  BridgeSay("the board UART, routing " + std::to_string(setup.route) + " at " +
            std::to_string(setup.baud) + " baud, is " + setup.link + " (" + pty->SlavePath() + ")");
  {
    BridgeTap tap(capture);
    UartSession::Options options;
    options.engine.port = UartPort;
    options.engine.regBase = UartRegBase;
    options.engine.baud = setup.baud;
    options.holdLimit = setup.keep;
    options.holdEvents = false;
    options.tap = &tap;
    ThreadTaskHost tasks;
    UartSession session(options, tasks);
    Bridge bridge(*pty, session, setup.baud);
    {
      SayScheduling(session.EngineScheduling());
      // This thread reads the clients' bytes at once too: a client that
      // writes and then flushes (lrzsz) loses what the bridge has not read.
      const TimelyWakeups wakeups(TimelyWakeups::Ask::kRealTimeWhenPermitted);
      bridge.Run();
    }
    session.Stop();
    bridge.Summary(tap);
  }
  BridgeSay(std::string("ending on ") + ::strsignal(stopSignal) + ": routing 0, board closed");
  BoardRegWrite(port, kUartRouteReg, 0);
  ClosePcieDllAccess();
  pty.reset();
  return 0;
}
