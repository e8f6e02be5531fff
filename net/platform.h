// What the networking layer needs from the operating system, kept apart so
// the rest of net/ builds natively.
//
// Offers: the loaded Steam module and its exports, the process command line,
// a way to tell whether a thread has already ended.
// Needs: the platform (platform_win.cpp; platform_native.cpp, where no Steam
// module is ever loaded).
// Threads: any.
#pragma once

#include <string>

namespace bh::net::platform {

// The already-loaded module named steam_api64.dll, or null. Never loads it.
void* FindSteamModule();
// An export of that module by name, or null.
void* FindExport(void* module, const char* name);
// The process command line as UTF-8.
std::string ProcessCommandLine();

// A handle on the calling thread that outlives it; ThreadEnded(handle) then
// tells whether that thread has finished (at process exit Windows ends every
// other thread before the library's teardown runs). CloseThreadToken frees it.
void* CurrentThreadToken();
bool ThreadEnded(void* token);
void CloseThreadToken(void* token);

}  // namespace bh::net::platform
