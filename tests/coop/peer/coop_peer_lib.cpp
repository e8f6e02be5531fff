// coop_peer_lib.dll: one player's co-op membership inside a game-like
// process, for the multi-process tests. Like Fenwarden.dll, it runs the
// "coop" ticker on the thread that plays the game thread: one frame every
// 16 ms, Steam pumped once per frame, then the posted tasks and tickers.
//
// Switches:
//   --host                  host a room once the session is ready
//   --join <lobby>          join a lobby once the session is ready
//   --seconds S             run for S seconds (default 8)
//   --save-slot N           the game's active save slot (default: none)
//   --rename-at S NAME      SetLocalName(NAME) at S seconds
//   --leave-at S            leave the room at S seconds
// Prints every log line as "log: ...", member changes as "member: +<slot> <name>"
// / "member: -<slot> <name>", and at the end the table as "slot <n>: <name> [local]".
#include <windows.h>

#include <cstdio>
#include <string>

#include "coop/coop.h"
#include "core/gamethread.h"
#include "core/log.h"
#include "core/text.h"
#include "net/session.h"

namespace {

void PrintLine(const char* line) {
  std::fputs("log: ", stdout);
  std::fputs(line, stdout);
  std::fflush(stdout);
}

int g_saveSlot = -1;
int SaveSlotSource() { return g_saveSlot; }

}  // namespace

extern "C" __declspec(dllexport) int CoopPeer_Run(int argc, wchar_t** argv) {
  bh::core::SetGameThreadId(GetCurrentThreadId());
  bh::core::testing::SetLogObserver(&PrintLine);
  bool host = false;
  std::uint64_t join = 0;
  double seconds = 8, renameAt = -1, leaveAt = -1;
  std::string rename;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    bool more = i + 1 < argc;
    if (a == L"--host") host = true;
    else if (a == L"--join" && more) join = _wcstoui64(argv[++i], nullptr, 10);
    else if (a == L"--seconds" && more) seconds = _wtof(argv[++i]);
    else if (a == L"--save-slot" && more) g_saveSlot = _wtoi(argv[++i]);
    else if (a == L"--leave-at" && more) leaveAt = _wtof(argv[++i]);
    else if (a == L"--rename-at" && i + 2 < argc) {
      renameAt = _wtof(argv[++i]);
      rename = bh::core::Utf8FromWide(argv[++i]);
    }
  }
  bh::coop::testing::SetSaveSlotSource(&SaveSlotSource);
  bh::coop::RegisterMemberListener([](const bh::coop::Member& m, bool joined) {
    std::printf("member: %c%d %s\n", joined ? '+' : '-', m.slot, m.name.c_str());
  });
  bh::coop::Init();

  auto run = reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"steam_api64.dll"), "SteamAPI_RunCallbacks"));
  const ULONGLONG start = GetTickCount64();
  ULONGLONG last = start;
  bool started = false, renamed = false, left = false;
  for (;;) {
    ULONGLONG now = GetTickCount64();
    double t = static_cast<double>(now - start) / 1000.0;
    if (t >= seconds) break;
    if (!started && bh::coop::SessionReady()) {
      started = true;
      if (host) bh::coop::GetSession().Host();
      if (join) bh::coop::GetSession().JoinLobby(join);
    }
    if (!renamed && renameAt >= 0 && t >= renameAt) {
      renamed = true;
      bh::coop::SetLocalName(rename);
    }
    if (!left && leaveAt >= 0 && t >= leaveAt) {
      left = true;
      bh::coop::GetSession().Leave();
    }
    if (run) run();
    bh::core::RunPostedTasks();
    bh::core::RunTickers(static_cast<float>(now - last) / 1000.0f);
    last = now;
    std::fflush(stdout);
    Sleep(16);
  }
  for (const bh::coop::Member& m : bh::coop::Members())
    if (m.used) std::printf("slot %d: %s%s\n", m.slot, m.name.c_str(), m.isLocal ? " [local]" : "");
  std::printf("peer: exiting\n");
  std::fflush(stdout);
  return 0;
}
