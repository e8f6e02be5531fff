// Several player processes (net_peer.exe) playing together through a broker
// hosted by the test. Each test waits in real time (Wine process starts,
// Steam's delays, time-outs), so they are written to run in parallel.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "standin.h"
#include "support/temp_folder.h"

using fwtest::Account;
using fwtest::Json;
using fwtest::StandInSteam;

namespace {

std::wstring TestsFolder() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder(self, n);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// One player process, run in the background.
class Peer {
 public:
  Peer(StandInSteam& steam, int account, const std::string& args, unsigned timeoutMs = 90000) {
    std::wstring line = L"\"" + TestsFolder() + L"\\net_peer.exe\" " + Wide(args);
    std::wstring env = L"FWSTEAM_BROKER=" + std::to_wstring(steam.Port()) + L"\nFWSTEAM_ACCOUNT=" +
                       std::to_wstring(account);
    thread_ = std::thread([this, line, env, timeoutMs] { result_ = fwtest::RunProcess(line, env, timeoutMs); });
  }
  ~Peer() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& Output() {
    if (thread_.joinable()) thread_.join();
    return result_.output;
  }
  int ExitCode() {
    Output();
    return result_.exitCode;
  }
  int Count(const std::string& text) {
    const std::string& out = Output();
    int n = 0;
    for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  }
  bool Has(const std::string& text) { return Count(text) > 0; }
  // What "peer: received <n> chatter from <id>" says, or -1.
  int ChatterFrom(std::uint64_t id) {
    std::string key = "peer: received ";
    const std::string& out = Output();
    std::string tail = fmt::format(" chatter from {}", id);  // lines end in CR LF here
    std::size_t end = out.find(tail);
    if (end == std::string::npos) return -1;
    std::size_t begin = out.rfind(key, end);
    return std::stoi(out.substr(begin + key.size(), end - begin - key.size()));
  }

 private:
  std::thread thread_;
  fwtest::ProcessResult result_;
};

// Waits for the lobby the account owns to appear; 0 when it does not.
std::uint64_t WaitForLobby(StandInSteam& steam, int owner, int timeoutMs = 30000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    Json reply = steam.Cmd("lobbies");
    for (const Json& l : reply["lobbies"])
      if (l["owner"] == Account(owner)) return l["lobby"].get<std::uint64_t>();
    Sleep(100);
  }
  return 0;
}

// Waits until the lobby has n members.
bool WaitForMembers(StandInSteam& steam, std::uint64_t lobby, std::size_t n, int timeoutMs = 30000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    Json reply = steam.Cmd("lobby {}", lobby);
    if (reply["members"].size() >= n) return true;
    Sleep(100);
  }
  return false;
}

std::string Connected(int account) { return fmt::format("peer: +{}", Account(account)); }

}  // namespace

TEST(Multiprocess, GuestsJoinByCommandLineAndTheFifthFindsTheRoomFull) {
  StandInSteam steam;
  steam.Cmd("account 1 english Hostess");
  steam.Cmd("set allow_overfill 1");
  Peer host(steam, 1, "--host --seconds 22 --chatter-hz 20");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Json state;
  for (int i = 0; i < 50 && (state = steam.Cmd("lobby {}", lobby))["data"].size() < 5; ++i) Sleep(100);
  EXPECT_EQ(state["data"], (Json{{"fw_mod", "Fenwarden"}, {"fw_author", "Varrow"}, {"fw_ver", "1.0.2"},
                                  {"game_build", "4242-0badf00d"}, {"host_name", "Hostess"}}));
  EXPECT_EQ(steam.Cmd("presence 1")["presence"],
            (Json{{"connect", fmt::format("+connect_lobby {}", lobby)}, {"status", "Fenwarden co-op"}}));

  Peer spaced(steam, 2, fmt::format("--seconds 14 --chatter-hz 20 +connect_lobby {}", lobby));
  Peer equals(steam, 3, fmt::format("--seconds 14 --chatter-hz 20 +connect_lobby={}", lobby));
  Peer quoted(steam, 4, fmt::format("--seconds 14 --chatter-hz 20 +connect_lobby \"{}\"", lobby));
  ASSERT_TRUE(WaitForMembers(steam, lobby, 4)) << host.Output();
  // It is gone before the others leave, so the room never frees up for it.
  Peer fifth(steam, 5, fmt::format("--seconds 4 +connect_lobby {}", lobby));

  for (Peer* guest : {&spaced, &equals, &quoted}) {
    EXPECT_TRUE(guest->Has(fmt::format("session: command line asks to join lobby {}", lobby))) << guest->Output();
    EXPECT_TRUE(guest->Has("peer: state Connected")) << guest->Output();
    EXPECT_EQ(guest->Count(fmt::format("steam: opening session with {}", Account(1))), 1);
    EXPECT_GT(guest->ChatterFrom(Account(1)), 60) << guest->Output();
    EXPECT_EQ(guest->Count("failed"), 0);
  }
  for (int n : {2, 3, 4}) {
    EXPECT_TRUE(host.Has(Connected(n))) << host.Output();
    EXPECT_EQ(host.Count(fmt::format("steam: opening session with {}", Account(n))), 1) << "one opener per peer";
  }
  EXPECT_EQ(host.Count(fmt::format("[WRN] [net] session: room is full (4), ignoring {:016x}", Account(5))), 1)
      << host.Output();
  EXPECT_FALSE(host.Has(Connected(5)));
  // The refused guest still hears the host's heartbeats (the host sends them to
  // every member it opened), so it may count itself connected; the host never
  // admits it, and drops what it sends.
  EXPECT_TRUE(fifth.Has("peer: ready as")) << fifth.Output();
  EXPECT_EQ(host.ExitCode(), 0);
}

TEST(Multiprocess, InvitationRichPresenceJoinAndAnInvitationWhileHosting) {
  StandInSteam steam;
  Peer host(steam, 1, "--host --seconds 14");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Peer invited(steam, 2, "--seconds 9");
  Peer friendOfHost(steam, 3, "--seconds 9");
  // Both must be logged on before Steam can deliver to them.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (steam.Cmd("clients")["clients"].size() < 3 && std::chrono::steady_clock::now() < end) Sleep(100);
  Sleep(500);
  steam.Cmd("invite 1 2 {}", lobby);
  steam.Cmd("richjoin 1 3");
  std::uint64_t other = steam.Cmd("vcreate 9 4")["lobby"].get<std::uint64_t>();
  steam.Cmd("invite 9 1 {}", other);

  EXPECT_TRUE(invited.Has(fmt::format("session: lobby join request -> lobby {}", lobby))) << invited.Output();
  EXPECT_TRUE(invited.Has("peer: state Connected"));
  EXPECT_TRUE(friendOfHost.Has(fmt::format("session: rich presence join -> lobby {}", lobby))) << friendOfHost.Output();
  EXPECT_TRUE(friendOfHost.Has("peer: state Connected"));
  EXPECT_TRUE(host.Has(fmt::format("session: lobby join request -> lobby {}", other))) << host.Output();
  EXPECT_TRUE(host.Has("peer: state at end Hosting"));
  EXPECT_TRUE(host.Has(Connected(2)) && host.Has(Connected(3)));
}

TEST(Multiprocess, SessionsSurviveLossAndLatency) {
  StandInSteam steam;
  steam.Cmd("impair * * loss=0.1 latency=150 jitter=30 rlatency=150");
  Peer host(steam, 1, "--host --seconds 24 --chatter-hz 20");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Peer a(steam, 2, fmt::format("--seconds 18 --chatter-hz 20 +connect_lobby {}", lobby));
  Peer b(steam, 3, fmt::format("--seconds 18 --chatter-hz 20 +connect_lobby {}", lobby));
  for (Peer* guest : {&a, &b}) {
    EXPECT_TRUE(guest->Has("peer: state at end Connected")) << guest->Output();
    EXPECT_EQ(guest->Count("failed"), 0);
    int got = guest->ChatterFrom(Account(1));
    EXPECT_GT(got, 150) << "about 90 % of 20 a second for most of 18 s";
  }
  // The guests leave before the host does; nobody times out.
  EXPECT_EQ(host.Count("disconnected (timed out)"), 0) << host.Output();
  EXPECT_TRUE(host.Has(Connected(2)) && host.Has(Connected(3)));
}

TEST(Multiprocess, SilenceAndLeavingEndTheGuestsButNotTheHost) {
  StandInSteam steam;
  Peer host(steam, 1, "--host --seconds 20 --timeout-ms 3000 --leave-at 15");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Peer cutOff(steam, 2, fmt::format("--seconds 17 --timeout-ms 3000 +connect_lobby {}", lobby));
  Peer stays(steam, 3, fmt::format("--seconds 19 --timeout-ms 3000 +connect_lobby {}", lobby));
  ASSERT_TRUE(WaitForMembers(steam, lobby, 3));
  Sleep(3000);  // both connected
  steam.Cmd("cut 2 1");

  EXPECT_TRUE(host.Has(fmt::format("session: peer {:016x} disconnected (timed out)", Account(2)))) << host.Output();
  EXPECT_TRUE(host.Has("peer: state Idle")) << "after its own Leave";
  EXPECT_FALSE(host.Has("peer: state Failed"));
  EXPECT_TRUE(cutOff.Has("[WRN] [net] session: failed: host lost")) << cutOff.Output();
  EXPECT_TRUE(stays.Has("[WRN] [net] session: failed: host left the lobby")) << stays.Output();
  EXPECT_FALSE(stays.Has("host lost"));
}

TEST(Multiprocess, SessionRequestFromANonMemberIsDroppedAfter30Seconds) {
  StandInSteam steam;
  steam.Cmd("virtual 9");
  Peer host(steam, 1, "--host --seconds 40");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  steam.Cmd("vsend 9 1 1 fa");
  EXPECT_EQ(host.Count(fmt::format("[INF] [net] steam: ignored session request from {} (not a lobby member we opened)",
                                   Account(9))),
            1)
      << host.Output();
  EXPECT_FALSE(host.Has(fmt::format("accept session from {}", Account(9))));
}

TEST(Multiprocess, AStalledGameThreadKeepsItsPeers) {
  StandInSteam steam;
  Peer host(steam, 1, "--host --seconds 22 --stall-at 6 --stall-for 10 --chatter-hz 10");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Peer guest(steam, 2, fmt::format("--seconds 20 --chatter-hz 10 +connect_lobby {}", lobby));
  EXPECT_TRUE(host.Has("[INF] [net] session: game thread was stalled for 10.")) << host.Output();
  EXPECT_EQ(host.Count("disconnected (timed out)"), 0);
  EXPECT_EQ(guest.Count("failed"), 0) << guest.Output();
  EXPECT_TRUE(guest.Has("peer: state at end Connected"));
}

TEST(Multiprocess, ProcessExitsCleanlyWithTheSessionRunning) {
  StandInSteam steam;
  Peer host(steam, 1, "--host --seconds 4 --exit-running");
  EXPECT_TRUE(host.Has("peer: state Hosting")) << host.Output();
  EXPECT_TRUE(host.Has("peer: exiting"));
  EXPECT_EQ(host.ExitCode(), 0) << host.Output();
}

TEST(Multiprocess, WithoutSteamTheBindingWarnsOnceAcrossRetries) {
  StandInSteam steam;
  Peer lone(steam, 1, "--no-steam --seconds 1");
  EXPECT_TRUE(lone.Has("peer: init failed: Steam API unavailable")) << lone.Output();
  EXPECT_EQ(lone.Count("steam_api64.dll is not loaded in this process; Steam transport unavailable"), 1);
}
