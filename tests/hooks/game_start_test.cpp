// game.exe with Fenwarden.dll: the start-up runs end to end through the real
// detours, and the builds and switches that change what gets hooked.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

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

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// Each text found after the previous one; returns where the last one starts.
std::size_t ExpectInOrder(const std::string& log, const std::vector<std::string>& texts) {
  std::size_t at = 0;
  for (const std::string& text : texts) {
    std::size_t found = log.find(text, at);
    EXPECT_NE(found, std::string::npos) << "missing (in this order): " << text << "\n" << log;
    if (found == std::string::npos) return std::string::npos;
    at = found;
  }
  return at;
}

// Milliseconds of the day of the log line containing text (-1 when absent).
long long LineTimeMs(const std::string& log, const std::string& text) {
  std::size_t at = log.find(text);
  if (at == std::string::npos) return -1;
  std::size_t start = log.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  int h, m, s, ms;
  if (std::sscanf(log.c_str() + start, "[%d:%d:%d.%d]", &h, &m, &s, &ms) != 4) return -1;
  return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

}  // namespace

TEST(GameStart, RunsEndToEndThroughTheDetours) {
  // Long enough for the whole start-up also on a loaded machine.
  GameRun r = RunGame(L"--seconds 16");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  // The initialisation thread's path, in order.
  ExpectInOrder(r.log, {
                           "] [INF] [core] Fenwarden 1.0.2 by Varrow starting (release build)\n",
                           "] [INF] [core] engine ready after ",
                           "] [INF] [hooks] ProcessEvent at 0x",
                           " (matches SDK Offsets)\n",
                           "] [INF] [hooks] ProcessInternal at 0x",
                           " (4/4 sampled script functions agree)\n",
                           "] [INF] [hooks] ProcessLocalScriptFunction at 0x",
                           " (known build RVA 0x11A7F50)\n",
                           "] [INF] [hooks] hooks installed (ProcessEvent, ProcessInternal, ProcessLocalScriptFunction)\n",
                           "] [INF] [core] 2 OnReady handler(s) posted to the game thread\n",
                           "] [INF] [core] core ready\n",
                           "] [INF] [core] game-thread pump confirmed on thread ",
                       });
  // The game thread's, from the pump the ProcessEvent detour drives. (Its first
  // call may come before the initialisation thread logs the OnReady line.)
  ExpectInOrder(r.log, {
                           "] [INF] [hooks] ProcessEvent detour live on game thread ",
                           "] [INF] [bootstrap] WO-3 modules ready (Fenwarden 1.0.2, game build ",
                           "] [INF] [bootstrap] WO-4 modules ready (rules, enemy sync, summon)\n",
                       });
  EXPECT_NE(r.log.find("] [INF] [hooks] ProcessInternal: FFrame layout verified (Node=ReceiveTick, Object == Context)\n"),
            std::string::npos)
      << r.log;
  EXPECT_NE(r.log.find("] [INF] [hooks] ProcessEvent also seen on non-game thread "), std::string::npos) << r.log;
  // WO-4 on a later pump pass: passes are a world frame (16 ms here) apart.
  EXPECT_GT(LineTimeMs(r.log, "WO-4 modules ready"), LineTimeMs(r.log, "WO-3 modules ready")) << r.log;
  // (The modules' own complaints, about a stand-in without Steam or a window, are theirs.)
  for (const char* absent : {"[WRN] [core]", "[ERR] [core]", "[WRN] [hooks]", "[ERR] [hooks]"})
    EXPECT_EQ(r.log.find(absent), std::string::npos) << absent << "\n" << r.log;
}

TEST(GameStart, BuildsAndSwitchesDecideWhatIsHooked) {
  struct Case {
    const wchar_t* args;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const std::string twoHooks = "] [INF] [hooks] hooks installed (ProcessEvent, ProcessInternal)\n";
  const std::string started = "] [INF] [bootstrap] WO-4 modules ready";
  const Case cases[] = {
      {L"--other-build",
       {"] [INF] [hooks] ProcessInternal at 0x1411a7e90 (4/4",
        "] [WRN] [hooks] ProcessInternal RVA 0x11A7E90 != known 0x11A7E40: unknown exe build, ProcessLocalScriptFunction NOT "
        "hooked. Hooks on Blueprint functions will only fire when entered via ProcessEvent (not BP->BP calls).\n",
        twoHooks, started},
       {"ProcessLocalScriptFunction at", "ProcessLocalScriptFunction: FFrame"}},
      {L"-BhCoop-NoPLSF",
       {"] [WRN] [hooks] -bhcoop-noplsf: ProcessLocalScriptFunction not hooked; BP->BP calls will not dispatch\n", twoHooks,
        started},
       {"ProcessLocalScriptFunction at", "unknown exe build"}},
      {L"--other-build -bhcoop-noplsf",
       {"-bhcoop-noplsf: ProcessLocalScriptFunction not hooked", twoHooks, started},
       {"unknown exe build"}},
      {L"--split-vote",
       {"] [INF] [hooks] ProcessInternal at 0x1411a7e40 (16/32 sampled script functions agree)\n",
        "] [ERR] [hooks] ProcessInternal vote is not a clear majority; refusing to hook\n",
        "] [ERR] [core] hook installation failed; Fenwarden stays inactive\n"},
       {"hooks installed", "OnReady", "detour live", "WO-3"}},
      {L"--moved-process-event",
       {"] [ERR] [hooks] ProcessEvent mismatch: vtable 0x1411a7c10 vs SDK Offsets 0x1411a7aa0 — SDK may be stale for this "
        "exe; using vtable\n",
        "hooks installed (ProcessEvent, ProcessInternal, ProcessLocalScriptFunction)\n", started,
        "game-thread pump confirmed"},
       {"matches SDK Offsets"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.args));
    GameRun r = RunGame(std::wstring(L"--seconds 14 ") + c.args);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (const std::string& text : c.present) EXPECT_NE(r.log.find(text), std::string::npos) << text << "\n" << r.log;
    for (const std::string& text : c.absent) EXPECT_EQ(r.log.find(text), std::string::npos) << text << "\n" << r.log;
  }
}

// A thread id that is not the engine's: the detours are in place but never
// see the game thread, so the pump never runs and nothing starts.
TEST(GameStart, WrongGameThreadGivesTheWarningAndNoPump) {
  GameRun r = RunGame(L"--seconds 24 --thread-id 4242");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ExpectInOrder(r.log, {
                           "game thread id 4242\n",
                           "] [INF] [hooks] hooks installed (ProcessEvent, ProcessInternal, ProcessLocalScriptFunction)\n",
                           "] [INF] [core] core ready\n",
                           "] [WRN] [core] game-thread pump has not run within 15 s; thread 4242 may not be the UE game thread\n",
                       });
  for (const char* absent : {"pump confirmed", "detour live on game thread", "WO-3", "FFrame"})
    EXPECT_EQ(r.log.find(absent), std::string::npos) << absent << "\n" << r.log;
}
