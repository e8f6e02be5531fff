// The stand-in engine's memory layouts: the structures the game exposes to
// code loaded into it, declared here on their own (never shared with the
// library under test) and pinned offset by offset.
//
// Offers: the fixed offsets from the executable's load address, the object,
// struct, function and class headers, the object array, FFrame, the engine
// world chain (engine, viewport client, world, game instance, local player,
// player controller) and the plain value types (names, arrays, vectors,
// transforms, soft references).
// Threads: plain data; see engine.h for who may touch what.
#pragma once

#include <cstddef>
#include <cstdint>

namespace standin {

// Offsets from the load address of the main executable.
namespace rva {
inline constexpr std::uintptr_t kNameToText = 0xFB0640;
inline constexpr std::uintptr_t kProcessEvent = 0x11A7AA0;
inline constexpr std::uintptr_t kProcessInternal = 0x11A7E40;
inline constexpr std::uintptr_t kProcessLocalScriptFunction = 0x11A7F50;
inline constexpr std::uintptr_t kObjectArray = 0x4A64260;
inline constexpr std::uintptr_t kWorldPointer = 0x4BA86B0;
// Where "another build" (the --other-build switch) puts ProcessInternal.
inline constexpr std::uintptr_t kOtherBuildProcessInternal = 0x11A7E90;
// Where the --moved-process-event switch puts the vtable's ProcessEvent (the
// code at kProcessEvent stays, as a stale address would).
inline constexpr std::uintptr_t kMovedProcessEvent = 0x11A7C10;
// The second ProcessInternal of the --split-vote switch: half of the first 32
// script functions point their Func here.
inline constexpr std::uintptr_t kSplitVoteProcessInternal = 0x11A7EE0;
}  // namespace rva

inline constexpr int kProcessEventSlot = 68;

// Object flags (UObject at 0x8).
inline constexpr std::uint32_t kObjectDefault = 0x10;
inline constexpr std::uint32_t kObjectBeginDestroyed = 0x8000;
inline constexpr std::uint32_t kObjectFinishDestroyed = 0x10000;
// Object array item flags.
inline constexpr std::int32_t kItemUnreachable = 0x10000000;
inline constexpr std::int32_t kItemPendingKill = 0x20000000;
// Function flags.
inline constexpr std::uint32_t kFuncFinal = 0x1;
inline constexpr std::uint32_t kFuncPublic = 0x20000;
inline constexpr std::uint32_t kFuncNative = 0x400;
inline constexpr std::uint32_t kFuncEvent = 0x800;
inline constexpr std::uint32_t kFuncStatic = 0x2000;
inline constexpr std::uint32_t kFuncBlueprintCallable = 0x4000000;
inline constexpr std::uint32_t kFuncBlueprintEvent = 0x8000000;
// Class cast flags (what a class is, including what its parents are).
inline constexpr std::uint64_t kCastField = 0x1;
inline constexpr std::uint64_t kCastStruct = 0x10;
inline constexpr std::uint64_t kCastClass = 0x20;
inline constexpr std::uint64_t kCastProperty = 0x8000;
inline constexpr std::uint64_t kCastFunction = 0x80000;
inline constexpr std::uint64_t kCastPackage = 0x400000000ull;
inline constexpr std::uint64_t kCastActor = 0x1000000000ull;
inline constexpr std::uint64_t kCastActorComponent = 0x20000000000ull;
inline constexpr std::uint64_t kCastSceneComponent = 0x40000000000ull;

struct FName {
  std::int32_t index;   // into the name table; 0 is "None"
  std::int32_t number;  // 0: no suffix; n: "_" and n - 1
  bool operator==(const FName&) const = default;
};
static_assert(sizeof(FName) == 8);
static_assert(offsetof(FName, number) == 4);

template <typename T>
struct TArray {
  T* data;
  std::int32_t count;
  std::int32_t max;
};
static_assert(sizeof(TArray<int>) == 16);
static_assert(offsetof(TArray<int>, count) == 8 && offsetof(TArray<int>, max) == 12);

// UTF-16 units, the terminating zero counted.
using FString = TArray<wchar_t>;
static_assert(sizeof(wchar_t) == 2, "engine strings are UTF-16");

struct FVector {
  float x, y, z;
};
struct FRotator {
  float pitch, yaw, roll;  // degrees
};
struct FVector2D {
  float x, y;
};
static_assert(sizeof(FVector) == 12 && alignof(FVector) == 4 && sizeof(FRotator) == 12);

struct alignas(16) FQuat {
  float x, y, z, w;
};
struct alignas(16) FTransform {
  FQuat rotation;
  FVector translation;
  float pad1C;
  FVector scale;
  float pad2C;
};
static_assert(sizeof(FTransform) == 48 && alignof(FTransform) == 16);
static_assert(offsetof(FTransform, translation) == 16 && offsetof(FTransform, scale) == 32);

struct FSoftObjectPtr {
  std::int32_t weakIndex;   // 0
  std::int32_t weakSerial;  // 0
  std::int32_t tag;         // -1
  std::int32_t pad0C;
  FName assetPathName;
  FString subPath;
};
static_assert(sizeof(FSoftObjectPtr) == 40);
static_assert(offsetof(FSoftObjectPtr, tag) == 8 && offsetof(FSoftObjectPtr, assetPathName) == 16 &&
              offsetof(FSoftObjectPtr, subPath) == 24);

// The engine's sweep result, copied whole; the stand-in fills time, location and the actor.
struct FHitResult {
  std::int32_t faceIndex;
  float time;
  float distance;
  FVector location;
  FVector impactPoint;
  FVector normal;
  FVector impactNormal;
  FVector traceStart;
  FVector traceEnd;
  float penetrationDepth;
  std::int32_t item;
  std::uint8_t elementIndex;
  std::uint8_t flags[3];
  FName boneName;
  FName myBoneName;
  std::int32_t physMaterial[2];
  std::int32_t actor[2];
  std::int32_t component[2];
};
static_assert(sizeof(FHitResult) == 0x88 && alignof(FHitResult) == 4);

struct UClass;
struct UFunction;
struct FFrame;

// The native entry of a function: (context object, frame, result address).
using NativeEntry = void (*)(struct UObject* context, FFrame* stack, void* result);
// UObject::ProcessEvent as it sits in the vtable.
using ProcessEventFn = void (*)(struct UObject* self, UFunction* function, void* params);

struct UObject {
  void** vtable;
  std::uint32_t flags;
  std::int32_t index;
  UClass* cls;
  FName name;
  UObject* outer;
};
static_assert(offsetof(UObject, vtable) == 0x0 && offsetof(UObject, flags) == 0x8 &&
              offsetof(UObject, index) == 0xC && offsetof(UObject, cls) == 0x10 &&
              offsetof(UObject, name) == 0x18 && offsetof(UObject, outer) == 0x20 && sizeof(UObject) == 0x28);

struct UField : UObject {
  UField* next;
};
static_assert(offsetof(UField, next) == 0x28);

struct UStruct : UField {
  void** baseChain;            // address of each ancestor's baseChain field, root first, then its own
  std::int32_t chainDepth;     // number of ancestors: its own index in baseChain
  std::int32_t pad3C;
  UStruct* super;              // parent class, or the overridden function
  UField* children;            // functions and properties declared here, newest first
  std::int32_t propertiesSize; // parameters and locals, bytes
  std::int32_t minAlignment;
  std::uint8_t pad58[0xB0 - 0x58];
};
static_assert(offsetof(UStruct, baseChain) == 0x30 && offsetof(UStruct, chainDepth) == 0x38 &&
              offsetof(UStruct, super) == 0x40 && offsetof(UStruct, children) == 0x48 && sizeof(UStruct) == 0xB0);

struct UFunction : UStruct {
  std::uint32_t functionFlags;
  std::uint8_t numParms;
  std::uint8_t padB5;
  std::uint16_t parmsSize;
  std::uint16_t returnValueOffset;  // 0xFFFF: none
  std::uint8_t padBA[0xD8 - 0xBA];
  NativeEntry func;
};
static_assert(offsetof(UFunction, functionFlags) == 0xB0 && offsetof(UFunction, returnValueOffset) == 0xB8 &&
              offsetof(UFunction, func) == 0xD8 && sizeof(UFunction) == 0xE0);

struct UClass : UStruct {
  std::uint8_t padB0[0xD0 - 0xB0];
  std::uint64_t castFlags;
  std::uint8_t padD8[0x118 - 0xD8];
  UObject* defaultObject;
};
static_assert(offsetof(UClass, castFlags) == 0xD0 && offsetof(UClass, defaultObject) == 0x118 &&
              sizeof(UClass) == 0x120);

struct FUObjectItem {
  UObject* object;
  std::int32_t flags;
  std::int32_t clusterRootIndex;
  std::int32_t serialNumber;
  std::int32_t pad14;
};
static_assert(sizeof(FUObjectItem) == 24 && offsetof(FUObjectItem, flags) == 8);

inline constexpr std::int32_t kItemsPerChunk = 65536;

struct FChunkedFixedUObjectArray {
  FUObjectItem** chunks;
  FUObjectItem* preAllocated;
  std::int32_t maxElements;
  std::int32_t numElements;
  std::int32_t maxChunks;
  std::int32_t numChunks;
};
static_assert(offsetof(FChunkedFixedUObjectArray, chunks) == 0x0 &&
              offsetof(FChunkedFixedUObjectArray, numElements) == 0x14 &&
              offsetof(FChunkedFixedUObjectArray, numChunks) == 0x1C);

// The script interpreter's stack frame.
struct FFrame {
  void* vtable;  // output device
  std::uint8_t pad08[8];
  UFunction* node;
  UObject* object;
  const void* code;  // the stand-in's script steps
  std::uint8_t* locals;
  void* mostRecentProperty;
  std::uint8_t* mostRecentPropertyAddress;
  std::uint8_t flowStack[0x30];
  FFrame* previousFrame;
  void* outParms;
};
static_assert(offsetof(FFrame, node) == 0x10 && offsetof(FFrame, object) == 0x18 && offsetof(FFrame, locals) == 0x28);

// The world chain.
struct UGameViewportClient;
struct UWorld;
struct UGameInstance;
struct ULocalPlayer;
struct APlayerController;

struct UEngine : UObject {
  std::uint8_t pad28[0x780 - 0x28];
  UGameViewportClient* gameViewport;
};
static_assert(offsetof(UEngine, gameViewport) == 0x780);

struct UGameViewportClient : UObject {
  std::uint8_t pad28[0x78 - 0x28];
  UWorld* world;
};
static_assert(offsetof(UGameViewportClient, world) == 0x78);

struct UWorld : UObject {
  std::uint8_t pad28[0x180 - 0x28];
  UGameInstance* gameInstance;
};
static_assert(offsetof(UWorld, gameInstance) == 0x180);

struct UGameInstance : UObject {
  std::uint8_t pad28[0x38 - 0x28];
  TArray<ULocalPlayer*> localPlayers;
};
static_assert(offsetof(UGameInstance, localPlayers) == 0x38 && offsetof(UGameInstance, localPlayers.count) == 0x40);

struct ULocalPlayer : UObject {
  std::uint8_t pad28[0x30 - 0x28];
  APlayerController* playerController;
};
static_assert(offsetof(ULocalPlayer, playerController) == 0x30);

struct APlayerController : UObject {
  std::uint8_t pad28[0x260 - 0x28];
  UObject* character;
};
static_assert(offsetof(APlayerController, character) == 0x260);

}  // namespace standin
