// The dispatch detours are not part of this build yet: Init reports failure,
// and the start-up ends inactive with its hook-failure line.
#include "hooks/hooks.h"

namespace bh::hooks {

bool Init() { return false; }

}  // namespace bh::hooks
