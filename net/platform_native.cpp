// Native build: there is never a Steam module; the command line comes from /proc.
#include <fstream>
#include <iterator>

#include "net/platform.h"

namespace bh::net::platform {

void* FindSteamModule() { return nullptr; }
void* FindExport(void*, const char*) { return nullptr; }

std::string ProcessCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (char& c : line)
    if (c == '\0') c = ' ';
  return line;
}

// Native threads never end behind the library's back: they run until joined.
void* CurrentThreadToken() { return nullptr; }
bool ThreadEnded(void*) { return false; }
void CloseThreadToken(void*) {}

}  // namespace bh::net::platform
