// The stand-in engine: a small engine laid out like the game's, so that code
// loaded into the process reads and calls it as it would the real one.
//
// Offers: booting the image (engine tables and dispatch code at the game's
// fixed offsets), names, objects with their array, classes and functions
// declared with their parameter layouts, native and script functions,
// ProcessEvent through the vtable, call recording for tests, garbage
// collection with index reuse, class unloading and reloading.
// The world (engine, viewport, player, actors, frames, clock) is world.h.
// Needs: Windows (the image, VirtualAlloc for objects whose memory must fault
// once freed, ucrtbase.dll for the game's random numbers).
// Threads: Boot and everything that creates, destroys or defines runs on the
// game thread (the thread that booted). Reading objects, names and the array,
// and calling ProcessEvent, is safe from any thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "standin/layout.h"

namespace standin {

// ---------------------------------------------------------------- boot

struct BootOptions {
  std::int32_t objectCount = 100000;  // objects in the array after boot; fillers make up the rest
  bool emptyObjectArray = false;      // build nothing: the object array stays zero
  bool viewport = true;               // false: the engine never gets a game viewport
  std::uintptr_t processInternalRva = rva::kProcessInternal;  // where script functions' Func points
  std::uintptr_t processEventRva = rva::kProcessEvent;  // where the object vtable's ProcessEvent sits
  // The first 32 script functions in the array: 16 point their Func at
  // ProcessInternal, 16 at a second copy of it (kSplitVoteProcessInternal).
  bool splitFuncVote = false;
  // The world clock time (seconds) at which the late class (world.h) loads;
  // negative: it loads only when a test asks for it.
  double lateClassSeconds = -1;
};

// Lays out the image, then builds the engine and its world. Once per process;
// the calling thread becomes the game thread. A second call does nothing.
void Boot(const BootOptions& options = {});
bool Booted();
const BootOptions& Options();
std::uint32_t GameThreadId();

std::uintptr_t ImageBase();
template <typename T>
T* AtRva(std::uintptr_t rva) {
  return reinterpret_cast<T*>(ImageBase() + rva);
}

// ---------------------------------------------------------------- names

// "Foo_3" is ("Foo", 4); "" is the zero name ("None").
FName MakeName(std::wstring_view text);
std::wstring NameText(FName name);
std::string Narrow(std::wstring_view text);  // ASCII-only helper for messages
std::wstring Widen(std::string_view text);

// ---------------------------------------------------------------- objects

struct NewObjectOptions {
  std::uint32_t flags = 0;
  bool pagedMemory = false;  // own pages, released when freed: later reads fault
  bool findable = true;      // entered in the path index (fillers are not)
};

// A new object of cls (its instance size, zeroed) named name ("" gives
// "<Class>_<n>"), with outer. Game thread.
UObject* NewObject(UClass* cls, UObject* outer, std::wstring_view name, const NewObjectOptions& options = {});
// The stand-in's own path of an object, and the loaded object with a path.
std::wstring PathOf(const UObject* object);
UObject* FindByPath(std::wstring_view path);
// Marks the object's item pending kill (what destroying an actor does).
void MarkPendingKill(UObject* object);
// Frees every pending-kill object: flags set to destroyed, item cleared,
// memory released (paged objects fault afterwards), index reused (last freed first).
void CollectGarbage();

FChunkedFixedUObjectArray& ObjectArray();  // the array at its fixed offset
FUObjectItem* ItemAt(std::int32_t index);  // null outside the array
std::int32_t LiveObjectCount();

template <typename T>
T& FieldAt(UObject* object, std::uint32_t offset) {
  return *reinterpret_cast<T*>(reinterpret_cast<std::uint8_t*>(object) + offset);
}

// ---------------------------------------------------------------- classes

// A package by name ("/Script/Engine"), created when missing.
UObject* Package(std::wstring_view name);

struct ClassSpec {
  std::wstring name;
  UClass* parent = nullptr;
  UObject* package = nullptr;
  std::uint32_t instanceSize = 0;  // 0: the parent's
  std::uint64_t castFlags = 0;     // added to the parent's
  bool blueprint = false;          // a BlueprintGeneratedClass (name ends in _C)
};
// Defines a class with its default object ("Default__<name>").
UClass* DefineClass(const ClassSpec& spec);
UClass* ClassNamed(std::wstring_view shortName);  // loaded class by short name
bool IsA(const UObject* object, const UClass* cls);
std::uint32_t InstanceSize(const UClass* cls);

// A class that can be unloaded and loaded again: define registers the loader
// (which must define and return the class); unload destroys the class, its
// default object, its functions and every instance of it (garbage collected
// at once); load runs the loader again (new objects, new indices).
UClass* DefineReloadableClass(const std::wstring& name, std::function<UClass*()> loader);
// Registers the loader only: the class exists from its first LoadClass.
void RegisterReloadableClass(const std::wstring& name, std::function<UClass*()> loader);
void UnloadClass(const std::wstring& name);
UClass* LoadClass(const std::wstring& name);

// ---------------------------------------------------------------- functions

inline constexpr std::uint32_t kParmOut = 0x100;
inline constexpr std::uint32_t kParmReturn = 0x400;

struct ParamSpec {
  std::wstring name;
  std::uint16_t size;
  std::uint16_t align;
  std::uint32_t flags;  // kParmOut, kParmReturn
};
template <typename T>
ParamSpec In(const wchar_t* name) {
  return {name, sizeof(T), alignof(T), 0};
}
template <typename T>
ParamSpec Out(const wchar_t* name) {
  return {name, sizeof(T), alignof(T), kParmOut};
}
template <typename T>
ParamSpec Ret() {
  return {L"ReturnValue", sizeof(T), alignof(T), kParmOut | kParmReturn};
}

// The parameters of a native call, read through the function's own layout.
struct Call {
  UObject* self;
  UFunction* function;
  std::uint8_t* params;
  template <typename T>
  T& Arg(int index) const {
    return *reinterpret_cast<T*>(params + ParamOffset(function, index));
  }
  template <typename T>
  T& Ret() const {
    return *reinterpret_cast<T*>(params + function->returnValueOffset);
  }
  static std::uint16_t ParamOffset(const UFunction* function, int index);
};
using Native = std::function<void(Call&)>;

// One step of a script body.
struct ScriptFrame {
  UObject* self;
  UFunction* function;
  std::uint8_t* locals;
  FFrame* frame;
  template <typename T>
  T& Local(std::uint32_t offset) const {
    return *reinterpret_cast<T*>(locals + offset);
  }
};
using ScriptArgs = std::function<void(ScriptFrame& caller, std::uint8_t* calleeParams)>;
struct ScriptStep {
  enum class Kind { Code, CallScript, CallParent, CallEvent } kind = Kind::Code;
  std::wstring function;                            // CallScript, CallEvent: by name, most derived
  std::function<void(ScriptFrame&)> code;           // Code
  std::function<UObject*(ScriptFrame&)> target;     // CallEvent: default self
  ScriptArgs args;                                  // fills the callee's parameters
  ScriptArgs results;                               // reads them back
};
using Script = std::vector<ScriptStep>;
ScriptStep Code(std::function<void(ScriptFrame&)> code);
// Another script function on self, called directly (ProcessLocalScriptFunction).
ScriptStep CallScript(std::wstring function, ScriptArgs args = {}, ScriptArgs results = {});
// The function this one overrides (its parent-structure), called directly.
ScriptStep CallParent(ScriptArgs args = {}, ScriptArgs results = {});
// A function called through ProcessEvent (native functions, events).
ScriptStep CallEvent(std::wstring function, std::function<UObject*(ScriptFrame&)> target = {}, ScriptArgs args = {},
                     ScriptArgs results = {});

// Declares a function on cls. Parameters are laid out in order at natural
// alignment; a Ret<T>() must come last. A function of the same name further
// up the chain becomes its parent-structure (the one it overrides).
UFunction* DefineNative(UClass* cls, const std::wstring& name, std::vector<ParamSpec> params, Native body,
                        std::uint32_t extraFlags = 0);
UFunction* DefineScript(UClass* cls, const std::wstring& name, std::vector<ParamSpec> params, Script body,
                        std::uint32_t localsBytes = 0, std::uint32_t extraFlags = 0);
// The function a call by name on an object of cls runs (most derived first).
UFunction* FunctionNamed(const UClass* cls, std::wstring_view name);
// Declared on exactly this class.
UFunction* OwnFunction(const UClass* cls, std::wstring_view name);
std::uint16_t ParmsSize(const UFunction* function);

// ---------------------------------------------------------------- calls

// ProcessEvent through the object's vtable (slot 68), as the game calls it.
void ProcessEvent(UObject* self, UFunction* function, void* params);
// By name on self's class; false when there is no such function.
bool CallByName(UObject* self, std::wstring_view function, void* params);
// ProcessEvent calls seen by the engine since boot (all threads; this thread).
std::uint64_t ProcessEventCalls();
std::uint64_t ProcessEventCallsOnThisThread();

// Call recording (off by default): the last call of each native function.
struct CallRecord {
  UObject* self = nullptr;
  std::vector<std::uint8_t> params;  // the block as the native saw it, on entry
  std::uint32_t flagsDuringCall = 0;
  std::uint32_t thread = 0;
  template <typename T>
  T Arg(const UFunction* function, int index) const {
    T value;
    std::memcpy(&value, params.data() + Call::ParamOffset(function, index), sizeof(T));
    return value;
  }
};
void SetCallRecording(bool on);
std::optional<CallRecord> LastCall(const UFunction* function);
// Makes a native return these bytes (copied to its return value) instead of
// running its behaviour; an empty value clears it.
void SetCannedReturn(const UFunction* function, std::vector<std::uint8_t> bytes);
template <typename T>
void SetCannedReturn(const UFunction* function, const T& value) {
  std::vector<std::uint8_t> bytes(sizeof(T));
  std::memcpy(bytes.data(), &value, sizeof(T));
  SetCannedReturn(function, std::move(bytes));
}

// ---------------------------------------------------------------- the C runtime the game shares

// rand() of ucrtbase.dll (loaded at boot), as the game's own code draws it.
int GameRand();

}  // namespace standin
