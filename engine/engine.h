// Engine access for start-up: is the engine usable yet, and the class prewarm.
//
// Offers: ProbeReadiness (object array, engine object, game viewport),
// PrewarmSdkClasses; ObjectCount comes with engine/objects.h.
// Needs: object access (engine/objects.h), the call wrappers' library slots.
// Threads: both run on the initialisation thread before the modules start;
// every read they make is guarded, so a foreign or half-built engine gives
// Fault or false, never a crash.
#pragma once

#include "core/startup.h"
#include "engine/objects.h"

namespace bh::engine {

// One guarded probe: any access fault answers Fault.
core::EngineReadiness ProbeReadiness();
// Resolves GameplayStatics, KismetSystemLibrary and KismetStringLibrary into
// the slots the wrappers use; false when one is missing or a read faulted.
bool PrewarmSdkClasses();

}  // namespace bh::engine
