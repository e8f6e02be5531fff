#include <gtest/gtest.h>

#include "coop/names.h"
#include "ui/i18n.h"

using bh::coop::CleanName;

TEST(CleanName, KeepsValidPrintableTextWithinTheLimits) {
  const std::string three = "\xE5\x90\x8D";  // 名
  std::string twentyFive;
  for (int i = 0; i < 25; ++i) twentyFive += three;
  struct Case {
    const char* name;
    std::string in, out;
  };
  const Case cases[] = {
      {"plain", "Ada", "Ada"},
      {"thirty letters keep 24", std::string(30, 'x'), std::string(24, 'x')},
      {"trimmed", "   Ada Lovelace  ", "Ada Lovelace"},
      {"24 counted before trimming", "  " + std::string(30, 'y'), std::string(22, 'y')},
      {"25 three-byte characters keep 24", twentyFive, twentyFive.substr(0, 72)},
      {"control characters only", "\x01\x02\t\n\x7F", ""},
      {"controls dropped inside", "A\tB\x7F" "C", "ABC"},
      {"stray continuation skipped", "A\x80\xBF" "B", "AB"},
      {"invalid lead skipped", "A\xFF\xF8" "B", "AB"},
      {"broken sequence resumes after its lead", "A\xE5" "BC", "ABC"},
      {"sequence past the end ends the walk", "A\xE5" "B", "A"},
      {"truncated sequence ends the walk", "AB\xE5\x90", "AB"},
      {"overlong two-byte", "A\xC1\x81" "B", "AB"},
      {"overlong three-byte", "A\xE0\x81\x81" "B", "AB"},
      {"surrogate dropped", "A\xED\xA0\x80" "B", "AB"},
      {"beyond U+10FFFF dropped", "A\xF4\x90\x80\x80" "B", "AB"},
      {"four-byte kept", "A\xF0\x9F\x98\x80", "A\xF0\x9F\x98\x80"},
      {"only spaces", "     ", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanName(c.in), c.out) << c.name;
  // 70 bytes of ASCII then a 3-byte character: it would pass 72 bytes, so it stops there.
  EXPECT_EQ(CleanName(std::string(20, 'a') + twentyFive), std::string(20, 'a') + twentyFive.substr(0, 12));
}

TEST(CleanName, MemberNamesFallBackToThePlayerNumber) {
  bh::ui::PreviewLanguage(bh::ui::Language::English);
  EXPECT_EQ(bh::coop::MemberName("  Bo ", 1), "Bo");
  EXPECT_EQ(bh::coop::MemberName("\x01", 1), "Player2");
  EXPECT_EQ(bh::coop::MemberName("", 0), "Player1");
  EXPECT_EQ(bh::coop::ProfileSlotKey(-3), "slot0");
  EXPECT_EQ(bh::coop::ProfileSlotKey(2), "slot2");
}
