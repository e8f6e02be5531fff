#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "coop/wire.h"

using namespace bh::coop;

namespace {
Bytes B(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Str16(const std::string& s) {
  Bytes out = B({static_cast<int>(s.size() & 0xFF), static_cast<int>(s.size() >> 8)});
  out.insert(out.end(), s.begin(), s.end());
  return out;
}
}  // namespace

TEST(Wire, MembershipMessagesRoundTripWithExactBytes) {
  HelloMessage hello{4, "Fenwarden", "Varrow", "1.0.2", "987-5f00ab12", "Ada", 0};
  Bytes helloBytes = EncodeHello(hello);
  EXPECT_EQ(helloBytes, Cat(Cat(Cat(Cat(Cat(B({1, 4, 0}), Str16("Fenwarden")), Str16("Varrow")), Str16("1.0.2")),
                                Str16("987-5f00ab12")),
                            Cat(Str16("Ada"), B({0}))));
  HelloMessage h;
  ASSERT_TRUE(DecodeHello(helloBytes, h));
  EXPECT_EQ(h.modName, "Fenwarden");
  EXPECT_EQ(h.playerName, "Ada");
  EXPECT_EQ(h.protocol, 4);

  WelcomeMessage welcome{1, {{0, 0x1100000000000001ULL, "Host"}, {1, 0x1100000000000002ULL, "Ada"}}};
  Bytes welcomeBytes = EncodeWelcome(welcome);
  EXPECT_EQ(welcomeBytes.size(), 4u + (11 + 4) + (11 + 3));
  WelcomeMessage w;
  ASSERT_TRUE(DecodeWelcome(welcomeBytes, w));
  EXPECT_EQ(w.yourSlot, 1);
  ASSERT_EQ(w.entries.size(), 2u);
  EXPECT_EQ(w.entries[0].steamId, 0x1100000000000001ULL);
  EXPECT_EQ(w.entries[1].name, "Ada");

  MemberJoinedMessage joined{3, 0x0123456789ABCDEFULL, "Bo"};
  Bytes joinedBytes = EncodeMemberJoined(joined);
  EXPECT_EQ(joinedBytes, Cat(B({4, 3, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}), Str16("Bo")));
  MemberJoinedMessage j;
  ASSERT_TRUE(DecodeMemberJoined(joinedBytes, j));
  EXPECT_EQ(j.steamId, joined.steamId);

  EXPECT_EQ(EncodeReject(2), B({3, 2}));
  EXPECT_EQ(EncodeMemberLeft(2), B({5, 2}));
  EXPECT_EQ(EncodeRename({2, "Cy"}), Cat(B({6, 2}), Str16("Cy")));
  std::uint8_t value = 0;
  EXPECT_TRUE(DecodeReject(B({3, 5}), value));
  EXPECT_EQ(value, 5);
  RenameMessage r;
  EXPECT_TRUE(DecodeRename(Cat(B({6, 3}), Str16("Cy")), r));
  EXPECT_EQ(r.name, "Cy");
}

TEST(Wire, MalformedMessagesFailToDecode) {
  const std::string name73(73, 'n'), name72(72, 'n');
  Bytes goodHello = EncodeHello({4, "m", "a", "v", "g", "p", 0});
  Bytes helloTrailing = Cat(goodHello, B({0}));
  Bytes helloFlag2 = goodHello;
  helloFlag2.back() = 2;
  Bytes helloShort(goodHello.begin(), goodHello.end() - 1);
  Bytes helloLongName = Cat(Cat(Cat(Cat(Cat(B({1, 4, 0}), Str16("m")), Str16("a")), Str16("v")), Str16("g")),
                            Cat(Str16(name73), B({0})));
  Bytes welcomeFive = B({2, 1, 5, 0});
  for (int i = 0; i < 5; ++i) welcomeFive = Cat(welcomeFive, Cat(B({i % 4, 1, 0, 0, 0, 0, 0, 0, 0}), Str16("")));
  Bytes welcomeClaimsTwo = Cat(B({2, 1, 2, 0}), Cat(B({0, 1, 0, 0, 0, 0, 0, 0, 0}), Str16("")));
  Bytes welcomeBadSlot = Cat(B({2, 0, 1, 0}), Cat(B({4, 1, 0, 0, 0, 0, 0, 0, 0}), Str16("")));
  Bytes welcomeYourSlot4 = B({2, 4, 0, 0});

  struct Case {
    const char* name;
    bool (*decode)(const Bytes&);
    Bytes bytes;
  };
  auto hello = [](const Bytes& b) { HelloMessage m; return DecodeHello(b, m); };
  auto welcome = [](const Bytes& b) { WelcomeMessage m; return DecodeWelcome(b, m); };
  auto reject = [](const Bytes& b) { std::uint8_t v; return DecodeReject(b, v); };
  auto joined = [](const Bytes& b) { MemberJoinedMessage m; return DecodeMemberJoined(b, m); };
  auto left = [](const Bytes& b) { std::uint8_t v; return DecodeMemberLeft(b, v); };
  auto rename = [](const Bytes& b) { RenameMessage m; return DecodeRename(b, m); };
  const Case cases[] = {
      {"empty hello", hello, {}},
      {"hello wrong type", hello, Cat(B({2}), Bytes(goodHello.begin() + 1, goodHello.end()))},
      {"hello trailing byte", hello, helloTrailing},
      {"hello missing flag", hello, helloShort},
      {"hello flag 2", hello, helloFlag2},
      {"hello name 73 bytes", hello, helloLongName},
      {"welcome claims 5 entries", welcome, welcomeFive},
      {"welcome claims more than it holds", welcome, welcomeClaimsTwo},
      {"welcome entry slot 4", welcome, welcomeBadSlot},
      {"welcome your slot 4", welcome, welcomeYourSlot4},
      {"reject 3 bytes", reject, B({3, 1, 0})},
      {"reject reason 0", reject, B({3, 0})},
      {"reject reason 6", reject, B({3, 6})},
      {"member joined slot 4", joined, Cat(B({4, 4, 1, 0, 0, 0, 0, 0, 0, 0}), Str16("x"))},
      {"member joined short id", joined, B({4, 1, 1, 0, 0})},
      {"member left slot 4", left, B({5, 4})},
      {"member left 1 byte", left, B({5})},
      {"rename 73-byte name", rename, Cat(B({6, 1}), Str16(name73))},
      {"rename length past end", rename, B({6, 1, 5, 0, 'a'})},
  };
  for (const Case& c : cases) EXPECT_FALSE(c.decode(c.bytes)) << c.name;
  EXPECT_TRUE(rename(Cat(B({6, 1}), Str16(name72))));
}

TEST(Wire, NamesAreCutToTheirCapAtCharacterBoundaries) {
  RenameMessage m{1, std::string(80, 'a')};
  RenameMessage back;
  ASSERT_TRUE(DecodeRename(EncodeRename(m), back));
  EXPECT_EQ(back.name, std::string(72, 'a'));
  // 70 ASCII bytes then a three-byte character across the 72-byte cap.
  m.name = std::string(70, 'a') + "\xE8\x81\x94" + "b";
  ASSERT_TRUE(DecodeRename(EncodeRename(m), back));
  EXPECT_EQ(back.name, std::string(70, 'a'));
  EXPECT_EQ(CutUtf8("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(CutUtf8("ab\xC3\xA9", 4), "ab\xC3\xA9");
  EXPECT_EQ(CutUtf8("\xF0\x9F\x98\x80", 3), "");
}

TEST(Wire, PeekHelloProtocolReadsWhatItCan) {
  EXPECT_EQ(PeekHelloProtocol(B({1, 3, 0})), std::optional<std::uint16_t>(3));
  EXPECT_EQ(PeekHelloProtocol(B({1, 5, 1, 9, 9})), std::optional<std::uint16_t>(0x105));
  EXPECT_EQ(PeekHelloProtocol(B({1, 4})), std::nullopt);
  EXPECT_EQ(PeekHelloProtocol(B({2, 4, 0})), std::nullopt);
}

TEST(Wire, ReaderFailsOnNonFiniteFloats) {
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    Bytes b;
    WireWriter(b).F32(bad);
    WireReader r(b);
    r.FiniteF32();
    EXPECT_FALSE(r.ok());
  }
  Bytes b;
  WireWriter(b).F32(1.5f).I16(-2).I32(-3);
  WireReader r(b);
  EXPECT_EQ(r.FiniteF32(), 1.5f);
  EXPECT_EQ(r.I16(), -2);
  EXPECT_EQ(r.I32(), -3);
  EXPECT_TRUE(r.Done());
  EXPECT_EQ(r.U8(), 0);
  EXPECT_FALSE(r.ok());
}

TEST(Wire, RejectReasonKeys) {
  EXPECT_STREQ(RejectReasonKey(1), "reject.full");
  EXPECT_STREQ(RejectReasonKey(4), "reject.protocol");
  EXPECT_STREQ(RejectReasonKey(5), "reject.kicked");
  EXPECT_STREQ(RejectReasonKey(0), "reject.unknown");
  EXPECT_STREQ(RejectReasonKey(99), "reject.unknown");
}
