// The stand-in game's world: the engine object and its chain down to the
// player character, the engine library classes and their functions, actors
// and components, the world clock, frames, on-demand assets and a worker
// thread that calls ProcessEvent off the game thread.
//
// Offers: the world chain (WorldView), switching the viewport and the world,
// the real-time clock, frames (ticks and events through ProcessEvent), actor
// spawning, on-demand assets, the per-frame extension list.
// Needs: engine.h (booted).
// Threads: game thread, except the worker thread's own calls.
#pragma once

#include <functional>
#include <string>

#include "standin/engine.h"

namespace standin {

struct WorldView {
  UEngine* engine = nullptr;
  UGameViewportClient* viewport = nullptr;
  UWorld* world = nullptr;
  UGameInstance* gameInstance = nullptr;
  ULocalPlayer* localPlayer = nullptr;
  APlayerController* controller = nullptr;
  UObject* character = nullptr;
};
// The world as it stands now (what the engine's fields point at).
WorldView World();

// Classes every later piece may need, by name.
namespace cls {
inline constexpr wchar_t kPlayerCharacterPath[] = L"/Script/Brackenhold.FS_PlayerCharacter";
inline constexpr wchar_t kPlayerCharacter[] = L"FS_PlayerCharacter";
inline constexpr wchar_t kPlayerCharacterBlueprint[] = L"FS_PlayerChar_C";
// An enemy Blueprint that is not loaded at boot: it loads when the world clock
// reaches BootOptions::lateClassSeconds (one instance is spawned then, whose
// tick calls TryApplyDamage directly), or at LoadClass(kLateWarden); it can be
// unloaded and loaded again.
inline constexpr wchar_t kLateWarden[] = L"BP_LateWarden_C";
inline constexpr wchar_t kLateWardenTryApplyDamage[] = L"/Game/Enemies/BP_LateWarden.BP_LateWarden_C:TryApplyDamage";
}  // namespace cls

// Detaches or restores the engine's game viewport (the readiness probe's last step).
void SetViewport(bool present);
// The global world pointer at its fixed offset.
void SetFallbackWorld(UWorld* world);
UWorld* FallbackWorld();
// Loads a new map: a new world object (real time from 0) takes the old one's
// place in the viewport and the global pointer; the old one is destroyed.
UWorld* ChangeLevel(const std::wstring& mapName);

// The current world's real-time clock (never paused or dilated), seconds.
void SetRealTimeSeconds(double seconds);
// What the game instance's GetActiveSaveSlotIndex answers (0 at first).
void SetActiveSaveSlot(std::int32_t slot);
double RealTimeSeconds();
bool GamePaused();

// One engine frame: the clock moves by realSeconds, then every ticking actor
// gets ReceiveTick and the frame's events, all through ProcessEvent.
void RunFrame(double realSeconds);
std::uint64_t FrameCount();
// Code to run at the end of every frame (window, Steam, game rules added later).
void AddFrameExtension(std::function<void()> extension);

// Actors: the engine's own spawn path (deferred, then finished).
UObject* SpawnActor(UClass* cls, FVector location, FRotator rotation);
FVector ActorLocation(const UObject* actor);
FRotator ActorRotation(const UObject* actor);
UObject* RootComponent(const UObject* actor);
std::vector<UObject*> Components(const UObject* actor);
// A new component of cls owned by actor (own pages, like every spawned part).
UObject* AddComponent(UObject* actor, UClass* cls, const std::wstring& name);
bool ActorFinished(const UObject* actor);
// Spawns the player character (FS_PlayerChar_C, loading its classes when they
// were unloaded) and gives it to the player controller.
UObject* SpawnPlayerCharacter();  // false while a deferred spawn is not finished
// Destroys an actor as K2_DestroyActor does (pending kill; freed at the next collection).
void DestroyActor(UObject* actor);

// Assets that exist only once loaded: LoadAsset_Blocking of path runs load,
// which must create the object at that path.
void RegisterLoadableAsset(const std::wstring& path, std::function<UObject*()> load);
inline constexpr wchar_t kOnDemandAsset[] = L"/Game/Props/SM_Crate.SM_Crate";

// A thread that calls ProcessEvent every millisecond or so, as the engine's
// other threads do. Stop joins it.
void StartWorkerThread();
void StopWorkerThread();
std::uint64_t WorkerCalls();
std::uint32_t WorkerThreadId();  // 0 when not running

// How many ReceiveTick bodies ran (all actors, all frames).
std::uint64_t TickBodiesRun();

}  // namespace standin
