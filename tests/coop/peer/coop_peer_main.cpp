// coop_peer.exe: the game process around coop_peer_lib.dll. Like the game, it
// loads steam_api64.dll (from FW_BIN_DIR) and calls SteamAPI_Init before the
// player's code starts; see coop_peer_lib.cpp.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  wchar_t bin[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"FW_BIN_DIR", bin, MAX_PATH);
  std::wstring folder(bin, n);
  if (!folder.empty() && folder[0] == L'/') folder = L"Z:" + folder;
  for (wchar_t& c : folder)
    if (c == L'/') c = L'\\';
  HMODULE steam = LoadLibraryW((folder + L"\\steam_api64.dll").c_str());
  auto init = steam ? reinterpret_cast<bool (*)()>(GetProcAddress(steam, "SteamAPI_Init")) : nullptr;
  if (!init || !init()) {
    std::printf("peer: Steam did not start\n");
    return 3;
  }
  wchar_t self[MAX_PATH];
  n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring own(self, n);
  own = own.substr(0, own.find_last_of(L"\\/"));
  // The library may sit beside the executable (a copy made by a test) or in the tests folder.
  HMODULE lib = LoadLibraryW((own + L"\\coop_peer_lib.dll").c_str());
  auto run = lib ? reinterpret_cast<int (*)(int, wchar_t**)>(GetProcAddress(lib, "CoopPeer_Run")) : nullptr;
  if (!run) {
    std::printf("peer: coop_peer_lib.dll missing\n");
    return 4;
  }
  return run(argc, argv);
}
