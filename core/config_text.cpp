// config.json text: reading the keys (with the library's own type-error texts
// in the warnings) and the one file layout the library writes.
#include <nlohmann/json.hpp>

#include "core/config.h"
#include "core/log.h"
#include "core/log_tags.h"

namespace bh::core {
namespace {

using nlohmann::json;

// json::get<T>() throws type_error 302 with the text the warnings quote.
template <typename T>
bool ReadValue(const json& value, T& out, std::string& error) {
  try {
    out = value.get<T>();
    return true;
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  }
}

void ReadString(const json& object, const char* key, std::string& value, ConfigReadFlags& flags) {
  auto it = object.find(key);
  if (it == object.end()) {
    flags.missing = true;
    return;
  }
  std::string error;
  std::string read;
  if (ReadValue(*it, read, error)) {
    value = std::move(read);
  } else {
    flags.wrongType = true;
    LogWarn(tag::kConfig, "config.json: key '{}' has the wrong type ({}); keeping default", key, error);
  }
}

// Numbers of every JSON kind, and booleans (true = 1, false = 0): exactly
// what json::get<float>() accepts.
void ReadNumber(const json& object, const char* key, float& value, ConfigReadFlags& flags) {
  auto it = object.find(key);
  if (it == object.end()) {
    flags.missing = true;
    return;
  }
  std::string error;
  float read = 0;
  if (ReadValue(*it, read, error)) {
    value = read;
  } else {
    flags.wrongType = true;
    LogWarn(tag::kConfig, "config.json: key '{}' has the wrong type ({}); keeping default", key, error);
  }
}

}  // namespace

bool IsLanguageCode(std::string_view code) { return code == "en" || code == "zh" || code == "ja"; }

bool ReadConfigText(std::string_view bytes, Settings& working, ConfigReadFlags& flags) {
  json root = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false,
                          /*ignore_comments=*/true);
  if (!root.is_object()) return false;

  for (const char* key : {"transport", "udp_port", "udp_host_ip", "profile"}) {
    if (root.contains(key)) LogInfo(tag::kConfig, "config.json: dev-only key '{}' ignored in the release build", key);
  }
  ReadString(root, "menu_key", working.menuKey, flags);
  ReadString(root, "log_level", working.logLevel, flags);

  std::string language = working.language;
  ConfigReadFlags languageFlags;
  ReadString(root, "language", language, languageFlags);
  flags.missing |= languageFlags.missing;
  flags.wrongType |= languageFlags.wrongType;
  if (!languageFlags.missing && !languageFlags.wrongType) {
    if (IsLanguageCode(language)) {
      working.language = language;
      working.languageFromFile = true;
    } else {
      LogWarn(tag::kConfig, "config.json: unknown language '{}' (use \"en\" or \"zh\"); keeping '{}'", language,
              working.language);
    }
  }

  auto hp = root.find("hp_scale");
  if (hp == root.end()) {
    flags.missing = true;
  } else if (!hp->is_object()) {
    flags.wrongType = true;
    LogWarn(tag::kConfig, "config.json: 'hp_scale' is not an object; keeping defaults");
  } else {
    ReadNumber(*hp, "normal", working.hpScale.normal, flags);
    ReadNumber(*hp, "elite", working.hpScale.elite, flags);
    ReadNumber(*hp, "boss", working.hpScale.boss, flags);
  }
  return true;
}

std::string SerializeConfig(const Settings& settings) {
  json root = json::object();
  root["menu_key"] = settings.menuKey;
  root["log_level"] = settings.logLevel;
  root["language"] = settings.language;
  root["hp_scale"] = {{"normal", static_cast<double>(settings.hpScale.normal)},
                      {"elite", static_cast<double>(settings.hpScale.elite)},
                      {"boss", static_cast<double>(settings.hpScale.boss)}};
  // Texts came from parsed JSON or from fixed codes, so they are valid UTF-8;
  // replace rather than throw should that ever change.
  return root.dump(2, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace) + "\n";
}

}  // namespace bh::core
