// Function hooks: the script-dispatch detours.
//
// Offers: Init, which installs the detours and reports whether they are in place.
// Threads: Init runs once, on the initialisation thread.
#pragma once

namespace bh::hooks {

bool Init();

}  // namespace bh::hooks
