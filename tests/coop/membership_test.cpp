// Co-op membership across processes: coop_peer.exe players and the broker's
// virtual accounts (for hand-made Hellos) meet through a broker hosted by the
// test. Each test waits in real time, so they are written to run in parallel.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "coop/wire.h"
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

// One player process in the background, with its own saved-data folder.
class Player {
 public:
  Player(StandInSteam& steam, int account, const std::string& args, unsigned timeoutMs = 90000) {
    std::wstring line = L"\"" + TestsFolder() + L"\\coop_peer.exe\" " + Wide(args);
    std::wstring env = L"FWSTEAM_BROKER=" + std::to_wstring(steam.Port()) + L"\nFWSTEAM_ACCOUNT=" +
                       std::to_wstring(account) + L"\nLOCALAPPDATA=" + local_.path();
    thread_ = std::thread([this, line, env, timeoutMs] { result_ = fwtest::RunProcess(line, env, timeoutMs); });
  }
  ~Player() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& Output() {
    if (thread_.joinable()) thread_.join();
    return result_.output;
  }
  bool Has(const std::string& text) { return Output().find(text) != std::string::npos; }

 private:
  fwtest::TempFolder local_;
  std::thread thread_;
  fwtest::ProcessResult result_;
};

template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs = 30000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    Sleep(100);
  }
  return false;
}

std::uint64_t WaitForLobby(StandInSteam& steam, int owner) {
  std::uint64_t lobby = 0;
  WaitFor([&] {
    Json reply = steam.Cmd("lobbies");
    if (getenv("FW_DEBUG_LOBBIES")) std::printf("lobbies: %s\n", reply.dump().c_str());
    for (const Json& l : reply["lobbies"])
      if (l["owner"] == Account(owner)) lobby = l["lobby"].get<std::uint64_t>();
    return lobby != 0;
  });
  return lobby;
}

bool WaitForMembers(StandInSteam& steam, std::uint64_t lobby, std::size_t n) {
  return WaitFor([&] { return steam.Cmd("lobby {}", lobby)["members"].size() >= n; });
}

std::string Hex(const bh::coop::Bytes& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += fmt::format("{:02x}", b);
  return out;
}

bh::coop::HelloMessage GoodHello(const std::string& gameBuild) {
  return {4, "Fenwarden", "Varrow", "1.0.2", gameBuild, "Virtual", 0};
}

}  // namespace

TEST(Membership, GuestsAreWelcomedRenameAndLeave) {
  StandInSteam steam;
  steam.Cmd("account 1 english Hana");
  steam.Cmd("account 2 english Ada");
  steam.Cmd("account 3 english Bo");
  Player host(steam, 1, "--host --seconds 34");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Player ada(steam, 2, fmt::format("+connect_lobby {} --seconds 26 --rename-at 14 Adalind --leave-at 20", lobby));
  ASSERT_TRUE(WaitForMembers(steam, lobby, 2));
  Sleep(3000);
  Player bo(steam, 3, fmt::format("+connect_lobby {} --seconds 28", lobby));

  const std::string adaId = fmt::format("{:016X}", Account(2)), boId = fmt::format("{:016X}", Account(3));
  EXPECT_TRUE(host.Has("[INF] [coop] peer " + adaId + " joined as slot 1 \"Ada\"")) << host.Output();
  EXPECT_TRUE(host.Has("[INF] [coop] peer " + boId + " joined as slot 2 \"Bo\"")) << host.Output();
  EXPECT_TRUE(host.Has("[INF] [overlay] toast[1]: Ada joined"));
  EXPECT_TRUE(host.Has("toast[0]: Ada is now called Adalind")) << host.Output();
  EXPECT_TRUE(host.Has("[INF] [coop] slot 1 \"Adalind\" left")) << host.Output();
  EXPECT_TRUE(host.Has("co-op session started"));

  EXPECT_TRUE(ada.Has("[INF] [coop] welcomed as slot 1 (1 other members)")) << ada.Output();
  EXPECT_TRUE(ada.Has("toast[1]: Joined Hana's room"));
  EXPECT_TRUE(ada.Has("member: +0 Hana"));
  EXPECT_TRUE(ada.Has("member: +2 Bo"));
  EXPECT_TRUE(ada.Has("toast[1]: Name saved: Adalind"));

  EXPECT_TRUE(bo.Has("[INF] [coop] welcomed as slot 2 (2 other members)")) << bo.Output();
  EXPECT_TRUE(bo.Has("member: +1 Ada"));
  EXPECT_TRUE(bo.Has("toast[0]: Ada is now called Adalind")) << bo.Output();
  EXPECT_TRUE(bo.Has("member: -1 Adalind"));
  EXPECT_TRUE(bo.Has("toast[0]: Adalind left"));
  // Slot numbers do not move when a member leaves.
  EXPECT_TRUE(bo.Has("slot 0: Hana\r\nslot 2: Bo [local]")) << bo.Output();
}

TEST(Membership, TheHostRefusesOtherModsBuildsAndProtocols) {
  StandInSteam steam;
  steam.Cmd("account 1 english Hana");
  Player host(steam, 1, "--host --seconds 40");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();

  // The host's own build id, as it put it in the lobby.
  std::string build = steam.Cmd("lobby {}", lobby)["data"]["game_build"].get<std::string>();
  bh::coop::HelloMessage otherVersion = GoodHello(build);
  otherVersion.modVersion = "9.9.9";
  struct Case {
    int account;
    std::string hex;
    const char* reply;  // the Reject expected back, or null for none
  };
  const Case cases[] = {
      {11, Hex(bh::coop::EncodeHello(otherVersion)), "0302"},
      {12, Hex(bh::coop::EncodeHello(GoodHello("1-00000000"))), "0303"},
      {13, "010300", "0304"},  // does not decode, but says protocol 3
      {14, "010400", nullptr},  // does not decode and says ours: only logged
  };
  // One at a time: the room has three guest places.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account);
    steam.Cmd("virtual {}", c.account);
    steam.Cmd("vjoin {} {}", c.account, lobby);
    ASSERT_TRUE(WaitForMembers(steam, lobby, 2));
    Sleep(1500);  // the host syncs its member list
    steam.Cmd("vsend {} {} 0 {}", c.account, Account(1), c.hex);
    bool rejected = WaitFor(
        [&] {
          for (const fwtest::VirtualMessage& m : steam.Received(c.account))
            if (m.hex.rfind("03", 0) == 0) return c.reply && m.hex == c.reply;
          return false;
        },
        c.reply ? 8000 : 2000);
    EXPECT_EQ(rejected, c.reply != nullptr);
    steam.Cmd("vleave {} {}", c.account, lobby);
    WaitFor([&] { return steam.Cmd("lobby {}", lobby)["members"].size() == 1; });
  }
  const std::string& out = host.Output();
  EXPECT_NE(out.find(fmt::format("rejected {:016X}: 2", Account(11))), std::string::npos) << out;
  EXPECT_NE(out.find(fmt::format("rejected {:016X}: 3", Account(12))), std::string::npos);
  EXPECT_NE(out.find(fmt::format("Hello from {:016X} uses protocol 3 (ours 4)", Account(13))), std::string::npos);
  EXPECT_NE(out.find(fmt::format("[WRN] [coop] bad Hello from {:016X}", Account(14))), std::string::npos);
  EXPECT_NE(out.find("toast[2]: Declined a join request: Different game version."), std::string::npos);
}

TEST(Membership, AGuestWhoseHostNeverAnswersGivesUpAfterFifteenHellos) {
  StandInSteam steam;
  steam.Cmd("virtual 21");
  Json created = steam.Cmd("vcreate 21 4");
  std::uint64_t lobby = created["lobby"].get<std::uint64_t>();
  Player guest(steam, 22, fmt::format("+connect_lobby {} --seconds 26", lobby));
  // The silent host keeps the connection alive with heartbeats only.
  int hellos = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(24);
  while (std::chrono::steady_clock::now() < end) {
    steam.Cmd("vsend 21 {} 1 fa", Account(22));
    for (const fwtest::VirtualMessage& m : steam.Received(21))
      if (m.hex.rfind("01", 0) == 0) ++hellos;
    Sleep(500);
  }
  EXPECT_EQ(hellos, 15);
  EXPECT_TRUE(guest.Has("toast[3]: Could not reach the host (no response)")) << guest.Output();
}

TEST(Membership, WhenTheHostLeavesEveryGuestHearsOfEveryMemberOnce) {
  StandInSteam steam;
  steam.Cmd("account 1 english Hana");
  steam.Cmd("account 2 english Ada");
  steam.Cmd("account 3 english Bo");
  Player host(steam, 1, "--host --seconds 30 --leave-at 20");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Player ada(steam, 2, fmt::format("+connect_lobby {} --seconds 26", lobby));
  ASSERT_TRUE(WaitForMembers(steam, lobby, 2));
  Sleep(2000);
  Player bo(steam, 3, fmt::format("+connect_lobby {} --seconds 26", lobby));
  auto count = [](Player& p, const std::string& text) {
    const std::string& out = p.Output();
    int n = 0;
    for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(ada, "member: -0 Hana"), 1) << ada.Output();
  EXPECT_EQ(count(ada, "member: -2 Bo"), 1);
  EXPECT_EQ(count(bo, "member: -0 Hana"), 1) << bo.Output();
  EXPECT_EQ(count(bo, "member: -1 Ada"), 1);
  EXPECT_TRUE(bo.Has("toast[2]: The host left"));
}

TEST(Membership, AHostileMemberCannotBreakTheRoom) {
  StandInSteam steam;
  steam.Cmd("account 1 english Hana");
  steam.Cmd("account 2 english Ada");
  Player host(steam, 1, "--host --seconds 32");
  std::uint64_t lobby = WaitForLobby(steam, 1);
  ASSERT_NE(lobby, 0u) << host.Output();
  Player ada(steam, 2, fmt::format("+connect_lobby {} --seconds 28", lobby));
  ASSERT_TRUE(WaitForMembers(steam, lobby, 2));
  steam.Cmd("virtual 66");
  steam.Cmd("vjoin 66 {}", lobby);
  ASSERT_TRUE(WaitForMembers(steam, lobby, 3));
  Sleep(2000);

  // Crafted messages of every membership type that claim other slots and
  // ids, then random bytes of every type.
  std::vector<bh::coop::Bytes> crafted = {
      bh::coop::EncodeWelcome({1, {{0, Account(66), "Fake host"}, {1, Account(66), "Me"}}}),
      bh::coop::EncodeReject(1),
      bh::coop::EncodeMemberJoined({1, Account(66), "Usurper"}),
      bh::coop::EncodeMemberLeft(1),
      bh::coop::EncodeRename({0, "Not the host"}),
      bh::coop::EncodeRename({1, "Not Ada"}),
      {20, 0, 1, 2},
      {21, 3},
      {250},
      {0},
  };
  std::mt19937 random(1234);
  for (int i = 0; i < 300; ++i) {
    bh::coop::Bytes b(1 + random() % 64);
    for (auto& x : b) x = static_cast<std::uint8_t>(random());
    if (i % 3 == 0) b[0] = static_cast<std::uint8_t>(1 + random() % 6);  // mostly membership types
    if (b[0] == 1) b[0] = 6;  // a Hello might be a valid one; that is a join, not an attack
    crafted.push_back(b);
  }
  for (std::size_t i = 0; i < crafted.size(); ++i) {
    steam.Cmd("vsend 66 {} {} {}", Account(1), i % 2, Hex(crafted[i]));
    if (i % 20 == 0) Sleep(50);
  }
  // Ada ends first: until then the room is as the handshake made it.
  const std::string& out = host.Output();
  EXPECT_TRUE(host.Has("peer: exiting")) << out;
  EXPECT_FALSE(host.Has("structured exception"));
  EXPECT_FALSE(host.Has("is now called"));  // no rename got through
  EXPECT_TRUE(host.Has("[INF] [coop] slot 1 \"Ada\" left")) << out;
  EXPECT_TRUE(host.Has(fmt::format("peer {:016X} never sent Hello, closing", Account(66))));
  for (const char* name : {"Fake host", "Usurper", "Not the host", "Not Ada"}) {
    EXPECT_FALSE(host.Has(name)) << name;
    EXPECT_FALSE(ada.Has(name)) << name;
  }
  EXPECT_TRUE(ada.Has("slot 0: Hana\r\nslot 1: Ada [local]\r\npeer: exiting")) << ada.Output();
  EXPECT_FALSE(ada.Has("structured exception"));
}
