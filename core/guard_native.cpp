// GuardedCall for the native build: there are no structured exceptions
// there, so only thrown exceptions are caught.
#include <pthread.h>
#include <unistd.h>
#include <sys/syscall.h>

#include <exception>
#include <string>

#include "core/gamethread.h"
#include "core/log.h"

namespace bh::core {

GuardResult GuardedCall(const char* tag, const char* label, void (*fn)(void*), void* context) {
  const char* name = label ? label : "?";
  std::string text;
  try {
    fn(context);
    return GuardResult::Ok;
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "(non-std exception)";
  }
  LogError(tag, "{}: C++ exception caught: {}", name, text);
  return GuardResult::Thrown;
}

namespace platform {
std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }
}  // namespace platform

}  // namespace bh::core
