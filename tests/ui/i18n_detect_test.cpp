// First-run language detection, driven through the ticker hub on this thread.
#include <gtest/gtest.h>
#include <windows.h>

#include "core/config.h"
#include "core/gamethread.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "ui/i18n.h"

using namespace bh::ui;
namespace core = bh::core;

namespace {

int g_asked = 0;
const char* g_answerOnThird = "";
std::string AnswerOnThirdAttempt() { return ++g_asked >= 3 ? g_answerOnThird : ""; }

std::string ConfigLanguage(const fwtest::TempFolder& folder) {
  std::string text = fwtest::ReadFileOr(folder / L"config.json");
  std::size_t at = text.find("\"language\": \"");
  return at == std::string::npos ? "" : text.substr(at + 13, 2);
}

// A fresh config without a language, and this thread as the game thread.
void StartFirstRun(const fwtest::TempFolder& folder, const char* answer) {
  core::SetGameThreadId(GetCurrentThreadId());
  ASSERT_TRUE(fwtest::WriteFile(folder / L"config.json", R"({"menu_key": "F5"})"));
  core::testing::LoadConfigFrom(folder.path());
  g_asked = 0;
  g_answerOnThird = answer;
  bh::ui::testing::SetGameLanguageSource(&AnswerOnThirdAttempt);
  InitI18n();
}

}  // namespace

TEST(LanguageDetection, SteamAnswersOnTheThirdAttempt) {
  struct Case {
    const char* answer;
    Language expected;
  };
  for (const Case& c : {Case{"tchinese", Language::Chinese}, Case{"koreana", Language::English},
                        Case{"japanese", Language::Japanese}}) {
    SCOPED_TRACE(c.answer);
    fwtest::TempFolder folder;
    fwtest::LogCapture capture;
    StartFirstRun(folder, c.answer);
    EXPECT_TRUE(capture.contains("[INF] [i18n] UI language en (default; detecting from Steam)"));
    EXPECT_TRUE(bh::ui::testing::DetectionRunning());
    // One-second frames: asked at 1 s, 3 s and 5 s.
    for (int i = 0; i < 5; ++i) core::RunTickers(1.0f);
    EXPECT_EQ(g_asked, 3);
    EXPECT_FALSE(bh::ui::testing::DetectionRunning());
    EXPECT_EQ(CurrentLanguage(), c.expected);
    EXPECT_EQ(ConfigLanguage(folder), LanguageCode(c.expected));
    EXPECT_TRUE(capture.contains(std::string("first run: Steam game language '") + c.answer + "' -> UI language " +
                                 LanguageCode(c.expected)));
    for (int i = 0; i < 5; ++i) core::RunTickers(1.0f);
    EXPECT_EQ(g_asked, 3);
  }
}

TEST(LanguageDetection, SteamNeverAnswersGivesUpAfterNinetySecondsOfTicks) {
  fwtest::TempFolder folder;
  fwtest::LogCapture capture;
  StartFirstRun(folder, "");
  std::string before = fwtest::ReadFileOr(folder / L"config.json");
  int ticks = 0;
  while (bh::ui::testing::DetectionRunning() && ticks < 1000) {
    core::RunTickers(0.25f);
    ++ticks;
  }
  // Asked on the first tick and every 2 s after; the first attempt at or
  // past 90 s of ticks gives up: tick 361 (90.25 s), the 46th attempt.
  EXPECT_EQ(ticks, 361);
  EXPECT_EQ(g_asked, 46);
  EXPECT_EQ(capture.count("[INF] [i18n] first run: Steam game language unavailable after 90 s; keeping en"), 1);
  EXPECT_EQ(fwtest::ReadFileOr(folder / L"config.json"), before);
  EXPECT_EQ(CurrentLanguage(), Language::English);
}

TEST(LanguageDetection, PlayerChoiceStopsDetection) {
  fwtest::TempFolder folder;
  StartFirstRun(folder, "schinese");
  core::RunTickers(1.0f);
  SelectLanguage(Language::Japanese);
  EXPECT_FALSE(bh::ui::testing::DetectionRunning());
  for (int i = 0; i < 10; ++i) core::RunTickers(1.0f);
  EXPECT_EQ(g_asked, 1);
  EXPECT_EQ(CurrentLanguage(), Language::Japanese);
  EXPECT_EQ(ConfigLanguage(folder), "ja");
}

TEST(LanguageDetection, LanguageFromConfigNeedsNoDetection) {
  fwtest::TempFolder folder;
  core::SetGameThreadId(GetCurrentThreadId());
  ASSERT_TRUE(fwtest::WriteFile(folder / L"config.json", R"({"language": "ja"})"));
  core::testing::LoadConfigFrom(folder.path());
  fwtest::LogCapture capture;
  InitI18n();
  EXPECT_EQ(CurrentLanguage(), Language::Japanese);
  EXPECT_FALSE(bh::ui::testing::DetectionRunning());
  EXPECT_TRUE(capture.contains("[INF] [i18n] UI language ja (from config.json)"));
}
