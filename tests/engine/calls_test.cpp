// The engine call wrappers against the stand-in's own declarations of the
// same functions: every wrapper's block as the engine reads it, its result,
// the function's flag word, and the lookups.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "engine/calls.h"
#include "engine/objects.h"
#include "standin_support.h"

using namespace bh::engine;
using fwtest::E;

namespace {

class Calls : public ::testing::Test {
 protected:
  void SetUp() override {
    fwtest::BootStandin();
    standin::SetCallRecording(true);
  }
};

standin::UClass* C(const wchar_t* name) { return standin::ClassNamed(name); }
EngineName N(standin::FName n) { return EngineName{n.index, n.number}; }
standin::FName S(EngineName n) { return standin::FName{n.index, n.number}; }
template <typename T>
T* As(Object* o) {
  return reinterpret_cast<T*>(o);
}
float HitTime(const HitResult& hit) {
  float t;
  std::memcpy(&t, hit.bytes + 4, sizeof t);
  return t;
}

}  // namespace

TEST_F(Calls, EveryWrapperLaysOutItsBlockAsTheEngineDeclaresIt) {
  standin::WorldView w = standin::World();
  standin::UObject* actor = fwtest::Lantern(0);
  standin::UObject* scene = standin::RootComponent(actor);
  std::vector<standin::UObject*> parts = standin::Components(w.character);  // capsule, mesh, movement
  standin::UObject* capsule = parts[0];
  standin::UObject* mesh = parts[1];
  standin::UObject* movement = parts[2];
  standin::UObject* staticMesh = standin::AddComponent(actor, C(L"StaticMeshComponent"), L"Crate");
  standin::UObject* poseable = standin::AddComponent(actor, C(L"PoseableMeshComponent"), L"Pose");
  standin::UObject* camera = standin::FindByPath(L"/Game/Maps/Brackenhold_Hold.Brackenhold_Hold:PlayerCameraManager_0");
  standin::UObject* montage = standin::NewObject(C(L"AnimMontage"), standin::Package(L"/Game/Anims"), L"AM_Swing");
  standin::UObject* material = standin::NewObject(C(L"Material"), standin::Package(L"/Game/Mats"), L"M_Glow");
  standin::FName hand = standin::MakeName(L"hand_r");
  ASSERT_NE(camera, nullptr);

  Transform transform;
  transform.rotation = Quat{0.1f, 0.2f, 0.3f, 0.9f};
  transform.translation = Vector{7, 8, 9};
  transform.scale = Vector{2, 2, 2};
  auto sameTransform = [](const standin::FTransform& t) {
    return t.rotation.y == 0.2f && t.translation.z == 9 && t.scale.x == 2;
  };

  using Record = standin::CallRecord;
  using Fn = standin::UFunction;
  struct Row {
    const wchar_t* cls;
    const wchar_t* function;
    standin::UObject* target;            // null: the library's default object
    std::function<void()> call;          // through the wrapper, checking its result
    std::function<void(const Record&, const Fn*)> seen;  // the block as the engine read it
  };
  const Row rows[] = {
      {L"Actor", L"AddComponentByClass", actor,
       [&] { EXPECT_TRUE(IsA(Actor::AddComponentByClass(E(actor), E(C(L"SceneComponent")), true, transform, true), E(C(L"SceneComponent")))); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::UClass*>(f, 0), C(L"SceneComponent"));
         EXPECT_TRUE(r.Arg<bool>(f, 1));
         EXPECT_TRUE(sameTransform(r.Arg<standin::FTransform>(f, 2)));
         EXPECT_TRUE(r.Arg<bool>(f, 3));
       }},
      {L"Actor", L"K2_GetActorLocation", actor,
       [&] { EXPECT_EQ(Actor::K2_GetActorLocation(E(actor)).x, standin::ActorLocation(actor).x); }, {}},
      {L"Actor", L"K2_GetActorRotation", actor,
       [&] { EXPECT_EQ(Actor::K2_GetActorRotation(E(actor)).yaw, standin::ActorRotation(actor).yaw); }, {}},
      {L"Actor", L"K2_GetComponentsByClass", actor,
       [&] {
         EngineArray<Object*> found = Actor::K2_GetComponentsByClass(E(actor), E(C(L"StaticMeshComponent")));
         ASSERT_EQ(found.count, 1);
         EXPECT_EQ(found.data[0], E(staticMesh));
       },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<standin::UClass*>(f, 0), C(L"StaticMeshComponent")); }},
      {L"Actor", L"K2_GetRootComponent", actor, [&] { EXPECT_EQ(Actor::K2_GetRootComponent(E(actor)), E(scene)); }, {}},
      {L"Actor", L"K2_SetActorLocationAndRotation", actor,
       [&] {
         HitResult hit;
         EXPECT_TRUE(Actor::K2_SetActorLocationAndRotation(E(actor), {1, 2, 3}, {4, 5, 6}, true, &hit, true));
         EXPECT_EQ(HitTime(hit), 1.0f);
         EXPECT_EQ(standin::ActorRotation(actor).roll, 6);
         EXPECT_TRUE(Actor::K2_SetActorLocationAndRotation(E(actor), {1, 2, 3}, {4, 5, 6}, true, nullptr, true));
       },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::FVector>(f, 0).z, 3);
         EXPECT_EQ(r.Arg<standin::FRotator>(f, 1).pitch, 4);
         EXPECT_TRUE(r.Arg<bool>(f, 2));
         EXPECT_TRUE(r.Arg<bool>(f, 4));
       }},
      {L"Actor", L"K2_TeleportTo", actor,
       [&] {
         EXPECT_TRUE(Actor::K2_TeleportTo(E(actor), {11, 12, 13}, {0, 45, 0}));
         EXPECT_EQ(standin::ActorLocation(actor).y, 12);
         EXPECT_EQ(standin::ActorRotation(actor).yaw, 45);
       },
       {}},
      {L"Actor", L"SetActorEnableCollision", actor, [&] { Actor::SetActorEnableCollision(E(actor), true); },
       [&](const Record& r, const Fn* f) { EXPECT_TRUE(r.Arg<bool>(f, 0)); }},
      {L"Actor", L"SetActorTickEnabled", actor, [&] { Actor::SetActorTickEnabled(E(actor), true); },
       [&](const Record& r, const Fn* f) { EXPECT_TRUE(r.Arg<bool>(f, 0)); }},
      {L"ActorComponent", L"SetComponentTickEnabled", scene, [&] { ActorComponent::SetComponentTickEnabled(E(scene), true); },
       [&](const Record& r, const Fn* f) { EXPECT_TRUE(r.Arg<bool>(f, 0)); }},
      {L"SceneComponent", L"K2_AttachToComponent", staticMesh,
       [&] { EXPECT_TRUE(SceneComponent::K2_AttachToComponent(E(staticMesh), E(scene), N(hand), 1, 2, 3, true)); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), scene);
         EXPECT_EQ(r.Arg<standin::FName>(f, 1), hand);
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 2), 1);
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 3), 2);
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 4), 3);
         EXPECT_TRUE(r.Arg<bool>(f, 5));
       }},
      {L"SceneComponent", L"GetAttachSocketName", staticMesh,
       [&] { EXPECT_EQ(S(SceneComponent::GetAttachSocketName(E(staticMesh))), hand); }, {}},
      {L"SceneComponent", L"GetNumChildrenComponents", scene,
       [&] { EXPECT_EQ(SceneComponent::GetNumChildrenComponents(E(scene)), 1); }, {}},
      {L"SceneComponent", L"GetChildComponent", scene,
       [&] {
         EXPECT_EQ(SceneComponent::GetChildComponent(E(scene), 0), E(staticMesh));
         EXPECT_EQ(SceneComponent::GetChildComponent(E(scene), 1), nullptr);
       },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<std::int32_t>(f, 0), 1); }},
      {L"SceneComponent", L"K2_SetRelativeLocationAndRotation", staticMesh,
       [&] {
         HitResult hit;
         SceneComponent::K2_SetRelativeLocationAndRotation(E(staticMesh), {5, 6, 7}, {1, 2, 3}, true, &hit, false);
         EXPECT_EQ(HitTime(hit), 1.0f);
         EXPECT_EQ(standin::ActorLocation(staticMesh).z, 7);
       },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::FRotator>(f, 1).roll, 3);
         EXPECT_FALSE(r.Arg<bool>(f, 4));
       }},
      {L"SceneComponent", L"SetHiddenInGame", scene, [&] { SceneComponent::SetHiddenInGame(E(scene), false, true); },
       [&](const Record& r, const Fn* f) {
         EXPECT_FALSE(r.Arg<bool>(f, 0));
         EXPECT_TRUE(r.Arg<bool>(f, 1));
       }},
      {L"SceneComponent", L"SetMobility", scene, [&] { SceneComponent::SetMobility(E(scene), 2); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<std::uint8_t>(f, 0), 2); }},
      {L"SceneComponent", L"SetRelativeScale3D", scene,
       [&] { SceneComponent::SetRelativeScale3D(E(scene), {1.5f, 2.5f, 3.5f}); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<standin::FVector>(f, 0).z, 3.5f); }},
      {L"SceneComponent", L"SetVisibility", scene, [&] { SceneComponent::SetVisibility(E(scene), true, false); },
       [&](const Record& r, const Fn* f) {
         EXPECT_TRUE(r.Arg<bool>(f, 0));
         EXPECT_FALSE(r.Arg<bool>(f, 1));
       }},
      {L"PrimitiveComponent", L"GetMaterial", capsule,
       [&] { EXPECT_EQ(PrimitiveComponent::GetMaterial(E(capsule), 3), E(material)); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<std::int32_t>(f, 0), 3); }},
      {L"PrimitiveComponent", L"GetNumMaterials", capsule,
       [&] { EXPECT_EQ(PrimitiveComponent::GetNumMaterials(E(capsule)), 7); }, {}},
      {L"PrimitiveComponent", L"SetCollisionEnabled", capsule, [&] { PrimitiveComponent::SetCollisionEnabled(E(capsule), 3); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<std::uint8_t>(f, 0), 3); }},
      {L"PrimitiveComponent", L"SetGenerateOverlapEvents", capsule,
       [&] { PrimitiveComponent::SetGenerateOverlapEvents(E(capsule), true); },
       [&](const Record& r, const Fn* f) { EXPECT_TRUE(r.Arg<bool>(f, 0)); }},
      {L"PrimitiveComponent", L"SetMaterial", capsule, [&] { PrimitiveComponent::SetMaterial(E(capsule), 2, E(material)); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<std::int32_t>(f, 0), 2);
         EXPECT_EQ(r.Arg<standin::UObject*>(f, 1), material);
       }},
      {L"PrimitiveComponent", L"SetReceivesDecals", capsule, [&] { PrimitiveComponent::SetReceivesDecals(E(capsule), true); },
       [&](const Record& r, const Fn* f) { EXPECT_TRUE(r.Arg<bool>(f, 0)); }},
      {L"PrimitiveComponent", L"SetRenderCustomDepth", capsule,
       [&] { PrimitiveComponent::SetRenderCustomDepth(E(capsule), true); },
       [&](const Record& r, const Fn* f) { EXPECT_TRUE(r.Arg<bool>(f, 0)); }},
      {L"PrimitiveComponent", L"SetSimulatePhysics", capsule, [&] { PrimitiveComponent::SetSimulatePhysics(E(capsule), true); },
       [&](const Record& r, const Fn* f) { EXPECT_TRUE(r.Arg<bool>(f, 0)); }},
      {L"SkinnedMeshComponent", L"GetBoneIndex", mesh,
       [&] { EXPECT_EQ(SkinnedMeshComponent::GetBoneIndex(E(mesh), N(hand)), 5); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<standin::FName>(f, 0), hand); }},
      {L"SkinnedMeshComponent", L"GetBoneName", mesh,
       [&] { EXPECT_EQ(S(SkinnedMeshComponent::GetBoneName(E(mesh), 9)), hand); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<std::int32_t>(f, 0), 9); }},
      {L"SkinnedMeshComponent", L"HideBoneByName", mesh, [&] { SkinnedMeshComponent::HideBoneByName(E(mesh), N(hand), 1); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::FName>(f, 0), hand);
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 1), 1);
       }},
      {L"SkinnedMeshComponent", L"UnHideBoneByName", mesh, [&] { SkinnedMeshComponent::UnHideBoneByName(E(mesh), N(hand)); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<standin::FName>(f, 0), hand); }},
      {L"SkinnedMeshComponent", L"SetForcedLOD", mesh, [&] { SkinnedMeshComponent::SetForcedLOD(E(mesh), 2); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<std::int32_t>(f, 0), 2); }},
      {L"SkinnedMeshComponent", L"SetSkeletalMesh", mesh, [&] { SkinnedMeshComponent::SetSkeletalMesh(E(mesh), E(material), true); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), material);
         EXPECT_TRUE(r.Arg<bool>(f, 1));
       }},
      {L"SkeletalMeshComponent", L"PlayAnimation", mesh, [&] { SkeletalMeshComponent::PlayAnimation(E(mesh), E(montage), true); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), montage);
         EXPECT_TRUE(r.Arg<bool>(f, 1));
       }},
      {L"SkeletalMeshComponent", L"SetAnimationMode", mesh, [&] { SkeletalMeshComponent::SetAnimationMode(E(mesh), 1); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<std::uint8_t>(f, 0), 1); }},
      {L"SkeletalMeshComponent", L"SetPlayRate", mesh, [&] { SkeletalMeshComponent::SetPlayRate(E(mesh), 1.25f); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<float>(f, 0), 1.25f); }},
      {L"StaticMeshComponent", L"SetStaticMesh", staticMesh,
       [&] { EXPECT_TRUE(StaticMeshComponent::SetStaticMesh(E(staticMesh), E(material))); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), material); }},
      {L"PoseableMeshComponent", L"CopyPoseFromSkeletalComponent", poseable,
       [&] { PoseableMeshComponent::CopyPoseFromSkeletalComponent(E(poseable), E(mesh)); },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), mesh); }},
      {L"PoseableMeshComponent", L"GetBoneTransformByName", poseable,
       [&] {
         Transform t = PoseableMeshComponent::GetBoneTransformByName(E(poseable), N(hand), 1);
         EXPECT_EQ(t.rotation.w, 1);
         EXPECT_EQ(t.scale.y, 1);
       },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::FName>(f, 0), hand);
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 1), 1);
       }},
      {L"PoseableMeshComponent", L"SetBoneTransformByName", poseable,
       [&] { PoseableMeshComponent::SetBoneTransformByName(E(poseable), N(hand), transform, 2); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::FName>(f, 0), hand);
         EXPECT_TRUE(sameTransform(r.Arg<standin::FTransform>(f, 1)));
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 2), 2);
       }},
      {L"CapsuleComponent", L"GetScaledCapsuleHalfHeight", capsule,
       [&] { EXPECT_EQ(CapsuleComponent::GetScaledCapsuleHalfHeight(E(capsule)), 88.0f); }, {}},
      {L"CharacterMovementComponent", L"DisableMovement", movement,
       [&] { CharacterMovementComponent::DisableMovement(E(movement)); }, {}},
      {L"CharacterMovementComponent", L"SetMovementMode", movement,
       [&] { CharacterMovementComponent::SetMovementMode(E(movement), 3, 9); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 0), 3);
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 1), 9);
       }},
      {L"Character", L"GetCurrentMontage", w.character,
       [&] { EXPECT_EQ(Character::GetCurrentMontage(E(w.character)), E(montage)); }, {}},
      {L"Character", L"PlayAnimMontage", w.character,
       [&] { EXPECT_EQ(Character::PlayAnimMontage(E(w.character), E(montage), 2.0f, N(hand)), 0.75f); },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), montage);
         EXPECT_EQ(r.Arg<float>(f, 1), 2.0f);
         EXPECT_EQ(r.Arg<standin::FName>(f, 2), hand);
       }},
      {L"PlayerCameraManager", L"GetCameraLocation", camera,
       [&] { EXPECT_EQ(PlayerCameraManager::GetCameraLocation(E(camera)).z, standin::ActorLocation(camera).z + 60); }, {}},
      {L"PlayerController", L"GetViewportSize", w.controller,
       [&] {
         std::int32_t width = 0, height = 0;
         PlayerController::GetViewportSize(E(w.controller), &width, &height);
         EXPECT_EQ(width, 1280);
         EXPECT_EQ(height, 720);
         PlayerController::GetViewportSize(E(w.controller), nullptr, &height);
       },
       {}},
      {L"PlayerController", L"ProjectWorldLocationToScreen", w.controller,
       [&] {
         Vector2 screen;
         EXPECT_TRUE(PlayerController::ProjectWorldLocationToScreen(E(w.controller), {100, 200, 300}, &screen, true));
         EXPECT_EQ(screen.x, 660);
         EXPECT_EQ(screen.y, 330);
         EXPECT_TRUE(PlayerController::ProjectWorldLocationToScreen(E(w.controller), {100, 200, 300}, nullptr, true));
       },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::FVector>(f, 0).y, 200);
         EXPECT_TRUE(r.Arg<bool>(f, 2));
       }},
      {L"GameplayStatics", L"BeginDeferredActorSpawnFromClass", nullptr,
       [&] {
         Object* spawned = GameplayStatics::BeginDeferredActorSpawnFromClass(E(w.world), E(C(L"BP_Lantern_C")), transform, 2,
                                                                             E(w.character));
         ASSERT_NE(spawned, nullptr);
         EXPECT_FALSE(standin::ActorFinished(As<standin::UObject>(spawned)));
         EXPECT_EQ(GameplayStatics::FinishSpawningActor(spawned, transform), spawned);
         EXPECT_TRUE(standin::ActorFinished(As<standin::UObject>(spawned)));
         EXPECT_EQ(standin::ActorLocation(As<standin::UObject>(spawned)).y, 8);
       },
       [&](const Record& r, const Fn* f) {
         EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), w.world);
         EXPECT_EQ(r.Arg<standin::UClass*>(f, 1), C(L"BP_Lantern_C"));
         EXPECT_TRUE(sameTransform(r.Arg<standin::FTransform>(f, 2)));
         EXPECT_EQ(r.Arg<std::uint8_t>(f, 3), 2);
         EXPECT_EQ(r.Arg<standin::UObject*>(f, 4), w.character);
       }},
      {L"GameplayStatics", L"GetRealTimeSeconds", nullptr,
       [&] {
         standin::SetRealTimeSeconds(12.5);
         EXPECT_EQ(GameplayStatics::GetRealTimeSeconds(E(w.world)), 12.5f);
       },
       [&](const Record& r, const Fn* f) { EXPECT_EQ(r.Arg<standin::UObject*>(f, 0), w.world); }},
      {L"GameplayStatics", L"SetGamePaused", nullptr,
       [&] {
         EXPECT_TRUE(GameplayStatics::SetGamePaused(E(w.world), true));
         EXPECT_TRUE(standin::GamePaused());
         EXPECT_TRUE(GameplayStatics::IsGamePaused(E(w.world)));
         EXPECT_TRUE(GameplayStatics::SetGamePaused(E(w.world), false));
         EXPECT_FALSE(GameplayStatics::IsGamePaused(E(w.world)));
       },
       [&](const Record& r, const Fn* f) { EXPECT_FALSE(r.Arg<bool>(f, 1)); }},
      {L"KismetStringLibrary", L"Conv_StringToName", nullptr,
       [&] {
         char16_t text[] = u"hand_r";
         EXPECT_EQ(S(KismetStringLibrary::Conv_StringToName(EngineString{text, 7, 7})), hand);
       },
       {}},
      {L"KismetSystemLibrary", L"Conv_SoftObjectReferenceToObject", nullptr,
       [&] {
         SoftObjectRef ref;
         ref.assetPath = ToEngineName("/Game/Props/BP_Lantern.BP_Lantern_C");
         char16_t sub[] = u"UpdateGlow";
         ref.subPath = EngineString{sub, 11, 11};
         EXPECT_EQ(KismetSystemLibrary::Conv_SoftObjectReferenceToObject(ref),
                   E(standin::OwnFunction(C(L"BP_Lantern_C"), L"UpdateGlow")));
       },
       [&](const Record& r, const Fn* f) {
         auto ref = r.Arg<standin::FSoftObjectPtr>(f, 0);
         EXPECT_EQ(ref.tag, -1);
         EXPECT_EQ(ref.subPath.count, 11);
       }},
  };

  standin::SetCannedReturn(standin::OwnFunction(C(L"PrimitiveComponent"), L"GetMaterial"), material);
  standin::SetCannedReturn(standin::OwnFunction(C(L"PrimitiveComponent"), L"GetNumMaterials"), std::int32_t{7});
  standin::SetCannedReturn(standin::OwnFunction(C(L"SkinnedMeshComponent"), L"GetBoneIndex"), std::int32_t{5});
  standin::SetCannedReturn(standin::OwnFunction(C(L"SkinnedMeshComponent"), L"GetBoneName"), hand);
  standin::SetCannedReturn(standin::OwnFunction(C(L"Character"), L"GetCurrentMontage"), montage);

  for (const Row& row : rows) {
    SCOPED_TRACE(standin::Narrow(row.cls) + "::" + standin::Narrow(row.function));
    const standin::UFunction* fn = standin::OwnFunction(C(row.cls), row.function);
    ASSERT_NE(fn, nullptr);
    std::uint32_t flagsBefore = fn->functionFlags;
    row.call();
    auto record = standin::LastCall(fn);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->self, row.target ? row.target : C(row.cls)->defaultObject);
    EXPECT_TRUE(record->flagsDuringCall & standin::kFuncNative);
    EXPECT_EQ(fn->functionFlags, flagsBefore);
    if (row.seen) row.seen(*record, fn);
  }
  Actor::K2_DestroyComponent(E(actor), E(staticMesh));
  EXPECT_EQ(standin::LastCall(standin::OwnFunction(C(L"Actor"), L"K2_DestroyComponent"))->Arg<standin::UObject*>(
                standin::OwnFunction(C(L"Actor"), L"K2_DestroyComponent"), 0),
            staticMesh);
  Actor::K2_DestroyActor(E(actor));
  EXPECT_FALSE(IsValidObject(E(actor)));
}

TEST_F(Calls, FlagWordIsLeftAsItWasWithOrWithoutTheNativeBit) {
  standin::UObject* actor = fwtest::Lantern(1);
  auto* fn = const_cast<standin::UFunction*>(standin::OwnFunction(C(L"Actor"), L"K2_GetActorLocation"));
  for (std::uint32_t flags : {fn->functionFlags, fn->functionFlags & ~standin::kFuncNative}) {
    fn->functionFlags = flags;
    Actor::K2_GetActorLocation(E(actor));
    EXPECT_TRUE(standin::LastCall(fn)->flagsDuringCall & standin::kFuncNative);
    EXPECT_EQ(fn->functionFlags, flags);
  }
}

TEST_F(Calls, MemberLookupThroughASubclassServesOtherSubclasses) {
  standin::WorldView w = standin::World();
  const standin::UFunction* fn = standin::OwnFunction(C(L"Actor"), L"K2_GetActorLocation");
  Actor::K2_GetActorLocation(E(fwtest::Lantern(2)));  // BP_Lantern_C -> Actor
  EXPECT_EQ(standin::LastCall(fn)->self, fwtest::Lantern(2));
  Vector at = Actor::K2_GetActorLocation(E(w.character));  // FS_PlayerChar_C -> ... -> Actor
  EXPECT_EQ(standin::LastCall(fn)->self, w.character);
  EXPECT_EQ(at.x, standin::ActorLocation(w.character).x);
}

TEST_F(Calls, MissingFunctionGivesTheZeroResultWithoutACall) {
  std::uint64_t before = standin::ProcessEventCalls();
  // A lantern is no Character; a null target has no class.
  EXPECT_EQ(Character::PlayAnimMontage(E(fwtest::Lantern(3)), nullptr, 1.0f, {}), 0.0f);
  EXPECT_EQ(Actor::K2_GetActorLocation(nullptr).x, 0.0f);
  Transform t = PoseableMeshComponent::GetBoneTransformByName(E(fwtest::Lantern(3)), {}, 0);
  EXPECT_EQ(t.rotation.w, 1.0f);  // the identity, as a default transform
  std::int32_t width = -1;
  PlayerController::GetViewportSize(E(fwtest::Lantern(3)), &width, nullptr);
  EXPECT_EQ(width, 0);
  // A library class the engine lacks.
  standin::UnloadClass(L"GameplayStatics");
  EXPECT_EQ(GameplayStatics::GetRealTimeSeconds(E(standin::World().world)), 0.0f);
  EXPECT_EQ(standin::ProcessEventCalls(), before);
}
