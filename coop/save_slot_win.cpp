// The game's active save slot, asked of its game instance (game thread).
#include "coop/coop.h"
#include "engine/layout.h"
#include "engine/objects.h"

namespace bh::coop {

// GetActiveSaveSlotIndex on the current world's game instance; -1 when there
// is no world, game instance or function.
int ActiveSaveSlotFromGame() {
  using namespace engine;
  Object* world = GetWorld();
  if (!world) return -1;
  auto* instance = ReadAt<Object*>(world, layout::kWorldGameInstance);
  if (!IsValidObject(instance)) return -1;
  Function* function = FindFunction(instance, "GetActiveSaveSlotIndex");
  if (!function) return -1;
  struct {
    std::int32_t ReturnValue;
  } block{-1};
  auto vtable = ReadAt<void* const*>(instance, layout::kVTable);
  using ProcessEventFn = void (*)(Object*, Function*, void*);
  reinterpret_cast<ProcessEventFn>(vtable[layout::kProcessEventSlot])(instance, function, &block);
  return block.ReturnValue;
}

}  // namespace bh::coop
