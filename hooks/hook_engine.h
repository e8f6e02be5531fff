// Inline hooking engine: redirects a machine-code function (the target) to a
// replacement (the detour) and hands back a trampoline that still runs the
// target's own code.
//
// Offers the C-style MH_ interface below. MH_CreateHook copies the target's
// first instructions into a trampoline in executable memory within 1 GiB of
// the target (rewriting the position-dependent ones), followed by a jump back
// and a relay stub to the detour; MH_EnableHook writes a 5-byte jump to the
// relay over the target's start (or, for a function shorter than that, above
// it with a 2-byte jump at its start) while every other thread is suspended;
// MH_DisableHook and MH_RemoveHook undo it.
// Needs: the instruction decoder (decoder.h); Windows memory, heap, thread
// and instruction-cache services. Windows build only (the header is portable).
// Threads: any thread may call any function; a process-wide spin lock
// serialises them. A caller must not patch a function it is itself executing.
// Nothing here logs: callers log with MH_StatusName.
//
// Known cost: trampolines carry no unwind data. The only frames that can have
// a return address inside a trampoline are calls made by a relocated E8 from
// the target's first 5 bytes; an exception unwinding through such a frame is
// unwound as a leaf function, which is right only when the call is the
// target's first instruction. See hook_engine_win.cpp for the reasoning.
#pragma once

#include <cstdint>

// The MH_ interface is C-style and global, like the status names it returns.
enum MH_STATUS : std::int32_t {
  MH_UNKNOWN = -1,
  MH_OK = 0,
  MH_ERROR_ALREADY_INITIALIZED = 1,
  MH_ERROR_NOT_INITIALIZED = 2,
  MH_ERROR_ALREADY_CREATED = 3,
  MH_ERROR_NOT_CREATED = 4,
  MH_ERROR_ENABLED = 5,
  MH_ERROR_DISABLED = 6,
  MH_ERROR_NOT_EXECUTABLE = 7,
  MH_ERROR_UNSUPPORTED_FUNCTION = 8,
  MH_ERROR_MEMORY_ALLOC = 9,
  MH_ERROR_MEMORY_PROTECT = 10,
  MH_ERROR_MODULE_NOT_FOUND = 11,
  MH_ERROR_FUNCTION_NOT_FOUND = 12,
};

// The target argument of MH_EnableHook / MH_DisableHook meaning every hook.
inline void* const MH_ALL_HOOKS = nullptr;

// Creates the engine's private heap. MH_ERROR_ALREADY_INITIALIZED when it
// exists (callers may treat that as success), MH_ERROR_MEMORY_ALLOC when it
// cannot be created. There is no uninitialise.
MH_STATUS MH_Initialize();

// Builds a disabled hook of target; *original (if given) receives the
// trampoline. The target is not changed. Fails with NOT_EXECUTABLE (target or
// detour not in committed executable memory), ALREADY_CREATED, MEMORY_ALLOC
// (no slot within 1 GiB, or the table cannot grow), UNSUPPORTED_FUNCTION (the
// prologue cannot be relocated); a failure leaves nothing behind.
MH_STATUS MH_CreateHook(void* target, void* detour, void** original);

// Patches (enables) or unpatches (disables) one hook, or every hook for
// MH_ALL_HOOKS. One hook: NOT_CREATED, ENABLED / DISABLED when already so.
// All hooks: MH_OK at once when all are in the requested state, else the
// first failure (hooks changed before it stay changed).
MH_STATUS MH_EnableHook(void* target);
MH_STATUS MH_DisableHook(void* target);

// Disables (if needed) and deletes a hook, releasing its trampoline.
// NOT_CREATED when unknown; a failed unpatch is returned and the hook stays.
MH_STATUS MH_RemoveHook(void* target);

// The enumerator's name ("MH_OK", ...), or "(unknown)".
const char* MH_StatusName(MH_STATUS status);

namespace bh::hooks::testing {
std::uint32_t HookTableCapacity();
std::uint32_t HookCount();
// How many times the other threads were frozen, and how many of their
// instruction pointers were moved out of changed code.
std::uint32_t FreezeCount();
std::uint32_t InstructionPointerMoves();
}  // namespace bh::hooks::testing
