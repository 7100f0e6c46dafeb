// The byte-access decoder on instruction bytes as the GNU assembler encodes
// them (the assembly is in each row), and its emulation of flags and byte
// registers against the processor running the same instructions.
#include "sim/byte_access_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace q7m::sim {
namespace {

constexpr std::int8_t kNone = kNoRegister;
constexpr std::int8_t kRip = kRipBase;

struct DecodeRow {
  const char* assembly;
  std::vector<std::uint8_t> bytes;
  ByteForm form;
  std::uint8_t reg;
  bool rex;
  std::uint8_t width;
  std::uint8_t imm;
  MemOperand mem;
};

std::string Describe(const DecodeRow& row) {
  return row.assembly;
}

TEST(ByteAccessDecoderTest, DecodesEachFormWithItsOperands) {
  // rax 0, rcx 1, rdx 2, rbx 3, rsp 4, rbp 5, rsi 6, rdi 7, r8-r15 8-15.
  const std::vector<DecodeRow> rows = {
      {"movzbl (%rax),%eax",
       {0x0F, 0xB6, 0x00},
       ByteForm::kMovzx,
       0,
       false,
       4,
       0,
       {0, kNone, 1, 0}},
      {"movsbq (%rax),%rax",
       {0x48, 0x0F, 0xBE, 0x00},
       ByteForm::kMovsx,
       0,
       true,
       8,
       0,
       {0, kNone, 1, 0}},
      {"movzbw (%rdi),%ax",
       {0x66, 0x0F, 0xB6, 0x07},
       ByteForm::kMovzx,
       0,
       false,
       2,
       0,
       {7, kNone, 1, 0}},
      {"movsbw (%rdi),%ax",
       {0x66, 0x0F, 0xBE, 0x07},
       ByteForm::kMovsx,
       0,
       false,
       2,
       0,
       {7, kNone, 1, 0}},
      {"movzbl (%rdi),%r9d",
       {0x44, 0x0F, 0xB6, 0x0F},
       ByteForm::kMovzx,
       9,
       true,
       4,
       0,
       {7, kNone, 1, 0}},
      {"movzbl (%r12),%r8d",
       {0x45, 0x0F, 0xB6, 0x04, 0x24},
       ByteForm::kMovzx,
       8,
       true,
       4,
       0,
       {12, kNone, 1, 0}},
      {"movzbl 0x0(%r13),%eax",
       {0x41, 0x0F, 0xB6, 0x45, 0x00},
       ByteForm::kMovzx,
       0,
       true,
       4,
       0,
       {13, kNone, 1, 0}},
      {"movsbl -0x10(%rbp),%r11d",
       {0x44, 0x0F, 0xBE, 0x5D, 0xF0},
       ByteForm::kMovsx,
       11,
       true,
       4,
       0,
       {5, kNone, 1, -0x10}},
      {"mov 0x1b000(%rax,%rcx,1),%al",
       {0x8A, 0x84, 0x08, 0x00, 0xB0, 0x01, 0x00},
       ByteForm::kLoad,
       0,
       false,
       1,
       0,
       {0, 1, 1, 0x1B000}},
      {"mov %sil,0x1b000(%rax,%rdi,1)",
       {0x40, 0x88, 0xB4, 0x38, 0x00, 0xB0, 0x01, 0x00},
       ByteForm::kStore,
       6,
       true,
       1,
       0,
       {0, 7, 1, 0x1B000}},
      {"mov %ah,0x10(,%rcx,4)",
       {0x88, 0x24, 0x8D, 0x10, 0x00, 0x00, 0x00},
       ByteForm::kStore,
       4,
       false,
       1,
       0,
       {kNone, 1, 4, 0x10}},
      {"mov 0x12345678(%rip),%bh",
       {0x8A, 0x3D, 0x78, 0x56, 0x34, 0x12},
       ByteForm::kLoad,
       7,
       false,
       1,
       0,
       {kRip, kNone, 1, 0x12345678}},
      {"mov -0x10(%rdi),%r15b",
       {0x44, 0x8A, 0x7F, 0xF0},
       ByteForm::kLoad,
       15,
       true,
       1,
       0,
       {7, kNone, 1, -0x10}},
      {"mov %r12b,(%rbx,%r14,8)",
       {0x46, 0x88, 0x24, 0xF3},
       ByteForm::kStore,
       12,
       true,
       1,
       0,
       {3, 14, 8, 0}},
      {"mov (%rsp),%al", {0x8A, 0x04, 0x24}, ByteForm::kLoad, 0, false, 1, 0, {4, kNone, 1, 0}},
      {"mov (%rsp,%r12,1),%al",
       {0x42, 0x8A, 0x04, 0x24},
       ByteForm::kLoad,
       0,
       true,
       1,
       0,
       {4, 12, 1, 0}},
      {"mov 0x10,%al (REX.B, no base)",
       {0x41, 0x8A, 0x04, 0x25, 0x10, 0x00, 0x00, 0x00},
       ByteForm::kLoad,
       0,
       true,
       1,
       0,
       {kNone, kNone, 1, 0x10}},
      {"mov 0x10(%rip),%al (REX.B)",
       {0x41, 0x8A, 0x05, 0x10, 0x00, 0x00, 0x00},
       ByteForm::kLoad,
       0,
       true,
       1,
       0,
       {kRip, kNone, 1, 0x10}},
      {"movb $0x63,(%rax)",
       {0xC6, 0x00, 0x63},
       ByteForm::kStoreImm,
       0,
       false,
       1,
       0x63,
       {0, kNone, 1, 0}},
      {"movb $0x80,0x8(%r12)",
       {0x41, 0xC6, 0x44, 0x24, 0x08, 0x80},
       ByteForm::kStoreImm,
       0,
       true,
       1,
       0x80,
       {12, kNone, 1, 8}},
      {"testb $0x2,(%rdi)",
       {0xF6, 0x07, 0x02},
       ByteForm::kTestImm,
       0,
       false,
       1,
       0x02,
       {7, kNone, 1, 0}},
      {"testb $0x7f,0x1b352(%rip)",
       {0xF6, 0x05, 0x52, 0xB3, 0x01, 0x00, 0x7F},
       ByteForm::kTestImm,
       0,
       false,
       1,
       0x7F,
       {kRip, kNone, 1, 0x1B352}},
      {"cmpb $0x5,(%rax)",
       {0x80, 0x38, 0x05},
       ByteForm::kCmpImm,
       0,
       false,
       1,
       0x05,
       {0, kNone, 1, 0}},
      {"cmp %al,(%rdi)", {0x38, 0x07}, ByteForm::kCmpMemReg, 0, false, 1, 0, {7, kNone, 1, 0}},
      {"cmp (%rdi),%ah", {0x3A, 0x27}, ByteForm::kCmpRegMem, 4, false, 1, 0, {7, kNone, 1, 0}},
      {"cmp (%rdi),%spl",
       {0x40, 0x3A, 0x27},
       ByteForm::kCmpRegMem,
       4,
       true,
       1,
       0,
       {7, kNone, 1, 0}},
      {"test %bl,(%rsi)", {0x84, 0x1E}, ByteForm::kTestReg, 3, false, 1, 0, {6, kNone, 1, 0}},
      {"test %r10b,(%rsi)",
       {0x44, 0x84, 0x16},
       ByteForm::kTestReg,
       10,
       true,
       1,
       0,
       {6, kNone, 1, 0}},
      {"and (%rcx),%al", {0x22, 0x01}, ByteForm::kAnd, 0, false, 1, 0, {1, kNone, 1, 0}},
      {"or (%rcx),%al", {0x0A, 0x01}, ByteForm::kOr, 0, false, 1, 0, {1, kNone, 1, 0}},
      {"xor (%rdi),%dh", {0x32, 0x37}, ByteForm::kXor, 6, false, 1, 0, {7, kNone, 1, 0}},
      {"add (%rcx),%al", {0x02, 0x01}, ByteForm::kAdd, 0, false, 1, 0, {1, kNone, 1, 0}},
  };
  for (const DecodeRow& row : rows) {
    SCOPED_TRACE(Describe(row));
    const Decoded d = DecodeByteAccess(row.bytes);
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    const ByteAccess& a = d.access;
    EXPECT_EQ(a.length, row.bytes.size());
    EXPECT_EQ(d.examined, row.bytes.size());
    EXPECT_EQ(a.form, row.form);
    if (row.form != ByteForm::kStoreImm && row.form != ByteForm::kTestImm &&
        row.form != ByteForm::kCmpImm) {
      EXPECT_EQ(a.reg, row.reg);
    }
    EXPECT_EQ(a.rex, row.rex);
    if (row.form == ByteForm::kMovzx || row.form == ByteForm::kMovsx) {
      EXPECT_EQ(a.width, row.width);
    }
    EXPECT_EQ(a.imm, row.imm);
    EXPECT_EQ(a.mem.base, row.mem.base);
    EXPECT_EQ(a.mem.index, row.mem.index);
    if (row.mem.index != kNone) {
      EXPECT_EQ(a.mem.scale, row.mem.scale);
    }
    EXPECT_EQ(a.mem.disp, row.mem.disp);

    // Bytes after the instruction are not part of it.
    std::vector<std::uint8_t> longer = row.bytes;
    longer.insert(longer.end(), {0x90, 0x90, 0x90});
    EXPECT_EQ(DecodeByteAccess(longer).access.length, row.bytes.size());
    // Any shorter prefix of it is incomplete, never a shorter instruction.
    for (std::size_t n = 0; n < row.bytes.size(); ++n) {
      const Decoded part = DecodeByteAccess(std::span(row.bytes).first(n));
      EXPECT_EQ(part.status, DecodeStatus::kTruncated) << "first " << n << " bytes";
    }
  }
}

TEST(ByteAccessDecoderTest, UnknownFormsAreRefusedAfterTheFirstTellingByte) {
  struct Row {
    const char* assembly;
    std::vector<std::uint8_t> bytes;
    std::uint8_t examined;  // bytes up to and including the one that decides
  };
  const std::vector<Row> rows = {
      {"mov %ax,(%rdi)", {0x66, 0x89, 0x07}, 2},
      {"mov (%rdi),%eax", {0x8B, 0x07}, 1},
      {"lock orb $0x1,(%rdi)", {0xF0, 0x80, 0x0F, 0x01}, 1},
      {"mov %fs:(%rax),%al", {0x64, 0x8A, 0x00}, 1},
      {"addr32 mov (%eax),%al", {0x67, 0x8A, 0x00}, 1},
      {"movzwl (%rax),%eax", {0x0F, 0xB7, 0x00}, 2},
      {"movsb (string move)", {0xA4}, 1},
      {"sub (%rcx),%al", {0x2A, 0x01}, 1},
      {"rex.W before data16: prefix order not produced by compilers", {0x48, 0x66, 0x8A, 0x00}, 2},
      {"data16 mov (%rax),%al", {0x66, 0x8A, 0x00}, 2},
      {"notb (%rdi)  (F6 /2)", {0xF6, 0x17}, 2},
      {"testb $0x1,(%rax)  (F6 /1 alias)", {0xF6, 0x08, 0x01}, 2},
      {"orb $0x1,(%rax)  (80 /1, read-modify-write)", {0x80, 0x08, 0x01}, 2},
      {"movb $0x0,(%rax)  with /1", {0xC6, 0x08, 0x00}, 2},
      {"mov $0x5,%al  (register operand)", {0xC6, 0xC0, 0x05}, 2},
      {"xabort $0x0", {0xC6, 0xF8, 0x00}, 2},
      {"movzbl %al,%eax  (register operand)", {0x0F, 0xB6, 0xC0}, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.assembly);
    const Decoded d = DecodeByteAccess(row.bytes);
    EXPECT_EQ(d.status, DecodeStatus::kUnknown);
    EXPECT_EQ(d.examined, row.examined);
  }
  EXPECT_EQ(DecodeByteAccess({}).status, DecodeStatus::kTruncated);
}

// Byte k of register n holds 16 * n + k: every byte tells where it came from.
CpuState Cpu() {
  CpuState cpu;
  for (std::size_t n = 0; n < cpu.gpr.size(); ++n) {
    for (std::size_t k = 0; k < 8; ++k)
      cpu.gpr[n] |= static_cast<std::uint64_t>(16 * n + k) << (8 * k);
  }
  cpu.rip = 0x401000;
  cpu.rflags = 0x202;
  return cpu;
}

TEST(ByteAccessDecoderTest, EffectiveAddressOfEachAddressingMode) {
  CpuState cpu = Cpu();
  cpu.gpr[0] = 0x7F0000000000;  // rax
  cpu.gpr[1] = 3;               // rcx
  cpu.gpr[14] = 5;              // r14
  cpu.gpr[3] = 0x7F0000001000;  // rbx
  const auto ea = [&](std::vector<std::uint8_t> bytes) {
    const Decoded d = DecodeByteAccess(bytes);
    EXPECT_EQ(d.status, DecodeStatus::kOk);
    return EffectiveAddress(d.access, cpu);
  };
  EXPECT_EQ(ea({0x8A, 0x84, 0x08, 0x00, 0xB0, 0x01, 0x00}), 0x7F0000000000u + 3 + 0x1B000);
  EXPECT_EQ(ea({0x88, 0x24, 0x8D, 0x10, 0x00, 0x00, 0x00}), 3u * 4 + 0x10);
  EXPECT_EQ(ea({0x46, 0x88, 0x24, 0xF3}), 0x7F0000001000u + 5 * 8);
  // RIP-relative counts from the end of the instruction (6 bytes here).
  EXPECT_EQ(ea({0x8A, 0x3D, 0x78, 0x56, 0x34, 0x12}), 0x401000u + 6 + 0x12345678);
  // A negative displacement is sign-extended, 8- or 32-bit alike.
  cpu.gpr[7] = 0x7F0000002000;  // rdi
  EXPECT_EQ(ea({0x44, 0x8A, 0x7F, 0xF0}), 0x7F0000002000u - 0x10);
  EXPECT_EQ(ea({0x8A, 0x87, 0xF0, 0xFF, 0xFF, 0xFF}), 0x7F0000002000u - 0x10);
}

TEST(ByteAccessDecoderTest, ByteRegistersFollowTheRexRule) {
  const CpuState before = Cpu();
  struct Row {
    const char* name;
    std::uint8_t reg;
    bool rex;
    std::size_t full;  // the 64-bit register holding it
    int shift;
  };
  const std::vector<Row> rows = {
      {"al", 0, false, 0, 0},      {"bl", 3, false, 3, 0}, {"ah", 4, false, 0, 8},
      {"ch", 5, false, 1, 8},      {"dh", 6, false, 2, 8}, {"bh", 7, false, 3, 8},
      {"spl", 4, true, 4, 0},      {"bpl", 5, true, 5, 0}, {"sil", 6, true, 6, 0},
      {"dil", 7, true, 7, 0},      {"r8b", 8, true, 8, 0}, {"r15b", 15, true, 15, 0},
      {"al (rex)", 0, true, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ReadByteRegister(before, row.reg, row.rex),
              static_cast<std::uint8_t>(before.gpr[row.full] >> row.shift));
    CpuState cpu = before;
    WriteByteRegister(cpu, row.reg, row.rex, 0xA5);
    for (std::size_t i = 0; i < cpu.gpr.size(); ++i) {
      const std::uint64_t mask = i == row.full ? ~(std::uint64_t{0xFF} << row.shift) : ~0ULL;
      EXPECT_EQ(cpu.gpr[i] & mask, before.gpr[i] & mask) << "register " << i;
    }
    EXPECT_EQ(static_cast<std::uint8_t>(cpu.gpr[row.full] >> row.shift), 0xA5);
  }
}

// The same instruction on the processor: each runs on a byte in ordinary
// memory with the flags preset, and returns the flags and the register.
struct Hw {
  std::uint64_t flags;
  std::uint64_t reg;
};
using HwFn = Hw (*)(std::uint8_t mem, std::uint64_t reg, std::uint64_t flagsIn);

// The red zone is stepped over, as pushes would overwrite the compiler's data
// there; the byte is reached through a register for the same reason.
#define Q7M_HW(name, insn)                                               \
  Hw name(std::uint8_t mem, std::uint64_t reg, std::uint64_t flagsIn) {  \
    volatile std::uint8_t cell = mem;                                    \
    std::uint64_t flags = flagsIn;                                       \
    asm volatile("lea -128(%%rsp),%%rsp\n\tpushq %[f]\n\tpopfq\n\t" insn \
                 "\n\tpushfq\n\tpopq %[f]\n\tlea 128(%%rsp),%%rsp"       \
                 : [f] "+r"(flags), [r] "+a"(reg)                        \
                 : [p] "r"(&cell)                                        \
                 : "cc", "memory");                                      \
    return {flags, reg};                                                 \
  }

Q7M_HW(HwTestImm, "testb $0x5A,(%[p])")
Q7M_HW(HwTestReg, "testb %%al,(%[p])")
Q7M_HW(HwCmpImm, "cmpb $0x5A,(%[p])")
Q7M_HW(HwCmpMemReg, "cmpb %%al,(%[p])")
Q7M_HW(HwCmpRegMem, "cmpb (%[p]),%%al")
Q7M_HW(HwAnd, "andb (%[p]),%%al")
Q7M_HW(HwOr, "orb (%[p]),%%al")
Q7M_HW(HwXor, "xorb (%[p]),%%al")
Q7M_HW(HwAdd, "addb (%[p]),%%al")
Q7M_HW(HwLoadAh, "movb (%[p]),%%ah")
Q7M_HW(HwMovzxW, "movzbw (%[p]),%%ax")
Q7M_HW(HwMovzxL, "movzbl (%[p]),%%eax")
Q7M_HW(HwMovsxW, "movsbw (%[p]),%%ax")
Q7M_HW(HwMovsxL, "movsbl (%[p]),%%eax")
Q7M_HW(HwMovsxQ, "movsbq (%[p]),%%rax")

TEST(ByteAccessDecoderTest, EmulationMatchesTheProcessorForEveryByteAndRegisterValue) {
  // Each with its bytes for (%rdi) and the register in al / ax / eax / rax.
  struct Row {
    const char* assembly;
    std::vector<std::uint8_t> bytes;
    HwFn hw;
  };
  const std::vector<Row> rows = {
      {"testb $0x5A,(%rdi)", {0xF6, 0x07, 0x5A}, HwTestImm},
      {"test %al,(%rdi)", {0x84, 0x07}, HwTestReg},
      {"cmpb $0x5A,(%rdi)", {0x80, 0x3F, 0x5A}, HwCmpImm},
      {"cmp %al,(%rdi)", {0x38, 0x07}, HwCmpMemReg},
      {"cmp (%rdi),%al", {0x3A, 0x07}, HwCmpRegMem},
      {"and (%rdi),%al", {0x22, 0x07}, HwAnd},
      {"or (%rdi),%al", {0x0A, 0x07}, HwOr},
      {"xor (%rdi),%al", {0x32, 0x07}, HwXor},
      {"add (%rdi),%al", {0x02, 0x07}, HwAdd},
      {"mov (%rdi),%ah", {0x8A, 0x27}, HwLoadAh},
      {"movzbw (%rdi),%ax", {0x66, 0x0F, 0xB6, 0x07}, HwMovzxW},
      {"movzbl (%rdi),%eax", {0x0F, 0xB6, 0x07}, HwMovzxL},
      {"movsbw (%rdi),%ax", {0x66, 0x0F, 0xBE, 0x07}, HwMovsxW},
      {"movsbl (%rdi),%eax", {0x0F, 0xBE, 0x07}, HwMovsxL},
      {"movsbq (%rdi),%rax", {0x48, 0x0F, 0xBE, 0x07}, HwMovsxQ},
  };
  // All status flags clear, then all set: each must be written or kept.
  const std::uint64_t presets[] = {0x202, 0x202 | kStatusFlags};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.assembly);
    const Decoded d = DecodeByteAccess(row.bytes);
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    int mismatches = 0;
    for (unsigned mem = 0; mem < 256 && mismatches < 5; ++mem) {
      for (unsigned low = 0; low < 256 && mismatches < 5; ++low) {
        for (const std::uint64_t preset : presets) {
          // Upper bytes set, to see what extensions keep and clear.
          const std::uint64_t reg = 0xFEDCBA9876540000ULL | (low * 0x0101u);
          const Hw want = row.hw(static_cast<std::uint8_t>(mem), reg, preset);
          CpuState cpu = Cpu();
          cpu.gpr[0] = reg;
          cpu.rflags = preset;
          Complete(d.access, static_cast<std::uint8_t>(mem), cpu);
          if (cpu.rflags != want.flags || cpu.gpr[0] != want.reg) {
            ++mismatches;
            ADD_FAILURE() << std::hex << "mem " << mem << " reg " << reg << " preset " << preset
                          << ": flags " << cpu.rflags << " want " << want.flags << ", reg "
                          << cpu.gpr[0] << " want " << want.reg;
          }
          EXPECT_EQ(cpu.rip, Cpu().rip + row.bytes.size());
        }
      }
    }
  }
}

TEST(ByteAccessDecoderTest, StoresTakeTheRegisterOrImmediateAndLeaveTheRest) {
  struct Row {
    const char* assembly;
    std::vector<std::uint8_t> bytes;
    std::uint8_t want;  // as Cpu() fills the registers
  };
  const std::vector<Row> rows = {
      {"mov %al,(%rdi)", {0x88, 0x07}, 0x00},
      {"mov %ah,(%rdi)", {0x88, 0x27}, 0x01},
      {"mov %bh,(%rdi)", {0x88, 0x3F}, 0x31},
      {"mov %dil,(%rsi)", {0x40, 0x88, 0x3E}, 0x70},
      {"mov %r12b,(%rdi)", {0x44, 0x88, 0x27}, 0xC0},
      {"movb $0x9C,(%rdi)", {0xC6, 0x07, 0x9C}, 0x9C},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.assembly);
    const Decoded d = DecodeByteAccess(row.bytes);
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    EXPECT_TRUE(IsStore(d.access.form));
    const CpuState before = Cpu();
    EXPECT_EQ(StoreValue(d.access, before), row.want);
    CpuState after = before;
    Complete(d.access, 0xEE, after);
    EXPECT_EQ(after.gpr, before.gpr);
    EXPECT_EQ(after.rflags, before.rflags);
    EXPECT_EQ(after.rip, before.rip + row.bytes.size());
  }
}

}  // namespace
}  // namespace q7m::sim
