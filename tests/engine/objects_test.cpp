// Object and function access against the stand-in engine.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/calls.h"
#include "engine/objects.h"
#include "standin_support.h"
#include "support/log_capture.h"

using namespace bh::engine;
using fwtest::E;

namespace {

class Objects : public ::testing::Test {
 protected:
  void SetUp() override { fwtest::BootStandin(); }
};

standin::UClass* StandinClass(const wchar_t* name) { return standin::ClassNamed(name); }

}  // namespace

TEST_F(Objects, ObjectTestRefusesDeadDestroyedAndForeignPointers) {
  standin::UObject* live = fwtest::Lantern(0);
  ASSERT_NE(live, nullptr);
  EXPECT_TRUE(IsValidObject(E(live)));

  struct Case {
    const char* what;
    std::function<standin::UObject*()> make;
  } cases[] = {
      {"item pending kill",
       [] {
         standin::UObject* o = fwtest::Lantern(1);
         standin::MarkPendingKill(o);
         return o;
       }},
      {"item unreachable",
       [] {
         standin::UObject* o = fwtest::Lantern(2);
         standin::ItemAt(o->index)->flags |= standin::kItemUnreachable;
         return o;
       }},
      {"begin destroyed",
       [] {
         standin::UObject* o = fwtest::Lantern(3);
         o->flags |= standin::kObjectBeginDestroyed;
         return o;
       }},
      {"finish destroyed",
       [] {
         standin::UObject* o = fwtest::Lantern(4);
         o->flags |= standin::kObjectFinishDestroyed;
         return o;
       }},
      {"index past the array",
       [] {
         auto* o = static_cast<standin::UObject*>(calloc(1, 0x100));
         o->index = standin::ObjectArray().numElements + 5;
         return o;
       }},
      {"negative index",
       [] {
         auto* o = static_cast<standin::UObject*>(calloc(1, 0x100));
         o->index = -3;
         return o;
       }},
      {"item points elsewhere (a copy of a live object)",
       [] {
         auto* o = static_cast<standin::UObject*>(calloc(1, 0x300));
         std::memcpy(o, fwtest::Lantern(5), 0x260);
         return o;
       }},
      {"unmapped address", [] { return reinterpret_cast<standin::UObject*>(0x10); }},
  };
  for (const Case& c : cases) EXPECT_FALSE(IsValidObject(E(c.make()))) << c.what;
  EXPECT_FALSE(IsValidObject(nullptr));
}

TEST_F(Objects, FreedObjectIsNotValidAndItsIndexIsReused) {
  standin::UObject* actor = standin::SpawnActor(StandinClass(L"BP_Lantern_C"), {1, 2, 3}, {});
  ASSERT_TRUE(IsValidObject(E(actor)));
  std::int32_t index = actor->index;
  standin::DestroyActor(actor);
  EXPECT_FALSE(IsValidObject(E(actor)));  // pending kill, memory still there
  standin::CollectGarbage();
  // Its pages are released: the test must fault inside and answer false.
  EXPECT_FALSE(IsValidObject(E(actor)));
  // Its index goes to the next object (components were freed after it, so
  // their indices come first).
  standin::UObject* a = standin::NewObject(StandinClass(L"Texture2D"), nullptr, L"T_A");
  standin::UObject* b = standin::NewObject(StandinClass(L"Texture2D"), nullptr, L"T_B");
  EXPECT_TRUE(a->index == index || b->index == index);
  EXPECT_EQ(ObjectAt(index), a->index == index ? E(a) : E(b));
}

TEST_F(Objects, ObjectAtAndWeakReferences) {
  standin::UObject* lantern = fwtest::Lantern(6);
  EXPECT_EQ(ObjectAt(lantern->index), E(lantern));
  EXPECT_EQ(Resolve({lantern->index, 12345}), E(lantern));  // the serial is not compared
  EXPECT_EQ(Resolve({0, 0}), nullptr);
  EXPECT_EQ(ObjectAt(-1), nullptr);
  EXPECT_EQ(ObjectAt(ObjectCount()), nullptr);
  standin::MarkPendingKill(lantern);
  EXPECT_EQ(ObjectAt(lantern->index), nullptr);
  EXPECT_EQ(ObjectCount(), standin::ObjectArray().numElements);
  EXPECT_GE(ObjectCount(), 100000);
}

TEST_F(Objects, NamesAndPaths) {
  standin::UObject* enginePackage = standin::Package(L"/Script/Engine");
  EXPECT_EQ(ObjectName(E(enginePackage)), "/Script/Engine");
  EXPECT_EQ(ShortName(E(enginePackage)), "Engine");
  EXPECT_EQ(ClassName(E(enginePackage)), "Package");

  standin::UClass* lantern = StandinClass(L"BP_Lantern_C");
  struct Case {
    standin::UObject* object;
    const char* path;
  } cases[] = {
      {enginePackage, "/Script/Engine"},
      {StandinClass(L"Actor"), "/Script/Engine.Actor"},
      {standin::OwnFunction(lantern, L"UpdateGlow"), "/Game/Props/BP_Lantern.BP_Lantern_C:UpdateGlow"},
      {fwtest::Lantern(7), "/Game/Maps/Brackenhold_Hold.Brackenhold_Hold:BP_Lantern_C_7"},
      {standin::RootComponent(fwtest::Lantern(7)),
       "/Game/Maps/Brackenhold_Hold.Brackenhold_Hold:BP_Lantern_C_7.DefaultSceneRoot"},
      {lantern->defaultObject, "/Game/Props/BP_Lantern.Default__BP_Lantern_C"},
  };
  for (const Case& c : cases) EXPECT_EQ(PathName(E(c.object)), c.path);

  EXPECT_EQ(ObjectName(nullptr), "None");
  EXPECT_EQ(ShortName(nullptr), "None");
  EXPECT_EQ(ClassName(nullptr), "None");
  EXPECT_EQ(PathName(nullptr), "None");
  EXPECT_EQ(ClassName(E(fwtest::Lantern(7))), "BP_Lantern_C");
}

TEST_F(Objects, NameTextsBeyondAsciiAndBeyondTheBuffer) {
  std::wstring unicode = L"Laterne_\u00C4\u6575\U0001F600";
  std::wstring lone = std::wstring(L"Half") + wchar_t(0xD83D) + L"Pair";
  std::wstring longName(1500, L'x');
  struct Case {
    std::wstring name;
    std::string text;
  } cases[] = {
      {unicode, "Laterne_\xC3\x84\xE6\x95\xB5\xF0\x9F\x98\x80"},
      {lone, std::string("Half\0Pair", 9)},
      {longName, std::string(1500, 'x')},  // the engine grows the text past the 1024-unit buffer
      {L"Mesh_12", "Mesh_12"},             // a number suffix comes back
  };
  for (const Case& c : cases) {
    standin::UObject* o = standin::NewObject(StandinClass(L"Texture2D"), standin::Package(L"/Game/Names"), c.name);
    EXPECT_EQ(ObjectName(E(o)), c.text);
  }
}

TEST_F(Objects, FindClassCachesHitsAndRetriesMisses) {
  ClassSlot slot;
  EXPECT_EQ(FindClass("Engine", slot), E(StandinClass(L"Engine")));  // the class, not the package /Script/Engine
  EXPECT_EQ(slot.value.load(), E(StandinClass(L"Engine")));
  ClassSlot lower;
  EXPECT_EQ(FindClass("engine", lower), nullptr);  // case-sensitive
  EXPECT_EQ(lower.value.load(), nullptr);

  standin::UnloadClass(L"FS_PlayerCharacter");
  ClassSlot player;
  EXPECT_EQ(FindClass("FS_PlayerChar_C", player), nullptr);
  EXPECT_EQ(player.value.load(), nullptr);
  standin::LoadClass(L"FS_PlayerCharacter");
  EXPECT_EQ(FindClass("FS_PlayerChar_C", player), E(StandinClass(L"FS_PlayerChar_C")));
}

TEST_F(Objects, FindAndLoadByPath) {
  fwtest::LogCapture log;
  standin::UClass* lantern = StandinClass(L"BP_Lantern_C");
  EXPECT_EQ(FindObject("/Script/Engine.Actor"), E(StandinClass(L"Actor")));
  EXPECT_EQ(FindObject("/Game/Props/BP_Lantern.BP_Lantern_C:"), E(lantern));  // empty sub-path
  EXPECT_EQ(FindObject("/Game/Props/BP_Lantern.BP_Lantern_C:UpdateGlow"), E(standin::OwnFunction(lantern, L"UpdateGlow")));
  EXPECT_EQ(FindObject(""), nullptr);
  EXPECT_EQ(FindObject("/Game/Nowhere.Nothing"), nullptr);
  EXPECT_EQ(FindClassByPath("/Game/Props/BP_Lantern.BP_Lantern_C"), E(lantern));
  EXPECT_EQ(FindClassByPath("/Game/Props/BP_Lantern.BP_Lantern_C:UpdateGlow"), nullptr);  // a function

  // An asset that exists only once loaded.
  EXPECT_EQ(FindObject("/Game/Props/SM_Crate.SM_Crate"), nullptr);
  Object* crate = LoadObject("/Game/Props/SM_Crate.SM_Crate");
  ASSERT_NE(crate, nullptr);
  EXPECT_EQ(PathName(crate), "/Game/Props/SM_Crate.SM_Crate");
  EXPECT_EQ(FindObject("/Game/Props/SM_Crate.SM_Crate"), crate);

  standin::SetCallRecording(true);
  auto* loadAsset = standin::OwnFunction(StandinClass(L"KismetSystemLibrary"), L"LoadAsset_Blocking");
  EXPECT_EQ(LoadObject(":OnlyASubPath"), nullptr);  // empty asset part: no load, no warning
  EXPECT_FALSE(standin::LastCall(loadAsset).has_value());
  EXPECT_EQ(LoadObject("/Game/Nowhere.Nothing"), nullptr);
  EXPECT_TRUE(standin::LastCall(loadAsset).has_value());
  EXPECT_EQ(log.count("[WRN] [ue] LoadObject failed: "), 1);
  EXPECT_TRUE(log.contains("[WRN] [ue] LoadObject failed: /Game/Nowhere.Nothing\n"));
}

TEST_F(Objects, FindFunctionWalksTheParentsAndFindFunctionInTheDeclaringClass) {
  standin::UObject* lantern = fwtest::Lantern(8);
  standin::UClass* lanternClass = StandinClass(L"BP_Lantern_C");
  standin::UClass* actor = StandinClass(L"Actor");
  EXPECT_EQ(FindFunction(E(lantern), "UpdateGlow"), E(standin::OwnFunction(lanternClass, L"UpdateGlow")));
  EXPECT_EQ(FindFunction(E(lantern), "K2_GetActorLocation"), E(standin::OwnFunction(actor, L"K2_GetActorLocation")));
  // The override, most derived first; FindFunctionIn picks the declaring class's own.
  EXPECT_EQ(FindFunction(E(lantern), "ReceiveTick"), E(standin::OwnFunction(lanternClass, L"ReceiveTick")));
  EXPECT_EQ(FindFunctionIn(E(lanternClass), "Actor", "ReceiveTick"), E(standin::OwnFunction(actor, L"ReceiveTick")));
  EXPECT_EQ(FindFunctionIn(E(lanternClass), "Character", "GetCurrentMontage"), nullptr);
  EXPECT_EQ(FindFunction(E(lantern), "DeltaSeconds"), nullptr);  // a parameter is not a function
  EXPECT_EQ(FindFunction(E(lantern), "NoSuchFunction"), nullptr);
  EXPECT_EQ(FindFunction(E(lantern), ""), nullptr);
  EXPECT_EQ(FindFunction(nullptr, "UpdateGlow"), nullptr);
}

TEST_F(Objects, ClassTestAndDefaultObjects) {
  standin::UObject* lantern = fwtest::Lantern(9);
  standin::WorldView w = standin::World();
  struct Case {
    standin::UObject* object;
    const wchar_t* cls;
    bool is;
  } cases[] = {
      {lantern, L"Actor", true},      {lantern, L"Object", true},
      {lantern, L"BP_Lantern_C", true}, {lantern, L"Character", false},
      {w.character, L"FS_PlayerCharacter", true}, {w.character, L"Pawn", true},
      {w.engine, L"Engine", true},    {StandinClass(L"Actor"), L"Class", true},
      {StandinClass(L"Actor"), L"Actor", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsA(E(c.object), E(StandinClass(c.cls))), c.is) << standin::Narrow(standin::PathOf(c.object));
  EXPECT_FALSE(IsA(nullptr, E(StandinClass(L"Actor"))));
  EXPECT_TRUE(IsDefaultObject(E(StandinClass(L"Engine")->defaultObject)));
  EXPECT_FALSE(IsDefaultObject(E(w.engine)));
}

TEST_F(Objects, WorldChain) {
  standin::WorldView w = standin::World();
  EXPECT_EQ(GetEngine(), E(w.engine));  // not the Engine or GameEngine default objects before it
  EXPECT_EQ(GetWorld(), E(w.world));
  EXPECT_EQ(GetLocalPlayerController(), E(w.controller));
  EXPECT_EQ(GetLocalPlayerCharacter(), E(w.character));

  // No viewport: the global world pointer; neither: none.
  standin::SetViewport(false);
  EXPECT_EQ(GetWorld(), E(standin::FallbackWorld()));
  standin::UWorld* fallback = standin::FallbackWorld();
  standin::SetFallbackWorld(nullptr);
  EXPECT_EQ(GetWorld(), nullptr);
  EXPECT_EQ(GetLocalPlayerController(), nullptr);
  standin::SetFallbackWorld(fallback);
  standin::SetViewport(true);

  // A pawn of another class is not the player character.
  w.controller->character = fwtest::Lantern(10);
  EXPECT_EQ(GetLocalPlayerCharacter(), nullptr);
  w.controller->character = w.character;

  // The class is unloaded and loaded again (new objects): found again.
  standin::UnloadClass(L"FS_PlayerCharacter");
  EXPECT_EQ(GetLocalPlayerCharacter(), nullptr);
  standin::UObject* reborn = standin::SpawnPlayerCharacter();
  ASSERT_NE(reborn, nullptr);
  EXPECT_EQ(GetLocalPlayerCharacter(), E(reborn));
}

TEST_F(Objects, SpawnActorBuildsTheTransform) {
  fwtest::LogCapture log;
  standin::SetCallRecording(true);
  auto* begin = standin::OwnFunction(StandinClass(L"GameplayStatics"), L"BeginDeferredActorSpawnFromClass");
  Object* actor = SpawnActor(E(StandinClass(L"BP_Lantern_C")), {10, 20, 30}, {0, 90, 0});
  ASSERT_NE(actor, nullptr);
  auto call = standin::LastCall(begin);
  ASSERT_TRUE(call);
  auto t = call->Arg<standin::FTransform>(begin, 2);
  EXPECT_NEAR(t.rotation.x, 0, 1e-6);
  EXPECT_NEAR(t.rotation.y, 0, 1e-6);
  EXPECT_NEAR(t.rotation.z, 0.7071, 1e-4);
  EXPECT_NEAR(t.rotation.w, 0.7071, 1e-4);
  EXPECT_EQ(t.translation.x, 10);
  EXPECT_EQ(t.scale.z, 1);
  EXPECT_EQ(call->Arg<std::uint8_t>(begin, 3), 1);  // always spawn, ignoring collisions
  EXPECT_EQ(call->Arg<standin::UObject*>(begin, 4), nullptr);
  EXPECT_EQ(call->Arg<standin::UObject*>(begin, 0), standin::World().world);
  auto* spawned = reinterpret_cast<standin::UObject*>(actor);
  EXPECT_TRUE(standin::ActorFinished(spawned));
  EXPECT_NEAR(standin::ActorRotation(spawned).yaw, 90, 1e-3);

  // Not a class, or no world: none, silently. A class the engine will not spawn: a warning.
  EXPECT_EQ(SpawnActor(actor, {}, {}), nullptr);
  EXPECT_EQ(SpawnActor(nullptr, {}, {}), nullptr);
  EXPECT_EQ(log.lines().size(), 0u);
  EXPECT_EQ(SpawnActor(E(StandinClass(L"StaticMesh")), {}, {}), nullptr);
  EXPECT_TRUE(log.contains("[WRN] [ue] BeginDeferredActorSpawnFromClass failed for /Script/Engine.StaticMesh\n"));
  standin::SetViewport(false);
  standin::UWorld* fallback = standin::FallbackWorld();
  standin::SetFallbackWorld(nullptr);
  EXPECT_EQ(SpawnActor(E(StandinClass(L"BP_Lantern_C")), {}, {}), nullptr);
  EXPECT_EQ(log.lines().size(), 1u);
  standin::SetFallbackWorld(fallback);
}

TEST_F(Objects, EngineNamesThroughTheEngine) {
  EngineName glow = ToEngineName("UpdateGlow");
  EXPECT_EQ(NameText(glow), "UpdateGlow");
  EXPECT_EQ(ToEngineName(""), EngineName{});
  EXPECT_EQ(ToEngineName("\xFF"), EngineName{});
  EngineName numbered = ToEngineName("Socket_3");
  EXPECT_EQ(numbered.number, 4);
  EXPECT_EQ(NameText(numbered), "Socket_3");
  char16_t units[] = u"Hand_R";
  EXPECT_EQ(EngineStringToUtf8(EngineString{units, 7, 7}), "Hand_R");
  EXPECT_EQ(EngineStringToUtf8(EngineString{}), "");
}

TEST_F(Objects, SeedGameRandomSeedsTheGamesRuntime) {
  auto draws = [] {
    std::vector<int> v;
    for (int i = 0; i < 6; ++i) v.push_back(standin::GameRand());
    return v;
  };
  SeedGameRandom(42);
  std::vector<int> first = draws();
  SeedGameRandom(43);
  std::vector<int> other = draws();
  SeedGameRandom(42);
  EXPECT_EQ(draws(), first);
  EXPECT_NE(other, first);
}
