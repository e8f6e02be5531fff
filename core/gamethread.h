// Game-thread execution: posted tasks, per-frame tickers and the guarded call.
//
// Offers: IsGameThread, PostToGameThread, AddTicker/RemoveTicker, GuardedCall,
// PumpGameThread (runs the posted tasks, then the tickers, at most once per
// world frame; driven by the dispatch detour).
// Needs: Log; for the pump pass, the world and its real-time clock (engine).
// Threads: posting, adding and removing from any thread; everything posted
// or registered runs on the game thread, never under a lock.
#pragma once

#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

namespace bh::core {

using Task = std::function<void()>;
using TickerFn = std::function<void(float)>;  // receives the time step in seconds

enum class GuardResult : int { Ok = 0, Thrown = 1, Structured = 2 };

// The engine's game thread, as passed to Fenwarden_Start (0 = not known).
void SetGameThreadId(std::uint32_t id);
std::uint32_t GameThreadId();
bool IsGameThread();

// Queues task for the next pump pass that runs tasks. Empty tasks are ignored.
void PostToGameThread(Task task);

// Registers a ticker (name may be null: "ticker"); returns its id (1 upward),
// or 0 for an empty callable. It runs from the next ticker pass on.
std::int32_t AddTicker(const char* name, TickerFn tick);
// Stops a ticker: at once on the game thread, from the next pass elsewhere.
void RemoveTicker(std::int32_t id);

// Runs fn(context) guarding against structured and thrown exceptions; logs
// what it caught under tag with label ("?" when null).
GuardResult GuardedCall(const char* tag, const char* label, void (*fn)(void*), void* context);

template <typename F>
GuardResult GuardedCall(const char* tag, const char* label, F&& callable) {
  using Fn = std::remove_reference_t<F>;
  return GuardedCall(
      tag, label, [](void* c) { (*static_cast<Fn*>(c))(); },
      const_cast<void*>(static_cast<const volatile void*>(std::addressof(callable))));
}

// The two halves of a pump pass (game thread only); the pump calls them in
// this order, tests drive them directly.
void RunPostedTasks();
void RunTickers(float stepSeconds);

// One pump pass, at most once per world frame: called at every ProcessEvent
// on the game thread (elsewhere it returns at once; so does a nested call).
// Passes are at least 1 ms apart; the step is the change of the world's real
// time, limited to 0.25 s, and 0 after a world change or a clock going back.
// Without a world only the posted tasks run.
void PumpGameThread();

namespace testing {
// The pump's high-resolution counter and its frequency (counts per second);
// null fields restore the performance counter.
struct PumpCounter {
  std::uint64_t (*now)();
  std::uint64_t (*frequency)();
};
void SetPumpCounter(PumpCounter counter);
// Forgets the last pass, world and world time, as before the first pass.
void ResetPump();
}  // namespace testing

namespace platform {
std::uint32_t CurrentThreadId();
}  // namespace platform

}  // namespace bh::core
