// Differential test of the instruction decoder against Capstone, an
// independent disassembler, over real machine code (the executable sections
// of Wine's PE DLLs, system ELF libraries and this project's own objects) and
// over random byte streams shaped to reach every opcode map.
//
// At every position both decode the same bytes. Wherever Capstone decodes, the
// length, the presence and target of a relative branch and the presence of a
// RIP-relative operand must agree. Each known class of disagreement is named
// and counted below; any other disagreement fails the test. Where Capstone
// refuses the bytes nothing is compared (the oracle is silent), but the count
// is reported.
//
// FW_DIFF_VERBOSE=1 prints a few examples of every class.
#include <capstone/capstone.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hooks/code_corpus.h"
#include "hooks/decoder.h"

namespace {

using bh::hooks::DecodeInstruction;
using bh::hooks::InstructionRecord;
using fwtest::CorpusFile;
using fwtest::RealCodeCorpus;
using fwtest::Section;

// Random streams: plain random bytes, and random bytes behind a random
// sequence of prefixes and an escape, so every map is reached often.
Section RandomStream(std::mt19937_64& rng, std::size_t size, bool shaped) {
  Section out;
  out.reserve(size + 32);
  std::uniform_int_distribution<int> byte(0, 255);
  static const std::uint8_t kPrefixes[] = {0x66, 0x67, 0xF2, 0xF3, 0xF0, 0x2E, 0x64, 0x48, 0x41, 0x4C, 0x45};
  static const std::vector<std::vector<std::uint8_t>> kEscapes = {
      {}, {}, {0x0F}, {0x0F}, {0x0F}, {0x0F, 0x38}, {0x0F, 0x3A}, {0xC5}, {0xC4}, {0x62}, {0x8F}, {0xD9},
      {0xDB}, {0xDD}, {0xDF}, {0xDE}, {0xDA},
  };
  while (out.size() < size) {
    if (shaped) {
      const int prefixCount = byte(rng) % 4;
      for (int i = 0; i < prefixCount; ++i) out.push_back(kPrefixes[byte(rng) % sizeof(kPrefixes)]);
      for (std::uint8_t b : kEscapes[byte(rng) % kEscapes.size()]) out.push_back(b);
      for (int i = 0; i < 13; ++i) out.push_back(static_cast<std::uint8_t>(byte(rng)));
    } else {
      out.push_back(static_cast<std::uint8_t>(byte(rng)));
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Comparison.

struct Oracle {
  csh handle = 0;
  cs_insn* insn = nullptr;
  Oracle() {
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) std::abort();
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    insn = cs_malloc(handle);
  }
  ~Oracle() {
    cs_free(insn, 1);
    cs_close(&handle);
  }
  // Decodes at most 15 bytes at address; false when Capstone refuses them.
  bool Decode(const std::uint8_t* bytes, std::size_t available, std::uint64_t address) {
    const std::uint8_t* code = bytes;
    std::size_t size = std::min<std::size_t>(available, 15);
    std::uint64_t at = address;
    lastDecoded = cs_disasm_iter(handle, &code, &size, &at, insn);
    return lastDecoded;
  }
  bool lastDecoded = false;
  bool InGroup(std::uint8_t group) const {
    const cs_detail* d = insn->detail;
    return std::find(d->groups, d->groups + d->groups_count, group) != d->groups + d->groups_count;
  }
  bool RipRelative() const {
    const cs_x86& x = insn->detail->x86;
    for (unsigned i = 0; i < x.op_count; ++i)
      if (x.operands[i].type == X86_OP_MEM && (x.operands[i].mem.base == X86_REG_RIP || x.operands[i].mem.base == X86_REG_EIP))
        return true;
    return false;
  }
  // The absolute destination of a relative branch (Capstone gives it as an immediate).
  bool BranchTarget(std::uint64_t* target) const {
    if (!InGroup(CS_GRP_BRANCH_RELATIVE)) return false;
    const cs_x86& x = insn->detail->x86;
    for (unsigned i = 0; i < x.op_count; ++i)
      if (x.operands[i].type == X86_OP_IMM) {
        *target = static_cast<std::uint64_t>(x.operands[i].imm);
        return true;
      }
    return false;
  }
};

// What one position showed.
struct Finding {
  const std::uint8_t* bytes;
  unsigned available;
  InstructionRecord ours;
  bool oracleDecoded;
  unsigned oracleLength;
  std::string oracleText;
};

std::string Hex(const std::uint8_t* bytes, unsigned count) {
  std::string out;
  char buffer[4];
  for (unsigned i = 0; i < count; ++i) {
    std::snprintf(buffer, sizeof(buffer), "%02X ", bytes[i]);
    out += buffer;
  }
  return out;
}

struct Tally {
  std::uint64_t compared = 0, agreed = 0, oracleRefused = 0, bothRefused = 0;
  std::map<std::string, std::uint64_t> classes;
  std::map<std::string, std::vector<std::string>> examples;

  void Note(const std::string& cls, const Finding& f) {
    ++classes[cls];
    auto& list = examples[cls];
    if (list.size() < 8)
      list.push_back(Hex(f.bytes, std::min(f.available, 15u)) + " | ours len " + std::to_string(f.ours.length) +
                     " flags " + std::to_string(f.ours.flags) + " | cs " + std::to_string(f.oracleLength) + " " +
                     f.oracleText);
  }
};

// Names the known class of a disagreement, or returns "unexplained".
std::string Classify(const Finding& f, const char* what);

void ComparePosition(Oracle& oracle, const std::uint8_t* bytes, unsigned available, std::uint64_t address,
                     Tally& tally) {
  std::uint8_t padded[32] = {};
  const std::uint8_t* input = bytes;
  if (available < 15) {
    std::memcpy(padded, bytes, available);
    input = padded;
  }
  Finding f{input, available, {}, false, 0, {}};
  DecodeInstruction(input, &f.ours);
  f.oracleDecoded = oracle.Decode(bytes, available, address);
  const bool oursOk = !(f.ours.flags & bh::hooks::kInsnError);
  if (!f.oracleDecoded) {
    ++(oursOk ? tally.oracleRefused : tally.bothRefused);
    return;
  }
  ++tally.compared;
  f.oracleLength = oracle.insn->size;
  f.oracleText = std::string(oracle.insn->mnemonic) + " " + oracle.insn->op_str;
  const char* what = nullptr;
  if (!oursOk) {
    what = "ours-refused";
  } else if (f.ours.length != f.oracleLength) {
    what = "length";
  } else {
    std::uint64_t oracleTarget = 0;
    const bool oracleBranch = oracle.BranchTarget(&oracleTarget);
    const bool ourBranch = (f.ours.flags & bh::hooks::kInsnRelative) != 0;
    if (oracleBranch != ourBranch) {
      what = "relative-branch";
    } else if (ourBranch &&
               ((address + f.ours.length + static_cast<std::uint64_t>(bh::hooks::BranchDisplacement(f.ours))) &
                0xFFFFFFFFFFFFull) != (oracleTarget & 0xFFFFFFFFFFFFull)) {
      what = "branch-target";
    } else if (oracle.RipRelative() != bh::hooks::IsRipRelative(f.ours)) {
      what = "rip-relative";
    }
  }
  if (!what) {
    ++tally.agreed;
    return;
  }
  tally.Note(Classify(f, what), f);
}

// Every byte position: real code decoded from the middle of its instructions
// is as good a test as random bytes, with a realistic mix.
void CompareEveryPosition(Oracle& oracle, const Section& code, std::uint64_t base, Tally& tally) {
  for (std::size_t at = 0; at < code.size(); ++at) {
    const unsigned available = static_cast<unsigned>(std::min<std::size_t>(code.size() - at, 15));
    ComparePosition(oracle, code.data() + at, available, base + at, tally);
  }
}

// A linear sweep from the section's start, stepping by Capstone's length
// (one byte where it refuses): the instructions as the code lays them out.
void CompareInstructions(Oracle& oracle, const Section& code, std::uint64_t base, Tally& tally) {
  for (std::size_t at = 0; at < code.size();) {
    const unsigned available = static_cast<unsigned>(std::min<std::size_t>(code.size() - at, 15));
    ComparePosition(oracle, code.data() + at, available, base + at, tally);
    at += oracle.lastDecoded ? oracle.insn->size : 1;
  }
}

void Report(const char* title, const Tally& tally, bool verbose) {
  std::printf("%s: %llu positions compared, %llu agreed; oracle refused %llu that we decode, both refused %llu\n",
              title, static_cast<unsigned long long>(tally.compared), static_cast<unsigned long long>(tally.agreed),
              static_cast<unsigned long long>(tally.oracleRefused), static_cast<unsigned long long>(tally.bothRefused));
  for (const auto& [cls, count] : tally.classes) {
    std::printf("  %-48s %llu\n", cls.c_str(), static_cast<unsigned long long>(count));
    if (verbose || cls.rfind("unexplained", 0) == 0)
      for (const std::string& e : tally.examples.at(cls)) std::printf("      %s\n", e.c_str());
  }
}

std::uint64_t Unexplained(const Tally& tally) {
  std::uint64_t n = 0;
  for (const auto& [cls, count] : tally.classes)
    if (cls.rfind("unexplained", 0) == 0) n += count;
  return n;
}

bool Verbose() { return std::getenv("FW_DIFF_VERBOSE") != nullptr; }

// ---------------------------------------------------------------------------
// The known classes of disagreement.

bool IsPrefixByte(std::uint8_t b) {
  return b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65 || b == 0x66 || b == 0x67 ||
         b == 0xF0 || b == 0xF2 || b == 0xF3 || (b >= 0x40 && b <= 0x4F);
}

// True when the same opcode bytes decode cleanly, at the same length less the
// prefixes changed, with the mandatory prefix (F2, F3, 66) replaced by one of
// none, F2, F3 or 66: the prefix choice alone made it undefined for us.
bool DefinedUnderAnotherMandatoryPrefix(const Finding& f) {
  std::uint8_t kept[16] = {};
  unsigned keptCount = 0, at = 0, dropped = 0;
  for (; at < f.available && at < 15 && IsPrefixByte(f.bytes[at]); ++at) {
    const std::uint8_t b = f.bytes[at];
    if (b == 0xF2 || b == 0xF3 || b == 0x66) {
      ++dropped;
    } else if (!(b >= 0x40 && b <= 0x4F)) {
      kept[keptCount++] = b;
    }
  }
  // A REX counts only right before the opcode; keep the last one if it was there.
  const bool rexLast = at > 0 && f.bytes[at - 1] >= 0x40 && f.bytes[at - 1] <= 0x4F;
  for (std::uint8_t mandatory : {0x00, 0xF2, 0xF3, 0x66}) {
    std::uint8_t copy[32] = {};
    unsigned n = 0;
    for (unsigned i = 0; i < keptCount; ++i) copy[n++] = kept[i];
    if (mandatory) copy[n++] = mandatory;
    if (rexLast) copy[n++] = f.bytes[at - 1];
    for (unsigned i = at; i < f.available && i < 15; ++i) copy[n++] = f.bytes[i];
    InstructionRecord r;
    DecodeInstruction(copy, &r);
    if (!(r.flags & bh::hooks::kInsnError) && r.opcode == f.ours.opcode && r.opcode2 == f.ours.opcode2) return true;
  }
  (void)dropped;
  return false;
}

bool IsVexLike(const InstructionRecord& r) {
  return (r.opcode == 0xC4 || r.opcode == 0xC5 || r.opcode == 0x62 || r.opcode == 0x8F) && r.opcode2 != 0;
}

std::string Classify(const Finding& f, const char* what) {
  using namespace bh::hooks;
  const InstructionRecord& r = f.ours;
  const std::string how(what);
  const std::uint32_t fl = r.flags;
  const bool twoByte = r.opcode == 0x0F;
  // Near branches with 66 or 67: Intel ignores 66 and AMD takes a 16-bit
  // displacement and truncates the target (we follow AMD, as Capstone does);
  // Capstone 4 also lets 67, or an F2/F3 after the 66, change the size. The
  // hooking engine refuses to relocate such branches.
  if ((fl & kInsnRelative) && (fl & (kInsnPrefix66 | kInsnPrefix67)) && how != "ours-refused")
    return "66/67 on a near branch (vendors and Capstone differ)";
  if (how == "length") {
    if (twoByte && (r.opcode2 == 0xB9 || r.opcode2 == 0xFF))
      return "UD1/UD0 take ModRM (current SDM; Capstone 4 reads none)";
    if (twoByte && r.opcode2 == 0x78) return "0F 78 VMREAD vs SSE4a EXTRQ/INSERTQ: Capstone keys on the wrong prefix";
    if (r.opcode == 0xC2 && r.rexW) return "RET imm16 with REX.W: Capstone 4 reads 4 bytes";
    if ((fl & kInsnPrefix66) && (fl & (kInsnPrefixF2 | kInsnPrefixF3)) && f.oracleLength == r.length + 2u)
      return "66 then F2/F3 before an operand-size immediate: Capstone drops the 66";
  }
  if (how == "ours-refused") {
    if (fl & kInsnErrorLock) return "LOCK where the CPU raises #UD (Capstone takes any LOCK)";
    if (fl & kInsnErrorOperand) return "nonexistent CRn / MOV to CS / segment register 6-7";
    if (IsVexLike(r) && (r.rex || (fl & (kInsnPrefix66 | kInsnPrefixF2 | kInsnPrefixF3 | kInsnPrefixLock))))
      return "REX/66/F2/F3/F0 before VEX/EVEX/XOP (#UD; Capstone ignores it)";
    if (twoByte && DefinedUnderAnotherMandatoryPrefix(f))
      return "mandatory prefix the opcode map leaves undefined (Capstone ignores or reorders it)";
  }
  char key[64];
  std::snprintf(key, sizeof(key), " %02X %02X %02X m%d fl%X", r.opcode, r.opcode2, twoByte ? r.opcode3 : r.reg, r.mod, r.flags & 0x1F000);
  return std::string("unexplained ") + what + key;
}

// ---------------------------------------------------------------------------

TEST(DecoderDifferential, AgreesWithCapstoneOnRealCode) {
  std::size_t totalBytes = 0;
  const std::vector<CorpusFile> corpus = RealCodeCorpus(FW_DIFF_OBJECT_DIR, &totalBytes);
  ASSERT_GT(corpus.size(), 10u) << "too little real code found on this machine";
  ASSERT_GT(totalBytes, 4u << 20);
  Oracle oracle;
  Tally instructions, positions;
  std::uint64_t base = 0x140001000;
  for (const CorpusFile& file : corpus)
    for (const Section& s : file.sections) {
      CompareInstructions(oracle, s, base, instructions);
      CompareEveryPosition(oracle, s, base, positions);
      base += s.size();
    }
  std::printf("real code: %zu files, %zu bytes of executable sections\n", corpus.size(), totalBytes);
  Report("real code, instructions (linear sweep)", instructions, Verbose());
  Report("real code, every byte position", positions, Verbose());
  EXPECT_EQ(Unexplained(instructions), 0u);
  EXPECT_EQ(Unexplained(positions), 0u);
  // Disagreements are rare oddities, not a pattern.
  EXPECT_GT(instructions.agreed, instructions.compared * 999 / 1000);
}

TEST(DecoderDifferential, AgreesWithCapstoneOnRandomBytes) {
  std::mt19937_64 rng(0xF3A7u);
  Oracle oracle;
  Tally tally;
  CompareEveryPosition(oracle, RandomStream(rng, 1u << 20, false), 0x7FF700000000, tally);
  CompareEveryPosition(oracle, RandomStream(rng, 3u << 20, true), 0x7FF800000000, tally);
  Report("random bytes", tally, Verbose());
  EXPECT_EQ(Unexplained(tally), 0u);
}

}  // namespace
