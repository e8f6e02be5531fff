// The pump pass: the one-millisecond gate, the world clock and the order of
// tasks and tickers. Its state is touched only on the game thread, so it
// needs no lock; busy stops the nested calls that the pass's own engine
// calls (and its tasks' and tickers') make through ProcessEvent.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "core/gamethread.h"
#include "engine/calls.h"
#include "engine/objects.h"

namespace bh::core {
namespace {

constexpr float kMaxStepSeconds = 0.25f;

std::uint64_t PerformanceCounter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart);
}
std::uint64_t PerformanceFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<std::uint64_t>(frequency.QuadPart);
}

struct PumpClock {
  std::uint64_t lastPass = 0;  // counter value of the last pass; 0: never
  std::uint64_t frequency = 0;  // counts per second, queried on the first pass
  engine::Object* lastWorld = nullptr;
  float lastWorldTimeSeconds = -1.0f;
  bool busy = false;
};
constinit PumpClock g_pump;  // game thread only

std::atomic<std::uint64_t (*)()> g_counter{&PerformanceCounter};
std::atomic<std::uint64_t (*)()> g_frequency{&PerformanceFrequency};

}  // namespace

void PumpGameThread() {
  if (!IsGameThread()) return;
  PumpClock& p = g_pump;
  if (p.busy) return;
  std::uint64_t now = g_counter.load(std::memory_order_relaxed)();
  if (p.frequency == 0) p.frequency = g_frequency.load()();
  if (p.lastPass != 0 && (now - p.lastPass) * 1000 < p.frequency) return;
  p.lastPass = now;
  p.busy = true;

  engine::Object* world = engine::GetWorld();
  if (!world) {
    RunPostedTasks();
    p.busy = false;
    return;
  }
  float t = engine::GameplayStatics::GetRealTimeSeconds(world);
  if (world != p.lastWorld || t < p.lastWorldTimeSeconds) {
    p.lastWorld = world;
    p.lastWorldTimeSeconds = t;
    RunPostedTasks();
    RunTickers(0.0f);
  } else if (t > p.lastWorldTimeSeconds) {
    float step = std::clamp(t - p.lastWorldTimeSeconds, 0.0f, kMaxStepSeconds);
    p.lastWorldTimeSeconds = t;
    RunPostedTasks();
    RunTickers(step);
  }
  // Unchanged world time: a further ProcessEvent within the same frame.
  p.busy = false;
}

void testing::SetPumpCounter(PumpCounter counter) {
  g_counter.store(counter.now ? counter.now : &PerformanceCounter);
  g_frequency.store(counter.frequency ? counter.frequency : &PerformanceFrequency);
  g_pump.frequency = 0;
}

void testing::ResetPump() { g_pump = PumpClock{}; }

}  // namespace bh::core
