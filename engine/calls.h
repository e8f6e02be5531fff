// Engine call wrappers: one typed function per engine function, grouped by
// the engine class that declares it.
//
// Each wrapper finds its function once (kept for the process; a failed lookup
// is retried at the next call), lays out the engine's parameter block
// (parameters in order at natural alignment, then the return value), calls
// ProcessEvent with the function's native flag set for the call and restored
// after, and returns the result. A member wrapper's target is the object
// given; a library wrapper's is the library class's default object.
// When the function cannot be found (an engine build without it, or a null
// target) nothing is called and the zero result comes back.
// Optional outputs (hit results, viewport size, screen position) are copied
// only to destinations that are given.
// Needs: object access (engine/objects.h).
// Threads: game thread only.
#pragma once

#include <cstdint>

#include "engine/layout.h"
#include "engine/objects.h"

namespace bh::engine {

// ProcessEvent through the target's vtable, as the game itself calls a function.
void ProcessEvent(Object* target, Function* function, void* params);

// The library classes' cache slots (also filled by the start-up prewarm).
namespace library {

ClassSlot& GameplayStaticsSlot();
ClassSlot& KismetSystemLibrarySlot();
ClassSlot& KismetStringLibrarySlot();
}  // namespace library

namespace Actor {
Object* AddComponentByClass(Object* actor, Class* componentClass, bool manualAttachment, const Transform& relative,
                            bool deferredFinish);
void K2_DestroyActor(Object* actor);
void K2_DestroyComponent(Object* actor, Object* component);
Vector K2_GetActorLocation(Object* actor);
Rotator K2_GetActorRotation(Object* actor);
// The array's memory belongs to the engine.
EngineArray<Object*> K2_GetComponentsByClass(Object* actor, Class* componentClass);
Object* K2_GetRootComponent(Object* actor);
bool K2_SetActorLocationAndRotation(Object* actor, const Vector& location, const Rotator& rotation, bool sweep,
                                    HitResult* hitOut, bool teleport);
bool K2_TeleportTo(Object* actor, const Vector& location, const Rotator& rotation);
void SetActorEnableCollision(Object* actor, bool enable);
void SetActorTickEnabled(Object* actor, bool enabled);
}  // namespace Actor

namespace ActorComponent {
void SetComponentTickEnabled(Object* component, bool enabled);
}  // namespace ActorComponent

namespace SceneComponent {
EngineName GetAttachSocketName(Object* component);
Object* GetChildComponent(Object* component, std::int32_t childIndex);
std::int32_t GetNumChildrenComponents(Object* component);
bool K2_AttachToComponent(Object* component, Object* parent, EngineName socket, std::uint8_t locationRule,
                          std::uint8_t rotationRule, std::uint8_t scaleRule, bool weldSimulatedBodies);
void K2_SetRelativeLocationAndRotation(Object* component, const Vector& location, const Rotator& rotation, bool sweep,
                                       HitResult* hitOut, bool teleport);
void SetHiddenInGame(Object* component, bool hidden, bool propagateToChildren);
void SetMobility(Object* component, std::uint8_t mobility);
void SetRelativeScale3D(Object* component, const Vector& scale);
void SetVisibility(Object* component, bool visible, bool propagateToChildren);
}  // namespace SceneComponent

namespace PrimitiveComponent {
Object* GetMaterial(Object* component, std::int32_t elementIndex);
std::int32_t GetNumMaterials(Object* component);
void SetCollisionEnabled(Object* component, std::uint8_t collisionType);
void SetGenerateOverlapEvents(Object* component, bool generate);
void SetMaterial(Object* component, std::int32_t elementIndex, Object* material);
void SetReceivesDecals(Object* component, bool receives);
void SetRenderCustomDepth(Object* component, bool value);
void SetSimulatePhysics(Object* component, bool simulate);
}  // namespace PrimitiveComponent

namespace SkinnedMeshComponent {
std::int32_t GetBoneIndex(Object* component, EngineName bone);
EngineName GetBoneName(Object* component, std::int32_t boneIndex);
void HideBoneByName(Object* component, EngineName bone, std::uint8_t physicsBodyOption);
void UnHideBoneByName(Object* component, EngineName bone);
void SetForcedLOD(Object* component, std::int32_t lod);
void SetSkeletalMesh(Object* component, Object* mesh, bool reinitialisePose);
}  // namespace SkinnedMeshComponent

namespace SkeletalMeshComponent {
void PlayAnimation(Object* component, Object* animation, bool looping);
void SetAnimationMode(Object* component, std::uint8_t mode);
void SetPlayRate(Object* component, float rate);
}  // namespace SkeletalMeshComponent

namespace StaticMeshComponent {
bool SetStaticMesh(Object* component, Object* mesh);
}  // namespace StaticMeshComponent

namespace PoseableMeshComponent {
void CopyPoseFromSkeletalComponent(Object* component, Object* source);
Transform GetBoneTransformByName(Object* component, EngineName bone, std::uint8_t boneSpace);
void SetBoneTransformByName(Object* component, EngineName bone, const Transform& transform, std::uint8_t boneSpace);
}  // namespace PoseableMeshComponent

namespace CapsuleComponent {
float GetScaledCapsuleHalfHeight(Object* component);
}  // namespace CapsuleComponent

namespace CharacterMovementComponent {
void DisableMovement(Object* component);
void SetMovementMode(Object* component, std::uint8_t movementMode, std::uint8_t customMode);
}  // namespace CharacterMovementComponent

namespace Character {
Object* GetCurrentMontage(Object* character);
float PlayAnimMontage(Object* character, Object* montage, float playRate, EngineName startSection);
}  // namespace Character

namespace PlayerCameraManager {
Vector GetCameraLocation(Object* cameraManager);
}  // namespace PlayerCameraManager

namespace PlayerController {
void GetViewportSize(Object* controller, std::int32_t* widthOut, std::int32_t* heightOut);
bool ProjectWorldLocationToScreen(Object* controller, const Vector& worldLocation, Vector2* screenOut,
                                  bool viewportRelative);
}  // namespace PlayerController

namespace GameplayStatics {
Object* BeginDeferredActorSpawnFromClass(Object* worldContext, Class* actorClass, const Transform& transform,
                                         std::uint8_t collisionHandling, Object* owner);
Object* FinishSpawningActor(Object* actor, const Transform& transform);
float GetRealTimeSeconds(Object* worldContext);
bool IsGamePaused(Object* worldContext);
bool SetGamePaused(Object* worldContext, bool paused);
}  // namespace GameplayStatics

namespace KismetSystemLibrary {
Object* Conv_SoftObjectReferenceToObject(const SoftObjectRef& reference);
Object* LoadAsset_Blocking(const SoftObjectRef& reference);
}  // namespace KismetSystemLibrary

namespace KismetStringLibrary {
EngineName Conv_StringToName(const EngineString& string);
}  // namespace KismetStringLibrary

}  // namespace bh::engine
