// Engine access for start-up. The host interface (object array, engine
// object, viewport) is not wired in yet: until it is, the probe reports an
// empty object array, so the initialisation thread waits and gives up.
#include "engine/engine.h"

namespace bh::engine {

core::EngineReadiness ProbeReadiness() { return core::EngineReadiness::ObjectsEmpty; }
std::int32_t ObjectCount() { return 0; }
bool PrewarmSdkClasses() { return false; }

}  // namespace bh::engine
