// profiles.json: player names per profile and save slot. The whole file is
// kept as one JSON value; keys this build does not know are written back.
//
// A file that could not be read is moved aside (profiles.json.N.bad) before
// the first save replaces it, so what the player had saved is never lost.
#include <windows.h>

#include <cstdio>
#include <mutex>

#include <nlohmann/json.hpp>

#include "coop/names.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/paths.h"
#include "core/text.h"

namespace bh::coop {
namespace {

using nlohmann::json;

struct ProfileStore {
  std::mutex lock;  // guards everything below; game thread (menu tasks run there too)
  json root;        // the whole file; null until loaded or when unreadable
  bool loaded = false;
  bool unreadable = false;  // the file exists but could not be used: move it aside before saving over it
  std::wstring folder;      // empty: the saved folder
};

ProfileStore& Store() {
  static ProfileStore* store = new ProfileStore();
  return *store;
}

std::wstring Folder(const ProfileStore& s) { return s.folder.empty() ? core::SavedFolder() : s.folder; }
std::wstring FilePath(const ProfileStore& s) { return Folder(s) + L"\\profiles.json"; }

void LoadLocked(ProfileStore& s) {
  if (s.loaded) return;
  s.loaded = true;  // set before the attempt: a failure is not retried
  std::wstring path = FilePath(s);
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  s.unreadable = true;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) {
    core::LogWarn(tag::kProfiles, "cannot open profiles.json for reading");
    return;
  }
  std::string bytes;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  std::fclose(file);
  json parsed;
  try {
    parsed = json::parse(bytes);
  } catch (const json::exception& e) {
    core::LogWarn(tag::kProfiles, "profiles.json parse error: {}", e.what());
    return;
  }
  if (!parsed.is_object()) {
    core::LogWarn(tag::kProfiles, "profiles.json is not a JSON object; ignoring it");
    return;
  }
  s.root = std::move(parsed);
  s.unreadable = false;
}

// Moves an unreadable file to the first free profiles.json.N.bad.
bool MoveAsideLocked(ProfileStore& s) {
  std::wstring path = FilePath(s);
  for (int n = 1; n < 1000; ++n) {
    std::wstring aside = path + L"." + std::to_wstring(n) + L".bad";
    if (MoveFileExW(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
      core::LogWarn(tag::kProfiles, "profiles.json could not be read; kept it as {} before saving a new one",
                    core::Utf8FromWide(aside));
      s.unreadable = false;
      return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      s.unreadable = false;  // gone meanwhile: nothing left to keep
      return true;
    }
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
  }
  core::LogWarn(tag::kProfiles, "profiles.json could not be read and could not be moved aside; not saving over it");
  return false;
}

bool SaveLocked(ProfileStore& s) {
  std::wstring folder = Folder(s);
  CreateDirectoryW(folder.c_str(), nullptr);
  if (s.unreadable && !MoveAsideLocked(s)) return false;
  std::string text;
  try {
    text = (s.root.is_null() ? json::object() : s.root).dump(2, ' ', /*ensure_ascii=*/false);
  } catch (const json::exception& e) {
    core::LogWarn(tag::kProfiles, "profiles.json serialize error: {}", e.what());
    return false;
  }
  std::wstring temporary = folder + L"\\profiles.json.tmp";
  FILE* file = _wfopen(temporary.c_str(), L"wb");
  if (!file) {
    core::LogWarn(tag::kProfiles, "cannot open profiles.json.tmp for writing");
    return false;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = (std::fclose(file) == 0) && written;
  if (!written) {
    core::LogWarn(tag::kProfiles, "write to profiles.json.tmp failed");
    return false;
  }
  if (!MoveFileExW(temporary.c_str(), FilePath(s).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    core::LogWarn(tag::kProfiles, "replace profiles.json failed (GetLastError={})", GetLastError());
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> LookupName(const std::string& profileKey, int saveSlot) {
  ProfileStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  LoadLocked(s);
  if (!s.root.is_object()) return std::nullopt;
  auto profile = s.root.find(profileKey);
  if (profile == s.root.end() || !profile->is_object()) return std::nullopt;
  auto entry = profile->find(ProfileSlotKey(saveSlot));
  if (entry == profile->end() || !entry->is_string()) return std::nullopt;
  std::string name = CleanName(entry->get_ref<const std::string&>());
  if (name.empty()) return std::nullopt;
  return name;
}

bool StoreName(const std::string& profileKey, int saveSlot, std::string_view requested) {
  ProfileStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  std::string name = CleanName(requested);
  std::string slotKey = ProfileSlotKey(saveSlot);
  LoadLocked(s);
  try {
    if (!s.root.is_object()) s.root = json::object();
    json& profile = s.root[profileKey];
    if (!profile.is_object()) profile = json::object();
    if (name.empty()) {
      profile.erase(slotKey);
      if (profile.empty()) s.root.erase(profileKey);
    } else {
      profile[slotKey] = name;
    }
  } catch (const std::exception& e) {
    core::LogWarn(tag::kProfiles, "SetName: {}", e.what());
    return false;
  }
  bool saved = SaveLocked(s);
  core::LogInfo(tag::kProfiles, "name for {} {} -> \"{}\" ({})", profileKey, slotKey, name,
                saved ? "saved" : "NOT saved");
  return saved;
}

void testing::UseProfilesFolder(const std::wstring& folder) {
  ProfileStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  s.folder = folder;
  s.root = json();
  s.loaded = false;
  s.unreadable = false;
}

}  // namespace bh::coop
