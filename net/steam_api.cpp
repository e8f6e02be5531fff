// The binding: looks the flat entries up by name into a scratch table and
// publishes it once every required one is there and the five interfaces answer.
#include "net/steam_api.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "core/log_tags.h"
#include "net/platform.h"

namespace bh::net {
namespace {

using steam::SteamApi;

struct ExportEntry {
  const char* name;
  std::size_t offset;  // of its function pointer in SteamApi
  bool required;
};

#define FW_EXPORT(name, field, required) {name, offsetof(SteamApi, field), required}
constexpr ExportEntry kExports[kSteamExportCount] = {
    FW_EXPORT("SteamAPI_SteamMatchmaking_v009", SteamMatchmaking, true),
    FW_EXPORT("SteamAPI_SteamNetworkingMessages_SteamAPI_v002", SteamNetworkingMessages, true),
    FW_EXPORT("SteamAPI_SteamFriends_v018", SteamFriends, true),
    FW_EXPORT("SteamAPI_SteamUser_v023", SteamUser, true),
    FW_EXPORT("SteamAPI_SteamUtils_v010", SteamUtils, true),
    FW_EXPORT("SteamAPI_RegisterCallback", RegisterCallback, true),
    FW_EXPORT("SteamAPI_UnregisterCallback", UnregisterCallback, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_CreateLobby", CreateLobby, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_JoinLobby", JoinLobby, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_LeaveLobby", LeaveLobby, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_GetLobbyOwner", GetLobbyOwner, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_GetNumLobbyMembers", GetNumLobbyMembers, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_GetLobbyMemberByIndex", GetLobbyMemberByIndex, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_SetLobbyData", SetLobbyData, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_GetLobbyData", GetLobbyData, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_RequestLobbyData", RequestLobbyData, true),
    FW_EXPORT("SteamAPI_ISteamNetworkingMessages_SendMessageToUser", SendMessageToUser, true),
    FW_EXPORT("SteamAPI_ISteamNetworkingMessages_ReceiveMessagesOnChannel", ReceiveMessagesOnChannel, true),
    FW_EXPORT("SteamAPI_ISteamNetworkingMessages_AcceptSessionWithUser", AcceptSessionWithUser, true),
    FW_EXPORT("SteamAPI_ISteamNetworkingMessages_CloseSessionWithUser", CloseSessionWithUser, true),
    FW_EXPORT("SteamAPI_SteamNetworkingMessage_t_Release", ReleaseMessage, true),
    FW_EXPORT("SteamAPI_SteamNetworkingIdentity_SetSteamID64", IdentitySetSteamID64, true),
    FW_EXPORT("SteamAPI_SteamNetworkingIdentity_GetSteamID64", IdentityGetSteamID64, true),
    FW_EXPORT("SteamAPI_ISteamFriends_GetPersonaName", GetPersonaName, true),
    FW_EXPORT("SteamAPI_ISteamFriends_GetFriendCount", GetFriendCount, true),
    FW_EXPORT("SteamAPI_ISteamFriends_GetFriendByIndex", GetFriendByIndex, true),
    FW_EXPORT("SteamAPI_ISteamFriends_GetFriendGamePlayed", GetFriendGamePlayed, true),
    FW_EXPORT("SteamAPI_ISteamFriends_GetFriendPersonaName", GetFriendPersonaName, true),
    FW_EXPORT("SteamAPI_ISteamFriends_SetRichPresence", SetRichPresence, true),
    FW_EXPORT("SteamAPI_ISteamFriends_ClearRichPresence", ClearRichPresence, true),
    FW_EXPORT("SteamAPI_ISteamUser_GetSteamID", GetSteamID, true),
    FW_EXPORT("SteamAPI_ISteamUtils_IsAPICallCompleted", IsAPICallCompleted, true),
    FW_EXPORT("SteamAPI_ISteamUtils_GetAPICallResult", GetAPICallResult, true),
    FW_EXPORT("SteamAPI_ISteamMatchmaking_GetLobbyMemberLimit", GetLobbyMemberLimit, false),
};
#undef FW_EXPORT

struct BindingState {
  std::mutex lock;  // serialises bind attempts; any thread
  SteamApi table{};
  std::atomic<bool> ready{false};  // set once, after `table` is complete
  bool incomplete = false;         // under lock
  bool warnedNoModule = false;     // under lock
  bool warnedNotReady = false;     // under lock
};

// Never destroyed: teardown code may still ask for the table.
BindingState& Binding() {
  static BindingState* state = new BindingState();
  return *state;
}

const char* TrueFalse(const void* p) { return p ? "true" : "false"; }

}  // namespace

const char* SteamExportName(int index) {
  return index >= 0 && index < kSteamExportCount ? kExports[index].name : nullptr;
}

bool BindSteamApi() {
  BindingState& b = Binding();
  if (b.ready.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> guard(b.lock);
  if (b.ready.load(std::memory_order_relaxed)) return true;
  if (b.incomplete) return false;

  void* module = platform::FindSteamModule();
  if (!module) {
    if (!b.warnedNoModule) {
      b.warnedNoModule = true;
      core::LogWarn(tag::kNet, "steam_api64.dll is not loaded in this process; Steam transport unavailable");
    }
    return false;
  }

  SteamApi scratch{};
  bool missing = false;
  for (const ExportEntry& e : kExports) {
    void* fn = platform::FindExport(module, e.name);
    if (!fn) {
      if (e.required) {
        core::LogError(tag::kNet, "steam_api64.dll does not export {}", e.name);
        missing = true;
      } else {
        core::LogWarn(tag::kNet, "steam_api64.dll does not export optional {}", e.name);
      }
      continue;
    }
    std::memcpy(reinterpret_cast<char*>(&scratch) + e.offset, &fn, sizeof fn);
  }
  if (missing) {
    b.incomplete = true;
    core::LogError(tag::kNet, "Steam flat API incomplete; Steam networking disabled for this run");
    return false;
  }

  void* matchmaking = scratch.SteamMatchmaking();
  void* messages = scratch.SteamNetworkingMessages();
  void* friends = scratch.SteamFriends();
  void* user = scratch.SteamUser();
  void* utils = scratch.SteamUtils();
  if (matchmaking && messages && friends && user && utils) {
    scratch.matchmaking = matchmaking;
    scratch.messages = messages;
    scratch.friends = friends;
    scratch.user = user;
    scratch.utils = utils;
    b.table = scratch;
    b.ready.store(true, std::memory_order_release);
    core::LogInfo(tag::kNet, "Steam flat API ready");
    return true;
  }
  if (!b.warnedNotReady) {
    b.warnedNotReady = true;
    core::LogWarn(tag::kNet,
                  "Steam interfaces not ready (matchmaking={} messages={} friends={} user={} utils={}); is "
                  "SteamAPI initialized? will retry",
                  TrueFalse(matchmaking), TrueFalse(messages), TrueFalse(friends), TrueFalse(user), TrueFalse(utils));
  }
  return false;
}

const steam::SteamApi* SteamApiOrNull() {
  BindingState& b = Binding();
  return b.ready.load(std::memory_order_acquire) ? &b.table : nullptr;
}

bool SteamModuleLoaded() { return platform::FindSteamModule() != nullptr; }

void testing::ResetSteamBinding() {
  BindingState& b = Binding();
  std::lock_guard<std::mutex> guard(b.lock);
  b.ready.store(false);
  b.incomplete = b.warnedNoModule = b.warnedNotReady = false;
  b.table = {};
}

}  // namespace bh::net
