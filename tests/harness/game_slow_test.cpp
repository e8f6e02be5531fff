// The library's real 120-second wait in game.exe: an engine that never gets a
// viewport gives exactly one give-up line and nothing after it.
#include <gtest/gtest.h>
#include <windows.h>

#include "support/temp_folder.h"

TEST(GameProcessSlow, NeverReadyGivesUpOnceAfter120Seconds) {
  fwtest::TempFolder game, local;
  for (const wchar_t* file : {L"game.exe", L"Fenwarden.dll"})
    ASSERT_TRUE(CopyFileW((fwtest::BinFolder() + L"\\" + file).c_str(), (game / file).c_str(), FALSE));
  auto run = fwtest::RunProcess(L"\"" + (game / L"game.exe") + L"\" --no-log --no-viewport --seconds 123 --frame-ms 50",
                                L"LOCALAPPDATA=" + local.path(), 240000);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  std::string log = fwtest::ReadFileOr(local / L"Brackenhold\\Saved\\Fenwarden\\Fenwarden.log");
  const std::string giveUp =
      "] [ERR] [core] engine not ready after 120 s (last state: GEngine->GameViewport is null); giving up\n";
  std::size_t at = log.find(giveUp);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(giveUp, at + 1), std::string::npos);
  EXPECT_EQ(at + giveUp.size(), log.size()) << "lines after the give-up line:\n" << log.substr(at);
  EXPECT_EQ(log.find("hook"), std::string::npos);
}
