// The stand-in engine honours the layout and the dispatch path code loaded
// into the game relies on. Offsets here are written out as numbers, apart
// from the stand-in's own declarations, so that a slip there shows.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "standin/engine.h"
#include "standin/internal.h"
#include "standin/world.h"

using namespace standin;

namespace {

template <typename T>
T Read(const void* base, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, sizeof value);
  return value;
}

// Points the stub at an offset to another body; returns the old one.
void* Redirect(std::uintptr_t rva, void* body) {
  auto* stub = AtRva<std::uint8_t>(rva);
  void* old;
  std::memcpy(&old, stub + 7, 8);
  std::memcpy(stub + 7, &body, 8);
  FlushInstructionCache(GetCurrentProcess(), stub, 17);
  return old;
}

struct Event {
  std::string kind;
  std::wstring node;
  const void* frame;
};
std::vector<Event> g_events;

std::wstring NodeName(const void* frame) { return NameText(Read<UObject*>(frame, 0x10)->name); }

void CountingProcessEvent(UObject* self, UFunction* fn, void* params) {
  g_events.push_back({"PE", NameText(fn->name), nullptr});
  detail::ProcessEventImpl(self, fn, params);
}
void CountingProcessInternal(UObject* context, FFrame* frame, void* result) {
  g_events.push_back({"PI", NodeName(frame), frame});
  detail::ProcessInternalImpl(context, frame, result);
}
void CountingLocalScript(UObject* context, FFrame* frame, void* result) {
  g_events.push_back({"PLSF", NodeName(frame), frame});
  EXPECT_EQ(Read<UObject*>(frame, 0x18), context);  // Object
  EXPECT_NE(Read<void*>(frame, 0x28), nullptr);     // locals
  detail::ProcessLocalScriptFunctionImpl(context, frame, result);
}

}  // namespace

TEST(StandinLayout, CodeAtTheFixedOffsetsAndTheVTables) {
  Boot({.objectCount = 1000});
  const std::uint8_t prologue[] = {0x48, 0x89, 0x5C, 0x24, 0x08, 0x48, 0xB8};
  for (std::uintptr_t rva : {0xFB0640u, 0x11A7AA0u, 0x11A7E40u, 0x11A7F50u}) {
    auto* code = reinterpret_cast<const std::uint8_t*>(ImageBase() + rva);
    EXPECT_EQ(std::memcmp(code, prologue, sizeof prologue), 0) << std::hex << rva;
    MEMORY_BASIC_INFORMATION info;
    ASSERT_NE(VirtualQuery(code, &info, sizeof info), 0u);
    EXPECT_TRUE(info.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY))
        << std::hex << rva << " protection " << info.Protect;
  }
  std::uintptr_t processEvent = ImageBase() + 0x11A7AA0;
  UObject* texture = NewObject(ClassNamed(L"Texture2D"), nullptr, L"T_Layout");
  UObject* lantern = FindByPath(L"/Game/Maps/Brackenhold_Hold.Brackenhold_Hold:BP_Lantern_C_0");
  EXPECT_EQ(Read<void**>(texture, 0)[68], reinterpret_cast<void*>(processEvent));
  EXPECT_NE(Read<void**>(lantern, 0)[68], reinterpret_cast<void*>(processEvent));  // actors override it
  UFunction* script = FunctionNamed(lantern->cls, L"UpdateGlow");
  UFunction* native = FunctionNamed(lantern->cls, L"K2_GetActorLocation");
  EXPECT_EQ(Read<std::uintptr_t>(script, 0xD8), ImageBase() + 0x11A7E40);
  EXPECT_EQ(Read<std::uint32_t>(script, 0xB0) & 0x400, 0u);
  EXPECT_NE(Read<std::uintptr_t>(native, 0xD8), ImageBase() + 0x11A7E40);
  EXPECT_EQ(Read<std::uint32_t>(native, 0xB0) & 0x400, 0x400u);
  EXPECT_EQ(Read<std::uint16_t>(native, 0xB8), 0);  // the return value is its only parameter
  EXPECT_EQ(Read<std::uint16_t>(FunctionNamed(lantern->cls, L"K2_DestroyActor"), 0xB8), 0xFFFF);
  // The world chain from the engine object down to the character.
  WorldView w = World();
  auto* viewport = Read<UObject*>(w.engine, 0x780);
  auto* world = Read<UObject*>(viewport, 0x78);
  auto* instance = Read<UObject*>(world, 0x180);
  EXPECT_EQ(Read<std::int32_t>(instance, 0x40), 1);
  auto* player = Read<UObject**>(instance, 0x38)[0];
  auto* controller = Read<UObject*>(player, 0x30);
  EXPECT_EQ(Read<UObject*>(controller, 0x260), w.character);
  EXPECT_EQ(*reinterpret_cast<UObject**>(ImageBase() + 0x4BA86B0), world);
  EXPECT_EQ(NameText(w.character->cls->name), L"FS_PlayerChar_C");
  EXPECT_EQ(PathOf(w.character->cls->super), L"/Script/Brackenhold.FS_PlayerCharacter");
}

TEST(StandinLayout, AnotherBuildPutsProcessInternalElsewhere) {
  Boot({.objectCount = 1000, .processInternalRva = rva::kOtherBuildProcessInternal});
  UFunction* script = FunctionNamed(ClassNamed(L"BP_Lantern_C"), L"UpdateGlow");
  EXPECT_EQ(Read<std::uintptr_t>(script, 0xD8), ImageBase() + 0x11A7E90);
  EXPECT_EQ(*reinterpret_cast<std::uint8_t*>(ImageBase() + 0x11A7E40), 0);  // nothing at the known offset
}

TEST(StandinDispatch, EveryCallGoesThroughTheFixedOffsets) {
  Boot({.objectCount = 1000});
  void* pe = Redirect(0x11A7AA0, reinterpret_cast<void*>(&CountingProcessEvent));
  void* pi = Redirect(0x11A7E40, reinterpret_cast<void*>(&CountingProcessInternal));
  void* plsf = Redirect(0x11A7F50, reinterpret_cast<void*>(&CountingLocalScript));

  // A lantern's tick: its script calls a native through ProcessEvent and a
  // script function directly.
  UObject* lantern = FindByPath(L"/Game/Maps/Brackenhold_Hold.Brackenhold_Hold:BP_Lantern_C_0");
  float delta = 0.5f;
  std::uint8_t params[16] = {};
  std::memcpy(params, &delta, sizeof delta);
  ProcessEvent(lantern, FunctionNamed(lantern->cls, L"ReceiveTick"), params);
  ASSERT_EQ(g_events.size(), 5u);
  EXPECT_EQ(g_events[0].kind + ":" + Narrow(g_events[0].node), "PE:ReceiveTick");
  EXPECT_EQ(g_events[1].kind + ":" + Narrow(g_events[1].node), "PI:ReceiveTick");
  EXPECT_EQ(g_events[2].kind + ":" + Narrow(g_events[2].node), "PLSF:ReceiveTick");
  EXPECT_EQ(g_events[2].frame, g_events[1].frame);  // the body runs on ProcessInternal's frame
  EXPECT_EQ(g_events[3].kind + ":" + Narrow(g_events[3].node), "PE:K2_GetActorLocation");
  EXPECT_EQ(g_events[4].kind + ":" + Narrow(g_events[4].node), "PLSF:UpdateGlow");
  EXPECT_NE(g_events[4].frame, g_events[1].frame);  // a direct call gets its own frame
  EXPECT_FLOAT_EQ(FieldAt<float>(lantern, 0x240), 0.5f);

  // The player's Blueprint tick overrides the parent's and calls it.
  g_events.clear();
  UObject* character = World().character;
  UFunction* tick = FunctionNamed(character->cls, L"ReceiveTick");
  EXPECT_EQ(tick->super, OwnFunction(ClassNamed(L"Actor"), L"ReceiveTick"));
  ProcessEvent(character, tick, params);
  ASSERT_EQ(g_events.size(), 5u);
  EXPECT_EQ(g_events[3].kind + ":" + Narrow(g_events[3].node), "PLSF:ReceiveTick");  // the parent's
  EXPECT_EQ(Read<UObject*>(g_events[3].frame, 0x10), tick->super);
  EXPECT_EQ(g_events[4].kind + ":" + Narrow(g_events[4].node), "PE:GetCurrentMontage");

  // A frame calls ProcessEvent for every ticking actor and their events.
  g_events.clear();
  std::uint64_t bodies = TickBodiesRun();
  RunFrame(0.016);
  EXPECT_EQ(TickBodiesRun() - bodies, 25u);  // 24 lanterns and the player
  EXPECT_EQ(std::count_if(g_events.begin(), g_events.end(), [](const Event& e) { return e.kind == "PE"; }), 50);

  Redirect(0x11A7AA0, pe);
  Redirect(0x11A7E40, pi);
  Redirect(0x11A7F50, plsf);
}

TEST(StandinDispatch, TheWorkerThreadCallsProcessEventToo) {
  Boot({.objectCount = 1000});
  std::uint64_t mine = ProcessEventCallsOnThisThread();
  StartWorkerThread();
  for (int i = 0; i < 200 && WorkerCalls() < 5; ++i) Sleep(5);
  StopWorkerThread();
  EXPECT_GE(WorkerCalls(), 5u);
  EXPECT_EQ(ProcessEventCallsOnThisThread(), mine);
  EXPECT_GE(ProcessEventCalls(), WorkerCalls());
}

TEST(StandinObjects, SizeNamesAndLifeCycle) {
  Boot();
  EXPECT_GE(ObjectArray().numElements, 100000);
  EXPECT_EQ(ObjectArray().numChunks, 2);
  EXPECT_EQ(NameText(MakeName(L"Actor_12")), L"Actor_12");
  EXPECT_EQ(MakeName(L"Actor_12").number, 13);
  EXPECT_EQ(MakeName(L"Actor_012").number, 0);  // a leading zero is part of the text
  EXPECT_EQ(MakeName(L""), (FName{0, 0}));
  // Unloading a class takes its subclasses, instances and functions; loading makes new ones.
  UClass* native = ClassNamed(cls::kPlayerCharacter);
  std::int32_t classIndex = native->index;
  UnloadClass(cls::kPlayerCharacter);
  EXPECT_EQ(ClassNamed(cls::kPlayerCharacterBlueprint), nullptr);
  EXPECT_EQ(World().character, nullptr);
  EXPECT_EQ(FindByPath(L"/Game/Characters/Player/FS_PlayerChar.FS_PlayerChar_C:ReceiveTick"), nullptr);
  EXPECT_EQ(ItemAt(classIndex)->object, nullptr);
  ASSERT_NE(SpawnPlayerCharacter(), nullptr);
  EXPECT_NE(ClassNamed(cls::kPlayerCharacter), nullptr);
  EXPECT_NE(FindByPath(L"/Game/Characters/Player/FS_PlayerChar.FS_PlayerChar_C:ReceiveTick"), nullptr);
}
