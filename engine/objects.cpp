// Object and function access over the host interface's layouts.
//
// Only IsValidObject (and the start-up probe and prewarm, engine.cpp) guard
// their reads: every other function trusts objects that passed it, as its
// callers must ensure.
#include "engine/objects.h"

#include <vector>

#include "core/log.h"
#include "core/log_tags.h"
#include "engine/calls.h"
#include "engine/host.h"

namespace bh::engine {
namespace {

using namespace layout;

constexpr char kPlayerCharacterClassPath[] = "/Script/Brackenhold.FS_PlayerCharacter";
constexpr std::size_t kNameBufferUnits = 1024;
constexpr int kMaxPathDepth = 64;

struct ObjectsState {
  std::atomic<Object*> engine{nullptr};
  ClassSlot engineClass;
  // Kept while it is a live class object of that name: an unloaded class's
  // memory can come back as another live object at the same address, which
  // the object test alone cannot tell apart. Game thread only.
  Class* playerCharacterClass = nullptr;
  EngineName playerCharacterClassName;
};
ObjectsState& State() {
  static ObjectsState* state = new ObjectsState();
  return *state;
}

const std::uint8_t* ObjectArrayBase() {
  std::uintptr_t base = platform::HostBase();
  return base ? reinterpret_cast<const std::uint8_t*>(base + kObjectArrayRva) : nullptr;
}

// The array item at index, or null outside the array or in a missing chunk.
const std::uint8_t* ItemAt(std::int32_t index) {
  const std::uint8_t* array = ObjectArrayBase();
  if (!array || index < 0 || index >= ReadAt<std::int32_t>(array, kElementCount)) return nullptr;
  std::int32_t chunk = index / kItemsPerChunk;
  if (chunk >= ReadAt<std::int32_t>(array, kChunkCount)) return nullptr;
  auto chunks = ReadAt<const std::uint8_t* const*>(array, kChunkTable);
  if (!chunks || !chunks[chunk]) return nullptr;
  return chunks[chunk] + static_cast<std::size_t>(index % kItemsPerChunk) * kItemSize;
}

bool CheckLive(const Object* object) {
  const std::uint8_t* item = ItemAt(ReadAt<std::int32_t>(object, kIndex));
  if (!item || ReadAt<const Object*>(item, kItemObject) != object) return false;
  if (ReadAt<std::int32_t>(item, kItemFlags) & kItemDeadFlags) return false;
  return (ReadAt<std::uint32_t>(object, kFlags) & kBeingDestroyedFlags) == 0;
}

// Calls fn(object) for every object in the array, in index order, until it returns true.
template <typename F>
Object* FirstObject(F&& fn) {
  const std::uint8_t* array = ObjectArrayBase();
  if (!array) return nullptr;
  std::int32_t count = ReadAt<std::int32_t>(array, kElementCount);
  std::int32_t chunkCount = ReadAt<std::int32_t>(array, kChunkCount);
  auto chunks = ReadAt<const std::uint8_t* const*>(array, kChunkTable);
  if (!chunks) return nullptr;
  for (std::int32_t chunk = 0; chunk < chunkCount && chunk * kItemsPerChunk < count; ++chunk) {
    const std::uint8_t* items = chunks[chunk];
    if (!items) continue;
    std::int32_t end = std::min(kItemsPerChunk, count - chunk * kItemsPerChunk);
    for (std::int32_t i = 0; i < end; ++i) {
      const std::uint8_t* item = items + static_cast<std::size_t>(i) * kItemSize;
      auto* object = ReadAt<Object*>(item, kItemObject);
      if (object && fn(object, ReadAt<std::int32_t>(item, kItemFlags))) return object;
    }
  }
  return nullptr;
}

bool IsPackage(const Object* object) {
  const Class* cls = object ? ClassOf(object) : nullptr;
  return cls && (CastFlagsOf(cls) & kCastPackage);
}

bool IsFunction(const Object* object) {
  const Class* cls = ClassOf(object);
  return cls && (CastFlagsOf(cls) & kCastFunction);
}

bool IsClassObject(const Object* object) {
  const Class* cls = object ? ClassOf(object) : nullptr;
  return cls && (CastFlagsOf(cls) & kCastClass);
}

// A soft reference over a path, with the storage its sub-path points into.
struct SoftReference {
  std::u16string subPath;
  SoftObjectRef ref;
};

// Splits at the first ':' into asset path and sub-path (possibly empty).
void BuildSoftReference(std::string_view path, SoftReference& out) {
  std::size_t colon = path.find(':');
  std::string_view asset = path.substr(0, colon);
  std::string_view sub = colon == std::string_view::npos ? std::string_view() : path.substr(colon + 1);
  out.ref = SoftObjectRef{};
  out.ref.assetPath = ToEngineName(asset);
  out.subPath.clear();
  if (!sub.empty() && Utf16FromUtf8(sub, out.subPath)) {
    out.subPath.push_back(u'\0');
    out.ref.subPath.data = out.subPath.data();
    out.ref.subPath.count = out.ref.subPath.capacity = static_cast<std::int32_t>(out.subPath.size());
  }
}

}  // namespace

// ---------------------------------------------------------------- fields

Class* ClassOf(const Object* object) { return ReadAt<Class*>(object, kClass); }
Object* OuterOf(const Object* object) { return ReadAt<Object*>(object, kOuter); }
Class* SuperOf(const Class* cls) { return ReadAt<Class*>(cls, kSuper); }
std::uint64_t CastFlagsOf(const Class* cls) { return ReadAt<std::uint64_t>(cls, kCastFlags); }
Object* DefaultObjectOf(const Class* cls) { return ReadAt<Object*>(cls, kDefaultObject); }
EngineName NameOf(const Object* object) { return ReadAt<EngineName>(object, kName); }

// ---------------------------------------------------------------- the object test

bool IsValidObject(const Object* object) {
  if (!object) return false;
  return platform::Guarded([object] { return CheckLive(object); });
}

Object* ObjectAt(std::int32_t index) {
  Object* found = nullptr;
  platform::Guarded([&] {
    const std::uint8_t* item = ItemAt(index);
    found = item ? ReadAt<Object*>(item, kItemObject) : nullptr;
    return true;
  });
  return IsValidObject(found) ? found : nullptr;
}

Object* Resolve(WeakObjectRef ref) { return ref.index > 0 ? ObjectAt(ref.index) : nullptr; }

bool IsA(const Object* object, const Class* cls) {
  if (!object || !cls) return false;
  const Class* own = ClassOf(object);
  if (!own) return false;
  std::int32_t depth = ReadAt<std::int32_t>(cls, kChainDepth);
  if (depth < 0 || depth > ReadAt<std::int32_t>(own, kChainDepth)) return false;
  auto chain = ReadAt<const void* const*>(own, kBaseChain);
  return chain && chain[depth] == reinterpret_cast<const std::uint8_t*>(cls) + kBaseChain;
}

bool IsDefaultObject(const Object* object) {
  return object && (ReadAt<std::uint32_t>(object, kFlags) & kDefaultObjectFlag);
}

std::int32_t ObjectCount() {
  std::int32_t count = 0;
  platform::Guarded([&] {
    const std::uint8_t* array = ObjectArrayBase();
    count = array ? ReadAt<std::int32_t>(array, kElementCount) : 0;
    return true;
  });
  return count;
}

// ---------------------------------------------------------------- names

std::string NameText(EngineName name) {
  std::uintptr_t base = platform::HostBase();
  if (!base) return {};
  char16_t buffer[kNameBufferUnits];
  EngineString text{buffer, 0, static_cast<std::int32_t>(kNameBufferUnits)};
  using NameToText = void (*)(const EngineName*, EngineString*);
  reinterpret_cast<NameToText>(base + kNameToTextRva)(&name, &text);
  if (!text.data || text.count <= 0 || text.count > text.capacity) return {};
  return EngineTextToUtf8(text.data, static_cast<std::size_t>(text.count - 1));
}

std::string ObjectName(const Object* object) { return object ? NameText(NameOf(object)) : "None"; }

std::string ShortName(const Object* object) {
  std::string name = ObjectName(object);
  std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string ClassName(const Object* object) {
  const Class* cls = object ? ClassOf(object) : nullptr;
  return cls ? ObjectName(cls) : "None";
}

std::string PathName(const Object* object) {
  if (!object) return "None";
  const Object* chain[kMaxPathDepth];
  int n = 0;
  for (const Object* o = object; o && n < kMaxPathDepth; o = OuterOf(o)) chain[n++] = o;
  std::string path = ObjectName(chain[n - 1]);
  for (int i = n - 2; i >= 0; --i) {
    const Object* outer = OuterOf(chain[i]);
    // An object inside an asset that is not itself the asset: "Asset_C:Function".
    bool subObject = outer && !IsPackage(outer) && IsPackage(OuterOf(outer));
    path += subObject ? ':' : '.';
    path += ObjectName(chain[i]);
  }
  return path;
}

EngineName ToEngineName(std::string_view text) {
  std::u16string wide;
  if (text.empty() || !Utf16FromUtf8(text, wide)) return {};
  wide.push_back(u'\0');
  EngineString string{wide.data(), static_cast<std::int32_t>(wide.size()), static_cast<std::int32_t>(wide.size())};
  return KismetStringLibrary::Conv_StringToName(string);
}

std::string EngineStringToUtf8(const EngineString& string) {
  if (!string.data || string.count <= 0) return {};
  return EngineTextToUtf8(string.data, static_cast<std::size_t>(string.count - 1));
}

// ---------------------------------------------------------------- finding

Class* ScanForClass(std::string_view shortName) {
  return FirstObject([&](Object* object, std::int32_t) { return IsClassObject(object) && ShortName(object) == shortName; });
}

Class* FindClass(std::string_view shortName, ClassSlot& slot) {
  if (Class* cached = slot.value.load(std::memory_order_acquire)) return cached;
  Class* found = ScanForClass(shortName);
  if (found) slot.value.store(found, std::memory_order_release);
  return found;
}

Object* FindObject(std::string_view path) {
  if (path.empty()) return nullptr;
  SoftReference soft;
  BuildSoftReference(path, soft);
  if (soft.ref.assetPath.IsZero()) return nullptr;
  Object* found = KismetSystemLibrary::Conv_SoftObjectReferenceToObject(soft.ref);
  return IsValidObject(found) ? found : nullptr;
}

Class* FindClassByPath(std::string_view path) {
  Object* found = FindObject(path);
  return IsClassObject(found) ? found : nullptr;
}

Object* LoadObject(std::string_view path) {
  if (Object* found = FindObject(path)) return found;
  SoftReference soft;
  BuildSoftReference(path, soft);
  if (soft.ref.assetPath.IsZero()) return nullptr;
  Object* loaded = KismetSystemLibrary::LoadAsset_Blocking(soft.ref);
  if (IsValidObject(loaded)) return loaded;
  core::LogWarn(tag::kUe, "LoadObject failed: {}", path);
  return nullptr;
}

Function* FindFunction(const Object* object, std::string_view functionName) {
  if (!IsValidObject(object) || functionName.empty()) return nullptr;
  const Class* cls = ClassOf(object);
  if (!cls) return nullptr;
  EngineName wanted = ToEngineName(functionName);
  if (wanted.IsZero()) return nullptr;
  for (const Class* c = cls; c; c = SuperOf(c))
    for (Object* child = ReadAt<Object*>(c, kChildren); child; child = ReadAt<Object*>(child, kNext))
      if (IsFunction(child) && NameOf(child) == wanted) return child;
  return nullptr;
}

Function* FindFunctionIn(const Class* cls, std::string_view declaringClassName, std::string_view functionName) {
  for (const Class* c = cls; c; c = SuperOf(c)) {
    if (ShortName(c) != declaringClassName) continue;
    for (Object* child = ReadAt<Object*>(c, kChildren); child; child = ReadAt<Object*>(child, kNext))
      if (IsFunction(child) && ShortName(child) == functionName) return child;
  }
  return nullptr;
}

// ---------------------------------------------------------------- the world

Object* GetEngine() {
  ObjectsState& s = State();
  if (Object* cached = s.engine.load(std::memory_order_acquire)) return cached;
  Class* engineClass = FindClass("Engine", s.engineClass);
  if (!engineClass) return nullptr;
  Object* found = FirstObject([&](Object* object, std::int32_t itemFlags) {
    return (itemFlags & kItemDeadFlags) == 0 && !IsDefaultObject(object) && IsA(object, engineClass);
  });
  if (found) s.engine.store(found, std::memory_order_release);
  return found;
}

Object* GetWorld() {
  if (Object* engine = GetEngine()) {
    auto* viewport = ReadAt<Object*>(engine, kEngineGameViewport);
    if (IsValidObject(viewport)) {
      auto* world = ReadAt<Object*>(viewport, kViewportWorld);
      if (IsValidObject(world)) return world;
    }
  }
  std::uintptr_t base = platform::HostBase();
  if (!base) return nullptr;
  auto* fallback = ReadAt<Object*>(reinterpret_cast<const void*>(base + kWorldPointerRva), 0);
  return IsValidObject(fallback) ? fallback : nullptr;
}

Object* GetGameInstance() {
  Object* world = GetWorld();
  if (!world) return nullptr;
  auto* instance = ReadAt<Object*>(world, kWorldGameInstance);
  return IsValidObject(instance) ? instance : nullptr;
}

Object* GetLocalPlayerController() {
  Object* instance = GetGameInstance();
  if (!instance) return nullptr;
  auto players = ReadAt<EngineArray<Object*>>(instance, kGameInstanceLocalPlayers);
  if (players.count <= 0 || !players.data) return nullptr;
  Object* player = players.data[0];
  if (!IsValidObject(player)) return nullptr;
  auto* controller = ReadAt<Object*>(player, kLocalPlayerController);
  return IsValidObject(controller) ? controller : nullptr;
}

Object* GetLocalPlayerCharacter() {
  Object* controller = GetLocalPlayerController();
  if (!controller) return nullptr;
  auto* character = ReadAt<Object*>(controller, kControllerCharacter);
  if (!IsValidObject(character)) return nullptr;
  ObjectsState& s = State();
  Class* cls = s.playerCharacterClass;
  if (!IsValidObject(cls) || !IsClassObject(cls) || NameOf(cls) != s.playerCharacterClassName) {
    cls = FindClassByPath(kPlayerCharacterClassPath);
    s.playerCharacterClass = cls;
    if (cls) s.playerCharacterClassName = NameOf(cls);
  }
  return cls && IsA(character, cls) ? character : nullptr;
}

// ---------------------------------------------------------------- other

Object* SpawnActor(const Class* cls, const Vector& location, const Rotator& rotation) {
  Object* world = GetWorld();
  if (!world || !IsValidObject(cls) || !IsClassObject(cls)) return nullptr;
  Transform transform;
  transform.rotation = QuatFromRotator(rotation);
  transform.translation = location;
  transform.scale = Vector{1, 1, 1};
  constexpr std::uint8_t kAlwaysSpawnIgnoringCollisions = 1;
  Object* actor = GameplayStatics::BeginDeferredActorSpawnFromClass(world, const_cast<Class*>(cls), transform,
                                                                    kAlwaysSpawnIgnoringCollisions, nullptr);
  if (!actor) {
    core::LogWarn(tag::kUe, "BeginDeferredActorSpawnFromClass failed for {}", PathName(cls));
    return nullptr;
  }
  return GameplayStatics::FinishSpawningActor(actor, transform);
}

void SeedGameRandom(std::uint32_t seed) {
  static const platform::SrandFn srand = platform::GameRuntimeSrand();
  if (srand) srand(seed);
}

}  // namespace bh::engine
