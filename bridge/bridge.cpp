#include "bridge/bridge.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
#include "bridge/software_flow.h"
#include "uart/reception.h"
#include "uart/task_runner.h"
#include "uart/timely_wakeups.h"
#include "uart/uart.h"
#include "uart/uart_engine.h"

namespace {

// Bytes read from a client ahead of the line. The rest waits in the pty,
// which holds the client back as a full transmit buffer would.
constexpr std::size_t kReadAhead = 1024;
// How often the bridge takes what the engine received and refills what it
// sends: the engine holds seconds of either.
constexpr std::uint64_t kConsumerPeriodNs = 2'000'000;
constexpr std::size_t kTakeChunk = 16 * 1024;
// Bytes offered to the pty in one write.
constexpr std::size_t kWriteSlice = 64 * 1024;
constexpr const char* kAccessLogName = "PCIAccessDll.log";

volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
  stopSignal = signal;
}

std::uint64_t MonotonicNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000ULL +
         static_cast<std::uint64_t>(t.tv_nsec);
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

// The consumer of the board UART's engine, on the program's thread: the
// pseudo-terminal, the capture and the log, which may all wait.
class Bridge {
 public:
  Bridge(const BridgeSetup& setup, PtyPort& pty, CaptureLog& capture, UartEngine& engine)
      : pty_(pty),
        capture_(capture),
        engine_(engine),
        received_(setup.keep),
        askedBaud_(setup.baud) {}

  void Run();
  // What the engine still holds, once it has stopped.
  void TakeFromEngine();
  void Summary() const;

 private:
  void Said(const UartEvent& event);
  void ReadClient(std::uint64_t now);
  void FeedEngine();
  void AskedForSpeed();
  void Deliver();
  void ClientChange(ClientWatch::Change change);
  void NoteDropped(std::size_t dropped);
  void EndDropping();

  PtyPort& pty_;
  CaptureLog& capture_;
  UartEngine& engine_;
  ReceiveBacklog received_;
  ReceiveErrorReports errors_;
  ClientWatch client_;
  SoftwareFlow flow_;  // XON/XOFF for a client that asked for it
  std::int32_t askedBaud_;
  // Client bytes read but not yet taken by the engine, and all read so far.
  std::string pending_;
  std::uint64_t taken_ = 0;

  std::uint64_t receivedTotal_ = 0;
  std::uint64_t deliveredTotal_ = 0;
  std::uint64_t discardedByClients_ = 0;
  bool dropping_ = false;
  std::uint64_t droppedInEpisode_ = 0;
};

void Bridge::Run() {
  sigset_t unblocked;
  ::sigprocmask(SIG_SETMASK, nullptr, &unblocked);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigdelset(&unblocked, signal);
  while (stopSignal == 0) {
    std::uint64_t now = MonotonicNs();
    // With no client the master reports a hang-up at every poll, so its
    // coming is checked here rather than slept on.
    if (!client_.Here()) ClientChange(client_.Present(pty_.ClientPresent(), now));
    TakeFromEngine();
    // A client that wrote and closed at once left its bytes in the pty:
    // they are read whether or not it is still there.
    ReadClient(now);
    FeedEngine();
    if (client_.Here()) ClientChange(client_.Present(true, now));
    Deliver();
    // Software flow control: IXOFF asks the board to pause while the client lags.
    if (const auto control =
            flow_.InputControl(received_.Size(), received_.Limit(), client_.Here())) {
      engine_.SendAhead(*control);
    }

    std::uint64_t wakeAt = now + kConsumerPeriodNs;
    if (client_.Settling()) wakeAt = std::min(wakeAt, client_.SettledAtNs());
    pollfd fd{pty_.Fd(), 0, 0};
    if (pending_.size() < kReadAhead) fd.events |= POLLIN;
    if (client_.Ready() && !received_.Empty()) fd.events |= POLLOUT;
    now = MonotonicNs();
    const std::uint64_t wait = wakeAt > now ? wakeAt - now : 0;
    const timespec timeout{static_cast<time_t>(wait / 1'000'000'000ULL),
                           static_cast<long>(wait % 1'000'000'000ULL)};
    const int ready = ::ppoll(&fd, client_.Here() ? 1 : 0, &timeout, &unblocked);
    if (ready > 0 && (fd.revents & POLLHUP) != 0) {
      ClientChange(client_.Present(false, MonotonicNs()));
    }
  }
  // Software flow control: a board asked to pause is let go before the line closes.
  if (const auto control = flow_.InputControl(0, received_.Limit(), false)) {
    const std::uint64_t ahead = engine_.SentAhead();
    engine_.SendAhead(*control);
    for (int waits = 0; waits < 100 && engine_.SentAhead() == ahead; ++waits) ::usleep(1000);
  }
}

void Bridge::TakeFromEngine() {
  std::array<char, kTakeChunk> chunk{};
  for (;;) {
    std::optional<UartEvent> event;
    const std::size_t n = engine_.Take(chunk.data(), chunk.size(), event);
    if (n != 0) {
      const std::string_view bytes(chunk.data(), n);
      receivedTotal_ += n;
      capture_.Write(bytes, WallClockNs());
      // Software flow control: the board's XOFF holds what the client sends.
      const std::string_view forClient = flow_.Receive(bytes);
      engine_.HoldSending(flow_.SendingHeld());
      if (const std::size_t dropped = received_.Add(forClient)) NoteDropped(dropped);
    }
    if (event) Said(*event);
    if (n == 0 && !event) return;
  }
}

void Bridge::Said(const UartEvent& event) {
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

void Bridge::ReadClient(std::uint64_t now) {
  const std::size_t room = kReadAhead > pending_.size() ? kReadAhead - pending_.size() : 0;
  if (room == 0) return;
  PtyPort::Input input = pty_.Read(room);
  // A flush of the client's output throws nothing away: a pseudo-terminal
  // reports no drain, so bytes a client wrote and drained before flushing
  // (as lrzsz's last "OO" before its exit) cannot be told from bytes it
  // wants gone, and a serial port would have sent the former.
  if (input.flushedInput && client_.Ready() && !received_.Empty()) {
    // A client that flushes its input after settling asks for what it has not
    // read to go, as on a serial port.
    BridgeSay("a client flushed its input: " + Count(received_.Size(), "received byte") +
              " it had not taken were discarded");
    discardedByClients_ += received_.Size();
    received_.Consume(received_.Size());
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
    engine_.HoldSending(flow_.SendingHeld());
  }
}

void Bridge::FeedEngine() {
  if (pending_.empty()) return;
  pending_.erase(0, engine_.Send(pending_));
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
  if (!engine_.ChangeSpeed(taken_, static_cast<std::int32_t>(*speed))) {
    BridgeSay("a client asked for " + std::to_string(*speed) +
              " baud while too many speed changes waited; it stays at " +
              std::to_string(askedBaud_));
    return;
  }
  askedBaud_ = static_cast<std::int32_t>(*speed);
}

void Bridge::Deliver() {
  if (!client_.Ready()) return;
  while (!received_.Empty()) {
    const std::size_t written = pty_.Write(received_.Front(kWriteSlice));
    if (written == 0) break;
    received_.Consume(written);
    deliveredTotal_ += written;
  }
  if (received_.Empty()) EndDropping();
}

void Bridge::ClientChange(ClientWatch::Change change) {
  switch (change) {
    case ClientWatch::Change::kNone:
      return;
    case ClientWatch::Change::kArrived:
      BridgeSay("a client opened " + pty_.LinkPath());
      return;
    case ClientWatch::Change::kSettled:
      if (!received_.Empty()) {
        BridgeSay("handing over " + Count(received_.Size(), "kept byte"));
      }
      EndDropping();
      return;
    case ClientWatch::Change::kLeft:
      BridgeSay("the last client closed " + pty_.LinkPath() + "; received bytes are kept (up to " +
                Count(received_.Limit(), "byte") + ")");
      return;
  }
}

void Bridge::NoteDropped(std::size_t dropped) {
  if (!dropping_) {
    dropping_ = true;
    droppedInEpisode_ = 0;
    BridgeSay(std::string(client_.Ready() ? "the client takes less than the line brings"
                                          : "no client reads") +
              ": more than " + Count(received_.Limit(), "received byte") +
              " wait; the oldest are dropped");
  }
  droppedInEpisode_ += dropped;
}

void Bridge::EndDropping() {
  if (!dropping_) return;
  dropping_ = false;
  BridgeSay(Count(droppedInEpisode_, "received byte") + " were dropped");
}

void Bridge::Summary() const {
  std::string text = "received " + Count(receivedTotal_, "byte") + ", handed " +
                     std::to_string(deliveredTotal_) + " to clients, sent " +
                     Count(engine_.Sent(), "client byte") + " to the board";
  if (received_.Dropped() != 0) {
    text += "; " + std::to_string(received_.Dropped()) + " received bytes were dropped";
  }
  if (!received_.Empty()) text += "; " + std::to_string(received_.Size()) + " were never taken";
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
  UartInit(UartClockHz, setup.baud, UartPort, UartRegBase);

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
    UartEngine::Options options{};
    options.port = UartPort;
    options.regBase = UartRegBase;
    options.baud = setup.baud;
    UartEngine engine(options, TaskClockNs, nullptr);
    Bridge bridge(setup, *pty, capture, engine);
    {
      TaskRunner engineThread(engine, {true, [&engine] { engine.PrepareThread(); }});
      // This thread reads the clients' bytes at once too: a client that
      // writes and then flushes (lrzsz) loses what the bridge has not read.
      const TimelyWakeups wakeups(TimelyWakeups::Ask::kRealTimeWhenPermitted);
      bridge.Run();
    }
    bridge.TakeFromEngine();
    bridge.Summary();
  }
  BridgeSay(std::string("ending on ") + ::strsignal(stopSignal) + ": routing 0, board closed");
  BoardRegWrite(port, kUartRouteReg, 0);
  ClosePcieDllAccess();
  pty.reset();
  return 0;
}
