// The stand-in engine's private bookkeeping. Every object allocation starts
// with an ObjectExtra header placed just before the object's address, so
// nothing the game exposes (the object's own bytes) carries stand-in data.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "standin/engine.h"

namespace standin::detail {

struct ClassInfo {
  std::uint32_t instanceSize = 0;
  void** vtable = nullptr;
  bool blueprint = false;
};

struct ParamInfo {
  std::wstring name;
  std::uint16_t offset, size;
  std::uint32_t flags;
};

struct FunctionInfo {
  std::vector<ParamInfo> params;
  Native native;  // native functions
  Script script;  // script functions
  std::vector<std::uint8_t> cannedReturn;
};

struct ActorState {
  FVector location{};
  FRotator rotation{};
  FVector scale{1, 1, 1};
  UObject* root = nullptr;
  std::vector<UObject*> components;
  UObject* attachParent = nullptr;  // components
  std::vector<UObject*> attachChildren;
  FName attachSocket{};
  bool finished = true;
  bool tickEnabled = true;
  bool collision = true;
};

struct WorldState {
  double realTime = 0;
  bool paused = false;
};

struct ObjectExtra {
  std::uint32_t bytes = 0;  // the object's own size
  bool paged = false;
  bool findable = true;
  std::unique_ptr<ClassInfo> classInfo;
  std::unique_ptr<FunctionInfo> functionInfo;
  std::unique_ptr<ActorState> actor;
  std::unique_ptr<WorldState> world;
};
inline constexpr std::size_t kExtraBytes = (sizeof(ObjectExtra) + 15) & ~std::size_t{15};

inline ObjectExtra& Extra(const UObject* object) {
  return *reinterpret_cast<ObjectExtra*>(const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(object)) -
                                         kExtraBytes);
}
inline FunctionInfo& Info(const UFunction* function) { return *Extra(function).functionInfo; }
inline ClassInfo& Info(const UClass* cls) { return *Extra(cls).classInfo; }

// The core classes, set as boot defines them.
struct CoreClasses {
  UClass* object = nullptr;
  UClass* field = nullptr;
  UClass* structure = nullptr;
  UClass* cls = nullptr;
  UClass* blueprintClass = nullptr;
  UClass* function = nullptr;
  UClass* package = nullptr;
  UClass* property = nullptr;
};
CoreClasses& Core();

// Image and dispatch (image.cpp, script.cpp).
void LayOutImage(const BootOptions& options);
void** ObjectVTable();
void** ActorVTable();
NativeEntry ProcessInternalEntry();  // the Func of every script function
void NativeThunk(UObject* context, FFrame* stack, void* result);
void ProcessEventImpl(UObject* self, UFunction* function, void* params);
void ActorProcessEventImpl(UObject* self, UFunction* function, void* params);
void ProcessInternalImpl(UObject* context, FFrame* stack, void* result);
void ProcessLocalScriptFunctionImpl(UObject* context, FFrame* stack, void* result);
void NameToTextImpl(const FName* name, FString* out);

// Objects (objects.cpp).
void InitObjectArray();
// Re-enters every findable object under its path (after the core classes boot).
void RebuildPathIndex();
void PublishWorldPointer(UWorld* world);
// Called for every object just before its memory is released.
void SetFreeListener(void (*listener)(UObject* object));
void* EngineAlloc(std::size_t bytes);  // engine-owned memory (arrays handed out), never freed by the caller

// World (world.cpp).
void BuildWorld(const BootOptions& options);

[[noreturn]] void Fatal(const char* what);

}  // namespace standin::detail
