// Hook registry: handlers on game functions named by object path
// ("/Game/Enemies/EnemyBase.EnemyBase_C:TryApplyDamage"), run before the
// function (and possibly instead of it) or after it.
//
// Offers: AddPre/AddPost (registration by path, from any thread), RequestTrace
// (log every distinct function called on objects of one class for a while),
// and, for the dispatch detours only, the game-thread side: ApplyPending,
// LookUp, Dispatch, Trace and Maintain (the body of the "bh.hooks.maintain"
// ticker, which resolves paths every 500 ms and notices unloaded functions).
// Needs: the log, the millisecond clock, GuardedCall (core); object lookup
// and the live-object test (engine).
// Threads: registration and trace requests from any thread (one mutex, held
// only to append or to take a list); everything else on the game thread,
// without a lock. No handler runs under a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/layout.h"

namespace bh::hooks {

// One intercepted call, as a handler sees it. Handlers may write through
// params and result: that is how they change arguments or force a return value.
struct CallInfo {
  engine::Object* object;      // the object the function runs on
  engine::Function* function;  // the function called
  void* params;                // ProcessEvent's parameter block, or a script frame's locals (parameters first)
  void* result;                // where the return value goes; may be null
};

// A pre-handler returning true means: do not run the function.
using PreHandler = std::function<bool(CallInfo&)>;
using PostHandler = std::function<void(CallInfo&)>;

// One registration; shared between the registry's lists.
struct Entry {
  std::int32_t id = 0;
  std::string path;
  bool pre = false;
  PreHandler preHandler;    // empty for a post entry
  PostHandler postHandler;  // empty for a pre entry
  bool enabled = true;      // game thread
  std::uint64_t registeredMs = 0;  // tick count at registration
  bool warned = false;      // the "still unresolved" warning was given
};
using EntryPtr = std::shared_ptr<Entry>;

// Registers a handler for the function at path; returns its id (1 upward), or
// 0 with a warning for a null or empty path. The hook starts working once the
// path resolves (at the next maintenance pass after the function is loaded).
std::int32_t AddPre(const char* path, PreHandler handler);
std::int32_t AddPost(const char* path, PostHandler handler);

// Logs (tag "trace") each distinct function called on objects of the class
// with that short name, or a subclass, for the given seconds.
void RequestTrace(const char* className, float seconds);

// ---------------------------------------------------------------- for the dispatch detours
// Game thread only.

namespace detail {
// What the detours test on every engine call before anything else.
struct DispatchGate {
  std::size_t hookedFunctions = 0;  // functions with resolved hooks
  std::size_t activeTraces = 0;
  std::int32_t dispatchDepth = 0;   // dispatches on the stack
  bool applying = false;            // an apply or maintenance pass is running
  bool cleanupNeeded = false;
  std::atomic<bool> dirty{false};   // registrations or trace requests are pending (any thread)
};
extern constinit DispatchGate g_gate;
}  // namespace detail

inline bool AnyHookedFunction() { return detail::g_gate.hookedFunctions != 0; }
inline bool AnyTrace() { return detail::g_gate.activeTraces != 0; }
// True while a dispatch or an apply runs: lists must not change then.
inline bool RegistryBusy() { return detail::g_gate.dispatchDepth > 0 || detail::g_gate.applying; }

// Takes over pending registrations and trace requests, and drops disabled
// entries. Cheap when there is nothing to do. Skipped while busy.
void ApplyPending();

// The handler lists of a function and of the functions it overrides.
struct HookLists {
  std::vector<EntryPtr> pre;
  std::vector<EntryPtr> post;
};
inline constexpr int kMaxListPairs = 8;
// Fills out with the lists of the called function first, then of each
// function it overrides that has hooks (at most 16 functions followed, 8
// pairs); returns how many.
int LookUp(const engine::Function* function, const HookLists* (&out)[kMaxListPairs]);

// The intercepted function itself, as the detour that caught it runs it.
struct OriginalCall {
  void (*run)(void* context);
  void* context;
};
// Runs the enabled pre-handlers (all of them), the original unless one asked
// to skip it, then the enabled post-handlers; every handler under GuardedCall.
void Dispatch(engine::Object* object, engine::Function* function, void* params, void* result,
              const HookLists* const* lists, int listCount, OriginalCall original);

// Records function when object's class (or a parent) is being traced.
void Trace(const engine::Object* object, const engine::Function* function);

// The maintenance ticker's body: apply, then at most every 500 ms validate
// resolved functions, resolve pending paths and run the traces' clocks.
void Maintain();

namespace testing {
std::size_t UnresolvedCount();
}  // namespace testing

}  // namespace bh::hooks
