// The game's active save slot, asked of its game instance (game thread).
#include "coop/coop.h"
#include "engine/calls.h"
#include "engine/objects.h"

namespace bh::coop {

// GetActiveSaveSlotIndex on the current world's game instance; -1 when there
// is no world, game instance or function.
int ActiveSaveSlotFromGame() {
  engine::Object* instance = engine::GetGameInstance();
  if (!instance) return -1;
  engine::Function* function = engine::FindFunction(instance, "GetActiveSaveSlotIndex");
  if (!function) return -1;
  struct {
    std::int32_t ReturnValue;
  } block{-1};
  engine::ProcessEvent(instance, function, &block);
  return block.ReturnValue;
}

}  // namespace bh::coop
