// Session: a small peer-to-peer room over a Steam lobby.
//
// Offers: Session (host a friends-only lobby and publish it, or enter one and
// connect to its owner; who counts as connected, heartbeats, silence
// timeouts, member sync, friends' rooms, joins from invitations, rich
// presence and the command line), SessionState and its names, and
// ParseConnectLobby (the "+connect_lobby <id>" reader).
// Needs: the Steam binding, the transport, Log, the monotonic clock.
// Threads: every member function on the game thread. The session's own
// keepalive thread sends heartbeats while the game thread is stalled; Steam
// callbacks only queue copies (transport.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/steam_api.h"
#include "net/transport.h"

namespace bh::net {

enum class SessionState : std::uint8_t {
  Idle = 0,
  CreatingLobby = 1,
  Hosting = 2,
  JoiningLobby = 3,
  Connecting = 4,
  Connected = 5,
  Failed = 6,
};
// The name logs print; "?" for any other value.
const char* SessionStateName(SessionState state);

struct SessionConfig {
  std::int32_t transport = 0;  // 0 = Steam, anything else = UDP (not in this build)
  std::int32_t maxMembers = 4; // room size including the host, clamped to 2..4
  std::string modName, modAuthor, modVersion, gameBuild, hostName;
  std::int32_t udpPort = 0;    // carried, not read by the Steam transport
  std::int32_t timeoutMs = 10000;  // silence after which a peer is dropped (at least 100)
};

struct FriendLobby {
  std::uint64_t lobby = 0;
  std::uint64_t owner = 0;  // the lobby owner, or the friend when Steam does not report one
  std::string hostName, mod, author, version, gameBuild;
  std::int32_t members = 0;
  std::int32_t memberLimit = 0;  // 0 when Steam cannot tell
};

// The lobby id after the first "+connect_lobby" in text: spaces, tabs, double
// quotes and '=' are skipped, then up to 20 decimal digits are read. 0 when
// there is none (or the digits overflow 64 bits).
std::uint64_t ParseConnectLobby(std::string_view text);

class Session {
 public:
  Session();
  ~Session();  // shuts down (safely also at process exit)
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // False with FailureReason() set when there is no usable Steam transport.
  bool Init(const SessionConfig& config);
  void Shutdown();
  // Once per frame.
  void Tick();

  void Host();
  void JoinLobby(std::uint64_t lobby);
  void Leave();
  void RefreshFriendLobbies();
  bool Send(std::uint64_t peer, std::uint8_t channel, const void* data, std::size_t size);

  SessionState State() const { return state_; }
  bool IsHost() const { return isHost_; }
  std::uint64_t HostId();  // a host's own id, else the host it joined
  std::uint64_t LocalId();
  const std::string& FailureReason() const { return failureReason_; }
  const std::vector<FriendLobby>& FriendLobbies() const { return friendLobbies_; }
  std::uint64_t PendingInvite() const { return pendingInvite_; }
  ITransport* Transport() { return transport_ ? &locked_ : nullptr; }
  bool Initialised() const { return initialised_; }

  // Optional; each is called on the game thread.
  std::function<void(std::uint64_t peer)> onPeerConnected;
  std::function<void(std::uint64_t peer)> onPeerDisconnected;
  std::function<void(const Packet& packet)> onPacket;
  std::function<void(SessionState state)> onStateChanged;

  // The keepalive thread starts sending once the game thread has not ticked
  // for this long, and stops once the gap is this long (the game is gone).
  static constexpr std::int64_t kStallStartNs = 1500ll * 1000000;
  static constexpr std::int64_t kStallEndNs = 120ll * 1000000000;

 private:
  enum class CallKind : std::uint8_t { CreateLobby = 0, JoinLobby = 1 };
  struct ApiCallRecord {
    steam::ApiCall call;
    CallKind kind;
    std::int32_t generation;
  };
  struct FriendRequest {
    std::uint64_t lobby, friendId;
    std::int64_t requestedNs;
  };

  void SetState(SessionState s);
  void Fail(const std::string& reason);
  bool Stopped(std::int32_t generation) const { return generation != generation_ || !initialised_; }
  void StartRole(bool host);
  void CloseAllPeers();
  void SendHeartbeat(std::uint64_t peer);

  void PumpSteam(std::int64_t now);
  void JoinRequest(std::uint64_t lobby, const char* source);
  void LobbyCreated(const ApiCallRecord& record, bool ioFailure);
  void LobbyEntered(const ApiCallRecord& record, bool ioFailure, std::int64_t now);
  void SyncMembers(std::int64_t now);
  void PollFriendLobbies(std::int64_t now);
  void PollTransport(std::int64_t now);
  bool Heard(std::uint64_t peer, std::int64_t now);
  void Heartbeats(std::int64_t now);
  void Timeouts(std::int64_t now);
  // Removes a connected peer and tells the membership layer; false when the
  // session stopped meanwhile.
  bool DropPeer(std::uint64_t peer, const char* reason);
  void LoseHost(const std::string& reason);
  void KeepaliveLoop();

  // ---- game thread ----
  SessionConfig config_;
  bool initialised_ = false;
  bool inTick_ = false;
  SessionState state_ = SessionState::Idle;
  std::string failureReason_;
  bool isHost_ = false;
  std::int32_t generation_ = 0;
  std::uint64_t hostId_ = 0, lobbyId_ = 0, pendingInvite_ = 0, commandLineLobby_ = 0;
  std::map<std::uint64_t, std::int64_t> connected_;  // peer -> last heard (ns)
  std::set<std::uint64_t> expected_;                 // opened, not yet heard
  std::int64_t connectStartNs_ = 0, lastHeartbeatNs_ = 0, lastMemberSyncNs_ = 0;
  bool membersDirty_ = false, roomFullWarned_ = false, richPresenceSet_ = false;
  std::vector<ApiCallRecord> apiCalls_;
  std::vector<FriendRequest> friendRequests_;
  std::vector<FriendLobby> friendLobbies_;
  std::vector<SessionState> queuedStates_;
  const steam::SteamApi* api_ = nullptr;
  std::unique_ptr<CallbackQueue<steam::GameLobbyJoinRequested_t>> joinRequests_;
  std::unique_ptr<CallbackQueue<steam::GameRichPresenceJoinRequested_t>> richPresenceJoins_;
  std::unique_ptr<CallbackQueue<steam::LobbyChatUpdate_t>> chatUpdates_;

  // ---- shared with the keepalive thread ----
  std::mutex transportLock_;  // guards transport_ and peerSnapshot_; game and keepalive threads
  std::unique_ptr<ITransport> transport_;
  std::vector<std::uint64_t> peerSnapshot_;
  LockedTransport locked_{transportLock_, transport_};

  std::thread keepalive_;
  void* keepaliveToken_ = nullptr;  // tells whether the thread has ended behind our back
  std::mutex keepaliveLock_;        // guards stop_; game and keepalive threads
  std::condition_variable keepaliveWake_;
  bool stop_ = false;
  std::atomic<std::int64_t> lastTickNs_{0};
  std::atomic<std::int32_t> heartbeatsSinceTick_{0};
};

}  // namespace bh::net
