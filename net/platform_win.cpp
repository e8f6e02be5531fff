#include <windows.h>

#include "core/text.h"
#include "net/platform.h"

namespace bh::net::platform {

void* FindSteamModule() { return GetModuleHandleW(L"steam_api64.dll"); }

void* FindExport(void* module, const char* name) {
  return module ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name)) : nullptr;
}

std::string ProcessCommandLine() {
  const wchar_t* line = GetCommandLineW();
  return line ? bh::core::Utf8FromWide(line) : std::string();
}

void* CurrentThreadToken() {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0);
  return copy;
}

bool ThreadEnded(void* token) { return token && WaitForSingleObject(static_cast<HANDLE>(token), 0) == WAIT_OBJECT_0; }

void CloseThreadToken(void* token) {
  if (token) CloseHandle(static_cast<HANDLE>(token));
}

}  // namespace bh::net::platform
