// The language at start-up, first-run detection from Steam, and the saved choice.
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

std::string NoGameLanguage() { return {}; }

// Game thread only, except the source, which tests swap before start-up.
struct DetectionState {
  float countdownSeconds = 0;
  float elapsedSeconds = 0;  // sum of the ticks' steps: the pump's clock
  std::int32_t tickerId = 0;
  std::atomic<std::string (*)()> gameLanguage{&NoGameLanguage};
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
  Detection().gameLanguage.store(source ? source : &NoGameLanguage);
}

bool testing::DetectionRunning() { return Detection().tickerId != 0; }

}  // namespace bh::ui
