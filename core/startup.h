// Start-up: the exported entry, the initialisation thread, the OnReady
// registry and the two start-up waves; the mod's identity constants.
//
// Offers: ModName/ModVersion/ModAuthor, GameBuildId, RegisterOnReady, Start
// (the body of the exported Fenwarden_Start), InitThread.
// Needs: config, log, paths, the game-thread queue, engine readiness, hooks.
// Threads: Start on the loader's thread; RegisterOnReady from any thread;
// GameBuildId from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace bh::core {

inline constexpr char ModName[] = "Fenwarden";
inline constexpr char ModVersion[] = "1.0.2";
inline constexpr char ModAuthor[] = "Varrow";
inline constexpr char BuildFlavour[] = "release";

// "<exe size>-<link stamp as 8 lower-case hex digits>", or "unknown" when the
// executable's path cannot be had. Computed once per process.
const std::string& GameBuildId();
// The formatting of GameBuildId from its two parts.
std::string FormatGameBuildId(unsigned long long fileSize, std::uint32_t timeDateStamp);
// Computes the id of an executable file and the stamp of a loaded image
// (module base); an unreadable file gives size 0.
std::string ComputeGameBuildId(const std::wstring& exePath, const void* imageBase);

// Before the engine is ready: queued; afterwards: posted to the game thread at once.
void RegisterOnReady(std::function<void()> handler);

// Fenwarden_Start: runs once; a second call returns at once.
void Start(std::int32_t gameThreadId);

// The initialisation thread's body: waits for the engine, installs the
// detours, fires OnReady and confirms the pump.
#if defined(_WIN32)
unsigned long __stdcall InitThread(void* unused);
#endif

// Outcome of the engine wait (0..4), and its text in the give-up line.
enum class EngineReadiness : int { ObjectsEmpty = 0, NoEngine = 1, NoViewport = 2, Ready = 3, Fault = 4 };
const char* EngineReadinessText(EngineReadiness state);

namespace testing {
// Fires the OnReady registry as the initialisation thread does; returns the
// number of handlers posted.
std::size_t FireOnReady();
std::size_t PendingOnReadyCount();
bool PumpConfirmed();
}  // namespace testing

}  // namespace bh::core
