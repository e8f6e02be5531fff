#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/gamethread.h"
#include "support/log_capture.h"

using namespace bh::core;

namespace {
// Makes the test thread the game thread.
struct OnGameThread {
  OnGameThread() { SetGameThreadId(platform::CurrentThreadId()); }
};
}  // namespace

TEST(GameThread, TasksPostedFromTasksWaitForTheNextPass) {
  OnGameThread game;
  std::vector<std::string> order;
  PostToGameThread([&] {
    order.push_back("a");
    PostToGameThread([&] { order.push_back("c"); });
  });
  PostToGameThread([&] { order.push_back("b"); });
  PostToGameThread(Task());  // ignored
  RunPostedTasks();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
  RunPostedTasks();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(GameThread, TickerOrderAdditionsAndRemovals) {
  OnGameThread game;
  std::vector<std::string> order;
  std::int32_t second = 0;
  std::int32_t first = AddTicker("first", [&](float) {
    order.push_back("first");
    RemoveTicker(second);  // removed by an earlier ticker of the same pass: does not run
  });
  second = AddTicker("second", [&](float) { order.push_back("second"); });
  EXPECT_EQ(AddTicker("empty", TickerFn()), 0);
  EXPECT_GT(second, first);
  // A ticker added from a task runs in the same pass, after the tasks.
  PostToGameThread([&] { AddTicker(nullptr, [&](float) { order.push_back("from-task"); }); });
  RunPostedTasks();
  RunTickers(0.016f);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "from-task"}));
  order.clear();
  RemoveTicker(first);
  RemoveTicker(0);
  RunTickers(0.016f);
  EXPECT_EQ(order, (std::vector<std::string>{"from-task"}));
}

TEST(GameThread, TickersGetTheStep) {
  OnGameThread game;
  std::vector<float> steps;
  AddTicker("step", [&](float s) { steps.push_back(s); });
  RunTickers(0.25f);
  RunTickers(0.0f);
  EXPECT_EQ(steps, (std::vector<float>{0.25f, 0.0f}));
}

TEST(GameThread, RemovingAPendingTickerFromAnotherThreadCancelsIt) {
  OnGameThread game;
  bool ran = false;
  std::thread other([&] {
    std::int32_t id = AddTicker("pending", [&](float) { ran = true; });
    RemoveTicker(id);
  });
  other.join();
  RunTickers(0.1f);
  EXPECT_FALSE(ran);
}

TEST(GameThread, ThrowingTickerIsLoggedEveryPassAndKept) {
  OnGameThread game;
  fwtest::LogCapture capture;
  int runs = 0;
  AddTicker("thrower", [&](float) {
    ++runs;
    throw std::runtime_error("boom");
  });
  RunTickers(0.1f);
  RunTickers(0.1f);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(capture.count("[ERR] [gamethread] thrower: C++ exception caught: boom"), 2);
}

TEST(GameThread, OnlyTheRecordedThreadIsTheGameThread) {
  SetGameThreadId(0);
  EXPECT_FALSE(IsGameThread());
  SetGameThreadId(platform::CurrentThreadId());
  EXPECT_TRUE(IsGameThread());
  bool other = true;
  std::thread([&] { other = IsGameThread(); }).join();
  EXPECT_FALSE(other);
}

TEST(GuardedCallThrown, ReportsTheTextOrANonStandardValue) {
  fwtest::LogCapture capture;
  EXPECT_EQ(GuardedCall("t", "std", [] { throw std::logic_error("bad state"); }), GuardResult::Thrown);
  EXPECT_EQ(GuardedCall("t", nullptr, [] { throw 42; }), GuardResult::Thrown);
  EXPECT_EQ(GuardedCall("t", "fine", [] {}), GuardResult::Ok);
  EXPECT_TRUE(capture.contains("[ERR] [t] std: C++ exception caught: bad state"));
  EXPECT_TRUE(capture.contains("[ERR] [t] ?: C++ exception caught: (non-std exception)"));
  EXPECT_EQ(capture.lines().size(), 2u);
}
