// GuardedCall with structured exceptions (clang's __try/__except on mingw).
//
// Traps, found the hard way:
//  - clang refuses C++ try and SEH __try in one function, so the C++ catch
//    lives in its own non-inlined function called from inside __try;
//  - a structured exception skips the C++ destructors of the frames it
//    unwinds, so callers must not hold a lock around code that may fault;
//  - the exception code must be read in the filter (it is 0 in the handler).
#include <windows.h>

#include <malloc.h>

#include <exception>
#include <string>

#include "core/gamethread.h"
#include "core/log.h"

// libstdc++'s exception_defines.h turns these into plain try/catch.
#undef __try
#undef __except

namespace bh::core {
namespace {

struct ThrownRecord {
  bool thrown = false;
  std::string text;
};

__attribute__((noinline)) void RunCatchingThrown(void (*fn)(void*), void* context, ThrownRecord* record) {
  try {
    fn(context);
  } catch (const std::exception& e) {
    record->thrown = true;
    record->text = e.what();
  } catch (...) {
    record->thrown = true;
    record->text = "(non-std exception)";
  }
}

int RecordCode(unsigned long code, unsigned long* out) {
  *out = code;
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

GuardResult GuardedCall(const char* tag, const char* label, void (*fn)(void*), void* context) {
  ThrownRecord thrown;
  unsigned long code = 0;
  bool structured = false;
  __try {
    RunCatchingThrown(fn, context, &thrown);
  } __except (RecordCode(GetExceptionCode(), &code)) {
    structured = true;
  }
  const char* name = label ? label : "?";
  if (structured) {
    // Re-arm the guard page so that a later overflow is caught again.
    if (code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    LogError(tag, "{}: structured exception 0x{:08X} caught", name, code);
    return GuardResult::Structured;
  }
  if (thrown.thrown) {
    LogError(tag, "{}: C++ exception caught: {}", name, thrown.text);
    return GuardResult::Thrown;
  }
  return GuardResult::Ok;
}

namespace platform {
std::uint32_t CurrentThreadId() { return GetCurrentThreadId(); }
}  // namespace platform

}  // namespace bh::core
