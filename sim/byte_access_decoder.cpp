#include "sim/byte_access_decoder.h"

namespace q7m::sim {
namespace {

constexpr std::uint64_t kCf = 0x001;
constexpr std::uint64_t kPf = 0x004;
constexpr std::uint64_t kAf = 0x010;
constexpr std::uint64_t kZf = 0x040;
constexpr std::uint64_t kSf = 0x080;
constexpr std::uint64_t kOf = 0x800;

// Reads bytes strictly in order so that nothing past the instruction is
// touched (see DecodeByteAccess).
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> code) : code_(code) {}
  bool Next(std::uint8_t& out) {
    if (pos_ >= code_.size() || pos_ >= kMaxLength) return false;
    out = code_[pos_++];
    return true;
  }
  std::size_t pos() const { return pos_; }

 private:
  static constexpr std::size_t kMaxLength = 15;  // architectural limit
  std::span<const std::uint8_t> code_;
  std::size_t pos_ = 0;
};

enum class Operands : std::uint8_t { kRegMem, kMemImm };

struct OpcodeInfo {
  ByteForm form;
  Operands operands;
  std::int8_t digit;  // required ModRM.reg for kMemImm forms
};

// One-byte opcodes of the decoded forms (the two-byte ones are handled apart).
bool LookUp(std::uint8_t opcode, OpcodeInfo& info) {
  switch (opcode) {
    case 0x8A:
      info = {ByteForm::kLoad, Operands::kRegMem, 0};
      return true;
    case 0x88:
      info = {ByteForm::kStore, Operands::kRegMem, 0};
      return true;
    case 0xC6:
      info = {ByteForm::kStoreImm, Operands::kMemImm, 0};
      return true;
    case 0xF6:
      info = {ByteForm::kTestImm, Operands::kMemImm, 0};
      return true;
    case 0x84:
      info = {ByteForm::kTestReg, Operands::kRegMem, 0};
      return true;
    case 0x80:
      info = {ByteForm::kCmpImm, Operands::kMemImm, 7};
      return true;
    case 0x38:
      info = {ByteForm::kCmpMemReg, Operands::kRegMem, 0};
      return true;
    case 0x3A:
      info = {ByteForm::kCmpRegMem, Operands::kRegMem, 0};
      return true;
    case 0x22:
      info = {ByteForm::kAnd, Operands::kRegMem, 0};
      return true;
    case 0x0A:
      info = {ByteForm::kOr, Operands::kRegMem, 0};
      return true;
    case 0x32:
      info = {ByteForm::kXor, Operands::kRegMem, 0};
      return true;
    case 0x02:
      info = {ByteForm::kAdd, Operands::kRegMem, 0};
      return true;
    default:
      return false;
  }
}

Decoded Fail(DecodeStatus status, const Reader& in) {
  Decoded d;
  d.status = status;
  d.examined = static_cast<std::uint8_t>(in.pos());
  return d;
}

// ModRM, SIB and displacement of a memory operand. Register operands (mod 3)
// are not a memory access and so not ours.
DecodeStatus DecodeMemory(Reader& in, std::uint8_t rex, ByteAccess& a, std::uint8_t& digit) {
  std::uint8_t modrm = 0;
  if (!in.Next(modrm)) return DecodeStatus::kTruncated;
  const std::uint8_t mod = modrm >> 6;
  digit = (modrm >> 3) & 7;
  a.reg = static_cast<std::uint8_t>(digit | ((rex & 0x4) << 1));
  const std::uint8_t rm = modrm & 7;
  if (mod == 3) return DecodeStatus::kUnknown;
  const std::uint8_t rexB = (rex & 0x1) << 3;
  bool disp32 = mod == 2;
  bool disp8 = mod == 1;
  if (rm == 4) {
    std::uint8_t sib = 0;
    if (!in.Next(sib)) return DecodeStatus::kTruncated;
    a.mem.scale = static_cast<std::uint8_t>(1u << (sib >> 6));
    const auto index = static_cast<std::int8_t>(((sib >> 3) & 7) | ((rex & 0x2) << 2));
    a.mem.index = index == 4 ? kNoRegister : index;  // rsp cannot be an index
    if ((sib & 7) == 5 && mod == 0) {
      a.mem.base = kNoRegister;
      disp32 = true;
    } else {
      a.mem.base = static_cast<std::int8_t>((sib & 7) | rexB);
    }
  } else if (rm == 5 && mod == 0) {
    a.mem.base = kRipBase;
    disp32 = true;
  } else {
    a.mem.base = static_cast<std::int8_t>(rm | rexB);
  }
  if (disp8) {
    std::uint8_t b = 0;
    if (!in.Next(b)) return DecodeStatus::kTruncated;
    a.mem.disp = static_cast<std::int8_t>(b);
  } else if (disp32) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      std::uint8_t b = 0;
      if (!in.Next(b)) return DecodeStatus::kTruncated;
      v |= static_cast<std::uint32_t>(b) << (8 * i);
    }
    a.mem.disp = static_cast<std::int32_t>(v);
  }
  return DecodeStatus::kOk;
}

bool Parity(std::uint8_t v) {
  return (__builtin_popcount(v) & 1) == 0;
}

// ZF, SF and PF of a result; the other status flags clear.
std::uint64_t ResultFlags(std::uint8_t r) {
  std::uint64_t f = 0;
  if (r == 0) f |= kZf;
  if ((r & 0x80) != 0) f |= kSf;
  if (Parity(r)) f |= kPf;
  return f;
}

// AND, OR, XOR and TEST clear CF and OF; AF is architecturally undefined and
// cleared by the processors in use (the live tests compare with the hardware).
std::uint64_t LogicFlags(std::uint8_t r) {
  return ResultFlags(r);
}

std::uint64_t SubFlags(std::uint8_t a, std::uint8_t b) {
  const auto r = static_cast<std::uint8_t>(a - b);
  std::uint64_t f = ResultFlags(r);
  if (a < b) f |= kCf;
  if (((a ^ b ^ r) & 0x10) != 0) f |= kAf;
  if (((a ^ b) & (a ^ r) & 0x80) != 0) f |= kOf;
  return f;
}

std::uint64_t AddFlags(std::uint8_t a, std::uint8_t b) {
  const auto r = static_cast<std::uint8_t>(a + b);
  std::uint64_t f = ResultFlags(r);
  if (static_cast<unsigned>(a) + b > 0xFF) f |= kCf;
  if (((a ^ b ^ r) & 0x10) != 0) f |= kAf;
  if ((~(a ^ b) & (a ^ r) & 0x80) != 0) f |= kOf;
  return f;
}

void SetFlags(CpuState& cpu, std::uint64_t flags) {
  cpu.rflags = (cpu.rflags & ~kStatusFlags) | flags;
}

}  // namespace

Decoded DecodeByteAccess(std::span<const std::uint8_t> code) {
  Reader in(code);
  Decoded d;
  ByteAccess& a = d.access;
  std::uint8_t b = 0;
  if (!in.Next(b)) return Fail(DecodeStatus::kTruncated, in);
  // Only the operand-size prefix (for a 16-bit movzx/movsx destination) and a
  // REX prefix right before the opcode occur in these forms; any other prefix
  // (segment, lock, rep, address size) makes the instruction unknown.
  bool opsize = false;
  if (b == 0x66) {
    opsize = true;
    if (!in.Next(b)) return Fail(DecodeStatus::kTruncated, in);
  }
  std::uint8_t rex = 0;
  if ((b & 0xF0) == 0x40) {
    rex = b;
    a.rex = true;
    if (!in.Next(b)) return Fail(DecodeStatus::kTruncated, in);
  }
  std::uint8_t digit = 0;
  if (b == 0x0F) {
    if (!in.Next(b)) return Fail(DecodeStatus::kTruncated, in);
    if (b != 0xB6 && b != 0xBE) return Fail(DecodeStatus::kUnknown, in);
    a.form = b == 0xB6 ? ByteForm::kMovzx : ByteForm::kMovsx;
    a.width = (rex & 0x8) != 0 ? 8 : (opsize ? 2 : 4);
    const DecodeStatus s = DecodeMemory(in, rex, a, digit);
    if (s != DecodeStatus::kOk) return Fail(s, in);
  } else {
    OpcodeInfo info{};
    if (opsize || !LookUp(b, info)) return Fail(DecodeStatus::kUnknown, in);
    a.form = info.form;
    const DecodeStatus s = DecodeMemory(in, rex, a, digit);
    if (s != DecodeStatus::kOk) return Fail(s, in);
    if (info.operands == Operands::kMemImm) {
      if (digit != static_cast<std::uint8_t>(info.digit)) return Fail(DecodeStatus::kUnknown, in);
      a.reg = 0;
      if (!in.Next(a.imm)) return Fail(DecodeStatus::kTruncated, in);
    }
  }
  a.length = static_cast<std::uint8_t>(in.pos());
  d.examined = a.length;
  d.status = DecodeStatus::kOk;
  return d;
}

bool IsStore(ByteForm form) {
  return form == ByteForm::kStore || form == ByteForm::kStoreImm;
}

std::uint64_t EffectiveAddress(const ByteAccess& access, const CpuState& cpu) {
  const MemOperand& m = access.mem;
  std::uint64_t ea = static_cast<std::uint64_t>(static_cast<std::int64_t>(m.disp));
  if (m.base == kRipBase) {
    ea += cpu.rip + access.length;
  } else if (m.base != kNoRegister) {
    ea += cpu.gpr[static_cast<std::size_t>(m.base)];
  }
  if (m.index != kNoRegister) ea += cpu.gpr[static_cast<std::size_t>(m.index)] * m.scale;
  return ea;
}

std::uint8_t ReadByteRegister(const CpuState& cpu, std::uint8_t reg, bool rex) {
  if (!rex && reg >= 4 && reg < 8) return static_cast<std::uint8_t>(cpu.gpr[reg - 4] >> 8);
  return static_cast<std::uint8_t>(cpu.gpr[reg & 15]);
}

void WriteByteRegister(CpuState& cpu, std::uint8_t reg, bool rex, std::uint8_t value) {
  if (!rex && reg >= 4 && reg < 8) {
    std::uint64_t& r = cpu.gpr[reg - 4];
    r = (r & ~std::uint64_t{0xFF00}) | (static_cast<std::uint64_t>(value) << 8);
    return;
  }
  std::uint64_t& r = cpu.gpr[reg & 15];
  r = (r & ~std::uint64_t{0xFF}) | value;
}

std::uint8_t StoreValue(const ByteAccess& access, const CpuState& cpu) {
  if (access.form == ByteForm::kStoreImm) return access.imm;
  return ReadByteRegister(cpu, access.reg, access.rex);
}

void Complete(const ByteAccess& a, std::uint8_t loaded, CpuState& cpu) {
  const std::uint8_t r8 = ReadByteRegister(cpu, a.reg, a.rex);
  switch (a.form) {
    case ByteForm::kMovzx:
    case ByteForm::kMovsx: {
      std::uint64_t v = loaded;
      if (a.form == ByteForm::kMovsx) {
        v = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(loaded)));
      }
      std::uint64_t& dst = cpu.gpr[a.reg];
      if (a.width == 2) {
        dst = (dst & ~std::uint64_t{0xFFFF}) | (v & 0xFFFF);  // upper 48 bits kept
      } else if (a.width == 4) {
        dst = v & 0xFFFFFFFF;  // a 32-bit destination clears the upper half
      } else {
        dst = v;
      }
      break;
    }
    case ByteForm::kLoad:
      WriteByteRegister(cpu, a.reg, a.rex, loaded);
      break;
    case ByteForm::kStore:
    case ByteForm::kStoreImm:
      break;
    case ByteForm::kTestImm:
      SetFlags(cpu, LogicFlags(loaded & a.imm));
      break;
    case ByteForm::kTestReg:
      SetFlags(cpu, LogicFlags(loaded & r8));
      break;
    case ByteForm::kCmpImm:
      SetFlags(cpu, SubFlags(loaded, a.imm));
      break;
    case ByteForm::kCmpMemReg:
      SetFlags(cpu, SubFlags(loaded, r8));
      break;
    case ByteForm::kCmpRegMem:
      SetFlags(cpu, SubFlags(r8, loaded));
      break;
    case ByteForm::kAnd:
    case ByteForm::kOr:
    case ByteForm::kXor: {
      std::uint8_t r = 0;
      if (a.form == ByteForm::kAnd) r = r8 & loaded;
      if (a.form == ByteForm::kOr) r = r8 | loaded;
      if (a.form == ByteForm::kXor) r = r8 ^ loaded;
      WriteByteRegister(cpu, a.reg, a.rex, r);
      SetFlags(cpu, LogicFlags(r));
      break;
    }
    case ByteForm::kAdd:
      WriteByteRegister(cpu, a.reg, a.rex, static_cast<std::uint8_t>(r8 + loaded));
      SetFlags(cpu, AddFlags(r8, loaded));
      break;
  }
  cpu.rip += a.length;
}

}  // namespace q7m::sim
