// Figures, not a test: the cost of one ProcessEvent call in the stand-in
// engine without the detours (the baseline, measured first: there is no
// uninstall), with the detours and no hook anywhere, with hooks on other
// functions, and on a hooked function with an empty handler. Each case runs
// a million calls or more on the game thread, with the pump's real counter.
// Run build/<build>/tests/bench_detours.exe under Wine (scripts/wine-run.sh).
#include <windows.h>

#include <cstdio>

#include "core/gamethread.h"
#include "hooks/hooks.h"
#include "hooks/registry.h"
#include "standin/engine.h"
#include "standin/world.h"

using namespace standin;

namespace {

constexpr int kCalls = 2000000;

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

// Nanoseconds per call of fn over kCalls calls (best of three runs).
template <typename F>
double NsPerCall(F&& fn) {
  double best = 1e30;
  for (int run = 0; run < 3; ++run) {
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    for (int i = 0; i < kCalls; ++i) fn();
    QueryPerformanceCounter(&b);
    best = std::min(best, Seconds(a, b) * 1e9 / kCalls);
  }
  return best;
}

}  // namespace

int main() {
  BootOptions options;
  options.objectCount = 5000;
  Boot(options);
  bh::core::SetGameThreadId(GetCurrentThreadId());
  SetRealTimeSeconds(10.0);

  UClass* cls = DefineClass({L"BP_Bench_C", ClassNamed(L"Object"), Package(L"/Game/Bench/BP_Bench"), 0x40, 0, true});
  std::int32_t sink = 0;
  UFunction* noop = DefineNative(cls, L"Noop", {In<std::int32_t>(L"X")}, [&](Call& c) { sink += c.Arg<std::int32_t>(0); });
  DefineNative(cls, L"Other", {}, {});
  UObject* target = NewObject(cls, Package(L"/Game/Bench/BP_Bench"), L"BenchTarget");
  std::int32_t x = 1;
  auto call = [&] { ProcessEvent(target, noop, &x); };

  LARGE_INTEGER scratch;
  double counter = NsPerCall([&] { QueryPerformanceCounter(&scratch); });
  double baseline = NsPerCall(call);

  if (!bh::hooks::Init()) {
    std::printf("bench: the detours did not install\n");
    return 1;
  }
  RunFrame(0.016);
  double detoured = NsPerCall(call);

  bh::hooks::AddPre("/Game/Bench/BP_Bench.BP_Bench_C:Other", [](bh::hooks::CallInfo&) { return false; });
  bh::hooks::AddPost("/Script/Engine.Actor:K2_GetActorLocation", [](bh::hooks::CallInfo&) {});
  RunFrame(0.016);
  double otherHooks = NsPerCall(call);

  static long long handlerCalls = 0;
  bh::hooks::AddPre("/Game/Bench/BP_Bench.BP_Bench_C:Noop", [](bh::hooks::CallInfo&) { return ++handlerCalls, false; });
  RunFrame(0.016);
  double hooked = NsPerCall(call);

  std::printf("ProcessEvent on a native function, stand-in engine, %d calls per case, best of 3 (Wine; "
              "QueryPerformanceCounter itself: %.1f ns per call)\n",
              kCalls, counter);
  struct Row {
    const char* name;
    double ns;
  };
  const Row rows[] = {{"no detours (baseline)", baseline},
                      {"detours, no hook anywhere", detoured},
                      {"detours, hooks on other functions", otherHooks},
                      {"detours, this function hooked (empty pre-handler)", hooked}};
  for (const Row& r : rows) std::printf("  %-52s %8.1f ns  x%.2f\n", r.name, r.ns, r.ns / baseline);
  std::printf("(handler calls %lld, sink %d)\n", handlerCalls, sink);
  return 0;
}
