// The world: core and engine classes, the engine library functions with their
// parameter blocks, the engine object's chain down to the player character,
// actors and components, the clock, frames, on-demand assets, fillers that
// bring the object array to a game's size, and the worker thread.
//
// [SECTION] Core classes
// [SECTION] Engine classes and their functions
// [SECTION] Actors
// [SECTION] The world chain
// [SECTION] Frames and the clock
// [SECTION] Boot
#include <windows.h>

#include <atomic>
#include <cmath>
#include <unordered_map>

#include "standin/internal.h"
#include "standin/world.h"

namespace standin {
namespace {

struct WorldModel {
  UEngine* engine = nullptr;
  UGameViewportClient* viewport = nullptr;  // kept while detached
  UGameInstance* gameInstance = nullptr;
  ULocalPlayer* localPlayer = nullptr;
  APlayerController* controller = nullptr;
  UObject* audioDevice = nullptr;
  UFunction* pumpAudio = nullptr;
  std::vector<UObject*> actors;  // ticking candidates, in spawn order
  std::vector<std::function<void()>> frameExtensions;
  std::unordered_map<std::wstring, std::function<UObject*()>> loadableAssets;
  std::uint64_t frames = 0;
  std::atomic<std::uint64_t> tickBodies{0};
  std::atomic<std::uint64_t> workerCalls{0};
  std::atomic<bool> workerStop{false};
  HANDLE worker = nullptr;
  DWORD workerId = 0;
};
WorldModel& Model() {
  static WorldModel* model = new WorldModel();
  return *model;
}

constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

detail::ActorState& StateOf(const UObject* o) {
  detail::ObjectExtra& extra = detail::Extra(o);
  if (!extra.actor) extra.actor = std::make_unique<detail::ActorState>();
  return *extra.actor;
}

detail::WorldState& WorldStateOf(const UWorld* w) {
  detail::ObjectExtra& extra = detail::Extra(w);
  if (!extra.world) extra.world = std::make_unique<detail::WorldState>();
  return *extra.world;
}

UWorld* CurrentWorld() {
  WorldModel& m = Model();
  if (m.engine && m.engine->gameViewport && m.engine->gameViewport->world) return m.engine->gameViewport->world;
  return FallbackWorld();
}

// The world an object lives in (its outer chain), else the current one.
UWorld* WorldOf(const UObject* o) {
  UClass* worldClass = ClassNamed(L"World");
  for (const UObject* p = o; p; p = p->outer)
    if (IsA(p, worldClass)) return const_cast<UWorld*>(static_cast<const UWorld*>(p));
  return CurrentWorld();
}

FRotator RotatorFromQuat(const FQuat& q) {
  double singularity = q.z * q.x - q.w * q.y;
  double yawY = 2.0 * (q.w * q.z + q.x * q.y);
  double yawX = 1.0 - 2.0 * (q.y * q.y + q.z * q.z);
  double pitch = singularity < -0.4999995 ? -90.0 : singularity > 0.4999995 ? 90.0 : std::asin(2.0 * singularity) / kDegToRad;
  double yaw = std::atan2(yawY, yawX) / kDegToRad;
  double roll = std::atan2(-2.0 * (q.w * q.x + q.y * q.z), 1.0 - 2.0 * (q.x * q.x + q.y * q.y)) / kDegToRad;
  return FRotator{static_cast<float>(pitch), static_cast<float>(yaw), static_cast<float>(roll)};
}

std::wstring StringOf(const FString& s) {
  if (!s.data || s.count <= 0) return L"";
  return std::wstring(s.data, static_cast<std::size_t>(s.count - 1));
}

std::wstring SoftPath(const FSoftObjectPtr& ref) {
  if (ref.assetPathName == FName{0, 0}) return L"";
  std::wstring path = NameText(ref.assetPathName);
  std::wstring sub = StringOf(ref.subPath);
  if (!sub.empty()) path += L":" + sub;
  return path;
}

void FillHit(FHitResult& hit, const FVector& at) {
  hit = FHitResult{};
  hit.time = 1.0f;
  hit.location = hit.impactPoint = hit.traceEnd = at;
}

UObject* NewComponent(UClass* cls, UObject* owner, std::wstring_view name) {
  UObject* component = NewObject(cls, owner, name, {.pagedMemory = true});
  StateOf(owner).components.push_back(component);
  return component;
}

// The actor is created but its spawn is not finished (no tick, no root placement).
UObject* SpawnDeferred(UClass* cls, const FTransform& transform) {
  UWorld* world = CurrentWorld();
  if (!cls || !world || !(cls->castFlags & kCastActor) || !IsA(cls, detail::Core().cls)) return nullptr;
  UObject* actor = NewObject(cls, world, L"", {.pagedMemory = true});
  detail::ActorState& state = StateOf(actor);
  state.location = transform.translation;
  state.rotation = RotatorFromQuat(transform.rotation);
  state.scale = transform.scale;
  state.finished = false;
  // Characters come with their capsule, mesh and movement, as their class defaults build them.
  if (IsA(cls->defaultObject, ClassNamed(L"Character"))) {
    state.root = NewComponent(ClassNamed(L"CapsuleComponent"), actor, L"CollisionCylinder");
    NewComponent(ClassNamed(L"SkeletalMeshComponent"), actor, L"CharacterMesh0");
    NewComponent(ClassNamed(L"CharacterMovementComponent"), actor, L"CharMoveComp");
  } else {
    state.root = NewComponent(ClassNamed(L"SceneComponent"), actor, L"DefaultSceneRoot");
  }
  return actor;
}

UObject* FinishSpawn(UObject* actor, const FTransform& transform) {
  if (!actor || !detail::Extra(actor).actor) return nullptr;
  detail::ActorState& state = StateOf(actor);
  if (!state.finished) {
    state.location = transform.translation;
    state.rotation = RotatorFromQuat(transform.rotation);
    state.finished = true;
    Model().actors.push_back(actor);
  }
  return actor;
}

void OnFree(UObject* o) {
  WorldModel& m = Model();
  std::erase(m.actors, o);
  if (m.controller && m.controller->character == o) m.controller->character = nullptr;
  if (o->outer && detail::Extra(o->outer).actor) {
    detail::ActorState& owner = *detail::Extra(o->outer).actor;
    std::erase(owner.components, o);
    if (owner.root == o) owner.root = nullptr;
  }
  if (detail::Extra(o).actor) {
    detail::ActorState& self = *detail::Extra(o).actor;
    if (self.attachParent && detail::Extra(self.attachParent).actor)
      std::erase(detail::Extra(self.attachParent).actor->attachChildren, o);
    for (UObject* child : self.attachChildren)
      if (detail::Extra(child).actor) detail::Extra(child).actor->attachParent = nullptr;
  }
}

// ---------------------------------------------------------------- [SECTION] Core classes

void DefineCoreClasses() {
  detail::CoreClasses& c = detail::Core();
  UObject* core = Package(L"/Script/CoreUObject");  // no class yet: fixed below
  c.object = DefineClass({L"Object", nullptr, core, sizeof(UObject)});
  c.field = DefineClass({L"Field", c.object, core, sizeof(UField), kCastField});
  c.structure = DefineClass({L"Struct", c.field, core, sizeof(UStruct), kCastStruct});
  c.cls = DefineClass({L"Class", c.structure, core, sizeof(UClass), kCastClass});
  c.function = DefineClass({L"Function", c.structure, core, sizeof(UFunction), kCastFunction});
  c.package = DefineClass({L"Package", c.object, core, 0x80, kCastPackage});
  c.property = DefineClass({L"Property", c.field, core, 0x70, kCastProperty});
  // The objects made before their classes existed.
  FChunkedFixedUObjectArray& a = ObjectArray();
  for (std::int32_t i = 0; i < a.numElements; ++i) {
    UObject* o = ItemAt(i)->object;
    if (o->cls) continue;
    o->cls = o == core ? c.package : c.cls;
  }
  detail::RebuildPathIndex();
  c.blueprintClass = DefineClass({L"BlueprintGeneratedClass", c.cls, Package(L"/Script/Engine"), sizeof(UClass)});
}

// ---------------------------------------------------------------- [SECTION] Engine classes and their functions

using O = UObject*;
using C = UClass*;
constexpr std::uint32_t kLibrary = kFuncStatic | kFuncFinal | kFuncBlueprintCallable;
constexpr std::uint32_t kMember = kFuncFinal | kFuncBlueprintCallable;

std::atomic<std::int32_t> g_activeSaveSlot{0};

UClass* Define(const wchar_t* name, const wchar_t* parent, std::uint32_t size, std::uint64_t castFlags = 0,
               const wchar_t* package = L"/Script/Engine") {
  return DefineClass({name, ClassNamed(parent), Package(package), size, castFlags});
}

void DefineEngineClasses() {
  Define(L"Engine", L"Object", 0xE00);
  Define(L"GameEngine", L"Engine", 0xE80);
  Define(L"GameViewportClient", L"Object", 0x340);
  Define(L"World", L"Object", 0x780);
  Define(L"GameInstance", L"Object", 0x1B0);
  Define(L"Player", L"Object", 0x48);
  Define(L"LocalPlayer", L"Player", 0x258);
  Define(L"AudioDevice", L"Object", 0x60);
  Define(L"Actor", L"Object", 0x228, kCastActor);
  Define(L"Pawn", L"Actor", 0x288);
  Define(L"Character", L"Pawn", 0x4C8);
  Define(L"Controller", L"Actor", 0x2A0);
  Define(L"PlayerController", L"Controller", 0x570);
  Define(L"PlayerCameraManager", L"Actor", 0x2740);
  Define(L"SkeletalMeshActor", L"Actor", 0x240);
  Define(L"ActorComponent", L"Object", 0xB0, kCastActorComponent);
  Define(L"SceneComponent", L"ActorComponent", 0x1F0, kCastSceneComponent);
  Define(L"PrimitiveComponent", L"SceneComponent", 0x430);
  Define(L"ShapeComponent", L"PrimitiveComponent", 0x460);
  Define(L"CapsuleComponent", L"ShapeComponent", 0x470);
  Define(L"MeshComponent", L"PrimitiveComponent", 0x460);
  Define(L"StaticMeshComponent", L"MeshComponent", 0x4B0);
  Define(L"SkinnedMeshComponent", L"MeshComponent", 0x590);
  Define(L"SkeletalMeshComponent", L"SkinnedMeshComponent", 0xE70);
  Define(L"PoseableMeshComponent", L"SkinnedMeshComponent", 0x5F0);
  Define(L"MovementComponent", L"ActorComponent", 0xF8);
  Define(L"NavMovementComponent", L"MovementComponent", 0x130);
  Define(L"PawnMovementComponent", L"NavMovementComponent", 0x138);
  Define(L"CharacterMovementComponent", L"PawnMovementComponent", 0xB10);
  Define(L"BlueprintFunctionLibrary", L"Object", 0x28);
  Define(L"GameplayStatics", L"BlueprintFunctionLibrary", 0x28);
  Define(L"KismetSystemLibrary", L"BlueprintFunctionLibrary", 0x28);
  Define(L"KismetStringLibrary", L"BlueprintFunctionLibrary", 0x28);
  Define(L"StreamableRenderAsset", L"Object", 0x58);
  Define(L"StaticMesh", L"StreamableRenderAsset", 0x168);
  Define(L"SkeletalMesh", L"StreamableRenderAsset", 0x3E0);
  Define(L"AnimationAsset", L"Object", 0x50);
  Define(L"AnimSequenceBase", L"AnimationAsset", 0x80);
  Define(L"AnimSequence", L"AnimSequenceBase", 0x100);
  Define(L"AnimMontage", L"AnimSequenceBase", 0x2B0);
  Define(L"MaterialInterface", L"Object", 0x88);
  Define(L"Material", L"MaterialInterface", 0x5E0);
  Define(L"Texture2D", L"Object", 0x180);
  Define(L"SoundWave", L"Object", 0x2C0);

  // GameInstance: the game's save slot in use (SetActiveSaveSlot).
  DefineNative(ClassNamed(L"GameInstance"), L"GetActiveSaveSlotIndex", {Ret<std::int32_t>()},
               [](Call& c) { c.Ret<std::int32_t>() = g_activeSaveSlot.load(); }, kMember);

  // Actor
  UClass* actor = ClassNamed(L"Actor");
  DefineScript(actor, L"ReceiveTick", {In<float>(L"DeltaSeconds")}, {}, 0, kFuncEvent | kFuncBlueprintEvent);
  DefineNative(actor, L"AddComponentByClass",
               {In<C>(L"Class"), In<bool>(L"bManualAttachment"), In<FTransform>(L"RelativeTransform"),
                In<bool>(L"bDeferredFinish"), Ret<O>()},
               [](Call& c) {
                 UClass* cls = c.Arg<C>(0);
                 if (!cls || !(cls->castFlags & kCastActorComponent)) return;
                 c.Ret<O>() = NewComponent(cls, c.self, L"");
               },
               kMember);
  DefineNative(actor, L"K2_DestroyActor", {}, [](Call& c) { DestroyActor(c.self); }, kMember);
  DefineNative(actor, L"K2_DestroyComponent", {In<O>(L"Component")},
               [](Call& c) {
                 if (UObject* component = c.Arg<O>(0); component && component->outer == c.self) MarkPendingKill(component);
               },
               kMember);
  DefineNative(actor, L"K2_GetActorLocation", {Ret<FVector>()}, [](Call& c) { c.Ret<FVector>() = StateOf(c.self).location; },
               kMember);
  DefineNative(actor, L"K2_GetActorRotation", {Ret<FRotator>()},
               [](Call& c) { c.Ret<FRotator>() = StateOf(c.self).rotation; }, kMember);
  DefineNative(actor, L"K2_GetComponentsByClass", {In<C>(L"ComponentClass"), Ret<TArray<O>>()},
               [](Call& c) {
                 std::vector<UObject*> found;
                 for (UObject* component : StateOf(c.self).components)
                   if (IsA(component, c.Arg<C>(0))) found.push_back(component);
                 TArray<O>& out = c.Ret<TArray<O>>();
                 out.data = static_cast<O*>(detail::EngineAlloc(sizeof(O) * found.size()));
                 std::copy(found.begin(), found.end(), out.data);
                 out.count = out.max = static_cast<std::int32_t>(found.size());
               },
               kMember);
  DefineNative(actor, L"K2_GetRootComponent", {Ret<O>()}, [](Call& c) { c.Ret<O>() = StateOf(c.self).root; }, kMember);
  DefineNative(actor, L"K2_SetActorLocationAndRotation",
               {In<FVector>(L"NewLocation"), In<FRotator>(L"NewRotation"), In<bool>(L"bSweep"),
                Out<FHitResult>(L"SweepHitResult"), In<bool>(L"bTeleport"), Ret<bool>()},
               [](Call& c) {
                 detail::ActorState& s = StateOf(c.self);
                 s.location = c.Arg<FVector>(0);
                 s.rotation = c.Arg<FRotator>(1);
                 if (c.Arg<bool>(2)) FillHit(c.Arg<FHitResult>(3), s.location);
                 c.Ret<bool>() = true;
               },
               kMember);
  DefineNative(actor, L"K2_TeleportTo", {In<FVector>(L"DestLocation"), In<FRotator>(L"DestRotation"), Ret<bool>()},
               [](Call& c) {
                 StateOf(c.self).location = c.Arg<FVector>(0);
                 StateOf(c.self).rotation = c.Arg<FRotator>(1);
                 c.Ret<bool>() = true;
               },
               kMember);
  DefineNative(actor, L"SetActorEnableCollision", {In<bool>(L"bNewActorEnableCollision")},
               [](Call& c) { StateOf(c.self).collision = c.Arg<bool>(0); }, kMember);
  DefineNative(actor, L"SetActorTickEnabled", {In<bool>(L"bEnabled")},
               [](Call& c) { StateOf(c.self).tickEnabled = c.Arg<bool>(0); }, kMember);

  DefineNative(ClassNamed(L"ActorComponent"), L"SetComponentTickEnabled", {In<bool>(L"bEnabled")},
               [](Call& c) { StateOf(c.self).tickEnabled = c.Arg<bool>(0); }, kMember);

  // SceneComponent
  UClass* scene = ClassNamed(L"SceneComponent");
  DefineNative(scene, L"GetAttachSocketName", {Ret<FName>()}, [](Call& c) { c.Ret<FName>() = StateOf(c.self).attachSocket; },
               kMember);
  DefineNative(scene, L"GetChildComponent", {In<std::int32_t>(L"ChildIndex"), Ret<O>()},
               [](Call& c) {
                 auto& children = StateOf(c.self).attachChildren;
                 std::int32_t i = c.Arg<std::int32_t>(0);
                 c.Ret<O>() = i >= 0 && i < static_cast<std::int32_t>(children.size()) ? children[i] : nullptr;
               },
               kMember);
  DefineNative(scene, L"GetNumChildrenComponents", {Ret<std::int32_t>()},
               [](Call& c) { c.Ret<std::int32_t>() = static_cast<std::int32_t>(StateOf(c.self).attachChildren.size()); },
               kMember);
  DefineNative(scene, L"K2_AttachToComponent",
               {In<O>(L"Parent"), In<FName>(L"SocketName"), In<std::uint8_t>(L"LocationRule"),
                In<std::uint8_t>(L"RotationRule"), In<std::uint8_t>(L"ScaleRule"), In<bool>(L"bWeldSimulatedBodies"),
                Ret<bool>()},
               [](Call& c) {
                 UObject* parent = c.Arg<O>(0);
                 if (!parent || parent == c.self) return;
                 detail::ActorState& s = StateOf(c.self);
                 if (s.attachParent) std::erase(StateOf(s.attachParent).attachChildren, c.self);
                 s.attachParent = parent;
                 s.attachSocket = c.Arg<FName>(1);
                 StateOf(parent).attachChildren.push_back(c.self);
                 c.Ret<bool>() = true;
               },
               kMember);
  DefineNative(scene, L"K2_SetRelativeLocationAndRotation",
               {In<FVector>(L"NewLocation"), In<FRotator>(L"NewRotation"), In<bool>(L"bSweep"),
                Out<FHitResult>(L"SweepHitResult"), In<bool>(L"bTeleport")},
               [](Call& c) {
                 detail::ActorState& s = StateOf(c.self);
                 s.location = c.Arg<FVector>(0);
                 s.rotation = c.Arg<FRotator>(1);
                 if (c.Arg<bool>(2)) FillHit(c.Arg<FHitResult>(3), s.location);
               },
               kMember);
  DefineNative(scene, L"SetHiddenInGame", {In<bool>(L"NewHidden"), In<bool>(L"bPropagateToChildren")}, {}, kMember);
  DefineNative(scene, L"SetMobility", {In<std::uint8_t>(L"NewMobility")}, {}, kMember);
  DefineNative(scene, L"SetRelativeScale3D", {In<FVector>(L"NewScale3D")},
               [](Call& c) { StateOf(c.self).scale = c.Arg<FVector>(0); }, kMember);
  DefineNative(scene, L"SetVisibility", {In<bool>(L"bNewVisibility"), In<bool>(L"bPropagateToChildren")}, {}, kMember);

  // PrimitiveComponent
  UClass* primitive = ClassNamed(L"PrimitiveComponent");
  DefineNative(primitive, L"GetMaterial", {In<std::int32_t>(L"ElementIndex"), Ret<O>()}, {}, kMember);
  DefineNative(primitive, L"GetNumMaterials", {Ret<std::int32_t>()}, {}, kMember);
  DefineNative(primitive, L"SetCollisionEnabled", {In<std::uint8_t>(L"NewType")}, {}, kMember);
  DefineNative(primitive, L"SetGenerateOverlapEvents", {In<bool>(L"bInGenerateOverlapEvents")}, {}, kMember);
  DefineNative(primitive, L"SetMaterial", {In<std::int32_t>(L"ElementIndex"), In<O>(L"Material")}, {}, kMember);
  DefineNative(primitive, L"SetReceivesDecals", {In<bool>(L"bNewReceivesDecals")}, {}, kMember);
  DefineNative(primitive, L"SetRenderCustomDepth", {In<bool>(L"bValue")}, {}, kMember);
  DefineNative(primitive, L"SetSimulatePhysics", {In<bool>(L"bSimulate")}, {}, kMember);

  // SkinnedMeshComponent and its subclasses
  UClass* skinned = ClassNamed(L"SkinnedMeshComponent");
  DefineNative(skinned, L"GetBoneIndex", {In<FName>(L"BoneName"), Ret<std::int32_t>()},
               [](Call& c) { c.Ret<std::int32_t>() = -1; }, kMember);
  DefineNative(skinned, L"GetBoneName", {In<std::int32_t>(L"BoneIndex"), Ret<FName>()}, {}, kMember);
  DefineNative(skinned, L"HideBoneByName", {In<FName>(L"BoneName"), In<std::uint8_t>(L"PhysBodyOption")}, {}, kMember);
  DefineNative(skinned, L"UnHideBoneByName", {In<FName>(L"BoneName")}, {}, kMember);
  DefineNative(skinned, L"SetForcedLOD", {In<std::int32_t>(L"InNewForcedLOD")}, {}, kMember);
  DefineNative(skinned, L"SetSkeletalMesh", {In<O>(L"NewMesh"), In<bool>(L"bReinitPose")}, {}, kMember);
  UClass* skeletal = ClassNamed(L"SkeletalMeshComponent");
  DefineNative(skeletal, L"PlayAnimation", {In<O>(L"NewAnimToPlay"), In<bool>(L"bLooping")}, {}, kMember);
  DefineNative(skeletal, L"SetAnimationMode", {In<std::uint8_t>(L"InAnimationMode")}, {}, kMember);
  DefineNative(skeletal, L"SetPlayRate", {In<float>(L"Rate")}, {}, kMember);
  DefineNative(ClassNamed(L"StaticMeshComponent"), L"SetStaticMesh", {In<O>(L"NewMesh"), Ret<bool>()},
               [](Call& c) { c.Ret<bool>() = c.Arg<O>(0) != nullptr; }, kMember);
  UClass* poseable = ClassNamed(L"PoseableMeshComponent");
  DefineNative(poseable, L"CopyPoseFromSkeletalComponent", {In<O>(L"InComponentToCopy")}, {}, kMember);
  DefineNative(poseable, L"GetBoneTransformByName", {In<FName>(L"BoneName"), In<std::uint8_t>(L"BoneSpace"), Ret<FTransform>()},
               [](Call& c) { c.Ret<FTransform>() = FTransform{{0, 0, 0, 1}, {}, 0, {1, 1, 1}, 0}; }, kMember);
  DefineNative(poseable, L"SetBoneTransformByName",
               {In<FName>(L"BoneName"), In<FTransform>(L"InTransform"), In<std::uint8_t>(L"BoneSpace")}, {}, kMember);
  DefineNative(ClassNamed(L"CapsuleComponent"), L"GetScaledCapsuleHalfHeight", {Ret<float>()},
               [](Call& c) { c.Ret<float>() = 88.0f; }, kMember);

  UClass* movement = ClassNamed(L"CharacterMovementComponent");
  DefineNative(movement, L"DisableMovement", {}, {}, kMember);
  DefineNative(movement, L"SetMovementMode", {In<std::uint8_t>(L"NewMovementMode"), In<std::uint8_t>(L"NewCustomMode")}, {},
               kMember);

  UClass* character = ClassNamed(L"Character");
  DefineNative(character, L"GetCurrentMontage", {Ret<O>()}, {}, kMember);
  DefineNative(character, L"PlayAnimMontage",
               {In<O>(L"AnimMontage"), In<float>(L"InPlayRate"), In<FName>(L"StartSectionName"), Ret<float>()},
               [](Call& c) { c.Ret<float>() = c.Arg<O>(0) ? 1.5f / (c.Arg<float>(1) > 0 ? c.Arg<float>(1) : 1.0f) : 0.0f; },
               kMember);

  DefineNative(ClassNamed(L"PlayerCameraManager"), L"GetCameraLocation", {Ret<FVector>()},
               [](Call& c) {
                 FVector at = StateOf(c.self).location;
                 c.Ret<FVector>() = FVector{at.x, at.y, at.z + 60.0f};
               },
               kMember);
  UClass* controller = ClassNamed(L"PlayerController");
  DefineNative(controller, L"GetViewportSize", {Out<std::int32_t>(L"SizeX"), Out<std::int32_t>(L"SizeY")},
               [](Call& c) {
                 c.Arg<std::int32_t>(0) = 1280;
                 c.Arg<std::int32_t>(1) = 720;
               },
               kMember);
  DefineNative(controller, L"ProjectWorldLocationToScreen",
               {In<FVector>(L"WorldLocation"), Out<FVector2D>(L"ScreenLocation"), In<bool>(L"bPlayerViewportRelative"),
                Ret<bool>()},
               [](Call& c) {
                 FVector at = c.Arg<FVector>(0);
                 c.Arg<FVector2D>(1) = FVector2D{640.0f + at.y * 0.1f, 360.0f - at.z * 0.1f};
                 c.Ret<bool>() = at.x > 0;
               },
               kMember);

  // The function libraries: called on their default objects.
  UClass* statics = ClassNamed(L"GameplayStatics");
  DefineNative(statics, L"BeginDeferredActorSpawnFromClass",
               {In<O>(L"WorldContextObject"), In<C>(L"ActorClass"), In<FTransform>(L"SpawnTransform"),
                In<std::uint8_t>(L"CollisionHandlingOverride"), In<O>(L"Owner"), Ret<O>()},
               [](Call& c) { c.Ret<O>() = SpawnDeferred(c.Arg<C>(1), c.Arg<FTransform>(2)); }, kLibrary);
  DefineNative(statics, L"FinishSpawningActor", {In<O>(L"Actor"), In<FTransform>(L"SpawnTransform"), Ret<O>()},
               [](Call& c) { c.Ret<O>() = FinishSpawn(c.Arg<O>(0), c.Arg<FTransform>(1)); }, kLibrary);
  DefineNative(statics, L"GetRealTimeSeconds", {In<O>(L"WorldContextObject"), Ret<float>()},
               [](Call& c) {
                 UWorld* world = WorldOf(c.Arg<O>(0));
                 c.Ret<float>() = world ? static_cast<float>(WorldStateOf(world).realTime) : 0.0f;
               },
               kLibrary);
  DefineNative(statics, L"IsGamePaused", {In<O>(L"WorldContextObject"), Ret<bool>()},
               [](Call& c) {
                 UWorld* world = WorldOf(c.Arg<O>(0));
                 c.Ret<bool>() = world && WorldStateOf(world).paused;
               },
               kLibrary);
  DefineNative(statics, L"SetGamePaused", {In<O>(L"WorldContextObject"), In<bool>(L"bPaused"), Ret<bool>()},
               [](Call& c) {
                 UWorld* world = WorldOf(c.Arg<O>(0));
                 if (!world) return;
                 WorldStateOf(world).paused = c.Arg<bool>(1);
                 c.Ret<bool>() = true;
               },
               kLibrary);
  UClass* system = ClassNamed(L"KismetSystemLibrary");
  DefineNative(system, L"Conv_SoftObjectReferenceToObject", {In<FSoftObjectPtr>(L"SoftObject"), Ret<O>()},
               [](Call& c) { c.Ret<O>() = FindByPath(SoftPath(c.Arg<FSoftObjectPtr>(0))); }, kLibrary);
  DefineNative(system, L"LoadAsset_Blocking", {In<FSoftObjectPtr>(L"Asset"), Ret<O>()},
               [](Call& c) {
                 const FSoftObjectPtr& ref = c.Arg<FSoftObjectPtr>(0);
                 std::wstring path = SoftPath(ref);
                 if (path.empty()) return;
                 UObject* found = FindByPath(path);
                 if (!found) {
                   auto it = Model().loadableAssets.find(NameText(ref.assetPathName));
                   if (it != Model().loadableAssets.end()) {
                     it->second();
                     found = FindByPath(path);
                   }
                 }
                 c.Ret<O>() = found;
               },
               kLibrary);
  DefineNative(ClassNamed(L"KismetStringLibrary"), L"Conv_StringToName", {In<FString>(L"InString"), Ret<FName>()},
               [](Call& c) { c.Ret<FName>() = MakeName(StringOf(c.Arg<FString>(0))); }, kLibrary);

  DefineNative(ClassNamed(L"AudioDevice"), L"PumpAudio", {},
               [](Call&) { Model().workerCalls.fetch_add(1, std::memory_order_relaxed); });
}

// The game's own classes: the player character and its Blueprint, which can
// be unloaded and loaded again.
UClass* LoadPlayerCharacterClasses() {
  UClass* native = Define(cls::kPlayerCharacter, L"Character", 0x900, 0, L"/Script/Brackenhold");
  UObject* package = Package(L"/Game/Characters/Player/FS_PlayerChar");
  UClass* blueprint = DefineClass({cls::kPlayerCharacterBlueprint, native, package, 0x980, 0, true});
  DefineScript(blueprint, L"ReceiveTick", {In<float>(L"DeltaSeconds")},
               {CallParent([](ScriptFrame& f, std::uint8_t* p) { std::memcpy(p, f.locals, sizeof(float)); }),
                Code([](ScriptFrame&) { Model().tickBodies.fetch_add(1, std::memory_order_relaxed); }),
                CallEvent(L"GetCurrentMontage")},
               0, kFuncEvent | kFuncBlueprintEvent);
  return native;
}

// Props that tick every frame: each tick calls a native through ProcessEvent
// and another script function directly.
void DefineProps() {
  UObject* package = Package(L"/Game/Props/BP_Lantern");
  UClass* lantern = DefineClass({L"BP_Lantern_C", ClassNamed(L"Actor"), package, 0x260, 0, true});
  constexpr std::uint32_t kGlow = 0x240;  // a float field of the lantern
  DefineScript(lantern, L"UpdateGlow", {In<float>(L"DeltaSeconds")},
               {Code([](ScriptFrame& f) {
                 float& glow = FieldAt<float>(f.self, kGlow);
                 glow = std::fmod(glow + f.Local<float>(0), 1.0f);
               })});
  DefineScript(lantern, L"ReceiveTick", {In<float>(L"DeltaSeconds")},
               {Code([](ScriptFrame&) { Model().tickBodies.fetch_add(1, std::memory_order_relaxed); }),
                CallEvent(L"K2_GetActorLocation"),
                CallScript(L"UpdateGlow", [](ScriptFrame& f, std::uint8_t* p) { std::memcpy(p, f.locals, sizeof(float)); })},
               16, kFuncEvent | kFuncBlueprintEvent);
}

// An enemy whose class loads late. TryApplyDamage(Damage) returns half the
// damage; the tick calls it with 10.
UClass* LoadLateWardenClass() {
  UObject* package = Package(L"/Game/Enemies/BP_LateWarden");
  UClass* warden = DefineClass({cls::kLateWarden, ClassNamed(L"Actor"), package, 0x280, 0, true});
  DefineScript(warden, L"TryApplyDamage", {In<float>(L"Damage"), Ret<float>()},
               {Code([](ScriptFrame& f) { f.Local<float>(4) = f.Local<float>(0) * 0.5f; })});
  DefineScript(warden, L"ReceiveTick", {In<float>(L"DeltaSeconds")},
               {CallScript(L"TryApplyDamage", [](ScriptFrame&, std::uint8_t* p) {
                 float damage = 10.0f;
                 std::memcpy(p, &damage, sizeof damage);
               })},
               16, kFuncEvent | kFuncBlueprintEvent);
  return warden;
}

// Half of the first 32 script functions get a second ProcessInternal, so that
// no address has a majority among them. Extra script functions make sure
// there are 32.
void SplitFuncVote() {
  UClass* probe = DefineClass({L"BP_VoteProbe_C", ClassNamed(L"Object"), Package(L"/Game/Debug/BP_VoteProbe"), 0x30, 0, true});
  for (int i = 0; i < 32; ++i) DefineScript(probe, L"Probe_" + std::to_wstring(i), {}, {});
  auto second = reinterpret_cast<NativeEntry>(ImageBase() + rva::kSplitVoteProcessInternal);
  FChunkedFixedUObjectArray& a = ObjectArray();
  int seen = 0;
  for (std::int32_t i = 0; i < a.numElements && seen < 32; ++i) {
    UObject* o = ItemAt(i)->object;
    if (!o || o->cls != detail::Core().function) continue;
    auto* fn = static_cast<UFunction*>(o);
    if ((fn->functionFlags & kFuncNative) || !fn->func) continue;
    if (seen++ % 2) fn->func = second;
  }
}

// ---------------------------------------------------------------- [SECTION] The world chain

UWorld* NewWorld(const std::wstring& mapName) {
  UObject* package = Package(L"/Game/Maps/" + mapName);
  auto* world = static_cast<UWorld*>(NewObject(ClassNamed(L"World"), package, mapName));
  WorldStateOf(world);
  world->gameInstance = Model().gameInstance;
  return world;
}

void BuildWorldChain(const BootOptions& options) {
  WorldModel& m = Model();
  UObject* transient = Package(L"/Engine/Transient");
  m.engine = static_cast<UEngine*>(NewObject(ClassNamed(L"GameEngine"), transient, L""));
  m.gameInstance = static_cast<UGameInstance*>(NewObject(ClassNamed(L"GameInstance"), m.engine, L""));
  m.viewport = static_cast<UGameViewportClient*>(NewObject(ClassNamed(L"GameViewportClient"), m.engine, L""));
  UWorld* world = NewWorld(L"Brackenhold_Hold");
  m.viewport->world = world;
  if (options.viewport) m.engine->gameViewport = m.viewport;
  detail::PublishWorldPointer(world);

  m.localPlayer = static_cast<ULocalPlayer*>(NewObject(ClassNamed(L"LocalPlayer"), m.engine, L""));
  m.gameInstance->localPlayers.data = static_cast<ULocalPlayer**>(detail::EngineAlloc(sizeof(ULocalPlayer*) * 4));
  m.gameInstance->localPlayers.data[0] = m.localPlayer;
  m.gameInstance->localPlayers.count = 1;
  m.gameInstance->localPlayers.max = 4;

  m.controller = static_cast<APlayerController*>(SpawnActor(ClassNamed(L"PlayerController"), {}, {}));
  m.localPlayer->playerController = m.controller;
  SpawnActor(ClassNamed(L"PlayerCameraManager"), {0, 0, 160}, {});
  SpawnPlayerCharacter();

  m.audioDevice = NewObject(ClassNamed(L"AudioDevice"), transient, L"");
  m.pumpAudio = FunctionNamed(m.audioDevice->cls, L"PumpAudio");
}

void AddFillers(std::int32_t total) {
  const wchar_t* classes[] = {L"Texture2D", L"Material", L"SoundWave", L"AnimSequence", L"StaticMesh"};
  UClass* fillerClasses[5];
  for (int i = 0; i < 5; ++i) fillerClasses[i] = ClassNamed(classes[i]);
  UObject* packages[64];
  for (int i = 0; i < 64; ++i) packages[i] = Package(L"/Game/Content/Pack_" + std::to_wstring(i));
  for (std::int32_t n = 0; LiveObjectCount() < total; ++n)
    NewObject(fillerClasses[n % 5], packages[n % 64], L"", {.findable = false});
}

}  // namespace

detail::CoreClasses& detail::Core() {
  static CoreClasses core;
  return core;
}

// ---------------------------------------------------------------- [SECTION] Actors

UObject* SpawnActor(UClass* cls, FVector location, FRotator rotation) {
  double cp = std::cos(rotation.pitch * kDegToRad / 2), sp = std::sin(rotation.pitch * kDegToRad / 2);
  double cy = std::cos(rotation.yaw * kDegToRad / 2), sy = std::sin(rotation.yaw * kDegToRad / 2);
  double cr = std::cos(rotation.roll * kDegToRad / 2), sr = std::sin(rotation.roll * kDegToRad / 2);
  FTransform t{};
  t.rotation = FQuat{static_cast<float>(cr * sp * sy - sr * cp * cy), static_cast<float>(-cr * sp * cy - sr * cp * sy),
                     static_cast<float>(cr * cp * sy - sr * sp * cy), static_cast<float>(cr * cp * cy + sr * sp * sy)};
  t.translation = location;
  t.scale = FVector{1, 1, 1};
  UObject* actor = SpawnDeferred(cls, t);
  if (!FinishSpawn(actor, t)) return nullptr;
  StateOf(actor).rotation = rotation;  // as asked, not the round trip through the quaternion
  return actor;
}

UObject* SpawnPlayerCharacter() {
  WorldModel& m = Model();
  UClass* cls = LoadClass(cls::kPlayerCharacter) ? ClassNamed(cls::kPlayerCharacterBlueprint) : nullptr;
  UObject* character = SpawnActor(cls, {120, -40, 92}, {0, 90, 0});
  if (m.controller) m.controller->character = character;
  return character;
}

FVector ActorLocation(const UObject* actor) { return StateOf(actor).location; }
FRotator ActorRotation(const UObject* actor) { return StateOf(actor).rotation; }
UObject* RootComponent(const UObject* actor) { return StateOf(actor).root; }
std::vector<UObject*> Components(const UObject* actor) { return StateOf(actor).components; }
UObject* AddComponent(UObject* actor, UClass* cls, const std::wstring& name) { return NewComponent(cls, actor, name); }
bool ActorFinished(const UObject* actor) { return StateOf(actor).finished; }

void DestroyActor(UObject* actor) {
  if (!actor) return;
  for (UObject* component : StateOf(actor).components) MarkPendingKill(component);
  MarkPendingKill(actor);
}

void RegisterLoadableAsset(const std::wstring& path, std::function<UObject*()> load) {
  Model().loadableAssets[path] = std::move(load);
}

// ---------------------------------------------------------------- [SECTION] The world chain (public)

WorldView World() {
  WorldModel& m = Model();
  WorldView v;
  v.engine = m.engine;
  if (!m.engine) return v;
  v.viewport = m.engine->gameViewport;
  v.world = CurrentWorld();
  v.gameInstance = m.gameInstance;
  v.localPlayer = m.localPlayer;
  v.controller = m.controller;
  v.character = m.controller ? m.controller->character : nullptr;
  return v;
}

void SetViewport(bool present) {
  WorldModel& m = Model();
  if (m.engine) m.engine->gameViewport = present ? m.viewport : nullptr;
}

void SetFallbackWorld(UWorld* world) { detail::PublishWorldPointer(world); }
UWorld* FallbackWorld() { return Booted() && ObjectArray().chunks ? *AtRva<UWorld*>(rva::kWorldPointer) : nullptr; }

UWorld* ChangeLevel(const std::wstring& mapName) {
  WorldModel& m = Model();
  UWorld* world = NewWorld(mapName);
  m.viewport->world = world;
  detail::PublishWorldPointer(world);
  return world;
}

// ---------------------------------------------------------------- [SECTION] Frames and the clock

void SetRealTimeSeconds(double seconds) {
  if (UWorld* world = CurrentWorld()) WorldStateOf(world).realTime = seconds;
}
double RealTimeSeconds() {
  UWorld* world = CurrentWorld();
  return world ? WorldStateOf(world).realTime : 0.0;
}
bool GamePaused() {
  UWorld* world = CurrentWorld();
  return world && WorldStateOf(world).paused;
}

void RunFrame(double realSeconds) {
  WorldModel& m = Model();
  ++m.frames;
  if (UWorld* world = CurrentWorld()) WorldStateOf(world).realTime += realSeconds;
  float delta = static_cast<float>(realSeconds);
  // A copy: ticks may spawn or destroy actors.
  std::vector<UObject*> actors = m.actors;
  for (UObject* actor : actors) {
    FUObjectItem* item = ItemAt(actor->index);
    if (!item || item->object != actor || (item->flags & kItemPendingKill)) continue;
    detail::ActorState& state = StateOf(actor);
    if (!state.tickEnabled || !state.finished) continue;
    UFunction* tick = FunctionNamed(actor->cls, L"ReceiveTick");
    if (!tick || (!tick->super && detail::Info(tick).script.empty())) continue;  // no Blueprint tick
    std::uint8_t params[16] = {};
    std::memcpy(params, &delta, sizeof delta);
    ProcessEvent(actor, tick, params);
  }
  for (auto& extension : m.frameExtensions) extension();
}

std::uint64_t FrameCount() { return Model().frames; }
void AddFrameExtension(std::function<void()> extension) { Model().frameExtensions.push_back(std::move(extension)); }
std::uint64_t TickBodiesRun() { return Model().tickBodies.load(); }

void StartWorkerThread() {
  WorldModel& m = Model();
  if (m.worker || !m.audioDevice) return;
  m.workerStop = false;
  m.worker = CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        WorldModel& w = Model();
        while (!w.workerStop.load()) {
          ProcessEvent(w.audioDevice, w.pumpAudio, nullptr);
          Sleep(1);
        }
        return 0;
      },
      nullptr, 0, &m.workerId);
}

void StopWorkerThread() {
  WorldModel& m = Model();
  if (!m.worker) return;
  m.workerStop = true;
  WaitForSingleObject(m.worker, INFINITE);
  CloseHandle(m.worker);
  m.worker = nullptr;
  m.workerId = 0;
}

std::uint64_t WorkerCalls() { return Model().workerCalls.load(); }
std::uint32_t WorkerThreadId() { return Model().workerId; }

// ---------------------------------------------------------------- [SECTION] Boot

void detail::BuildWorld(const BootOptions& options) {
  SetFreeListener(&OnFree);
  DefineCoreClasses();
  DefineEngineClasses();
  DefineReloadableClass(cls::kPlayerCharacter, &LoadPlayerCharacterClasses);
  DefineProps();
  BuildWorldChain(options);
  for (int i = 0; i < 24; ++i)
    SpawnActor(ClassNamed(L"BP_Lantern_C"), {400.0f + 50 * i, 300, 0}, {0, 15.0f * i, 0});
  RegisterLoadableAsset(kOnDemandAsset, [] {
    return NewObject(ClassNamed(L"StaticMesh"), Package(L"/Game/Props/SM_Crate"), L"SM_Crate");
  });
  RegisterReloadableClass(cls::kLateWarden, &LoadLateWardenClass);
  if (options.lateClassSeconds >= 0) {
    AddFrameExtension([at = options.lateClassSeconds, loaded = false]() mutable {
      if (loaded || RealTimeSeconds() < at) return;
      loaded = true;
      SpawnActor(LoadClass(cls::kLateWarden), {900, -300, 0}, {});
    });
  }
  if (options.splitFuncVote) SplitFuncVote();
  AddFillers(options.objectCount);
}

void SetActiveSaveSlot(std::int32_t slot) { g_activeSaveSlot.store(slot); }

}  // namespace standin
