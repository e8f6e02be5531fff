// The native build has no game process: no host, so every lookup answers none.
#include "engine/host.h"

namespace bh::engine::platform {

std::uintptr_t HostBase() { return 0; }
bool Guarded(bool (*fn)(void*), void* context) { return fn(context); }
SrandFn GameRuntimeSrand() { return nullptr; }

}  // namespace bh::engine::platform
