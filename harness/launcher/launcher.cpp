// Minimal stand-in game process: loads Fenwarden.dll from its folder and
// starts it. See README.md for the switches.
#include <windows.h>

#include <cstdint>
#include <share.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C; print what it carries.
LONG CALLBACK CaptureDebugString(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    std::fputs("[debug] ", stdout);
    std::fputs(text, stdout);
    std::fflush(stdout);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C && record->NumberParameters >= 2) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
    char narrow[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    if (n > 0) {
      std::fputs("[debug] ", stdout);
      std::fputs(narrow, stdout);
      std::fflush(stdout);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring s(path, n);
  return s.substr(0, s.find_last_of(L"\\/"));
}

void PrintLog() {
  wchar_t base[520];
  DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", base, 520);
  std::wstring path = std::wstring(base, n) + L"\\Brackenhold\\Saved\\Fenwarden\\Fenwarden.log";
  std::fputs("--- Fenwarden.log ---\n", stdout);
  if (FILE* f = _wfsopen(path.c_str(), L"rb", _SH_DENYNO)) {
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) std::fwrite(buffer, 1, got, stdout);
    std::fclose(f);
  }
  std::fputs("--- end ---\n", stdout);
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  double seconds = 3;
  std::int64_t threadId = GetCurrentThreadId();
  bool startTwice = false, printLog = true;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--seconds" && i + 1 < argc) seconds = _wtof(argv[++i]);
    else if (arg == L"--thread-id" && i + 1 < argc) threadId = _wtoi64(argv[++i]);
    else if (arg == L"--start-twice") startTwice = true;
    else if (arg == L"--no-log") printLog = false;
  }
  AddVectoredExceptionHandler(1, &CaptureDebugString);

  HMODULE dll = LoadLibraryW((OwnFolder() + L"\\Fenwarden.dll").c_str());
  if (!dll) {
    std::printf("launcher: could not load Fenwarden.dll (error %lu)\n", GetLastError());
    return 1;
  }
  using StartFn = void (*)(std::int32_t);
  auto start = reinterpret_cast<StartFn>(GetProcAddress(dll, "Fenwarden_Start"));
  if (!start) {
    std::printf("launcher: Fenwarden_Start not exported\n");
    return 1;
  }
  start(static_cast<std::int32_t>(threadId));
  if (startTwice) start(static_cast<std::int32_t>(threadId));
  Sleep(static_cast<DWORD>(seconds * 1000));
  if (printLog) PrintLog();
  return 0;
}
