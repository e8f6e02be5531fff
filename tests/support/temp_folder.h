// Scratch folders and small file helpers for tests (UTF-16 paths, as the product uses).
#pragma once

#include <string>

namespace fwtest {

// A new empty folder under the Wine prefix's temp folder; removed at destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

bool WriteFile(const std::wstring& path, const std::string& bytes);
// Reads a whole file; false when it cannot be opened.
bool ReadFile(const std::wstring& path, std::string& bytes);
std::string ReadFileOr(const std::wstring& path, const std::string& fallback = "<missing>");
bool FileExists(const std::wstring& path);

// Runs a program, waits for it, and returns its stdout and exit code.
struct ProcessResult {
  int exitCode = -1;
  std::string output;
};
ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& environmentOverrides = L"",
                         unsigned timeoutMs = 60000);

// The folder with Fenwarden.dll and the stand-ins (from FW_BIN_DIR).
std::wstring BinFolder();

}  // namespace fwtest
