// GuardedCall with structured exceptions, under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <thread>

#include "core/gamethread.h"
#include "support/log_capture.h"

using namespace bh::core;

namespace {
__attribute__((noinline)) void WriteThroughNull(volatile int* p) { *p = 1; }
}  // namespace

TEST(GuardedCallStructured, AccessViolationIsCaughtWithItsCode) {
  fwtest::LogCapture capture;
  EXPECT_EQ(GuardedCall("gamethread", "posted task", [] { WriteThroughNull(nullptr); }), GuardResult::Structured);
  EXPECT_EQ(GuardedCall("hooks", nullptr, [] { RaiseException(0xE0001234, 0, 0, nullptr); }), GuardResult::Structured);
  EXPECT_TRUE(capture.contains("[ERR] [gamethread] posted task: structured exception 0xC0000005 caught"));
  EXPECT_TRUE(capture.contains("[ERR] [hooks] ?: structured exception 0xE0001234 caught"));
}

TEST(GuardedCallStructured, FaultingTickerIsRemovedOnceAndLocksStayFree) {
  SetGameThreadId(GetCurrentThreadId());
  fwtest::LogCapture capture;
  int runs = 0, healthy = 0;
  AddTicker("faulty", [&](float) {
    ++runs;
    WriteThroughNull(nullptr);
  });
  AddTicker("healthy", [&](float) { ++healthy; });
  RunTickers(0.1f);
  RunTickers(0.1f);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(healthy, 2);
  EXPECT_EQ(capture.count("faulty: structured exception 0xC0000005 caught"), 1);
  EXPECT_EQ(capture.count("[ERR] [gamethread] ticker 'faulty' removed after a structured exception"), 1);

  // The fault unwound past no lock of the queue or the hub: other threads go on.
  bool posted = false;
  std::thread other([&] {
    PostToGameThread([&] { posted = true; });
    AddTicker("later", [](float) {});
  });
  other.join();
  RunPostedTasks();
  EXPECT_TRUE(posted);
}

TEST(GuardedCallStructured, FaultInsideATaskDropsOnlyThatTask) {
  SetGameThreadId(GetCurrentThreadId());
  fwtest::LogCapture capture;
  bool after = false;
  PostToGameThread([] { WriteThroughNull(nullptr); });
  PostToGameThread([&] { after = true; });
  RunPostedTasks();
  EXPECT_TRUE(after);
  EXPECT_TRUE(capture.contains("posted task: structured exception 0xC0000005 caught"));
}
