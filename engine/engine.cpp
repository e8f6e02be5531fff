// The readiness probe and the class prewarm, each inside one structured-exception guard.
#include "engine/engine.h"

#include "engine/calls.h"
#include "engine/host.h"

namespace bh::engine {

core::EngineReadiness ProbeReadiness() {
  using core::EngineReadiness;
  EngineReadiness answer = EngineReadiness::ObjectsEmpty;
  bool completed = platform::Guarded([&answer] {
    std::uintptr_t base = platform::HostBase();
    if (!base) return true;
    const void* array = reinterpret_cast<const void*>(base + layout::kObjectArrayRva);
    if (ReadAt<std::int32_t>(array, layout::kElementCount) <= 0 ||
        ReadAt<std::int32_t>(array, layout::kChunkCount) <= 0 || !ReadAt<const void*>(array, layout::kChunkTable))
      return true;
    Object* engine = GetEngine();
    if (!engine) {
      answer = EngineReadiness::NoEngine;
      return true;
    }
    answer = ReadAt<Object*>(engine, layout::kEngineGameViewport) ? EngineReadiness::Ready : EngineReadiness::NoViewport;
    return true;
  });
  return completed ? answer : EngineReadiness::Fault;
}

bool PrewarmSdkClasses() {
  return platform::Guarded([] {
    Class* statics = FindClass("GameplayStatics", library::GameplayStaticsSlot());
    Class* system = FindClass("KismetSystemLibrary", library::KismetSystemLibrarySlot());
    Class* strings = FindClass("KismetStringLibrary", library::KismetStringLibrarySlot());
    return statics && system && strings;
  });
}

}  // namespace bh::engine
