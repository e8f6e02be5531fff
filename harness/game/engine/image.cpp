// The image: one large zero-filled section of the main executable covering
// every fixed offset the game exposes, with small entry stubs written at the
// code offsets at boot. Each stub is a typical prologue instruction followed
// by an absolute jump to the C++ body, so an inline hook placed there has real
// instructions to relocate, and every call the engine makes goes through it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "standin/internal.h"

namespace standin {
namespace {

// Zero-initialised, so it lands in .bss: it costs no file bytes and is only
// committed where it is touched. It must be the main executable's, since the
// offsets count from the executable's load address.
constexpr std::size_t kImageBytes = 0x4C00000;
alignas(4096) unsigned char g_image[kImageBytes];

constexpr int kVTableSlots = 80;
void* g_objectVTable[kVTableSlots];
void* g_actorVTable[kVTableSlots];

struct BootState {
  bool booted = false;
  BootOptions options;
  std::uint32_t gameThread = 0;
  NativeEntry processInternal = nullptr;
  int (*rand)() = nullptr;
};
BootState& State() {
  static BootState* state = new BootState();
  return *state;
}

void UnexpectedVirtual() { detail::Fatal("a virtual function the stand-in does not implement was called"); }

// mov [rsp+8], rbx ; mov rax, imm64 ; jmp rax ; int3 padding
void WriteStub(std::uintptr_t at, const void* target) {
  auto* p = reinterpret_cast<std::uint8_t*>(at);
  const std::uint8_t prologue[] = {0x48, 0x89, 0x5C, 0x24, 0x08, 0x48, 0xB8};
  std::memcpy(p, prologue, sizeof prologue);
  std::memcpy(p + 7, &target, 8);
  p[15] = 0xFF;
  p[16] = 0xE0;
  std::memset(p + 17, 0xCC, 15);
}

void MakeExecutable(std::uintptr_t at) {
  DWORD old = 0;
  if (!VirtualProtect(reinterpret_cast<void*>(at & ~std::uintptr_t{0xFFF}), 0x1000, PAGE_EXECUTE_READWRITE, &old))
    detail::Fatal("VirtualProtect of the image's code page failed");
}

}  // namespace

void detail::Fatal(const char* what) {
  std::fprintf(stderr, "stand-in engine: %s\n", what);
  std::fflush(stderr);
  ExitProcess(3);
}

std::uintptr_t ImageBase() {
  static const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  return base;
}

void** detail::ObjectVTable() { return g_objectVTable; }
void** detail::ActorVTable() { return g_actorVTable; }
NativeEntry detail::ProcessInternalEntry() { return State().processInternal; }

void detail::LayOutImage(const BootOptions& options) {
  std::uintptr_t base = ImageBase();
  auto first = reinterpret_cast<std::uintptr_t>(g_image);
  if (base + rva::kNameToText < first || base + rva::kWorldPointer + 8 > first + kImageBytes)
    Fatal("the image section does not cover the engine offsets (is the engine linked into the main executable?)");

  struct Entry {
    std::uintptr_t rva;
    const void* body;
  };
  std::vector<Entry> entries = {
      {rva::kNameToText, reinterpret_cast<const void*>(&NameToTextImpl)},
      {rva::kProcessEvent, reinterpret_cast<const void*>(&ProcessEventImpl)},
      {options.processInternalRva, reinterpret_cast<const void*>(&ProcessInternalImpl)},
      {rva::kProcessLocalScriptFunction, reinterpret_cast<const void*>(&ProcessLocalScriptFunctionImpl)},
  };
  if (options.processEventRva != rva::kProcessEvent)
    entries.push_back({options.processEventRva, reinterpret_cast<const void*>(&ProcessEventImpl)});
  if (options.splitFuncVote)
    entries.push_back({rva::kSplitVoteProcessInternal, reinterpret_cast<const void*>(&ProcessInternalImpl)});
  for (const Entry& e : entries) {
    MakeExecutable(base + e.rva);
    WriteStub(base + e.rva, e.body);
  }
  FlushInstructionCache(GetCurrentProcess(), nullptr, 0);
  State().processInternal = reinterpret_cast<NativeEntry>(base + options.processInternalRva);

  for (int i = 0; i < kVTableSlots; ++i)
    g_objectVTable[i] = g_actorVTable[i] = reinterpret_cast<void*>(&UnexpectedVirtual);
  g_objectVTable[kProcessEventSlot] = reinterpret_cast<void*>(base + options.processEventRva);
  // Actors override ProcessEvent; the override ends in the base one.
  g_actorVTable[kProcessEventSlot] = reinterpret_cast<void*>(&ActorProcessEventImpl);
}

void Boot(const BootOptions& options) {
  BootState& s = State();
  if (s.booted) return;
  s.booted = true;
  s.options = options;
  s.gameThread = GetCurrentThreadId();
  // The game links the universal C runtime; code loaded into it finds it there.
  if (HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll"))
    s.rand = reinterpret_cast<int (*)()>(GetProcAddress(ucrt, "rand"));
  detail::LayOutImage(options);
  // An empty object array is a game whose object system is not up: the
  // header at its offset stays zero and nothing is built.
  if (options.emptyObjectArray) return;
  detail::InitObjectArray();
  detail::BuildWorld(options);
}

bool Booted() { return State().booted; }
const BootOptions& Options() { return State().options; }
std::uint32_t GameThreadId() { return State().gameThread; }

int GameRand() {
  auto rand = State().rand;
  if (!rand) detail::Fatal("ucrtbase.dll's rand is not available");
  return rand();
}

}  // namespace standin
