#include <gtest/gtest.h>

#include "core/config.h"
#include "support/log_capture.h"

using bh::core::ConfigReadFlags;
using bh::core::Settings;

namespace {
const char kDefaultFile[] =
    "{\n"
    "  \"hp_scale\": {\n"
    "    \"boss\": 0.25,\n"
    "    \"elite\": 0.18000000715255737,\n"
    "    \"normal\": 0.11999999731779099\n"
    "  },\n"
    "  \"language\": \"en\",\n"
    "  \"log_level\": \"info\",\n"
    "  \"menu_key\": \"F5\"\n"
    "}\n";
}  // namespace

TEST(ConfigText, DefaultFileIsExactlyTheDocumentedOne) {
  EXPECT_EQ(bh::core::SerializeConfig(Settings()), kDefaultFile);
}

TEST(ConfigText, NonAsciiTextIsWrittenAsUtf8) {
  Settings s;
  s.menuKey = "\xE9\x94\xAE";  // 键
  EXPECT_NE(bh::core::SerializeConfig(s).find("\"menu_key\": \"\xE9\x94\xAE\""), std::string::npos);
}

TEST(ConfigText, KeysAreReadWithTheirFlagsAndWarnings) {
  struct Case {
    const char* name;
    const char* text;
    bool missing, wrongType;
    const char* warning;  // a log line that must appear, or null for none at warning level
    void (*check)(const Settings&);
  };
  const Case cases[] = {
      {"only menu_key", R"({"menu_key": "F6"})", true, false, nullptr,
       [](const Settings& s) {
         EXPECT_EQ(s.menuKey, "F6");
         EXPECT_FALSE(s.languageFromFile);
       }},
      {"all keys", R"({"menu_key":"F7","log_level":"warn","language":"zh","hp_scale":{"normal":1,"elite":2.5,"boss":3}})",
       false, false, nullptr,
       [](const Settings& s) {
         EXPECT_EQ(s.menuKey, "F7");
         EXPECT_EQ(s.logLevel, "warn");
         EXPECT_EQ(s.language, "zh");
         EXPECT_TRUE(s.languageFromFile);
         EXPECT_FLOAT_EQ(s.hpScale.normal, 1.0f);
         EXPECT_FLOAT_EQ(s.hpScale.elite, 2.5f);
         EXPECT_FLOAT_EQ(s.hpScale.boss, 3.0f);
       }},
      {"hp_scale a number", R"({"menu_key":"F5","log_level":"info","language":"en","hp_scale":2})", false, true,
       "config.json: 'hp_scale' is not an object; keeping defaults",
       [](const Settings& s) { EXPECT_FLOAT_EQ(s.hpScale.normal, 0.12f); }},
      {"language fr", R"({"language":"fr"})", true, false,
       "config.json: unknown language 'fr' (use \"en\" or \"zh\"); keeping 'en'",
       [](const Settings& s) {
         EXPECT_EQ(s.language, "en");
         EXPECT_FALSE(s.languageFromFile);
       }},
      {"language ja", R"({"language":"ja"})", true, false, nullptr,
       [](const Settings& s) {
         EXPECT_EQ(s.language, "ja");
         EXPECT_TRUE(s.languageFromFile);
       }},
      {"boss true", R"({"hp_scale":{"normal":0.5,"elite":false,"boss":true}})", true, false, nullptr,
       [](const Settings& s) {
         EXPECT_FLOAT_EQ(s.hpScale.boss, 1.0f);
         EXPECT_FLOAT_EQ(s.hpScale.elite, 0.0f);
       }},
      {"menu_key a number", R"({"menu_key":5})", true, true,
       "config.json: key 'menu_key' has the wrong type ([json.exception.type_error.302] type must be string, but is "
       "number); keeping default",
       [](const Settings& s) { EXPECT_EQ(s.menuKey, "F5"); }},
      {"normal a string", R"({"hp_scale":{"normal":"big"}})", true, true,
       "config.json: key 'normal' has the wrong type ([json.exception.type_error.302] type must be number, but is "
       "string); keeping default",
       [](const Settings& s) { EXPECT_FLOAT_EQ(s.hpScale.normal, 0.12f); }},
      {"comments", "// settings\n{ /* key */ \"menu_key\": \"F8\" }\n", true, false, nullptr,
       [](const Settings& s) { EXPECT_EQ(s.menuKey, "F8"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fwtest::LogCapture capture;
    Settings s;
    ConfigReadFlags flags;
    ASSERT_TRUE(bh::core::ReadConfigText(c.text, s, flags));
    EXPECT_EQ(flags.missing, c.missing);
    EXPECT_EQ(flags.wrongType, c.wrongType);
    if (c.warning) EXPECT_TRUE(capture.contains(std::string("[WRN] [config] ") + c.warning)) << capture.all();
    else EXPECT_FALSE(capture.contains("[WRN]")) << capture.all();
    c.check(s);
  }
}

TEST(ConfigText, DevOnlyKeysAreNamedAndIgnored) {
  fwtest::LogCapture capture;
  Settings s;
  ConfigReadFlags flags;
  ASSERT_TRUE(bh::core::ReadConfigText(R"({"transport":"udp","udp_port":1,"profile":7})", s, flags));
  EXPECT_TRUE(capture.contains("[INF] [config] config.json: dev-only key 'transport' ignored in the release build"));
  EXPECT_TRUE(capture.contains("dev-only key 'udp_port'"));
  EXPECT_TRUE(capture.contains("dev-only key 'profile'"));
  EXPECT_EQ(s.transport, "steam");
  EXPECT_EQ(s.profile, 1);
}

TEST(ConfigText, NonObjectsAreNotRead) {
  for (const char* text : {"[1,2]", "{ not json", "", "\"text\"", "42"}) {
    Settings s;
    s.menuKey = "keep";
    ConfigReadFlags flags;
    EXPECT_FALSE(bh::core::ReadConfigText(text, s, flags)) << text;
    EXPECT_EQ(s.menuKey, "keep");
  }
}
