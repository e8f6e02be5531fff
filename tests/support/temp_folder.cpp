#include "support/temp_folder.h"

#include <windows.h>

#include <atomic>
#include <share.h>

#include <cstdio>
#include <map>
#include <vector>

namespace fwtest {
namespace {

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(child);
      else DeleteFileW(child.c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

std::wstring UnixToWine(std::wstring path) {
  if (!path.empty() && path[0] == L'/') {
    for (wchar_t& c : path)
      if (c == L'/') c = L'\\';
    path = L"Z:" + path;
  }
  return path;
}

}  // namespace

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  for (;;) {
    path_ = std::wstring(base) + L"fwtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

bool WriteFile(const std::wstring& path, const std::string& bytes) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool ReadFile(const std::wstring& path, std::string& bytes) {
  FILE* f = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
  if (!f) return false;
  bytes.clear();
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, got);
  std::fclose(f);
  return true;
}

std::string ReadFileOr(const std::wstring& path, const std::string& fallback) {
  std::string bytes;
  return ReadFile(path, bytes) ? bytes : fallback;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& overrides, unsigned timeoutMs) {
  ProcessResult result;
  // Environment: the current one, with NAME=value lines of overrides (separated by '\n') replacing or adding.
  std::map<std::wstring, std::wstring> env;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
      std::wstring entry = p;
      std::size_t eq = entry.find(L'=', 1);
      if (eq != std::wstring::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
  }
  std::size_t start = 0;
  while (start < overrides.size()) {
    std::size_t end = overrides.find(L'\n', start);
    if (end == std::wstring::npos) end = overrides.size();
    std::wstring entry = overrides.substr(start, end - start);
    std::size_t eq = entry.find(L'=');
    if (eq != std::wstring::npos) {
      std::wstring value = entry.substr(eq + 1);
      if (value.empty()) env.erase(entry.substr(0, eq));
      else env[entry.substr(0, eq)] = value;
    }
    start = end + 1;
  }
  std::vector<wchar_t> block;
  for (auto& [name, value] : env) {
    std::wstring line = name + L"=" + value;
    block.insert(block.end(), line.begin(), line.end());
    block.push_back(0);
  }
  block.push_back(0);

  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  std::wstring mutableLine = commandLine;
  if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, block.data(),
                      nullptr, &si, &pi)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return result;
  }
  CloseHandle(writeEnd);
  char buffer[4096];
  DWORD got;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
  CloseHandle(readEnd);
  if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  result.exitCode = static_cast<int>(code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return result;
}

std::wstring BinFolder() {
  wchar_t value[1024];
  DWORD n = GetEnvironmentVariableW(L"FW_BIN_DIR", value, 1024);
  return UnixToWine(std::wstring(value, n));
}

}  // namespace fwtest
