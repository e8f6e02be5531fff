#include <windows.h>

#include "core/paths.h"

namespace bh::core {
namespace paths {
namespace {

// An environment value of 1..519 characters, else empty.
std::wstring ReadEnvironment(const wchar_t* name) {
  wchar_t buffer[520];
  DWORD n = GetEnvironmentVariableW(name, buffer, 520);
  if (n >= 1 && n <= 519) return std::wstring(buffer, n);
  return {};
}

bool IsDirectory(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates path and every missing parent; true when it exists as a folder.
bool CreateFolderTree(const std::wstring& path) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  std::size_t cut = path.find_last_of(L"\\/");
  if (cut != std::wstring::npos && cut > 0) {
    std::wstring parent = path.substr(0, cut);
    // A drive root ("C:") or the root-relative "" needs no creation.
    if (!(parent.size() == 2 && parent[1] == L':')) CreateFolderTree(parent);
  }
  return CreateDirectoryW(path.c_str(), nullptr) || IsDirectory(path);
}

}  // namespace

std::wstring SavedBaseFromEnvironment() {
  std::wstring base = ReadEnvironment(L"LOCALAPPDATA");
  if (base.empty()) {
    std::wstring profile = ReadEnvironment(L"USERPROFILE");
    if (!profile.empty()) base = profile + L"\\AppData\\Local";
  }
  return base + L"\\Brackenhold\\Saved";
}

std::wstring PrepareSavedFolder(const std::wstring& savedBase) {
  std::wstring folder = savedBase + L"\\Fenwarden";
  if (CreateFolderTree(folder)) {
    // Fail-if-exists: a missing source or an existing target are both silent.
    CopyFileW((savedBase + L"\\BHCoop\\profiles.json").c_str(), (folder + L"\\profiles.json").c_str(), TRUE);
  } else {
    OutputDebugStringW((L"[Fenwarden] could not create " + folder + L"\n").c_str());
  }
  return folder;
}

std::wstring FolderOf(const std::wstring& fileName) {
  std::size_t cut = fileName.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return {};
  return fileName.substr(0, cut);
}

std::wstring ModuleFileName(void* module) {
  std::wstring name(260, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(static_cast<HMODULE>(module), name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      return name;
    }
    if (name.size() >= 32768) return {};
    name.resize(name.size() * 2);
  }
}

}  // namespace paths

const std::wstring& ModFolder() {
  static const std::wstring folder = [] {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModFolder), &self))
      return std::wstring();
    return paths::FolderOf(paths::ModuleFileName(self));
  }();
  return folder;
}

const std::wstring& SavedFolder() {
  static const std::wstring folder = paths::PrepareSavedFolder(paths::SavedBaseFromEnvironment());
  return folder;
}

}  // namespace bh::core
