// Object and function access: the live-object test, names and paths, finding
// classes, objects and functions, loading and spawning, and the engine, world,
// controller and character lookups.
//
// Offers: IsValidObject, ObjectAt, IsA, names (ObjectName, ShortName,
// ClassName, PathName), ToEngineName, FindClass with caller-owned cache
// slots, FindObject/FindClassByPath/LoadObject, FindFunction/FindFunctionIn,
// GetEngine/GetWorld/GetLocalPlayerController/GetLocalPlayerCharacter,
// SpawnActor, SeedGameRandom, and the text helpers (EngineTextToUtf8, Fnv1a64).
// Needs: the host (engine/host.h), the engine call wrappers (engine/calls.h)
// for names, soft references, loading and spawning.
// Threads: game thread only, except FindClass scans and the tests that the
// start-up prewarm and readiness probe run on the initialisation thread.
// Lookups that find nothing return null without a message; LoadObject and
// SpawnActor failures are logged (tag "ue").
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/layout.h"

namespace bh::engine {

// ---- field readers (no checks: the object must have passed IsValidObject)
Class* ClassOf(const Object* object);
Object* OuterOf(const Object* object);
Class* SuperOf(const Class* cls);
std::uint64_t CastFlagsOf(const Class* cls);
Object* DefaultObjectOf(const Class* cls);
EngineName NameOf(const Object* object);

// ---- the object test
// A live object, not being destroyed; any pointer is harmless (faults give false).
bool IsValidObject(const Object* object);
// The live object at an array index, or null.
Object* ObjectAt(std::int32_t index);
// A weak reference resolves as ObjectAt when its index is positive (the serial is not compared).
Object* Resolve(WeakObjectRef ref);
bool IsA(const Object* object, const Class* cls);
bool IsDefaultObject(const Object* object);
// Element count of the object array (0 when there is none).
std::int32_t ObjectCount();

// ---- names ("None" for a null object, and ClassName for an object without class)
std::string ObjectName(const Object* object);
std::string ShortName(const Object* object);  // after the last '/'
std::string ClassName(const Object* object);
std::string PathName(const Object* object);   // "/Game/Pkg.Asset_C:Function"
std::string NameText(EngineName name);
// An engine name for a text (through the engine); an empty or unconvertible text gives the zero name.
EngineName ToEngineName(std::string_view text);
// The text of an engine string, its terminating zero dropped.
std::string EngineStringToUtf8(const EngineString& string);
// UTF-16 units to UTF-8: a valid surrogate pair is one 4-byte sequence, an
// unpaired surrogate becomes a single zero byte.
std::string EngineTextToUtf8(const char16_t* units, std::size_t count);
// UTF-8 to UTF-16; false (and nothing) for malformed input.
bool Utf16FromUtf8(std::string_view text, std::u16string& out);

// 64-bit FNV-1a (offset basis 0xcbf29ce484222325, prime 0x100000001b3).
std::uint64_t Fnv1a64(const void* data, std::size_t size);
inline std::uint64_t Fnv1a64(std::string_view text) { return Fnv1a64(text.data(), text.size()); }

// ---- finding
// A process-wide cache of one class lookup, owned by its caller: filled once
// found, retried while empty.
struct ClassSlot {
  std::atomic<Class*> value{nullptr};
};
Class* FindClass(std::string_view shortName, ClassSlot& slot);
// The first class object with that short name (case-sensitive), uncached.
Class* ScanForClass(std::string_view shortName);

// An already loaded object by path ("/Game/Pkg.Asset:Sub"), or null.
Object* FindObject(std::string_view path);
// FindObject, kept only when the object is a class.
Class* FindClassByPath(std::string_view path);
// FindObject, else loads the asset (warning when that fails).
Object* LoadObject(std::string_view path);
// A function by name on the object's class or its parents.
Function* FindFunction(const Object* object, std::string_view functionName);
// A function declared by the class named declaringClassName, on cls or its parents.
Function* FindFunctionIn(const Class* cls, std::string_view declaringClassName, std::string_view functionName);

// ---- the world
Object* GetEngine();  // the first live non-default instance of class Engine, cached
Object* GetWorld();   // through the game viewport, else the global world pointer
Object* GetGameInstance();  // the current world's, or null
Object* GetLocalPlayerController();
Object* GetLocalPlayerCharacter();  // of class /Script/Brackenhold.FS_PlayerCharacter

// ---- other
// Rotation quaternion of a rotator (degrees).
Quat QuatFromRotator(const Rotator& rotation);
// Spawns an actor of cls in the current world (deferred, then finished); null on failure.
Object* SpawnActor(const Class* cls, const Vector& location, const Rotator& rotation);
// Seeds the random generator of the game's own C runtime (ucrtbase.dll), on this thread.
void SeedGameRandom(std::uint32_t seed);

}  // namespace bh::engine
