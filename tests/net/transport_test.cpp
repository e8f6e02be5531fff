#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/clock.h"
#include "net/transport.h"
#include "standin.h"
#include "support/log_capture.h"

using namespace bh::net;
using fwtest::Account;
using fwtest::LogCapture;
using fwtest::StandInSteam;

namespace {

// Our side is account 1; peers are the broker's virtual accounts.
struct TransportFixture : ::testing::Test {
  StandInSteam steam;
  SteamTransport transport;
  void SetUp() override {
    ASSERT_TRUE(steam.LoadAndInit(1));
    ASSERT_TRUE(transport.Init());
    for (int n = 2; n <= 9; ++n) steam.Cmd("virtual {}", n);
  }
  // Polls (running Steam callbacks first) until count packets arrived.
  std::vector<Packet> PollFor(std::size_t count, int timeoutMs = 3000) {
    std::vector<Packet> got;
    fwtest::PumpUntil(
        [&] {
          steam.RunCallbacks();
          transport.Poll(got);
        },
        [&] { return got.size() >= count; }, timeoutMs);
    return got;
  }
};

}  // namespace

TEST_F(TransportFixture, SendLimitsPerChannelAndUnopenedPeers) {
  const std::uint64_t peer = Account(2);
  std::vector<std::uint8_t> big(65537, 0x11);
  int callsBefore = steam.SendCalls();
  EXPECT_FALSE(transport.Send(peer, 1, big.data(), 10));  // never opened
  EXPECT_EQ(steam.SendCalls(), callsBefore) << "a refused send must not reach Steam";

  transport.OpenSession(peer);
  struct Case {
    std::uint8_t channel;
    std::size_t size;
    bool sent;
  } cases[] = {{1, 1100, true}, {1, 1101, false}, {0, 65536, true}, {0, 65537, false}, {2, 10, false}, {1, 0, false}};
  for (const Case& c : cases)
    EXPECT_EQ(transport.Send(peer, c.channel, big.data(), c.size), c.sent) << int(c.channel) << " " << c.size;
  EXPECT_FALSE(transport.Send(peer, 1, nullptr, 5));
  EXPECT_FALSE(transport.Send(0, 1, big.data(), 5));

  std::vector<fwtest::VirtualMessage> got;
  fwtest::PumpUntil([&] { for (auto& m : steam.Received(2)) got.push_back(m); }, [&] { return got.size() >= 3; });
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].channel, 0);
  EXPECT_EQ(got[0].hex, "fa");  // the opener
  std::size_t sizes[] = {got[1].hex.size() / 2, got[2].hex.size() / 2};
  EXPECT_EQ(sizes[0] + sizes[1], 1100u + 65536u);
}

TEST_F(TransportFixture, OpeningTwiceSendsOneOpenerAndZeroOrSelfAreIgnored) {
  LogCapture log;
  transport.OpenSession(Account(2));
  transport.OpenSession(Account(2));
  transport.OpenSession(0);
  transport.OpenSession(Account(1));
  std::vector<fwtest::VirtualMessage> got;
  fwtest::PumpUntil([&] { for (auto& m : steam.Received(2)) got.push_back(m); }, [&] { return !got.empty(); });
  Sleep(300);  // a second opener would have arrived by now
  for (auto& m : steam.Received(2)) got.push_back(m);
  ASSERT_EQ(got.size(), 1u) << steam.Cmd("stats").dump();
  EXPECT_EQ(got[0].hex, "fa");
  EXPECT_EQ(got[0].channel, 0);
  EXPECT_EQ(log.count("steam: opening session with"), 1);
  EXPECT_EQ(log.count(fmt::format("steam: opening session with {}", Account(2))), 1);
}

TEST_F(TransportFixture, RequestIsAcceptedWhenOpenedWithinTheWaitAndIgnoredAfterIt) {
  LogCapture log;
  steam.Cmd("vsend 3 1 1 0501");
  steam.Cmd("vsend 4 1 1 0502");
  std::vector<Packet> got = PollFor(1, 500);
  EXPECT_TRUE(got.empty()) << "nothing arrives before the session is accepted";

  transport.OpenSession(Account(3));
  EXPECT_EQ(log.count(fmt::format("[INF] [net] steam: accept session from {} -> true", Account(3))), 1);
  got = PollFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].from, Account(3));
  EXPECT_EQ(got[0].channel, 1);
  EXPECT_EQ(got[0].bytes, (std::vector<std::uint8_t>{0x05, 0x01}));

  bh::net::testing::AdvanceClock(SteamTransport::kRequestWaitNs + kNsPerSecond);
  transport.Poll(got);
  EXPECT_EQ(log.count(fmt::format(
                "[INF] [net] steam: ignored session request from {} (not a lobby member we opened)", Account(4))),
            1);
  transport.OpenSession(Account(4));
  EXPECT_EQ(log.count(fmt::format("accept session from {}", Account(4))), 0) << "the request was dropped";
}

TEST_F(TransportFixture, PollDrainsBothChannelsInOrderAtMost1024PerChannel) {
  transport.OpenSession(Account(2));
  for (int i = 0; i < 3; ++i) steam.Cmd("vsend 2 1 0 a{}", i);
  for (int i = 0; i < 1030; ++i) steam.Cmd("vsend 2 1 1 b{:x}{:02x}", i >> 8, i & 0xFF);
  // All of them on their way to us, then time to arrive.
  fwtest::PumpUntil([] {}, [&] { return steam.Cmd("stats")["delivered"].get<int>() >= 1033 + 1; });
  Sleep(500);
  steam.RunCallbacks();
  std::vector<Packet> first;
  transport.Poll(first);
  ASSERT_EQ(first.size(), 3u + 1024u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(first[i].bytes, (std::vector<std::uint8_t>{static_cast<std::uint8_t>(0xA0 + i)}));
  for (int i = 0; i < 1024; ++i) {
    const Packet& p = first[3 + i];
    ASSERT_EQ(p.channel, 1);
    ASSERT_EQ(p.bytes.size(), 2u);
    EXPECT_EQ((p.bytes[0] & 0x0F) << 8 | p.bytes[1], i);
  }
  std::vector<Packet> second;
  transport.Poll(second);
  EXPECT_EQ(second.size(), 6u);
}

TEST_F(TransportFixture, ShutdownForgetsIdAndRefusesSends) {
  LogCapture log;
  const std::uint8_t byte = 7;
  transport.OpenSession(Account(2));
  EXPECT_EQ(transport.LocalId(), Account(1));
  transport.Shutdown();
  EXPECT_EQ(transport.LocalId(), 0u);
  EXPECT_FALSE(transport.Send(Account(2), 1, &byte, 1));
  EXPECT_EQ(log.count("[INF] [net] steam: transport shut down"), 1);
  EXPECT_EQ(transport.Ping(Account(2)), -1);
}

TEST(Transport, InitFailsWhenSteamAnswersNoId) {
  LogCapture log;
  StandInSteam steam;
  SetEnvironmentVariableA("FWSTEAM_STEAMID_ZERO", "1");
  ASSERT_TRUE(steam.LoadAndInit());
  SteamTransport transport;
  EXPECT_FALSE(transport.Init());
  EXPECT_EQ(transport.LocalId(), 0u);
  EXPECT_EQ(log.count("[ERR] [net] steam: GetSteamID returned 0 (not logged on?)"), 1);
}

TEST(CallbackQueue, LayoutAsSteamSeesItAndTheCap) {
  LogCapture log;
  StandInSteam steam;
  ASSERT_TRUE(steam.LoadAndInit());
  ASSERT_TRUE(BindSteamApi());
  CallbackQueue<steam::LobbyChatUpdate_t> queue;
  ASSERT_TRUE(queue.Register(steam::kLobbyChatUpdateId));
  // Steam keeps its flags at byte 8 and the id at byte 12; the size answers from the third slot.
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&queue);
  EXPECT_EQ(raw[8] & 1, 1);
  std::int32_t id;
  std::memcpy(&id, raw + 12, 4);
  EXPECT_EQ(id, 506);
  using SizeFn = int (*)(void*);
  auto table = *reinterpret_cast<void* const* const*>(&queue);
  EXPECT_EQ(reinterpret_cast<SizeFn>(table[2])(&queue), 32);

  steam::LobbyChatUpdate_t e{};
  for (int i = 0; i < 300; ++i) {
    e.stateBits = static_cast<std::uint32_t>(i);
    queue.Run(&e);
  }
  std::vector<steam::LobbyChatUpdate_t> taken = queue.Take();
  ASSERT_EQ(taken.size(), 256u);
  EXPECT_EQ(taken.back().stateBits, 255u);
  EXPECT_EQ(log.count("[WRN] [net] steam: dropped 44 event(s) of callback 506 (queue full)"), 1);
  EXPECT_TRUE(queue.Take().empty());
}
