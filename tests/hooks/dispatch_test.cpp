// The detours installed on the stand-in engine linked into this process, and
// the registry behind them: which detour dispatches which call, what handlers
// see and change, resolution over time, unloading, faulting handlers, traces.
//
// The pump's counter and the registry's millisecond clock both follow the
// stand-in's world clock, so minutes of game time pass in a few frames.
// Every ctest entry is its own process: each TEST installs the detours afresh.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/gamethread.h"
#include "hooks/hooks.h"
#include "hooks/registry.h"
#include "standin/engine.h"
#include "standin/world.h"
#include "support/log_capture.h"

using namespace standin;
using bh::hooks::CallInfo;

namespace {

std::uint64_t WorldMicroseconds() { return static_cast<std::uint64_t>(RealTimeSeconds() * 1e6) + 1; }
std::uint64_t MicrosecondsPerSecond() { return 1000000; }
std::uint64_t WorldMs() { return static_cast<std::uint64_t>(RealTimeSeconds() * 1000.0); }
void NoSleep(std::uint32_t) {}

constexpr char kDouble[] = "/Game/Test/BP_Probe.BP_Probe_C:Script_Double";
constexpr char kOuter[] = "/Game/Test/BP_Probe.BP_Probe_C:Script_Outer";
constexpr char kAdd[] = "/Game/Test/BP_Probe.BP_Probe_C:Native_Add";
constexpr char kHitOverride[] = "/Game/Test/BP_Probe.BP_Probe_C:Hit";
constexpr char kHitBase[] = "/Game/Test/BP_ProbeBase.BP_ProbeBase_C:Hit";

// What the probe's own bodies did.
struct Bodies {
  int add = 0, doubled = 0, outer = 0;
  std::vector<std::string> order;
};
Bodies g_bodies;

// BP_ProbeBase_C and its subclass BP_Probe_C (Blueprint actors without a tick):
//   Native_Add(A, B) -> A + B                      native
//   Script_Double(X) -> 2X                         script, with locals (a block of its own)
//   Script_Outer(X) -> Script_Double(X) + 1        script, calls Script_Double directly
//   Hit(Damage)                                    script on the base, overridden by the subclass
UClass* DefineProbe() {
  UClass* base = DefineClass({L"BP_ProbeBase_C", ClassNamed(L"Actor"), Package(L"/Game/Test/BP_ProbeBase"), 0x240, 0, true});
  DefineScript(base, L"Hit", {In<float>(L"Damage")}, {Code([](ScriptFrame&) { g_bodies.order.push_back("base body"); })});
  UClass* probe = DefineClass({L"BP_Probe_C", base, Package(L"/Game/Test/BP_Probe"), 0x260, 0, true});
  DefineScript(probe, L"Hit", {In<float>(L"Damage")},
               {Code([](ScriptFrame&) { g_bodies.order.push_back("override body"); }), CallParent()});
  DefineNative(probe, L"Native_Add", {In<std::int32_t>(L"A"), In<std::int32_t>(L"B"), Ret<std::int32_t>()},
               [](Call& c) {
                 ++g_bodies.add;
                 c.Ret<std::int32_t>() = c.Arg<std::int32_t>(0) + c.Arg<std::int32_t>(1);
               });
  DefineScript(probe, L"Script_Double", {In<std::int32_t>(L"X"), Ret<std::int32_t>()},
               {Code([](ScriptFrame& f) {
                 ++g_bodies.doubled;
                 f.Local<std::int32_t>(4) = 2 * f.Local<std::int32_t>(0);
               })},
               16);
  DefineScript(probe, L"Script_Outer", {In<std::int32_t>(L"X"), Ret<std::int32_t>()},
               {Code([](ScriptFrame&) { ++g_bodies.outer; }),
                CallScript(
                    L"Script_Double", [](ScriptFrame& f, std::uint8_t* p) { std::memcpy(p, f.locals, 4); },
                    [](ScriptFrame& f, std::uint8_t* p) {
                      std::int32_t r;
                      std::memcpy(&r, p + 4, 4);
                      f.Local<std::int32_t>(4) = r + 1;
                    })});
  return probe;
}

struct AddParams {
  std::int32_t a, b, result;
};
struct IntParams {
  std::int32_t x, result;
};

class Detours : public ::testing::Test {
 protected:
  void SetUp() override {
    BootOptions options;
    options.objectCount = 3000;
    options.lateClassSeconds = lateClassSeconds_;
    Boot(options);
    bh::core::SetGameThreadId(GetCurrentThreadId());
    bh::core::testing::SetPumpCounter({&WorldMicroseconds, &MicrosecondsPerSecond});
    bh::core::testing::SetClock({&WorldMs, &NoSleep});
    SetRealTimeSeconds(10.0);
    probeClass_ = DefineProbe();
    probe_ = SpawnActor(probeClass_, {0, 0, 0}, {});
    ASSERT_TRUE(bh::hooks::Init());
    Frame();
  }
  // One engine frame; its first ProcessEvent is a pump pass.
  void Frame(double seconds = 0.1) { RunFrame(seconds); }
  // Frames of frameSeconds until the world clock has moved by seconds.
  void FramesFor(double seconds, double frameSeconds = 0.1) {
    for (double end = RealTimeSeconds() + seconds; RealTimeSeconds() < end;) Frame(frameSeconds);
  }
  UFunction* Fn(const wchar_t* name) { return FunctionNamed(probeClass_, name); }
  std::int32_t Add(std::int32_t a, std::int32_t b) {
    AddParams p{a, b, 0};
    ProcessEvent(probe_, Fn(L"Native_Add"), &p);
    return p.result;
  }
  std::int32_t Call(const wchar_t* function, std::int32_t x) {
    IntParams p{x, 0};
    ProcessEvent(probe_, Fn(function), &p);
    return p.result;
  }

  double lateClassSeconds_ = -1;
  UClass* probeClass_ = nullptr;
  UObject* probe_ = nullptr;
  fwtest::LogCapture log_;
};

// Counts a hook's calls and keeps the last CallInfo it saw.
struct Seen {
  int calls = 0;
  CallInfo last{};
};
bh::hooks::PreHandler Counting(Seen& seen, bool skip = false) {
  return [&seen, skip](CallInfo& info) {
    ++seen.calls;
    seen.last = info;
    return skip;
  };
}

}  // namespace

TEST_F(Detours, EveryCallIsDispatchedOnceByTheDetourThatOwnsIt) {
  Seen add, doubled, outer;
  bh::hooks::AddPre(kAdd, Counting(add));
  bh::hooks::AddPre(kDouble, Counting(doubled));
  bh::hooks::AddPre(kOuter, Counting(outer));
  Frame();  // the first registrations after idle resolve at the next pump pass
  EXPECT_EQ(log_.count("] [INF] [hooks] pre hook #"), 3) << log_.all();
  EXPECT_TRUE(log_.contains("resolved: /Game/Test/BP_Probe.BP_Probe_C:Native_Add (native)")) << log_.all();
  EXPECT_TRUE(log_.contains("resolved: /Game/Test/BP_Probe.BP_Probe_C:Script_Double (script)")) << log_.all();

  // A native through ProcessEvent: the ProcessEvent detour, with the caller's block.
  AddParams addParams{2, 3, 0};
  ProcessEvent(probe_, Fn(L"Native_Add"), &addParams);
  EXPECT_EQ(addParams.result, 5);
  EXPECT_EQ(add.calls, 1);
  EXPECT_EQ(add.last.params, &addParams);
  EXPECT_EQ(add.last.result, &addParams.result);
  EXPECT_EQ(add.last.object, reinterpret_cast<bh::engine::Object*>(probe_));

  // A script function through ProcessEvent: once, by the ProcessInternal detour
  // (it sees the frame's locals, not the caller's block).
  IntParams doubleParams{7, 0};
  ProcessEvent(probe_, Fn(L"Script_Double"), &doubleParams);
  EXPECT_EQ(doubleParams.result, 14);
  EXPECT_EQ(doubled.calls, 1);
  EXPECT_EQ(g_bodies.doubled, 1);
  EXPECT_NE(doubled.last.params, &doubleParams);
  EXPECT_EQ(doubled.last.function, reinterpret_cast<bh::engine::Function*>(Fn(L"Script_Double")));

  // Script_Outer calls Script_Double directly: Outer once (ProcessInternal; its
  // body passes the local-script detour undispatched), Double once (local-script detour).
  EXPECT_EQ(Call(L"Script_Outer", 4), 9);
  EXPECT_EQ(outer.calls, 1);
  EXPECT_EQ(doubled.calls, 2);
  EXPECT_EQ(g_bodies.outer, 1);
  EXPECT_EQ(g_bodies.doubled, 2);

  // A worker thread's ProcessEvent neither pumps nor dispatches.
  bool taskRan = false;
  bh::core::PostToGameThread([&] { taskRan = true; });
  SetRealTimeSeconds(RealTimeSeconds() + 1);  // a pass would be due
  std::thread worker([&] {
    AddParams p{1, 1, 0};
    ProcessEvent(probe_, Fn(L"Native_Add"), &p);
    EXPECT_EQ(p.result, 2);
  });
  worker.join();
  EXPECT_EQ(add.calls, 1);
  EXPECT_EQ(g_bodies.add, 2);
  EXPECT_FALSE(taskRan);
  EXPECT_TRUE(log_.contains("ProcessEvent also seen on non-game thread")) << log_.all();
  Add(0, 0);  // the game thread's next call pumps
  EXPECT_TRUE(taskRan);
  EXPECT_EQ(add.calls, 2);
}

TEST_F(Detours, HandlersChangeArgumentsAndResultsAndMaySkipTheFunction) {
  // Native: a pre-handler rewrites an argument, a post-handler the result.
  bh::hooks::AddPre(kAdd, [](CallInfo& info) {
    static_cast<AddParams*>(info.params)->a = 40;
    return false;
  });
  bh::hooks::AddPost(kAdd, [](CallInfo& info) { *static_cast<std::int32_t*>(info.result) += 100; });
  // Script: the same through the frame's locals and the result pointer.
  bh::hooks::AddPre(kDouble, [](CallInfo& info) {
    *static_cast<std::int32_t*>(info.params) = 50;
    return false;
  });
  std::vector<std::string> order;
  // Two pre-handlers on Outer, the first asks to skip: the second still runs,
  // the body does not, the post-handler does and sets the result.
  bh::hooks::AddPre(kOuter, [&](CallInfo&) { return order.push_back("pre 1"), true; });
  bh::hooks::AddPre(kOuter, [&](CallInfo&) { return order.push_back("pre 2"), false; });
  bh::hooks::AddPost(kOuter, [&](CallInfo& info) {
    order.push_back("post");
    *static_cast<std::int32_t*>(info.result) = -1;
  });
  // A hook on the base function fires for the override, the override's first.
  bh::hooks::AddPre(kHitBase, [](CallInfo&) { return g_bodies.order.push_back("base pre"), false; });
  bh::hooks::AddPre(kHitOverride, [](CallInfo&) { return g_bodies.order.push_back("override pre"), false; });
  bh::hooks::AddPost(kHitBase, [](CallInfo&) { g_bodies.order.push_back("base post"); });
  Frame();

  EXPECT_EQ(Add(2, 3), 143);
  EXPECT_EQ(Call(L"Script_Double", 7), 100);
  EXPECT_EQ(Call(L"Script_Outer", 1), -1);
  EXPECT_EQ(order, (std::vector<std::string>{"pre 1", "pre 2", "post"}));
  EXPECT_EQ(g_bodies.outer, 0);

  float damage = 5;
  ProcessEvent(probe_, Fn(L"Hit"), &damage);
  // The override's body calls the base body directly (its parent function):
  // that call is the base function's own, dispatched to the base's hooks.
  EXPECT_EQ(g_bodies.order, (std::vector<std::string>{"override pre", "base pre", "override body", "base pre",
                                                      "base body", "base post", "base post"}));
}

TEST_F(Detours, FaultingHandlerIsDisabledForGoodAndAThrowingOneStays) {
  int faulting = 0, throwing = 0;
  bh::hooks::AddPre(kAdd, [&](CallInfo&) {
    ++faulting;
    volatile std::uintptr_t bad = 8;
    *reinterpret_cast<volatile int*>(bad) = 1;
    return true;
  });
  bh::hooks::AddPost(kDouble, [&](CallInfo&) {
    ++throwing;
    throw std::runtime_error("handler gave up");
  });
  Frame();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Add(1, 2), 3);  // a fault is no request to skip
    EXPECT_EQ(Call(L"Script_Double", 2), 4);
    Frame();
  }
  EXPECT_EQ(faulting, 1);
  EXPECT_EQ(throwing, 3);
  EXPECT_EQ(log_.count("/Game/Test/BP_Probe.BP_Probe_C:Native_Add: structured exception 0xC0000005 caught"), 1) << log_.all();
  EXPECT_EQ(log_.count("] [ERR] [hooks] hook #1 (/Game/Test/BP_Probe.BP_Probe_C:Native_Add) disabled after a structured exception"), 1);
  EXPECT_EQ(log_.count("Script_Double: C++ exception caught: handler gave up"), 3) << log_.all();
  // The frame loop and the tickers went on.
  std::uint64_t ticks = TickBodiesRun();
  bool tickerRan = false;
  bh::core::AddTicker("probe", [&](float) { tickerRan = true; });
  Frame();
  EXPECT_GT(TickBodiesRun(), ticks);
  EXPECT_TRUE(tickerRan);
}

TEST_F(Detours, BadRegistrationsAreRefusedWithALine) {
  EXPECT_EQ(bh::hooks::AddPre(nullptr, [](CallInfo&) { return false; }), 0);
  EXPECT_EQ(bh::hooks::AddPost("", [](CallInfo&) {}), 0);
  EXPECT_EQ(bh::hooks::AddPre(kAdd, nullptr), 0);
  std::int32_t id = bh::hooks::AddPost("/Game/Test/BP_Probe.BP_Probe_C", [](CallInfo&) {});
  EXPECT_GT(id, 0);
  Frame();
  EXPECT_TRUE(log_.contains("] [WRN] [hooks] AddPre: empty function path ignored")) << log_.all();
  EXPECT_TRUE(log_.contains("] [WRN] [hooks] AddPost: empty function path ignored"));
  EXPECT_TRUE(log_.contains("] [WRN] [hooks] AddPre: empty handler for '" + std::string(kAdd) + "' ignored"));
  EXPECT_TRUE(log_.contains("'/Game/Test/BP_Probe.BP_Probe_C' resolved to a non-function (/Game/Test/BP_Probe.BP_Probe_C); hook #" +
                            std::to_string(id) + " ignored"))
      << log_.all();
  EXPECT_EQ(bh::hooks::testing::UnresolvedCount(), 0u);
}

TEST_F(Detours, TraceLogsEachDistinctFunctionOnceUntilItEnds) {
  bh::hooks::RequestTrace("BP_ProbeBase_C", 1.0f);
  // A trace starts at the next full maintenance pass (within 500 ms).
  for (int i = 0; i < 6 && !log_.contains("tracing functions"); ++i) Frame();
  EXPECT_TRUE(log_.contains("] [INF] [trace] tracing functions called on 'BP_ProbeBase_C' objects")) << log_.all();
  Add(1, 1);
  Add(2, 2);
  Call(L"Script_Outer", 1);
  FramesFor(1.2);
  Add(3, 3);  // after the end: not traced
  EXPECT_EQ(log_.count("] [INF] [trace] [BP_ProbeBase_C] Native_Add (native)"), 1) << log_.all();
  EXPECT_EQ(log_.count("] [INF] [trace] [BP_ProbeBase_C] Script_Double (script)"), 1);
  EXPECT_EQ(log_.count("] [INF] [trace] trace of 'BP_ProbeBase_C' ended: 3 distinct functions"), 1) << log_.all();
}

class LateClass : public Detours {
 protected:
  LateClass() { lateClassSeconds_ = 130.0; }
};

// Registered at 10 s; the class loads at 130 s (two minutes later), is
// unloaded, and comes back.
TEST_F(LateClass, ResolvesWhenTheClassAppearsAndAgainAfterItReturns) {
  ASSERT_EQ(ClassNamed(cls::kLateWarden), nullptr);
  int calls = 0;
  float lastDamage = 0;
  bh::hooks::AddPre("/Game/Enemies/BP_LateWarden.BP_LateWarden_C:TryApplyDamage", [&](CallInfo& info) {
    ++calls;
    lastDamage = *static_cast<float*>(info.params);
    return false;
  });
  // Game-like frames: maintenance runs at most once per frame.
  constexpr double kFrame = 0.02;
  double warnedAt = -1, appearedAt = -1, resolvedAt = -1;
  while (RealTimeSeconds() < 140.0) {
    Frame(kFrame);
    if (warnedAt < 0 && log_.contains("still unresolved")) warnedAt = RealTimeSeconds();
    if (appearedAt < 0 && ClassNamed(cls::kLateWarden)) appearedAt = RealTimeSeconds();
    if (resolvedAt < 0 && log_.contains("pre hook #1 resolved")) resolvedAt = RealTimeSeconds();
  }
  EXPECT_EQ(log_.count("] [WRN] [hooks] hook #1 still unresolved after 30 s: /Game/Enemies/BP_LateWarden.BP_LateWarden_C:TryApplyDamage "
                       "(class not loaded yet, or wrong path)"),
            1)
      << log_.all();
  EXPECT_GE(warnedAt, 40.0);
  EXPECT_LE(warnedAt, 40.1 + 0.5 + kFrame);
  ASSERT_GE(appearedAt, 130.0);
  ASSERT_GE(resolvedAt, appearedAt);
  EXPECT_LE(resolvedAt - appearedAt, 0.5 + kFrame);
  EXPECT_TRUE(log_.contains("resolved: /Game/Enemies/BP_LateWarden.BP_LateWarden_C:TryApplyDamage (script)"));
  EXPECT_GT(calls, 0);  // the warden's tick calls it directly (the local-script detour)
  EXPECT_EQ(lastDamage, 10.0f);

  UnloadClass(cls::kLateWarden);
  FramesFor(0.6);
  EXPECT_EQ(log_.count("] [INF] [hooks] hooked function at 0x"), 1) << log_.all();
  EXPECT_TRUE(log_.contains("is gone (unloaded?); will re-resolve"));
  int callsWhileGone = calls;
  FramesFor(1.0);
  EXPECT_EQ(calls, callsWhileGone);

  SpawnActor(LoadClass(cls::kLateWarden), {0, 0, 0}, {});
  FramesFor(0.6);
  EXPECT_EQ(log_.count("pre hook #1 resolved: /Game/Enemies/BP_LateWarden.BP_LateWarden_C:TryApplyDamage"), 2) << log_.all();
  EXPECT_GT(calls, callsWhileGone);
  EXPECT_EQ(log_.count("still unresolved"), 1);
}
