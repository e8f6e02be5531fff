// The script-dispatch detours: finding ProcessEvent, ProcessInternal and
// ProcessLocalScriptFunction in the game executable, detouring them, and
// turning intercepted calls into hook dispatches.
//
// Every call of a game function passes through one or more of the three:
//   ProcessEvent(object, function, params)  native code calling by function;
//     runs Func, which for a script function is ProcessInternal;
//   ProcessInternal(context, frame, result)  a script function's body;
//   ProcessLocalScriptFunction(context, frame, result)  a script function
//     called directly from another script body, and, with the same function
//     and context, the body that ProcessInternal runs.
// To dispatch each call exactly once: ProcessEvent dispatches only natives
// (a script function reaches ProcessInternal), and ProcessInternal records
// the call whose body it runs, so that ProcessLocalScriptFunction passes that
// body through and dispatches only the calls made from inside it.
//
// [SECTION] State
// [SECTION] Finding the targets
// [SECTION] The detours
// [SECTION] Installation
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "core/gamethread.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "engine/host.h"
#include "engine/layout.h"
#include "engine/objects.h"
#include "hooks/command_line.h"
#include "hooks/hook_engine.h"
#include "hooks/hooks.h"
#include "hooks/registry.h"

namespace bh::hooks {
namespace {

using engine::Function;
using engine::Object;
namespace layout = engine::layout;

// The supported game build, as offsets from the executable's load address.
constexpr std::uintptr_t kKnownProcessEventRva = 0x11A7AA0;
constexpr std::uintptr_t kKnownProcessInternalRva = 0x11A7E40;
constexpr std::uintptr_t kKnownProcessLocalScriptFunctionRva = 0x11A7F50;

constexpr std::int32_t kProcessEventScanLimit = 4096;
constexpr std::size_t kVoteSamples = 32;
constexpr wchar_t kNoLocalScriptFunctionSwitch[] = L"-bhcoop-noplsf";

// FFrame, as far as it is read here.
constexpr std::size_t kFrameNode = 0x10;
constexpr std::size_t kFrameObject = 0x18;
constexpr std::size_t kFrameLocals = 0x28;

using ProcessEventFn = void (*)(Object* self, Function* function, void* params);
using ScriptFn = void (*)(Object* context, void* frame, void* result);

// ---------------------------------------------------------------- [SECTION] State

enum class FrameCheck : std::uint8_t { Unchecked = 0, Verified = 1, Failed = 2 };

// The ProcessInternal call whose original body is running.
struct ScriptCall {
  void* frame = nullptr;
  Function* node = nullptr;
  Object* context = nullptr;
};

struct DetourState {
  // Written before the hooks are enabled, read by the detours on any thread.
  void* processEventTarget = nullptr;
  void* processInternalTarget = nullptr;
  void* localScriptTarget = nullptr;  // null: not hooked
  ProcessEventFn processEvent = nullptr;  // trampolines
  ScriptFn processInternal = nullptr;
  ScriptFn localScript = nullptr;
  std::atomic<bool> installed{false};

  // Game thread only.
  FrameCheck processInternalCheck = FrameCheck::Unchecked;
  FrameCheck localScriptCheck = FrameCheck::Unchecked;
  ScriptCall current;

  std::atomic<bool> loggedGameThread{false};
  std::atomic<bool> loggedOtherThread{false};
};
constinit DetourState g_detours;
// Serialises Init; never taken by the detours. (Not constant-initialisable
// with winpthread, hence outside the state.)
std::mutex& InstallLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

// True the first time it is called for flag (a plain load first keeps the hot path free of locked writes).
bool FirstTime(std::atomic<bool>& flag) {
  return !flag.load(std::memory_order_relaxed) && !flag.exchange(true);
}

Function* FrameNode(const void* frame) { return engine::ReadAt<Function*>(frame, kFrameNode); }
Object* FrameObject(const void* frame) { return engine::ReadAt<Object*>(frame, kFrameObject); }
void* FrameLocals(const void* frame) { return engine::ReadAt<void*>(frame, kFrameLocals); }

bool IsNative(const Function* function) {
  return engine::ReadAt<std::uint32_t>(function, layout::kFunctionFlags) & layout::kNativeFunction;
}

// ---------------------------------------------------------------- [SECTION] Finding the targets

struct Image {
  std::uintptr_t base = 0;
  std::uintptr_t size = 0;
  bool Contains(const void* p) const {
    auto a = reinterpret_cast<std::uintptr_t>(p);
    return base && a >= base && a < base + size;
  }
};

Image GameImage() {
  Image image;
  image.base = engine::platform::HostBase();
  if (!image.base) return image;
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.base + dos->e_lfanew);
  image.size = nt->OptionalHeader.SizeOfImage;
  return image;
}

// Slot 68 of the first non-actor object's vtable (actors override ProcessEvent).
void* FindProcessEvent(const Image& image) {
  std::int32_t limit = std::min(engine::ObjectCount(), kProcessEventScanLimit);
  void* found = nullptr;
  for (std::int32_t i = 0; i < limit && !found; ++i) {
    Object* object = engine::ObjectAt(i);
    if (!object) continue;
    engine::platform::Guarded([&] {
      const engine::Class* cls = engine::ClassOf(object);
      if (!cls || (engine::CastFlagsOf(cls) & layout::kCastActor)) return false;
      auto vtable = engine::ReadAt<void* const*>(object, layout::kVTable);
      found = vtable ? vtable[layout::kProcessEventSlot] : nullptr;
      return true;
    });
  }
  if (!found) {
    core::LogError(tag::kHooks, "could not read ProcessEvent from a UObject vtable");
    return nullptr;
  }
  auto known = reinterpret_cast<void*>(image.base + kKnownProcessEventRva);
  if (found == known)
    core::LogInfo(tag::kHooks, "ProcessEvent at {} (matches SDK Offsets)", found);
  else
    core::LogError(tag::kHooks, "ProcessEvent mismatch: vtable {} vs SDK Offsets {} — SDK may be stale for this exe; using vtable",
                   found, known);
  if (!image.Contains(found)) {
    core::LogError(tag::kHooks, "ProcessEvent {} lies outside the game executable; refusing to hook", found);
    return nullptr;
  }
  return found;
}

// Every script function's Func is ProcessInternal: a strict majority of the
// first 32 samples names it.
void* FindProcessInternal(const Image& image) {
  std::vector<void*> samples;
  std::int32_t count = engine::ObjectCount();
  for (std::int32_t i = 0; i < count && samples.size() < kVoteSamples; ++i) {
    Object* object = engine::ObjectAt(i);
    if (!object) continue;
    void* func = nullptr;
    engine::platform::Guarded([&] {
      const engine::Class* cls = engine::ClassOf(object);
      if (!cls || !(engine::CastFlagsOf(cls) & layout::kCastFunction) || IsNative(object)) return false;
      func = engine::ReadAt<void*>(object, layout::kFunc);
      return true;
    });
    if (func) samples.push_back(func);
  }
  if (samples.empty()) {
    core::LogError(tag::kHooks, "no non-native UFunction with a Func pointer found");
    return nullptr;
  }
  void* candidate = nullptr;
  std::size_t best = 0;
  for (void* sample : samples) {
    auto agree = static_cast<std::size_t>(std::count(samples.begin(), samples.end(), sample));
    if (agree > best) best = agree, candidate = sample;
  }
  core::LogInfo(tag::kHooks, "ProcessInternal at {} ({}/{} sampled script functions agree)", candidate, best,
                samples.size());
  if (2 * best <= samples.size()) {
    core::LogError(tag::kHooks, "ProcessInternal vote is not a clear majority; refusing to hook");
    return nullptr;
  }
  if (!image.Contains(candidate)) {
    core::LogError(tag::kHooks, "ProcessInternal {} lies outside the game executable; refusing to hook", candidate);
    return nullptr;
  }
  return candidate;
}

// ---------------------------------------------------------------- [SECTION] The detours

// The first game-thread call of a script detour: is Node where this build keeps it?
bool CheckFrame(const char* detour, FrameCheck& state, Object* context, void* frame) {
  Function* node = nullptr;
  Object* object = nullptr;
  bool verified = engine::platform::Guarded([&] {
    node = FrameNode(frame);
    object = FrameObject(frame);
    const engine::Class* cls = node ? engine::ClassOf(node) : nullptr;
    return cls && (engine::CastFlagsOf(cls) & layout::kCastFunction) != 0;
  });
  if (verified) {
    state = FrameCheck::Verified;
    core::LogInfo(tag::kHooks, "{}: FFrame layout verified (Node={}, Object {} Context)", detour, engine::ObjectName(node),
                  object == context ? "==" : "!=");
  } else {
    state = FrameCheck::Failed;
    core::LogError(tag::kHooks,
                   "{}: FFrame check FAILED (Node@+0x{:X}={} is not a UFunction). Script dispatch disabled; detour is passthrough.",
                   detour, kFrameNode, static_cast<const void*>(node));
  }
  return verified;
}

struct ProcessEventCall {
  Object* self;
  Function* function;
  void* params;
};
void RunProcessEvent(void* c) {
  auto* call = static_cast<ProcessEventCall*>(c);
  g_detours.processEvent(call->self, call->function, call->params);
}

struct ScriptCallArgs {
  Object* context;
  void* frame;
  void* result;
};
// ProcessInternal's original, recorded as the call whose body is running.
void RunProcessInternal(void* c) {
  auto* call = static_cast<ScriptCallArgs*>(c);
  ScriptCall saved = g_detours.current;
  g_detours.current = {call->frame, FrameNode(call->frame), call->context};
  g_detours.processInternal(call->context, call->frame, call->result);
  g_detours.current = saved;
}
void RunLocalScript(void* c) {
  auto* call = static_cast<ScriptCallArgs*>(c);
  g_detours.localScript(call->context, call->frame, call->result);
}

void DetourProcessEvent(Object* self, Function* function, void* params) {
  if (!core::IsGameThread()) {
    if (FirstTime(g_detours.loggedOtherThread))
      core::LogInfo(tag::kHooks, "ProcessEvent also seen on non-game thread {} (passthrough there)", GetCurrentThreadId());
    g_detours.processEvent(self, function, params);
    return;
  }
  if (FirstTime(g_detours.loggedGameThread))
    core::LogInfo(tag::kHooks, "ProcessEvent detour live on game thread {}", GetCurrentThreadId());
  core::PumpGameThread();
  if (!RegistryBusy()) ApplyPending();
  if (function) {
    if (AnyTrace()) Trace(self, function);
    // Script functions are dispatched by the ProcessInternal detour, which their Func reaches.
    if (AnyHookedFunction() && IsNative(function)) {
      const HookLists* lists[kMaxListPairs];
      int n = LookUp(function, lists);
      if (n > 0) {
        auto offset = engine::ReadAt<std::uint16_t>(function, layout::kReturnValueOffset);
        void* result = params && offset != layout::kNoReturnValue ? static_cast<std::uint8_t*>(params) + offset : nullptr;
        ProcessEventCall call{self, function, params};
        Dispatch(self, function, params, result, lists, n, {&RunProcessEvent, &call});
        return;
      }
    }
  }
  g_detours.processEvent(self, function, params);
}

// What the two script detours share once they decide to look at a call.
void DispatchScriptCall(Object* context, void* frame, void* result, void (*original)(void*)) {
  if (!RegistryBusy()) ApplyPending();
  ScriptCallArgs call{context, frame, result};
  Function* function = FrameNode(frame);
  if (function) {
    Object* target = FrameObject(frame);
    if (!target) target = context;
    if (AnyTrace()) Trace(target, function);
    if (AnyHookedFunction()) {
      const HookLists* lists[kMaxListPairs];
      int n = LookUp(function, lists);
      if (n > 0) {
        Dispatch(target, function, FrameLocals(frame), result, lists, n, {original, &call});
        return;
      }
    }
  }
  original(&call);
}

void DetourProcessInternal(Object* context, void* frame, void* result) {
  if (!core::IsGameThread() || g_detours.processInternalCheck == FrameCheck::Failed ||
      (g_detours.processInternalCheck == FrameCheck::Unchecked &&
       !CheckFrame("ProcessInternal", g_detours.processInternalCheck, context, frame))) {
    g_detours.processInternal(context, frame, result);
    return;
  }
  DispatchScriptCall(context, frame, result, &RunProcessInternal);
}

void DetourProcessLocalScriptFunction(Object* context, void* frame, void* result) {
  if (!core::IsGameThread() || g_detours.localScriptCheck == FrameCheck::Failed) {
    g_detours.localScript(context, frame, result);
    return;
  }
  // The body of the ProcessInternal call that was just dispatched (or passed).
  ScriptCall& current = g_detours.current;
  if (current.frame &&
      (frame == current.frame || (FrameNode(frame) == current.node && context == current.context))) {
    current = {};
    g_detours.localScript(context, frame, result);
    return;
  }
  if (g_detours.localScriptCheck == FrameCheck::Unchecked &&
      !CheckFrame("ProcessLocalScriptFunction", g_detours.localScriptCheck, context, frame)) {
    g_detours.localScript(context, frame, result);
    return;
  }
  DispatchScriptCall(context, frame, result, &RunLocalScript);
}

// ---------------------------------------------------------------- [SECTION] Installation

bool CreateHook(const char* name, void* target, void* detour, void** trampoline) {
  MH_STATUS status = MH_CreateHook(target, detour, trampoline);
  if (status == MH_OK) return true;
  core::LogError(tag::kHooks, "MH_CreateHook({}) failed: {}", name, MH_StatusName(status));
  return false;
}

// Removes every hook created here and forgets the targets.
void RollBack(DetourState& d) {
  for (void* target : {d.localScriptTarget, d.processInternalTarget, d.processEventTarget})
    if (target) MH_RemoveHook(target);
  d.localScriptTarget = d.processInternalTarget = d.processEventTarget = nullptr;
}

}  // namespace

bool Init() {
  DetourState& d = g_detours;
  std::lock_guard<std::mutex> guard(InstallLock());
  if (d.installed.load()) return true;

  MH_STATUS status = MH_Initialize();
  if (status != MH_OK && status != MH_ERROR_ALREADY_INITIALIZED) {
    core::LogError(tag::kHooks, "MH_Initialize failed: {}", MH_StatusName(status));
    return false;
  }
  Image image = GameImage();
  void* processEvent = FindProcessEvent(image);
  if (!processEvent) return false;
  void* processInternal = FindProcessInternal(image);
  if (!processInternal) return false;

  if (!CreateHook("ProcessEvent", processEvent, reinterpret_cast<void*>(&DetourProcessEvent),
                  reinterpret_cast<void**>(&d.processEvent)))
    return false;
  d.processEventTarget = processEvent;
  if (!CreateHook("ProcessInternal", processInternal, reinterpret_cast<void*>(&DetourProcessInternal),
                  reinterpret_cast<void**>(&d.processInternal))) {
    RollBack(d);
    return false;
  }
  d.processInternalTarget = processInternal;

  auto knownProcessInternal = reinterpret_cast<void*>(image.base + kKnownProcessInternalRva);
  if (HasArgument(GetCommandLineW(), kNoLocalScriptFunctionSwitch)) {
    core::LogWarn(tag::kHooks, "-bhcoop-noplsf: ProcessLocalScriptFunction not hooked; BP->BP calls will not dispatch");
  } else if (processInternal == knownProcessInternal) {
    auto target = reinterpret_cast<void*>(image.base + kKnownProcessLocalScriptFunctionRva);
    if (CreateHook("ProcessLocalScriptFunction", target, reinterpret_cast<void*>(&DetourProcessLocalScriptFunction),
                   reinterpret_cast<void**>(&d.localScript))) {
      d.localScriptTarget = target;
      core::LogInfo(tag::kHooks, "ProcessLocalScriptFunction at {} (known build RVA 0x{:X})", target,
                    kKnownProcessLocalScriptFunctionRva);
    }
  } else {
    core::LogWarn(tag::kHooks,
                  "ProcessInternal RVA 0x{:X} != known 0x{:X}: unknown exe build, ProcessLocalScriptFunction NOT hooked. "
                  "Hooks on Blueprint functions will only fire when entered via ProcessEvent (not BP->BP calls).",
                  reinterpret_cast<std::uintptr_t>(processInternal) - image.base, kKnownProcessInternalRva);
  }

  // Only the hooks made here: enabling every hook of the engine would also
  // switch on hooks that other code keeps disabled. ProcessEvent goes last,
  // so the pump starts once the script detours are in place.
  for (void* target : {d.localScriptTarget, d.processInternalTarget, d.processEventTarget}) {
    if (!target) continue;
    status = MH_EnableHook(target);
    if (status != MH_OK) {
      core::LogError(tag::kHooks, "MH_EnableHook failed: {}", MH_StatusName(status));
      for (void* t : {d.localScriptTarget, d.processInternalTarget, d.processEventTarget})
        if (t) MH_DisableHook(t);
      RollBack(d);
      return false;
    }
  }

  d.installed.store(true);
  core::AddTicker("bh.hooks.maintain", [](float) { Maintain(); });
  core::LogInfo(tag::kHooks, "hooks installed (ProcessEvent, ProcessInternal{})",
                d.localScriptTarget ? ", ProcessLocalScriptFunction" : "");
  return true;
}

bool Installed() { return g_detours.installed.load(); }

}  // namespace bh::hooks
