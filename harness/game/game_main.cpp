// The stand-in game process: boots the stand-in engine on its main thread
// (the game thread), loads Fenwarden.dll from its own folder, starts it with
// the game thread's id, and runs frames. See README.md for the switches.
#include <windows.h>

#include <share.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "standin/engine.h"
#include "standin/world.h"

namespace {

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C; print what it carries, so
// the lines written before the log file opens can be seen.
LONG CALLBACK CaptureDebugString(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
    std::fputs("[debug] ", stdout);
    std::fputs(reinterpret_cast<const char*>(record->ExceptionInformation[1]), stdout);
    std::fflush(stdout);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C && record->NumberParameters >= 2) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
    char narrow[4096];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) > 0) {
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

struct Switches {
  double seconds = 3;
  double timeScale = 1;
  int frameMs = 16;
  std::wstring threadId;  // empty: the game thread; "worker": the worker thread's; else a number
  bool startTwice = false;
  bool printLog = true;
  bool loadDll = true;
  bool steam = false;  // load the stand-in steam_api64.dll and pump it every frame
  standin::BootOptions boot;
};

Switches Parse(int argc, wchar_t** argv) {
  Switches s;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    bool more = i + 1 < argc;
    if (arg == L"--seconds" && more) s.seconds = _wtof(argv[++i]);
    else if (arg == L"--time-scale" && more) s.timeScale = _wtof(argv[++i]);
    else if (arg == L"--frame-ms" && more) s.frameMs = _wtoi(argv[++i]);
    else if (arg == L"--thread-id" && more) s.threadId = argv[++i];
    else if (arg == L"--objects" && more) s.boot.objectCount = _wtoi(argv[++i]);
    else if (arg == L"--no-viewport") s.boot.viewport = false;
    else if (arg == L"--empty-objects") s.boot.emptyObjectArray = true;
    else if (arg == L"--other-build") s.boot.processInternalRva = standin::rva::kOtherBuildProcessInternal;
    else if (arg == L"--moved-process-event") s.boot.processEventRva = standin::rva::kMovedProcessEvent;
    else if (arg == L"--split-vote") s.boot.splitFuncVote = true;
    else if (arg == L"--late-class" && more) s.boot.lateClassSeconds = _wtof(argv[++i]);
    else if (arg == L"--start-twice") s.startTwice = true;
    else if (arg == L"--no-log") s.printLog = false;
    else if (arg == L"--no-dll") s.loadDll = false;
    else if (arg == L"--steam") s.steam = true;
    // Anything else (-bhcoop-noplsf, +connect_lobby ...) is for the library to read.
  }
  return s;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Switches s = Parse(argc, argv);
  AddVectoredExceptionHandler(1, &CaptureDebugString);

  standin::Boot(s.boot);
  standin::StartWorkerThread();
  std::printf("game: booted, %d objects, game thread %lu\n", standin::ObjectArray().numElements, GetCurrentThreadId());
  std::fflush(stdout);

  // Like the real game, Steam is loaded and initialised before anything else
  // of the game's runs, and pumped once per frame on the game thread.
  void (*runSteamCallbacks)() = nullptr;
  if (s.steam) {
    HMODULE steam = LoadLibraryW((OwnFolder() + L"\\steam_api64.dll").c_str());
    auto init = steam ? reinterpret_cast<bool (*)()>(GetProcAddress(steam, "SteamAPI_Init")) : nullptr;
    bool up = init && init();
    std::printf("game: Steam %s\n", up ? "initialised" : "did not start");
    if (up) runSteamCallbacks = reinterpret_cast<void (*)()>(GetProcAddress(steam, "SteamAPI_RunCallbacks"));
  }

  if (s.loadDll) {
    HMODULE dll = LoadLibraryW((OwnFolder() + L"\\Fenwarden.dll").c_str());
    if (!dll) {
      std::printf("game: could not load Fenwarden.dll (error %lu)\n", GetLastError());
      standin::StopWorkerThread();
      return 1;
    }
    using StartFn = void (*)(std::int32_t);
    auto start = reinterpret_cast<StartFn>(GetProcAddress(dll, "Fenwarden_Start"));
    if (!start) {
      std::printf("game: Fenwarden_Start not exported\n");
      standin::StopWorkerThread();
      return 1;
    }
    std::int64_t id = GetCurrentThreadId();
    if (s.threadId == L"worker") id = standin::WorkerThreadId();
    else if (!s.threadId.empty()) id = _wtoi64(s.threadId.c_str());
    start(static_cast<std::int32_t>(id));
    if (s.startTwice) start(static_cast<std::int32_t>(id));
  }

  LARGE_INTEGER frequency, begin, last, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  last = begin;
  for (;;) {
    QueryPerformanceCounter(&now);
    double elapsed = double(now.QuadPart - begin.QuadPart) / double(frequency.QuadPart);
    if (elapsed >= s.seconds) break;
    double delta = double(now.QuadPart - last.QuadPart) / double(frequency.QuadPart);
    last = now;
    if (runSteamCallbacks) runSteamCallbacks();
    standin::RunFrame(delta * s.timeScale);
    if (standin::FrameCount() % 60 == 0) standin::CollectGarbage();
    Sleep(static_cast<DWORD>(s.frameMs));
  }
  standin::StopWorkerThread();
  std::printf("game: exiting after %llu frames, %llu ProcessEvent calls\n",
              static_cast<unsigned long long>(standin::FrameCount()),
              static_cast<unsigned long long>(standin::ProcessEventCalls()));
  std::fflush(stdout);
  if (s.printLog) PrintLog();
  return 0;
}
