// Objects: allocation with the hidden header, the chunked object array at its
// fixed offset, the path index, garbage collection with index reuse, packages
// and classes (base chains, cast flags, default objects, unload and reload).
//
// The array's chunk table is allocated once at its full size and chunks are
// never freed, so a reader on another thread never sees memory go away under
// it; an item is written before the element count that covers it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "standin/internal.h"

namespace standin {
namespace {

constexpr std::int32_t kMaxChunks = 64;  // 4M objects

struct ObjectsState {
  HANDLE heap = HeapCreate(0, 0, 0);
  std::vector<std::int32_t> freeIndices;  // last freed is reused first
  std::unordered_map<std::wstring, UObject*> byPath;
  std::unordered_map<std::wstring, UClass*> classes;  // loaded classes by short name
  std::unordered_map<std::wstring, UObject*> packages;
  std::unordered_map<std::wstring, std::function<UClass*()>> loaders;
  std::unordered_map<const UClass*, std::int32_t> nameCounters;
  std::int32_t live = 0;
  void (*freeListener)(UObject*) = nullptr;
};
ObjectsState& State() {
  static ObjectsState* state = new ObjectsState();
  return *state;
}

bool IsPackage(const UObject* o) { return o && o->cls && (o->cls->castFlags & kCastPackage); }

std::int32_t AllocateIndex() {
  ObjectsState& s = State();
  if (!s.freeIndices.empty()) {
    std::int32_t index = s.freeIndices.back();
    s.freeIndices.pop_back();
    return index;
  }
  FChunkedFixedUObjectArray& a = ObjectArray();
  std::int32_t index = a.numElements;
  if (index >= a.maxElements) detail::Fatal("object array full");
  std::int32_t chunk = index / kItemsPerChunk;
  if (chunk >= a.numChunks) {
    a.chunks[chunk] = static_cast<FUObjectItem*>(
        VirtualAlloc(nullptr, sizeof(FUObjectItem) * kItemsPerChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!a.chunks[chunk]) detail::Fatal("out of memory for an object array chunk");
    std::atomic_ref<std::int32_t>(a.numChunks).store(chunk + 1, std::memory_order_release);
  }
  return index;
}

void Release(UObject* object) {
  detail::ObjectExtra& extra = detail::Extra(object);
  bool paged = extra.paged;
  void* memory = &extra;
  extra.~ObjectExtra();
  if (paged) VirtualFree(memory, 0, MEM_RELEASE);
  else HeapFree(State().heap, 0, memory);
}

void CollectChildren(UStruct* s, std::vector<UObject*>& out) {
  for (UField* f = s->children; f; f = f->next) {
    out.push_back(f);
    if (f->cls && (f->cls->castFlags & kCastStruct)) CollectChildren(static_cast<UStruct*>(static_cast<UObject*>(f)), out);
  }
}

}  // namespace

FChunkedFixedUObjectArray& ObjectArray() { return *AtRva<FChunkedFixedUObjectArray>(rva::kObjectArray); }

void detail::InitObjectArray() {
  FChunkedFixedUObjectArray& a = ObjectArray();
  a.chunks = static_cast<FUObjectItem**>(EngineAlloc(sizeof(FUObjectItem*) * kMaxChunks));
  a.maxChunks = kMaxChunks;
  a.maxElements = kMaxChunks * kItemsPerChunk;
}

void detail::PublishWorldPointer(UWorld* world) { *AtRva<UWorld*>(rva::kWorldPointer) = world; }
void detail::SetFreeListener(void (*listener)(UObject*)) { State().freeListener = listener; }

void* detail::EngineAlloc(std::size_t bytes) {
  void* p = HeapAlloc(State().heap, HEAP_ZERO_MEMORY, bytes ? bytes : 1);
  if (!p) Fatal("out of engine memory");
  return p;
}

FUObjectItem* ItemAt(std::int32_t index) {
  FChunkedFixedUObjectArray& a = ObjectArray();
  if (index < 0 || index >= a.numElements || !a.chunks) return nullptr;
  FUObjectItem* chunk = a.chunks[index / kItemsPerChunk];
  return chunk ? &chunk[index % kItemsPerChunk] : nullptr;
}

std::int32_t LiveObjectCount() { return State().live; }

std::uint32_t InstanceSize(const UClass* cls) {
  if (!cls || !detail::Extra(cls).classInfo) return sizeof(UClass);  // the core classes while they boot
  return detail::Info(cls).instanceSize;
}

UObject* NewObject(UClass* cls, UObject* outer, std::wstring_view name, const NewObjectOptions& options) {
  ObjectsState& s = State();
  std::uint32_t size = std::max<std::uint32_t>(InstanceSize(cls), sizeof(UObject));
  std::size_t total = detail::kExtraBytes + size;
  void* memory = options.pagedMemory
                     ? VirtualAlloc(nullptr, total, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                     : HeapAlloc(s.heap, HEAP_ZERO_MEMORY, total);
  if (!memory) detail::Fatal("out of memory for an object");
  auto* extra = new (memory) detail::ObjectExtra();
  extra->bytes = size;
  extra->paged = options.pagedMemory;
  extra->findable = options.findable;
  auto* object = reinterpret_cast<UObject*>(static_cast<std::uint8_t*>(memory) + detail::kExtraBytes);

  object->vtable = cls && detail::Extra(cls).classInfo ? detail::Info(cls).vtable : detail::ObjectVTable();
  object->flags = options.flags;
  object->cls = cls;
  object->outer = outer;
  if (!name.empty()) {
    object->name = MakeName(name);
  } else {
    FName base = cls ? cls->name : MakeName(L"Object");
    object->name = FName{base.index, ++s.nameCounters[cls]};
  }

  std::int32_t index = AllocateIndex();
  object->index = index;
  FChunkedFixedUObjectArray& a = ObjectArray();
  FUObjectItem& item = a.chunks[index / kItemsPerChunk][index % kItemsPerChunk];
  item.flags = 0;
  item.serialNumber++;
  std::atomic_ref<UObject*>(item.object).store(object, std::memory_order_release);
  if (index >= a.numElements) std::atomic_ref<std::int32_t>(a.numElements).store(index + 1, std::memory_order_release);

  if (options.findable && cls) s.byPath.emplace(PathOf(object), object);
  ++s.live;
  return object;
}

std::wstring PathOf(const UObject* object) {
  if (!object) return L"None";
  const UObject* chain[64];
  int n = 0;
  for (const UObject* o = object; o && n < 64; o = o->outer) chain[n++] = o;
  std::wstring path = NameText(chain[n - 1]->name);
  for (int i = n - 2; i >= 0; --i) {
    const UObject* outer = chain[i + 1];
    // A sub-object of an asset (a function of a class) is joined with ':'.
    bool subObject = !IsPackage(outer) && IsPackage(outer->outer);
    path += subObject ? L':' : L'.';
    path += NameText(chain[i]->name);
  }
  return path;
}

UObject* FindByPath(std::wstring_view path) {
  auto it = State().byPath.find(std::wstring(path));
  return it == State().byPath.end() ? nullptr : it->second;
}

void detail::RebuildPathIndex() {
  ObjectsState& s = State();
  s.byPath.clear();
  FChunkedFixedUObjectArray& a = ObjectArray();
  for (std::int32_t i = 0; i < a.numElements; ++i) {
    UObject* o = ItemAt(i)->object;
    if (o && Extra(o).findable) s.byPath.emplace(PathOf(o), o);
  }
}

void MarkPendingKill(UObject* object) {
  if (FUObjectItem* item = object ? ItemAt(object->index) : nullptr) item->flags |= kItemPendingKill;
}

void CollectGarbage() {
  ObjectsState& s = State();
  FChunkedFixedUObjectArray& a = ObjectArray();
  std::vector<UObject*> doomed;
  for (std::int32_t i = 0; i < a.numElements; ++i) {
    FUObjectItem* item = ItemAt(i);
    if (item->object && (item->flags & (kItemPendingKill | kItemUnreachable))) doomed.push_back(item->object);
  }
  // Paths first: an outer may go in the same sweep.
  std::vector<std::wstring> paths;
  for (UObject* o : doomed) paths.push_back(detail::Extra(o).findable ? PathOf(o) : std::wstring());
  for (std::size_t i = 0; i < doomed.size(); ++i) {
    UObject* o = doomed[i];
    if (s.freeListener) s.freeListener(o);
    if (!paths[i].empty()) {
      auto it = s.byPath.find(paths[i]);
      if (it != s.byPath.end() && it->second == o) s.byPath.erase(it);
    }
    o->flags |= kObjectBeginDestroyed | kObjectFinishDestroyed;
    FUObjectItem* item = ItemAt(o->index);
    std::atomic_ref<UObject*>(item->object).store(nullptr, std::memory_order_release);
    item->flags = 0;
    s.freeIndices.push_back(o->index);
    --s.live;
  }
  for (UObject* o : doomed) Release(o);
}

// ---------------------------------------------------------------- packages and classes

UObject* Package(std::wstring_view name) {
  ObjectsState& s = State();
  auto it = s.packages.find(std::wstring(name));
  if (it != s.packages.end()) return it->second;
  UObject* package = NewObject(detail::Core().package, nullptr, name);
  s.packages.emplace(std::wstring(name), package);
  return package;
}

UClass* DefineClass(const ClassSpec& spec) {
  ObjectsState& s = State();
  UClass* meta = spec.blueprint ? detail::Core().blueprintClass : detail::Core().cls;
  auto* cls = static_cast<UClass*>(static_cast<UObject*>(NewObject(meta, spec.package, spec.name)));
  auto info = std::make_unique<detail::ClassInfo>();
  std::uint64_t castFlags = (spec.parent ? spec.parent->castFlags : 0) | spec.castFlags;
  info->instanceSize = spec.instanceSize ? spec.instanceSize : InstanceSize(spec.parent);
  info->vtable = (castFlags & kCastActor) ? detail::ActorVTable() : detail::ObjectVTable();
  info->blueprint = spec.blueprint;
  detail::Extra(cls).classInfo = std::move(info);

  cls->super = spec.parent;
  cls->castFlags = castFlags;
  cls->chainDepth = spec.parent ? spec.parent->chainDepth + 1 : 0;
  cls->baseChain = static_cast<void**>(detail::EngineAlloc(sizeof(void*) * (cls->chainDepth + 1)));
  for (std::int32_t i = 0; i < cls->chainDepth; ++i) cls->baseChain[i] = spec.parent->baseChain[i];
  cls->baseChain[cls->chainDepth] = &cls->baseChain;
  cls->propertiesSize = static_cast<std::int32_t>(detail::Info(cls).instanceSize);
  cls->minAlignment = 16;
  s.classes[spec.name] = cls;

  cls->defaultObject = NewObject(cls, spec.package, L"Default__" + spec.name, {.flags = kObjectDefault});
  return cls;
}

UClass* ClassNamed(std::wstring_view shortName) {
  auto it = State().classes.find(std::wstring(shortName));
  return it == State().classes.end() ? nullptr : it->second;
}

bool IsA(const UObject* object, const UClass* cls) {
  if (!object || !cls) return false;
  for (const UStruct* c = object->cls; c; c = c->super)
    if (c == cls) return true;
  return false;
}

UClass* DefineReloadableClass(const std::wstring& name, std::function<UClass*()> loader) {
  State().loaders[name] = loader;
  return loader();
}

void RegisterReloadableClass(const std::wstring& name, std::function<UClass*()> loader) {
  State().loaders[name] = std::move(loader);
}

UClass* LoadClass(const std::wstring& name) {
  if (UClass* loaded = ClassNamed(name)) return loaded;
  auto it = State().loaders.find(name);
  return it == State().loaders.end() ? nullptr : it->second();
}

void UnloadClass(const std::wstring& name) {
  ObjectsState& s = State();
  UClass* cls = ClassNamed(name);
  if (!cls) return;
  std::vector<UObject*> doomed;
  FChunkedFixedUObjectArray& a = ObjectArray();
  for (std::int32_t i = 0; i < a.numElements; ++i) {
    UObject* o = ItemAt(i)->object;
    if (!o) continue;
    bool subclass = o->cls && (o->cls->castFlags & kCastClass) && IsA(o, detail::Core().cls) &&
                    [&] {
                      for (const UStruct* c = static_cast<const UStruct*>(o); c; c = c->super)
                        if (c == cls) return true;
                      return false;
                    }();
    if (IsA(o, cls) || subclass) doomed.push_back(o);
  }
  for (UObject* o : std::vector<UObject*>(doomed))
    if (o->cls && (o->cls->castFlags & kCastStruct)) CollectChildren(static_cast<UStruct*>(o), doomed);
  for (UObject* o : doomed) {
    MarkPendingKill(o);
    for (auto it = s.classes.begin(); it != s.classes.end();)
      it = it->second == o ? s.classes.erase(it) : std::next(it);
  }
  CollectGarbage();
}

}  // namespace standin
