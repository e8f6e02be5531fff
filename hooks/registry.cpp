// The hook registry: registrations by path, their resolution to functions,
// the handler lists the detours dispatch to, and the class traces.
//
// Lists change only in ApplyPending and Maintain, and both stay away while a
// dispatch is on the stack (dispatch depth) or another pass runs (applying),
// so a running dispatch never sees its lists move.
//
// [SECTION] State
// [SECTION] Registration
// [SECTION] Apply and cleanup
// [SECTION] Maintenance
// [SECTION] Look-up, dispatch and trace
#include "hooks/registry.h"

#include <array>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "core/clock.h"
#include "core/gamethread.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "engine/host.h"
#include "engine/objects.h"

namespace bh::hooks {

constinit detail::DispatchGate detail::g_gate;

namespace {

using engine::EngineName;
using engine::Function;
using engine::Object;

constexpr std::uint64_t kResolveIntervalMs = 500;
constexpr std::uint64_t kUnresolvedWarningMs = 30000;
constexpr int kMaxOverrideChain = 16;
constexpr int kMaxTraceClassDepth = 32;
// Dispatches deeper than this are counted but not marked (see PruneUnwoundDispatches).
constexpr int kMarkedDispatches = 64;

// ---------------------------------------------------------------- [SECTION] State

struct TraceRequest {
  std::string className;
  float seconds;
};

// The part any thread touches.
struct Shared {
  std::mutex lock;  // guards pending, ids and traceRequests; any thread, held only to append or take
  std::vector<EntryPtr> pending;
  std::unordered_map<std::int32_t, EntryPtr> ids;
  std::vector<TraceRequest> traceRequests;
  std::atomic<std::int32_t> nextId{1};
};

struct Identity {
  std::int32_t index;
  EngineName name;
};

struct ActiveTrace {
  std::string className;
  EngineName name;
  bool started = false;
  std::uint64_t endMs = 0;
  std::unordered_set<const Function*> seen;
};

// Game thread only.
struct GameThreadPart {
  std::vector<EntryPtr> unresolved;
  std::unordered_map<const Function*, HookLists> hooks;
  std::unordered_map<const Function*, Identity> identities;
  std::vector<ActiveTrace> traces;
  std::uint64_t lastMaintenanceMs = 0;  // 0: due now
  // Stack address of each running dispatch, outermost first.
  std::array<std::uintptr_t, kMarkedDispatches> dispatchMarkers{};
};

// Never destroyed: registrations may still arrive while statics are torn down.
Shared& SharedPart() {
  static Shared* shared = new Shared();
  return *shared;
}
GameThreadPart& Game() {
  static GameThreadPart* game = new GameThreadPart();
  return *game;
}

detail::DispatchGate& Gate() { return detail::g_gate; }

void SyncCounts(GameThreadPart& g) {
  Gate().hookedFunctions = g.hooks.size();
  Gate().activeTraces = g.traces.size();
}

bool IsFunctionObject(const Object* object) {
  const engine::Class* cls = engine::ClassOf(object);
  return cls && (engine::CastFlagsOf(cls) & engine::layout::kCastFunction);
}

bool IsNative(const Function* function) {
  return engine::ReadAt<std::uint32_t>(function, engine::layout::kFunctionFlags) & engine::layout::kNativeFunction;
}

Identity IdentityOf(const Object* object) {
  return {engine::ReadAt<std::int32_t>(object, engine::layout::kIndex), engine::NameOf(object)};
}

// ---------------------------------------------------------------- [SECTION] Registration

std::int32_t Add(const char* path, bool pre, PreHandler preHandler, PostHandler postHandler) {
  if (!path || !*path) {
    core::LogWarn(tag::kHooks, "Add{}: empty function path ignored", pre ? "Pre" : "Post");
    return 0;
  }
  // An empty handler would throw at every call of the function.
  if (pre ? !preHandler : !postHandler) {
    core::LogWarn(tag::kHooks, "Add{}: empty handler for '{}' ignored", pre ? "Pre" : "Post", path);
    return 0;
  }
  Shared& s = SharedPart();
  auto entry = std::make_shared<Entry>();
  entry->id = s.nextId.fetch_add(1);
  entry->path = path;
  entry->pre = pre;
  entry->preHandler = std::move(preHandler);
  entry->postHandler = std::move(postHandler);
  entry->registeredMs = core::TickMs();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.ids.emplace(entry->id, entry);
    s.pending.push_back(entry);
  }
  Gate().dirty.store(true);
  return entry->id;
}

void Disable(Entry& entry) {
  entry.enabled = false;
  Gate().cleanupNeeded = true;
  Shared& s = SharedPart();
  std::lock_guard<std::mutex> guard(s.lock);
  s.ids.erase(entry.id);
}

// ---------------------------------------------------------------- [SECTION] Apply and cleanup

void Cleanup(GameThreadPart& g) {
  auto disabled = [](const EntryPtr& e) { return !e->enabled; };
  for (auto it = g.hooks.begin(); it != g.hooks.end();) {
    std::erase_if(it->second.pre, disabled);
    std::erase_if(it->second.post, disabled);
    if (it->second.pre.empty() && it->second.post.empty()) {
      g.identities.erase(it->first);
      it = g.hooks.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(g.unresolved, disabled);
  SyncCounts(g);
}

// The body of ApplyPending, with the applying flag already set.
void ApplyLocked(GameThreadPart& g) {
  if (Gate().dirty.exchange(false)) {
    std::vector<EntryPtr> pending;
    std::vector<TraceRequest> requests;
    {
      Shared& s = SharedPart();
      std::lock_guard<std::mutex> guard(s.lock);
      pending.swap(s.pending);
      requests.swap(s.traceRequests);
    }
    for (EntryPtr& entry : pending)
      if (entry->enabled) g.unresolved.push_back(std::move(entry));
    std::uint64_t now = core::TickMs();
    for (TraceRequest& request : requests) {
      ActiveTrace trace;
      trace.className = std::move(request.className);
      trace.endMs = now + static_cast<std::uint64_t>(request.seconds > 0 ? request.seconds * 1000.0f : 0.0f);
      g.traces.push_back(std::move(trace));
    }
    if (!pending.empty()) g.lastMaintenanceMs = 0;
    Gate().cleanupNeeded = true;
  }
  if (Gate().cleanupNeeded) {
    Cleanup(g);
    Gate().cleanupNeeded = false;
  }
  SyncCounts(g);
}

// A dispatch whose frames were unwound by a structured exception (the original
// call faulted, and a guard further up caught it) never decreases the depth,
// which would keep apply and maintenance away for good. A live dispatch is
// always an ancestor of the caller, so a marker below the caller's own frame
// belongs to a dispatch that is gone.
void PruneUnwoundDispatches(GameThreadPart& g) {
  detail::DispatchGate& gate = Gate();
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  int pruned = 0;
  while (gate.dispatchDepth > 0 && gate.dispatchDepth <= kMarkedDispatches &&
         g.dispatchMarkers[gate.dispatchDepth - 1] < here) {
    --gate.dispatchDepth;
    ++pruned;
  }
  if (pruned > 0) core::LogWarn(tag::kHooks, "{} hook dispatch(es) left by an exception; registry resumes", pruned);
}

// ---------------------------------------------------------------- [SECTION] Maintenance

void Validate(GameThreadPart& g) {
  for (auto it = g.identities.begin(); it != g.identities.end();) {
    const Function* function = it->first;
    const Identity recorded = it->second;
    bool same = engine::IsValidObject(function);
    if (same) {
      Identity now = IdentityOf(function);
      same = now.index == recorded.index && now.name == recorded.name;
    }
    if (same) {
      ++it;
      continue;
    }
    auto lists = g.hooks.find(function);
    if (lists != g.hooks.end()) {
      for (EntryPtr& e : lists->second.pre) g.unresolved.push_back(std::move(e));
      for (EntryPtr& e : lists->second.post) g.unresolved.push_back(std::move(e));
      g.hooks.erase(lists);
    }
    core::LogInfo(tag::kHooks, "hooked function at {} is gone (unloaded?); will re-resolve",
                  static_cast<const void*>(function));
    it = g.identities.erase(it);
  }
}

// The object at path, with a fault in the engine's lookup counting as not found.
Object* FindGuarded(const std::string& path) {
  Object* found = nullptr;
  engine::platform::Guarded([&] {
    found = engine::FindObject(path);
    return true;
  });
  return found;
}

void Resolve(GameThreadPart& g, std::uint64_t now) {
  std::vector<EntryPtr> work;
  work.swap(g.unresolved);
  std::unordered_map<std::string, Object*> found;  // this pass only: objects come and go between passes
  std::vector<EntryPtr> kept;
  for (EntryPtr& entry : work) {
    if (!entry->enabled) continue;
    auto cached = found.find(entry->path);
    if (cached == found.end()) cached = found.emplace(entry->path, FindGuarded(entry->path)).first;
    Object* object = cached->second;
    if (object && !IsFunctionObject(object)) {
      core::LogWarn(tag::kHooks, "'{}' resolved to a non-function ({}); hook #{} ignored", entry->path,
                    engine::PathName(object), entry->id);
      Disable(*entry);
      continue;
    }
    if (object) {
      HookLists& lists = g.hooks[object];
      (entry->pre ? lists.pre : lists.post).push_back(entry);
      g.identities[object] = IdentityOf(object);
      core::LogInfo(tag::kHooks, "{} hook #{} resolved: {} ({})", entry->pre ? "pre" : "post", entry->id, entry->path,
                    IsNative(object) ? "native" : "script");
      continue;
    }
    if (!entry->warned && now - entry->registeredMs > kUnresolvedWarningMs) {
      entry->warned = true;
      core::LogWarn(tag::kHooks, "hook #{} still unresolved after {} s: {} (class not loaded yet, or wrong path)",
                    entry->id, kUnresolvedWarningMs / 1000, entry->path);
    }
    kept.push_back(std::move(entry));
  }
  for (EntryPtr& e : g.unresolved)
    if (e->enabled) kept.push_back(std::move(e));
  g.unresolved.swap(kept);
}

void RunTraceClocks(GameThreadPart& g, std::uint64_t now) {
  for (auto it = g.traces.begin(); it != g.traces.end();) {
    if (!it->started) {
      it->name = engine::ToEngineName(it->className);
      it->started = true;
      core::LogInfo(tag::kTrace, "tracing functions called on '{}' objects", it->className);
    }
    if (now >= it->endMs) {
      core::LogInfo(tag::kTrace, "trace of '{}' ended: {} distinct functions", it->className, it->seen.size());
      it = g.traces.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------- public

std::int32_t AddPre(const char* path, PreHandler handler) { return Add(path, true, std::move(handler), {}); }
std::int32_t AddPost(const char* path, PostHandler handler) { return Add(path, false, {}, std::move(handler)); }

void RequestTrace(const char* className, float seconds) {
  if (!className || !*className) return;
  Shared& s = SharedPart();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.traceRequests.push_back({className, seconds});
  }
  Gate().dirty.store(true);
}

void ApplyPending() {
  detail::DispatchGate& gate = Gate();
  if (!gate.dirty.load(std::memory_order_relaxed) && !gate.cleanupNeeded) return;
  if (RegistryBusy()) return;
  gate.applying = true;
  ApplyLocked(Game());
  gate.applying = false;
}

void Maintain() {
  GameThreadPart& g = Game();
  detail::DispatchGate& gate = Gate();
  PruneUnwoundDispatches(g);
  if (RegistryBusy()) return;
  ApplyPending();
  std::uint64_t now = core::TickMs();
  if (g.lastMaintenanceMs != 0 && now - g.lastMaintenanceMs < kResolveIntervalMs) return;
  g.lastMaintenanceMs = now;
  gate.applying = true;
  Validate(g);
  Resolve(g, now);
  RunTraceClocks(g, now);
  SyncCounts(g);
  gate.applying = false;
}

// ---------------------------------------------------------------- [SECTION] Look-up, dispatch and trace

int LookUp(const Function* function, const HookLists* (&out)[kMaxListPairs]) {
  GameThreadPart& g = Game();
  int n = 0;
  const Function* f = function;
  for (int followed = 0; f && followed < kMaxOverrideChain && n < kMaxListPairs; ++followed) {
    auto it = g.hooks.find(f);
    // An unloaded function's address can come back as another function before
    // the next validation notices; its hooks are not this one's.
    if (it != g.hooks.end()) {
      auto identity = g.identities.find(f);
      Identity now = IdentityOf(f);
      if (identity != g.identities.end() && identity->second.index == now.index && identity->second.name == now.name)
        out[n++] = &it->second;
    }
    f = engine::SuperOf(f);
  }
  return n;
}

void Dispatch(Object* object, Function* function, void* params, void* result, const HookLists* const* lists,
              int listCount, OriginalCall original) {
  GameThreadPart& g = Game();
  detail::DispatchGate& gate = Gate();
  if (gate.dispatchDepth < kMarkedDispatches)
    g.dispatchMarkers[gate.dispatchDepth] = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  ++gate.dispatchDepth;

  CallInfo info{object, function, params, result};
  bool skip = false;
  for (int i = 0; i < listCount; ++i) {
    for (const EntryPtr& entry : lists[i]->pre) {
      if (!entry->enabled) continue;
      bool skipThis = false;
      auto run = [&] { skipThis = entry->preHandler(info); };
      core::GuardResult r = core::GuardedCall(tag::kHooks, entry->path.c_str(), run);
      if (r == core::GuardResult::Structured) {
        core::LogError(tag::kHooks, "hook #{} ({}) disabled after a structured exception", entry->id, entry->path);
        Disable(*entry);
      } else if (r == core::GuardResult::Ok && skipThis) {
        skip = true;
      }
    }
  }
  if (!skip) original.run(original.context);
  for (int i = 0; i < listCount; ++i) {
    for (const EntryPtr& entry : lists[i]->post) {
      if (!entry->enabled) continue;
      auto run = [&] { entry->postHandler(info); };
      if (core::GuardedCall(tag::kHooks, entry->path.c_str(), run) == core::GuardResult::Structured) {
        core::LogError(tag::kHooks, "hook #{} ({}) disabled after a structured exception", entry->id, entry->path);
        Disable(*entry);
      }
    }
  }
  --gate.dispatchDepth;
}

void Trace(const Object* object, const Function* function) {
  if (!object || !function) return;
  GameThreadPart& g = Game();
  for (ActiveTrace& trace : g.traces) {
    if (!trace.started || trace.name.IsZero()) continue;
    int depth = 0;
    for (const engine::Class* c = engine::ClassOf(object); c && depth < kMaxTraceClassDepth; c = engine::SuperOf(c), ++depth) {
      if (engine::NameOf(c) != trace.name) continue;
      if (trace.seen.insert(function).second)
        core::LogInfo(tag::kTrace, "[{}] {} ({})", trace.className, engine::ObjectName(function),
                      IsNative(function) ? "native" : "script");
      break;
    }
  }
}

std::size_t testing::UnresolvedCount() { return Game().unresolved.size(); }

}  // namespace bh::hooks
