// net_peer.exe: the game process around net_peer_lib.dll. Like the game, it
// loads steam_api64.dll (from FW_BIN_DIR, unless --no-steam) and calls
// SteamAPI_Init before the player's code starts; see peer_lib.cpp.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  bool steam = true;
  for (int i = 1; i < argc; ++i) steam &= std::wstring(argv[i]) != L"--no-steam";
  if (steam) {
    wchar_t bin[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"FW_BIN_DIR", bin, MAX_PATH);
    std::wstring folder(bin, n);
    if (!folder.empty() && folder[0] == L'/') folder = L"Z:" + folder;  // a Unix path, as ctest passes it
    for (wchar_t& c : folder)
      if (c == L'/') c = L'\\';
    HMODULE module = LoadLibraryW((folder + L"\\steam_api64.dll").c_str());
    auto init = module ? reinterpret_cast<bool (*)()>(GetProcAddress(module, "SteamAPI_Init")) : nullptr;
    if (!init || !init()) {
      std::printf("peer: Steam did not start\n");
      return 3;
    }
  }
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder(self, n);
  folder = folder.substr(0, folder.find_last_of(L"\\/"));
  HMODULE lib = LoadLibraryW((folder + L"\\net_peer_lib.dll").c_str());
  auto run = lib ? reinterpret_cast<int (*)(int, wchar_t**)>(GetProcAddress(lib, "NetPeer_Run")) : nullptr;
  if (!run) {
    std::printf("peer: net_peer_lib.dll missing\n");
    return 4;
  }
  return run(argc, argv);
}
