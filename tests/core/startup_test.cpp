// Start-up: the entry in a real process (the launcher loads Fenwarden.dll),
// the build id, and the OnReady registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "coop/coop.h"
#include "core/gamethread.h"
#include "core/startup.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

using namespace bh::core;

namespace {

struct LaunchResult {
  std::string output;  // stdout: "[debug] " lines, then the log between markers
  std::string log;     // Fenwarden.log as left on disk
  std::string config;  // config.json afterwards
};

// Runs the launcher with Fenwarden.dll copied into a fresh mod folder, and a
// fresh local application data folder.
LaunchResult Launch(const char* config, const std::wstring& args = L"--seconds 0.5 --no-log") {
  fwtest::TempFolder mod, local;
  for (const wchar_t* file : {L"launcher.exe", L"Fenwarden.dll"})
    EXPECT_TRUE(CopyFileW((fwtest::BinFolder() + L"\\" + file).c_str(), (mod / file).c_str(), FALSE));
  if (config) EXPECT_TRUE(fwtest::WriteFile(mod / L"config.json", config));
  auto run = fwtest::RunProcess(L"\"" + (mod / L"launcher.exe") + L"\" " + args, L"LOCALAPPDATA=" + local.path());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  LaunchResult result;
  result.output = run.output;
  result.log = fwtest::ReadFileOr(local / L"Brackenhold\\Saved\\Fenwarden\\Fenwarden.log");
  result.config = fwtest::ReadFileOr(mod / L"config.json");
  return result;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(StartupProcess, ReportLinesInOrderInTheFreshLog) {
  LaunchResult r = Launch(nullptr);
  const char* expected[] = {
      "] [INF] [core] Fenwarden 1.0.2 by Varrow starting (release build)\n",
      "] [INF] [core] game build ",
      "] [INF] [core] command line: ",
      "] [INF] [core] mod dir: ",
  };
  std::size_t at = 0;
  for (const char* line : expected) {
    std::size_t found = r.log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << r.log;
    at = found;
  }
  EXPECT_TRUE(std::regex_search(r.log, std::regex(R"(game build [0-9]+-[0-9a-f]{8}; game thread id [1-9][0-9]*\n)")))
      << r.log;
  EXPECT_TRUE(std::regex_search(r.log, std::regex(R"(; saved dir: .*\\Brackenhold\\Saved\\Fenwarden\n)"))) << r.log;
  EXPECT_NE(r.log.find("--seconds 0.5"), std::string::npos);
  EXPECT_EQ(r.log.find("[WRN]"), std::string::npos) << r.log;
  EXPECT_NE(r.config.find("\"menu_key\": \"F5\""), std::string::npos);
}

TEST(StartupProcess, ConfigLinesReachOnlyTheDebuggerOutput) {
  LaunchResult r = Launch(R"({"transport": "udp", "language": "fr"})");
  const std::string devLine = "[INF] [config] config.json: dev-only key 'transport' ignored in the release build";
  const std::string frLine = "[WRN] [config] config.json: unknown language 'fr'";
  EXPECT_NE(r.output.find("[debug] "), std::string::npos);
  EXPECT_EQ(Count(r.output, devLine), 1) << r.output;
  EXPECT_EQ(Count(r.output, frLine), 1) << r.output;
  EXPECT_EQ(r.log.find("[config]"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("starting (release build)"), std::string::npos);
}

TEST(StartupProcess, SecondStartWritesNothingAndZeroThreadIdIsReported) {
  LaunchResult r = Launch(nullptr, L"--seconds 0.5 --no-log --start-twice --thread-id 0");
  EXPECT_EQ(Count(r.log, "starting (release build)"), 1) << r.log;
  EXPECT_EQ(Count(r.log, "command line: "), 1);
  EXPECT_EQ(Count(r.log, "[ERR] [core] main thread id is 0; game-thread work will never run\n"), 1) << r.log;
  EXPECT_NE(r.log.find("game thread id 0\n"), std::string::npos);
}

TEST(StartupProcess, LogLevelSetting) {
  struct Case {
    const char* config;
    bool infoShown;
    const char* warning;  // expected warning line, or null for none
  };
  const Case cases[] = {
      {R"({"log_level": "ERROR", "language": "fr"})", false, nullptr},
      {R"({"log_level": "WARNING"})", false, nullptr},
      {R"({"log_level": "Warn"})", false, nullptr},
      {R"({"log_level": "loud"})", true,
       "[WRN] [core] unknown log_level 'loud' (accepted: info|warn|error), using info\n"},
      {"[\"broken\"]", true, "[WRN] [core] config.json could not be parsed; running with defaults (file left untouched)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    LaunchResult r = Launch(c.config);
    EXPECT_EQ(r.log.find("starting (release build)") != std::string::npos, c.infoShown) << r.log;
    if (c.warning) EXPECT_EQ(Count(r.log, c.warning), 1) << r.log;
    else EXPECT_EQ(r.log.find("[WRN]"), std::string::npos) << r.log;
  }
}

TEST(GameBuildId, SizeAndStampFromTheFileAndTheImage) {
  EXPECT_EQ(FormatGameBuildId(987, 0x5F00AB12), "987-5f00ab12");
  EXPECT_EQ(FormatGameBuildId(0, 0xAB), "0-000000ab");

  fwtest::TempFolder folder;
  std::wstring exe = folder / L"Game.exe";
  ASSERT_TRUE(fwtest::WriteFile(exe, std::string(987, '\0')));
  // A loaded image: DOS header pointing at NT headers carrying the stamp.
  alignas(8) unsigned char image[512] = {};
  auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(image);
  dos->e_magic = IMAGE_DOS_SIGNATURE;
  dos->e_lfanew = 0x80;
  auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(image + 0x80);
  nt->Signature = IMAGE_NT_SIGNATURE;
  nt->FileHeader.TimeDateStamp = 0x5F00AB12;
  EXPECT_EQ(ComputeGameBuildId(exe, image), "987-5f00ab12");
  EXPECT_EQ(ComputeGameBuildId(folder / L"missing.exe", image), "0-5f00ab12");
  EXPECT_EQ(ComputeGameBuildId(L"", image), "unknown");

  EXPECT_TRUE(std::regex_match(GameBuildId(), std::regex("[0-9]+-[0-9a-f]{8}"))) << GameBuildId();
  EXPECT_EQ(&GameBuildId(), &GameBuildId());
}

TEST(OnReady, HandlersWaitForFiringThenPostInOrderAndWaveFourFollowsWaveThree) {
  SetGameThreadId(GetCurrentThreadId());
  // No engine in this process: the first wave must not ask the game for its save slot.
  bh::coop::testing::SetSaveSlotSource(nullptr);
  fwtest::LogCapture capture;
  // The two start-up waves registered themselves during static initialisation.
  EXPECT_EQ(bh::core::testing::PendingOnReadyCount(), 2u);
  std::vector<int> order;
  RegisterOnReady([&] { order.push_back(1); });
  RegisterOnReady(std::function<void()>());  // ignored
  EXPECT_EQ(bh::core::testing::PendingOnReadyCount(), 3u);
  RunPostedTasks();
  EXPECT_TRUE(order.empty());

  EXPECT_EQ(bh::core::testing::FireOnReady(), 3u);
  RegisterOnReady([&] { order.push_back(2); });  // after firing: posted at once
  RunPostedTasks();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(capture.count("[INF] [bootstrap] WO-3 modules ready (Fenwarden 1.0.2, game build "), 1) << capture.all();
  EXPECT_EQ(capture.count("WO-4 modules ready"), 0);
  RunPostedTasks();
  EXPECT_EQ(capture.count("[INF] [bootstrap] WO-4 modules ready (rules, enemy sync, summon)"), 1);
}
