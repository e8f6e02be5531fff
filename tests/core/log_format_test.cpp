#include <gtest/gtest.h>

#include <thread>

#include "core/log.h"
#include "support/log_capture.h"

using bh::core::LogLevel;

TEST(LogFormat, PrefixCarriesTimeLevelAndTag) {
  struct Case {
    int h, m, s;
    long long ms;
    LogLevel level;
    const char* tag;
    const char* expected;
  };
  const Case cases[] = {
      {14, 3, 7, 42, LogLevel::Info, "core", "[14:03:07.042] [INF] [core] "},
      {0, 0, 0, 0, LogLevel::Warning, "config", "[00:00:00.000] [WRN] [config] "},
      {23, 59, 59, 999, LogLevel::Error, nullptr, "[23:59:59.999] [ERR] [-] "},
      {1, 2, 3, 4, LogLevel::Debug, "x", "[01:02:03.004] [DBG] [x] "},
      {1, 2, 3, 4, static_cast<LogLevel>(9), "x", "[01:02:03.004] [ERR] [x] "},
  };
  for (const Case& c : cases) {
    char buffer[64];
    std::size_t n = bh::core::FormatLogPrefix(buffer, c.h, c.m, c.s, c.ms, c.level, c.tag);
    EXPECT_EQ(std::string(buffer, n), c.expected);
  }
}

TEST(LogFormat, LongPrefixIsCutAt63Characters) {
  char buffer[64];
  std::string tag(100, 't');
  std::size_t n = bh::core::FormatLogPrefix(buffer, 1, 2, 3, 4, LogLevel::Info, tag.c_str());
  EXPECT_EQ(n, 63u);
  EXPECT_EQ(std::string(buffer, n), "[01:02:03.004] [INF] [" + std::string(41, 't'));
}

TEST(LogFormat, ThresholdFiltersAndNeverGoesBelowInfo) {
  fwtest::LogCapture capture;
  bh::core::SetLogThreshold(LogLevel::Warning);
  bh::core::Log(LogLevel::Info, "t", "hidden info");
  bh::core::Log(LogLevel::Warning, "t", "shown warning");
  bh::core::SetLogThreshold(LogLevel::Debug);
  EXPECT_EQ(bh::core::LogThreshold(), LogLevel::Info);
  bh::core::Log(LogLevel::Debug, "t", "hidden debug");
  bh::core::Log(LogLevel::Info, nullptr, "first\nsecond");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("] [WRN] [t] shown warning\n"), std::string::npos);
  // A null tag is "-"; a line feed in the message is written as is.
  EXPECT_NE(lines[1].find("] [INF] [-] first\nsecond\n"), std::string::npos);
}

TEST(LogFormat, LinesFromManyThreadsStayWhole) {
  fwtest::LogCapture capture;
  bh::core::SetLogThreshold(LogLevel::Info);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) bh::core::LogInfo("mt", "thread {} line {} {}", t, i, std::string(50, 'x'));
    });
  for (auto& th : threads) th.join();
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find(std::string(50, 'x')), std::string::npos);
  }
}
