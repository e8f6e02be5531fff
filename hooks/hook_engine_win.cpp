// Inline hooking engine (see hook_engine.h).
//
// [SECTION] State and the spin lock
// [SECTION] Slot blocks near the target
// [SECTION] Trampolines
// [SECTION] Freezing the other threads
// [SECTION] Patching
// [SECTION] Interface
//
// Unwind data. Slot blocks register none (no RtlAddFunctionTable). The relay
// stub and the trampoline's jump back leave no frame of their own: the detour
// runs as if called by the target's caller, and the target's body as if
// entered directly. The only frame with a return address inside a slot is a
// call that a relocated E8 makes from the target's first 5 bytes. The
// unwinder treats an address without a function entry as a leaf (the return
// address at [rsp]), which is exactly right when that call is the target's
// first instruction. Describing any other case correctly would mean
// translating the target's own unwind codes (and its handler, whose address
// is relative to the target's image) to the trampoline's offsets, with a
// 32-bit reach from the block that a block above the image does not have. The
// functions this system hooks (the engine's dispatch functions, Present)
// start with register saves and stack adjustments, never a call, so the
// remedy would cost more than the case it covers.
#include "hooks/hook_engine.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstring>

#include "hooks/decoder.h"

namespace bh::hooks {
namespace {

// ---------------------------------------------------------------------------
// [SECTION] State and the spin lock
// ---------------------------------------------------------------------------

constexpr unsigned kPatchSize = 5;          // E9 rel32
constexpr unsigned kHotPatchSize = 7;       // E9 rel32 above the target, EB F9 at it
constexpr unsigned kMaxTrampoline = 50;     // bytes of a slot before the relay stub
constexpr unsigned kMaxInstructions = 8;
constexpr unsigned kSlotSize = 64;
constexpr unsigned kBlockSize = 4096;
constexpr unsigned kSlotsPerBlock = (kBlockSize - kSlotSize) / kSlotSize;  // 63
constexpr std::uintptr_t kMaxDistance = 0x40000000;  // 1 GiB: well inside a rel32's reach
constexpr std::uint32_t kInitialCapacity = 32;

struct HookEntry {
  std::uint8_t* target;
  std::uint8_t* relay;       // the relay stub; the target's jump points here
  std::uint8_t* trampoline;  // the slot's start
  std::uint8_t backup[8];    // the bytes enabling overwrites (5, or 7 with patch-above)
  std::uint8_t patchAbove : 1;
  std::uint8_t enabled : 1;
  std::uint8_t boundaryCount : 4;
  std::uint8_t oldBoundaries[kMaxInstructions];  // instruction offsets in the target
  std::uint8_t newBoundaries[kMaxInstructions];  // the same instructions in the trampoline
};

union Slot {
  Slot* nextFree;
  std::uint8_t bytes[kSlotSize];
};

struct SlotBlock {
  SlotBlock* next;
  Slot* freeSlots;
  std::uint32_t usedCount;
};
static_assert(sizeof(SlotBlock) <= kSlotSize, "the block header takes the first slot's room");

// The engine's process-wide state. Zero-initialised and trivially
// destructible: it outlives every caller, including static destructors.
struct HookEngineState {
  volatile LONG lock;  // 0 free, 1 taken; guards everything below
  HANDLE heap;         // private heap for the table and the thread lists
  HookEntry* table;
  std::uint32_t capacity;
  std::uint32_t count;
  SlotBlock* blocks;  // newest first
  std::uint32_t freezeCount;
  std::uint32_t ipMoves;
};
HookEngineState g_engine;

// Spins with Sleep(0) first, then Sleep(1): the holder may be a thread of
// lower priority that needs the processor to finish.
class EngineLock {
 public:
  EngineLock() {
    for (unsigned attempt = 0; InterlockedCompareExchange(&g_engine.lock, 1, 0) != 0; ++attempt)
      Sleep(attempt < 32 ? 0 : 1);
  }
  ~EngineLock() { InterlockedExchange(&g_engine.lock, 0); }
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;
};

bool IsExecutable(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof(info)) == 0) return false;
  if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS))) return false;
  return (info.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

// Both ends of a small range (it may cross a page boundary).
bool IsExecutableRange(const std::uint8_t* start, std::size_t size) {
  return IsExecutable(start) && IsExecutable(start + size - 1);
}

HookEntry* FindEntry(const void* target) {
  for (std::uint32_t i = 0; i < g_engine.count; ++i)
    if (g_engine.table[i].target == target) return &g_engine.table[i];
  return nullptr;
}

// ---------------------------------------------------------------------------
// [SECTION] Slot blocks near the target
// ---------------------------------------------------------------------------

SlotBlock* NewBlockAt(std::uintptr_t address) {
  if (address == 0) return nullptr;
  void* memory = VirtualAlloc(reinterpret_cast<void*>(address), kBlockSize, MEM_RESERVE | MEM_COMMIT,
                              PAGE_EXECUTE_READWRITE);
  return static_cast<SlotBlock*>(memory);
}

// Reserves a block in a free region within [low, high], searching down from
// the target first, then up.
SlotBlock* AllocateBlockNear(std::uintptr_t target, std::uintptr_t low, std::uintptr_t high,
                             std::uintptr_t granularity) {
  const std::uintptr_t base = target / granularity * granularity;
  SlotBlock* block = nullptr;
  MEMORY_BASIC_INFORMATION info;
  for (std::uintptr_t candidate = base >= granularity ? base - granularity : 0;
       !block && candidate >= low && candidate != 0;) {
    if (VirtualQuery(reinterpret_cast<void*>(candidate), &info, sizeof(info)) == 0) break;
    if (info.State == MEM_FREE) {
      block = NewBlockAt(candidate);
      if (block) break;
      candidate = candidate / granularity * granularity;
      if (candidate < granularity) break;
      candidate -= granularity;
    } else {
      const std::uintptr_t allocationBase = reinterpret_cast<std::uintptr_t>(info.AllocationBase);
      if (allocationBase < granularity) break;
      candidate = allocationBase - granularity;
    }
  }
  for (std::uintptr_t candidate = base + granularity; !block && candidate <= high;) {
    if (VirtualQuery(reinterpret_cast<void*>(candidate), &info, sizeof(info)) == 0) break;
    if (info.State == MEM_FREE) {
      block = NewBlockAt(candidate);
      if (block) break;
      candidate = candidate / granularity * granularity + granularity;
    } else {
      const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
      candidate = (end + granularity - 1) / granularity * granularity;
    }
  }
  return block;
}

Slot* AllocateSlot(const void* targetAddress) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const std::uintptr_t minimum = reinterpret_cast<std::uintptr_t>(system.lpMinimumApplicationAddress);
  const std::uintptr_t maximum = reinterpret_cast<std::uintptr_t>(system.lpMaximumApplicationAddress);
  const std::uintptr_t granularity = system.dwAllocationGranularity;
  const std::uintptr_t target = reinterpret_cast<std::uintptr_t>(targetAddress);
  const std::uintptr_t low = (target > kMaxDistance && target - kMaxDistance > minimum) ? target - kMaxDistance : minimum;
  const std::uintptr_t high = (target + kMaxDistance < maximum ? target + kMaxDistance : maximum) - 0xFFF;

  SlotBlock* block = nullptr;
  for (SlotBlock* b = g_engine.blocks; b && !block; b = b->next) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(b);
    if (at >= low && at < high && b->freeSlots) block = b;
  }
  if (!block) {
    block = AllocateBlockNear(target, low, high, granularity);
    if (!block) return nullptr;
    // Chain the 63 slots after the header; the highest becomes the head.
    Slot* slots = reinterpret_cast<Slot*>(reinterpret_cast<std::uint8_t*>(block) + kSlotSize);
    block->freeSlots = nullptr;
    for (unsigned i = 0; i < kSlotsPerBlock; ++i) {
      slots[i].nextFree = block->freeSlots;
      block->freeSlots = &slots[i];
    }
    block->usedCount = 0;
    block->next = g_engine.blocks;
    g_engine.blocks = block;
  }
  Slot* slot = block->freeSlots;
  block->freeSlots = slot->nextFree;
  ++block->usedCount;
  return slot;
}

void ReleaseSlot(void* slotAddress) {
  const std::uintptr_t blockAddress = reinterpret_cast<std::uintptr_t>(slotAddress) / kBlockSize * kBlockSize;
  SlotBlock** link = &g_engine.blocks;
  while (*link && reinterpret_cast<std::uintptr_t>(*link) != blockAddress) link = &(*link)->next;
  SlotBlock* block = *link;
  if (!block) return;
  // The old trampoline's code stays in place but for its first 8 bytes: a
  // thread still returning into it (from a relocated call) runs on.
  Slot* slot = static_cast<Slot*>(slotAddress);
  slot->nextFree = block->freeSlots;
  block->freeSlots = slot;
  if (--block->usedCount == 0) {
    *link = block->next;
    VirtualFree(block, 0, MEM_RELEASE);
  }
}

// ---------------------------------------------------------------------------
// [SECTION] Trampolines
// ---------------------------------------------------------------------------

// The stubs the engine writes.
constexpr unsigned kAbsJumpSize = 14;  // FF 25 00000000, then the 8-byte destination
constexpr unsigned kAbsCallSize = 16;  // FF 15 02000000, EB 08, then the destination
constexpr unsigned kAbsJccSize = 16;   // (71 ^ cc) 0E, then an absolute jump

unsigned WriteAbsJump(std::uint8_t* out, std::uint64_t destination) {
  const std::uint8_t head[6] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(out, head, sizeof(head));
  std::memcpy(out + 6, &destination, 8);
  return kAbsJumpSize;
}
unsigned WriteAbsCall(std::uint8_t* out, std::uint64_t destination) {
  const std::uint8_t head[8] = {0xFF, 0x15, 0x02, 0x00, 0x00, 0x00, 0xEB, 0x08};
  std::memcpy(out, head, sizeof(head));
  std::memcpy(out + 8, &destination, 8);
  return kAbsCallSize;
}
unsigned WriteAbsConditionalJump(std::uint8_t* out, unsigned condition, std::uint64_t destination) {
  out[0] = static_cast<std::uint8_t>(0x71 ^ condition);  // the opposite short Jcc skips the jump
  out[1] = kAbsJumpSize;
  WriteAbsJump(out + 2, destination);
  return kAbsJccSize;
}

bool IsFiller(std::uint8_t b) { return b == 0x00 || b == 0x90 || b == 0xCC; }
// All count bytes equal one filler byte.
bool IsFillerRun(const std::uint8_t* bytes, unsigned count) {
  for (unsigned i = 0; i < count; ++i)
    if (!IsFiller(bytes[i]) || bytes[i] != bytes[0]) return false;
  return true;
}

struct Trampoline {
  std::uint8_t code[kSlotSize];
  unsigned size;  // bytes before the relay stub
  bool patchAbove;
  unsigned count;
  std::uint8_t oldBoundaries[kMaxInstructions];
  std::uint8_t newBoundaries[kMaxInstructions];
};

// Copies the target's first instructions (at least 5 bytes of them, unless
// the function ends earlier) into out, as they will run from slot, followed
// by a jump back to the rest of the target and the relay stub to detour.
// False when the prologue cannot be relocated.
bool BuildTrampoline(std::uint8_t* target, void* detour, std::uint8_t* slot, Trampoline* out) {
  unsigned oldPos = 0, newPos = 0;
  std::memset(out->code, 0xCC, sizeof(out->code));
  std::uintptr_t branchEnd = 0;  // the furthest in-prologue destination of a copied branch
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(target);
  out->count = 0;
  out->patchAbove = false;
  for (bool finished = false; !finished;) {
    std::uint8_t* at = target + oldPos;
    const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(at);
    InstructionRecord r;
    std::uint8_t emitted[kAbsJccSize];
    unsigned length = 0, emittedSize = 0;
    bool copy = true;

    if (oldPos >= kPatchSize) {
      // Enough is copied: the rest of the target runs in place.
      emittedSize = WriteAbsJump(emitted, here);
      copy = false;
      finished = true;
    } else {
      length = DecodeInstruction(at, &r);
      if (r.flags & kInsnError) return false;
      const bool relative = (r.flags & kInsnRelative) != 0;
      const std::int64_t displacement = BranchDisplacement(r);
      const std::uintptr_t destination = here + length + static_cast<std::uintptr_t>(displacement);
      const bool destinationInside = destination >= start && destination < start + kPatchSize;
      // A 66 prefix makes a near branch behave differently on Intel (ignored)
      // and AMD (16-bit target); REX2, VEX and the remaining relative forms
      // (XBEGIN) have no rewrite here. Refuse rather than guess.
      const bool legacyOpcode = !(r.flags & kInsnPrefixRex2) && r.opcode != 0xC4 && r.opcode != 0xC5 &&
                                r.opcode != 0x62 && r.opcode != 0x8F;
      if (relative && ((r.flags & kInsnPrefix66) || !legacyOpcode)) return false;
      const bool conditional = relative && ((r.opcode >= 0x70 && r.opcode <= 0x7F) ||
                                            (r.opcode >= 0xE0 && r.opcode <= 0xE3) ||
                                            (r.opcode == 0x0F && r.opcode2 >= 0x80 && r.opcode2 <= 0x8F));
      const bool jump = relative && (r.opcode == 0xE9 || r.opcode == 0xEB);
      const bool call = relative && r.opcode == 0xE8;

      if (IsRipRelative(r)) {
        // Same byte, addressed from the trampoline. The displacement sits
        // before the immediate.
        const unsigned immediateSize = (r.flags & kInsnImmMask) >> 2;
        const unsigned dispOffset = length - immediateSize - 4;
        const std::int64_t addressed = static_cast<std::int64_t>(here + length) + static_cast<std::int32_t>(r.disp.disp32);
        const std::int64_t newDisp = addressed - static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(slot) + newPos + length);
        // The slot is within 1 GiB, but the data may be up to 2 GiB away
        // the other way: check the new displacement still fits.
        if (newDisp < INT32_MIN || newDisp > INT32_MAX) return false;
        std::memcpy(emitted, at, length);
        const std::int32_t disp32 = static_cast<std::int32_t>(newDisp);
        std::memcpy(emitted + dispOffset, &disp32, 4);
        emittedSize = length;
        copy = false;
        if (r.opcode == 0xFF && r.reg == 4) finished = true;  // jmp [rip + x]
      } else if (call) {
        emittedSize = WriteAbsCall(emitted, destination);
        copy = false;
      } else if (jump || conditional) {
        if (destinationInside) {
          // Copied as it is: its destination is copied too, at the same
          // distance, provided nothing between them changes size.
          if (destination < here) {
            // A backward branch: the destination's shift must be ours.
            bool sameShift = false;
            for (unsigned i = 0; i < out->count; ++i)
              if (start + out->oldBoundaries[i] == destination)
                sameShift = out->newBoundaries[i] - out->oldBoundaries[i] == static_cast<int>(newPos - oldPos);
            if (!sameShift) return false;
          }
          if (destination > branchEnd) branchEnd = destination;
        } else if (conditional && r.opcode >= 0xE0 && r.opcode <= 0xE3) {
          return false;  // LOOP / JrCXZ have no long form
        } else if (conditional) {
          const unsigned condition = (r.opcode == 0x0F ? r.opcode2 : r.opcode) & 0x0F;
          emittedSize = WriteAbsConditionalJump(emitted, condition, destination);
          copy = false;
        } else {
          emittedSize = WriteAbsJump(emitted, destination);
          copy = false;
          if (here >= branchEnd) finished = true;
        }
      } else if (relative) {
        return false;  // a relative operand this engine cannot rewrite
      } else if (r.opcode == 0xC2 || r.opcode == 0xC3) {
        if (here >= branchEnd) finished = true;
      }
      if (copy) {
        std::memcpy(emitted, at, length);
        emittedSize = length;
      }
      // Code that a copied branch jumps over must keep its size.
      if (here < branchEnd && emittedSize != length) return false;
    }
    if (newPos + emittedSize > kMaxTrampoline) return false;
    if (out->count >= kMaxInstructions) return false;
    out->oldBoundaries[out->count] = static_cast<std::uint8_t>(oldPos);
    out->newBoundaries[out->count] = static_cast<std::uint8_t>(newPos);
    ++out->count;
    std::memcpy(out->code + newPos, emitted, emittedSize);
    newPos += emittedSize;
    oldPos += length;
  }

  if (oldPos < kPatchSize) {
    // The function ended inside the 5 bytes the jump needs.
    if (!IsFillerRun(target + oldPos, kPatchSize - oldPos)) {
      // Use the 5 filler bytes above the function, with a 2-byte jump back
      // to them at its start.
      for (unsigned i = oldPos; i < 2; ++i)
        if (!IsFiller(target[i])) return false;
      if (!IsExecutableRange(target - kPatchSize, kPatchSize)) return false;
      if (!IsFillerRun(target - kPatchSize, kPatchSize)) return false;
      out->patchAbove = true;
    }
  }
  out->size = newPos;
  WriteAbsJump(out->code + newPos, reinterpret_cast<std::uint64_t>(detour));
  return true;
}

// ---------------------------------------------------------------------------
// [SECTION] Freezing the other threads
// ---------------------------------------------------------------------------

struct FrozenThreads {
  DWORD* ids = nullptr;
  std::uint32_t count = 0;
  std::uint32_t capacity = 0;
};

void FreeThreadList(FrozenThreads* threads) {
  if (threads->ids) HeapFree(g_engine.heap, 0, threads->ids);
  threads->ids = nullptr;
  threads->count = threads->capacity = 0;
}

bool AppendThread(FrozenThreads* threads, DWORD id) {
  if (threads->count == threads->capacity) {
    const std::uint32_t capacity = threads->capacity ? threads->capacity * 2 : 128;
    void* grown = threads->ids ? HeapReAlloc(g_engine.heap, 0, threads->ids, capacity * sizeof(DWORD))
                               : HeapAlloc(g_engine.heap, 0, capacity * sizeof(DWORD));
    if (!grown) return false;
    threads->ids = static_cast<DWORD*>(grown);
    threads->capacity = capacity;
  }
  threads->ids[threads->count++] = id;
  return true;
}

MH_STATUS CollectOtherThreads(FrozenThreads* threads) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return MH_ERROR_MEMORY_ALLOC;
  const DWORD process = GetCurrentProcessId();
  const DWORD self = GetCurrentThreadId();
  constexpr DWORD kNeeded = offsetof(THREADENTRY32, th32OwnerProcessID) + sizeof(DWORD);
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  MH_STATUS status = MH_OK;
  if (!Thread32First(snapshot, &entry)) {
    status = MH_ERROR_MEMORY_ALLOC;
  } else {
    do {
      if (entry.dwSize >= kNeeded && entry.th32OwnerProcessID == process && entry.th32ThreadID != self &&
          !AppendThread(threads, entry.th32ThreadID)) {
        status = MH_ERROR_MEMORY_ALLOC;
        break;
      }
      entry.dwSize = sizeof(entry);
    } while (Thread32Next(snapshot, &entry));
    if (status == MH_OK && GetLastError() != ERROR_NO_MORE_FILES) status = MH_ERROR_MEMORY_ALLOC;
  }
  CloseHandle(snapshot);
  if (status != MH_OK) FreeThreadList(threads);
  return status;
}

// Where a thread stopped at ip should continue once entry changes to the
// requested state, or 0 when it may stay.
std::uintptr_t MovedInstructionPointer(const HookEntry& entry, std::uintptr_t ip, bool enable) {
  const std::uintptr_t target = reinterpret_cast<std::uintptr_t>(entry.target);
  const std::uintptr_t trampoline = reinterpret_cast<std::uintptr_t>(entry.trampoline);
  if (enable) {
    for (unsigned i = 0; i < entry.boundaryCount; ++i)
      if (ip == target + entry.oldBoundaries[i]) return trampoline + entry.newBoundaries[i];
    return 0;
  }
  if (entry.patchAbove && ip == target - kPatchSize) return target;
  for (unsigned i = 0; i < entry.boundaryCount; ++i)
    if (ip == trampoline + entry.newBoundaries[i]) return target + entry.oldBoundaries[i];
  if (ip == reinterpret_cast<std::uintptr_t>(entry.relay)) return target;
  return 0;
}

// Moves the suspended thread out of code that is about to change: for one
// entry (index) or, with index = count, for every entry that will change.
void CorrectInstructionPointer(HANDLE thread, std::uint32_t index, bool enable) {
  CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  context.ContextFlags = CONTEXT_CONTROL;
  if (!GetThreadContext(thread, &context)) return;
  const std::uint32_t first = index < g_engine.count ? index : 0;
  const std::uint32_t last = index < g_engine.count ? index + 1 : g_engine.count;
  for (std::uint32_t i = first; i < last; ++i) {
    const HookEntry& entry = g_engine.table[i];
    if (static_cast<bool>(entry.enabled) == enable) continue;
    const std::uintptr_t moved = MovedInstructionPointer(entry, context.Rip, enable);
    if (moved) {
      context.Rip = moved;
      SetThreadContext(thread, &context);
      ++g_engine.ipMoves;
      return;
    }
  }
}

MH_STATUS Freeze(FrozenThreads* threads, std::uint32_t index, bool enable) {
  const MH_STATUS status = CollectOtherThreads(threads);
  if (status != MH_OK) return status;
  ++g_engine.freezeCount;
  for (std::uint32_t i = 0; i < threads->count; ++i) {
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_INFORMATION,
                               FALSE, threads->ids[i]);
    if (thread && SuspendThread(thread) != static_cast<DWORD>(-1)) {
      CorrectInstructionPointer(thread, index, enable);
    } else {
      threads->ids[i] = 0;  // left running; not resumed later
    }
    if (thread) CloseHandle(thread);
  }
  return MH_OK;
}

void Unfreeze(FrozenThreads* threads) {
  for (std::uint32_t i = 0; i < threads->count; ++i) {
    if (threads->ids[i] == 0) continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, threads->ids[i]);
    if (thread) {
      ResumeThread(thread);
      CloseHandle(thread);
    }
  }
  FreeThreadList(threads);
}

// ---------------------------------------------------------------------------
// [SECTION] Patching
// ---------------------------------------------------------------------------

MH_STATUS Patch(HookEntry& entry, bool enable) {
  std::uint8_t* start = entry.patchAbove ? entry.target - kPatchSize : entry.target;
  const unsigned size = entry.patchAbove ? kHotPatchSize : kPatchSize;
  DWORD oldProtection = 0;
  if (!VirtualProtect(start, size, PAGE_EXECUTE_READWRITE, &oldProtection)) return MH_ERROR_MEMORY_PROTECT;
  if (enable) {
    const std::int32_t rel = static_cast<std::int32_t>(entry.relay - (start + kPatchSize));
    start[0] = 0xE9;
    std::memcpy(start + 1, &rel, 4);
    if (entry.patchAbove) {
      entry.target[0] = 0xEB;
      entry.target[1] = 0xF9;  // back 7 bytes, to the jump above
    }
  } else {
    std::memcpy(start, entry.backup, size);
  }
  DWORD ignored = 0;
  VirtualProtect(start, size, oldProtection, &ignored);
  FlushInstructionCache(GetCurrentProcess(), start, size);
  entry.enabled = enable;
  return MH_OK;
}

MH_STATUS SetOne(void* target, bool enable) {
  HookEntry* entry = FindEntry(target);
  if (!entry) return MH_ERROR_NOT_CREATED;
  if (static_cast<bool>(entry->enabled) == enable) return enable ? MH_ERROR_ENABLED : MH_ERROR_DISABLED;
  FrozenThreads threads;
  MH_STATUS status = Freeze(&threads, static_cast<std::uint32_t>(entry - g_engine.table), enable);
  if (status != MH_OK) return status;
  status = Patch(*entry, enable);
  Unfreeze(&threads);
  return status;
}

MH_STATUS SetAll(bool enable) {
  bool anyDiffers = false;
  for (std::uint32_t i = 0; i < g_engine.count; ++i) anyDiffers |= static_cast<bool>(g_engine.table[i].enabled) != enable;
  if (!anyDiffers) return MH_OK;
  FrozenThreads threads;
  MH_STATUS status = Freeze(&threads, g_engine.count, enable);
  if (status != MH_OK) return status;
  for (std::uint32_t i = 0; i < g_engine.count && status == MH_OK; ++i)
    if (static_cast<bool>(g_engine.table[i].enabled) != enable) status = Patch(g_engine.table[i], enable);
  Unfreeze(&threads);
  return status;
}

MH_STATUS SetHook(void* target, bool enable) {
  EngineLock lock;
  if (!g_engine.heap) return MH_ERROR_NOT_INITIALIZED;
  return target == MH_ALL_HOOKS ? SetAll(enable) : SetOne(target, enable);
}

bool GrowTable() {
  if (g_engine.count < g_engine.capacity) return true;
  const std::uint32_t capacity = g_engine.capacity ? g_engine.capacity * 2 : kInitialCapacity;
  void* grown = g_engine.table ? HeapReAlloc(g_engine.heap, 0, g_engine.table, capacity * sizeof(HookEntry))
                               : HeapAlloc(g_engine.heap, 0, capacity * sizeof(HookEntry));
  if (!grown) return false;
  g_engine.table = static_cast<HookEntry*>(grown);
  g_engine.capacity = capacity;
  return true;
}

void DeleteEntry(HookEntry* entry) {
  *entry = g_engine.table[--g_engine.count];
  const std::uint32_t half = g_engine.capacity / 2;
  if (half >= kInitialCapacity && half >= g_engine.count) {
    void* shrunk = HeapReAlloc(g_engine.heap, 0, g_engine.table, half * sizeof(HookEntry));
    if (shrunk) {  // a failed shrink keeps the larger table
      g_engine.table = static_cast<HookEntry*>(shrunk);
      g_engine.capacity = half;
    }
  }
}

}  // namespace
}  // namespace bh::hooks

// ---------------------------------------------------------------------------
// [SECTION] Interface
// ---------------------------------------------------------------------------

using namespace bh::hooks;

MH_STATUS MH_Initialize() {
  EngineLock lock;
  if (g_engine.heap) return MH_ERROR_ALREADY_INITIALIZED;
  g_engine.heap = HeapCreate(0, 0, 0);
  return g_engine.heap ? MH_OK : MH_ERROR_MEMORY_ALLOC;
}

MH_STATUS MH_CreateHook(void* targetAddress, void* detour, void** original) {
  EngineLock lock;
  if (!g_engine.heap) return MH_ERROR_NOT_INITIALIZED;
  std::uint8_t* target = static_cast<std::uint8_t*>(targetAddress);
  // The whole patch range, not just its first byte, must be code we can read.
  if (!target || !detour || !IsExecutableRange(target, kPatchSize) || !IsExecutable(detour))
    return MH_ERROR_NOT_EXECUTABLE;
  if (FindEntry(target)) return MH_ERROR_ALREADY_CREATED;
  Slot* slot = AllocateSlot(target);
  if (!slot) return MH_ERROR_MEMORY_ALLOC;
  std::uint8_t* slotBytes = slot->bytes;
  Trampoline trampoline;
  if (!BuildTrampoline(target, detour, slotBytes, &trampoline)) {
    ReleaseSlot(slot);
    return MH_ERROR_UNSUPPORTED_FUNCTION;
  }
  if (!GrowTable()) {
    ReleaseSlot(slot);
    return MH_ERROR_MEMORY_ALLOC;
  }
  std::memcpy(slotBytes, trampoline.code, sizeof(trampoline.code));
  FlushInstructionCache(GetCurrentProcess(), slotBytes, kSlotSize);

  HookEntry& entry = g_engine.table[g_engine.count++];
  std::memset(&entry, 0, sizeof(entry));
  entry.target = target;
  entry.trampoline = slotBytes;
  entry.relay = slotBytes + trampoline.size;
  entry.patchAbove = trampoline.patchAbove;
  entry.enabled = 0;
  entry.boundaryCount = trampoline.count;
  std::memcpy(entry.oldBoundaries, trampoline.oldBoundaries, sizeof(entry.oldBoundaries));
  std::memcpy(entry.newBoundaries, trampoline.newBoundaries, sizeof(entry.newBoundaries));
  if (entry.patchAbove) {
    std::memcpy(entry.backup, target - kPatchSize, kHotPatchSize);
  } else {
    std::memcpy(entry.backup, target, kPatchSize);
  }
  if (original) *original = slotBytes;
  return MH_OK;
}

MH_STATUS MH_EnableHook(void* target) { return SetHook(target, true); }
MH_STATUS MH_DisableHook(void* target) { return SetHook(target, false); }

MH_STATUS MH_RemoveHook(void* target) {
  EngineLock lock;
  if (!g_engine.heap) return MH_ERROR_NOT_INITIALIZED;
  HookEntry* entry = FindEntry(target);
  if (!entry) return MH_ERROR_NOT_CREATED;
  if (entry->enabled) {
    const MH_STATUS status = SetOne(target, false);
    if (status != MH_OK) return status;
  }
  ReleaseSlot(entry->trampoline);
  DeleteEntry(entry);
  return MH_OK;
}

const char* MH_StatusName(MH_STATUS status) {
  switch (status) {
    case MH_UNKNOWN: return "MH_UNKNOWN";
    case MH_OK: return "MH_OK";
    case MH_ERROR_ALREADY_INITIALIZED: return "MH_ERROR_ALREADY_INITIALIZED";
    case MH_ERROR_NOT_INITIALIZED: return "MH_ERROR_NOT_INITIALIZED";
    case MH_ERROR_ALREADY_CREATED: return "MH_ERROR_ALREADY_CREATED";
    case MH_ERROR_NOT_CREATED: return "MH_ERROR_NOT_CREATED";
    case MH_ERROR_ENABLED: return "MH_ERROR_ENABLED";
    case MH_ERROR_DISABLED: return "MH_ERROR_DISABLED";
    case MH_ERROR_NOT_EXECUTABLE: return "MH_ERROR_NOT_EXECUTABLE";
    case MH_ERROR_UNSUPPORTED_FUNCTION: return "MH_ERROR_UNSUPPORTED_FUNCTION";
    case MH_ERROR_MEMORY_ALLOC: return "MH_ERROR_MEMORY_ALLOC";
    case MH_ERROR_MEMORY_PROTECT: return "MH_ERROR_MEMORY_PROTECT";
    case MH_ERROR_MODULE_NOT_FOUND: return "MH_ERROR_MODULE_NOT_FOUND";
    case MH_ERROR_FUNCTION_NOT_FOUND: return "MH_ERROR_FUNCTION_NOT_FOUND";
  }
  return "(unknown)";
}

namespace bh::hooks::testing {
std::uint32_t HookTableCapacity() {
  EngineLock lock;
  return g_engine.capacity;
}
std::uint32_t HookCount() {
  EngineLock lock;
  return g_engine.count;
}
std::uint32_t FreezeCount() {
  EngineLock lock;
  return g_engine.freezeCount;
}
std::uint32_t InstructionPointerMoves() {
  EngineLock lock;
  return g_engine.ipMoves;
}
}  // namespace bh::hooks::testing
