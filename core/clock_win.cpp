#include <windows.h>

#include <atomic>

#include "core/clock.h"

namespace bh::core {
namespace {
std::uint64_t RealTick() { return GetTickCount64(); }
void RealSleep(std::uint32_t ms) { Sleep(ms); }
std::atomic<std::uint64_t (*)()> g_tick{&RealTick};
std::atomic<void (*)(std::uint32_t)> g_sleep{&RealSleep};
}  // namespace

std::uint64_t TickMs() { return g_tick.load()(); }
void SleepMs(std::uint32_t ms) { g_sleep.load()(ms); }

void testing::SetClock(Clock clock) {
  g_tick.store(clock.tickMs ? clock.tickMs : &RealTick);
  g_sleep.store(clock.sleepMs ? clock.sleepMs : &RealSleep);
}

}  // namespace bh::core
