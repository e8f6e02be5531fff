#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ui/i18n.h"
#include "ui/strings.h"

using namespace bh::ui;

namespace {
int Placeholders(const std::string& text) {
  int n = 0;
  for (std::size_t at = text.find("{}"); at != std::string::npos; at = text.find("{}", at + 2)) ++n;
  return n;
}
}  // namespace

TEST(StringTable, EveryRowIsCompleteWithMatchingPlaceholders) {
  std::set<std::string> keys;
  for (const StringRow& row : StringTable()) {
    SCOPED_TRACE(row.key);
    EXPECT_TRUE(keys.insert(row.key).second) << "duplicate key";
    ASSERT_TRUE(row.english && row.chinese && row.japanese);
    int expected = Placeholders(row.english);
    EXPECT_EQ(Placeholders(row.chinese), expected);
    EXPECT_EQ(Placeholders(row.japanese), expected);
  }
  EXPECT_EQ(keys.size(), 86u);
}

TEST(Lookup, LanguagesFallbacksAndFormatting) {
  PreviewLanguage(Language::English);
  EXPECT_STREQ(tr(nullptr), "");
  const char* unknown = "no.such.key";
  EXPECT_EQ(tr(unknown), unknown);
  EXPECT_STREQ(tr("coop.status"), "Status: ");
  EXPECT_STREQ(tr("coop.loading"), "Loading\xE2\x80\xA6");
  EXPECT_EQ(trf("coop.you", "Ada"), "Ada (you)");
  EXPECT_EQ(trf("toast.renamed", std::string("Ada"), std::string("Bo")), "Ada is now called Bo");
  EXPECT_EQ(trf("menu.footer", std::string("F5")), "Press F5 to close this menu");

  PreviewLanguage(Language::Japanese);
  EXPECT_EQ(CurrentLanguage(), Language::Japanese);
  EXPECT_EQ(trf("coop.you", "Ada"), "Ada\xEF\xBC\x88\xE3\x81\x82\xE3\x81\xAA\xE3\x81\x9F\xEF\xBC\x89");  // Ada（あなた）
  EXPECT_EQ(trf("menu.footer", std::string("F5")), "F5 \xE3\x81\xA7\xE3\x83\xA1\xE3\x83\x8B\xE3\x83\xA5\xE3\x83\xBC"
                                                   "\xE3\x82\x92\xE9\x96\x89\xE3\x81\x98\xE3\x82\x8B");
  EXPECT_EQ(tr(unknown), unknown);

  PreviewLanguage(Language::Chinese);
  EXPECT_STREQ(tr("tab.coop"), "\xE8\x81\x94\xE6\x9C\xBA");  // 联机
  EXPECT_EQ(trf("coop.state.hosting_n", std::string("3")), "\xE6\x88\xBF\xE4\xB8\xBB\xEF\xBC\x88" "3 "
                                                           "\xE4\xBA\xBA\xEF\xBC\x89");  // 房主（3 人）
  PreviewLanguage(Language::English);
}

TEST(Lookup, TemplatesThatDoNotFitComeBackUnformatted) {
  PreviewLanguage(Language::English);
  // Two placeholders, one argument; and a key that is its own (malformed) template.
  EXPECT_EQ(trf("toast.renamed", "Ada"), "{} is now called {}");
  EXPECT_EQ(trf("broken {", "x"), "broken {");
  EXPECT_EQ(trf("coop.you", static_cast<const char*>(nullptr)), " (you)");
}

TEST(Lookup, LanguageCodes) {
  EXPECT_STREQ(LanguageCode(Language::Chinese), "zh");
  EXPECT_STREQ(LanguageCode(Language::Japanese), "ja");
  EXPECT_STREQ(LanguageCode(static_cast<Language>(7)), "en");
  EXPECT_EQ(LanguageFromCode("ja"), Language::Japanese);
  EXPECT_EQ(LanguageFromCode("JA"), Language::English);
}
