#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/clock.h"
#include "net/session.h"
#include "standin.h"
#include "support/log_capture.h"

using namespace bh::net;
using fwtest::Account;
using fwtest::Json;
using fwtest::LogCapture;
using fwtest::OnGameThread;
using fwtest::StandInSteam;

namespace {

// Our side is account 1 ("Alice"); everyone else is a virtual account of the broker.
struct SessionFixture : ::testing::Test {
  OnGameThread game;
  StandInSteam steam;
  Session session;
  SessionConfig config;
  std::vector<std::string> events;  // what the membership layer would have been told
  std::vector<Packet> packets;

  void SetUp() override {
    steam.Cmd("account 1 english Alice");
    for (int n = 2; n <= 9; ++n) steam.Cmd("virtual {}", n);
    config.modName = "Fenwarden";
    config.modAuthor = "Varrow";
    config.modVersion = "1.0.2";
    config.gameBuild = "4242-0badf00d";
    session.onPeerConnected = [&](std::uint64_t p) { events.push_back(fmt::format("+{}", p - Account(0))); };
    session.onPeerDisconnected = [&](std::uint64_t p) { events.push_back(fmt::format("-{}", p - Account(0))); };
    session.onStateChanged = [&](SessionState s) { events.push_back(SessionStateName(s)); };
    session.onPacket = [&](const Packet& p) { packets.push_back(p); };
  }
  void TearDown() override { session.Shutdown(); }

  bool Start(bool init = true) {
    if (init && !steam.LoadAndInit(1)) return false;
    return session.Init(config);
  }
  void Frame() {
    steam.RunCallbacks();
    session.Tick();
  }
  bool FrameUntil(const std::function<bool()>& done, int ms = 5000) {
    return fwtest::PumpUntil([&] { Frame(); }, done, ms);
  }
  bool Reach(SessionState s, int ms = 5000) {
    return FrameUntil([&] { return session.State() == s; }, ms);
  }
  std::uint64_t HostLobby() {
    session.Host();
    EXPECT_TRUE(Reach(SessionState::Hosting));
    Json reply = steam.Cmd("lobbies");
    for (const Json& l : reply["lobbies"])
      if (l["owner"] == Account(1)) return l["lobby"].get<std::uint64_t>();
    ADD_FAILURE() << "no lobby of ours";
    return 0;
  }
  // A virtual account joins our lobby and says hello with a heartbeat until we have it.
  void GuestJoins(int n, std::uint64_t lobby) {
    EXPECT_EQ(steam.Cmd("vjoin {} {}", n, lobby)["response"], 1);
    std::string mark = fmt::format("+{}", n);
    FrameUntil([&] {
      steam.Cmd("vsend {} 1 1 fa", n);
      return std::count(events.begin(), events.end(), mark) > 0;
    });
  }
  // A virtual host's lobby for us to join.
  std::uint64_t VirtualLobby(int host, const char* mod = "Fenwarden") {
    std::uint64_t lobby = steam.Cmd("vcreate {} 4", host)["lobby"].get<std::uint64_t>();
    steam.Cmd("vsetdata {} {} fw_mod {}", host, lobby, mod);
    return lobby;
  }
};

}  // namespace

TEST_F(SessionFixture, HostPublishesTheLobbyAndRichPresence) {
  LogCapture log;
  ASSERT_TRUE(Start());
  std::uint64_t lobby = HostLobby();
  Json state = steam.Cmd("lobby {}", lobby);
  EXPECT_EQ(state["owner"], Account(1));
  EXPECT_EQ(state["type"], 1);
  EXPECT_EQ(state["limit"], 4);
  EXPECT_EQ(state["data"], (Json{{"fw_mod", "Fenwarden"},
                                  {"fw_author", "Varrow"},
                                  {"fw_ver", "1.0.2"},
                                  {"game_build", "4242-0badf00d"},
                                  {"host_name", "Alice"}}));
  EXPECT_EQ(steam.Cmd("presence 1")["presence"],
            (Json{{"connect", fmt::format("+connect_lobby {}", lobby)}, {"status", "Fenwarden co-op"}}));
  EXPECT_EQ(events, (std::vector<std::string>{"CreatingLobby", "Hosting"}));
  EXPECT_TRUE(log.contains(fmt::format("[INF] [net] session: hosting Steam lobby {}", lobby)));
  EXPECT_TRUE(log.contains("[INF] [net] session: Idle -> CreatingLobby"));
  EXPECT_EQ(session.HostId(), Account(1));

  session.Leave();
  // Leaving and clearing are posted to Steam without an answer: wait for the broker to see them.
  EXPECT_TRUE(fwtest::PumpUntil([] {}, [&] {
    return steam.Cmd("presence 1")["presence"].empty() && steam.Cmd("lobbies")["lobbies"].empty();
  }));
  EXPECT_TRUE(log.contains(fmt::format("session: left lobby {}", lobby)));
}

TEST_F(SessionFixture, HostAdmitsThreeGuestsRefusesTheFourthAndFiltersHeartbeats) {
  LogCapture log;
  steam.Cmd("set allow_overfill 1");
  ASSERT_TRUE(Start());
  std::uint64_t lobby = HostLobby();
  for (int n = 2; n <= 4; ++n) GuestJoins(n, lobby);
  EXPECT_EQ(events, (std::vector<std::string>{"CreatingLobby", "Hosting", "+2", "+3", "+4"}));

  steam.Cmd("vjoin 5 {}", lobby);
  FrameUntil([&] { return log.contains(fmt::format("session: new lobby member {}", Account(5))); });
  for (int i = 0; i < 3; ++i) {
    steam.Cmd("vsend 5 1 1 fa");
    fwtest::PumpFor([&] { Frame(); }, 100);
  }
  EXPECT_EQ(log.count(fmt::format("[WRN] [net] session: room is full (4), ignoring {:016x}", Account(5))), 1);
  EXPECT_EQ(events.size(), 5u);

  steam.Cmd("vsend 2 1 1 fa");
  steam.Cmd("vsend 2 1 0 0701");
  steam.Cmd("vsend 5 1 0 0702");  // refused peer: dropped
  FrameUntil([&] { return !packets.empty(); });
  fwtest::PumpFor([&] { Frame(); }, 100);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].from, Account(2));
  EXPECT_EQ(packets[0].channel, 0);
  EXPECT_EQ(packets[0].bytes, (std::vector<std::uint8_t>{0x07, 0x01}));
  // Each admitted guest got the opener once and heartbeats after.
  std::vector<fwtest::VirtualMessage> toGuest = steam.Received(3);
  EXPECT_EQ(std::count_if(toGuest.begin(), toGuest.end(), [](auto& m) { return m.channel == 0 && m.hex == "fa"; }), 1);
  EXPECT_GE(std::count_if(toGuest.begin(), toGuest.end(), [](auto& m) { return m.channel == 1 && m.hex == "fa"; }), 1);
}

TEST_F(SessionFixture, PeerHeardBeforeTheMemberSyncIsRefusedThenAcceptedAfterIt) {
  steam.Cmd("set unsolicited 1");  // let the message through Steam without a session
  ASSERT_TRUE(Start());
  std::uint64_t lobby = HostLobby();
  steam.Cmd("vsend 2 1 1 0703");
  fwtest::PumpFor([&] { Frame(); }, 300);
  EXPECT_TRUE(packets.empty());
  EXPECT_EQ(events.size(), 2u);

  GuestJoins(2, lobby);
  steam.Cmd("vsend 2 1 1 0704");
  FrameUntil([&] { return !packets.empty(); });
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].bytes[1], 0x04);
}

TEST_F(SessionFixture, HostKeepsHostingWhenGuestsTimeOutOrLeave) {
  LogCapture log;
  config.timeoutMs = 400;
  ASSERT_TRUE(Start());
  std::uint64_t lobby = HostLobby();
  GuestJoins(2, lobby);
  GuestJoins(3, lobby);
  // 3 keeps talking, 2 falls silent.
  FrameUntil([&] {
    steam.Cmd("vsend 3 1 1 fa");
    return std::count(events.begin(), events.end(), "-2") > 0;
  });
  EXPECT_TRUE(log.contains(fmt::format("[INF] [net] session: peer {:016x} disconnected (timed out)", Account(2))));
  steam.Cmd("vleave 3 {}", lobby);
  FrameUntil([&] { return std::count(events.begin(), events.end(), "-3") > 0; }, 2000);
  EXPECT_TRUE(log.contains(fmt::format("session: peer {:016x} disconnected (left the lobby)", Account(3))));
  EXPECT_EQ(session.State(), SessionState::Hosting);
}

TEST_F(SessionFixture, GuestEntersConnectsAndSendsToTheHost) {
  LogCapture log;
  ASSERT_TRUE(Start());
  std::uint64_t lobby = VirtualLobby(2);
  session.JoinLobby(lobby);
  ASSERT_TRUE(Reach(SessionState::Connecting));
  EXPECT_TRUE(log.contains(fmt::format("[INF] [net] session: entered lobby {}, host {}", lobby, Account(2))));
  FrameUntil([&] {
    steam.Cmd("vsend 2 1 1 fa");
    return session.State() == SessionState::Connected;
  });
  EXPECT_EQ(events, (std::vector<std::string>{"JoiningLobby", "Connecting", "Connected", "+2"}));
  EXPECT_EQ(session.HostId(), Account(2));
  EXPECT_TRUE(log.contains(fmt::format("session: connected to host {:016x}", Account(2))));
  const std::uint8_t hello[] = {0x01, 0x02};
  EXPECT_TRUE(session.Send(Account(2), 0, hello, 2));
  bool arrived = fwtest::PumpUntil([] {}, [&] {
    std::vector<fwtest::VirtualMessage> got = steam.Received(2);
    return std::any_of(got.begin(), got.end(), [](auto& m) { return m.channel == 0 && m.hex == "0102"; });
  });
  EXPECT_TRUE(arrived);
}

TEST_F(SessionFixture, GuestFailures) {
  struct Case {
    const char* name;
    std::function<std::uint64_t()> lobby;     // what to join
    std::function<void(std::uint64_t)> then;  // what the host does once we are connecting
    std::string reason;
  };
  config.timeoutMs = 400;
  ASSERT_TRUE(Start());
  std::uint64_t ownLobby = 0;
  Case cases[] = {
      {"host never answers", [&] { return VirtualLobby(2); }, [](std::uint64_t) {}, "host did not respond"},
      {"host falls silent", [&] { return VirtualLobby(3); },
       [&](std::uint64_t) {
         FrameUntil([&] {
           steam.Cmd("vsend 3 1 1 fa");
           return session.State() == SessionState::Connected;
         });
       },
       "host lost"},
      {"host leaves the lobby", [&] { return VirtualLobby(4); },
       [&](std::uint64_t lobby) { steam.Cmd("vleave 4 {}", lobby); }, "host left the lobby"},
      {"no such lobby", [&] { return fwsteam::kLobbyBase + 999; }, [](std::uint64_t) {},
       "JoinLobby failed (response 2, ioFailure false)"},
      {"we own it", [&] {
         const steam::SteamApi* api = SteamApiOrNull();
         steam::ApiCall call = api->CreateLobby(api->matchmaking, 1, 4);
         bool io = false;
         FrameUntil([&] { return api->IsAPICallCompleted(api->utils, call, &io); });
         steam::LobbyCreated_t created{};
         api->GetAPICallResult(api->utils, call, &created, sizeof created, steam::kLobbyCreatedId, &io);
         return ownLobby = created.lobby;
       },
       [](std::uint64_t) {}, "lobby has no other owner to connect to"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    std::uint64_t lobby = c.lobby();
    session.JoinLobby(lobby);
    FrameUntil([&] { return session.State() != SessionState::JoiningLobby; });
    c.then(lobby);
    ASSERT_TRUE(Reach(SessionState::Failed, 3000));
    EXPECT_EQ(session.FailureReason(), c.reason);
    EXPECT_EQ(log.count("[WRN] [net] session: failed: " + c.reason), 1);
    session.Leave();
    EXPECT_EQ(session.State(), SessionState::Idle);
    EXPECT_EQ(session.FailureReason(), c.reason) << "the reason stays until the next role starts";
  }
}

TEST_F(SessionFixture, LobbyOfAnotherModIsTriedWithAWarning) {
  LogCapture log;
  ASSERT_TRUE(Start());
  std::uint64_t lobby = VirtualLobby(2, "OtherMod");
  session.JoinLobby(lobby);
  ASSERT_TRUE(Reach(SessionState::Connecting));
  EXPECT_EQ(log.count(fmt::format("[WRN] [net] session: lobby {} has fw_mod='OtherMod' (expected 'Fenwarden'); trying "
                                  "anyway (the host checks the Hello)",
                                  lobby)),
            1);
}

TEST_F(SessionFixture, InvitationsRichPresenceAndInvalidIds) {
  LogCapture log;
  ASSERT_TRUE(Start());
  std::uint64_t lobbyA = VirtualLobby(2), lobbyB = VirtualLobby(3);

  steam.Cmd("invite 9 1 123");
  fwtest::PumpFor([&] { Frame(); }, 100);
  EXPECT_EQ(log.count("[WRN] [net] session: lobby join request gave an invalid lobby id 123"), 1);

  steam.Cmd("richjoin 9 1 -nothing here\x01");
  fwtest::PumpFor([&] { Frame(); }, 100);
  EXPECT_EQ(log.count("[INF] [net] session: rich presence join without +connect_lobby: '-nothing here?'"), 1);

  steam.Cmd("richjoin 2 1 +connect_lobby {}", lobbyA);
  ASSERT_TRUE(Reach(SessionState::Connecting));
  EXPECT_TRUE(log.contains(fmt::format("[INF] [net] session: rich presence join -> lobby {}", lobbyA)));

  // Busy: an invitation is kept for the menu, the room stays.
  steam.Cmd("invite 3 1 {}", lobbyB);
  FrameUntil([&] { return session.PendingInvite() != 0; }, 2000);
  EXPECT_EQ(session.PendingInvite(), lobbyB);
  EXPECT_EQ(session.State(), SessionState::Connecting);

  session.Leave();
  session.JoinLobby(session.PendingInvite());
  EXPECT_EQ(session.PendingInvite(), 0u);
  EXPECT_TRUE(Reach(SessionState::Connecting));
  session.Leave();

  // And while hosting.
  HostLobby();
  steam.Cmd("invite 2 1 {}", lobbyA);
  FrameUntil([&] { return session.PendingInvite() == lobbyA; }, 2000);
  EXPECT_EQ(session.State(), SessionState::Hosting);
  EXPECT_TRUE(log.contains(fmt::format("session: lobby join request -> lobby {}", lobbyA)));
}

TEST_F(SessionFixture, LeavingWhileTheLobbyIsBeingCreatedLeavesItOnceCreated) {
  LogCapture log;
  ASSERT_TRUE(Start());
  session.Host();
  EXPECT_EQ(session.State(), SessionState::CreatingLobby);
  session.Leave();
  FrameUntil([&] { return log.contains("created by an abandoned Host()"); });
  EXPECT_EQ(log.count("[INF] [net] session: left lobby "), 1);
  EXPECT_TRUE(fwtest::PumpUntil([] {}, [&] { return steam.Cmd("lobbies")["lobbies"].empty(); }));
  EXPECT_EQ(session.State(), SessionState::Idle);
}

TEST_F(SessionFixture, InitRefusals) {
  LogCapture log;
  config.transport = 1;
  EXPECT_FALSE(session.Init(config));
  EXPECT_EQ(session.FailureReason(), "UDP transport is not available in this build");
  EXPECT_EQ(log.count("[WRN] [net] session: UDP transport is not available in this build"), 1);

  config.transport = 0;
  EXPECT_FALSE(session.Init(config));
  EXPECT_EQ(session.FailureReason(), "Steam API unavailable");

  SetEnvironmentVariableA("FWSTEAM_STEAMID_ZERO", "1");
  ASSERT_TRUE(steam.LoadAndInit());
  EXPECT_FALSE(session.Init(config));
  EXPECT_EQ(session.FailureReason(), "Steam transport init failed");
  EXPECT_FALSE(session.Initialised());
  EXPECT_EQ(session.Transport(), nullptr);
  session.Host();
  EXPECT_EQ(log.count("[WRN] [net] session: Host() before Init()"), 1);
}

TEST_F(SessionFixture, InitClampsAndReports) {
  LogCapture log;
  config.maxMembers = 9;
  config.timeoutMs = 5;
  ASSERT_TRUE(Start());
  EXPECT_EQ(log.count("[WRN] [net] session: maxMembers 9 out of range, clamping to 2..4"), 1);
  EXPECT_EQ(log.count(fmt::format("[INF] [net] session: initialised (Steam transport, local id {:016x}, timeout 100 ms)",
                                  Account(1))),
            1);
  session.Host();
  session.Host();
  EXPECT_EQ(log.count("[WRN] [net] session: Host() ignored in state CreatingLobby"), 1);
  std::uint64_t lobby = VirtualLobby(2);
  session.JoinLobby(lobby);
  EXPECT_EQ(log.count(fmt::format("[WRN] [net] session: JoinLobby({}) ignored in state CreatingLobby", lobby)), 1);
}

TEST_F(SessionFixture, ShutdownLeavesAndForgetsEverything) {
  LogCapture log;
  ASSERT_TRUE(Start());
  std::uint64_t lobby = HostLobby();
  GuestJoins(2, lobby);
  session.Shutdown();
  EXPECT_EQ(session.State(), SessionState::Idle);
  EXPECT_FALSE(session.Initialised());
  EXPECT_EQ(session.LocalId(), 0u);
  const std::uint8_t byte = 1;
  EXPECT_FALSE(session.Send(Account(2), 1, &byte, 1));
  EXPECT_TRUE(fwtest::PumpUntil([] {}, [&] {
    return steam.Cmd("presence 1")["presence"].empty() && steam.Cmd("lobby {}", lobby)["members"] == Json{Account(2)};
  }));
  EXPECT_TRUE(log.contains("[INF] [net] session: shut down"));
  EXPECT_TRUE(log.contains("[INF] [net] steam: transport shut down"));
  // Init again works: the keepalive thread starts anew.
  ASSERT_TRUE(session.Init(config));
  EXPECT_EQ(session.State(), SessionState::Idle);
}

TEST_F(SessionFixture, FriendsRoomsOfThisModAreListed) {
  LogCapture log;
  steam.Cmd("friend 1 2");
  steam.Cmd("friend 1 3");
  steam.Cmd("friend 1 4");  // in no lobby
  std::uint64_t ours = VirtualLobby(2);
  steam.Cmd("vsetdata 2 {} host_name Bob's room", ours);
  steam.Cmd("vsetdata 2 {} fw_ver 1.0.2", ours);
  steam.Cmd("vjoin 5 {}", ours);
  VirtualLobby(3, "OtherMod");
  ASSERT_TRUE(Start());
  session.RefreshFriendLobbies();
  EXPECT_EQ(log.count("[INF] [net] session: requested lobby data for 2 friend lobbies"), 1);
  FrameUntil([&] { return !session.FriendLobbies().empty(); });
  ASSERT_EQ(session.FriendLobbies().size(), 1u);
  const FriendLobby& room = session.FriendLobbies()[0];
  EXPECT_EQ(room.lobby, ours);
  EXPECT_EQ(room.owner, Account(2));  // not reported to non-members: the friend stands in
  EXPECT_EQ(room.hostName, "Bob's room");
  EXPECT_EQ(room.mod, "Fenwarden");
  EXPECT_EQ(room.version, "1.0.2");
  EXPECT_EQ(room.members, 2);
  EXPECT_EQ(room.memberLimit, 4);
}

TEST_F(SessionFixture, EventsDeliveredFromAnotherThread) {
  SetEnvironmentVariableA("FWSTEAM_CALLBACK_THREAD", "1");
  steam.Cmd("set allow_overfill 1");  // the churning member must not fill the room
  ASSERT_TRUE(Start());
  std::uint64_t lobby = HostLobby();
  std::atomic<bool> done{false};
  // Steam's thread queues chat updates and session requests while the game thread takes them.
  std::thread churn([&] {
    for (int i = 0; !done && i < 200; ++i) {
      steam.Cmd("vjoin 6 {}", lobby);
      steam.Cmd("vleave 6 {}", lobby);
    }
  });
  for (int n = 2; n <= 4; ++n) GuestJoins(n, lobby);
  done = true;
  churn.join();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e[0] == '+'; }), 3);
}

TEST_F(SessionFixture, KeepaliveCarriesPeersThroughAStalledGameThread) {
  LogCapture log;
  ASSERT_TRUE(Start());
  std::uint64_t lobby = HostLobby();
  GuestJoins(2, lobby);
  FrameUntil([] { return false; }, 1200);  // a heartbeat round, so the snapshot holds the guest
  steam.Received(2);

  // The guest keeps talking; the game thread stops ticking for 10 s.
  std::atomic<bool> stalled{true};
  std::thread guest([&] {
    while (stalled) {
      steam.Cmd("vsend 2 1 1 fa");
      Sleep(500);
    }
  });
  auto stallStart = std::chrono::steady_clock::now();
  Sleep(10000);
  std::vector<fwtest::VirtualMessage> during = steam.Received(2);
  Frame();
  stalled = false;
  guest.join();
  std::int64_t startUs =
      std::chrono::duration_cast<std::chrono::microseconds>(stallStart.time_since_epoch()).count();
  ASSERT_GE(during.size(), 20u) << "every 250 ms from 1.5 s on";
  EXPECT_GE(during.front().us - startUs, 1400000);
  EXPECT_LE(during.front().us - startUs, 2200000);
  EXPECT_EQ(log.count("[INF] [net] session: game thread was stalled for 10."), 1) << log.all();
  // The count includes any heartbeat still on its way when the guest's inbox was read.
  std::string all = log.all();
  std::size_t at = all.find("keepalive sent ");
  ASSERT_NE(at, std::string::npos);
  std::size_t sent = std::stoul(all.substr(at + 15));
  EXPECT_GE(sent, during.size());
  EXPECT_LE(sent, during.size() + 1);
  fwtest::PumpFor([&] { Frame(); }, 200);
  EXPECT_EQ(std::count(events.begin(), events.end(), "-2"), 0) << "the guest was kept";
}
