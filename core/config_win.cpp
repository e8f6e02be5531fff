// config.json on disk: loading at start-up, the language write-back, and
// the atomic file write every module uses.
#include <windows.h>

#include <cstdio>

#include "core/config.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/paths.h"
#include "core/text.h"

namespace bh::core {
namespace {

struct ConfigState {
  Settings settings;
  bool writable = true;  // cleared when config.json exists but cannot be parsed
  std::wstring folder;   // where config.json lives (ModFolder, or a test folder)
};

ConfigState& State() {
  static ConfigState* state = new ConfigState();
  return *state;
}

std::wstring ConfigPath(const std::wstring& folder) { return folder + L"\\config.json"; }

bool ReadWholeFile(const std::wstring& path, std::string& out) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20);
  if (ok) {
    out.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    ok = out.empty() || (ReadFile(file, out.data(), static_cast<DWORD>(out.size()), &read, nullptr) &&
                         read == out.size());
  }
  CloseHandle(file);
  return ok;
}

// Writes the four keys; silently refuses when there is no folder or the
// file could not be parsed at load.
bool WriteConfig(const ConfigState& state) {
  if (state.folder.empty() || !state.writable) return false;
  return WriteFileAtomically(ConfigPath(state.folder), SerializeConfig(state.settings));
}

bool LoadInto(ConfigState& state, const std::wstring& folder) {
  state.folder = folder;
  state.writable = true;
  Settings working;
  bool parsed = true;
  std::wstring path = ConfigPath(folder);

  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    state.settings = working;
    if (!WriteConfig(state)) LogWarn(tag::kConfig, "could not write default config.json");
  } else {
    std::string bytes;
    ConfigReadFlags flags;
    bool isObject = ReadWholeFile(path, bytes) && ReadConfigText(bytes, working, flags);
    if (!isObject) {
      LogWarn(tag::kConfig, "config.json could not be parsed; using defaults (file left untouched)");
      state.writable = false;
      state.settings = Settings();
      state.settings.languageFromFile = true;
      parsed = false;
    } else {
      state.settings = working;
      if (flags.missing && !flags.wrongType && !WriteConfig(state))
        LogWarn(tag::kConfig, "could not rewrite config.json with missing keys");
    }
  }

  Settings& settings = state.settings;
  settings.transport = "steam";
  settings.udpPort = 27777;
  settings.udpHostIp = "127.0.0.1";
  settings.profile = 1;
  if (!IsLanguageCode(settings.language)) settings.language = "en";
  return parsed;
}

}  // namespace

const Settings& GetSettings() { return State().settings; }

bool LoadConfig() { return LoadInto(State(), ModFolder()); }

bool testing::LoadConfigFrom(const std::wstring& folder) { return LoadInto(State(), folder); }

bool SaveLanguage(const std::string& requested) {
  ConfigState& state = State();
  std::string code = IsLanguageCode(requested) ? requested : "en";
  state.settings.language = code;
  state.settings.languageFromFile = true;
  if (state.folder.empty()) return false;
  if (!state.writable) {
    LogWarn(tag::kConfig, "config.json could not be parsed at start-up; language '{}' not saved (file left untouched)",
            code);
    return false;
  }
  if (WriteConfig(state)) {
    LogInfo(tag::kConfig, "language '{}' saved to config.json", code);
    return true;
  }
  LogWarn(tag::kConfig, "could not write language '{}' to config.json", code);
  return false;
}

bool WriteFileAtomically(const std::wstring& path, std::string_view text) {
  std::wstring temporary = path + L".tmp";
  FILE* file = _wfopen(temporary.c_str(), L"wb");
  if (!file) return false;
  bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    // The target is untouched; do not leave a half-written sibling behind.
    DeleteFileW(temporary.c_str());
    return false;
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace bh::core
