// Engine access: what the start-up needs from the engine.
//
// Offers: ProbeReadiness (is the object system up, is there an engine with a
// viewport), ObjectCount, PrewarmSdkClasses.
// Threads: the probe and the prewarm run on the initialisation thread before
// the modules start; everything else of engine access is game-thread only.
#pragma once

#include <cstdint>

#include "core/startup.h"

namespace bh::engine {

// One guarded probe: any access fault answers Fault.
core::EngineReadiness ProbeReadiness();
// Element count of the engine's object array (0 when unknown).
std::int32_t ObjectCount();
// Resolves the three library classes the first calls need; false on failure.
bool PrewarmSdkClasses();

}  // namespace bh::engine
