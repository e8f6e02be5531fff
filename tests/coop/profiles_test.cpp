// profiles.json: names per profile and save slot, unknown keys kept, and a
// damaged file kept aside rather than overwritten.
#include <gtest/gtest.h>
#include <windows.h>

#include "coop/names.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

using namespace bh::coop;

TEST(Profiles, StoreAndLookUpPerSlotKeepingUnknownKeys) {
  fwtest::TempFolder folder;
  ASSERT_TRUE(fwtest::WriteFile(folder / L"profiles.json",
                                R"({"other": {"slot0": "Them"}, "76561198000000001": {"slot1": "Old", "note": 7}})"));
  bh::coop::testing::UseProfilesFolder(folder.path());
  fwtest::LogCapture capture;
  EXPECT_EQ(LookupName("76561198000000001", 1), std::optional<std::string>("Old"));
  EXPECT_EQ(LookupName("76561198000000001", 0), std::nullopt);
  EXPECT_TRUE(StoreName("76561198000000001", 0, "  \xE5\x90\x8D\x01 "));
  EXPECT_TRUE(capture.contains("[INF] [profiles] name for 76561198000000001 slot0 -> \"\xE5\x90\x8D\" (saved)"));
  EXPECT_EQ(fwtest::ReadFileOr(folder / L"profiles.json"),
            "{\n  \"76561198000000001\": {\n    \"note\": 7,\n    \"slot0\": \"\xE5\x90\x8D\",\n    \"slot1\": \"Old\"\n"
            "  },\n  \"other\": {\n    \"slot0\": \"Them\"\n  }\n}");
  EXPECT_EQ(LookupName("76561198000000001", 0), std::optional<std::string>("\xE5\x90\x8D"));
}

TEST(Profiles, ResetRemovesTheSlotAndTheLastSlotRemovesTheProfile) {
  fwtest::TempFolder folder;
  bh::coop::testing::UseProfilesFolder(folder.path());
  EXPECT_TRUE(StoreName("dev-profile-1", 0, "Ada"));
  EXPECT_TRUE(StoreName("dev-profile-1", 2, "Bo"));
  EXPECT_TRUE(StoreName("dev-profile-1", 0, ""));
  EXPECT_EQ(fwtest::ReadFileOr(folder / L"profiles.json"), "{\n  \"dev-profile-1\": {\n    \"slot2\": \"Bo\"\n  }\n}");
  EXPECT_TRUE(StoreName("dev-profile-1", 2, "\x01\x02"));  // cleans to nothing: removed
  EXPECT_EQ(fwtest::ReadFileOr(folder / L"profiles.json"), "{}");
}

TEST(Profiles, UnreadableFileIsReportedOnceAndKeptAsideBeforeSaving) {
  struct Case {
    const char* content;
    const char* warning;
  };
  for (const Case& c : {Case{"[\"an\", \"array\"]", "[WRN] [profiles] profiles.json is not a JSON object; ignoring it"},
                        Case{"{\"a\": ", "[WRN] [profiles] profiles.json parse error: [json.exception.parse_error"},
                        Case{"{\"a\": 1} // no comments", "profiles.json parse error"}}) {
    SCOPED_TRACE(c.content);
    fwtest::TempFolder folder;
    ASSERT_TRUE(fwtest::WriteFile(folder / L"profiles.json", c.content));
    ASSERT_TRUE(fwtest::WriteFile(folder / L"profiles.json.1.bad", "an older damaged file"));
    bh::coop::testing::UseProfilesFolder(folder.path());
    fwtest::LogCapture capture;
    EXPECT_EQ(LookupName("p", 0), std::nullopt);
    EXPECT_EQ(LookupName("p", 1), std::nullopt);
    EXPECT_EQ(capture.count(c.warning), 1) << capture.all();
    EXPECT_TRUE(StoreName("p", 0, "Ada"));
    EXPECT_EQ(fwtest::ReadFileOr(folder / L"profiles.json.2.bad"), c.content);
    EXPECT_EQ(fwtest::ReadFileOr(folder / L"profiles.json.1.bad"), "an older damaged file");
    EXPECT_TRUE(capture.contains("profiles.json could not be read; kept it as "));
    EXPECT_TRUE(capture.contains("profiles.json.2.bad before saving a new one"));
    EXPECT_EQ(fwtest::ReadFileOr(folder / L"profiles.json"), "{\n  \"p\": {\n    \"slot0\": \"Ada\"\n  }\n}");
    // Only the first save moves anything.
    EXPECT_TRUE(StoreName("p", 1, "Bo"));
    EXPECT_FALSE(fwtest::FileExists(folder / L"profiles.json.3.bad"));
  }
}

TEST(Profiles, FailedReplaceReportsAndKeepsTheOldFile) {
  fwtest::TempFolder folder;
  bh::coop::testing::UseProfilesFolder(folder.path());
  ASSERT_TRUE(StoreName("p", 0, "Ada"));
  std::wstring path = folder / L"profiles.json";
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  fwtest::LogCapture capture;
  EXPECT_FALSE(StoreName("p", 0, "Bo"));
  CloseHandle(held);
  EXPECT_TRUE(capture.contains("[WRN] [profiles] replace profiles.json failed (GetLastError="));
  EXPECT_TRUE(capture.contains("name for p slot0 -> \"Bo\" (NOT saved)"));
  EXPECT_NE(fwtest::ReadFileOr(path).find("Ada"), std::string::npos);
  // The next save goes through and picks up the name kept in memory.
  EXPECT_TRUE(StoreName("p", 1, "Cy"));
  EXPECT_NE(fwtest::ReadFileOr(path).find("\"slot0\": \"Bo\""), std::string::npos);
}
