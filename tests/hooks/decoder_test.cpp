// The instruction decoder on hand-made encodings: one table of cases (bytes,
// expected length, flags that must and must not be set), then the record's
// fields for the cases whose values matter to the hooking engine.
//
// Each case's bytes sit at the very end of a heap block of their exact size,
// so under AddressSanitizer (the native build) reading past the instruction is
// caught as well.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hooks/decoder.h"

namespace {

using namespace bh::hooks;
using Bytes = std::vector<std::uint8_t>;

struct Case {
  const char* name;
  Bytes bytes;
  unsigned length;
  std::uint32_t set;    // flags that must be set
  std::uint32_t clear;  // flags that must be clear
};

constexpr std::uint32_t E = kInsnError;
constexpr std::uint32_t kAnyError = kInsnError | kInsnErrorOpcode | kInsnErrorLength | kInsnErrorLock | kInsnErrorOperand;

Bytes Repeat(std::uint8_t b, unsigned n, Bytes tail = {}) {
  Bytes out(n, b);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

InstructionRecord DecodeExact(const Bytes& bytes) {
  auto block = std::make_unique<std::uint8_t[]>(bytes.size());
  std::memcpy(block.get(), bytes.data(), bytes.size());
  InstructionRecord r;
  const unsigned length = DecodeInstruction(block.get(), &r);
  EXPECT_EQ(length, r.length);
  return r;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      // Prefixes and the 15-byte limit.
      {"15 prefixes", Repeat(0x66, 15), 15, E | kInsnErrorLength, 0},
      {"14 prefixes and nop", Repeat(0x66, 14, {0x90}), 15, kInsnPrefix66, kAnyError},
      {"needs a 16th byte", Repeat(0x2E, 6, {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7}), 15, E | kInsnErrorLength, 0},
      {"REX cancelled by 66 (48 66 90)", {0x48, 0x66, 0x90}, 3, kInsnPrefix66, kInsnPrefixRex | kAnyError},
      {"REX kept after 66 (66 48 90)", {0x66, 0x48, 0x90}, 3, kInsnPrefix66 | kInsnPrefixRex, kAnyError},
      {"segment, 67 and F2 flags", {0x64, 0x67, 0xF2, 0x8B, 0x00}, 5,
       kInsnPrefixSegment | kInsnPrefix67 | kInsnPrefixF2 | kInsnModRM, kAnyError},
      // Operand-size immediates.
      {"mov r32, imm32", {0xB8, 1, 2, 3, 4}, 5, kInsnImm32, kInsnImm64 | kAnyError},
      {"mov r16, imm16", {0x66, 0xB8, 1, 2}, 4, kInsnImm16, kAnyError},
      {"mov r64, imm64", {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10, kInsnImm64, kAnyError},
      {"REX.W beats 66 for imm64", {0x66, 0x48, 0xBF, 1, 2, 3, 4, 5, 6, 7, 8}, 11, kInsnImm64, kAnyError},
      {"REX.W add keeps imm32", {0x48, 0x05, 1, 2, 3, 4}, 6, kInsnImm32, kAnyError},
      {"push imm16", {0x66, 0x68, 1, 2}, 4, kInsnImm16, kAnyError},
      // moffs.
      {"A0 moffs64", {0xA0, 1, 2, 3, 4, 5, 6, 7, 8}, 9, kInsnImm64, kAnyError},
      {"48 A1 moffs64", {0x48, 0xA1, 1, 2, 3, 4, 5, 6, 7, 8}, 10, kInsnImm64, kAnyError},
      {"66 A3 still moffs64", {0x66, 0xA3, 1, 2, 3, 4, 5, 6, 7, 8}, 10, kInsnImm64, kAnyError},
      {"67 A2 moffs32", {0x67, 0xA2, 1, 2, 3, 4}, 6, kInsnImm32, kInsnImm64 | kAnyError},
      // Other immediates.
      {"enter iw, ib", {0xC8, 0x20, 0x00, 0x01}, 4, kInsnImm16 | kInsnImm8, kAnyError},
      {"ret imm16", {0xC2, 0x08, 0x00}, 3, kInsnImm16, kAnyError},
      {"test r/m8, imm8 (F6 /0)", {0xF6, 0x00, 0x7F}, 3, kInsnImm8 | kInsnModRM, kAnyError},
      {"not r/m8 (F6 /2) has none", {0xF6, 0x10}, 2, kInsnModRM, kInsnImmMask | kAnyError},
      {"test r32, imm32 (F7 /0)", {0xF7, 0xC0, 1, 2, 3, 4}, 6, kInsnImm32, kAnyError},
      {"test r16, imm16", {0x66, 0xF7, 0xC0, 1, 2}, 5, kInsnImm16, kAnyError},
      {"extrq ib, ib", {0x66, 0x0F, 0x78, 0xC1, 4, 8}, 6, kInsnImm16, kAnyError},
      {"vmread has none", {0x0F, 0x78, 0xC1}, 3, kInsnModRM, kInsnImmMask | kAnyError},
      // Relative branches.
      {"call rel32", {0xE8, 0x10, 0, 0, 0}, 5, kInsnRelative | kInsnImm32, kAnyError},
      {"jmp rel32", {0xE9, 0xF0, 0xFF, 0xFF, 0xFF}, 5, kInsnRelative | kInsnImm32, kAnyError},
      {"jmp rel8", {0xEB, 0xFE}, 2, kInsnRelative | kInsnImm8, kAnyError},
      {"jz rel8", {0x74, 0x05}, 2, kInsnRelative | kInsnImm8, kAnyError},
      {"jrcxz rel8", {0xE3, 0x02}, 2, kInsnRelative | kInsnImm8, kAnyError},
      {"loop rel8", {0xE2, 0xFC}, 2, kInsnRelative | kInsnImm8, kAnyError},
      {"jnz rel32", {0x0F, 0x85, 0, 1, 0, 0}, 6, kInsnRelative | kInsnImm32, kAnyError},
      {"66 jmp rel16", {0x66, 0xE9, 0x10, 0x00}, 4, kInsnRelative | kInsnImm16, kAnyError},
      {"REX.W call keeps rel32", {0x48, 0xE8, 1, 0, 0, 0}, 6, kInsnRelative | kInsnImm32, kAnyError},
      {"xbegin rel32 (C7 F8)", {0xC7, 0xF8, 0x10, 0, 0, 0}, 6, kInsnRelative | kInsnImm32, kAnyError},
      {"xabort imm8 (C6 F8)", {0xC6, 0xF8, 0x01}, 3, kInsnImm8, kInsnRelative | kAnyError},
      {"mov r/m32, imm32 is not relative", {0xC7, 0x00, 1, 2, 3, 4}, 6, kInsnImm32, kInsnRelative | kAnyError},
      // ModRM, SIB and displacements.
      {"rip-relative load", {0x48, 0x8B, 0x05, 0x10, 0x20, 0x30, 0x00}, 7, kInsnModRM | kInsnDisp32, kInsnSib | kAnyError},
      {"rip-relative with imm8", {0x80, 0x3D, 1, 2, 3, 4, 0x7F}, 7, kInsnDisp32 | kInsnImm8, kAnyError},
      {"rip-relative with imm32", {0x48, 0xC7, 0x05, 1, 2, 3, 4, 5, 6, 7, 8}, 11, kInsnDisp32 | kInsnImm32, kAnyError},
      {"SIB without base", {0x8B, 0x04, 0x25, 1, 2, 3, 4}, 7, kInsnSib | kInsnDisp32, kAnyError},
      {"SIB base rbp, disp8", {0x8B, 0x44, 0x25, 0x08}, 4, kInsnSib | kInsnDisp8, kAnyError},
      {"disp32 with mod 2", {0x8B, 0x80, 1, 2, 3, 4}, 6, kInsnDisp32, kInsnSib | kAnyError},
      {"register form has none", {0x89, 0xC8}, 2, kInsnModRM, kInsnDisp8 | kInsnDisp32 | kAnyError},
      {"MOV CRn ignores mod", {0x0F, 0x20, 0x05}, 3, kInsnModRM, kInsnDisp32 | kAnyError},
      // Three-byte maps.
      {"0F 38 pshufb", {0x66, 0x0F, 0x38, 0x00, 0xC1}, 5, kInsnModRM, kInsnImmMask | kAnyError},
      {"0F 3A palignr", {0x66, 0x0F, 0x3A, 0x0F, 0xC1, 0x08}, 6, kInsnModRM | kInsnImm8, kAnyError},
      {"0F 3A rip-relative", {0x66, 0x0F, 0x3A, 0x0F, 0x05, 1, 2, 3, 4, 0x08}, 10, kInsnDisp32 | kInsnImm8, kAnyError},
      // VEX, XOP, EVEX.
      {"vzeroupper", {0xC5, 0xF8, 0x77}, 3, 0, kInsnModRM | kAnyError},
      {"C5 vmovaps", {0xC5, 0xF8, 0x28, 0xC1}, 4, kInsnModRM, kAnyError},
      {"C4 map 2 vbroadcastss", {0xC4, 0xE2, 0x79, 0x18, 0x00}, 5, kInsnModRM, kAnyError},
      {"C4 map 3 with imm8", {0xC4, 0xE3, 0x79, 0x0F, 0xC1, 0x04}, 6, kInsnImm8, kAnyError},
      {"C5 vpshufd imm8", {0xC5, 0xF9, 0x70, 0xC1, 0x1B}, 5, kInsnImm8, kAnyError},
      {"C4 map 0 invalid", {0xC4, 0xE0, 0x79, 0x10, 0xC1}, 5, E | kInsnErrorOpcode, 0},
      {"66 before C5", {0x66, 0xC5, 0xF8, 0x28, 0xC1}, 5, E | kInsnErrorOpcode, 0},
      {"F2 before C5", {0xF2, 0xC5, 0xF8, 0x28, 0xC1}, 5, E | kInsnErrorOpcode, 0},
      {"F3 before C4", {0xF3, 0xC4, 0xE2, 0x79, 0x18, 0x00}, 6, E | kInsnErrorOpcode, 0},
      {"F0 before C5", {0xF0, 0xC5, 0xF8, 0x28, 0xC1}, 5, E | kInsnErrorOpcode, 0},
      {"REX before C4", {0x40, 0xC4, 0xE2, 0x79, 0x18, 0x00}, 6, E | kInsnErrorOpcode, 0},
      {"EVEX vmovups zmm", {0x62, 0xF1, 0x7C, 0x48, 0x10, 0x00}, 6, kInsnModRM, kAnyError},
      {"EVEX disp8", {0x62, 0xF1, 0x7C, 0x48, 0x10, 0x40, 0x01}, 7, kInsnDisp8, kAnyError},
      {"EVEX map 5 vaddph", {0x62, 0xF5, 0x7C, 0x08, 0x58, 0xC1}, 6, kInsnModRM, kInsnImmMask | kAnyError},
      {"EVEX map 5 imm8 (C2)", {0x62, 0xF5, 0x7C, 0x08, 0xC2, 0xC1, 0x05}, 7, kInsnImm8, kAnyError},
      {"VEX map 5 invalid", {0xC4, 0xE5, 0x79, 0x58, 0xC1}, 5, E | kInsnErrorOpcode, 0},
      {"XOP map 8 vprotb imm8", {0x8F, 0xE8, 0x78, 0xC0, 0xC1, 0x05}, 6, kInsnImm8, kAnyError},
      {"XOP map 9 vfrczps", {0x8F, 0xE9, 0x78, 0x80, 0xC1}, 5, kInsnModRM, kInsnImmMask | kAnyError},
      {"XOP map 10 bextr imm32", {0x8F, 0xEA, 0x78, 0x10, 0xC1, 1, 2, 3, 4}, 9, kInsnImm32, kAnyError},
      {"XOP map 11 invalid", {0x8F, 0xEB, 0x78, 0x10, 0xC1}, 5, E | kInsnErrorOpcode, 0},
      {"8F /0 is pop", {0x8F, 0xC0}, 2, kInsnModRM, kAnyError},
      {"8F /4 is undefined", {0x8F, 0xE0}, 2, E | kInsnErrorOpcode, 0},
      // REX2.
      {"REX2 map 0 mov", {0xD5, 0x11, 0x89, 0xC8}, 4, kInsnPrefixRex2 | kInsnModRM, kInsnPrefixRex | kAnyError},
      {"REX2.W mov imm64", {0xD5, 0x18, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 11, kInsnPrefixRex2 | kInsnImm64, kAnyError},
      {"REX2 map 1 imul", {0xD5, 0x80, 0xAF, 0xC1}, 4, kInsnPrefixRex2 | kInsnModRM, kAnyError},
      {"REX2 rip-relative", {0xD5, 0x44, 0x8B, 0x05, 1, 2, 3, 4}, 8, kInsnDisp32, kAnyError},
      {"REX before REX2", {0x48, 0xD5, 0x00, 0x89, 0xC8}, 5, E | kInsnErrorOpcode, 0},
      {"REX2 then 0F", {0xD5, 0x00, 0x0F, 0x05}, 3, E | kInsnErrorOpcode, 0},
      {"REX2 then REX", {0xD5, 0x00, 0x48, 0x90}, 3, E | kInsnErrorOpcode, 0},
      {"REX2 then a prefix", {0xD5, 0x00, 0x66, 0x90}, 3, E | kInsnErrorOpcode, 0},
      // LOCK.
      {"lock add [mem]", {0xF0, 0x01, 0x08}, 3, kInsnPrefixLock, kAnyError},
      {"lock on register", {0xF0, 0x01, 0xC8}, 3, E | kInsnErrorLock, 0},
      {"lock without ModRM", {0xF0, 0x90}, 2, E | kInsnErrorLock, 0},
      {"lock on add r, [mem]", {0xF0, 0x03, 0x08}, 3, E | kInsnErrorLock, 0},
      {"lock cmp (80 /7)", {0xF0, 0x80, 0x38, 0x01}, 4, E | kInsnErrorLock, 0},
      {"lock inc (FE /0)", {0xF0, 0xFE, 0x00}, 3, 0, kAnyError},
      {"lock neg (F7 /3)", {0xF0, 0xF7, 0x18}, 3, 0, kAnyError},
      {"lock cmpxchg16b", {0xF0, 0x48, 0x0F, 0xC7, 0x0E}, 5, 0, kAnyError},
      {"lock bts imm (0F BA /5)", {0xF0, 0x0F, 0xBA, 0x28, 0x03}, 5, 0, kAnyError},
      {"lock bt imm (0F BA /4)", {0xF0, 0x0F, 0xBA, 0x20, 0x03}, 5, E | kInsnErrorLock, 0},
      {"lock on 0F 38", {0xF0, 0x66, 0x0F, 0x38, 0x00, 0x00}, 6, E | kInsnErrorLock, 0},
      // Undefined opcodes and operands.
      {"06 in 64-bit mode", {0x06}, 1, E | kInsnErrorOpcode, 0},
      {"0F 04", {0x0F, 0x04}, 2, E | kInsnErrorOpcode, 0},
      {"0F 24 keeps its ModRM", {0x0F, 0x24, 0xC0}, 3, E | kInsnErrorOpcode | kInsnModRM, 0},
      {"ud2", {0x0F, 0x0B}, 2, 0, kAnyError},
      {"ud1 has ModRM", {0x0F, 0xB9, 0x00}, 3, kInsnModRM, kAnyError},
      {"getsec", {0x0F, 0x37}, 2, 0, kAnyError},
      {"66 getsec", {0x66, 0x0F, 0x37}, 3, E | kInsnErrorOpcode, 0},
      {"sahf", {0x9E}, 1, 0, kAnyError},
      {"FE /2 undefined", {0xFE, 0x10}, 2, E | kInsnErrorOpcode, 0},
      {"FF /3 register form", {0xFF, 0xD8}, 2, E | kInsnErrorOpcode, 0},
      {"FF /3 memory (far call)", {0xFF, 0x18}, 2, 0, kAnyError},
      {"lea register form", {0x8D, 0xC0}, 2, E | kInsnErrorOpcode, 0},
      {"movntps needs memory", {0x0F, 0x2B, 0xC1}, 3, E | kInsnErrorOpcode, 0},
      {"movntsd with F2", {0xF2, 0x0F, 0x2B, 0x01}, 4, 0, kAnyError},
      {"pmovmskb needs a register", {0x66, 0x0F, 0xD7, 0x00}, 4, E | kInsnErrorOpcode, 0},
      {"movq2dq needs a register", {0xF3, 0x0F, 0xD6, 0x00}, 4, E | kInsnErrorOpcode, 0},
      {"punpcklqdq needs 66", {0x0F, 0x6C, 0xC1}, 3, E | kInsnErrorOpcode, 0},
      {"66 punpcklqdq", {0x66, 0x0F, 0x6C, 0xC1}, 4, 0, kAnyError},
      {"popcnt", {0xF3, 0x0F, 0xB8, 0xC1}, 4, 0, kAnyError},
      {"0F B8 without F3", {0x0F, 0xB8, 0xC1}, 3, E | kInsnErrorOpcode | kInsnModRM, 0},
      {"F2 beats 66 as mandatory prefix", {0x66, 0xF2, 0x0F, 0x6C, 0xC1}, 5, E | kInsnErrorOpcode, 0},
      {"mov rax, cr1", {0x0F, 0x20, 0xC8}, 3, E | kInsnErrorOperand, 0},
      {"mov rax, cr8", {0x44, 0x0F, 0x20, 0xC0}, 4, 0, kAnyError},
      {"mov r, seg 6", {0x8C, 0xF0}, 2, E | kInsnErrorOperand, 0},
      {"mov cs, r", {0x8E, 0xC8}, 2, E | kInsnErrorOperand, 0},
      {"mov ss, r", {0x8E, 0xD0}, 2, 0, kAnyError},
      {"psrldq needs 66", {0x0F, 0x73, 0xD8, 0x01}, 4, E | kInsnErrorOpcode, 0},
      {"psrlw imm needs a register", {0x66, 0x0F, 0x71, 0x10, 0x01}, 5, E | kInsnErrorOpcode, 0},
      // x87.
      {"fld st(1)", {0xD9, 0xC1}, 2, 0, kAnyError},
      {"fnop", {0xD9, 0xD0}, 2, 0, kAnyError},
      {"D9 D1 undefined", {0xD9, 0xD1}, 2, E | kInsnErrorOpcode, 0},
      {"D9 /1 memory undefined", {0xD9, 0x08}, 2, E | kInsnErrorOpcode, 0},
      {"fld m80 (DB /5)", {0xDB, 0x28}, 2, 0, kAnyError},
      {"DB /4 memory undefined", {0xDB, 0x20}, 2, E | kInsnErrorOpcode, 0},
      {"fnstsw ax", {0xDF, 0xE0}, 2, 0, kAnyError},
      {"DF E1 undefined", {0xDF, 0xE1}, 2, E | kInsnErrorOpcode, 0},
      {"fucompp", {0xDA, 0xE9}, 2, 0, kAnyError},
      {"fstp m64 with disp32", {0xDD, 0x9C, 0x24, 1, 2, 3, 4}, 7, kInsnSib | kInsnDisp32, kAnyError},
  };
  return cases;
}

TEST(Decoder, DecodesTheCaseTable) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const InstructionRecord r = DecodeExact(c.bytes);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(r.flags & c.set, c.set) << std::hex << "flags " << r.flags;
    EXPECT_EQ(r.flags & c.clear, 0u) << std::hex << "flags " << r.flags;
    // Every error kind carries the general error bit, and the immediate bits
    // always give the size that was read.
    if (r.flags & kAnyError) EXPECT_TRUE(r.flags & kInsnError);
  }
}

TEST(Decoder, ImmediateBitsGiveTheImmediateSize) {
  const struct {
    Bytes bytes;
    unsigned size;
  } cases[] = {
      {{0x6A, 0x01}, 1},
      {{0xC2, 0x08, 0x00}, 2},
      {{0xC8, 0x20, 0x00, 0x01}, 3},
      {{0x05, 1, 2, 3, 4}, 4},
      {{0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 8},
  };
  for (const auto& c : cases) {
    const InstructionRecord r = DecodeExact(c.bytes);
    EXPECT_EQ((r.flags & kInsnImmMask) >> 2, c.size);
  }
}

TEST(Decoder, FillsTheFieldsTheHookingEngineReads) {
  // mov rax, [rip + 0x00302010]
  InstructionRecord r = DecodeExact({0x48, 0x8B, 0x05, 0x10, 0x20, 0x30, 0x00});
  EXPECT_TRUE(IsRipRelative(r));
  EXPECT_EQ(r.disp.disp32, 0x00302010u);
  EXPECT_EQ(r.rex, 0x48);
  EXPECT_EQ(r.rexW, 1);
  EXPECT_EQ(r.opcode, 0x8B);
  EXPECT_EQ(r.modrm, 0x05);
  EXPECT_EQ(r.reg, 0);

  // cmp byte [rip + 0x04030201], 0x7F: the displacement sits before the immediate.
  r = DecodeExact({0x80, 0x3D, 1, 2, 3, 4, 0x7F});
  EXPECT_TRUE(IsRipRelative(r));
  EXPECT_EQ(r.disp.disp32, 0x04030201u);
  EXPECT_EQ(r.imm.imm8, 0x7F);

  // Relative branches: sign-extended displacements.
  EXPECT_EQ(BranchDisplacement(DecodeExact({0xEB, 0xFE})), -2);
  EXPECT_EQ(BranchDisplacement(DecodeExact({0xE9, 0xF0, 0xFF, 0xFF, 0xFF})), -16);
  EXPECT_EQ(BranchDisplacement(DecodeExact({0x0F, 0x85, 0x00, 0x01, 0x00, 0x00})), 0x100);
  EXPECT_EQ(BranchDisplacement(DecodeExact({0x66, 0xE9, 0xFF, 0x7F})), 0x7FFF);
  EXPECT_EQ(BranchDisplacement(DecodeExact({0x90})), 0);

  r = DecodeExact({0x0F, 0x84, 1, 0, 0, 0});
  EXPECT_EQ(r.opcode, 0x0F);
  EXPECT_EQ(r.opcode2, 0x84);

  // ENTER: the 16-bit immediate, then the 8-bit one in the displacement field.
  r = DecodeExact({0xC8, 0x20, 0x00, 0x01});
  EXPECT_EQ(r.imm.imm16, 0x20);
  EXPECT_EQ(r.disp.disp8, 1);

  // VEX / EVEX / XOP: the escape, then the real opcode.
  r = DecodeExact({0xC5, 0xF8, 0x28, 0xC1});
  EXPECT_EQ(r.opcode, 0xC5);
  EXPECT_EQ(r.opcode2, 0x28);

  // REX2: W, R, X, B from the payload's low bits; map 1 is flagged by opcode D5.
  r = DecodeExact({0xD5, 0x8D, 0xAF, 0xC1});
  EXPECT_EQ(r.opcode, 0xD5);
  EXPECT_EQ(r.opcode2, 0xAF);
  EXPECT_EQ(r.rexW, 1);
  EXPECT_EQ(r.rexR, 1);
  EXPECT_EQ(r.rexX, 0);
  EXPECT_EQ(r.rexB, 1);
  r = DecodeExact({0xD5, 0x00, 0x89, 0xC8});
  EXPECT_EQ(r.opcode, 0x89);

  // Prefix fields: the last F2/F3 is the repeat prefix.
  r = DecodeExact({0xF2, 0xF3, 0x2E, 0x67, 0x66, 0xF0, 0x01, 0x00});
  EXPECT_EQ(r.repeatPrefix, 0xF3);
  EXPECT_EQ(r.segmentPrefix, 0x2E);
  EXPECT_EQ(r.addressSizePrefix, 0x67);
  EXPECT_EQ(r.operandSizePrefix, 0x66);
  EXPECT_EQ(r.lockPrefix, 0xF0);
  EXPECT_TRUE(r.flags & kInsnPrefixF2);
  EXPECT_TRUE(r.flags & kInsnPrefixF3);

  // SIB fields.
  r = DecodeExact({0x8B, 0x44, 0x8D, 0x08});
  EXPECT_EQ(r.scale, 2);
  EXPECT_EQ(r.index, 1);
  EXPECT_EQ(r.base, 5);
}

}  // namespace
