// The platform under engine access: the game executable's load address, the
// structured-exception guard for reads that may fault, and the C runtime
// module the game shares. Implemented per build (host_win.cpp; the native
// build has no host and answers "none" throughout).
// Threads: any.
#pragma once

#include <cstdint>
#include <type_traits>

namespace bh::engine::platform {

// Load address of the process's main executable (0: no host).
std::uintptr_t HostBase();

// Runs fn(context) inside a structured-exception guard: true when it returned
// true, false when it returned false or faulted. fn must be a real function
// (not inlined into the guard), which a function pointer ensures.
bool Guarded(bool (*fn)(void*), void* context);

template <typename F>
bool Guarded(F&& callable) {
  using Fn = std::remove_reference_t<F>;
  return Guarded([](void* c) -> bool { return (*static_cast<Fn*>(c))(); }, const_cast<void*>(static_cast<const void*>(&callable)));
}

// srand of the process's loaded ucrtbase.dll, or null (it is never loaded here).
using SrandFn = void (*)(unsigned int);
SrandFn GameRuntimeSrand();

}  // namespace bh::engine::platform
