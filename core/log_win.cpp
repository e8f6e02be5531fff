// Log sink for Windows: OutputDebugStringA, a deny-write shared FILE*, local time.
#include <windows.h>

#include <share.h>
#include <cstdio>

#include "core/log.h"

namespace bh::core::platform {

LocalTime NowLocal() {
  FILETIME utc;
  GetSystemTimeAsFileTime(&utc);
  ULARGE_INTEGER ticks;
  ticks.LowPart = utc.dwLowDateTime;
  ticks.HighPart = utc.dwHighDateTime;
  // 100 ns ticks since 1601 -> since 1970, then whole seconds to local time.
  const unsigned long long kEpochDelta = 116444736000000000ULL;
  unsigned long long since1970 = ticks.QuadPart - kEpochDelta;
  __time64_t seconds = static_cast<__time64_t>(since1970 / 10000000ULL);
  long long millis = static_cast<long long>((since1970 / 10000ULL) % 1000ULL);
  struct tm local = {};
  if (_localtime64_s(&local, &seconds) != 0) return {0, 0, 0, millis};
  return {local.tm_hour, local.tm_min, local.tm_sec, millis};
}

void DebugOutput(const char* line) { OutputDebugStringA(line); }

void* OpenShared(const std::wstring& path) { return _wfsopen(path.c_str(), L"wb", _SH_DENYWR); }

void WriteAndFlush(void* file, const char* data, std::size_t size) {
  FILE* f = static_cast<FILE*>(file);
  std::fwrite(data, 1, size, f);
  std::fflush(f);
}

}  // namespace bh::core::platform
