// The library's entry points: the loader's notifications, and the one export.
#include <windows.h>

#include <cstdint>

#include "core/startup.h"

extern "C" __declspec(dllexport) void Fenwarden_Start(std::int32_t gameThreadId) { bh::core::Start(gameThreadId); }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
