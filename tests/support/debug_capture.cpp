#include "support/debug_capture.h"

#include <windows.h>

#include <mutex>

namespace fwtest {
namespace {
std::mutex g_lock;
std::vector<std::string>* g_lines = new std::vector<std::string>();
PVOID g_handler = nullptr;

LONG CALLBACK Capture(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines->emplace_back(reinterpret_cast<const char*>(r->ExceptionInformation[1]));
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (r->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C && r->NumberParameters >= 2) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1]);
    char narrow[4096];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) > 0) {
      std::lock_guard<std::mutex> guard(g_lock);
      g_lines->emplace_back(narrow);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

void StartDebugCapture() {
  if (!g_handler) g_handler = AddVectoredExceptionHandler(1, &Capture);
}

std::vector<std::string> CapturedDebugLines() {
  std::lock_guard<std::mutex> guard(g_lock);
  return *g_lines;
}

void ClearDebugCapture() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_lines->clear();
}

bool DebugOutputContains(const std::string& text) {
  for (const std::string& line : CapturedDebugLines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace fwtest
