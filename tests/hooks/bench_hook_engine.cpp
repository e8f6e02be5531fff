// Benchmark (not a test): the time to enable and disable one hook, alone and
// with other threads running, under Wine or Windows. Run it with
//   scripts/wine-run.sh build/hooks-win/tests/bench_hook_engine.exe
// Figures are per operation (one enable or one disable); the ratios compare
// runs of this process against its own baseline with no other threads.
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "hooks/hook_engine.h"

namespace {

using IntFn = int (*)(int);
IntFn g_trampoline = nullptr;
int Detour(int x) { return g_trampoline(x); }

// Runs pairs of enable + disable; returns microseconds per operation.
double MicrosecondsPerToggle(void* target, int pairs) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < pairs; ++i) {
    if (MH_EnableHook(target) != MH_OK || MH_DisableHook(target) != MH_OK) std::abort();
  }
  const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  return us / (pairs * 2.0);
}

struct Workers {
  std::atomic<bool> stop{false};
  std::atomic<long long> calls{0};
  std::vector<std::thread> threads;
  Workers(int count, IntFn function) {
    for (int i = 0; i < count; ++i)
      threads.emplace_back([this, function] {
        long long n = 0;
        while (!stop.load(std::memory_order_relaxed)) n += function(static_cast<int>(n & 0xFF)) >= 0;
        calls += n;
      });
  }
  ~Workers() {
    stop = true;
    for (std::thread& t : threads) t.join();
  }
};

int Unrelated(int x) { return x + 1; }

// The part of each operation that is the platform's thread snapshot.
double MicrosecondsPerSnapshot(int count) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) entry.dwSize = sizeof(entry);
    CloseHandle(snapshot);
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / count;
}

}  // namespace

int main() {
  if (MH_Initialize() != MH_OK) return 1;
  auto* page = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
  // push rbx; mov eax, ecx; pop rbx; add eax, 1; ret
  const std::uint8_t code[] = {0x53, 0x89, 0xC8, 0x5B, 0x83, 0xC0, 0x01, 0xC3};
  std::memcpy(page, code, sizeof(code));
  const IntFn target = reinterpret_cast<IntFn>(page);
  if (MH_CreateHook(page, reinterpret_cast<void*>(&Detour), reinterpret_cast<void**>(&g_trampoline)) != MH_OK) return 1;

  constexpr int kPairs = 200;
  MicrosecondsPerToggle(page, 10);  // warm-up
  const double alone = MicrosecondsPerToggle(page, kPairs);
  std::printf("platform: %s\n", GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") ? "Wine" : "Windows");
  std::printf("enable/disable, no other threads:            %9.1f us per operation (baseline)\n", alone);
  const double snapshot = MicrosecondsPerSnapshot(kPairs);
  std::printf("  of which the thread snapshot alone:         %9.1f us (%4.2f of it)\n", snapshot, snapshot / alone);
  for (int threads : {1, 3, 8}) {
    double idle, busy, through;
    {
      // Threads that exist but sleep: the cost of enumerating and suspending them.
      std::vector<std::thread> sleepers;
      std::atomic<bool> stop{false};
      for (int i = 0; i < threads; ++i)
        sleepers.emplace_back([&] {
          while (!stop) Sleep(5);
        });
      idle = MicrosecondsPerToggle(page, kPairs);
      stop = true;
      for (auto& t : sleepers) t.join();
    }
    {
      Workers w(threads, &Unrelated);
      busy = MicrosecondsPerToggle(page, kPairs);
    }
    {
      Workers w(threads, target);
      through = MicrosecondsPerToggle(page, kPairs);
    }
    std::printf("%d other thread(s): sleeping %9.1f us (%5.1fx), spinning %9.1f us (%5.1fx), "
                "calling the target %9.1f us (%5.1fx)\n",
                threads, idle, idle / alone, busy, busy / alone, through, through / alone);
  }
  MH_RemoveHook(page);
  return 0;
}
