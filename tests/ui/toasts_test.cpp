#include <gtest/gtest.h>

#include <thread>

#include "support/log_capture.h"
#include "ui/toasts.h"

using namespace bh::ui;
using namespace std::chrono_literals;

namespace {
struct Snapshot {
  std::vector<ToastEntry> entries;
  std::vector<float> ages;
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const ToastEntry& e : entries) out.push_back(e.text);
    return out;
  }
};
Snapshot Take(ToastClock::time_point now) {
  Snapshot s;
  SnapshotToasts(now, s.entries, s.ages);
  return s;
}
}  // namespace

TEST(Toasts, QueueKeepsTheNewestFiveAndLogsEveryPost) {
  fwtest::LogCapture capture;
  for (int i = 1; i <= 6; ++i) PostToast("t" + std::to_string(i), Success, 4.0f);
  EXPECT_EQ(capture.count("[INF] [overlay] toast[1]: t"), 6);
  Snapshot s = Take(ToastClock::now());
  EXPECT_EQ(s.texts(), (std::vector<std::string>{"t2", "t3", "t4", "t5", "t6"}));
}

TEST(Toasts, ShortToastsExpireBehindALongOneAndZeroSecondsMeansPointEight) {
  PostToast("long", Info, 15.0f);
  PostToast("short1", Info, 4.0f);
  PostToast("short2", Info, 4.0f);
  PostToast("blink", Info, 0.0f);
  ToastClock::time_point t0 = ToastClock::now();
  EXPECT_EQ(Take(t0 + 700ms).texts(), (std::vector<std::string>{"long", "short1", "short2", "blink"}));
  EXPECT_EQ(Take(t0 + 900ms).texts(), (std::vector<std::string>{"long", "short1", "short2"}));
  Snapshot later = Take(t0 + 4100ms);
  EXPECT_EQ(later.texts(), (std::vector<std::string>{"long"}));
  EXPECT_NEAR(later.ages[0], 4.1f, 0.05f);
  EXPECT_TRUE(Take(t0 + 15100ms).entries.empty());
}

TEST(Toasts, LayoutSlidesInFadesOutAndColoursByKind) {
  // Settled: 16 px from the right edge, fully opaque.
  ToastBox box = LayoutToast(1280, kFirstToastY, 200, 20, 1.0f, 4.0f, Success);
  EXPECT_FLOAT_EQ(box.width, 230);
  EXPECT_FLOAT_EQ(box.height, 38);
  EXPECT_FLOAT_EQ(box.x, 1280 - 16 - 230);
  EXPECT_EQ(box.background, 225);
  EXPECT_EQ(box.opacity, 255);
  EXPECT_EQ(box.accent[0], 126);
  EXPECT_FLOAT_EQ(NextToastY(box), 16 + 38 + 8);
  // Just posted: 24 px further right, transparent.
  ToastBox fresh = LayoutToast(1280, 16, 200, 20, 0.0f, 4.0f, Error);
  EXPECT_FLOAT_EQ(fresh.x, box.x + 24);
  EXPECT_EQ(fresh.opacity, 0);
  EXPECT_EQ(fresh.accent[1], 104);
  // Half way in, and in the last quarter second.
  EXPECT_FLOAT_EQ(LayoutToast(1280, 16, 200, 20, 0.125f, 4.0f, Info).x, box.x + 12);
  ToastBox fading = LayoutToast(1280, 16, 200, 20, 3.75f, 4.0f, Info);
  EXPECT_FLOAT_EQ(fading.x, box.x);
  EXPECT_FLOAT_EQ(fading.alpha, 0.5f);
  EXPECT_EQ(fading.background, 112);
  // An unknown kind is drawn like Info; Warning has its own colour.
  EXPECT_EQ(LayoutToast(1280, 16, 1, 1, 1, 4, 7).accent[0], 242);
  EXPECT_EQ(LayoutToast(1280, 16, 1, 1, 1, 4, Warning).accent[2], 98);
}

TEST(Toasts, PostingFromManyThreadsKeepsTheQueueBounded) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 100; ++i) PostToast("x", Info, 4.0f);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(Take(ToastClock::now()).entries.size(), kMaxToasts);
}
