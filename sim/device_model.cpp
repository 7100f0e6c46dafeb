#include "sim/device_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace q7m::sim {
namespace {

// Tolerance of a receiver to a baud mismatch before it loses bit sync.
constexpr double kBaudTolerance = 0.03;
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
constexpr std::uint32_t kBar0Address = 0xF7E00000;  // aligned to the BAR size
constexpr std::uint32_t kCounterBytes = 4;

void Put16(std::array<std::uint8_t, kConfigSize>& c, std::size_t at, std::uint16_t v) {
  c[at] = static_cast<std::uint8_t>(v & 0xFF);
  c[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::array<std::uint8_t, kConfigSize>& c, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) c[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::array<std::uint8_t, kConfigSize> PowerOnConfig() {
  std::array<std::uint8_t, kConfigSize> c{};
  Put16(c, 0x00, kVendorId);
  Put16(c, 0x02, kDeviceId);
  Put16(c, 0x04, 0x0006);  // memory space and bus master enabled
  Put16(c, 0x06, 0x0000);
  c[0x08] = 0x01;                // revision
  c[0x09] = 0x00;                // programming interface
  c[0x0A] = 0x80;                // subclass: other
  c[0x0B] = 0x11;                // class: signal processing controller
  c[0x0C] = 0x10;                // cache line size
  c[0x0E] = 0x00;                // header type 0
  Put32(c, 0x10, kBar0Address);  // 32-bit, non-prefetchable memory
  Put16(c, 0x2C, kVendorId);     // subsystem vendor
  Put16(c, 0x2E, 0x0004);        // subsystem
  c[0x3C] = 0x0B;                // interrupt line
  c[0x3D] = 0x01;                // INTA
  return c;
}

bool ConfigByteWritable(std::uint32_t offset) {
  // Identity, class, header type and the unimplemented BARs are read-only.
  if (offset < 0x04) return false;
  if (offset >= 0x08 && offset < 0x0C) return false;
  if (offset == 0x0E) return false;
  if (offset >= 0x14 && offset < 0x28) return false;
  if (offset >= 0x2C && offset < 0x30) return false;
  return true;
}

}  // namespace

std::uint8_t SampleMismatchedByte(std::uint8_t byte, double wireBaud, double rxBaud) {
  // Receiver bit k (0 = start, 1..8 = data, 9 = stop) is sampled at the
  // middle of its own bit time; see which transmitted bit is on the line then.
  const double ratio = rxBaud > 0 ? wireBaud / rxBaud : 1e9;
  std::uint8_t out = 0;
  for (int k = 1; k <= 8; ++k) {
    const double idx = std::floor((k + 0.5) * ratio);
    int bit = 1;  // stop bit and idle line
    if (idx < 1) {
      bit = 0;  // still the start bit
    } else if (idx <= 8) {
      bit = (byte >> (static_cast<int>(idx) - 1)) & 1;
    }
    out = static_cast<std::uint8_t>(out | (bit << (k - 1)));
  }
  // Inside the mismatch band a real receiver slips at least the last bit even
  // when mid-bit sampling happens to read the byte right.
  if (out == byte) out ^= 0x80;
  return out;
}

DeviceModel::DeviceModel() {
  Reset(0);
}

DeviceModel::~DeviceModel() = default;

void DeviceModel::Reset(std::uint64_t nowNs) {
  if (connected_ != nullptr) connected_->OnDisconnect(nowNs);
  connected_ = nullptr;
  config_ = PowerOnConfig();
  configWrites_ = 0;
  bar_.assign(kBarSize, '\0');
  setupWritten_.fill(0);
  regs_.fill(0);
  regIndex_ = 0;
  lastDataWrite_ = 0;
  uartEnabled_ = false;
  lastNowNs_ = nowNs;
  txBusyUntilNs_ = 0;
  txLog_.clear();
  txInFlight_.clear();
  rxFifo_.clear();
  wire_.clear();
  lineFreeNs_ = 0;
  errFlags_ = 0;
  rxLost_ = 0;
  rxOverflowEvents_ = 0;
  rxFramingErrors_ = 0;
  vscResetHigh_ = false;
  vscResetRiseNs_ = 0;
  vscResetPulses_ = 0;
  lastVscResetWidthNs_ = 0;
  accessLog_.clear();
  Connect(0, nowNs);
}

void DeviceModel::Advance(std::uint64_t nowNs) {
  // A clock that steps back (a test resetting its virtual clock) must not
  // move the board backwards.
  nowNs = std::max(nowNs, lastNowNs_);
  lastNowNs_ = nowNs;
  DeliverTransmitted(nowNs);
  std::array<RemoteEnd*, kRouteCount> seen{};
  for (std::size_t i = 0; i < kRouteCount; ++i) {
    RemoteEnd* r = remotes_[i].get();
    if (r == nullptr || std::find(seen.begin(), seen.end(), r) != seen.end()) continue;
    seen[i] = r;
    r->Advance(nowNs);
  }
  while (!wire_.empty() && wire_.front().arrivalNs <= nowNs) {
    const WireByte w = wire_.front();
    wire_.pop_front();
    const std::uint16_t div = Divisor();
    const double rxBaud = div == 0 ? 0.0 : static_cast<double>(kUartClockHz) / div;
    const bool framing =
        rxBaud <= 0 || std::fabs(static_cast<double>(w.baud) / rxBaud - 1.0) > kBaudTolerance;
    Receive(framing ? SampleMismatchedByte(w.byte, w.baud, rxBaud) : w.byte, framing);
  }
}

void DeviceModel::DeliverTransmitted(std::uint64_t nowNs) {
  while (!txInFlight_.empty() && txInFlight_.front().second <= nowNs) {
    const auto [byte, doneNs] = txInFlight_.front();
    txInFlight_.pop_front();
    if (connected_ != nullptr) connected_->OnTransmit(byte, doneNs);
  }
}

void DeviceModel::Receive(std::uint8_t byte, bool framingError) {
  if (framingError) {
    ++rxFramingErrors_;
    errFlags_ |= kErrFraming;
  }
  if (rxFifo_.size() >= kRxFifoSize) {
    ++rxLost_;
    if ((errFlags_ & kErrOverflow) == 0) ++rxOverflowEvents_;
    errFlags_ |= kErrOverflow;
    return;
  }
  rxFifo_.push_back(byte);
}

void DeviceModel::Send(std::string_view bytes, std::uint32_t baud, std::uint64_t nowNs) {
  if (baud == 0 || bytes.empty()) return;
  SendAt(bytes, baud, std::max(nowNs, lastNowNs_));
}

void DeviceModel::SendAt(std::string_view bytes, std::uint32_t baud, std::uint64_t startNs) {
  if (baud == 0 || bytes.empty()) return;
  const std::uint64_t start = std::max(startNs, lineFreeNs_);
  // Each arrival from the start time, not from the previous byte, so that
  // rounding does not accumulate over a long burst.
  const std::uint64_t tenBitsNs = 10 * kNsPerSecond;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint64_t arrival = start + ((i + 1) * tenBitsNs) / baud;
    wire_.push_back({static_cast<std::uint8_t>(bytes[i]), arrival, baud});
  }
  lineFreeNs_ = wire_.back().arrivalNs;
}

void DeviceModel::Inject(std::string_view bytes, std::uint64_t nowNs) {
  Advance(nowNs);
  for (char c : bytes) Receive(static_cast<std::uint8_t>(c), false);
}

void DeviceModel::AttachRemote(std::uint8_t route, std::shared_ptr<RemoteEnd> remote) {
  if (route >= kRouteCount) return;
  const bool current = route == Route();
  if (current && connected_ != nullptr) {
    connected_->OnDisconnect(lastNowNs_);
    connected_ = nullptr;
  }
  remotes_[route] = std::move(remote);
  if (current) Connect(route, lastNowNs_);
}

void DeviceModel::Connect(std::uint8_t route, std::uint64_t nowNs) {
  RemoteEnd* next = route < kRouteCount ? remotes_[route].get() : nullptr;
  if (next == connected_) return;
  if (connected_ != nullptr) connected_->OnDisconnect(nowNs);
  connected_ = next;
  if (connected_ != nullptr) connected_->OnConnect(*this, nowNs);
}

void DeviceModel::Log(std::uint64_t nowNs, std::uint32_t offset, std::uint8_t value, bool isWrite) {
  accessLog_.push_back({nowNs, offset, value, isWrite, false});
}

void DeviceModel::MarkLastAccessWide() {
  if (!accessLog_.empty()) accessLog_.back().wide = true;
}

std::uint8_t DeviceModel::Read(std::uint32_t offset, std::uint64_t nowNs) {
  if (offset >= kBarSize) return 0xFF;
  Advance(nowNs);
  nowNs = lastNowNs_;
  std::uint8_t value = 0;
  if (offset < kCounterBytes) {
    const std::uint64_t ms = nowNs / 1'000'000;
    value = static_cast<std::uint8_t>(ms >> (8 * offset));
  } else if (offset >= kIoWindowOffset && offset < kIoWindowOffset + kIoWindowSize) {
    value = ReadPort(static_cast<std::uint16_t>(offset - kIoWindowOffset), nowNs);
  } else {
    value = static_cast<std::uint8_t>(bar_[offset]);
  }
  Log(nowNs, offset, value, false);
  return value;
}

void DeviceModel::Write(std::uint32_t offset, std::uint8_t value, std::uint64_t nowNs) {
  if (offset >= kBarSize) return;
  Advance(nowNs);
  nowNs = lastNowNs_;
  Log(nowNs, offset, value, true);
  if (offset < kCounterBytes) return;  // the counter runs on its own
  if (offset >= kIoWindowOffset && offset < kIoWindowOffset + kIoWindowSize) {
    WritePort(static_cast<std::uint16_t>(offset - kIoWindowOffset), value, nowNs);
    return;
  }
  bar_[offset] = static_cast<char>(value);
  if (offset >= kSetupBlockOffset && offset < kSetupBlockOffset + kSetupBlockSize) {
    setupWritten_[offset - kSetupBlockOffset] = 1;
  }
}

std::uint8_t DeviceModel::ReadPort(std::uint16_t port, std::uint64_t nowNs) {
  if (port == kRegIndexPort) return regIndex_;
  if (port == kRegDataPort) return ReadReg(regIndex_, nowNs);
  return static_cast<std::uint8_t>(bar_[kIoWindowOffset + port]);
}

void DeviceModel::WritePort(std::uint16_t port, std::uint8_t value, std::uint64_t nowNs) {
  if (port == kRegIndexPort) {
    regIndex_ = value;
  } else if (port == kRegDataPort) {
    lastDataWrite_ = value;
    WriteReg(regIndex_, value, nowNs);
  } else {
    bar_[kIoWindowOffset + port] = static_cast<char>(value);
  }
}

std::uint8_t DeviceModel::PortValue(std::uint16_t port) const {
  if (port >= kIoWindowSize) return 0;
  if (port == kRegIndexPort) return regIndex_;
  if (port == kRegDataPort) return lastDataWrite_;
  return static_cast<std::uint8_t>(bar_[kIoWindowOffset + port]);
}

std::uint8_t DeviceModel::ReadReg(std::uint8_t index, std::uint64_t nowNs) {
  switch (index) {
    case kRegTxData:
      return nowNs < txBusyUntilNs_ ? kTxBusy : 0;
    case kRegRxData: {
      if (rxFifo_.empty()) return 0;
      const std::uint8_t b = rxFifo_.front();
      rxFifo_.pop_front();
      return b;
    }
    case kRegRxStatus:
      return static_cast<std::uint8_t>(std::min(rxFifo_.size(), kRxFifoSize) |
                                       (errFlags_ != 0 ? 0x80 : 0));
    case kRegErrStatus:
      return errFlags_;
    default:
      // Write-only and unused registers read back what was written last.
      return regs_[index];
  }
}

void DeviceModel::WriteReg(std::uint8_t index, std::uint8_t value, std::uint64_t nowNs) {
  regs_[index] = value;
  switch (index) {
    case kRegTxData: {
      const std::uint64_t start = std::max(nowNs, txBusyUntilNs_);
      txBusyUntilNs_ = start + CharTimeNs();
      if (txLog_.size() >= kTxLogLimit) txLog_.pop_front();
      txLog_.push_back({value, start});
      txInFlight_.emplace_back(value, txBusyUntilNs_);
      break;
    }
    case kRegCtrl:
      uartEnabled_ = (value & 1) != 0;
      break;
    case kRegErrStatus:
      errFlags_ &= static_cast<std::uint8_t>(~(value & (kErrFraming | kErrOverflow)));
      break;
    case kRegVscReset:
      if ((value & 1) != 0) {
        if (!vscResetHigh_) vscResetRiseNs_ = nowNs;
        vscResetHigh_ = true;
      } else if (vscResetHigh_) {
        vscResetHigh_ = false;
        ++vscResetPulses_;
        lastVscResetWidthNs_ = nowNs - vscResetRiseNs_;
        std::array<RemoteEnd*, kRouteCount> told{};
        for (std::size_t i = 0; i < kRouteCount; ++i) {
          RemoteEnd* r = remotes_[i].get();
          if (r == nullptr || std::find(told.begin(), told.end(), r) != told.end()) continue;
          told[i] = r;
          r->OnVscReset(nowNs);
        }
      }
      break;
    case kRegUartRoute:
      Connect(value, nowNs);
      break;
    default:
      break;
  }
}

std::uint16_t DeviceModel::Divisor() const {
  return static_cast<std::uint16_t>(regs_[kRegDivLo] | (regs_[kRegDivHi] << 8));
}

std::uint32_t DeviceModel::UartBaud() const {
  const std::uint16_t div = Divisor();
  return div == 0 ? 0 : static_cast<std::uint32_t>((kUartClockHz + div / 2) / div);
}

std::uint64_t DeviceModel::CharTimeNs() const {
  // 10 bits * divisor / 125 MHz = 80 ns per divisor step, exactly.
  return 10 * kNsPerSecond / kUartClockHz * Divisor();
}

bool DeviceModel::ConfigRead(std::uint32_t offset, std::uint32_t count, std::uint8_t* out) const {
  if (offset > kConfigSize || count > kConfigSize - offset) return false;
  if (count > 0 && out == nullptr) return false;
  if (count > 0) std::memcpy(out, config_.data() + offset, count);
  return true;
}

bool DeviceModel::ConfigWrite(std::uint32_t offset, std::uint32_t count, const std::uint8_t* in) {
  if (offset > kConfigSize || count > kConfigSize - offset) return false;
  if (count > 0 && in == nullptr) return false;
  ++configWrites_;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t at = offset + i;
    if (!ConfigByteWritable(at)) continue;
    std::uint8_t v = in[i];
    // BAR 0 decodes kBarSize bytes: the low address bits read back as zero,
    // so the usual size probe (write all ones, read back) works.
    if (at >= 0x10 && at < 0x14) {
      const std::uint32_t mask = ~(kBarSize - 1);
      v = static_cast<std::uint8_t>(v & (mask >> (8 * (at - 0x10))));
    }
    config_[at] = v;
  }
  return true;
}

void DeviceModel::SetDeviceId(std::uint16_t deviceId) {
  Put16(config_, 0x02, deviceId);
}

std::uint16_t DeviceModel::VendorId() const {
  return static_cast<std::uint16_t>(config_[0] | (config_[1] << 8));
}

std::uint16_t DeviceModel::DeviceId() const {
  return static_cast<std::uint16_t>(config_[2] | (config_[3] << 8));
}

void DeviceModel::SetupBlock(std::uint8_t values[kSetupBlockSize],
                             std::uint8_t written[kSetupBlockSize]) const {
  for (std::uint32_t i = 0; i < kSetupBlockSize; ++i) {
    if (values != nullptr) values[i] = static_cast<std::uint8_t>(bar_[kSetupBlockOffset + i]);
    if (written != nullptr) written[i] = setupWritten_[i];
  }
}

}  // namespace q7m::sim
