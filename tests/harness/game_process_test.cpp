// game.exe with Fenwarden.dll: the library starts in the stand-in game,
// installs its detours, and the game exits cleanly (the start-up's whole path
// is checked in tests/hooks/game_start_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/temp_folder.h"

namespace {

struct GameRun {
  int exitCode;
  std::string output;
  std::string log;
};

// game.exe and the library copied into a fresh folder, with a fresh saved-data folder.
GameRun RunGame(const std::wstring& args) {
  fwtest::TempFolder game, local;
  for (const wchar_t* file : {L"game.exe", L"Fenwarden.dll"})
    EXPECT_TRUE(CopyFileW((fwtest::BinFolder() + L"\\" + file).c_str(), (game / file).c_str(), FALSE));
  auto run = fwtest::RunProcess(L"\"" + (game / L"game.exe") + L"\" --no-log " + args, L"LOCALAPPDATA=" + local.path(),
                                200000);
  return {run.exitCode, run.output, fwtest::ReadFileOr(local / L"Brackenhold\\Saved\\Fenwarden\\Fenwarden.log")};
}

}  // namespace

TEST(GameProcess, LibraryFindsTheEngineThenInstallsItsDetours) {
  GameRun r = RunGame(L"--seconds 1.5");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("game: exiting after"), std::string::npos) << r.output;
  const char* inOrder[] = {
      "] [INF] [core] Fenwarden 1.0.2 by Varrow starting (release build)\n",
      "] [INF] [core] engine ready after ",
      " ms (GObjects: 100",
      "] [INF] [hooks] hooks installed (ProcessEvent, ProcessInternal, ProcessLocalScriptFunction)\n",
  };
  std::size_t at = 0;
  for (const char* line : inOrder) {
    std::size_t found = r.log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << r.log;
    at = found;
  }
  EXPECT_EQ(r.log.find("prewarm failed"), std::string::npos) << r.log;
}

TEST(GameProcess, ExitsCleanlyWhileTheLibraryStillWaits) {
  for (const wchar_t* variant : {L"--no-viewport", L"--empty-objects", L"--thread-id 0", L"--thread-id worker"}) {
    SCOPED_TRACE(std::string(variant, variant + wcslen(variant)));
    GameRun r = RunGame(std::wstring(L"--seconds 0.8 ") + variant);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("game: exiting after"), std::string::npos) << r.output;
    EXPECT_NE(r.log.find("] [INF] [core] Fenwarden 1.0.2 by Varrow starting"), std::string::npos) << r.log;
    bool ready = r.log.find("engine ready after") != std::string::npos;
    EXPECT_EQ(ready, wcsstr(variant, L"--thread-id") != nullptr) << r.log;
    EXPECT_EQ(r.log.find("giving up"), std::string::npos) << r.log;
  }
}
