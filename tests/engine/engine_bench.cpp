// Figures for engine access and the pump against the stand-in engine
// (not a test: prints, asserts nothing). Per-call costs are given as ratios
// to a bare call measured in the same run, since the platform (Wine or
// Windows) moves the absolute numbers.
//
//   scripts/wine-run.sh build/<build>/tests/engine_bench.exe
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/gamethread.h"
#include "engine/calls.h"
#include "engine/engine.h"
#include "engine/objects.h"
#include "standin/engine.h"
#include "standin/world.h"

using namespace bh;
using Clock = std::chrono::steady_clock;

namespace {

__attribute__((noinline)) void BareCall() { asm volatile(""); }
__attribute__((noinline)) bool BareObjectCall(const engine::Object* o) {
  asm volatile("" ::"r"(o));
  return o != nullptr;
}

template <typename F>
double NsPerCall(int calls, F&& f) {
  auto begin = Clock::now();
  for (int i = 0; i < calls; ++i) f();
  return std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / calls;
}

std::uint64_t g_fakeNow = 1;
std::uint64_t FakeNow() { return g_fakeNow; }
std::uint64_t FakeFrequency() { return 1000000; }

void Row(const char* what, double ns, double bare) {
  std::printf("  %-58s %9.1f ns  (%6.1fx a bare call)\n", what, ns, ns / bare);
}

}  // namespace

int main() {
  standin::Boot();
  core::SetGameThreadId(GetCurrentThreadId());
  engine::Object* lantern =
      reinterpret_cast<engine::Object*>(standin::FindByPath(L"/Game/Maps/Brackenhold_Hold.Brackenhold_Hold:BP_Lantern_C_0"));
  std::int32_t objects = engine::ObjectCount();
  std::printf("stand-in engine: %d objects (Windows API: %s)\n", objects,
              GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") ? "Wine" : "Windows");

  // ---- scans over the whole object array
  constexpr int kScans = 20;
  double prewarm = NsPerCall(kScans, [] {
    engine::ClassSlot a, b, c;
    engine::FindClass("GameplayStatics", a);
    engine::FindClass("KismetSystemLibrary", b);
    engine::FindClass("KismetStringLibrary", c);
  });
  double miss = NsPerCall(kScans, [] { engine::ScanForClass("NoSuchClass"); });
  double startupPrewarm = NsPerCall(1, [] { engine::PrewarmSdkClasses(); });
  std::printf("class scans over %d objects:\n", objects);
  std::printf("  prewarm (3 library classes, fresh slots)     %9.3f ms\n", prewarm / 1e6);
  std::printf("  the start-up prewarm itself (first run)      %9.3f ms\n", startupPrewarm / 1e6);
  std::printf("  a miss (the whole array)                     %9.3f ms  (%.1f ns per object)\n", miss / 1e6,
              miss / objects);

  constexpr int kCalls = 200000;
  double bare = NsPerCall(kCalls, [] { BareCall(); });
  double bareObject = NsPerCall(kCalls, [&] { BareObjectCall(lantern); });
  std::printf("bare call: %.2f ns; bare call with an object argument: %.2f ns\n", bare, bareObject);

  // ---- PumpGameThread's early exits
  std::printf("PumpGameThread early exits:\n");
  double otherThread = 0;
  std::thread([&] { otherThread = NsPerCall(kCalls, [] { core::PumpGameThread(); }); }).join();
  Row("not the game thread", otherThread, bare);

  core::testing::SetPumpCounter({&FakeNow, &FakeFrequency});
  core::testing::ResetPump();
  standin::SetRealTimeSeconds(100.0);
  g_fakeNow += 5000;
  core::PumpGameThread();  // first pass: the world and the function are found
  double gated = NsPerCall(kCalls, [] { core::PumpGameThread(); });  // the counter does not move
  Row("inside the 1 ms gate (counter read only)", gated, bare);
  double unchanged = NsPerCall(kCalls / 10, [] {
    g_fakeNow += 2000;
    core::PumpGameThread();
  });
  Row("past the gate, world clock unchanged (lookup + 1 call)", unchanged, bare);

  core::testing::SetPumpCounter({nullptr, nullptr});
  core::testing::ResetPump();
  core::PumpGameThread();
  std::uint64_t before = standin::ProcessEventCalls();
  double real = NsPerCall(kCalls, [] { core::PumpGameThread(); });
  Row("performance counter (mostly gated)", real, bare);
  std::printf("    (%llu of %d calls passed the gate)\n",
              static_cast<unsigned long long>(standin::ProcessEventCalls() - before), kCalls);

  // ---- the object test and one wrapper call
  std::printf("engine access:\n");
  Row("IsValidObject (live object)", NsPerCall(kCalls, [&] { engine::IsValidObject(lantern); }), bareObject);
  Row("IsValidObject (unmapped pointer, fault contained)",
      NsPerCall(2000, [] { engine::IsValidObject(reinterpret_cast<engine::Object*>(0x40)); }), bareObject);
  engine::Actor::K2_GetActorLocation(lantern);
  double wrapper = NsPerCall(kCalls, [&] { engine::Actor::K2_GetActorLocation(lantern); });
  Row("Actor::K2_GetActorLocation", wrapper, bareObject);
  auto* fn = standin::FunctionNamed(reinterpret_cast<standin::UObject*>(lantern)->cls, L"K2_GetActorLocation");
  double direct = NsPerCall(kCalls, [&] {
    std::uint8_t block[16] = {};
    standin::ProcessEvent(reinterpret_cast<standin::UObject*>(lantern), fn, block);
  });
  Row("  the same ProcessEvent called directly", direct, bareObject);
  double realTime = NsPerCall(kCalls, [] { engine::GameplayStatics::GetRealTimeSeconds(engine::GetWorld()); });
  Row("GetWorld + GameplayStatics::GetRealTimeSeconds", realTime, bareObject);
  return 0;
}
