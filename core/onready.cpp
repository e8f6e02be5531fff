// The two OnReady handlers, registered during static initialisation. They
// live in this one translation unit because C++ fixes the initialisation
// order only within a file: the first wave must register before the
// Registrar of the second.
#include "core/startup.h"
#include "sync/registrar.h"

namespace bh::core {
void StartWaveThree();  // startup.cpp
namespace {
const bool g_waveThreeRegistered = (RegisterOnReady(&StartWaveThree), true);
}  // namespace
}  // namespace bh::core

namespace bh::sync {
namespace {
const Registrar g_registrar;
}  // namespace
}  // namespace bh::sync
