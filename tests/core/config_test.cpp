// config.json on disk: created, completed, or left untouched.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "core/config.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

using bh::core::GetSettings;
namespace testing_ = bh::core::testing;

namespace {
const char kDefaultFile[] =
    "{\n  \"hp_scale\": {\n    \"boss\": 0.25,\n    \"elite\": 0.18000000715255737,\n"
    "    \"normal\": 0.11999999731779099\n  },\n  \"language\": \"en\",\n  \"log_level\": \"info\",\n"
    "  \"menu_key\": \"F5\"\n}\n";
}  // namespace

TEST(ConfigFile, LoadCreatesCompletesOrLeavesTheFile) {
  struct Case {
    const char* name;
    const char* initial;   // null: no file
    bool parsed;           // LoadConfig's answer
    const char* expected;  // file afterwards; null: unchanged
    const char* logLine;   // a line that must be logged, or null
  };
  const std::string f6 = std::string(kDefaultFile).replace(std::string(kDefaultFile).find("F5"), 2, "F6");
  const Case cases[] = {
      {"no file", nullptr, true, kDefaultFile, nullptr},
      {"only menu_key", R"({"menu_key": "F6"})", true, f6.c_str(), nullptr},
      {"hp_scale a number", R"({"menu_key": "F6", "hp_scale": 2})", true, nullptr,
       "[WRN] [config] config.json: 'hp_scale' is not an object; keeping defaults"},
      {"wrong type and missing keys", R"({"menu_key": 6})", true, nullptr, "key 'menu_key' has the wrong type"},
      {"complete file", kDefaultFile, true, nullptr, nullptr},
      {"comments", "// mine\n{\"menu_key\": \"F6\" /* key */}", true, f6.c_str(), nullptr},
      {"dev-only key", R"({"transport": "udp"})", true, kDefaultFile,
       "[INF] [config] config.json: dev-only key 'transport' ignored in the release build"},
      {"array", "[1, 2, 3]", false, nullptr,
       "[WRN] [config] config.json could not be parsed; using defaults (file left untouched)"},
      {"invalid text", "{\"menu_key\": ", false, nullptr, "config.json could not be parsed"},
      {"empty file", "", false, nullptr, "config.json could not be parsed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fwtest::TempFolder folder;
    std::wstring path = folder / L"config.json";
    if (c.initial) ASSERT_TRUE(fwtest::WriteFile(path, c.initial));
    fwtest::LogCapture capture;
    EXPECT_EQ(testing_::LoadConfigFrom(folder.path()), c.parsed);
    EXPECT_EQ(fwtest::ReadFileOr(path), c.expected ? c.expected : (c.initial ? c.initial : "<missing>"));
    if (c.logLine) EXPECT_TRUE(capture.contains(c.logLine)) << capture.all();
    EXPECT_FALSE(fwtest::FileExists(folder / L"config.json.tmp"));
    EXPECT_EQ(GetSettings().transport, "steam");
  }
}

TEST(ConfigFile, UnparseableFileIsNeverRewrittenAndRefusesTheLanguage) {
  fwtest::TempFolder folder;
  std::wstring path = folder / L"config.json";
  ASSERT_TRUE(fwtest::WriteFile(path, "[\"not\", \"an object\"]"));
  fwtest::LogCapture capture;
  EXPECT_FALSE(testing_::LoadConfigFrom(folder.path()));
  EXPECT_TRUE(GetSettings().languageFromFile);  // settled: no detection
  EXPECT_EQ(GetSettings().menuKey, "F5");
  EXPECT_FALSE(bh::core::SaveLanguage("zh"));
  EXPECT_TRUE(capture.contains(
      "[WRN] [config] config.json could not be parsed at start-up; language 'zh' not saved (file left untouched)"));
  EXPECT_EQ(fwtest::ReadFileOr(path), "[\"not\", \"an object\"]");
}

TEST(ConfigFile, LanguageFromTheFileAndSavedBack) {
  fwtest::TempFolder folder;
  std::wstring path = folder / L"config.json";
  ASSERT_TRUE(fwtest::WriteFile(path, R"({"language": "fr", "menu_key": "F5", "log_level": "info",
                                          "hp_scale": {"normal": 0.12, "elite": 0.18, "boss": 0.25}})"));
  fwtest::LogCapture capture;
  EXPECT_TRUE(testing_::LoadConfigFrom(folder.path()));
  EXPECT_EQ(GetSettings().language, "en");
  EXPECT_FALSE(GetSettings().languageFromFile);
  EXPECT_TRUE(capture.contains("config.json: unknown language 'fr' (use \"en\" or \"zh\"); keeping 'en'"));

  EXPECT_TRUE(bh::core::SaveLanguage("ja"));
  EXPECT_TRUE(capture.contains("[INF] [config] language 'ja' saved to config.json"));
  EXPECT_NE(fwtest::ReadFileOr(path).find("\"language\": \"ja\""), std::string::npos);
  EXPECT_TRUE(GetSettings().languageFromFile);
  EXPECT_TRUE(bh::core::SaveLanguage("xx"));
  EXPECT_EQ(GetSettings().language, "en");
  EXPECT_NE(fwtest::ReadFileOr(path).find("\"language\": \"en\""), std::string::npos);
}

TEST(ConfigFile, UnwritableFolderReportsAndKeepsTheSettings) {
  fwtest::TempFolder folder;
  // A folder where the temporary file should go makes every write fail.
  ASSERT_TRUE(CreateDirectoryW((folder / L"config.json.tmp").c_str(), nullptr));
  fwtest::LogCapture capture;
  EXPECT_TRUE(testing_::LoadConfigFrom(folder.path()));
  EXPECT_TRUE(capture.contains("[WRN] [config] could not write default config.json"));
  EXPECT_EQ(GetSettings().menuKey, "F5");
  EXPECT_FALSE(bh::core::SaveLanguage("zh"));
  EXPECT_TRUE(capture.contains("[WRN] [config] could not write language 'zh' to config.json"));
  EXPECT_EQ(GetSettings().language, "zh");

  ASSERT_TRUE(fwtest::WriteFile(folder / L"config.json", R"({"menu_key": "F6"})"));
  EXPECT_TRUE(testing_::LoadConfigFrom(folder.path()));
  EXPECT_TRUE(capture.contains("[WRN] [config] could not rewrite config.json with missing keys"));
  EXPECT_EQ(GetSettings().menuKey, "F6");
}

TEST(WriteFileAtomically, ReadersSeeTheOldOrTheNewContentNeverPart) {
  fwtest::TempFolder folder;
  std::wstring path = folder / L"data.json";
  const std::string a(200000, 'a'), b(100000, 'b');
  ASSERT_TRUE(bh::core::WriteFileAtomically(path, a));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  // A move over a file a reader holds open may fail (it does under Wine);
  // the write then reports failure and the reader still sees a whole file.
  std::thread reader([&] {
    std::string got(300000, '\0');
    while (!done) {
      HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      DWORD size = 0;
      bool ok = ::ReadFile(file, got.data(), static_cast<DWORD>(got.size()), &size, nullptr);
      CloseHandle(file);
      if (!ok) continue;
      ++reads;
      std::string_view seen(got.data(), size);
      if (seen != a && seen != b) ++torn;
    }
  });
  int failed = 0;
  for (int i = 0; i < 100; ++i) failed += !bh::core::WriteFileAtomically(path, i % 2 ? a : b);
  done = true;
  reader.join();
  EXPECT_LT(failed, 100);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  ASSERT_TRUE(bh::core::WriteFileAtomically(path, b));
  EXPECT_EQ(fwtest::ReadFileOr(path), b);
  EXPECT_FALSE(fwtest::FileExists(path + L".tmp"));
}

TEST(WriteFileAtomically, FailedMoveKeepsTheOldFileAndRemovesTheTemporary) {
  fwtest::TempFolder folder;
  std::wstring path = folder / L"data.json";
  ASSERT_TRUE(fwtest::WriteFile(path, "old"));
  // Held open without delete sharing: the move over it must fail.
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(bh::core::WriteFileAtomically(path, "new"));
  CloseHandle(held);
  EXPECT_EQ(fwtest::ReadFileOr(path), "old");
  EXPECT_FALSE(fwtest::FileExists(path + L".tmp"));
  // A folder that does not exist: nothing to open.
  EXPECT_FALSE(bh::core::WriteFileAtomically(folder / L"missing\\data.json", "x"));
}
