// Engine call wrappers. Each parameter block is a local struct whose C++
// layout is the engine's (members in order at natural alignment, the return
// value last); the offsets that are easy to get wrong are pinned.
#include "engine/calls.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace bh::engine {

void ProcessEvent(Object* target, Function* function, void* params) {
  auto vtable = ReadAt<void* const*>(target, layout::kVTable);
  using ProcessEventFn = void (*)(Object*, Function*, void*);
  reinterpret_cast<ProcessEventFn>(vtable[layout::kProcessEventSlot])(target, function, params);
}

namespace {

using namespace layout;

struct FunctionSlot {
  std::atomic<Function*> value{nullptr};
};

template <typename P>
void Zero(P& block) {
  std::memset(&block, 0, sizeof block);
}

// ProcessEvent through the target's vtable, with the function marked native
// for the call. The flag word goes back as it was whatever it held.
void CallProcessEvent(Object* target, Function* function, void* block) {
  auto flags = ReadAt<std::uint32_t>(function, kFunctionFlags);
  WriteAt(function, kFunctionFlags, flags | kNativeFunction);
  ProcessEvent(target, function, block);
  WriteAt(function, kFunctionFlags, flags);
}

bool CallMember(FunctionSlot& slot, Object* target, const char* declaringClass, const char* name, void* block) {
  if (!target) return false;
  Function* function = slot.value.load(std::memory_order_acquire);
  if (!function) {
    function = FindFunctionIn(ClassOf(target), declaringClass, name);
    if (!function) return false;
    slot.value.store(function, std::memory_order_release);
  }
  CallProcessEvent(target, function, block);
  return true;
}

bool CallLibrary(FunctionSlot& slot, ClassSlot& librarySlot, const char* library, const char* name, void* block) {
  Class* cls = FindClass(library, librarySlot);
  if (!cls) return false;
  Object* target = DefaultObjectOf(cls);
  if (!target) return false;
  Function* function = slot.value.load(std::memory_order_acquire);
  if (!function) {
    function = FindFunctionIn(cls, library, name);
    if (!function) return false;
    slot.value.store(function, std::memory_order_release);
  }
  CallProcessEvent(target, function, block);
  return true;
}

bool Statics(FunctionSlot& slot, const char* name, void* block) {
  return CallLibrary(slot, library::GameplayStaticsSlot(), "GameplayStatics", name, block);
}

}  // namespace

ClassSlot& library::GameplayStaticsSlot() {
  static ClassSlot slot;
  return slot;
}
ClassSlot& library::KismetSystemLibrarySlot() {
  static ClassSlot slot;
  return slot;
}
ClassSlot& library::KismetStringLibrarySlot() {
  static ClassSlot slot;
  return slot;
}

// ---------------------------------------------------------------- Actor

Object* Actor::AddComponentByClass(Object* actor, Class* componentClass, bool manualAttachment,
                                   const Transform& relative, bool deferredFinish) {
  struct P {
    Class* componentClass;
    bool manualAttachment;
    Transform relative;
    bool deferredFinish;
    Object* ret;
  } p;
  static_assert(offsetof(P, relative) == 0x10 && offsetof(P, deferredFinish) == 0x40 && offsetof(P, ret) == 0x48);
  Zero(p);
  p.componentClass = componentClass;
  p.manualAttachment = manualAttachment;
  p.relative = relative;
  p.deferredFinish = deferredFinish;
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "AddComponentByClass", &p);
  return p.ret;
}

void Actor::K2_DestroyActor(Object* actor) {
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "K2_DestroyActor", nullptr);
}

void Actor::K2_DestroyComponent(Object* actor, Object* component) {
  struct P {
    Object* component;
  } p;
  Zero(p);
  p.component = component;
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "K2_DestroyComponent", &p);
}

Vector Actor::K2_GetActorLocation(Object* actor) {
  struct P {
    Vector ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "K2_GetActorLocation", &p);
  return p.ret;
}

Rotator Actor::K2_GetActorRotation(Object* actor) {
  struct P {
    Rotator ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "K2_GetActorRotation", &p);
  return p.ret;
}

EngineArray<Object*> Actor::K2_GetComponentsByClass(Object* actor, Class* componentClass) {
  struct P {
    Class* componentClass;
    EngineArray<Object*> ret;
  } p;
  Zero(p);
  p.componentClass = componentClass;
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "K2_GetComponentsByClass", &p);
  return p.ret;
}

Object* Actor::K2_GetRootComponent(Object* actor) {
  struct P {
    Object* ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "K2_GetRootComponent", &p);
  return p.ret;
}

namespace {
// The block of both K2_Set...LocationAndRotation functions; the actor's has a return value.
struct SetLocationAndRotation {
  Vector location;
  Rotator rotation;
  bool sweep;
  HitResult hit;
  bool teleport;
  bool ret;
};
static_assert(offsetof(SetLocationAndRotation, hit) == 0x1C && offsetof(SetLocationAndRotation, teleport) == 0xA4 &&
              offsetof(SetLocationAndRotation, ret) == 0xA5 && sizeof(SetLocationAndRotation) == 0xA8);

void SetBlock(SetLocationAndRotation& p, const Vector& location, const Rotator& rotation, bool sweep, bool teleport) {
  Zero(p);
  p.location = location;
  p.rotation = rotation;
  p.sweep = sweep;
  p.teleport = teleport;
}
}  // namespace

bool Actor::K2_SetActorLocationAndRotation(Object* actor, const Vector& location, const Rotator& rotation, bool sweep,
                                           HitResult* hitOut, bool teleport) {
  SetLocationAndRotation p;
  SetBlock(p, location, rotation, sweep, teleport);
  static FunctionSlot slot;
  if (!CallMember(slot, actor, "Actor", "K2_SetActorLocationAndRotation", &p)) return false;
  if (hitOut) *hitOut = p.hit;
  return p.ret;
}

bool Actor::K2_TeleportTo(Object* actor, const Vector& location, const Rotator& rotation) {
  struct P {
    Vector location;
    Rotator rotation;
    bool ret;
  } p;
  static_assert(offsetof(P, ret) == 0x18);
  Zero(p);
  p.location = location;
  p.rotation = rotation;
  static FunctionSlot slot;
  CallMember(slot, actor, "Actor", "K2_TeleportTo", &p);
  return p.ret;
}

namespace {
// Member functions taking one bool, or one byte.
struct FlagBlock {
  bool flag;
};
struct ByteBlock {
  std::uint8_t value;
};
struct TwoFlagBlock {
  bool first;
  bool second;
};
void CallWithFlag(FunctionSlot& slot, Object* target, const char* cls, const char* name, bool flag) {
  FlagBlock p;
  Zero(p);
  p.flag = flag;
  CallMember(slot, target, cls, name, &p);
}
void CallWithByte(FunctionSlot& slot, Object* target, const char* cls, const char* name, std::uint8_t value) {
  ByteBlock p;
  Zero(p);
  p.value = value;
  CallMember(slot, target, cls, name, &p);
}
void CallWithTwoFlags(FunctionSlot& slot, Object* target, const char* cls, const char* name, bool first, bool second) {
  TwoFlagBlock p;
  Zero(p);
  p.first = first;
  p.second = second;
  CallMember(slot, target, cls, name, &p);
}
}  // namespace

void Actor::SetActorEnableCollision(Object* actor, bool enable) {
  static FunctionSlot slot;
  CallWithFlag(slot, actor, "Actor", "SetActorEnableCollision", enable);
}

void Actor::SetActorTickEnabled(Object* actor, bool enabled) {
  static FunctionSlot slot;
  CallWithFlag(slot, actor, "Actor", "SetActorTickEnabled", enabled);
}

void ActorComponent::SetComponentTickEnabled(Object* component, bool enabled) {
  static FunctionSlot slot;
  CallWithFlag(slot, component, "ActorComponent", "SetComponentTickEnabled", enabled);
}

// ---------------------------------------------------------------- SceneComponent

EngineName SceneComponent::GetAttachSocketName(Object* component) {
  struct P {
    EngineName ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, component, "SceneComponent", "GetAttachSocketName", &p);
  return p.ret;
}

Object* SceneComponent::GetChildComponent(Object* component, std::int32_t childIndex) {
  struct P {
    std::int32_t childIndex;
    Object* ret;
  } p;
  static_assert(offsetof(P, ret) == 0x8);
  Zero(p);
  p.childIndex = childIndex;
  static FunctionSlot slot;
  CallMember(slot, component, "SceneComponent", "GetChildComponent", &p);
  return p.ret;
}

std::int32_t SceneComponent::GetNumChildrenComponents(Object* component) {
  struct P {
    std::int32_t ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, component, "SceneComponent", "GetNumChildrenComponents", &p);
  return p.ret;
}

bool SceneComponent::K2_AttachToComponent(Object* component, Object* parent, EngineName socket,
                                          std::uint8_t locationRule, std::uint8_t rotationRule, std::uint8_t scaleRule,
                                          bool weldSimulatedBodies) {
  struct P {
    Object* parent;
    EngineName socket;
    std::uint8_t locationRule, rotationRule, scaleRule;
    bool weld;
    bool ret;
  } p;
  static_assert(offsetof(P, locationRule) == 0x10 && offsetof(P, weld) == 0x13 && offsetof(P, ret) == 0x14);
  Zero(p);
  p.parent = parent;
  p.socket = socket;
  p.locationRule = locationRule;
  p.rotationRule = rotationRule;
  p.scaleRule = scaleRule;
  p.weld = weldSimulatedBodies;
  static FunctionSlot slot;
  CallMember(slot, component, "SceneComponent", "K2_AttachToComponent", &p);
  return p.ret;
}

void SceneComponent::K2_SetRelativeLocationAndRotation(Object* component, const Vector& location,
                                                       const Rotator& rotation, bool sweep, HitResult* hitOut,
                                                       bool teleport) {
  SetLocationAndRotation p;  // without a return value the engine reads nothing past teleport
  SetBlock(p, location, rotation, sweep, teleport);
  static FunctionSlot slot;
  if (CallMember(slot, component, "SceneComponent", "K2_SetRelativeLocationAndRotation", &p) && hitOut) *hitOut = p.hit;
}

void SceneComponent::SetHiddenInGame(Object* component, bool hidden, bool propagateToChildren) {
  static FunctionSlot slot;
  CallWithTwoFlags(slot, component, "SceneComponent", "SetHiddenInGame", hidden, propagateToChildren);
}

void SceneComponent::SetMobility(Object* component, std::uint8_t mobility) {
  static FunctionSlot slot;
  CallWithByte(slot, component, "SceneComponent", "SetMobility", mobility);
}

void SceneComponent::SetRelativeScale3D(Object* component, const Vector& scale) {
  struct P {
    Vector scale;
  } p;
  Zero(p);
  p.scale = scale;
  static FunctionSlot slot;
  CallMember(slot, component, "SceneComponent", "SetRelativeScale3D", &p);
}

void SceneComponent::SetVisibility(Object* component, bool visible, bool propagateToChildren) {
  static FunctionSlot slot;
  CallWithTwoFlags(slot, component, "SceneComponent", "SetVisibility", visible, propagateToChildren);
}

// ---------------------------------------------------------------- PrimitiveComponent

Object* PrimitiveComponent::GetMaterial(Object* component, std::int32_t elementIndex) {
  struct P {
    std::int32_t elementIndex;
    Object* ret;
  } p;
  Zero(p);
  p.elementIndex = elementIndex;
  static FunctionSlot slot;
  CallMember(slot, component, "PrimitiveComponent", "GetMaterial", &p);
  return p.ret;
}

std::int32_t PrimitiveComponent::GetNumMaterials(Object* component) {
  struct P {
    std::int32_t ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, component, "PrimitiveComponent", "GetNumMaterials", &p);
  return p.ret;
}

void PrimitiveComponent::SetCollisionEnabled(Object* component, std::uint8_t collisionType) {
  static FunctionSlot slot;
  CallWithByte(slot, component, "PrimitiveComponent", "SetCollisionEnabled", collisionType);
}

void PrimitiveComponent::SetGenerateOverlapEvents(Object* component, bool generate) {
  static FunctionSlot slot;
  CallWithFlag(slot, component, "PrimitiveComponent", "SetGenerateOverlapEvents", generate);
}

void PrimitiveComponent::SetMaterial(Object* component, std::int32_t elementIndex, Object* material) {
  struct P {
    std::int32_t elementIndex;
    Object* material;
  } p;
  Zero(p);
  p.elementIndex = elementIndex;
  p.material = material;
  static FunctionSlot slot;
  CallMember(slot, component, "PrimitiveComponent", "SetMaterial", &p);
}

void PrimitiveComponent::SetReceivesDecals(Object* component, bool receives) {
  static FunctionSlot slot;
  CallWithFlag(slot, component, "PrimitiveComponent", "SetReceivesDecals", receives);
}

void PrimitiveComponent::SetRenderCustomDepth(Object* component, bool value) {
  static FunctionSlot slot;
  CallWithFlag(slot, component, "PrimitiveComponent", "SetRenderCustomDepth", value);
}

void PrimitiveComponent::SetSimulatePhysics(Object* component, bool simulate) {
  static FunctionSlot slot;
  CallWithFlag(slot, component, "PrimitiveComponent", "SetSimulatePhysics", simulate);
}

// ---------------------------------------------------------------- SkinnedMeshComponent and subclasses

std::int32_t SkinnedMeshComponent::GetBoneIndex(Object* component, EngineName bone) {
  struct P {
    EngineName bone;
    std::int32_t ret;
  } p;
  Zero(p);
  p.bone = bone;
  static FunctionSlot slot;
  CallMember(slot, component, "SkinnedMeshComponent", "GetBoneIndex", &p);
  return p.ret;
}

EngineName SkinnedMeshComponent::GetBoneName(Object* component, std::int32_t boneIndex) {
  struct P {
    std::int32_t boneIndex;
    EngineName ret;
  } p;
  static_assert(offsetof(P, ret) == 0x4);
  Zero(p);
  p.boneIndex = boneIndex;
  static FunctionSlot slot;
  CallMember(slot, component, "SkinnedMeshComponent", "GetBoneName", &p);
  return p.ret;
}

void SkinnedMeshComponent::HideBoneByName(Object* component, EngineName bone, std::uint8_t physicsBodyOption) {
  struct P {
    EngineName bone;
    std::uint8_t option;
  } p;
  Zero(p);
  p.bone = bone;
  p.option = physicsBodyOption;
  static FunctionSlot slot;
  CallMember(slot, component, "SkinnedMeshComponent", "HideBoneByName", &p);
}

void SkinnedMeshComponent::UnHideBoneByName(Object* component, EngineName bone) {
  struct P {
    EngineName bone;
  } p;
  Zero(p);
  p.bone = bone;
  static FunctionSlot slot;
  CallMember(slot, component, "SkinnedMeshComponent", "UnHideBoneByName", &p);
}

void SkinnedMeshComponent::SetForcedLOD(Object* component, std::int32_t lod) {
  struct P {
    std::int32_t lod;
  } p;
  Zero(p);
  p.lod = lod;
  static FunctionSlot slot;
  CallMember(slot, component, "SkinnedMeshComponent", "SetForcedLOD", &p);
}

void SkinnedMeshComponent::SetSkeletalMesh(Object* component, Object* mesh, bool reinitialisePose) {
  struct P {
    Object* mesh;
    bool reinitialisePose;
  } p;
  Zero(p);
  p.mesh = mesh;
  p.reinitialisePose = reinitialisePose;
  static FunctionSlot slot;
  CallMember(slot, component, "SkinnedMeshComponent", "SetSkeletalMesh", &p);
}

void SkeletalMeshComponent::PlayAnimation(Object* component, Object* animation, bool looping) {
  struct P {
    Object* animation;
    bool looping;
  } p;
  Zero(p);
  p.animation = animation;
  p.looping = looping;
  static FunctionSlot slot;
  CallMember(slot, component, "SkeletalMeshComponent", "PlayAnimation", &p);
}

void SkeletalMeshComponent::SetAnimationMode(Object* component, std::uint8_t mode) {
  static FunctionSlot slot;
  CallWithByte(slot, component, "SkeletalMeshComponent", "SetAnimationMode", mode);
}

void SkeletalMeshComponent::SetPlayRate(Object* component, float rate) {
  struct P {
    float rate;
  } p;
  Zero(p);
  p.rate = rate;
  static FunctionSlot slot;
  CallMember(slot, component, "SkeletalMeshComponent", "SetPlayRate", &p);
}

bool StaticMeshComponent::SetStaticMesh(Object* component, Object* mesh) {
  struct P {
    Object* mesh;
    bool ret;
  } p;
  Zero(p);
  p.mesh = mesh;
  static FunctionSlot slot;
  CallMember(slot, component, "StaticMeshComponent", "SetStaticMesh", &p);
  return p.ret;
}

void PoseableMeshComponent::CopyPoseFromSkeletalComponent(Object* component, Object* source) {
  struct P {
    Object* source;
  } p;
  Zero(p);
  p.source = source;
  static FunctionSlot slot;
  CallMember(slot, component, "PoseableMeshComponent", "CopyPoseFromSkeletalComponent", &p);
}

Transform PoseableMeshComponent::GetBoneTransformByName(Object* component, EngineName bone, std::uint8_t boneSpace) {
  struct P {
    EngineName bone;
    std::uint8_t boneSpace;
    Transform ret;
  } p;
  static_assert(offsetof(P, ret) == 0x10 && sizeof(P) == 0x40);
  Zero(p);
  p.bone = bone;
  p.boneSpace = boneSpace;
  static FunctionSlot slot;
  if (!CallMember(slot, component, "PoseableMeshComponent", "GetBoneTransformByName", &p)) return Transform{};
  return p.ret;
}

void PoseableMeshComponent::SetBoneTransformByName(Object* component, EngineName bone, const Transform& transform,
                                                   std::uint8_t boneSpace) {
  struct P {
    EngineName bone;
    Transform transform;
    std::uint8_t boneSpace;
  } p;
  static_assert(offsetof(P, transform) == 0x10 && offsetof(P, boneSpace) == 0x40);
  Zero(p);
  p.bone = bone;
  p.transform = transform;
  p.boneSpace = boneSpace;
  static FunctionSlot slot;
  CallMember(slot, component, "PoseableMeshComponent", "SetBoneTransformByName", &p);
}

float CapsuleComponent::GetScaledCapsuleHalfHeight(Object* component) {
  struct P {
    float ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, component, "CapsuleComponent", "GetScaledCapsuleHalfHeight", &p);
  return p.ret;
}

// ---------------------------------------------------------------- characters and controllers

void CharacterMovementComponent::DisableMovement(Object* component) {
  static FunctionSlot slot;
  CallMember(slot, component, "CharacterMovementComponent", "DisableMovement", nullptr);
}

void CharacterMovementComponent::SetMovementMode(Object* component, std::uint8_t movementMode, std::uint8_t customMode) {
  struct P {
    std::uint8_t movementMode;
    std::uint8_t customMode;
  } p;
  Zero(p);
  p.movementMode = movementMode;
  p.customMode = customMode;
  static FunctionSlot slot;
  CallMember(slot, component, "CharacterMovementComponent", "SetMovementMode", &p);
}

Object* Character::GetCurrentMontage(Object* character) {
  struct P {
    Object* ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, character, "Character", "GetCurrentMontage", &p);
  return p.ret;
}

float Character::PlayAnimMontage(Object* character, Object* montage, float playRate, EngineName startSection) {
  struct P {
    Object* montage;
    float playRate;
    EngineName startSection;
    float ret;
  } p;
  static_assert(offsetof(P, startSection) == 0xC && offsetof(P, ret) == 0x14);
  Zero(p);
  p.montage = montage;
  p.playRate = playRate;
  p.startSection = startSection;
  static FunctionSlot slot;
  CallMember(slot, character, "Character", "PlayAnimMontage", &p);
  return p.ret;
}

Vector PlayerCameraManager::GetCameraLocation(Object* cameraManager) {
  struct P {
    Vector ret;
  } p;
  Zero(p);
  static FunctionSlot slot;
  CallMember(slot, cameraManager, "PlayerCameraManager", "GetCameraLocation", &p);
  return p.ret;
}

void PlayerController::GetViewportSize(Object* controller, std::int32_t* widthOut, std::int32_t* heightOut) {
  struct P {
    std::int32_t width, height;
  } p;
  Zero(p);
  static FunctionSlot slot;
  if (!CallMember(slot, controller, "PlayerController", "GetViewportSize", &p)) p = P{0, 0};
  if (widthOut) *widthOut = p.width;
  if (heightOut) *heightOut = p.height;
}

bool PlayerController::ProjectWorldLocationToScreen(Object* controller, const Vector& worldLocation,
                                                    Vector2* screenOut, bool viewportRelative) {
  struct P {
    Vector worldLocation;
    Vector2 screen;
    bool viewportRelative;
    bool ret;
  } p;
  static_assert(offsetof(P, screen) == 0xC && offsetof(P, viewportRelative) == 0x14 && offsetof(P, ret) == 0x15);
  Zero(p);
  p.worldLocation = worldLocation;
  p.viewportRelative = viewportRelative;
  static FunctionSlot slot;
  if (!CallMember(slot, controller, "PlayerController", "ProjectWorldLocationToScreen", &p)) return false;
  if (screenOut) *screenOut = p.screen;
  return p.ret;
}

// ---------------------------------------------------------------- libraries

Object* GameplayStatics::BeginDeferredActorSpawnFromClass(Object* worldContext, Class* actorClass,
                                                          const Transform& transform, std::uint8_t collisionHandling,
                                                          Object* owner) {
  struct P {
    Object* worldContext;
    Class* actorClass;
    Transform transform;
    std::uint8_t collisionHandling;
    Object* owner;
    Object* ret;
  } p;
  static_assert(offsetof(P, transform) == 0x10 && offsetof(P, collisionHandling) == 0x40 &&
                offsetof(P, owner) == 0x48 && offsetof(P, ret) == 0x50);
  Zero(p);
  p.worldContext = worldContext;
  p.actorClass = actorClass;
  p.transform = transform;
  p.collisionHandling = collisionHandling;
  p.owner = owner;
  static FunctionSlot slot;
  Statics(slot, "BeginDeferredActorSpawnFromClass", &p);
  return p.ret;
}

Object* GameplayStatics::FinishSpawningActor(Object* actor, const Transform& transform) {
  struct P {
    Object* actor;
    Transform transform;
    Object* ret;
  } p;
  static_assert(offsetof(P, transform) == 0x10 && offsetof(P, ret) == 0x40);
  Zero(p);
  p.actor = actor;
  p.transform = transform;
  static FunctionSlot slot;
  Statics(slot, "FinishSpawningActor", &p);
  return p.ret;
}

float GameplayStatics::GetRealTimeSeconds(Object* worldContext) {
  struct P {
    Object* worldContext;
    float ret;
  } p;
  static_assert(offsetof(P, ret) == 8 && sizeof(P) == 16);
  Zero(p);
  p.worldContext = worldContext;
  static FunctionSlot slot;
  Statics(slot, "GetRealTimeSeconds", &p);
  return p.ret;
}

bool GameplayStatics::IsGamePaused(Object* worldContext) {
  struct P {
    Object* worldContext;
    bool ret;
  } p;
  Zero(p);
  p.worldContext = worldContext;
  static FunctionSlot slot;
  Statics(slot, "IsGamePaused", &p);
  return p.ret;
}

bool GameplayStatics::SetGamePaused(Object* worldContext, bool paused) {
  struct P {
    Object* worldContext;
    bool paused;
    bool ret;
  } p;
  static_assert(offsetof(P, ret) == 9);
  Zero(p);
  p.worldContext = worldContext;
  p.paused = paused;
  static FunctionSlot slot;
  Statics(slot, "SetGamePaused", &p);
  return p.ret;
}

namespace {
Object* SoftReferenceCall(FunctionSlot& slot, const char* name, const SoftObjectRef& reference) {
  struct P {
    SoftObjectRef reference;
    Object* ret;
  } p;
  static_assert(offsetof(P, ret) == 0x28);
  Zero(p);
  p.reference = reference;
  CallLibrary(slot, library::KismetSystemLibrarySlot(), "KismetSystemLibrary", name, &p);
  return p.ret;
}
}  // namespace

Object* KismetSystemLibrary::Conv_SoftObjectReferenceToObject(const SoftObjectRef& reference) {
  static FunctionSlot slot;
  return SoftReferenceCall(slot, "Conv_SoftObjectReferenceToObject", reference);
}

Object* KismetSystemLibrary::LoadAsset_Blocking(const SoftObjectRef& reference) {
  static FunctionSlot slot;
  return SoftReferenceCall(slot, "LoadAsset_Blocking", reference);
}

EngineName KismetStringLibrary::Conv_StringToName(const EngineString& string) {
  struct P {
    EngineString string;
    EngineName ret;
  } p;
  static_assert(offsetof(P, ret) == 0x10);
  Zero(p);
  p.string = string;
  static FunctionSlot slot;
  CallLibrary(slot, library::KismetStringLibrarySlot(), "KismetStringLibrary", "Conv_StringToName", &p);
  return p.ret;
}

}  // namespace bh::engine
