// Paths and folders: where the library lives and where it keeps its files.
//
// Offers: ModFolder (the library's folder: config.json), SavedFolder (the
// per-user folder inside the game's saved data: the log, profiles.json).
// Both are UTF-16 paths without a trailing separator, computed once.
// Needs: nothing (writes to the debugger output only, never to the log).
// Threads: any; first use initialises under the runtime's static-init lock.
#pragma once

#include <string>

namespace bh::core {

// The library's folder; empty when it cannot be determined.
const std::wstring& ModFolder();
// Saved base + "\Fenwarden", created with its parents on first use, with a
// one-time copy of profiles.json from the older "BHCoop" folder.
const std::wstring& SavedFolder();

// The uncached steps, for tests.
namespace paths {
// LOCALAPPDATA (1..519 characters), else USERPROFILE + "\AppData\Local", else
// empty; followed by "\Brackenhold\Saved".
std::wstring SavedBaseFromEnvironment();
// Creates saved base + "\Fenwarden" and takes over the older profiles.json.
std::wstring PrepareSavedFolder(const std::wstring& savedBase);
// Directory part of a module file name, cut at the last '\' or '/'.
std::wstring FolderOf(const std::wstring& fileName);
// Full file name of a module (buffer doubled until the name fits); empty on failure.
std::wstring ModuleFileName(void* module);
}  // namespace paths

}  // namespace bh::core
