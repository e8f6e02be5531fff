// Start-up: Fenwarden_Start's thirteen steps, the initialisation thread and
// the OnReady registry.
#include "core/startup.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/config.h"
#include "core/gamethread.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/paths.h"
#include "core/text.h"
#include "engine/engine.h"
#include "hooks/hooks.h"
#include "coop/coop.h"
#include "ui/coop_menu.h"
#include "ui/i18n.h"
#include "ui/overlay.h"

namespace bh::core {
namespace {

constexpr std::uint64_t kEngineWaitMs = 120000;
constexpr std::uint32_t kEnginePollMs = 250;
constexpr std::uint64_t kPumpConfirmWaitMs = 15000;
constexpr std::uint32_t kPumpConfirmPollMs = 100;

struct StartupState {
  std::atomic<bool> started{false};
  std::atomic<bool> pumpConfirmed{false};

  std::mutex onReadyLock;  // guards onReady and fired; any thread, never held while a handler runs
  std::vector<std::function<void()>> onReady;
  bool fired = false;
};

// Constructed on first use (static registration runs before main), never destroyed.
StartupState& State() {
  static StartupState* state = new StartupState();
  return *state;
}

LogLevel ThresholdFromText(const std::string& text, bool& known) {
  std::string lower;
  for (char c : text) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  known = true;
  if (lower == "info") return LogLevel::Info;
  if (lower == "warn" || lower == "warning") return LogLevel::Warning;
  if (lower == "error") return LogLevel::Error;
  known = false;
  return LogLevel::Info;
}

}  // namespace

const char* EngineReadinessText(EngineReadiness state) {
  switch (state) {
    case EngineReadiness::ObjectsEmpty: return "GObjects empty";
    case EngineReadiness::NoEngine: return "no UEngine instance";
    case EngineReadiness::NoViewport: return "GEngine->GameViewport is null";
    case EngineReadiness::Fault: return "access fault while probing";
    default: return "";
  }
}

std::string FormatGameBuildId(unsigned long long fileSize, std::uint32_t timeDateStamp) {
  return fmt::format("{}-{:08x}", fileSize, timeDateStamp);
}

std::string ComputeGameBuildId(const std::wstring& exePath, const void* imageBase) {
  if (exePath.empty()) return "unknown";
  unsigned long long size = 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(exePath.c_str(), GetFileExInfoStandard, &data))
    size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  std::uint32_t stamp = 0;
  if (imageBase) {
    auto base = static_cast<const unsigned char*>(imageBase);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    stamp = nt->FileHeader.TimeDateStamp;
  }
  return FormatGameBuildId(size, stamp);
}

const std::string& GameBuildId() {
  static const std::string id = [] {
    HMODULE exe = GetModuleHandleW(nullptr);
    return ComputeGameBuildId(paths::ModuleFileName(exe), exe);
  }();
  return id;
}

void RegisterOnReady(std::function<void()> handler) {
  if (!handler) return;
  StartupState& s = State();
  {
    std::lock_guard<std::mutex> guard(s.onReadyLock);
    if (!s.fired) {
      s.onReady.push_back(std::move(handler));
      return;
    }
  }
  PostToGameThread(std::move(handler));
}

std::size_t testing::FireOnReady() {
  StartupState& s = State();
  std::vector<std::function<void()>> handlers;
  {
    std::lock_guard<std::mutex> guard(s.onReadyLock);
    handlers.swap(s.onReady);
    s.fired = true;
  }
  for (auto& handler : handlers) PostToGameThread(std::move(handler));
  return handlers.size();
}

std::size_t testing::PendingOnReadyCount() {
  std::lock_guard<std::mutex> guard(State().onReadyLock);
  return State().onReady.size();
}

bool testing::PumpConfirmed() { return State().pumpConfirmed.load(); }

// The first start-up wave (game thread, one posted task).
void StartWaveThree() {
  ui::InitI18n();
  if (!ui::OverlayInit()) LogError(tag::kBootstrap, "overlay init failed - continuing without the F5 menu / toasts");
  coop::Init();
  ui::InitCoopMenu();
  LogInfo(tag::kBootstrap, "WO-3 modules ready ({} {}, game build {})", ModName, ModVersion, GameBuildId());
}

unsigned long __stdcall InitThread(void*) {
  StartupState& s = State();
  std::uint64_t start = TickMs();
  EngineReadiness state = engine::ProbeReadiness();
  while (state != EngineReadiness::Ready) {
    if (TickMs() - start >= kEngineWaitMs) {
      LogError(tag::kCore, "engine not ready after {} s (last state: {}); giving up", kEngineWaitMs / 1000,
               EngineReadinessText(state));
      return 0;
    }
    SleepMs(kEnginePollMs);
    state = engine::ProbeReadiness();
  }
  LogInfo(tag::kCore, "engine ready after {} ms (GObjects: {} objects)", TickMs() - start, engine::ObjectCount());

  if (!engine::PrewarmSdkClasses()) LogWarn(tag::kCore, "SDK class prewarm failed; first game-thread calls may hitch");

  if (!hooks::Init()) {
    LogError(tag::kCore, "hook installation failed; {} stays inactive", ModName);
    return 0;
  }

  std::size_t posted = testing::FireOnReady();
  LogInfo(tag::kCore, "{} OnReady handler(s) posted to the game thread", posted);
  LogInfo(tag::kCore, "core ready");

  PostToGameThread([] { State().pumpConfirmed.exchange(true); });
  start = TickMs();
  while (!s.pumpConfirmed.load()) {
    if (TickMs() - start >= kPumpConfirmWaitMs) break;
    SleepMs(kPumpConfirmPollMs);
  }
  if (s.pumpConfirmed.load())
    LogInfo(tag::kCore, "game-thread pump confirmed on thread {}", GameThreadId());
  else
    LogWarn(tag::kCore, "game-thread pump has not run within {} s; thread {} may not be the UE game thread",
            kPumpConfirmWaitMs / 1000, GameThreadId());
  return 0;
}

void Start(std::int32_t gameThreadId) {
  StartupState& s = State();
  if (s.started.exchange(true)) return;
  SetGameThreadId(static_cast<std::uint32_t>(gameThreadId));

  bool parsed = LoadConfig();
  OpenLogFile(SavedFolder() + L"\\Fenwarden.log");
  bool knownLevel = true;
  SetLogThreshold(ThresholdFromText(GetSettings().logLevel, knownLevel));

  LogInfo(tag::kCore, "{} {} by {} starting ({} build)", ModName, ModVersion, ModAuthor, BuildFlavour);
  LogInfo(tag::kCore, "game build {}; game thread id {}", GameBuildId(), static_cast<std::uint32_t>(gameThreadId));
  LogInfo(tag::kCore, "command line: {}", Utf8FromWide(GetCommandLineW()));
  LogInfo(tag::kCore, "mod dir: {}; saved dir: {}", Utf8FromWide(ModFolder()), Utf8FromWide(SavedFolder()));
  if (!parsed) LogWarn(tag::kCore, "config.json could not be parsed; running with defaults (file left untouched)");
  if (!knownLevel)
    LogWarn(tag::kCore, "unknown log_level '{}' (accepted: {}), using info", GetSettings().logLevel, "info|warn|error");
  if (gameThreadId == 0) LogError(tag::kCore, "main thread id is 0; game-thread work will never run");

  HANDLE thread = CreateThread(nullptr, 0, &InitThread, nullptr, 0, nullptr);
  if (!thread) {
    LogError(tag::kCore, "CreateThread(init) failed: {}", GetLastError());
    return;
  }
  CloseHandle(thread);
}

}  // namespace bh::core
