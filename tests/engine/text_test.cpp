// Engine text helpers: UTF-16 to UTF-8 with the engine's surrogate rule,
// UTF-8 to UTF-16, FNV-1a, the rotator quaternion.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/objects.h"

using namespace bh::engine;

TEST(EngineText, Utf16ToUtf8) {
  struct Case {
    std::u16string units;
    std::string utf8;
  } cases[] = {
      {u"Actor", "Actor"},
      {u"\u00C4\u00DF", "\xC3\x84\xC3\x9F"},
      {u"\u6575", "\xE6\x95\xB5"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},                  // a pair: one 4-byte sequence
      {std::u16string(u"a") + char16_t(0xD83D) + u"b", std::string("a\0b", 3)},  // lone high surrogate
      {std::u16string(u"a") + char16_t(0xDE00), std::string("a\0", 2)},          // lone low surrogate
      {std::u16string(1, char16_t(0xD83D)), std::string(1, '\0')},               // high at the end
      {u"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EngineTextToUtf8(c.units.data(), c.units.size()), c.utf8) << c.utf8;
}

TEST(EngineText, Utf8ToUtf16RefusesMalformedInput) {
  std::u16string out;
  EXPECT_TRUE(Utf16FromUtf8("K2_\xE6\x95\xB5\xF0\x9F\x98\x80", out));
  EXPECT_EQ(out, u"K2_\u6575\U0001F600");
  for (const char* bad : {"\x80", "\xC3", "\xE6\x95", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
    out = u"kept";
    EXPECT_FALSE(Utf16FromUtf8(bad, out)) << bad;
    EXPECT_EQ(out, u"kept");
  }
}

TEST(EngineText, Fnv1a64KnownValues) {
  EXPECT_EQ(Fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(Fnv1a64("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(Fnv1a64("foobar"), 0x85944171f73967e8ull);
}

TEST(EngineText, QuatFromRotator) {
  struct Case {
    Rotator r;
    Quat q;
  } cases[] = {
      {{0, 0, 0}, {0, 0, 0, 1}},
      {{0, 90, 0}, {0, 0, 0.7071068f, 0.7071068f}},
      {{30, 0, 0}, {0, -0.2588190f, 0, 0.9659258f}},
      {{0, 0, 180}, {-1, 0, 0, 0}},
      {{10, 20, 30}, {-0.2392983f, -0.1276794f, 0.1448781f, 0.9515485f}},
  };
  for (const Case& c : cases) {
    Quat q = QuatFromRotator(c.r);
    EXPECT_NEAR(q.x, c.q.x, 1e-5) << c.r.pitch << "," << c.r.yaw << "," << c.r.roll;
    EXPECT_NEAR(q.y, c.q.y, 1e-5);
    EXPECT_NEAR(q.z, c.q.z, 1e-5);
    EXPECT_NEAR(q.w, c.q.w, 1e-5);
  }
}
