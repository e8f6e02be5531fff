// The initialisation thread's wait for the engine, against the stand-in
// engine, on a fast clock: every poll's sleep moves the clock at once.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "core/clock.h"
#include "core/startup.h"
#include "engine/calls.h"
#include "engine/engine.h"
#include "standin_support.h"
#include "support/log_capture.h"

namespace {

std::atomic<std::uint64_t> g_ms{5000};
std::atomic<int> g_sleeps{0};
std::function<void(int)> g_onSleep;  // set before the thread starts
std::uint64_t FakeTick() { return g_ms.load(); }
void FakeSleep(std::uint32_t ms) {
  g_ms += ms;
  int n = ++g_sleeps;
  if (g_onSleep) g_onSleep(n);
}

// Runs the initialisation thread to its end and returns the log lines it wrote.
std::vector<std::string> RunInitThread() {
  bh::core::testing::SetClock({&FakeTick, &FakeSleep});
  fwtest::LogCapture log;
  std::thread([] { bh::core::InitThread(nullptr); }).join();
  bh::core::testing::SetClock({nullptr, nullptr});
  return log.lines();
}

void ExpectGiveUp(const std::vector<std::string>& lines, const std::string& state) {
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[ERR] [core] engine not ready after 120 s (last state: " + state + "); giving up\n"),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(g_sleeps.load(), 480);  // one probe every 250 ms, nothing installed afterwards
}

}  // namespace

static std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line;
  return all;
}

TEST(StartupWait, EngineReadyAtOnceThenPrewarmThenDetours) {
  fwtest::BootStandin();
  std::vector<std::string> lines = RunInitThread();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[0].find("[INF] [core] engine ready after 0 ms (GObjects: " +
                          std::to_string(standin::ObjectArray().numElements) + " objects)\n"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("[INF] [hooks] ProcessEvent at "), std::string::npos) << lines[1];
  EXPECT_NE(Joined(lines).find("[INF] [hooks] hooks installed (ProcessEvent, ProcessInternal, ProcessLocalScriptFunction)\n"),
            std::string::npos);
  // No sleep while waiting for the engine; 15 s of 100 ms sleeps waiting for
  // the pump, which nothing drives here (the test thread runs no frames).
  EXPECT_EQ(g_sleeps.load(), 150);
  EXPECT_NE(lines.back().find("[WRN] [core] game-thread pump has not run within 15 s"), std::string::npos) << lines.back();
  // The prewarm filled the slots the library wrappers use.
  using namespace bh::engine;
  EXPECT_EQ(library::GameplayStaticsSlot().value.load(), fwtest::E(standin::ClassNamed(L"GameplayStatics")));
  EXPECT_EQ(library::KismetSystemLibrarySlot().value.load(), fwtest::E(standin::ClassNamed(L"KismetSystemLibrary")));
  EXPECT_EQ(library::KismetStringLibrarySlot().value.load(), fwtest::E(standin::ClassNamed(L"KismetStringLibrary")));
}

TEST(StartupWait, ViewportArrivingAfterThreePollsIsReadyAfter750Ms) {
  fwtest::BootStandin({.viewport = false});
  g_onSleep = [](int n) {
    if (n == 3) standin::SetViewport(true);
  };
  std::vector<std::string> lines = RunInitThread();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[INF] [core] engine ready after 750 ms (GObjects: "), std::string::npos) << lines[0];
}

TEST(StartupWait, NeverReadyGivesUpOnceAfter120Seconds) {
  fwtest::BootStandin({.viewport = false});
  ExpectGiveUp(RunInitThread(), "GEngine->GameViewport is null");
}

TEST(StartupWait, EmptyObjectArrayGivesUp) {
  fwtest::BootStandin({.emptyObjectArray = true});
  ExpectGiveUp(RunInitThread(), "GObjects empty");
}

TEST(StartupWait, NoLiveEngineObjectGivesUp) {
  fwtest::BootStandin();
  standin::ItemAt(standin::World().engine->index)->flags |= standin::kItemPendingKill;
  ExpectGiveUp(RunInitThread(), "no UEngine instance");
}

TEST(StartupWait, FaultWhileProbingGivesUp) {
  fwtest::BootStandin();
  standin::FChunkedFixedUObjectArray& array = standin::ObjectArray();
  standin::FUObjectItem** chunks = array.chunks;
  array.chunks = reinterpret_cast<standin::FUObjectItem**>(0x40);  // a foreign build's array
  ExpectGiveUp(RunInitThread(), "access fault while probing");
  array.chunks = chunks;
}

TEST(StartupWait, PrewarmFailureIsOnlyAWarning) {
  fwtest::BootStandin();
  standin::UnloadClass(L"KismetStringLibrary");
  std::vector<std::string> lines = RunInitThread();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[1].find("[WRN] [core] SDK class prewarm failed; first game-thread calls may hitch\n"), std::string::npos);
  EXPECT_NE(Joined(lines).find("hooks installed"), std::string::npos);
}
