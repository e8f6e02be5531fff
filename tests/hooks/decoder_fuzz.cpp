// libFuzzer target for the instruction decoder.
//
// Each input (its first 15 bytes, zero-padded when shorter) is placed in the
// last 15 bytes before a no-access page, so reading a 16th byte faults. The
// decoded instruction's own bytes are then placed right against the page and
// decoded again: that must give the same record, which shows the decoder
// reads only as many bytes as the instruction it reports.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hooks/decoder.h"

namespace {

using namespace bh::hooks;

std::uint8_t* GuardedPageEnd() {
  static std::uint8_t* end = [] {
    const long page = sysconf(_SC_PAGESIZE);
    void* base = mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) std::abort();
    std::uint8_t* bytes = static_cast<std::uint8_t*>(base);
    if (mprotect(bytes + page, page, PROT_NONE) != 0) std::abort();
    return bytes + page;
  }();
  return end;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t* end = GuardedPageEnd();
  std::uint8_t* window = end - 15;
  std::memset(window, 0, 15);
  std::memcpy(window, data, size < 15 ? size : 15);

  InstructionRecord first;
  const unsigned length = DecodeInstruction(window, &first);
  Check(length == first.length && length >= 1 && length <= 15);
  if (first.flags & kInsnErrorLength) Check(length == 15 && (first.flags & kInsnError));
  if (first.flags & (kInsnErrorOpcode | kInsnErrorLock | kInsnErrorOperand)) Check(first.flags & kInsnError);
  Check(!((first.flags & kInsnDisp8) && (first.flags & kInsnDisp32)));
  if (first.flags & kInsnRelative) {
    const std::uint32_t imm = first.flags & kInsnImmMask;
    Check(imm == kInsnImm8 || imm == kInsnImm16 || imm == kInsnImm32);
  }
  if (first.flags & kInsnSib) Check(first.flags & kInsnModRM);

  // The same instruction flush against the guard page decodes the same.
  std::uint8_t copy[15];
  std::memcpy(copy, window, length);
  std::memcpy(end - length, copy, length);
  InstructionRecord second;
  DecodeInstruction(end - length, &second);
  Check(std::memcmp(&first, &second, sizeof(first)) == 0);
  return 0;
}
