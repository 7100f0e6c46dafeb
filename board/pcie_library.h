#pragma once
// Binding of the PCIe access library, loaded at run time by name: the entry
// points, the mapped board memory and the copy of the configuration space.

#include <array>
#include <cstdint>
#include <string>

#include "PCIAccessDll.h"

// One slot per entry point, filled by name when the library is loaded; a slot
// stays null when the library does not export the name.
struct PcieEntryPoints {
  decltype(&::InitPCIAccess) InitPCIAccess = nullptr;
  decltype(&::Close) Close = nullptr;
  decltype(&::ReadDW) ReadDW = nullptr;
  decltype(&::WriteDW) WriteDW = nullptr;
  decltype(&::ReadW) ReadW = nullptr;
  decltype(&::WriteW) WriteW = nullptr;
  decltype(&::ReadB) ReadB = nullptr;
  decltype(&::WriteB) WriteB = nullptr;
  decltype(&::ReadDWBuffer) ReadDWBuffer = nullptr;
  decltype(&::WriteDWBuffer) WriteDWBuffer = nullptr;
  decltype(&::AllocateMemory) AllocateMemory = nullptr;
  decltype(&::ReleaseMemory) ReleaseMemory = nullptr;
  decltype(&::ReadWriteConfigSpace) ReadWriteConfigSpace = nullptr;
  decltype(&::Mmap) Mmap = nullptr;
  decltype(&::MUnmap) MUnmap = nullptr;
};

inline constexpr std::int32_t kBoardVendorId = 0x1172;
inline constexpr std::int32_t kBoardDeviceId = 0x5680;
inline constexpr std::uint32_t kBoardIoWindowOffset = 0x1B000;
inline constexpr std::uint32_t kSetupBlockOffset = 0x1C000;

// The name handed to the dynamic loader. Tests point it at a variant library;
// the program leaves it as it is.
extern std::string PcieLibraryName;
extern PcieEntryPoints Pcie;
// The mapped board memory, or null until Mmap succeeded.
extern std::uint8_t* BoardMemBase;
extern std::array<std::uint8_t, 256> ConfigShadow;
// How many bytes at the start of ConfigShadow are known to hold the board's
// configuration space (or a saved copy of it): 256 after a whole read, fewer
// when the library could give only part (a process without CAP_SYS_ADMIN
// reads the first 64 bytes of a sysfs config file), 0 before any read. A
// copy is never written back beyond them.
extern std::size_t ConfigShadowValid;

// 0 on success, -21 when the library cannot be loaded, -20 when a required
// entry point is missing (the library stays loaded).
int LoadPcieLibrary();
bool PcieLibraryLoaded();
void* PcieLibraryHandle();
// Loads, opens and maps the board, reads the configuration space and writes
// the set-up block; on failure shows the reason and ends the program.
void InitPcieDllAccess();
// The same sequence for a program without a console. On failure, `line` is
// what InitPcieDllAccess shows and `closeLibrary` says whether the library is
// to be closed after it (it is not when it could not be bound); the caller
// says it and ends as it sees fit.
struct PcieOpenFailure {
  const char* line = nullptr;
  bool closeLibrary = false;
  explicit operator bool() const { return line != nullptr; }
};
PcieOpenFailure OpenPcieDllAccess();
// Reads the whole configuration space into ConfigShadow. When the library
// refuses the whole, the longest readable start (128, 64, ... 4 bytes) is
// read instead, so ConfigShadowValid counts only bytes that were really read.
void ReadConfigShadow();
void LoadSetupBlock(int mode);
void ClosePcieLibrary();
void ClosePcieDllAccess();
