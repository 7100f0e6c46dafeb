// The C entry points of libPCIAccessDll.so for real boards: a thin layer over
// SysfsPci with one process-wide device, since the program opens one board.

#include <cstdint>

#include "pcie-linux/sysfs_log.h"
#include "pcie-linux/sysfs_pci.h"

// The library is built with hidden visibility; only these names are exported.
#pragma GCC visibility push(default)
#include "PCIAccessDll.h"
#pragma GCC visibility pop

namespace {

using q7m::pcie_linux::SysfsPci;

SysfsPci& Device() {
  static SysfsPci device(q7m::pcie_linux::AppendLogLine);
  return device;
}

std::int32_t ReadResult(const std::optional<std::uint32_t>& value) {
  return value ? static_cast<std::int32_t>(*value) : -1;
}

}  // namespace

extern "C" {

int32_t InitPCIAccess(int32_t vendorId, int32_t deviceId, int32_t reserved) {
  return Device().Open(vendorId, deviceId, reserved);
}

int32_t Close(void) {
  Device().Close();
  return 0;
}

// A dword of 0xFFFFFFFF reads as -1 like a failure; the log tells them apart.
int32_t ReadDW(uint32_t offset, int32_t bar) {
  return ReadResult(Device().Read("ReadDW", bar, offset, 4));
}

int32_t WriteDW(uint32_t value, uint32_t offset, int32_t bar) {
  return Device().Write("WriteDW", bar, offset, 4, value) ? 0 : -1;
}

int32_t ReadW(uint32_t offset, int32_t bar) {
  return ReadResult(Device().Read("ReadW", bar, offset, 2));
}

int32_t WriteW(uint32_t value, uint32_t offset, int32_t bar) {
  return Device().Write("WriteW", bar, offset, 2, value & 0xFFFFu) ? 0 : -1;
}

int32_t ReadB(uint32_t offset, int32_t bar) {
  return ReadResult(Device().Read("ReadB", bar, offset, 1));
}

int32_t WriteB(uint32_t value, uint32_t offset, int32_t bar) {
  return Device().Write("WriteB", bar, offset, 1, value & 0xFFu) ? 0 : -1;
}

int32_t ReadDWBuffer(void* buffer, int32_t count, uint32_t offset, int32_t bar) {
  return Device().ReadBlock(bar, offset, buffer, count) ? 0 : -1;
}

int32_t WriteDWBuffer(const void* buffer, int32_t count, uint32_t offset, int32_t bar) {
  return Device().WriteBlock(bar, offset, buffer, count) ? 0 : -1;
}

int32_t AllocateMemory(void** address, int32_t size) {
  if (address != nullptr) *address = nullptr;
  Device().Log("AllocateMemory(" + std::to_string(size) +
               "): DMA memory is not offered through sysfs; this library cannot allocate "
               "memory that the board can reach");
  return -1;
}

int32_t ReleaseMemory(void* address) {
  (void)address;
  Device().Log(
      "ReleaseMemory: DMA memory is not offered through sysfs, so there is nothing to release");
  return -1;
}

int32_t ReadWriteConfigSpace(void* buffer, int32_t count, int32_t offset, int32_t direction) {
  return Device().ConfigAccess(buffer, count, offset, direction);
}

// The two further arguments are reserved: only 0 is accepted, so that a
// later meaning cannot be mistaken for today's.
int32_t Mmap(void** base, int32_t reserved1, int32_t reserved2) {
  if (reserved1 != 0 || reserved2 != 0) {
    if (base != nullptr) *base = nullptr;
    Device().Log("Mmap: the second and third arguments must be 0 (got " +
                 std::to_string(reserved1) + " and " + std::to_string(reserved2) + ")");
    return -1;
  }
  return Device().Map(base);
}

int32_t MUnmap(void* base) {
  return Device().Unmap(base);
}

}  // extern "C"
