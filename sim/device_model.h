// Device model of the simulated Q7M board: configuration space, BAR 0 memory
// with the I/O window and set-up block, and the UART behind port 0x352.
// Plain code: no I/O, no signals, no threads. Time is handed in by the caller
// (nanoseconds), and the model catches up lazily on each access.
#ifndef Q7M_SIM_DEVICE_MODEL_H
#define Q7M_SIM_DEVICE_MODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "sim/bounded_log.h"

namespace q7m::sim {

inline constexpr std::uint16_t kVendorId = 0x1172;
inline constexpr std::uint16_t kDeviceId = 0x5680;
inline constexpr std::uint32_t kConfigSize = 256;
inline constexpr std::uint32_t kBarSize = 0x20000;
inline constexpr std::uint32_t kIoWindowOffset = 0x1B000;
inline constexpr std::uint32_t kIoWindowSize = 0x1000;
inline constexpr std::uint32_t kSetupBlockOffset = 0x1C000;
inline constexpr std::uint32_t kSetupBlockSize = 16;
inline constexpr std::uint16_t kAuxPort = 0x2A4;
inline constexpr std::uint16_t kRegDataPort = 0x352;
inline constexpr std::uint16_t kRegIndexPort = 0x353;
inline constexpr std::uint64_t kUartClockHz = 125'000'000;
inline constexpr std::size_t kRxFifoSize = 127;
inline constexpr std::size_t kAccessLogLimit = 1'000'000;
inline constexpr std::size_t kTxLogLimit = 1'000'000;
inline constexpr std::uint8_t kRouteCount = 6;

// Registers of the indexed file behind port 0x352.
enum Reg : std::uint8_t {
  kRegDivLo = 0,
  kRegDivHi = 1,
  kRegTxData = 2,  // write: data; read: status, bit 1 = busy
  kRegCtrl = 3,
  kRegRxData = 4,
  kRegRxStatus = 5,   // bits 0-6 bytes waiting, bit 7 error pending
  kRegErrStatus = 6,  // bit 0 framing, bit 7 overflow; write 1s to clear
  kRegVscReset = 7,
  kRegUartRoute = 8,
};

inline constexpr std::uint8_t kTxBusy = 0x02;
inline constexpr std::uint8_t kErrFraming = 0x01;
inline constexpr std::uint8_t kErrOverflow = 0x80;

struct AccessRecord {
  std::uint64_t timeNs;
  std::uint32_t offset;  // from the start of BAR 0
  std::uint8_t value;
  bool isWrite;
  bool wide;
};

struct TxRecord {
  std::uint8_t byte;
  std::uint64_t startNs;
};

// The receive line into the board UART as a remote end sees it.
class Wire {
 public:
  virtual ~Wire() = default;
  // Puts bytes on the line behind whatever is already on it, each taking one
  // character time (10 bits) at `baud`. A baud rate that differs from the
  // UART's programmed rate by more than 3% gives garbled bytes and framing
  // errors, as a real receiver would.
  virtual void Send(std::string_view bytes, std::uint32_t baud, std::uint64_t nowNs) = 0;
  // As Send, but the first byte starts at `startNs` (or when the line is
  // free), even when that lies before the model's present: a remote end that
  // talks continuously while nobody touches the board dates its bytes to when
  // they were really on the line. `startNs` must not lie before the previous
  // Advance; the hooks' own time arguments satisfy that.
  virtual void SendAt(std::string_view bytes, std::uint32_t baud, std::uint64_t startNs) = 0;
  // The rate the UART is programmed for (rounded), 0 before a divisor is set.
  virtual std::uint32_t UartBaud() const = 0;
  // When the last byte queued so far will have arrived.
  virtual std::uint64_t LineFreeNs() const = 0;
};

// Something at the far end of the UART: a console that the route register
// connects, or a bridge to a real program. All hooks run inside a board
// access, so they must be quick and must not block.
class RemoteEnd {
 public:
  virtual ~RemoteEnd() = default;
  // The route register now connects this end to the UART. `wire` stays valid
  // until OnDisconnect.
  virtual void OnConnect(Wire& wire, std::uint64_t nowNs) {
    (void)wire;
    (void)nowNs;
  }
  virtual void OnDisconnect(std::uint64_t nowNs) { (void)nowNs; }
  // A byte the UART sent has fully arrived (end of its stop bit). Only the
  // connected end gets these.
  virtual void OnTransmit(std::uint8_t byte, std::uint64_t doneNs) = 0;
  // A VSC7420 reset pulse ended (write of 1, then 0, to register 7). Every
  // attached end hears it, connected or not.
  virtual void OnVscReset(std::uint64_t nowNs) { (void)nowNs; }
  // Called before each board access so that an end can produce timed output
  // or poll a file descriptor without a thread of its own.
  virtual void Advance(std::uint64_t nowNs) { (void)nowNs; }
};

class DeviceModel final : public Wire {
 public:
  DeviceModel();
  ~DeviceModel() override;
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;

  // Power-on state; logs and counters emptied. Attached remote ends stay.
  void Reset(std::uint64_t nowNs);

  // Catches up with `nowNs`: remote ends run and wire bytes whose arrival
  // time has come enter the receive FIFO. Every access does this first.
  void Advance(std::uint64_t nowNs);

  // One byte of BAR 0, logged. Offsets outside BAR 0 read 0xFF and are not
  // logged; writes there are dropped.
  std::uint8_t Read(std::uint32_t offset, std::uint64_t nowNs);
  void Write(std::uint32_t offset, std::uint8_t value, std::uint64_t nowNs);
  // Marks the last logged access as part of a wider instruction.
  void MarkLastAccessWide();

  // Configuration space; false when the range is out of bounds.
  bool ConfigRead(std::uint32_t offset, std::uint32_t count, std::uint8_t* out) const;
  bool ConfigWrite(std::uint32_t offset, std::uint32_t count, const std::uint8_t* in);
  void SetDeviceId(std::uint16_t deviceId);
  std::uint16_t VendorId() const;
  std::uint16_t DeviceId() const;
  std::uint64_t ConfigWriteCount() const { return configWrites_; }

  // Wire.
  void Send(std::string_view bytes, std::uint32_t baud, std::uint64_t nowNs) override;
  void SendAt(std::string_view bytes, std::uint32_t baud, std::uint64_t startNs) override;
  std::uint32_t UartBaud() const override;
  std::uint64_t LineFreeNs() const override { return lineFreeNs_; }
  // Bytes that reach the receive FIFO at once (overflow still applies).
  void Inject(std::string_view bytes, std::uint64_t nowNs);

  // Remote ends per route value; the same end may serve several routes.
  void AttachRemote(std::uint8_t route, std::shared_ptr<RemoteEnd> remote);

  // Inspection.
  const BoundedLog<AccessRecord>& AccessLog() const { return accessLog_; }
  void ClearAccessLog() { accessLog_.clear(); }
  const std::deque<TxRecord>& TxLog() const { return txLog_; }
  void ClearTxLog() { txLog_.clear(); }
  std::uint8_t PortValue(std::uint16_t port) const;
  std::uint8_t RegValue(std::uint8_t index) const { return regs_[index]; }
  std::uint8_t RegIndex() const { return regIndex_; }
  std::uint16_t Divisor() const;
  bool UartEnabled() const { return uartEnabled_; }
  std::uint64_t CharTimeNs() const;  // 10 bits at the programmed divisor
  std::uint64_t TxBusyUntilNs() const { return txBusyUntilNs_; }
  std::size_t RxFifoLevel() const { return rxFifo_.size(); }
  std::uint8_t ErrorFlags() const { return errFlags_; }
  std::uint64_t RxLostCount() const { return rxLost_; }
  std::uint64_t RxOverflowEvents() const { return rxOverflowEvents_; }
  std::uint64_t RxFramingErrors() const { return rxFramingErrors_; }
  std::size_t WireBacklog() const { return wire_.size(); }
  std::uint64_t VscResetPulses() const { return vscResetPulses_; }
  std::uint64_t LastVscResetWidthNs() const { return lastVscResetWidthNs_; }
  std::uint8_t Route() const { return regs_[kRegUartRoute]; }
  // The end the route register connects now, or null (route 2 by default).
  RemoteEnd* Connected() const { return connected_; }
  std::uint64_t NowNs() const { return lastNowNs_; }
  void SetupBlock(std::uint8_t values[kSetupBlockSize],
                  std::uint8_t written[kSetupBlockSize]) const;

 private:
  struct WireByte {
    std::uint8_t byte;
    std::uint64_t arrivalNs;
    std::uint32_t baud;
  };

  std::uint8_t ReadPort(std::uint16_t port, std::uint64_t nowNs);
  void WritePort(std::uint16_t port, std::uint8_t value, std::uint64_t nowNs);
  std::uint8_t ReadReg(std::uint8_t index, std::uint64_t nowNs);
  void WriteReg(std::uint8_t index, std::uint8_t value, std::uint64_t nowNs);
  void Receive(std::uint8_t byte, bool framingError);
  void Connect(std::uint8_t route, std::uint64_t nowNs);
  void DeliverTransmitted(std::uint64_t nowNs);
  void Log(std::uint64_t nowNs, std::uint32_t offset, std::uint8_t value, bool isWrite);

  std::array<std::uint8_t, kConfigSize> config_{};
  std::uint64_t configWrites_ = 0;
  std::string bar_;  // BAR 0 bytes, kBarSize long
  std::array<std::uint8_t, kSetupBlockSize> setupWritten_{};
  std::array<std::uint8_t, 256> regs_{};  // last value written per index
  std::uint8_t regIndex_ = 0;
  std::uint8_t lastDataWrite_ = 0;
  bool uartEnabled_ = false;

  std::uint64_t lastNowNs_ = 0;
  std::uint64_t txBusyUntilNs_ = 0;
  std::deque<TxRecord> txLog_;
  std::deque<std::pair<std::uint8_t, std::uint64_t>> txInFlight_;  // byte, done time

  std::deque<std::uint8_t> rxFifo_;
  std::deque<WireByte> wire_;
  std::uint64_t lineFreeNs_ = 0;
  std::uint8_t errFlags_ = 0;
  std::uint64_t rxLost_ = 0;
  std::uint64_t rxOverflowEvents_ = 0;
  std::uint64_t rxFramingErrors_ = 0;

  bool vscResetHigh_ = false;
  std::uint64_t vscResetRiseNs_ = 0;
  std::uint64_t vscResetPulses_ = 0;
  std::uint64_t lastVscResetWidthNs_ = 0;

  std::array<std::shared_ptr<RemoteEnd>, kRouteCount> remotes_;
  RemoteEnd* connected_ = nullptr;

  BoundedLog<AccessRecord> accessLog_{kAccessLogLimit};
};

// What a UART programmed for `rxBaud` makes of `byte` sent at `wireBaud`:
// the bits sampled at the receiver's bit centres. Exposed for tests.
std::uint8_t SampleMismatchedByte(std::uint8_t byte, double wireBaud, double rxBaud);

}  // namespace q7m::sim

#endif
