// The host on Windows: the executable's load address, the SEH guard, ucrtbase.
//
// The guard's body runs in a separate, non-inlined function reached through a
// pointer: clang's __try only catches faults raised in functions it calls.
// Nothing that can fault here holds a lock, since a structured exception
// skips the destructors of the frames it unwinds.
#include <windows.h>

#include "engine/host.h"

// libstdc++'s exception_defines.h turns these into plain try/catch.
#undef __try
#undef __except

namespace bh::engine::platform {

std::uintptr_t HostBase() {
  static const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  return base;
}

bool Guarded(bool (*fn)(void*), void* context) {
  bool result = false;
  __try {
    result = fn(context);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    result = false;
  }
  return result;
}

SrandFn GameRuntimeSrand() {
  // The module the game itself loaded; loading it here would seed a runtime
  // the game does not draw from.
  HMODULE ucrt = GetModuleHandleW(L"ucrtbase.dll");
  return ucrt ? reinterpret_cast<SrandFn>(GetProcAddress(ucrt, "srand")) : nullptr;
}

}  // namespace bh::engine::platform
