#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "net/steam_api.h"
#include "standin.h"
#include "support/log_capture.h"

using namespace bh::net;
using fwtest::LogCapture;
using fwtest::StandInSteam;

TEST(Binding, AbsentModuleWarnsOnceAndBindsOnceItIsLoaded) {
  LogCapture log;
  StandInSteam steam;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(BindSteamApi());
  EXPECT_FALSE(SteamModuleLoaded());
  EXPECT_EQ(SteamApiOrNull(), nullptr);
  EXPECT_EQ(log.count("[WRN] [net] steam_api64.dll is not loaded in this process; Steam transport unavailable"), 1);

  ASSERT_TRUE(steam.LoadAndInit());
  EXPECT_TRUE(SteamModuleLoaded());
  EXPECT_TRUE(BindSteamApi());
  EXPECT_TRUE(BindSteamApi());
  const steam::SteamApi* api = SteamApiOrNull();
  ASSERT_NE(api, nullptr);
  EXPECT_NE(api->GetLobbyMemberLimit, nullptr);
  EXPECT_EQ(api->GetSteamID(api->user), fwtest::Account(1));
  EXPECT_EQ(log.count("[INF] [net] Steam flat API ready"), 1);
  EXPECT_EQ(log.count("not loaded"), 1);
}

TEST(Binding, InterfacesNotReadyWarnOnceThenBindWithoutWarningAgain) {
  LogCapture log;
  StandInSteam steam;
  SetEnvironmentVariableA("FWSTEAM_NULL_INTERFACES_SECONDS", "1");
  ASSERT_TRUE(steam.LoadAndInit());
  EXPECT_FALSE(BindSteamApi());
  EXPECT_FALSE(BindSteamApi());
  EXPECT_EQ(log.count("[WRN] [net] Steam interfaces not ready (matchmaking=false messages=false friends=false "
                      "user=false utils=false); is SteamAPI initialized? will retry"),
            1);
  Sleep(1100);
  EXPECT_TRUE(BindSteamApi());
  EXPECT_EQ(log.count("Steam interfaces not ready"), 1);
  EXPECT_EQ(log.count("Steam flat API ready"), 1);
}

TEST(Binding, MissingRequiredExportFailsForTheRestOfTheRun) {
  LogCapture log;
  StandInSteam steam;
  ASSERT_TRUE(steam.Load(L"no-setlobbydata"));
  ASSERT_TRUE(steam.Init());
  EXPECT_FALSE(BindSteamApi());
  EXPECT_FALSE(BindSteamApi());
  EXPECT_EQ(SteamApiOrNull(), nullptr);
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u) << log.all();
  EXPECT_NE(lines[0].find("[ERR] [net] steam_api64.dll does not export SteamAPI_ISteamMatchmaking_SetLobbyData"),
            std::string::npos);
  EXPECT_NE(lines[1].find("[ERR] [net] Steam flat API incomplete; Steam networking disabled for this run"),
            std::string::npos);
}

TEST(Binding, MissingOptionalExportOnlyWarns) {
  LogCapture log;
  StandInSteam steam;
  ASSERT_TRUE(steam.Load(L"no-memberlimit"));
  ASSERT_TRUE(steam.Init());
  EXPECT_TRUE(BindSteamApi());
  ASSERT_NE(SteamApiOrNull(), nullptr);
  EXPECT_EQ(SteamApiOrNull()->GetLobbyMemberLimit, nullptr);
  EXPECT_EQ(log.count("[WRN] [net] steam_api64.dll does not export optional SteamAPI_ISteamMatchmaking_GetLobbyMemberLimit"), 1);
}

TEST(Binding, ConcurrentFirstBindsAgreeAndLogOnce) {
  LogCapture log;
  StandInSteam steam;
  ASSERT_TRUE(steam.LoadAndInit());
  std::atomic<int> bound{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { bound += BindSteamApi(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bound.load(), 8);
  EXPECT_EQ(log.count("Steam flat API ready"), 1);
}
