// Log: one process-wide plain-text log, written by every module from any thread.
//
// Offers: Log() and the brace-format helpers LogInfo/LogWarn/LogError,
// OpenLogFile(), SetLogThreshold(). Every line goes to the debugger output
// and, once OpenLogFile() has succeeded, to the log file (flushed per line).
// Needs: nothing but the platform sink (log_win.cpp / log_native.cpp).
// Threads: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace bh::core {

enum class LogLevel : std::uint8_t { Debug = 0, Info = 1, Warning = 2, Error = 3 };

// Writes one line "[hh:mm:ss.mmm] [LVL] [tag] message\n" if level passes the
// threshold. A null tag is written as "-". Never fails, never throws.
void Log(LogLevel level, const char* tag, std::string_view message);

// Opens the log file for writing (truncating it, readers allowed, other
// writers denied) if none is open yet; a failed open is silently ignored.
void OpenLogFile(const std::wstring& path);

// Stores the threshold; Debug is stored as Info, so debug lines never appear.
void SetLogThreshold(LogLevel level);
LogLevel LogThreshold();

// Text written for a level: "DBG", "INF", "WRN", "ERR" (anything above Error is "ERR").
const char* LogLevelText(LogLevel level);

// Formats the line prefix into a 64-byte buffer (a longer prefix is cut at 63
// characters) and returns its length.
std::size_t FormatLogPrefix(char (&out)[64], int hour, int minute, int second, long long millis,
                            LogLevel level, const char* tag);

template <typename... Args>
void LogFmt(LogLevel level, const char* tag, fmt::format_string<Args...> format, Args&&... args) {
  if (level < LogThreshold()) return;
  Log(level, tag, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void LogInfo(const char* tag, fmt::format_string<Args...> format, Args&&... args) {
  LogFmt(LogLevel::Info, tag, format, std::forward<Args>(args)...);
}
template <typename... Args>
void LogWarn(const char* tag, fmt::format_string<Args...> format, Args&&... args) {
  LogFmt(LogLevel::Warning, tag, format, std::forward<Args>(args)...);
}
template <typename... Args>
void LogError(const char* tag, fmt::format_string<Args...> format, Args&&... args) {
  LogFmt(LogLevel::Error, tag, format, std::forward<Args>(args)...);
}

namespace testing {
// Sees every written line (after the threshold), under the log lock. Null removes it.
void SetLogObserver(void (*observer)(const char* line));
}  // namespace testing

// Platform sink, implemented per build. Called under the log lock.
namespace platform {
struct LocalTime {
  int hour, minute, second;
  long long millis;
};
LocalTime NowLocal();
void DebugOutput(const char* line);
// Opens path for binary writing with truncation, shared for reading only.
// Returns an opaque handle or null.
void* OpenShared(const std::wstring& path);
void WriteAndFlush(void* file, const char* data, std::size_t size);
}  // namespace platform

}  // namespace bh::core
