#include "board/pcie_library.h"

#include <dlfcn.h>

#include <algorithm>

#include "console/console.h"
#include "console/program_end.h"

std::string PcieLibraryName = "libPCIAccessDll.so";
PcieEntryPoints Pcie;
std::uint8_t* BoardMemBase = nullptr;
std::array<std::uint8_t, 256> ConfigShadow{};
std::size_t ConfigShadowValid = 0;

namespace {

void* libraryHandle = nullptr;

// The name as written, else the decorated form "name@N" with N the argument
// byte count, 0 to 252 in steps of 4.
void* Resolve(void* handle, const char* name) {
  if (void* symbol = dlsym(handle, name)) return symbol;
  for (int bytes = 0; bytes <= 252; bytes += 4) {
    const std::string decorated = std::string(name) + "@" + std::to_string(bytes);
    if (void* symbol = dlsym(handle, decorated.c_str())) return symbol;
  }
  return nullptr;
}

template <typename Fn>
void Bind(Fn& slot, const char* name) {
  slot = reinterpret_cast<Fn>(Resolve(libraryHandle, name));
}

// Shows a start-up failure the way the board opening does: a line at the
// cursor, a wait for a key, and the end of the program. The line is printed
// again on the restored terminal.
[[noreturn]] void FailStartup(const char* line, bool closeLibrary) {
  PrintLine(line);
  WaitMs(-1);
  if (closeLibrary) ClosePcieLibrary();
  throw ProgramEnd::WithLine(line);
}

}  // namespace

int LoadPcieLibrary() {
  libraryHandle = dlopen(PcieLibraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (libraryHandle == nullptr) return -21;
  Pcie = PcieEntryPoints{};
  Bind(Pcie.InitPCIAccess, "InitPCIAccess");
  Bind(Pcie.Close, "Close");
  Bind(Pcie.ReadDW, "ReadDW");
  Bind(Pcie.WriteDW, "WriteDW");
  Bind(Pcie.ReadW, "ReadW");
  Bind(Pcie.WriteW, "WriteW");
  Bind(Pcie.ReadB, "ReadB");
  Bind(Pcie.WriteB, "WriteB");
  Bind(Pcie.ReadDWBuffer, "ReadDWBuffer");
  Bind(Pcie.WriteDWBuffer, "WriteDWBuffer");
  Bind(Pcie.AllocateMemory, "AllocateMemory");
  Bind(Pcie.ReleaseMemory, "ReleaseMemory");
  Bind(Pcie.ReadWriteConfigSpace, "ReadWriteConfigSpace");
  Bind(Pcie.Mmap, "Mmap");
  Bind(Pcie.MUnmap, "MUnmap");
  const bool complete = Pcie.InitPCIAccess && Pcie.Close && Pcie.ReadDW && Pcie.WriteDW &&
                        Pcie.ReadDWBuffer && Pcie.WriteDWBuffer && Pcie.AllocateMemory &&
                        Pcie.ReleaseMemory && Pcie.ReadWriteConfigSpace && Pcie.Mmap && Pcie.MUnmap;
  return complete ? 0 : -20;
}

bool PcieLibraryLoaded() {
  return libraryHandle != nullptr;
}
void* PcieLibraryHandle() {
  return libraryHandle;
}

void InitPcieDllAccess() {
  const PcieOpenFailure failure = OpenPcieDllAccess();
  if (failure) FailStartup(failure.line, failure.closeLibrary);
}

PcieOpenFailure OpenPcieDllAccess() {
  const int loaded = LoadPcieLibrary();
  if (loaded == -20)
    return {"InitPcieDllAccess failed - at least a function pointer is null", false};
  if (loaded == -21) return {"InitPcieDllAccess failed - invalid dll handle", false};
  if (loaded != 0) return {"InitPcieDllAccess failed - check log file for further info", false};
  if (Pcie.InitPCIAccess(kBoardVendorId, kBoardDeviceId, 0) != 0) {
    return {"Cannot Open Selected Device", true};
  }
  void* base = nullptr;
  if (Pcie.Mmap(&base, 0, 0) != 0 || base == nullptr) return {"Cannot Map Memory", true};
  BoardMemBase = static_cast<std::uint8_t*>(base);
  ReadConfigShadow();
  LoadSetupBlock(0);
  return {};
}

void ReadConfigShadow() {
  if (Pcie.ReadWriteConfigSpace(ConfigShadow.data(), 256, 0, -1) == 0) {
    ConfigShadowValid = ConfigShadow.size();
    return;
  }
  // A short read leaves the buffer filled up to a length the result does not
  // tell; a smaller read that succeeds does.
  ConfigShadowValid = 0;
  std::array<std::uint8_t, 256> part{};
  for (std::int32_t count = 128; count >= 4; count /= 2) {
    if (Pcie.ReadWriteConfigSpace(part.data(), count, 0, -1) != 0) continue;
    std::copy_n(part.begin(), count, ConfigShadow.begin());
    ConfigShadowValid = static_cast<std::size_t>(count);
    return;
  }
}

void LoadSetupBlock(int mode) {
  struct SetupByte {
    std::uint8_t offset;
    std::uint8_t values[3];  // modes 0, 1, 2
  };
  // Offsets 0x03 and 0x0B are never written.
  static constexpr SetupByte kBlock[] = {
      {0x00, {0x04, 0x04, 0x04}}, {0x01, {0x15, 0x15, 0x1D}}, {0x02, {0x17, 0x17, 0x29}},
      {0x04, {0x04, 0x04, 0x04}}, {0x05, {0x12, 0x12, 0x1B}}, {0x06, {0x13, 0x13, 0x1D}},
      {0x07, {0x13, 0x13, 0x29}}, {0x08, {0x04, 0x04, 0x04}}, {0x09, {0x16, 0x16, 0x40}},
      {0x0A, {0x37, 0x18, 0xD2}}, {0x0C, {0x04, 0x04, 0x04}}, {0x0D, {0x12, 0x12, 0x3E}},
      {0x0E, {0x13, 0x13, 0x40}}, {0x0F, {0x63, 0x63, 0xD2}},
  };
  const int column = (mode == 1 || mode == 2) ? mode : 0;
  volatile std::uint8_t* const block = BoardMemBase + kSetupBlockOffset;
  for (const auto& entry : kBlock) block[entry.offset] = entry.values[column];
}

void ClosePcieLibrary() {
  if (Pcie.Close) Pcie.Close();
  if (libraryHandle != nullptr) {
    dlclose(libraryHandle);
    libraryHandle = nullptr;
  }
  Pcie = PcieEntryPoints{};
}

void ClosePcieDllAccess() {
  if (BoardMemBase != nullptr && Pcie.MUnmap) Pcie.MUnmap(BoardMemBase);
  BoardMemBase = nullptr;
  ClosePcieLibrary();
}
