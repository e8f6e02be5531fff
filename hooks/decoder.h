// x64 instruction decoder: the length and shape of one 64-bit x86 instruction.
//
// Offers: DecodeInstruction, which fills an InstructionRecord for the
// instruction at an address: its length, prefixes, opcode bytes, ModRM/SIB
// fields, immediate, displacement and flags (relative branch, error kinds).
// Knows the legacy one- and two-byte maps, 0F 38, 0F 3A, x87, VEX, XOP, EVEX
// and REX2. The hooking engine uses it to copy a function's first
// instructions; it never needs to know what an instruction does.
// Needs: nothing (no Windows header; builds natively too).
// Threads: any; a pure function of the bytes it reads. It reads at most 15
// bytes, and only as many as the instruction needs.
#pragma once

#include <cstdint>

namespace bh::hooks {

// InstructionRecord::flags bits.
enum : std::uint32_t {
  kInsnModRM = 0x1,
  kInsnSib = 0x2,
  kInsnImm8 = 0x4,
  kInsnImm16 = 0x8,
  kInsnImm32 = 0x10,
  kInsnImm64 = 0x20,
  kInsnDisp8 = 0x40,
  kInsnDisp32 = 0x100,
  kInsnRelative = 0x200,     // the immediate is a branch displacement from the instruction's end
  kInsnError = 0x1000,       // set with any of the four below: do not relocate
  kInsnErrorOpcode = 0x2000,
  kInsnErrorLength = 0x4000,  // would need more than 15 bytes (length is then 15)
  kInsnErrorLock = 0x8000,
  kInsnErrorOperand = 0x10000,
  kInsnPrefixF2 = 0x01000000,
  kInsnPrefixF3 = 0x02000000,
  kInsnPrefix66 = 0x04000000,
  kInsnPrefix67 = 0x08000000,
  kInsnPrefixLock = 0x10000000,
  kInsnPrefixSegment = 0x20000000,
  kInsnPrefixRex = 0x40000000,
  kInsnPrefixRex2 = 0x80000000,
};
// The immediate bits; (flags & kInsnImmMask) >> 2 is the immediate's total size in bytes.
inline constexpr std::uint32_t kInsnImmMask = kInsnImm8 | kInsnImm16 | kInsnImm32 | kInsnImm64;

// One decoded instruction. For VEX, XOP and EVEX the opcode field holds the
// escape byte (C4, C5, 8F, 62) and opcode2 the real opcode; for 0F-escaped
// opcodes opcode is 0F (and for 0F 38 / 0F 3A, opcode2 is 38 / 3A and opcode3
// the third byte); for REX2 map 1 opcode is D5.
struct InstructionRecord {
  std::uint8_t length;
  std::uint8_t repeatPrefix;   // F2 or F3 (the last seen), else 0
  std::uint8_t lockPrefix;     // F0 or 0
  std::uint8_t segmentPrefix;  // 26, 2E, 36, 3E, 64, 65 or 0
  std::uint8_t operandSizePrefix;  // 66 or 0
  std::uint8_t addressSizePrefix;  // 67 or 0
  std::uint8_t rex;            // the REX byte kept up to the opcode, or REX2's payload
  std::uint8_t rexW, rexR, rexX, rexB;
  std::uint8_t opcode;
  std::uint8_t opcode2;
  std::uint8_t modrm;
  std::uint8_t mod, reg, rm;
  std::uint8_t sib;
  std::uint8_t scale, index, base;
  union {
    std::uint8_t imm8;
    std::uint16_t imm16;
    std::uint32_t imm32;
    std::uint64_t imm64;
  } imm;
  union {
    std::uint8_t disp8;
    std::uint32_t disp32;
  } disp;  // also holds ENTER's trailing 8-bit immediate
  std::uint32_t flags;
  std::uint8_t opcode3;  // third opcode byte of 0F 38 / 0F 3A instructions
};

// Decodes the instruction at code. Returns its length (1 to 15, also stored
// in out->length); check out->flags for kInsnError before trusting it.
unsigned DecodeInstruction(const void* code, InstructionRecord* out);

// Helpers for the record's users.
// True for a memory operand addressed relative to the next instruction.
inline bool IsRipRelative(const InstructionRecord& r) {
  return (r.flags & kInsnModRM) && r.mod == 0 && r.rm == 5;
}
// The relative branch displacement, sign-extended (0 when there is none).
std::int64_t BranchDisplacement(const InstructionRecord& r);

}  // namespace bh::hooks
