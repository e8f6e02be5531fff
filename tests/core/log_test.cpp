// The log file: truncated at open, readers allowed, other writers denied.
#include <gtest/gtest.h>
#include <windows.h>

#include "core/log.h"
#include "support/temp_folder.h"

using bh::core::LogLevel;

TEST(LogFile, OpenTruncatesSharesForReadingAndDeniesWriters) {
  fwtest::TempFolder folder;
  std::wstring path = folder / L"Fenwarden.log";
  ASSERT_TRUE(fwtest::WriteFile(path, "previous run\n"));
  bh::core::SetLogThreshold(LogLevel::Info);
  bh::core::OpenLogFile(path);
  bh::core::Log(LogLevel::Info, "core", "core ready");
  // A second open does nothing: the file is not truncated again.
  bh::core::OpenLogFile(folder / L"other.log");
  bh::core::Log(LogLevel::Warning, "core", "second");

  std::string text = fwtest::ReadFileOr(path);  // read while the log holds it open
  EXPECT_EQ(text.find("previous run"), std::string::npos);
  EXPECT_NE(text.find("] [INF] [core] core ready\n"), std::string::npos);
  EXPECT_NE(text.find("] [WRN] [core] second\n"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_FALSE(fwtest::FileExists(folder / L"other.log"));

  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}

TEST(LogFile, MissingFolderLeavesOnlyTheDebuggerOutput) {
  fwtest::TempFolder folder;
  std::wstring path = folder / L"missing\\Fenwarden.log";
  bh::core::OpenLogFile(path);
  bh::core::Log(LogLevel::Error, "core", "still logged");
  EXPECT_FALSE(fwtest::FileExists(path));
}
