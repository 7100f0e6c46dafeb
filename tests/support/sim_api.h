#pragma once
// The simulated board's inspection functions, looked up in the library that
// the binding loaded (the program itself never does this).

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_control.h"

struct SimApi {
#define Q7M_SIM_FUNCTION(name) decltype(&::name) name = nullptr;
// clang-format off
#define Q7M_SIM_FUNCTIONS(X) \
  X(SimSetClock) \
  X(SimNowNs) \
  X(SimReset) \
  X(SimAccessCount) \
  X(SimAccessGet) \
  X(SimAccessClear) \
  X(SimPortValue) \
  X(SimRegValue) \
  X(SimRegIndex) \
  X(SimUartDivisor) \
  X(SimUartEnabled) \
  X(SimTxCount) \
  X(SimTxGet) \
  X(SimTxClear) \
  X(SimTxBusyUntilNs) \
  X(SimRxInject) \
  X(SimRxWire) \
  X(SimRxFifoLevel) \
  X(SimRxLostCount) \
  X(SimRxOverflowEvents) \
  X(SimRxFramingErrors) \
  X(SimConfigRead) \
  X(SimConfigSetDeviceId) \
  X(SimConfigSetReadLimit) \
  X(SimConfigWriteCount) \
  X(SimSetupBlockRead) \
  X(SimGetCallCounts) \
  X(SimCloseOrder) \
  X(SimVscResetPulses) \
  X(SimVscResetWidthNs)
  // clang-format on
  Q7M_SIM_FUNCTIONS(Q7M_SIM_FUNCTION)
#undef Q7M_SIM_FUNCTION

  explicit SimApi(void* handle) {
    if (handle == nullptr) throw std::runtime_error("simulated board library not loaded");
#define Q7M_SIM_RESOLVE(name)                                       \
  name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  if (name == nullptr) throw std::runtime_error("simulated board lacks " #name);
    Q7M_SIM_FUNCTIONS(Q7M_SIM_RESOLVE)
#undef Q7M_SIM_RESOLVE
  }

  std::vector<SimAccess> Accesses() const {
    std::vector<SimAccess> log(SimAccessCount());
    for (std::size_t i = 0; i < log.size(); ++i) SimAccessGet(i, &log[i]);
    return log;
  }

  struct TxByte {
    std::uint8_t byte;
    std::uint64_t startNs;
  };
  std::vector<TxByte> Transmitted() const {
    std::vector<TxByte> bytes(SimTxCount());
    for (std::size_t i = 0; i < bytes.size(); ++i) SimTxGet(i, &bytes[i].byte, &bytes[i].startNs);
    return bytes;
  }
  std::string TransmittedText() const {
    std::string text;
    for (const auto& tx : Transmitted()) text.push_back(static_cast<char>(tx.byte));
    return text;
  }
  // Writes through the register file at port 0x352 as (index, value): an
  // index store at 0x353 directly followed by a data store at 0x352.
  std::vector<std::pair<int, int>> RegisterWrites() const {
    std::vector<std::pair<int, int>> writes;
    const auto log = Accesses();
    for (std::size_t i = 0; i + 1 < log.size(); ++i) {
      if (log[i].isWrite && log[i].offset == 0x1B353 && log[i + 1].isWrite &&
          log[i + 1].offset == 0x1B352) {
        writes.emplace_back(log[i].value, log[i + 1].value);
        ++i;
      }
    }
    return writes;
  }
  void Inject(std::string_view bytes) const {
    SimRxInject(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
};
#undef Q7M_SIM_FUNCTIONS

inline std::string SimLibraryPath(const std::string& variant = {}) {
  if (variant.empty()) return std::string(Q7M_BUILD_DIR) + "/sim/libPCIAccessDll.so";
  return std::string(Q7M_BUILD_DIR) + "/sim-variants/" + variant + "/libPCIAccessDll.so";
}
