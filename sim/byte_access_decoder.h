// Decoder and emulator for the x86-64 instructions that compilers emit for a
// volatile byte load or store, so that the trapped window can answer such an
// access in its fault handler instead of opening the page and single-stepping.
// Only forms known exactly are decoded; everything else is reported unknown,
// and the caller must then fall back to single-stepping.
#ifndef Q7M_SIM_BYTE_ACCESS_DECODER_H
#define Q7M_SIM_BYTE_ACCESS_DECODER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace q7m::sim {

enum class ByteForm : std::uint8_t {
  kMovzx,      // 0F B6 /r   reg16/32/64 = zero-extended byte
  kMovsx,      // 0F BE /r   reg16/32/64 = sign-extended byte
  kLoad,       // 8A /r      reg8 = byte
  kStore,      // 88 /r      byte = reg8
  kStoreImm,   // C6 /0 ib   byte = imm8
  kTestImm,    // F6 /0 ib   flags of byte & imm8
  kTestReg,    // 84 /r      flags of byte & reg8
  kCmpImm,     // 80 /7 ib   flags of byte - imm8
  kCmpMemReg,  // 38 /r      flags of byte - reg8
  kCmpRegMem,  // 3A /r      flags of reg8 - byte
  kAnd,        // 22 /r      reg8 &= byte
  kOr,         // 0A /r      reg8 |= byte
  kXor,        // 32 /r      reg8 ^= byte
  kAdd,        // 02 /r      reg8 += byte
};

// Register numbers as the encoding counts them: 0 rax, 1 rcx, 2 rdx, 3 rbx,
// 4 rsp, 5 rbp, 6 rsi, 7 rdi, 8-15 r8-r15.
inline constexpr std::int8_t kNoRegister = -1;
inline constexpr std::int8_t kRipBase = 16;

struct MemOperand {
  std::int8_t base = kNoRegister;  // 0-15, kRipBase or kNoRegister
  std::int8_t index = kNoRegister;
  std::uint8_t scale = 1;
  std::int32_t disp = 0;
};

struct ByteAccess {
  ByteForm form = ByteForm::kLoad;
  std::uint8_t length = 0;  // of the whole instruction, prefixes included
  std::uint8_t reg = 0;     // register operand (ModRM.reg with REX.R), 0-15
  // A REX prefix is present: byte registers 4-7 are spl/bpl/sil/dil rather
  // than ah/ch/dh/bh.
  bool rex = false;
  std::uint8_t width = 1;  // destination bytes of movzx/movsx: 2, 4 or 8
  std::uint8_t imm = 0;
  MemOperand mem;
};

enum class DecodeStatus : std::uint8_t {
  kOk,
  kUnknown,    // not a byte-access form this decoder knows
  kTruncated,  // the bytes ended inside an instruction
};

struct Decoded {
  DecodeStatus status = DecodeStatus::kUnknown;
  std::uint8_t examined = 0;  // bytes read, for reporting an unknown form
  ByteAccess access;
};

// Decodes the instruction at the start of `code`. Bytes are read in order and
// none past the end of a recognised instruction, nor past the first byte that
// makes it unknown: the caller may pass a span reaching past readable memory
// as long as the instruction itself is readable.
Decoded DecodeByteAccess(std::span<const std::uint8_t> code);

// Whether the form writes the memory byte (otherwise it reads it).
bool IsStore(ByteForm form);

// The registers an instruction sees, numbered as above.
struct CpuState {
  std::array<std::uint64_t, 16> gpr{};
  std::uint64_t rip = 0;  // of the instruction
  std::uint64_t rflags = 0;
};

// The address of the memory operand (RIP-relative counts from the next
// instruction).
std::uint64_t EffectiveAddress(const ByteAccess& access, const CpuState& cpu);

// Byte register access with the legacy rule for registers 4-7 without REX.
std::uint8_t ReadByteRegister(const CpuState& cpu, std::uint8_t reg, bool rex);
void WriteByteRegister(CpuState& cpu, std::uint8_t reg, bool rex, std::uint8_t value);

// For a store form: the byte the instruction writes.
std::uint8_t StoreValue(const ByteAccess& access, const CpuState& cpu);

// Completes the instruction: for a load form, `loaded` is the memory byte and
// the destination register and status flags change as the hardware would
// change them; for a store form, `loaded` is ignored. RIP moves past the
// instruction in both cases.
void Complete(const ByteAccess& access, std::uint8_t loaded, CpuState& cpu);

// Status flags in RFLAGS: CF, PF, AF, ZF, SF, OF.
inline constexpr std::uint64_t kStatusFlags = 0x8D5;

}  // namespace q7m::sim

#endif
