// The inline hooking engine under Wine: hand-made functions with every kind
// of prologue the engine rewrites, the refusals, the hook and slot
// bookkeeping, hooks toggled while another thread runs through them, and
// hooks on functions of Wine's own DLLs.
//
// Every ctest entry is its own process, so each TEST starts uninitialised.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hooks/hook_engine.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An executable scratch region, filled with int3, to assemble functions in.
class CodePage {
 public:
  static constexpr std::size_t kSize = 0x10000;
  CodePage() {
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    std::memset(base_, 0xCC, kSize);
  }
  ~CodePage() { VirtualFree(base_, 0, MEM_RELEASE); }
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;
  std::uint8_t* at(std::size_t offset) { return base_ + offset; }

 private:
  std::uint8_t* base_;
};

// A write cursor with the few encodings the cases need.
class Asm {
 public:
  explicit Asm(std::uint8_t* at) : start_(at), at_(at) {}
  Asm& b(std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t x : bytes) *at_++ = x;
    return *this;
  }
  // A 32-bit displacement from the end of the instruction, whose remaining
  // bytes (after the displacement) number tail.
  Asm& rel32(const void* destination, unsigned tail = 0) {
    const std::int64_t d = static_cast<const std::uint8_t*>(destination) - (at_ + 4 + tail);
    const std::int32_t d32 = static_cast<std::int32_t>(d);
    std::memcpy(at_, &d32, 4);
    at_ += 4;
    return *this;
  }
  Asm& rel8(const void* destination) {
    const std::int64_t d = static_cast<const std::uint8_t*>(destination) - (at_ + 1);
    *at_++ = static_cast<std::uint8_t>(static_cast<std::int8_t>(d));
    return *this;
  }
  Asm& u32(std::uint32_t v) {
    std::memcpy(at_, &v, 4);
    at_ += 4;
    return *this;
  }
  Asm& u64(std::uint64_t v) {
    std::memcpy(at_, &v, 8);
    at_ += 8;
    return *this;
  }
  std::uint8_t* start() const { return start_; }
  std::uint8_t* here() const { return at_; }

 private:
  std::uint8_t* start_;
  std::uint8_t* at_;
};

using IntFn = int (*)(int);
IntFn g_trampoline = nullptr;
std::atomic<int> g_detourCalls{0};

int AddThousandDetour(int x) {
  ++g_detourCalls;
  return g_trampoline(x) + 1000;
}

void* Detour() { return reinterpret_cast<void*>(&AddThousandDetour); }

class HookEngine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MH_Initialize(), MH_OK); }
  CodePage page_;
};

// ---------------------------------------------------------------------------
// Prologues the engine relocates: each function is called through the hook
// (the detour adds 1000 to what the trampoline returns) and through the
// trampoline alone, and must give the original's results.

struct RelocationCase {
  const char* name;
  // Assembles the function in the page and returns its start.
  std::function<std::uint8_t*(CodePage&)> build;
  std::vector<int> arguments;
  // Checks on the trampoline or the patched bytes, when the case has any.
  std::function<void(std::uint8_t* target, std::uint8_t* trampoline)> afterEnable;
};

// Helpers placed far from the targets.
std::uint8_t* AddSeven(CodePage& p) { return Asm(p.at(0x8000)).b({0x89, 0xC8, 0x83, 0xC0, 0x07, 0xC3}).start(); }
std::uint8_t* PlusFive(CodePage& p) { return Asm(p.at(0x8100)).b({0x8D, 0x41, 0x05, 0xC3}).start(); }  // lea eax, [rcx+5]

const std::vector<RelocationCase>& RelocationCases() {
  static const std::vector<RelocationCase> cases = {
      {"jmp rel32 first",
       [](CodePage& p) { return Asm(p.at(0x100)).b({0xE9}).rel32(AddSeven(p)).start(); },
       {0, 5, -3},
       [](std::uint8_t*, std::uint8_t* trampoline) {
         EXPECT_EQ(trampoline[0], 0xFF);  // an absolute jump (checked in detail below)
         EXPECT_EQ(trampoline[1], 0x25);
       }},
      {"rip-relative load",
       [](CodePage& p) {
         std::uint8_t* data = p.at(0x9000);
         const std::int32_t value = 1234;
         std::memcpy(data, &value, 4);
         // mov eax, [rip+d]; add eax, ecx; ret
         return Asm(p.at(0x200)).b({0x8B, 0x05}).rel32(data).b({0x01, 0xC8, 0xC3}).start();
       },
       {0, 1, 77},
       nullptr},
      {"rip-relative operand before an immediate",
       [](CodePage& p) {
         std::uint8_t* data = p.at(0x9010);
         const std::int32_t value = 21;
         std::memcpy(data, &value, 4);
         // imul eax, [rip+d], 3; add eax, ecx; ret
         return Asm(p.at(0x300)).b({0x69, 0x05}).rel32(data, 4).u32(3).b({0x01, 0xC8, 0xC3}).start();
       },
       {0, 9},
       nullptr},
      {"jmp [rip+d] first",
       [](CodePage& p) {
         std::uint8_t* pointer = p.at(0x9020);
         const std::uint64_t destination = reinterpret_cast<std::uint64_t>(AddSeven(p));
         std::memcpy(pointer, &destination, 8);
         return Asm(p.at(0x400)).b({0xFF, 0x25}).rel32(pointer).start();
       },
       {0, 3},
       [](std::uint8_t*, std::uint8_t* trampoline) {
         EXPECT_EQ(trampoline[0], 0xFF);  // the indirect jump ends the trampoline
         EXPECT_EQ(trampoline[1], 0x25);
         EXPECT_EQ(trampoline[6], 0xFF);  // and the relay stub follows at once
         EXPECT_EQ(trampoline[7], 0x25);
       }},
      {"call rel32 first",
       [](CodePage& p) {
         // call plusFive; add eax, 1; ret
         return Asm(p.at(0x500)).b({0xE8}).rel32(PlusFive(p)).b({0x83, 0xC0, 0x01, 0xC3}).start();
       },
       {0, 10},
       nullptr},
      {"jz rel8 out of the prologue",
       [](CodePage& p) {
         std::uint8_t* zero = Asm(p.at(0x680)).b({0xB8, 100, 0, 0, 0, 0xC3}).start();
         // test ecx, ecx; jz zero; mov eax, 1; ret
         return Asm(p.at(0x600)).b({0x85, 0xC9, 0x74}).rel8(zero).b({0xB8, 1, 0, 0, 0, 0xC3}).start();
       },
       {0, 1},
       nullptr},
      {"jz rel32 out of the prologue",
       [](CodePage& p) {
         std::uint8_t* zero = Asm(p.at(0x7000)).b({0xB8, 100, 0, 0, 0, 0xC3}).start();
         return Asm(p.at(0x700)).b({0x85, 0xC9, 0x0F, 0x84}).rel32(zero).b({0xB8, 1, 0, 0, 0, 0xC3}).start();
       },
       {0, 1},
       nullptr},
      {"ret inside the prologue, filler after",
       [](CodePage& p) { return Asm(p.at(0x800)).b({0x89, 0xC8, 0xC3, 0xCC, 0xCC, 0x48, 0x31}).start(); },
       {0, 42},
       [](std::uint8_t* target, std::uint8_t*) { EXPECT_EQ(target[0], 0xE9); }},
      {"ret inside the prologue, code after: hot-patch",
       [](CodePage& p) {
         Asm(p.at(0x8FB)).b({0x90, 0x90, 0x90, 0x90, 0x90});
         return Asm(p.at(0x900)).b({0x89, 0xC8, 0xC3, 0x48, 0x31, 0xC0, 0xC3}).start();
       },
       {0, 42},
       [](std::uint8_t* target, std::uint8_t*) {
         EXPECT_EQ(target[-5], 0xE9);
         EXPECT_EQ(target[0], 0xEB);
         EXPECT_EQ(target[1], 0xF9);
         EXPECT_EQ(target[3], 0x48);  // the code after the ret is untouched
       }},
      {"jrcxz inside the prologue",
       [](CodePage& p) {
         // jrcxz +2; inc ecx; mov eax, ecx; ret
         return Asm(p.at(0xA00)).b({0xE3, 0x02, 0xFF, 0xC1, 0x89, 0xC8, 0xC3}).start();
       },
       {0, 5},
       nullptr},
      {"loop inside the prologue",
       [](CodePage& p) {
         // mov eax, ecx; 1: loop 1b (on ecx, to itself); add eax, ecx; ret
         return Asm(p.at(0xB00)).b({0x89, 0xC8, 0x67, 0xE2, 0xFD, 0x01, 0xC8, 0xC3}).start();
       },
       {1, 3},
       nullptr},
      {"jmp rel8 over a byte inside the prologue",
       [](CodePage& p) { return Asm(p.at(0xC00)).b({0xEB, 0x01, 0xCC, 0x89, 0xC8, 0xC3}).start(); },
       {0, 8},
       nullptr},
  };
  return cases;
}

TEST_F(HookEngine, RelocatedProloguesBehaveAsTheOriginal) {
  for (const RelocationCase& c : RelocationCases()) {
    SCOPED_TRACE(c.name);
    std::uint8_t* target = c.build(page_);
    const IntFn original = reinterpret_cast<IntFn>(target);
    std::vector<int> expected;
    for (int a : c.arguments) expected.push_back(original(a));
    const Bytes before(target - 5, target + 16);

    void* trampoline = nullptr;
    ASSERT_EQ(MH_CreateHook(target, Detour(), &trampoline), MH_OK);
    EXPECT_EQ(Bytes(target - 5, target + 16), before) << "creating must not change the target";
    g_trampoline = reinterpret_cast<IntFn>(trampoline);
    ASSERT_EQ(MH_EnableHook(target), MH_OK);
    if (c.afterEnable) c.afterEnable(target, static_cast<std::uint8_t*>(trampoline));
    for (std::size_t i = 0; i < c.arguments.size(); ++i) {
      EXPECT_EQ(original(c.arguments[i]), expected[i] + 1000) << "argument " << c.arguments[i];
      EXPECT_EQ(g_trampoline(c.arguments[i]), expected[i]) << "argument " << c.arguments[i];
    }
    ASSERT_EQ(MH_DisableHook(target), MH_OK);
    EXPECT_EQ(Bytes(target - 5, target + 16), before);
    for (std::size_t i = 0; i < c.arguments.size(); ++i) EXPECT_EQ(original(c.arguments[i]), expected[i]);
    ASSERT_EQ(MH_RemoveHook(target), MH_OK);
  }
}

// A first-instruction jump becomes exactly one absolute jump to its destination.
TEST_F(HookEngine, JumpFirstTrampolineIsOneAbsoluteJump) {
  std::uint8_t* helper = AddSeven(page_);
  std::uint8_t* target = Asm(page_.at(0x100)).b({0xE9}).rel32(helper).start();
  void* trampoline = nullptr;
  ASSERT_EQ(MH_CreateHook(target, Detour(), &trampoline), MH_OK);
  const std::uint8_t* t = static_cast<std::uint8_t*>(trampoline);
  std::uint64_t destination = 0;
  std::memcpy(&destination, t + 6, 8);
  EXPECT_EQ(destination, reinterpret_cast<std::uint64_t>(helper));
  // The relay stub (to the detour) follows right after those 14 bytes.
  std::uint64_t relay = 0;
  std::memcpy(&relay, t + 14 + 6, 8);
  EXPECT_EQ(relay, reinterpret_cast<std::uint64_t>(Detour()));
}

// ---------------------------------------------------------------------------
// Prologues the engine refuses.

TEST_F(HookEngine, RefusesProloguesItCannotRelocate) {
  const struct {
    const char* name;
    std::function<std::uint8_t*(CodePage&)> build;
  } cases[] = {
      {"over 50 bytes (three far Jcc)",
       [](CodePage& p) { return Asm(p.at(0x100)).b({0x74, 0x40, 0x75, 0x40, 0x76, 0x40, 0xC3}).start(); }},
      {"loop leaving the prologue", [](CodePage& p) { return Asm(p.at(0x200)).b({0xE2, 0x40, 0xC3, 0xCC, 0xCC}).start(); }},
      {"jrcxz leaving the prologue", [](CodePage& p) { return Asm(p.at(0x300)).b({0xE3, 0x40, 0xC3, 0xCC, 0xCC}).start(); }},
      {"ret then code, no filler above",
       [](CodePage& p) {
         Asm(p.at(0x3FB)).b({0x90, 0x90, 0x48, 0x90, 0x90});
         return Asm(p.at(0x400)).b({0x89, 0xC8, 0xC3, 0x48, 0x31, 0xC0, 0xC3}).start();
       }},
      {"ret then code, filler of mixed bytes above",
       [](CodePage& p) {
         Asm(p.at(0x4FB)).b({0x90, 0x90, 0xCC, 0xCC, 0xCC});
         return Asm(p.at(0x500)).b({0x89, 0xC8, 0xC3, 0x48, 0x31, 0xC0, 0xC3}).start();
       }},
      {"1-byte ret then code: no room for the short jump",
       [](CodePage& p) { return Asm(p.at(0x600)).b({0xC3, 0x48, 0x31, 0xC0, 0xC3}).start(); }},
      {"undefined opcode", [](CodePage& p) { return Asm(p.at(0x700)).b({0x06, 0x90, 0x90, 0x90, 0x90, 0xC3}).start(); }},
      // Beyond the published rules: forms a copy would silently break.
      {"66 jmp rel16 (vendor-dependent)",
       [](CodePage& p) { return Asm(p.at(0x800)).b({0x66, 0xE9, 0x10, 0x00, 0x90, 0x90, 0xC3}).start(); }},
      {"xbegin (relative, no rewrite)",
       [](CodePage& p) { return Asm(p.at(0x900)).b({0xC7, 0xF8, 0x10, 0, 0, 0, 0xC3}).start(); }},
      {"backward branch over a rewritten Jcc",
       [](CodePage& p) { return Asm(p.at(0xA00)).b({0x74, 0x40, 0xEB, 0xFC, 0x90, 0xC3}).start(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t* target = c.build(page_);
    const Bytes before(target, target + 8);
    void* trampoline = reinterpret_cast<void*>(1);
    EXPECT_EQ(MH_CreateHook(target, Detour(), &trampoline), MH_ERROR_UNSUPPORTED_FUNCTION);
    EXPECT_EQ(trampoline, reinterpret_cast<void*>(1));
    EXPECT_EQ(Bytes(target, target + 8), before);
    EXPECT_EQ(MH_EnableHook(target), MH_ERROR_NOT_CREATED);
  }
  EXPECT_EQ(bh::hooks::testing::HookCount(), 0u);
}

// A RIP-relative operand reaches 2 GiB from the target; the trampoline is
// up to 1 GiB away, so data near the far end is out of its reach.
TEST_F(HookEngine, RefusesRipRelativeDataOutOfTheTrampolinesReach) {
  // The first hook shows which block the next one will use.
  void* first = nullptr;
  ASSERT_EQ(MH_CreateHook(AddSeven(page_), Detour(), &first), MH_OK);
  std::uint8_t* target = page_.at(0x100);
  const bool slotAbove = static_cast<std::uint8_t*>(first) > target;
  // mov eax, [rip -/+ 0x7FFFFFF0]: away from the slot.
  const std::uint32_t disp = slotAbove ? 0x80000010u : 0x7FFFFFF0u;
  Asm(target).b({0x8B, 0x05}).u32(disp).b({0xC3});
  EXPECT_EQ(MH_CreateHook(target, Detour(), nullptr), MH_ERROR_UNSUPPORTED_FUNCTION);
  // The same load with data near the target relocates.
  Asm(target).b({0x8B, 0x05}).u32(0x1000).b({0xC3});
  EXPECT_EQ(MH_CreateHook(target, Detour(), nullptr), MH_OK);
}

TEST_F(HookEngine, RefusesMemoryWithoutExecuteRight) {
  void* data = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  std::memcpy(data, "\x89\xC8\xC3\xCC\xCC", 5);
  std::uint8_t* code = AddSeven(page_);
  EXPECT_EQ(MH_CreateHook(data, Detour(), nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(code, data, nullptr), MH_ERROR_NOT_EXECUTABLE);
  void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  EXPECT_EQ(MH_CreateHook(reserved, Detour(), nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(nullptr, Detour(), nullptr), MH_ERROR_NOT_EXECUTABLE);
  VirtualFree(data, 0, MEM_RELEASE);
  VirtualFree(reserved, 0, MEM_RELEASE);
}

// ---------------------------------------------------------------------------
// State and bookkeeping.

TEST(HookEngineLifecycle, EveryCallBeforeInitializeFails) {
  CodePage page;
  std::uint8_t* target = AddSeven(page);
  EXPECT_EQ(MH_CreateHook(target, Detour(), nullptr), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_EnableHook(target), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_RemoveHook(target), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_Initialize(), MH_OK);
  EXPECT_EQ(MH_Initialize(), MH_ERROR_ALREADY_INITIALIZED);
}

TEST(HookEngineLifecycle, StatusNames) {
  const struct {
    int value;
    const char* name;
  } cases[] = {
      {-1, "MH_UNKNOWN"},
      {0, "MH_OK"},
      {1, "MH_ERROR_ALREADY_INITIALIZED"},
      {2, "MH_ERROR_NOT_INITIALIZED"},
      {3, "MH_ERROR_ALREADY_CREATED"},
      {4, "MH_ERROR_NOT_CREATED"},
      {5, "MH_ERROR_ENABLED"},
      {6, "MH_ERROR_DISABLED"},
      {7, "MH_ERROR_NOT_EXECUTABLE"},
      {8, "MH_ERROR_UNSUPPORTED_FUNCTION"},
      {9, "MH_ERROR_MEMORY_ALLOC"},
      {10, "MH_ERROR_MEMORY_PROTECT"},
      {11, "MH_ERROR_MODULE_NOT_FOUND"},
      {12, "MH_ERROR_FUNCTION_NOT_FOUND"},
      {13, "(unknown)"},
      {-2, "(unknown)"},
  };
  for (const auto& c : cases) EXPECT_STREQ(MH_StatusName(static_cast<MH_STATUS>(c.value)), c.name) << c.value;
}

// n functions "mov eax, i; ret", 16 bytes apart.
std::vector<std::uint8_t*> SmallFunctions(CodePage& page, unsigned n, std::size_t offset = 0) {
  std::vector<std::uint8_t*> out;
  for (unsigned i = 0; i < n; ++i)
    out.push_back(Asm(page.at(offset + i * 16)).b({0xB8}).u32(i).b({0xC3}).start());
  return out;
}

TEST_F(HookEngine, EnableAndDisableReportTheirState) {
  const auto targets = SmallFunctions(page_, 3);
  for (std::uint8_t* t : targets) ASSERT_EQ(MH_CreateHook(t, Detour(), nullptr), MH_OK);
  EXPECT_EQ(MH_CreateHook(targets[0], Detour(), nullptr), MH_ERROR_ALREADY_CREATED);
  EXPECT_EQ(MH_DisableHook(targets[0]), MH_ERROR_DISABLED);

  const std::uint32_t freezes = bh::hooks::testing::FreezeCount();
  EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);  // all disabled already
  EXPECT_EQ(bh::hooks::testing::FreezeCount(), freezes) << "nothing to do must suspend nothing";
  ASSERT_EQ(MH_EnableHook(targets[1]), MH_OK);
  EXPECT_EQ(bh::hooks::testing::FreezeCount(), freezes + 1);
  EXPECT_EQ(MH_EnableHook(targets[1]), MH_ERROR_ENABLED);
  ASSERT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);  // the other two, under one freeze
  EXPECT_EQ(bh::hooks::testing::FreezeCount(), freezes + 2);
  for (std::uint8_t* t : targets) EXPECT_EQ(t[0], 0xE9);
  EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_EQ(bh::hooks::testing::FreezeCount(), freezes + 2) << "all enabled must suspend nothing";
  EXPECT_EQ(MH_EnableHook(targets[2]), MH_ERROR_ENABLED);

  // Removing an enabled hook restores the target.
  ASSERT_EQ(MH_RemoveHook(targets[0]), MH_OK);
  EXPECT_EQ(targets[0][0], 0xB8);
  EXPECT_EQ(MH_RemoveHook(targets[0]), MH_ERROR_NOT_CREATED);
  EXPECT_EQ(MH_EnableHook(targets[0]), MH_ERROR_NOT_CREATED);
  EXPECT_EQ(MH_DisableHook(targets[0]), MH_ERROR_NOT_CREATED);
  ASSERT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_EQ(targets[1][0], 0xB8);
  EXPECT_EQ(targets[2][0], 0xB8);
  EXPECT_EQ(reinterpret_cast<IntFn>(targets[2])(0), 2);
}

TEST_F(HookEngine, TableStartsAt32DoublesAndHalves) {
  using bh::hooks::testing::HookCount;
  using bh::hooks::testing::HookTableCapacity;
  const auto targets = SmallFunctions(page_, 130);
  EXPECT_EQ(HookTableCapacity(), 0u);
  ASSERT_EQ(MH_CreateHook(targets[0], Detour(), nullptr), MH_OK);
  EXPECT_EQ(HookTableCapacity(), 32u);
  std::vector<std::uint32_t> capacityAfterCreate{32};
  for (unsigned i = 1; i < targets.size(); ++i) {
    ASSERT_EQ(MH_CreateHook(targets[i], Detour(), nullptr), MH_OK) << i;
    capacityAfterCreate.push_back(HookTableCapacity());
  }
  EXPECT_EQ(capacityAfterCreate[31], 32u);
  EXPECT_EQ(capacityAfterCreate[32], 64u);
  EXPECT_EQ(capacityAfterCreate[64], 128u);
  EXPECT_EQ(capacityAfterCreate[128], 256u);
  EXPECT_EQ(HookCount(), 130u);

  // Removing from the front moves the last entry into the hole: the rest
  // must still be found.
  const struct {
    unsigned countAfter;
    std::uint32_t capacity;
  } shrinkSteps[] = {{129, 256}, {128, 128}, {65, 128}, {64, 64}, {33, 64}, {32, 32}, {0, 32}};
  unsigned removed = 0;
  for (const auto& step : shrinkSteps) {
    while (HookCount() > step.countAfter) ASSERT_EQ(MH_RemoveHook(targets[removed++]), MH_OK);
    EXPECT_EQ(HookTableCapacity(), step.capacity) << "at " << step.countAfter << " hooks";
  }
  EXPECT_EQ(removed, 130u);
}

MEMORY_BASIC_INFORMATION Query(const void* address) {
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(address, &info, sizeof(info));
  return info;
}

TEST_F(HookEngine, SlotsShareBlocksNearTheTargetAndFreeTheLastOne) {
  const auto targets = SmallFunctions(page_, 64);
  std::vector<std::uint8_t*> trampolines;
  for (std::uint8_t* t : targets) {
    void* trampoline = nullptr;
    ASSERT_EQ(MH_CreateHook(t, Detour(), &trampoline), MH_OK);
    trampolines.push_back(static_cast<std::uint8_t*>(trampoline));
    const std::int64_t distance = static_cast<std::uint8_t*>(trampoline) - t;
    EXPECT_LT(std::llabs(distance), 0x40000000LL);
  }
  // 63 slots per block: the 64th hook opens a second block.
  auto blockOf = [](const std::uint8_t* p) { return reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{0xFFF}; };
  for (unsigned i = 1; i < 63; ++i) EXPECT_EQ(blockOf(trampolines[i]), blockOf(trampolines[0]));
  EXPECT_NE(blockOf(trampolines[63]), blockOf(trampolines[0]));
  EXPECT_EQ(Query(trampolines[63]).State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_EQ(Query(trampolines[63]).Protect, static_cast<DWORD>(PAGE_EXECUTE_READWRITE));

  // Removing the only hook of the second block releases it.
  ASSERT_EQ(MH_RemoveHook(targets[63]), MH_OK);
  EXPECT_EQ(Query(trampolines[63]).State, static_cast<DWORD>(MEM_FREE));
  // The first block lives until its last slot goes.
  for (unsigned i = 0; i < 62; ++i) ASSERT_EQ(MH_RemoveHook(targets[i]), MH_OK);
  EXPECT_EQ(Query(trampolines[0]).State, static_cast<DWORD>(MEM_COMMIT));
  ASSERT_EQ(MH_RemoveHook(targets[62]), MH_OK);
  EXPECT_EQ(Query(trampolines[0]).State, static_cast<DWORD>(MEM_FREE));
}

// ---------------------------------------------------------------------------
// Toggling hooks while another thread runs through them.

IntFn g_raceTrampoline = nullptr;
std::atomic<long long> g_raceDetourCalls{0};  // billions of calls on a slow machine
int RaceDetour(int x) {
  ++g_raceDetourCalls;
  return g_raceTrampoline(x);
}

TEST_F(HookEngine, TogglingWhileAnotherThreadCallsThrough) {
  // Five one- and two-byte instructions in the first 5 bytes, so a thread is
  // often stopped inside them or in the trampoline:
  // push rbx; mov eax, ecx; push rsi; pop rsi; pop rbx; lea eax, [rax+rax*2]; ret
  std::uint8_t* target =
      Asm(page_.at(0x100)).b({0x53, 0x89, 0xC8, 0x56, 0x5E, 0x5B, 0x8D, 0x04, 0x40, 0xC3}).start();
  const IntFn function = reinterpret_cast<IntFn>(target);
  void* trampoline = nullptr;
  ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&RaceDetour), &trampoline), MH_OK);
  g_raceTrampoline = reinterpret_cast<IntFn>(trampoline);

  std::atomic<bool> stop{false};
  std::atomic<long long> calls{0}, wrong{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w)
    workers.emplace_back([&, w] {
      for (int i = w; !stop.load(std::memory_order_relaxed); ++i) {
        const int x = i & 0xFFFF;
        if (function(x) != x * 3) ++wrong;
        ++calls;
      }
    });
  while (calls.load() < 1000) std::this_thread::yield();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(MH_EnableHook(target), MH_OK);
    ASSERT_EQ(MH_DisableHook(target), MH_OK);
  }
  stop = true;
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(g_raceDetourCalls.load(), 0);
  std::printf("calls %lld, through the detour %lld, instruction pointers moved %u\n", calls.load(),
              g_raceDetourCalls.load(), bh::hooks::testing::InstructionPointerMoves());
  ASSERT_EQ(MH_RemoveHook(target), MH_OK);
}

// ---------------------------------------------------------------------------
// Functions no one here wrote: exports of Wine's system DLLs.

template <typename Fn>
Fn Export(const wchar_t* module, const char* name) {
  HMODULE handle = LoadLibraryW(module);
  return handle ? reinterpret_cast<Fn>(GetProcAddress(handle, name)) : nullptr;
}

using StrlenFn = std::size_t (*)(const char*);
using Atan2Fn = double (*)(double, double);
using Crc32Fn = DWORD(WINAPI*)(DWORD, const BYTE*, INT);
using StrchrFn = const char* (*)(const char*, int);

StrlenFn g_strlen = nullptr;
Atan2Fn g_atan2 = nullptr;
Crc32Fn g_crc32 = nullptr;
StrchrFn g_strchr = nullptr;
std::atomic<int> g_systemDetourCalls{0};

std::size_t StrlenDetour(const char* s) { return ++g_systemDetourCalls, g_strlen(s); }
double Atan2Detour(double y, double x) { return ++g_systemDetourCalls, g_atan2(y, x); }
DWORD WINAPI Crc32Detour(DWORD crc, const BYTE* data, INT size) { return ++g_systemDetourCalls, g_crc32(crc, data, size); }
const char* StrchrDetour(const char* s, int c) { return ++g_systemDetourCalls, g_strchr(s, c); }

TEST_F(HookEngine, HooksExportsOfWineDlls) {
  const auto ucrtStrlen = Export<StrlenFn>(L"ucrtbase.dll", "strlen");
  const auto msvcrtAtan2 = Export<Atan2Fn>(L"msvcrt.dll", "atan2");
  const auto crc32 = Export<Crc32Fn>(L"ntdll.dll", "RtlComputeCrc32");
  const auto ucrtStrchr = Export<StrchrFn>(L"ucrtbase.dll", "strchr");
  ASSERT_TRUE(ucrtStrlen && msvcrtAtan2 && crc32 && ucrtStrchr);

  const char* text = "Brackenhold, co-op at last";
  const BYTE bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  auto results = [&] {
    return std::vector<double>{static_cast<double>(ucrtStrlen(text)), msvcrtAtan2(1.0, -2.0),
                               static_cast<double>(crc32(0, bytes, sizeof(bytes))),
                               static_cast<double>(ucrtStrchr(text, ',') - text)};
  };
  const std::vector<double> expected = results();

  struct Hook {
    void* target;
    void* detour;
    void** original;
  } hooks[] = {
      {reinterpret_cast<void*>(ucrtStrlen), reinterpret_cast<void*>(&StrlenDetour), reinterpret_cast<void**>(&g_strlen)},
      {reinterpret_cast<void*>(msvcrtAtan2), reinterpret_cast<void*>(&Atan2Detour), reinterpret_cast<void**>(&g_atan2)},
      {reinterpret_cast<void*>(crc32), reinterpret_cast<void*>(&Crc32Detour), reinterpret_cast<void**>(&g_crc32)},
      {reinterpret_cast<void*>(ucrtStrchr), reinterpret_cast<void*>(&StrchrDetour), reinterpret_cast<void**>(&g_strchr)},
  };
  for (Hook& h : hooks) ASSERT_EQ(MH_CreateHook(h.target, h.detour, h.original), MH_OK);
  ASSERT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);
  for (int round = 0; round < 3; ++round) EXPECT_EQ(results(), expected);
  EXPECT_EQ(g_systemDetourCalls.load(), 3 * 4);
  ASSERT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_EQ(results(), expected);
  EXPECT_EQ(g_systemDetourCalls.load(), 3 * 4);
  for (Hook& h : hooks) ASSERT_EQ(MH_RemoveHook(h.target), MH_OK);
  EXPECT_EQ(results(), expected);
}

}  // namespace
