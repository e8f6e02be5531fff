// Function hooks: the script-dispatch detours on ProcessEvent, ProcessInternal
// and ProcessLocalScriptFunction.
//
// Offers: Init, which finds the three functions in the game executable,
// detours them and registers the "bh.hooks.maintain" ticker; from then on the
// ProcessEvent detour drives the game-thread pump, and every game-function
// call on the game thread is dispatched, once, to the handlers registered by
// path (hooks/registry.h). Calls on other threads pass straight through.
// Needs: the hooking engine, the registry, the pump (core), object access (engine).
// Threads: Init runs once, on the initialisation thread; the detours run on
// whatever thread the engine calls them from.
#pragma once

namespace bh::hooks {

// Installs the detours; true when they are in place (at once when already
// installed). A failure is logged and leaves nothing enabled.
bool Init();
bool Installed();

}  // namespace bh::hooks
