// net_peer_lib.dll: a player's session inside a game-like process, for the
// multi-process tests. Like Fenwarden.dll in the game, it lives in a DLL of
// its own (so process exit tears it down the way it tears the library down),
// finds the steam_api64.dll the process loaded, and runs the session on the
// calling thread, which plays the game thread: one frame every 16 ms, Steam
// pumped once per frame, then the session's tick.
//
// Switches (after the executable name; anything else, such as
// "+connect_lobby <id>", is left for the session to read):
//   --host                 host a lobby
//   --join <lobby>         join a lobby
//   --seconds S            run for S seconds (default 5)
//   --timeout-ms T         peer timeout (default 10000)
//   --chatter-hz H         send a 24-byte unreliable message to every connected peer H times a second
//   --stall-at S --stall-for D   stop the frame loop at S seconds for D seconds
//   --leave-at S           Leave() at S seconds
//   --exit-running         return without shutting the session down (the process then exits with it running)
// Prints one line per event: "peer: state <name>", "peer: +<id>", "peer: -<id>",
// every log line as "log: ...", and at the end "peer: received <n> chatter from <id>".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/gamethread.h"
#include "core/log.h"
#include "net/clock.h"
#include "net/session.h"

using namespace bh::net;

namespace {

void PrintLine(const char* line) {
  std::fputs("log: ", stdout);
  std::fputs(line, stdout);
  std::fflush(stdout);
}

// The session lives as long as the module: at process exit its destructor
// runs after Windows has ended every other thread, as Fenwarden's would.
Session g_session;

}  // namespace

extern "C" __declspec(dllexport) int NetPeer_Run(int argc, wchar_t** argv) {
  bh::core::SetGameThreadId(GetCurrentThreadId());
  bh::core::testing::SetLogObserver(&PrintLine);
  bool host = false, exitRunning = false;
  std::uint64_t join = 0;
  double seconds = 5, stallAt = -1, stallFor = 0, leaveAt = -1, chatterHz = 0;
  SessionConfig config;
  config.modName = "Fenwarden";
  config.modAuthor = "Varrow";
  config.modVersion = "1.0.2";
  config.gameBuild = "4242-0badf00d";
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    bool more = i + 1 < argc;
    if (a == L"--host") host = true;
    else if (a == L"--join" && more) join = _wcstoui64(argv[++i], nullptr, 10);
    else if (a == L"--seconds" && more) seconds = _wtof(argv[++i]);
    else if (a == L"--timeout-ms" && more) config.timeoutMs = _wtoi(argv[++i]);
    else if (a == L"--chatter-hz" && more) chatterHz = _wtof(argv[++i]);
    else if (a == L"--stall-at" && more) stallAt = _wtof(argv[++i]);
    else if (a == L"--stall-for" && more) stallFor = _wtof(argv[++i]);
    else if (a == L"--leave-at" && more) leaveAt = _wtof(argv[++i]);
    else if (a == L"--exit-running") exitRunning = true;
  }

  std::map<std::uint64_t, int> chatter;
  std::vector<std::uint64_t> peers;
  g_session.onStateChanged = [](SessionState s) { std::printf("peer: state %s\n", SessionStateName(s)); };
  g_session.onPeerConnected = [&](std::uint64_t p) {
    peers.push_back(p);
    std::printf("peer: +%llu\n", static_cast<unsigned long long>(p));
  };
  g_session.onPeerDisconnected = [&](std::uint64_t p) {
    std::erase(peers, p);
    std::printf("peer: -%llu\n", static_cast<unsigned long long>(p));
  };
  g_session.onPacket = [&](const Packet& p) {
    if (p.bytes[0] == 0x10) ++chatter[p.from];
  };

  // The session's Init retries the binding as the membership layer would every 2 s.
  bool ready = false;
  for (int attempt = 0; attempt < 5 && !(ready = g_session.Init(config)); ++attempt) Sleep(2000);
  if (!ready) {
    std::printf("peer: init failed: %s\n", g_session.FailureReason().c_str());
    return 2;
  }
  std::printf("peer: ready as %llu\n", static_cast<unsigned long long>(g_session.LocalId()));
  std::fflush(stdout);
  if (host) g_session.Host();
  if (join) g_session.JoinLobby(join);

  auto run = reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"steam_api64.dll"), "SteamAPI_RunCallbacks"));
  const std::int64_t start = MonotonicNs();
  std::int64_t nextChatter = start;
  bool stalled = false, left = false;
  std::uint8_t message[24] = {0x10};
  for (;;) {
    double t = static_cast<double>(MonotonicNs() - start) / kNsPerSecond;
    if (t >= seconds) break;
    if (!stalled && stallAt >= 0 && t >= stallAt) {
      stalled = true;
      std::printf("peer: stalling for %.1f s\n", stallFor);
      std::fflush(stdout);
      Sleep(static_cast<DWORD>(stallFor * 1000));
    }
    if (!left && leaveAt >= 0 && t >= leaveAt) {
      left = true;
      g_session.Leave();
    }
    if (run) run();
    g_session.Tick();
    if (chatterHz > 0 && MonotonicNs() >= nextChatter) {
      nextChatter += static_cast<std::int64_t>(kNsPerSecond / chatterHz);
      for (std::uint64_t p : peers) g_session.Send(p, kUnreliableChannel, message, sizeof message);
    }
    std::fflush(stdout);
    Sleep(16);
  }
  for (auto& [from, n] : chatter)
    std::printf("peer: received %d chatter from %llu\n", n, static_cast<unsigned long long>(from));
  std::printf("peer: state at end %s\n", SessionStateName(g_session.State()));
  if (!exitRunning) g_session.Shutdown();
  std::printf("peer: exiting\n");
  std::fflush(stdout);
  return 0;
}
