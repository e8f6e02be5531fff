// The host interface: where the game build keeps its engine data and code,
// and the layout of the engine structures Fenwarden reads.
//
// Offers: offsets from the game executable's load address, field offsets of
// objects, structs, functions, classes, the object array and the world chain,
// flag bits, and the engine's plain value types (names, arrays, strings,
// vectors, transforms, soft references, hit results).
// Nothing here checks that the offsets fit the running executable: a
// different build shows as the readiness probe never passing, or as faults
// that the object test and the guarded calls contain.
// Threads: plain data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bh::engine {

// An engine object. Never dereferenced as a C++ type: fields are read at the
// offsets below.
struct Object;
using Class = Object;
using Function = Object;

struct EngineName {
  std::int32_t index = 0;
  std::int32_t number = 0;
  bool IsZero() const { return index == 0 && number == 0; }
  bool operator==(const EngineName&) const = default;
};
static_assert(sizeof(EngineName) == 8 && alignof(EngineName) == 4);

template <typename T>
struct EngineArray {
  T* data = nullptr;
  std::int32_t count = 0;
  std::int32_t capacity = 0;
};
static_assert(sizeof(EngineArray<int>) == 16);

// UTF-16 units with the terminating zero counted.
using EngineString = EngineArray<char16_t>;

struct Vector {
  float x = 0, y = 0, z = 0;
};
struct Rotator {
  float pitch = 0, yaw = 0, roll = 0;  // degrees
};
struct Vector2 {
  float x = 0, y = 0;
};
struct alignas(16) Quat {
  float x = 0, y = 0, z = 0, w = 1;
};
// The engine's transform is a vectorised type: 16-byte aligned, so in a
// parameter block it starts at the next multiple of 16.
struct alignas(16) Transform {
  Quat rotation;
  Vector translation;
  float pad0 = 0;
  Vector scale{1, 1, 1};
  float pad1 = 0;
};
static_assert(sizeof(Vector) == 12 && sizeof(Rotator) == 12 && sizeof(Vector2) == 8);
static_assert(sizeof(Transform) == 48 && offsetof(Transform, translation) == 16 && offsetof(Transform, scale) == 32);

struct SoftObjectRef {
  std::int32_t weakIndex = 0;
  std::int32_t weakSerial = 0;
  std::int32_t tag = -1;
  std::int32_t pad = 0;
  EngineName assetPath;
  EngineString subPath;
};
static_assert(sizeof(SoftObjectRef) == 40 && offsetof(SoftObjectRef, assetPath) == 16 &&
              offsetof(SoftObjectRef, subPath) == 24);

// The engine's sweep result, kept whole and opaque (136 bytes, 4-byte aligned).
struct alignas(4) HitResult {
  std::uint8_t bytes[0x88] = {};
};
static_assert(sizeof(HitResult) == 0x88);

// A weak reference: the object's index and the serial of its array item.
struct WeakObjectRef {
  std::int32_t index = 0;
  std::int32_t serial = 0;
};

namespace layout {
// Offsets from the load address of the game executable.
inline constexpr std::uintptr_t kNameToTextRva = 0xFB0640;
inline constexpr std::uintptr_t kObjectArrayRva = 0x4A64260;
inline constexpr std::uintptr_t kWorldPointerRva = 0x4BA86B0;

inline constexpr int kProcessEventSlot = 68;

// object
inline constexpr std::size_t kVTable = 0x0;
inline constexpr std::size_t kFlags = 0x8;
inline constexpr std::size_t kIndex = 0xC;
inline constexpr std::size_t kClass = 0x10;
inline constexpr std::size_t kName = 0x18;
inline constexpr std::size_t kOuter = 0x20;
// field
inline constexpr std::size_t kNext = 0x28;
// struct
inline constexpr std::size_t kBaseChain = 0x30;
inline constexpr std::size_t kChainDepth = 0x38;
inline constexpr std::size_t kSuper = 0x40;
inline constexpr std::size_t kChildren = 0x48;
// function
inline constexpr std::size_t kFunctionFlags = 0xB0;
inline constexpr std::size_t kReturnValueOffset = 0xB8;
inline constexpr std::size_t kFunc = 0xD8;
// class
inline constexpr std::size_t kCastFlags = 0xD0;
inline constexpr std::size_t kDefaultObject = 0x118;
// object array
inline constexpr std::size_t kChunkTable = 0x0;
inline constexpr std::size_t kElementCount = 0x14;
inline constexpr std::size_t kChunkCount = 0x1C;
inline constexpr std::int32_t kItemsPerChunk = 65536;
inline constexpr std::size_t kItemSize = 24;
inline constexpr std::size_t kItemObject = 0x0;
inline constexpr std::size_t kItemFlags = 0x8;
// the world chain
inline constexpr std::size_t kEngineGameViewport = 0x780;
inline constexpr std::size_t kViewportWorld = 0x78;
inline constexpr std::size_t kWorldGameInstance = 0x180;
inline constexpr std::size_t kGameInstanceLocalPlayers = 0x38;  // array: data, then count at 0x40
inline constexpr std::size_t kLocalPlayerController = 0x30;
inline constexpr std::size_t kControllerCharacter = 0x260;

// object flags
inline constexpr std::uint32_t kDefaultObjectFlag = 0x10;
inline constexpr std::uint32_t kBeingDestroyedFlags = 0x8000 | 0x10000;
// object array item flags: unreachable or pending kill
inline constexpr std::int32_t kItemDeadFlags = 0x10000000 | 0x20000000;
// function flags
inline constexpr std::uint32_t kNativeFunction = 0x400;
inline constexpr std::uint16_t kNoReturnValue = 0xFFFF;
// class cast flags
inline constexpr std::uint64_t kCastClass = 0x20;
inline constexpr std::uint64_t kCastFunction = 0x80000;
inline constexpr std::uint64_t kCastPackage = 0x400000000ull;
inline constexpr std::uint64_t kCastActor = 0x1000000000ull;
}  // namespace layout

// Reads and writes of engine memory at a byte offset (unaligned-safe).
template <typename T>
T ReadAt(const void* base, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, sizeof(T));
  return value;
}
template <typename T>
void WriteAt(void* base, std::size_t offset, const T& value) {
  std::memcpy(static_cast<std::uint8_t*>(base) + offset, &value, sizeof(T));
}

}  // namespace bh::engine
