// Steam flat API binding: the process-wide table of Steam's flat C entry
// points, looked up by name in the steam_api64.dll that the game has loaded.
//
// Offers: the Steam layouts and constants the networking layer relies on,
// the SteamApi table, BindSteamApi, SteamApiOrNull, SteamModuleLoaded.
// Needs: Log; the platform's module lookup (platform.h).
// Threads: any thread may bind; the table is written once, under the binding
// mutex, and read without a lock afterwards.
//
// The layouts are Steam's public ones, with Steam's Windows packing (8). Only
// what this code reads is declared; the stand-in Steam keeps its own
// declarations, so that a slip on either side fails a test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bh::net {
class CCallbackBase;
}

namespace bh::net::steam {

using SteamId = std::uint64_t;
using ApiCall = std::uint64_t;  // 0 = the call was not started

// Callback and call-result ids.
inline constexpr int kSessionRequestId = 1251;   // SteamNetworkingMessagesSessionRequest_t
inline constexpr int kLobbyJoinRequestedId = 333;  // GameLobbyJoinRequested_t
inline constexpr int kRichPresenceJoinId = 337;    // GameRichPresenceJoinRequested_t
inline constexpr int kLobbyChatUpdateId = 506;     // LobbyChatUpdate_t
inline constexpr int kLobbyCreatedId = 513;        // LobbyCreated_t
inline constexpr int kLobbyEnterId = 504;          // LobbyEnter_t

inline constexpr int kResultOk = 1;               // EResult
inline constexpr std::uint32_t kEnterSuccess = 1;  // EChatRoomEnterResponse
inline constexpr int kLobbyFriendsOnly = 1;       // ELobbyType
inline constexpr int kFriendFlagImmediate = 4;
inline constexpr int kSendReliable = 8;                  // k_nSteamNetworkingSend_Reliable
inline constexpr int kSendUnreliableNoDelay = 5;         // unreliable, no Nagle, no delay
// LobbyChatUpdate_t state bits: left, disconnected, kicked, banned.
inline constexpr std::uint32_t kMemberGoneBits = 0x1E;

// A lobby id: nonzero, account type 8 (chat) in bits 52-55.
constexpr bool IsLobbyId(SteamId id) { return id != 0 && ((id >> 52) & 0xF) == 8; }

#pragma pack(push, 8)
// Opaque here: always filled and read through Steam's own conversion calls.
struct alignas(8) SteamNetworkingIdentity {
  std::int32_t type;
  std::int32_t size;
  std::uint8_t body[128];
};
// One received message. Steam owns the struct and its fields after `peer`;
// it is freed with SteamAPI_SteamNetworkingMessage_t_Release.
struct SteamNetworkingMessage_t {
  void* data;
  std::int32_t size;
  std::uint32_t connection;
  SteamNetworkingIdentity peer;
};
struct SteamNetworkingMessagesSessionRequest_t {
  SteamNetworkingIdentity requester;
};
struct GameLobbyJoinRequested_t {
  SteamId lobby;
  SteamId friendId;
};
struct GameRichPresenceJoinRequested_t {
  SteamId friendId;
  char connect[256];
};
struct LobbyChatUpdate_t {
  SteamId lobby;
  SteamId changedUser;
  SteamId makingChange;
  std::uint32_t stateBits;
};
struct LobbyCreated_t {
  std::int32_t result;
  SteamId lobby;
};
struct LobbyEnter_t {
  SteamId lobby;
  std::uint32_t chatPermissions;
  bool locked;
  std::uint32_t response;
};
struct FriendGameInfo_t {
  std::uint64_t gameId;
  std::uint32_t gameIp;
  std::uint16_t gamePort;
  std::uint16_t queryPort;
  SteamId lobby;
};
#pragma pack(pop)
static_assert(sizeof(SteamNetworkingIdentity) == 136);
static_assert(offsetof(SteamNetworkingMessage_t, size) == 8 && offsetof(SteamNetworkingMessage_t, peer) == 16);
static_assert(sizeof(SteamNetworkingMessagesSessionRequest_t) == 136);
static_assert(sizeof(GameLobbyJoinRequested_t) == 16 && sizeof(GameRichPresenceJoinRequested_t) == 264);
static_assert(sizeof(LobbyChatUpdate_t) == 32);
static_assert(sizeof(LobbyCreated_t) == 16 && sizeof(LobbyEnter_t) == 24 && offsetof(LobbyEnter_t, response) == 16);
static_assert(sizeof(FriendGameInfo_t) == 24 && offsetof(FriendGameInfo_t, lobby) == 16);

// The flat entries, in the binding's table order; each takes its interface
// pointer first, as Steam's flat API does.
struct SteamApi {
  void* (*SteamMatchmaking)();
  void* (*SteamNetworkingMessages)();
  void* (*SteamFriends)();
  void* (*SteamUser)();
  void* (*SteamUtils)();
  void (*RegisterCallback)(CCallbackBase* receiver, int id);
  void (*UnregisterCallback)(CCallbackBase* receiver);
  ApiCall (*CreateLobby)(void* mm, int lobbyType, int maxMembers);
  ApiCall (*JoinLobby)(void* mm, SteamId lobby);
  void (*LeaveLobby)(void* mm, SteamId lobby);
  SteamId (*GetLobbyOwner)(void* mm, SteamId lobby);
  int (*GetNumLobbyMembers)(void* mm, SteamId lobby);
  SteamId (*GetLobbyMemberByIndex)(void* mm, SteamId lobby, int index);
  bool (*SetLobbyData)(void* mm, SteamId lobby, const char* key, const char* value);
  const char* (*GetLobbyData)(void* mm, SteamId lobby, const char* key);
  bool (*RequestLobbyData)(void* mm, SteamId lobby);
  int (*SendMessageToUser)(void* nm, const SteamNetworkingIdentity* to, const void* data, std::uint32_t size,
                           int sendFlags, int remoteChannel);
  int (*ReceiveMessagesOnChannel)(void* nm, int channel, SteamNetworkingMessage_t** out, int maxMessages);
  bool (*AcceptSessionWithUser)(void* nm, const SteamNetworkingIdentity* peer);
  bool (*CloseSessionWithUser)(void* nm, const SteamNetworkingIdentity* peer);
  void (*ReleaseMessage)(SteamNetworkingMessage_t* message);
  void (*IdentitySetSteamID64)(SteamNetworkingIdentity* identity, SteamId id);
  SteamId (*IdentityGetSteamID64)(const SteamNetworkingIdentity* identity);
  const char* (*GetPersonaName)(void* friends);
  int (*GetFriendCount)(void* friends, int flags);
  SteamId (*GetFriendByIndex)(void* friends, int index, int flags);
  bool (*GetFriendGamePlayed)(void* friends, SteamId friendId, FriendGameInfo_t* info);
  const char* (*GetFriendPersonaName)(void* friends, SteamId friendId);
  bool (*SetRichPresence)(void* friends, const char* key, const char* value);
  void (*ClearRichPresence)(void* friends);
  SteamId (*GetSteamID)(void* user);
  bool (*IsAPICallCompleted)(void* utils, ApiCall call, bool* failed);
  bool (*GetAPICallResult)(void* utils, ApiCall call, void* out, int size, int expectedId, bool* failed);
  int (*GetLobbyMemberLimit)(void* mm, SteamId lobby);  // optional: null when not exported

  void* matchmaking;
  void* messages;
  void* friends;
  void* user;
  void* utils;
};

}  // namespace bh::net::steam

namespace bh::net {

// True when the table is ready (cheap after the first success). Never loads
// the module; a missing module or null interfaces can still change, a missing
// required export fails for the rest of the run.
bool BindSteamApi();
// The table once ready, else null.
const steam::SteamApi* SteamApiOrNull();
// Whether a module named steam_api64.dll is loaded in the process now.
bool SteamModuleLoaded();

// The table's export names in order, and how many are required (the first ones).
inline constexpr int kSteamExportCount = 34;
const char* SteamExportName(int index);

namespace testing {
// Forgets every binding result, as at process start.
void ResetSteamBinding();
}  // namespace testing

}  // namespace bh::net
