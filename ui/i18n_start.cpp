// The language at start-up, first-run detection from Steam, and the saved choice.
#include <windows.h>

#include <atomic>

#include "core/config.h"
#include "core/gamethread.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "ui/i18n.h"

namespace bh::ui {
namespace {

constexpr float kAskEverySeconds = 2.0f;
constexpr float kGiveUpSeconds = 90.0f;

// Steam's language for this game, through the flat interface of the Steam
// library the game has loaded; "" when the library, the interface or the
// answer is missing.
std::string SteamGameLanguage() {
  HMODULE steam = GetModuleHandleW(L"steam_api64.dll");
  if (!steam) return {};
  using AppsFn = void* (*)();
  using LanguageFn = const char* (*)(void*);
  auto apps = reinterpret_cast<AppsFn>(GetProcAddress(steam, "SteamAPI_SteamApps_v008"));
  auto language = reinterpret_cast<LanguageFn>(GetProcAddress(steam, "SteamAPI_ISteamApps_GetCurrentGameLanguage"));
  if (!apps || !language) return {};
  void* interface = apps();
  if (!interface) return {};
  const char* answer = language(interface);
  return answer ? std::string(answer) : std::string();
}

// Game thread only, except the source, which tests swap before start-up.
struct DetectionState {
  float countdownSeconds = 0;
  float elapsedSeconds = 0;  // sum of the ticks' steps: the pump's clock
  std::int32_t tickerId = 0;
  std::atomic<std::string (*)()> gameLanguage{&SteamGameLanguage};
};

DetectionState& Detection() {
  static DetectionState* state = new DetectionState();
  return *state;
}

void StopDetection() {
  DetectionState& d = Detection();
  if (d.tickerId == 0) return;
  core::RemoveTicker(d.tickerId);
  d.tickerId = 0;
}

Language LanguageFromSteam(const std::string& answer) {
  if (answer == "schinese" || answer == "tchinese") return Language::Chinese;
  if (answer == "japanese") return Language::Japanese;
  return Language::English;
}

void DetectionStep(float step) {
  DetectionState& d = Detection();
  d.countdownSeconds -= step;
  d.elapsedSeconds += step;
  if (d.countdownSeconds > 0) return;
  d.countdownSeconds = kAskEverySeconds;

  std::string answer = d.gameLanguage.load()();
  if (!answer.empty()) {
    Language language = LanguageFromSteam(answer);
    core::LogInfo(tag::kI18n, "first run: Steam game language '{}' -> UI language {}", answer, LanguageCode(language));
    PreviewLanguage(language);
    core::SaveLanguage(LanguageCode(language));
    StopDetection();
  } else if (d.elapsedSeconds >= kGiveUpSeconds) {
    core::LogInfo(tag::kI18n, "first run: Steam game language unavailable after 90 s; keeping {}",
                  LanguageCode(CurrentLanguage()));
    StopDetection();
  }
}

}  // namespace

void SelectLanguage(Language language) {
  PreviewLanguage(language);
  core::SaveLanguage(LanguageCode(language));
  StopDetection();
}

void InitI18n() {
  const core::Settings& settings = core::GetSettings();
  Language language = LanguageFromCode(settings.language);
  PreviewLanguage(language);
  core::LogInfo(tag::kI18n, "UI language {} ({})", LanguageCode(language),
                settings.languageFromFile ? "from config.json" : "default; detecting from Steam");
  DetectionState& d = Detection();
  if (settings.languageFromFile || d.tickerId != 0) return;
  d.countdownSeconds = 0;
  d.elapsedSeconds = 0;
  d.tickerId = core::AddTicker("i18n-detect", &DetectionStep);
}

void testing::SetGameLanguageSource(std::string (*source)()) {
  Detection().gameLanguage.store(source ? source : &SteamGameLanguage);
}

bool testing::DetectionRunning() { return Detection().tickerId != 0; }

}  // namespace bh::ui
