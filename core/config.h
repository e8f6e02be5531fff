// Configuration: config.json in the library's folder, read once at start-up.
//
// Offers: the Settings record (GetSettings), LoadConfig (start-up only),
// SaveLanguage (the one run-time write), WriteFileAtomically (used by every
// module that saves a file).
// Needs: Log, ModFolder.
// Threads: LoadConfig on the loader's thread before any other thread of the
// library exists; GetSettings from any thread afterwards; SaveLanguage on the
// game thread only (it is the only writer, and only the game thread reads the
// language after start-up).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bh::core {

struct HpScale {
  float normal = 0.12f;
  float elite = 0.18f;
  float boss = 0.25f;
};

struct Settings {
  // Development settings: fixed in this build, whatever the file says.
  std::string transport = "steam";
  std::int32_t udpPort = 27777;
  std::string udpHostIp = "127.0.0.1";
  std::int32_t profile = 1;

  std::string menuKey = "F5";    // interpreted by the overlay
  std::string logLevel = "info"; // interpreted at start-up
  std::string language = "en";   // "en", "zh" or "ja"
  bool languageFromFile = false; // the language is settled: no first-run detection
  HpScale hpScale;               // not range-checked here
};

const Settings& GetSettings();

// Fills the settings from config.json (creating or completing the file).
// Returns false only when config.json exists and could not be parsed.
bool LoadConfig();

// Stores the language ("en" when the code is not en/zh/ja) and writes
// config.json. Returns true when the file was written.
bool SaveLanguage(const std::string& code);

// Writes text to path + ".tmp" and moves it over path (replacing, write-through).
// Returns false when any step fails; a failed move removes the temporary file.
bool WriteFileAtomically(const std::wstring& path, std::string_view text);

bool IsLanguageCode(std::string_view code);

// Pieces of the loader that need no file system (portable, tested natively).
struct ConfigReadFlags {
  bool missing = false;    // an expected key is absent
  bool wrongType = false;  // a key holds an unusable value
};
// Parses bytes (comments allowed) and reads the keys into `working`.
// Returns false when the bytes are not a JSON object (nothing is read then).
bool ReadConfigText(std::string_view bytes, Settings& working, ConfigReadFlags& flags);
// The file the library writes: the four keys, 2-space indentation, one line feed.
std::string SerializeConfig(const Settings& settings);

namespace testing {
// Runs the loader against folder (instead of ModFolder) with fresh state.
bool LoadConfigFrom(const std::wstring& folder);
}  // namespace testing

}  // namespace bh::core
