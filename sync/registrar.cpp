#include "sync/registrar.h"

#include "core/gamethread.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/startup.h"

namespace bh::sync {

void StartWaveFour() {
  bh::core::LogInfo(tag::kBootstrap, "WO-4 modules ready (rules, enemy sync, summon)");
}

Registrar::Registrar() {
  bh::core::RegisterOnReady([] { bh::core::PostToGameThread(&StartWaveFour); });
}

}  // namespace bh::sync
