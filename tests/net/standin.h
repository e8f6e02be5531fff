// The stand-in Steam inside a test process: a broker on a thread of this
// process, and the stand-in steam_api64.dll loaded and logged on as one
// account, as the game would have it. Other players are the broker's
// virtual accounts, driven by control commands.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "broker.h"
#include "core/gamethread.h"
#include "protocol.h"
#include "support/temp_folder.h"

namespace fwtest {

using Json = nlohmann::json;

inline std::uint64_t Account(std::uint64_t n) { return fwsteam::ExpandAccountId(n); }

struct VirtualMessage {
  std::uint64_t from;
  int channel;
  std::string hex;
  std::int64_t us;
};

class StandInSteam {
 public:
  StandInSteam() {
    EXPECT_TRUE(broker_.Start(0));
    SetEnvironmentVariableA("FWSTEAM_BROKER", std::to_string(broker_.Port()).c_str());
  }
  ~StandInSteam() {
    if (module_) {
      if (auto shutdown = reinterpret_cast<void (*)()>(GetProcAddress(module_, "SteamAPI_Shutdown"))) shutdown();
    }
  }

  std::uint16_t Port() const { return broker_.Port(); }

  // Loads steam_api64.dll from the bin folder (or a variant's folder under it).
  bool Load(const std::wstring& variant = L"") {
    std::wstring folder = BinFolder() + (variant.empty() ? L"" : L"\\steam-variants\\" + variant);
    module_ = LoadLibraryW((folder + L"\\steam_api64.dll").c_str());
    return module_ != nullptr;
  }
  // SteamAPI_Init as the game would call it, logged on as account n.
  bool Init(std::uint64_t account = 1) {
    SetEnvironmentVariableA("FWSTEAM_ACCOUNT", std::to_string(account).c_str());
    auto init = reinterpret_cast<bool (*)()>(GetProcAddress(module_, "SteamAPI_Init"));
    return init && init();
  }
  bool LoadAndInit(std::uint64_t account = 1) { return Load() && Init(account); }

  void RunCallbacks() {
    if (auto run = reinterpret_cast<void (*)()>(GetProcAddress(module_, "SteamAPI_RunCallbacks"))) run();
  }
  int SendCalls() {
    auto calls = reinterpret_cast<int (*)()>(GetProcAddress(module_, "FwSteamStandIn_SendCalls"));
    return calls ? calls() : -1;
  }

  template <typename... Args>
  Json Cmd(fmt::format_string<Args...> format, Args&&... args) {
    std::string line = fmt::format(format, std::forward<Args>(args)...);
    Json reply = Json::parse(broker_.Command(line));
    EXPECT_TRUE(reply.value("ok", false)) << line << " -> " << reply.dump();
    return reply;
  }

  // Messages that reached virtual account n since the last call.
  std::vector<VirtualMessage> Received(std::uint64_t n) {
    std::vector<VirtualMessage> out;
    Json reply = Cmd("vrecv {}", n);
    for (const Json& m : reply["messages"])
      out.push_back({m["from"].get<std::uint64_t>(), m["channel"].get<int>(), m["hex"].get<std::string>(),
                     m["us"].get<std::int64_t>()});
    return out;
  }

 private:
  fwsteam::Broker broker_;
  HMODULE module_ = nullptr;
};

// Makes the test thread the game thread.
struct OnGameThread {
  OnGameThread() { bh::core::SetGameThreadId(bh::core::platform::CurrentThreadId()); }
};

// Calls step (a frame) every few milliseconds until done() or the time is up.
inline bool PumpUntil(const std::function<void()>& step, const std::function<bool()>& done, int timeoutMs = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    step();
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

inline void PumpFor(const std::function<void()>& step, int ms) {
  PumpUntil(step, [] { return false; }, ms);
}

}  // namespace fwtest
