// Log: level filter and formatting outside the lock, the two outputs under it.
#include "core/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace bh::core {
namespace {

struct LogState {
  std::atomic<std::uint8_t> threshold{1};  // written once at start-up, read lock-free
  std::mutex lock;                         // guards file and the two outputs; any thread
  void* file = nullptr;                    // opened at most once, never closed
  std::atomic<void (*)(const char*)> observer{nullptr};  // tests only
};

// Never destroyed: lines may still be written while statics are torn down at exit.
LogState& State() {
  static LogState* state = new LogState();
  return *state;
}

}  // namespace

const char* LogLevelText(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "DBG";
    case LogLevel::Info: return "INF";
    case LogLevel::Warning: return "WRN";
    default: return "ERR";
  }
}

std::size_t FormatLogPrefix(char (&out)[64], int hour, int minute, int second, long long millis,
                            LogLevel level, const char* tag) {
  int n = std::snprintf(out, sizeof out, "[%02d:%02d:%02d.%03lld] [%s] [%s] ", hour, minute, second,
                        millis, LogLevelText(level), tag ? tag : "-");
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<std::size_t>(n) < sizeof out ? static_cast<std::size_t>(n) : sizeof out - 1;
}

void Log(LogLevel level, const char* tag, std::string_view message) {
  LogState& state = State();
  if (static_cast<std::uint8_t>(level) < state.threshold.load(std::memory_order_relaxed)) return;
  try {
    platform::LocalTime now = platform::NowLocal();
    char prefix[64];
    std::size_t prefixLen = FormatLogPrefix(prefix, now.hour, now.minute, now.second, now.millis, level, tag);
    std::string line;
    line.reserve(prefixLen + message.size() + 1);
    line.append(prefix, prefixLen).append(message).push_back('\n');

    std::lock_guard<std::mutex> guard(state.lock);
    platform::DebugOutput(line.c_str());
    if (state.file) platform::WriteAndFlush(state.file, line.data(), line.size());
    if (auto observer = state.observer.load()) observer(line.c_str());
  } catch (...) {
    // Out of memory while building a line: the line is lost, the caller is not.
  }
}

void OpenLogFile(const std::wstring& path) {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.file) return;
  state.file = platform::OpenShared(path);
}

void SetLogThreshold(LogLevel level) {
  std::uint8_t value = static_cast<std::uint8_t>(level);
  State().threshold.store(value == 0 ? 1 : value, std::memory_order_relaxed);
}

void testing::SetLogObserver(void (*observer)(const char*)) { State().observer.store(observer); }

LogLevel LogThreshold() {
  return static_cast<LogLevel>(State().threshold.load(std::memory_order_relaxed));
}

}  // namespace bh::core
