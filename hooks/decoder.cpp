// x64 instruction decoder (see decoder.h).
//
// [SECTION] Opcode property table: readable per-opcode sources
// [SECTION] Opcode property table: packing
// [SECTION] Decoding
//
// The property table is derived by hand from the published x86-64 opcode maps
// (Intel SDM volume 2 appendix A, AMD APM volume 3 appendix A) into the
// readable 16-by-16 grids below; a compile-time packer turns them into the one
// byte table the decoder reads. The packed form keeps the table small: each
// map is an index of 64 bytes (one per four opcodes) into a run of property
// bytes in which equal runs of four are shared.
#include "hooks/decoder.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>

namespace bh::hooks {
namespace {

// ---------------------------------------------------------------------------
// [SECTION] Opcode property table: readable per-opcode sources
// ---------------------------------------------------------------------------

// Property byte bits.
constexpr std::uint8_t M = 0x01;    // has ModRM
constexpr std::uint8_t I8 = 0x02;   // 8-bit immediate
constexpr std::uint8_t I16 = 0x04;  // 16-bit immediate
constexpr std::uint8_t IZ = 0x10;   // immediate of operand size (16 with 66, else 32; imm64/moffs cases)
constexpr std::uint8_t R8 = 0x20;   // 8-bit relative branch
constexpr std::uint8_t R32 = 0x40;  // 32-bit relative branch (16-bit with 66 and no REX.W)
constexpr std::uint8_t GRP = 0x80;  // group: low 7 bits are the offset of a {property, invalid regs} record
constexpr std::uint8_t X = 0xFF;    // invalid opcode (or a prefix / escape handled before the lookup)

// Register masks: bit (7 - n) stands for value n, so (mask << n) & 0x80 tests n.
constexpr std::uint8_t Regs(std::initializer_list<int> values) {
  std::uint8_t mask = 0;
  for (int v : values) mask |= static_cast<std::uint8_t>(0x80u >> v);
  return mask;
}
constexpr bool Listed(std::uint8_t mask, unsigned value) {
  return ((static_cast<unsigned>(mask) << value) & 0x80u) != 0;
}

// Groups whose reg field selects among instructions, some of them undefined.
struct GroupSource {
  std::uint8_t property;
  std::uint8_t invalidRegs;
};
enum GroupId : std::uint8_t {
  kGroupPop,        // 8F: only /0 is POP (other reg values with low bits set are XOP)
  kGroupMovImm8,    // C6: /0 MOV, /7 XABORT
  kGroupMovImm,     // C7: /0 MOV, /7 XBEGIN
  kGroupIncDec8,    // FE: /0 INC, /1 DEC
  kGroupFF,         // FF: /0-/6
  kGroup0F00,       // 0F 00: SLDT ... VERW
  kGroupShiftImmW,  // 0F 71, 0F 72: /2 /4 /6
  kGroupShiftImmQ,  // 0F 73: /2 /3 /6 /7
  kGroupBitTest,    // 0F BA: /4-/7
  kGroup0FC7,       // 0F C7: CMPXCHG8B/16B, XRSTORS, XSAVEC, XSAVES, VMPTRLD..., RDRAND, RDSEED
  kGroupCount
};
constexpr GroupSource kGroupSources[kGroupCount] = {
    {M, Regs({1, 2, 3, 4, 5, 6, 7})},
    {M | I8, Regs({1, 2, 3, 4, 5, 6})},
    {M | IZ, Regs({1, 2, 3, 4, 5, 6})},
    {M, Regs({2, 3, 4, 5, 6, 7})},
    {M, Regs({7})},
    {M, Regs({6, 7})},
    {M | I8, Regs({0, 1, 3, 5, 7})},
    {M | I8, Regs({0, 1, 4, 5})},
    {M | I8, Regs({0, 1, 2, 3})},
    {M, Regs({0, 2})},
};
constexpr std::uint8_t G(GroupId id) { return static_cast<std::uint8_t>(GRP | id); }

// One-byte map in 64-bit mode. Prefixes (26 2E 36 3E 40-4F 64-67 F0 F2 F3)
// and escapes (0F, C4, C5, 62, D5) never reach the lookup and read X. The
// A0-A3 moffs forms read IZ; their size is decided from 67.
constexpr std::uint8_t kOneByteSource[256] = {
    //0     1       2       3       4       5       6       7       8       9       A       B       C       D       E       F
    M,      M,      M,      M,      I8,     IZ,     X,      X,      M,      M,      M,      M,      I8,     IZ,     X,      X,       // 0
    M,      M,      M,      M,      I8,     IZ,     X,      X,      M,      M,      M,      M,      I8,     IZ,     X,      X,       // 1
    M,      M,      M,      M,      I8,     IZ,     X,      X,      M,      M,      M,      M,      I8,     IZ,     X,      X,       // 2
    M,      M,      M,      M,      I8,     IZ,     X,      X,      M,      M,      M,      M,      I8,     IZ,     X,      X,       // 3
    X,      X,      X,      X,      X,      X,      X,      X,      X,      X,      X,      X,      X,      X,      X,      X,       // 4
    0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      0,       // 5
    X,      X,      X,      M,      X,      X,      X,      X,      IZ,     M|IZ,   I8,     M|I8,   0,      0,      0,      0,       // 6
    R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,     R8,      // 7
    M|I8,   M|IZ,   X,      M|I8,   M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      G(kGroupPop), // 8
    0,      0,      0,      0,      0,      0,      0,      0,      0,      0,      X,      0,      0,      0,      0,      0,       // 9
    IZ,     IZ,     IZ,     IZ,     0,      0,      0,      0,      I8,     IZ,     0,      0,      0,      0,      0,      0,       // A
    I8,     I8,     I8,     I8,     I8,     I8,     I8,     I8,     IZ,     IZ,     IZ,     IZ,     IZ,     IZ,     IZ,     IZ,      // B
    M|I8,   M|I8,   I16,    0,      X,      X,      G(kGroupMovImm8), G(kGroupMovImm), I16|I8, 0, I16, 0,  0,      I8,     X,      0,       // C
    M,      M,      M,      M,      X,      X,      X,      0,      M,      M,      M,      M,      M,      M,      M,      M,       // D
    R8,     R8,     R8,     R8,     I8,     I8,     I8,     I8,     R32,    R32,    X,      R8,     0,      0,      0,      0,       // E
    X,      0,      X,      X,      0,      0,      M,      M,      0,      0,      0,      0,      0,      0,      G(kGroupIncDec8), G(kGroupFF), // F
};

// Two-byte map (0F xx). 38 and 3A are escapes to three-byte maps.
constexpr std::uint8_t kTwoByteSource[256] = {
    //0     1       2       3       4       5       6       7       8       9       A       B       C       D       E       F
    G(kGroup0F00), M, M,    M,      X,      0,      0,      0,      0,      0,      X,      0,      X,      M,      0,      M|I8,    // 0  (0B UD2; 0F 3DNow! suffix)
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // 1
    M,      M,      M,      M,      X,      X,      X,      X,      M,      M,      M,      M,      M,      M,      M,      M,       // 2  (24, 26: MOV TRn, gone)
    0,      0,      0,      0,      0,      0,      X,      0,      X,      X,      X,      X,      X,      X,      X,      X,       // 3
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // 4
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // 5
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // 6
    M|I8, G(kGroupShiftImmW), G(kGroupShiftImmW), G(kGroupShiftImmQ), M, M, M, 0, M, M, X,      X,      M,      M,      M,      M,       // 7
    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,    R32,     // 8
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // 9
    0,      0,      0,      M,      M|I8,   M,      M,      M,      0,      0,      0,      M,      M|I8,   M,      M,      M,       // A  (A6, A7: see Decode)
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      G(kGroupBitTest), M, M,  M,      M,      M,       // B  (B9 UD1)
    M,      M,      M|I8,   M,      M|I8,   M|I8,   M|I8,   G(kGroup0FC7), 0, 0,    0,      0,      0,      0,      0,      0,       // C
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // D
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // E
    M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,      M,       // F  (FF UD0)
};

// Mandatory-prefix masks for the two-byte map: the prefixes that make an
// opcode undefined. The mandatory prefix is the last F2/F3, else 66, else none.
constexpr std::uint8_t PN = 1, PF2 = 2, PF3 = 4, P66 = 8;
struct PrefixRule {
  std::uint8_t first, last;  // opcode range
  std::uint8_t invalid;
};
constexpr PrefixRule kMandatoryPrefixRules[] = {
    {0x13, 0x15, PF2 | PF3}, {0x16, 0x16, PF2},       {0x17, 0x17, PF2 | PF3},
    {0x28, 0x29, PF2 | PF3}, {0x2E, 0x2F, PF2 | PF3}, {0x37, 0x37, PF2 | PF3 | P66},
    {0x50, 0x50, PF2 | PF3}, {0x52, 0x53, PF2 | P66}, {0x54, 0x57, PF2 | PF3},
    {0x5B, 0x5B, PF2},       {0x60, 0x6B, PF2 | PF3}, {0x6C, 0x6D, PN | PF2 | PF3},
    {0x6E, 0x6E, PF2 | PF3}, {0x6F, 0x6F, PF2},       {0x71, 0x76, PF2 | PF3},
    {0x77, 0x77, PF2 | PF3 | P66}, {0x78, 0x79, PF3}, {0x7C, 0x7D, PN | PF3},
    {0x7E, 0x7F, PF2},       {0xB8, 0xB8, PN | PF2 | P66}, {0xC3, 0xC3, PF2 | PF3 | P66},
    {0xC4, 0xC6, PF2 | PF3}, {0xD0, 0xD0, PN | PF3},  {0xD1, 0xD5, PF2 | PF3},
    {0xD6, 0xD6, PN},        {0xD7, 0xE5, PF2 | PF3}, {0xE6, 0xE6, PN},
    {0xE7, 0xEF, PF2 | PF3}, {0xF0, 0xF0, PN | PF3 | P66}, {0xF1, 0xFE, PF2 | PF3},
};

// x87 (D9-DF): reg values undefined with a memory operand, one mask per opcode.
constexpr std::uint8_t kX87MemorySource[7] = {
    Regs({1}), 0, Regs({4, 6}), 0, Regs({5}), 0, 0,
};
// x87 register forms: rm values undefined, per opcode and reg.
constexpr std::uint8_t kAllRm = 0xFF;
constexpr std::uint8_t kX87RegisterSource[7][8] = {
    /* D9 */ {0, 0, static_cast<std::uint8_t>(~Regs({0})), 0, Regs({2, 3, 6, 7}), Regs({7}), 0, 0},
    /* DA */ {0, 0, 0, 0, kAllRm, static_cast<std::uint8_t>(~Regs({1})), kAllRm, kAllRm},
    /* DB */ {0, 0, 0, 0, Regs({5, 6, 7}), 0, 0, kAllRm},
    /* DC */ {0, 0, 0, 0, 0, 0, 0, 0},
    /* DD */ {0, 0, 0, 0, 0, 0, kAllRm, kAllRm},
    /* DE */ {0, 0, 0, static_cast<std::uint8_t>(~Regs({1})), 0, 0, 0, 0},
    /* DF */ {0, 0, 0, 0, static_cast<std::uint8_t>(~Regs({0})), 0, 0, kAllRm},
};

// Opcodes that take LOCK with a memory operand, with the reg values for which
// they do not. One-byte opcodes are listed with their low bit cleared.
struct LockSource {
  std::uint8_t opcode;
  std::uint8_t invalidRegs;
};
constexpr LockSource kLockOneByte[] = {
    {0x00, 0}, {0x08, 0}, {0x10, 0}, {0x18, 0}, {0x20, 0}, {0x28, 0},
    {0x30, 0}, {0x80, Regs({7})}, {0x82, Regs({7})}, {0x86, 0},
    {0xF6, Regs({0, 1, 4, 5, 6, 7})}, {0xFE, Regs({2, 3, 4, 5, 6, 7})},
};
constexpr LockSource kLockTwoByte[] = {
    {0xAB, 0}, {0xB3, 0}, {0xBB, 0}, {0xBA, Regs({0, 1, 2, 3, 4})}, {0xB0, 0},
    {0xB1, 0}, {0xC0, 0}, {0xC1, 0}, {0xC7, static_cast<std::uint8_t>(~Regs({1}))},
};

// Opcodes whose register form (mod 3) is defined only for some reg values,
// under the given mandatory prefixes.
struct RegisterFormSource {
  std::uint8_t opcode;
  std::uint8_t prefixes;
  std::uint8_t allowedRegs;
};
constexpr std::uint8_t PAll = PN | PF2 | PF3 | P66;
constexpr RegisterFormSource kRegisterFormOneByte[] = {
    {0x8D, PAll, 0},                          // LEA
    {0xC6, PAll, Regs({0, 7})},               // MOV, XABORT
    {0xC7, PAll, Regs({0, 7})},               // MOV, XBEGIN
    {0xFF, PAll, Regs({0, 1, 2, 4, 6})},      // far CALL / JMP need memory
};
constexpr RegisterFormSource kRegisterFormTwoByte[] = {
    {0x12, P66, 0},             {0x13, PN | P66, 0},  {0x16, P66, 0},
    {0x17, PN | P66, 0},        {0x1A, PN, 0},        {0x1B, PN | PF3, 0},
    {0x2B, PAll, 0},            {0xAE, PN, Regs({5, 6, 7})},
    {0xAE, PF3, Regs({0, 1, 2, 3, 4, 5, 6})}, {0xAE, P66 | PF2, Regs({6})},
    {0xB2, PAll, 0},            {0xB4, PAll, 0},      {0xB5, PAll, 0},
    {0xC3, PAll, 0},            {0xC7, PAll, Regs({6, 7})}, {0xE7, PAll, 0},
    {0xF0, PAll, 0},
    {0x73, PN, Regs({2, 6})},   // PSRLDQ / PSLLDQ exist only with 66
};

// ---------------------------------------------------------------------------
// [SECTION] Opcode property table: packing
// ---------------------------------------------------------------------------

// Offsets of the sub-tables inside the packed table.
struct Layout {
  unsigned groups;          // 2-byte group records
  unsigned oneIndex, oneProps;
  unsigned twoIndex, twoProps;
  unsigned x87Memory, x87Register;
  unsigned prefixIndex, prefixProps;
  unsigned lockOne, lockTwo;
  unsigned regFormOne, regFormTwo;
  unsigned size;
};

struct Packer {
  std::uint8_t bytes[1024] = {};
  unsigned size = 0;
  Layout layout = {};

  constexpr void Put(std::uint8_t b) { bytes[size++] = b; }

  // Writes the 64-byte index at size and then the property run; every index
  // byte is the offset of its opcode quad within the run (shared when equal).
  constexpr void PackMap(const std::uint8_t (&source)[256], unsigned& index, unsigned& props) {
    index = size;
    size += 64;
    props = size;
    for (unsigned quad = 0; quad < 64; ++quad) {
      const std::uint8_t* q = &source[quad * 4];
      unsigned runLength = size - props;
      unsigned found = runLength + 1;
      // An equal quad already in the run, or one that overlaps its tail.
      for (unsigned at = 0; at <= runLength && found > runLength; ++at) {
        bool match = true;
        for (unsigned k = 0; k < 4 && at + k < runLength; ++k) match = match && bytes[props + at + k] == q[k];
        if (match) found = at;
      }
      for (unsigned k = runLength - found; k < 4; ++k) Put(q[k]);
      bytes[index + quad] = static_cast<std::uint8_t>(found);
      if (found > 255) size = sizeof(bytes) + 1;  // offset does not fit an index byte: fails below
    }
  }
};

constexpr std::uint8_t GroupOffset(std::uint8_t property) {
  return (property != X && (property & GRP)) ? static_cast<std::uint8_t>(GRP | ((property & 0x7F) * 2))
                                             : property;
}

constexpr Packer Pack() {
  Packer p;
  // Group records first: their offsets must fit the 7 bits of a group property.
  p.layout.groups = p.size;
  for (const GroupSource& g : kGroupSources) {
    p.Put(g.property);
    p.Put(g.invalidRegs);
  }
  std::uint8_t one[256] = {}, two[256] = {}, prefixes[256] = {};
  for (unsigned i = 0; i < 256; ++i) {
    one[i] = GroupOffset(kOneByteSource[i]);
    two[i] = GroupOffset(kTwoByteSource[i]);
  }
  for (const PrefixRule& r : kMandatoryPrefixRules)
    for (unsigned op = r.first; op <= r.last; ++op) prefixes[op] = r.invalid;
  p.PackMap(one, p.layout.oneIndex, p.layout.oneProps);
  p.PackMap(two, p.layout.twoIndex, p.layout.twoProps);
  p.layout.x87Memory = p.size;
  for (std::uint8_t m : kX87MemorySource) p.Put(m);
  p.layout.x87Register = p.size;
  for (const auto& row : kX87RegisterSource)
    for (std::uint8_t m : row) p.Put(m);
  p.PackMap(prefixes, p.layout.prefixIndex, p.layout.prefixProps);
  p.layout.lockOne = p.size;
  for (const LockSource& l : kLockOneByte) p.Put(l.opcode), p.Put(l.invalidRegs);
  p.layout.lockTwo = p.size;
  for (const LockSource& l : kLockTwoByte) p.Put(l.opcode), p.Put(l.invalidRegs);
  p.layout.regFormOne = p.size;
  for (const RegisterFormSource& r : kRegisterFormOneByte) p.Put(r.opcode), p.Put(r.prefixes), p.Put(r.allowedRegs);
  p.layout.regFormTwo = p.size;
  for (const RegisterFormSource& r : kRegisterFormTwoByte) p.Put(r.opcode), p.Put(r.prefixes), p.Put(r.allowedRegs);
  p.layout.size = p.size;
  return p;
}

constexpr Packer kPacked = Pack();
static_assert(kPacked.size <= sizeof(kPacked.bytes), "a property run outgrew its one-byte index");
static_assert(kPacked.layout.oneIndex <= 0x7F, "group records must sit within 7 bits of offset");
constexpr Layout L = kPacked.layout;
constexpr unsigned kLockOneCount = sizeof(kLockOneByte) / sizeof(kLockOneByte[0]);
constexpr unsigned kLockTwoCount = sizeof(kLockTwoByte) / sizeof(kLockTwoByte[0]);
constexpr unsigned kRegFormOneCount = sizeof(kRegisterFormOneByte) / sizeof(kRegisterFormOneByte[0]);
constexpr unsigned kRegFormTwoCount = sizeof(kRegisterFormTwoByte) / sizeof(kRegisterFormTwoByte[0]);

// The table the decoder reads: exactly the packed bytes.
constexpr auto MakeTable() {
  std::array<std::uint8_t, L.size> t{};
  for (unsigned i = 0; i < L.size; ++i) t[i] = kPacked.bytes[i];
  return t;
}
constexpr std::array<std::uint8_t, L.size> kTable = MakeTable();

constexpr std::uint8_t Lookup(unsigned index, unsigned props, std::uint8_t op) {
  return kTable[props + kTable[index + op / 4] + op % 4];
}
// The packing must give back every source byte.
constexpr bool PackingRoundTrips() {
  for (unsigned op = 0; op < 256; ++op) {
    if (Lookup(L.oneIndex, L.oneProps, static_cast<std::uint8_t>(op)) != GroupOffset(kOneByteSource[op])) return false;
    if (Lookup(L.twoIndex, L.twoProps, static_cast<std::uint8_t>(op)) != GroupOffset(kTwoByteSource[op])) return false;
  }
  return true;
}
static_assert(PackingRoundTrips());

// ---------------------------------------------------------------------------
// [SECTION] Decoding
// ---------------------------------------------------------------------------

constexpr unsigned kMaxLength = 15;

// Reads the instruction's bytes, never past the 15th.
struct Reader {
  const std::uint8_t* code;
  unsigned used = 0;
  bool overrun = false;

  bool Next(std::uint8_t& out) {
    if (used >= kMaxLength) {
      overrun = true;
      return false;
    }
    out = code[used++];
    return true;
  }
  // The next byte without taking it (it is the instruction's either way).
  bool Peek(std::uint8_t& out) {
    if (used >= kMaxLength) {
      overrun = true;
      return false;
    }
    out = code[used];
    return true;
  }
  bool Skip(unsigned count, void* into) {
    if (used + count > kMaxLength) {
      overrun = true;
      return false;
    }
    std::memcpy(into, code + used, count);
    used += count;
    return true;
  }
};

bool IsLegacyPrefix(std::uint8_t b) {
  switch (b) {
    case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65:
    case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:
      return true;
    default:
      return false;
  }
}

std::uint8_t PrefixBit(std::uint8_t mandatory) {
  switch (mandatory) {
    case 0xF2: return PF2;
    case 0xF3: return PF3;
    case 0x66: return P66;
    default: return PN;
  }
}

enum class Map { OneByte, TwoByte, ThreeByte38, ThreeByte3A, Vex };

void Fail(InstructionRecord& r, std::uint32_t kind) { r.flags |= kInsnError | kind; }

// The properties of a VEX, XOP or EVEX opcode in its map.
std::uint8_t VexProperties(std::uint8_t escape, unsigned map, std::uint8_t op, InstructionRecord& r) {
  if (escape == 0x8F) {
    switch (map) {
      case 8: return M | I8;
      case 9: return M;
      case 10: return M | IZ;  // 32-bit immediate (no 66 under XOP)
      default: Fail(r, kInsnErrorOpcode); return M;
    }
  }
  const bool evex = escape == 0x62;
  switch (map) {
    case 1:
      if (!evex && op == 0x77) return 0;                 // VZEROUPPER / VZEROALL
      if (!evex && (op == 0x84 || op == 0x85)) return R32;  // mask-register branches (K1OM)
      if ((op >= 0x70 && op <= 0x73) || op == 0xC2 || (op >= 0xC4 && op <= 0xC6)) return M | I8;
      return M;
    case 2: return M;
    case 3: return M | I8;
    case 5:
      if (!evex) break;
      switch (op) {
        case 0x08: case 0x0A: case 0x26: case 0x27: case 0x56: case 0x57: case 0x66: case 0x67: case 0xC2:
          return M | I8;
        default:
          return M;
      }
    case 6:
      if (!evex) break;
      return M;
    default:
      break;
  }
  Fail(r, kInsnErrorOpcode);
  return M;
}

bool LockAllowed(Map map, std::uint8_t op, unsigned reg) {
  if (map == Map::OneByte) {
    const std::uint8_t key = op & 0xFE;
    for (unsigned i = 0; i < kLockOneCount; ++i) {
      const unsigned at = L.lockOne + i * 2;
      if (kTable[at] == key) return !Listed(kTable[at + 1], reg);
    }
    return false;
  }
  for (unsigned i = 0; i < kLockTwoCount; ++i) {
    const unsigned at = L.lockTwo + i * 2;
    if (kTable[at] == op) return !Listed(kTable[at + 1], reg);
  }
  return false;
}

// False when the opcode is listed for this prefix and reg may not take a register operand.
bool RegisterFormAllowed(Map map, std::uint8_t op, std::uint8_t prefixBit, unsigned reg) {
  const unsigned start = map == Map::OneByte ? L.regFormOne : L.regFormTwo;
  const unsigned count = map == Map::OneByte ? kRegFormOneCount : kRegFormTwoCount;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned at = start + i * 3;
    if (kTable[at] == op && (kTable[at + 1] & prefixBit)) return Listed(kTable[at + 2], reg);
  }
  return true;
}

// Register-only two-byte opcodes: a memory operand is undefined.
bool MemoryFormInvalid(std::uint8_t op, std::uint8_t mandatory) {
  const bool repeat = mandatory == 0xF2 || mandatory == 0xF3;
  switch (op) {
    case 0x50: case 0xD7: case 0xF7: return !repeat;
    case 0xC5: return true;
    case 0xD6: return repeat;
    case 0x71: case 0x72: case 0x73: return true;
    case 0x78: case 0x79: return mandatory == 0x66 || mandatory == 0xF2;  // EXTRQ / INSERTQ
    default: return false;
  }
}

}  // namespace

unsigned DecodeInstruction(const void* code, InstructionRecord* out) {
  InstructionRecord& r = *out;
  std::memset(&r, 0, sizeof(r));
  Reader in{static_cast<const std::uint8_t*>(code)};
  std::uint8_t mandatory = 0;
  std::uint8_t rex = 0;
  std::uint8_t op = 0;

  auto finish = [&]() -> unsigned {
    if (in.overrun) {
      r.flags |= kInsnError | kInsnErrorLength;
      r.length = kMaxLength;
    } else {
      r.length = static_cast<std::uint8_t>(in.used);
    }
    if (r.flags & (kInsnErrorOpcode | kInsnErrorLength | kInsnErrorLock | kInsnErrorOperand)) r.flags |= kInsnError;
    return r.length;
  };

  // 1. Prefixes. A REX counts only when it is the last prefix before the opcode.
  for (;;) {
    if (!in.Next(op)) return finish();
    if (op >= 0x40 && op <= 0x4F) {
      rex = op;
      continue;
    }
    if (!IsLegacyPrefix(op)) break;
    rex = 0;
    switch (op) {
      case 0xF2: case 0xF3:
        r.repeatPrefix = op;
        mandatory = op;
        r.flags |= op == 0xF2 ? kInsnPrefixF2 : kInsnPrefixF3;
        break;
      case 0xF0:
        r.lockPrefix = op;
        r.flags |= kInsnPrefixLock;
        break;
      case 0x66:
        r.operandSizePrefix = op;
        if (!mandatory) mandatory = op;
        r.flags |= kInsnPrefix66;
        break;
      case 0x67:
        r.addressSizePrefix = op;
        r.flags |= kInsnPrefix67;
        break;
      default:
        r.segmentPrefix = op;
        r.flags |= kInsnPrefixSegment;
        break;
    }
  }
  if (rex) {
    r.rex = rex;
    r.flags |= kInsnPrefixRex;
    r.rexW = (rex >> 3) & 1;
    r.rexR = (rex >> 2) & 1;
    r.rexX = (rex >> 1) & 1;
    r.rexB = rex & 1;
  }
  r.opcode = op;

  // 2. VEX, XOP and EVEX. In 64-bit mode C4, C5 and 62 are always escapes;
  // 8F is POP r/m unless the next byte's map field is 8 or more.
  Map map = Map::OneByte;
  std::uint8_t property = 0;
  std::uint8_t groupInvalid = 0;
  bool vex = false;
  if (op == 0xC4 || op == 0xC5 || op == 0x62 || op == 0x8F) {
    std::uint8_t next = 0;
    if (!in.Peek(next)) return finish();
    vex = op != 0x8F || (next & 0x1F) >= 8;
  }
  if (vex) {
    std::uint8_t payload[3] = {};
    const unsigned payloadSize = op == 0xC5 ? 1 : op == 0x62 ? 3 : 2;
    if (!in.Skip(payloadSize, payload)) return finish();
    const unsigned vexMap = op == 0xC5 ? 1 : op == 0x62 ? (payload[0] & 0x07) : (payload[0] & 0x1F);
    if (rex || r.operandSizePrefix || r.repeatPrefix || r.lockPrefix) Fail(r, kInsnErrorOpcode);
    if (!in.Next(r.opcode2)) return finish();
    property = VexProperties(op, vexMap, r.opcode2, r);
    map = Map::Vex;
  } else if (op == 0xD5) {
    // 3. REX2: payload M R4 X4 B4 W R3 X3 B3, then the opcode.
    std::uint8_t payload = 0;
    if (!in.Next(payload) || !in.Next(op)) return finish();
    if (rex) Fail(r, kInsnErrorOpcode);
    r.flags = (r.flags & ~kInsnPrefixRex) | kInsnPrefixRex2;
    r.rex = payload;
    r.rexW = (payload >> 3) & 1;
    r.rexR = (payload >> 2) & 1;
    r.rexX = (payload >> 1) & 1;
    r.rexB = payload & 1;
    if (payload & 0x80) {
      map = Map::TwoByte;
      r.opcode2 = op;
      property = Lookup(L.twoIndex, L.twoProps, op);
    } else {
      r.opcode = op;
      if (op == 0x0F || (op >= 0x40 && op <= 0x4F) || IsLegacyPrefix(op)) Fail(r, kInsnErrorOpcode);
      property = Lookup(L.oneIndex, L.oneProps, op);
    }
  } else if (op == 0x0F) {
    // 4. Two- and three-byte maps.
    if (!in.Next(r.opcode2)) return finish();
    if (r.opcode2 == 0x38 || r.opcode2 == 0x3A) {
      map = r.opcode2 == 0x38 ? Map::ThreeByte38 : Map::ThreeByte3A;
      if (!in.Next(r.opcode3)) return finish();
      property = map == Map::ThreeByte38 ? M : M | I8;
      if (r.lockPrefix) Fail(r, kInsnErrorLock);
    } else {
      map = Map::TwoByte;
      property = Lookup(L.twoIndex, L.twoProps, r.opcode2);
    }
  } else {
    property = Lookup(L.oneIndex, L.oneProps, op);
  }

  // The opcode that the ModRM checks key on.
  const std::uint8_t key = map == Map::TwoByte ? r.opcode2 : op;
  const bool ordinary = map == Map::OneByte || map == Map::TwoByte;
  const std::uint8_t prefixBit = PrefixBit(mandatory);

  // 6. Property lookup and opcode-level validity.
  if (ordinary) {
    if (property == X) {
      property = 0;
      Fail(r, kInsnErrorOpcode);
      if (map == Map::TwoByte) {
        switch (key) {
          case 0x24: case 0x26: property = M; break;                        // MOV TRn: undefined, but sized
          case 0xA6: case 0xA7: property = M; r.flags &= ~kInsnErrorOpcode; break;  // VIA PadLock
          default: break;
        }
      }
    } else if (property & GRP) {
      const unsigned at = L.groups + (property & 0x7F);
      property = kTable[at];
      groupInvalid = kTable[at + 1];
    }
    if (map == Map::TwoByte) {
      const std::uint8_t invalidPrefixes = Lookup(L.prefixIndex, L.prefixProps, key);
      if (invalidPrefixes & prefixBit) Fail(r, kInsnErrorOpcode);
    }
  }
  if (!(property & M) && r.lockPrefix) Fail(r, kInsnErrorLock);

  // 7. ModRM and the checks that need it.
  std::uint8_t immProperty = property;
  bool relativeImm = false;
  bool forcedRegister = false;
  if (property & M) {
    if (!in.Next(r.modrm)) return finish();
    r.flags |= kInsnModRM;
    r.mod = r.modrm >> 6;
    r.reg = (r.modrm >> 3) & 7;
    r.rm = r.modrm & 7;
    if (Listed(groupInvalid, r.reg)) Fail(r, kInsnErrorOpcode);
    const bool registerForm = r.mod == 3;
    if (ordinary) {
      if (map == Map::OneByte && op >= 0xD9 && op <= 0xDF) {
        const unsigned x = op - 0xD9u;
        const bool undefined = registerForm ? Listed(kTable[L.x87Register + x * 8 + r.reg], r.rm)
                                            : Listed(kTable[L.x87Memory + x], r.reg);
        if (undefined) Fail(r, kInsnErrorOpcode);
      }
      if (r.lockPrefix && (registerForm || !LockAllowed(map, key, r.reg))) Fail(r, kInsnErrorLock);
      if (map == Map::TwoByte) {
        switch (key) {
          case 0x20: case 0x22:  // MOV CRn: CR0, CR2-CR4 (CR8 with REX.R)
            forcedRegister = true;
            if (r.reg == 1 || r.reg > 4) Fail(r, kInsnErrorOperand);
            break;
          case 0x21: case 0x23:  // MOV DRn
            forcedRegister = true;
            break;
          default:
            break;
        }
        if (!registerForm && MemoryFormInvalid(key, mandatory)) Fail(r, kInsnErrorOpcode);
        if (key == 0x78 && (mandatory == 0xF2 || mandatory == 0x66)) immProperty |= I16;  // EXTRQ / INSERTQ ib, ib
      } else {
        if (op == 0x8C && r.reg > 5) Fail(r, kInsnErrorOperand);
        if (op == 0x8E && (r.reg == 1 || r.reg > 5)) Fail(r, kInsnErrorOperand);
        if ((op == 0xF6 || op == 0xF7) && r.reg < 2) immProperty |= op == 0xF6 ? I8 : IZ;
        if (op == 0xC7 && r.reg == 7) relativeImm = true;
        if ((op == 0xC6 || op == 0xC7) && r.reg == 7 && !registerForm) Fail(r, kInsnErrorOpcode);
      }
      if (registerForm && !forcedRegister && !RegisterFormAllowed(map, key, prefixBit, r.reg))
        Fail(r, kInsnErrorOpcode);
    }
    if (forcedRegister) r.mod = 3;

    // 8. SIB and displacement.
    unsigned dispSize = 0;
    if (r.mod != 3) {
      if (r.rm == 4) {
        if (!in.Next(r.sib)) return finish();
        r.flags |= kInsnSib;
        r.scale = r.sib >> 6;
        r.index = (r.sib >> 3) & 7;
        r.base = r.sib & 7;
      }
      if (r.mod == 1) {
        dispSize = 1;
      } else if (r.mod == 2 || r.rm == 5 || ((r.flags & kInsnSib) && r.base == 5)) {
        dispSize = 4;
      }
    }
    if (dispSize == 1) {
      if (!in.Next(r.disp.disp8)) return finish();
      r.flags |= kInsnDisp8;
    } else if (dispSize == 4) {
      if (!in.Skip(4, &r.disp.disp32)) return finish();
      r.flags |= kInsnDisp32;
    }
  }

  // 9. Immediates, in encoding order.
  const bool wide = r.rexW != 0;
  const bool narrow = r.operandSizePrefix && !wide;
  if (immProperty & IZ) {
    unsigned size = narrow ? 2 : 4;
    if (map == Map::OneByte && op >= 0xB8 && op <= 0xBF && wide) size = 8;
    if (map == Map::OneByte && op >= 0xA0 && op <= 0xA3) size = r.addressSizePrefix ? 4 : 8;
    if (map == Map::Vex) size = 4;
    if (!in.Skip(size, &r.imm)) return finish();
    r.flags |= size == 2 ? kInsnImm16 : size == 4 ? kInsnImm32 : kInsnImm64;
    if (relativeImm) r.flags |= kInsnRelative;
  } else if (immProperty & R32) {
    const unsigned size = narrow ? 2 : 4;
    if (!in.Skip(size, &r.imm)) return finish();
    r.flags |= (size == 2 ? kInsnImm16 : kInsnImm32) | kInsnRelative;
    return finish();
  }
  if (immProperty & I16) {
    if (!in.Skip(2, &r.imm)) return finish();
    r.flags |= kInsnImm16;
  }
  if (immProperty & I8) {
    std::uint8_t b = 0;
    if (!in.Next(b)) return finish();
    if (r.flags & kInsnImm16) {
      r.disp.disp8 = b;  // ENTER iw, ib
    } else {
      r.imm.imm8 = b;
    }
    r.flags |= kInsnImm8;
  }
  if (immProperty & R8) {
    if (!in.Next(r.imm.imm8)) return finish();
    r.flags |= kInsnImm8 | kInsnRelative;
  }
  return finish();
}

std::int64_t BranchDisplacement(const InstructionRecord& r) {
  if (!(r.flags & kInsnRelative)) return 0;
  switch (r.flags & kInsnImmMask) {
    case kInsnImm8: return static_cast<std::int8_t>(r.imm.imm8);
    case kInsnImm16: return static_cast<std::int16_t>(r.imm.imm16);
    case kInsnImm32: return static_cast<std::int32_t>(r.imm.imm32);
    default: return 0;
  }
}

}  // namespace bh::hooks
