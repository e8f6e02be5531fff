// Localisation: every text a player sees, looked up by dotted key in the
// current language (English, Chinese or Japanese), and the choice of that
// language at start-up (config.json, or on first run Steam's game language).
//
// Offers: tr, trf, CurrentLanguage, PreviewLanguage, SelectLanguage, InitI18n.
// Needs: the settings (language, languageFromFile), SaveLanguage, tickers,
// and Steam's game language for first-run detection.
// Threads: tr/trf/CurrentLanguage/PreviewLanguage from any thread (the
// language is one byte read and written without a lock); SelectLanguage and
// InitI18n on the game thread.
#pragma once

#include <cstdint>
#include <string>

namespace bh::ui {

enum class Language : std::uint8_t { English = 0, Chinese = 1, Japanese = 2 };

// "en", "zh" or "ja" ("en" for any other value).
const char* LanguageCode(Language language);
// "zh" -> Chinese, "ja" -> Japanese, anything else English.
Language LanguageFromCode(const std::string& code);

// The text for key in the current language, else English, else the key
// itself; "" for a null key. Static lifetime; allocation-free after the first call.
const char* tr(const char* key);
// tr(key) as a "{}" template filled in order; unformatted when the template
// does not fit the arguments.
std::string trf(const char* key, const char* arg);
std::string trf(const char* key, const std::string& arg);
std::string trf(const char* key, const std::string& first, const std::string& second);

Language CurrentLanguage();
// Shows language at once; saves nothing.
void PreviewLanguage(Language language);
// Shows language, saves it to config.json and stops first-run detection.
void SelectLanguage(Language language);

// Start-up: the configured language, and first-run detection when config.json
// did not settle it.
void InitI18n();

namespace testing {
// Replaces the source of Steam's game language ("" = not available); null restores Steam.
void SetGameLanguageSource(std::string (*source)());
bool DetectionRunning();
}  // namespace testing

}  // namespace bh::ui
