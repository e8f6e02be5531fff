// Lookup and formatting over the string table.
#include "ui/i18n.h"

#include <atomic>
#include <exception>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

#include "ui/strings.h"

namespace bh::ui {
namespace {

using LookupMap = std::unordered_map<std::string_view, const char*>;

struct LookupMaps {
  LookupMap byLanguage[3];
};

// Built on the first lookup from any thread, read-only afterwards.
const LookupMaps& Maps() {
  static const LookupMaps* maps = [] {
    auto* built = new LookupMaps();
    for (const StringRow& row : StringTable()) {
      const char* texts[3] = {row.english, row.chinese, row.japanese};
      for (int i = 0; i < 3; ++i)
        if (texts[i]) built->byLanguage[i].emplace(row.key, texts[i]);  // the first text of a key wins
    }
    return built;
  }();
  return *maps;
}

std::atomic<std::uint8_t> g_current{0};

const char* Find(const LookupMap& map, const char* key) {
  auto it = map.find(std::string_view(key));
  return it == map.end() ? nullptr : it->second;
}

template <typename... Args>
std::string Format(const char* key, const Args&... args) {
  const char* templ = tr(key);
  try {
    return fmt::format(fmt::runtime(templ), args...);
  } catch (const std::exception&) {
    return templ;
  }
}

}  // namespace

const char* LanguageCode(Language language) {
  switch (language) {
    case Language::Chinese: return "zh";
    case Language::Japanese: return "ja";
    default: return "en";
  }
}

Language LanguageFromCode(const std::string& code) {
  if (code == "zh") return Language::Chinese;
  if (code == "ja") return Language::Japanese;
  return Language::English;
}

const char* tr(const char* key) {
  if (!key) return "";
  const LookupMaps& maps = Maps();
  Language language = CurrentLanguage();
  if (language == Language::Chinese || language == Language::Japanese)
    if (const char* text = Find(maps.byLanguage[static_cast<int>(language)], key)) return text;
  if (const char* text = Find(maps.byLanguage[0], key)) return text;
  return key;
}

std::string trf(const char* key, const char* arg) { return Format(key, arg ? arg : ""); }
std::string trf(const char* key, const std::string& arg) { return Format(key, arg); }
std::string trf(const char* key, const std::string& first, const std::string& second) {
  return Format(key, first, second);
}

Language CurrentLanguage() {
  std::uint8_t value = g_current.load(std::memory_order_relaxed);
  return value <= 2 ? static_cast<Language>(value) : Language::English;
}

void PreviewLanguage(Language language) {
  g_current.store(static_cast<std::uint8_t>(language), std::memory_order_relaxed);
}

}  // namespace bh::ui
