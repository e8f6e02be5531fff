// The pump pass against the stand-in's world and clock, with a counter the test moves.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/gamethread.h"
#include "engine/objects.h"
#include "standin_support.h"
#include "support/log_capture.h"

using namespace bh::core;

namespace {

std::uint64_t g_nowMicroseconds = 1000;
std::uint64_t Now() { return g_nowMicroseconds; }
std::uint64_t MicrosecondsPerSecond() { return 1000000; }
void AdvanceMs(double ms) { g_nowMicroseconds += static_cast<std::uint64_t>(ms * 1000); }

class Pump : public ::testing::Test {
 protected:
  void SetUp() override {
    fwtest::BootStandin();
    bh::core::testing::SetPumpCounter({&Now, &MicrosecondsPerSecond});
    bh::core::testing::ResetPump();
  }
};

enum class World { Same, New, Missing };
constexpr float kNoTick = -1;

struct Step {
  double advanceMs;
  double worldTime;
  World world;
  int tasksRun;    // during this call
  float tickStep;  // kNoTick: the tickers do not run
};
struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

}  // namespace

TEST_F(Pump, OrderAndTimingRules) {
  using enum World;
  const Scenario scenarios[] = {
      {"the first pass gives step 0", {{1, 10.0, Same, 1, 0}}},
      {"passes are at least 1 ms apart", {{1, 10.0, Same, 1, 0}, {0.5, 10.1, Same, 0, kNoTick}, {0.6, 10.1, Same, 2, 0.1f}}},
      {"an unchanged world time runs nothing",
       {{1, 10.0, Same, 1, 0}, {2, 10.0, Same, 0, kNoTick}, {2, 10.016, Same, 2, 0.016f}}},
      {"steps are limited to 0.25 s", {{1, 10.0, Same, 1, 0}, {2, 10.6, Same, 1, 0.25f}}},
      {"a clock going back gives 0 and restarts from there",
       {{1, 10.0, Same, 1, 0}, {2, 9.0, Same, 1, 0}, {2, 9.1, Same, 1, 0.1f}}},
      {"a new world gives 0", {{1, 10.0, Same, 1, 0}, {2, 3.0, New, 1, 0}, {2, 3.05, Same, 1, 0.05f}}},
      {"no world: tasks only", {{1, 10.0, Same, 1, 0}, {2, 10.5, Missing, 1, kNoTick}, {2, 10.1, Same, 1, 0.1f}}},
  };
  int level = 0;
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    bh::core::testing::ResetPump();
    std::vector<float> steps;
    std::int32_t ticker = AddTicker("probe", [&](float s) { steps.push_back(s); });
    int ran = 0;
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
      const Step& step = scenario.steps[i];
      SCOPED_TRACE(i);
      standin::SetViewport(true);
      if (step.world == World::New) standin::ChangeLevel(L"Level_" + std::to_wstring(++level));
      standin::UWorld* world = standin::World().world;
      standin::SetRealTimeSeconds(step.worldTime);
      if (step.world == World::Missing) {
        standin::SetViewport(false);
        standin::SetFallbackWorld(nullptr);
      }
      PostToGameThread([&] { ++ran; });
      AdvanceMs(step.advanceMs);
      int ranBefore = ran;
      steps.clear();
      PumpGameThread();
      EXPECT_EQ(ran - ranBefore, step.tasksRun);
      if (step.tickStep == kNoTick) {
        EXPECT_TRUE(steps.empty());
      } else {
        ASSERT_EQ(steps.size(), 1u);
        EXPECT_NEAR(steps[0], step.tickStep, 1e-4);
      }
      standin::SetFallbackWorld(world);
    }
    RemoveTicker(ticker);
    AdvanceMs(5);
    standin::SetRealTimeSeconds(standin::RealTimeSeconds() + 1);
    PumpGameThread();  // drains what is left before the next scenario
  }
}

TEST_F(Pump, OnlyOnTheGameThreadAndNeverNested) {
  int tasks = 0, ticks = 0;
  PostToGameThread([&] { ++tasks; });
  std::thread([] { PumpGameThread(); }).join();
  EXPECT_EQ(tasks, 0);

  standin::SetRealTimeSeconds(1.0);
  AddTicker("nests", [&](float) {
    ++ticks;
    // The pass's own engine calls reach the pump again through ProcessEvent.
    AdvanceMs(5);
    standin::SetRealTimeSeconds(standin::RealTimeSeconds() + 0.1);
    PostToGameThread([&] { ++tasks; });
    PumpGameThread();
  });
  AdvanceMs(2);
  PumpGameThread();
  EXPECT_EQ(tasks, 1);
  EXPECT_EQ(ticks, 1);
  AdvanceMs(2);
  PumpGameThread();
  EXPECT_EQ(tasks, 2);
  EXPECT_EQ(ticks, 2);
}

TEST_F(Pump, EnginePassCostsOneEngineCallAndGatedCallsNone) {
  standin::SetRealTimeSeconds(5.0);
  AdvanceMs(2);
  PumpGameThread();  // finds the engine and the function once
  std::uint64_t before = standin::ProcessEventCalls();
  AdvanceMs(2);
  PumpGameThread();  // unchanged clock: the world lookup and GetRealTimeSeconds
  EXPECT_EQ(standin::ProcessEventCalls() - before, 1u);
  before = standin::ProcessEventCalls();
  AdvanceMs(0.2);
  PumpGameThread();  // inside the 1 ms gate
  EXPECT_EQ(standin::ProcessEventCalls(), before);
}

TEST_F(Pump, FaultingTickerOnEngineMemoryIsRemovedAndNothingStaysLocked) {
  fwtest::LogCapture log;
  // An actor whose memory is gone: the ticker's read faults.
  standin::UObject* actor = standin::SpawnActor(standin::ClassNamed(L"BP_Lantern_C"), {}, {});
  standin::DestroyActor(actor);
  standin::CollectGarbage();
  int faults = 0, throws = 0, healthy = 0;
  AddTicker("stale-actor", [&, actor](float) {
    ++faults;
    volatile float glow = standin::FieldAt<float>(actor, 0x240);
    (void)glow;
  });
  AddTicker("thrower", [&](float) {
    ++throws;
    throw std::runtime_error("bad frame");
  });
  AddTicker("healthy", [&](float) { ++healthy; });

  double t = 20.0;
  auto pass = [&] {
    AdvanceMs(2);
    standin::SetRealTimeSeconds(t += 0.016);
    PumpGameThread();
  };
  pass();
  // Another thread posts and registers while the game thread is between passes:
  // the fault left neither the task lock nor the ticker lock held.
  bool posted = false, added = false;
  std::thread([&] {
    PostToGameThread([&] { posted = true; });
    AddTicker("late", [&](float) { added = true; });
  }).join();
  pass();
  pass();
  EXPECT_EQ(faults, 1);
  EXPECT_EQ(throws, 3);
  EXPECT_EQ(healthy, 3);
  EXPECT_TRUE(posted);
  EXPECT_TRUE(added);
  EXPECT_EQ(log.count("[ERR] [gamethread] stale-actor: structured exception 0xC0000005 caught"), 1);
  EXPECT_EQ(log.count("[ERR] [gamethread] ticker 'stale-actor' removed after a structured exception"), 1);
  EXPECT_EQ(log.count("[ERR] [gamethread] thrower: C++ exception caught: bad frame"), 3);
}
