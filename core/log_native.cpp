// Log sink for the native (sanitizer) build: stderr stands in for the
// debugger output, and paths are narrowed byte-wise.
#include <chrono>
#include <cstdio>
#include <ctime>

#include "core/log.h"

namespace bh::core::platform {

LocalTime NowLocal() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local = {};
  localtime_r(&seconds, &local);
  return {local.tm_hour, local.tm_min, local.tm_sec, ms % 1000};
}

void DebugOutput(const char* line) { std::fputs(line, stderr); }

void* OpenShared(const std::wstring& path) {
  std::string narrow(path.begin(), path.end());
  return std::fopen(narrow.c_str(), "wb");
}

void WriteAndFlush(void* file, const char* data, std::size_t size) {
  std::FILE* f = static_cast<std::FILE*>(file);
  std::fwrite(data, 1, size, f);
  std::fflush(f);
}

}  // namespace bh::core::platform
