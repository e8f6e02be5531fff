// Shared by the engine tests: the stand-in engine booted in this process, and
// conversions between its pointers and the product's opaque ones.
#pragma once

#include <windows.h>

#include "core/gamethread.h"
#include "engine/layout.h"
#include "standin/engine.h"
#include "standin/world.h"

namespace fwtest {

// Boots the stand-in (once per process); this thread becomes the game thread for both sides.
inline void BootStandin(const standin::BootOptions& options = {}) {
  standin::Boot(options);
  bh::core::SetGameThreadId(GetCurrentThreadId());
}

template <typename T>
bh::engine::Object* E(T* object) {
  return reinterpret_cast<bh::engine::Object*>(const_cast<std::remove_const_t<T>*>(object));
}

inline standin::UObject* Lantern(int n) {
  return standin::FindByPath(L"/Game/Maps/Brackenhold_Hold.Brackenhold_Hold:BP_Lantern_C_" + std::to_wstring(n));
}

}  // namespace fwtest
