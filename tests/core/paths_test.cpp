// Folders: the saved base from the environment, the saved folder and the
// one-time takeover of profiles.json.
#include <gtest/gtest.h>
#include <windows.h>

#include "core/paths.h"
#include "support/debug_capture.h"
#include "support/temp_folder.h"

namespace paths = bh::core::paths;

TEST(Paths, SavedBaseComesFromTheEnvironment) {
  struct Case {
    const wchar_t* localAppData;  // null: unset
    const wchar_t* userProfile;
    std::wstring expected;
  };
  const std::wstring tooLong(600, L'x');
  const std::wstring longest(519, L'y');
  const Case cases[] = {
      {L"C:\\Users\\p\\AppData\\Local", L"C:\\Users\\p", L"C:\\Users\\p\\AppData\\Local\\Brackenhold\\Saved"},
      {tooLong.c_str(), L"C:\\Users\\q", L"C:\\Users\\q\\AppData\\Local\\Brackenhold\\Saved"},
      {nullptr, L"C:\\Users\\r", L"C:\\Users\\r\\AppData\\Local\\Brackenhold\\Saved"},
      {longest.c_str(), nullptr, longest + L"\\Brackenhold\\Saved"},
      {nullptr, nullptr, L"\\Brackenhold\\Saved"},
      {tooLong.c_str(), tooLong.c_str(), L"\\Brackenhold\\Saved"},
  };
  for (const Case& c : cases) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", c.localAppData);
    SetEnvironmentVariableW(L"USERPROFILE", c.userProfile);
    EXPECT_EQ(paths::SavedBaseFromEnvironment(), c.expected);
  }
}

TEST(Paths, FolderOfCutsAtTheLastSeparator) {
  EXPECT_EQ(paths::FolderOf(L"C:\\Games\\Brackenhold\\Mods\\Fenwarden.dll"), L"C:\\Games\\Brackenhold\\Mods");
  EXPECT_EQ(paths::FolderOf(L"C:/Games/Mods/Fenwarden.dll"), L"C:/Games/Mods");
  EXPECT_EQ(paths::FolderOf(L"C:\\Games/Mods\\x/Fenwarden.dll"), L"C:\\Games/Mods\\x");
  EXPECT_EQ(paths::FolderOf(L"Fenwarden.dll"), L"");
}

TEST(Paths, ModFolderIsTheFolderOfTheRunningModule) {
  std::wstring exe = paths::ModuleFileName(nullptr);
  ASSERT_FALSE(exe.empty());
  // Linked into this test executable, the library's folder is the executable's.
  EXPECT_EQ(bh::core::ModFolder(), paths::FolderOf(exe));
}

TEST(Paths, SavedFolderIsCreatedAndTakesOverProfilesOnce) {
  fwtest::TempFolder base;
  std::wstring saved = base / L"deep\\er\\Saved";
  ASSERT_TRUE(CreateDirectoryW((base / L"deep").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((base / L"deep\\er").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(saved.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((saved + L"\\BHCoop").c_str(), nullptr));
  ASSERT_TRUE(fwtest::WriteFile(saved + L"\\BHCoop\\profiles.json", "older"));

  EXPECT_EQ(paths::PrepareSavedFolder(saved), saved + L"\\Fenwarden");
  EXPECT_EQ(fwtest::ReadFileOr(saved + L"\\Fenwarden\\profiles.json"), "older");

  // Later starts never overwrite what is there.
  ASSERT_TRUE(fwtest::WriteFile(saved + L"\\Fenwarden\\profiles.json", "mine"));
  paths::PrepareSavedFolder(saved);
  EXPECT_EQ(fwtest::ReadFileOr(saved + L"\\Fenwarden\\profiles.json"), "mine");
}

TEST(Paths, MissingParentsAreCreatedAndNoOlderDataIsFine) {
  fwtest::TempFolder base;
  std::wstring saved = base / L"a\\b\\Brackenhold\\Saved";
  EXPECT_EQ(paths::PrepareSavedFolder(saved), saved + L"\\Fenwarden");
  DWORD attributes = GetFileAttributesW((saved + L"\\Fenwarden").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(fwtest::FileExists(saved + L"\\Fenwarden\\profiles.json"));
}

TEST(Paths, UncreatableFolderIsReportedOnTheDebuggerOutput) {
  fwtest::TempFolder base;
  ASSERT_TRUE(fwtest::WriteFile(base / L"Fenwarden", "a file in the way"));
  fwtest::StartDebugCapture();
  EXPECT_EQ(paths::PrepareSavedFolder(base.path()), base / L"Fenwarden");
  EXPECT_TRUE(fwtest::DebugOutputContains("[Fenwarden] could not create "));
}
