// Session: roles, the generation and stop rule, the tick, heartbeats and
// timeouts, member sync, friends' rooms, joins, the keepalive thread.
//
// [SECTION] Helpers
// [SECTION] Init and Shutdown
// [SECTION] Roles: Host, JoinLobby, Leave
// [SECTION] Tick
// [SECTION] Steam events and API calls
// [SECTION] Peers: heard, heartbeats, timeouts, member sync
// [SECTION] Friends' rooms
// [SECTION] Keepalive thread
//
// The stop rule: a callback may leave or shut the session down. Every loop
// that calls one remembers the generation first and stops as soon as it
// changed or the session is no longer initialised.
#include "net/session.h"

#include <algorithm>
#include <chrono>

#include "core/log.h"
#include "core/log_tags.h"
#include "net/clock.h"
#include "net/platform.h"

namespace bh::net {

// [SECTION] Helpers

namespace {

constexpr std::int64_t kHeartbeatIntervalNs = kNsPerSecond;
constexpr std::int64_t kMemberSyncIntervalNs = 500 * kNsPerMs;
constexpr std::int64_t kFriendLobbyWaitNs = 10 * kNsPerSecond;
constexpr std::int64_t kKeepaliveWaitMs = 250;
constexpr int kMaxLobbyMembers = 250;  // Steam's own ceiling; a larger count is not believed
constexpr int kMaxFriends = 4096;
constexpr char kConnectLobby[] = "+connect_lobby";

// Text from Steam or a peer, made safe for one log line.
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, 256));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

const char* SessionStateName(SessionState state) {
  switch (state) {
    case SessionState::Idle: return "Idle";
    case SessionState::CreatingLobby: return "CreatingLobby";
    case SessionState::Hosting: return "Hosting";
    case SessionState::JoiningLobby: return "JoiningLobby";
    case SessionState::Connecting: return "Connecting";
    case SessionState::Connected: return "Connected";
    case SessionState::Failed: return "Failed";
  }
  return "?";
}

std::uint64_t ParseConnectLobby(std::string_view text) {
  std::size_t at = text.find(kConnectLobby);
  if (at == std::string_view::npos) return 0;
  at += sizeof kConnectLobby - 1;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '"' || text[at] == '=')) ++at;
  std::uint64_t value = 0;
  for (int digits = 0; digits < 20 && at < text.size() && text[at] >= '0' && text[at] <= '9'; ++digits, ++at) {
    std::uint64_t d = static_cast<std::uint64_t>(text[at] - '0');
    if (value > (UINT64_MAX - d) / 10) return 0;  // 20 digits can overflow
    value = value * 10 + d;
  }
  return value;
}

Session::Session() = default;

Session::~Session() { Shutdown(); }

void Session::SetState(SessionState s) {
  if (s == state_) return;
  core::LogInfo(tag::kNet, "session: {} -> {}", SessionStateName(state_), SessionStateName(s));
  state_ = s;
  if (inTick_) {
    if (onStateChanged) onStateChanged(s);
  } else {
    queuedStates_.push_back(s);
  }
}

void Session::Fail(const std::string& reason) {
  core::LogWarn(tag::kNet, "session: failed: {}", reason);
  failureReason_ = reason;
  SetState(SessionState::Failed);
}

void Session::SendHeartbeat(std::uint64_t peer) {
  const std::uint8_t heartbeat = kHeartbeatByte;
  locked_.Send(peer, kUnreliableChannel, &heartbeat, 1);
}

void Session::CloseAllPeers() {
  std::lock_guard<std::mutex> guard(transportLock_);
  if (transport_) {
    for (auto& [peer, heard] : connected_) transport_->CloseSession(peer);
    for (std::uint64_t peer : expected_) transport_->CloseSession(peer);
  }
  connected_.clear();
  expected_.clear();
  peerSnapshot_.clear();
}

std::uint64_t Session::HostId() { return isHost_ ? LocalId() : hostId_; }

std::uint64_t Session::LocalId() { return locked_.LocalId(); }

bool Session::Send(std::uint64_t peer, std::uint8_t channel, const void* data, std::size_t size) {
  return locked_.Send(peer, channel, data, size);
}

// [SECTION] Init and Shutdown

bool Session::Init(const SessionConfig& config) {
  if (initialised_) Shutdown();
  config_ = config;
  if (config_.maxMembers < 2 || config_.maxMembers > 4) {
    core::LogWarn(tag::kNet, "session: maxMembers {} out of range, clamping to 2..{}", config_.maxMembers, 4);
    config_.maxMembers = std::clamp(config_.maxMembers, 2, 4);
  }
  config_.timeoutMs = std::max(config_.timeoutMs, 100);
  failureReason_.clear();
  queuedStates_.clear();
  state_ = SessionState::Idle;

  if (config_.transport != 0) {
    failureReason_ = "UDP transport is not available in this build";
    core::LogWarn(tag::kNet, "session: {}", failureReason_);
    return false;
  }
  if (!BindSteamApi()) {
    failureReason_ = "Steam API unavailable";
    return false;
  }
  auto transport = std::make_unique<SteamTransport>();
  if (!transport->Init()) {
    failureReason_ = "Steam transport init failed";
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(transportLock_);
    transport_ = std::move(transport);
  }
  api_ = SteamApiOrNull();

  joinRequests_ = std::make_unique<CallbackQueue<steam::GameLobbyJoinRequested_t>>();
  richPresenceJoins_ = std::make_unique<CallbackQueue<steam::GameRichPresenceJoinRequested_t>>();
  chatUpdates_ = std::make_unique<CallbackQueue<steam::LobbyChatUpdate_t>>();
  bool registered = joinRequests_->Register(steam::kLobbyJoinRequestedId);
  registered &= richPresenceJoins_->Register(steam::kRichPresenceJoinId);
  registered &= chatUpdates_->Register(steam::kLobbyChatUpdateId);
  if (!registered) core::LogWarn(tag::kNet, "session: could not register every Steam callback");

  commandLineLobby_ = ParseConnectLobby(platform::ProcessCommandLine());
  if (commandLineLobby_) core::LogInfo(tag::kNet, "session: command line asks to join lobby {}", commandLineLobby_);

  {
    std::lock_guard<std::mutex> guard(keepaliveLock_);
    stop_ = false;
    keepaliveToken_ = nullptr;
  }
  heartbeatsSinceTick_.store(0);
  lastTickNs_.store(MonotonicNs());
  try {
    keepalive_ = std::thread([this] { KeepaliveLoop(); });
  } catch (...) {
    // Without its keepalive the session would drop peers on every loading
    // screen; this is fatal to Init, and the caller's guard reports it.
    joinRequests_.reset();
    richPresenceJoins_.reset();
    chatUpdates_.reset();
    std::lock_guard<std::mutex> guard(transportLock_);
    transport_.reset();
    api_ = nullptr;
    throw;
  }
  {
    // The thread hands over a token that tells later whether it has ended.
    std::unique_lock<std::mutex> lock(keepaliveLock_);
    keepaliveWake_.wait_for(lock, std::chrono::seconds(5), [&] { return keepaliveToken_ != nullptr; });
  }
  initialised_ = true;
  core::LogInfo(tag::kNet, "session: initialised ({} transport, local id {:016x}, timeout {} ms)", "Steam", LocalId(),
                config_.timeoutMs);
  return true;
}

void Session::Shutdown() {
  if (!initialised_) return;
  void* token;
  {
    std::lock_guard<std::mutex> guard(keepaliveLock_);
    token = keepaliveToken_;
  }
  if (token != reinterpret_cast<void*>(1) && platform::ThreadEnded(token)) {
    // Process teardown: the thread was ended with the others, perhaps while
    // it held a lock. Touch nothing it shares, and call nothing in Steam.
    // The transport and the queues are left to the process's end: their
    // destructors would call into Steam.
    keepalive_.detach();
    (void)transport_.release();
    (void)joinRequests_.release();
    (void)richPresenceJoins_.release();
    (void)chatUpdates_.release();
    initialised_ = false;
    return;
  }
  {
    std::lock_guard<std::mutex> guard(keepaliveLock_);
    stop_ = true;
  }
  keepaliveWake_.notify_all();
  if (keepalive_.joinable()) keepalive_.join();
  if (token != reinterpret_cast<void*>(1)) platform::CloseThreadToken(token);

  Leave();
  ++generation_;
  if (!apiCalls_.empty()) {
    core::LogWarn(tag::kNet, "session: shutting down with {} Steam API call(s) still in flight", apiCalls_.size());
    apiCalls_.clear();
  }
  joinRequests_.reset();
  richPresenceJoins_.reset();
  chatUpdates_.reset();
  {
    std::lock_guard<std::mutex> guard(transportLock_);
    if (transport_) transport_->Shutdown();
    transport_.reset();
    peerSnapshot_.clear();
  }
  api_ = nullptr;
  friendRequests_.clear();
  friendLobbies_.clear();
  queuedStates_.clear();
  commandLineLobby_ = 0;
  initialised_ = false;
  core::LogInfo(tag::kNet, "session: shut down");
}

// [SECTION] Roles: Host, JoinLobby, Leave

void Session::StartRole(bool host) {
  ++generation_;
  failureReason_.clear();
  CloseAllPeers();
  isHost_ = host;
  hostId_ = 0;
  lobbyId_ = 0;
  roomFullWarned_ = false;
}

void Session::Host() {
  if (!initialised_) {
    core::LogWarn(tag::kNet, "session: Host() before Init()");
    return;
  }
  if (state_ != SessionState::Idle) {
    core::LogWarn(tag::kNet, "session: Host() ignored in state {}", SessionStateName(state_));
    return;
  }
  StartRole(true);
  if (!api_) {
    Fail("Steam session required");
    return;
  }
  steam::ApiCall call = api_->CreateLobby(api_->matchmaking, steam::kLobbyFriendsOnly, config_.maxMembers);
  if (call == 0) {
    Fail("CreateLobby could not be started");
    return;
  }
  apiCalls_.push_back({call, CallKind::CreateLobby, generation_});
  SetState(SessionState::CreatingLobby);
}

void Session::JoinLobby(std::uint64_t lobby) {
  if (!initialised_ || !api_) {
    core::LogWarn(tag::kNet, "session: JoinLobby() needs an initialised Steam session");
    return;
  }
  if (state_ != SessionState::Idle) {
    core::LogWarn(tag::kNet, "session: JoinLobby({}) ignored in state {}", lobby, SessionStateName(state_));
    return;
  }
  if (lobby == 0) return;
  if (lobby == pendingInvite_) pendingInvite_ = 0;
  StartRole(false);
  steam::ApiCall call = api_->JoinLobby(api_->matchmaking, lobby);
  if (call == 0) {
    Fail("JoinLobby could not be started");
    return;
  }
  apiCalls_.push_back({call, CallKind::JoinLobby, generation_});
  core::LogInfo(tag::kNet, "session: joining lobby {}", lobby);
  SetState(SessionState::JoiningLobby);
}

void Session::Leave() {
  if (!initialised_) return;
  ++generation_;
  if (api_) {
    if (lobbyId_) {
      api_->LeaveLobby(api_->matchmaking, lobbyId_);
      core::LogInfo(tag::kNet, "session: left lobby {}", lobbyId_);
    }
    if (richPresenceSet_) {
      api_->ClearRichPresence(api_->friends);
      richPresenceSet_ = false;
    }
  }
  CloseAllPeers();
  lobbyId_ = 0;
  hostId_ = 0;
  isHost_ = false;
  SetState(SessionState::Idle);
}

// [SECTION] Tick

void Session::Tick() {
  if (!initialised_) return;
  struct InTick {
    bool& flag;
    explicit InTick(bool& f) : flag(f) { flag = true; }
    ~InTick() { flag = false; }
  } inTick(inTick_);

  std::int64_t now = MonotonicNs();
  std::int64_t previous = lastTickNs_.exchange(now);
  std::int32_t heartbeats = heartbeatsSinceTick_.exchange(0);
  if (heartbeats != 0) {
    core::LogInfo(tag::kNet, "session: game thread was stalled for {:.1f} s; keepalive sent {} heartbeat(s) meanwhile",
                  static_cast<double>(now - previous) / kNsPerSecond, heartbeats);
  }

  std::vector<SessionState> states;
  states.swap(queuedStates_);
  const std::int32_t generation = generation_;
  for (SessionState s : states) {
    if (Stopped(generation)) break;
    if (onStateChanged) onStateChanged(s);
  }
  if (!initialised_) return;

  now = MonotonicNs();
  if (api_) PumpSteam(now);
  if (!initialised_) return;
  if (transport_) PollTransport(now);
  if (!initialised_) return;
  Heartbeats(now);
  Timeouts(now);
  if (!initialised_) return;

  std::lock_guard<std::mutex> guard(transportLock_);
  peerSnapshot_.clear();
  for (auto& [peer, heard] : connected_) peerSnapshot_.push_back(peer);
}

void Session::PollTransport(std::int64_t now) {
  std::vector<Packet> packets;
  locked_.Poll(packets);
  const std::int32_t generation = generation_;
  for (const Packet& p : packets) {
    if (Stopped(generation)) return;
    if (!Heard(p.from, now) || p.bytes.empty() || p.bytes[0] == kHeartbeatByte) continue;
    if (Stopped(generation)) return;
    if (onPacket) onPacket(p);
  }
}

// [SECTION] Steam events and API calls

void Session::JoinRequest(std::uint64_t lobby, const char* source) {
  if (!steam::IsLobbyId(lobby)) {
    core::LogWarn(tag::kNet, "session: {} gave an invalid lobby id {}", source, lobby);
    return;
  }
  if (lobby == lobbyId_) return;
  core::LogInfo(tag::kNet, "session: {} -> lobby {}", source, lobby);
  if (state_ == SessionState::Idle) JoinLobby(lobby);
  else pendingInvite_ = lobby;
}

void Session::PumpSteam(std::int64_t now) {
  for (const auto& e : joinRequests_->Take()) {
    JoinRequest(e.lobby, "lobby join request");
    if (!initialised_) return;
  }

  for (auto e : richPresenceJoins_->Take()) {
    e.connect[sizeof e.connect - 1] = 0;
    std::uint64_t lobby = ParseConnectLobby(e.connect);
    if (lobby) JoinRequest(lobby, "rich presence join");
    else core::LogInfo(tag::kNet, "session: rich presence join without +connect_lobby: '{}'", Printable(e.connect));
    if (!initialised_) return;
  }

  if (commandLineLobby_) {
    std::uint64_t lobby = commandLineLobby_;
    commandLineLobby_ = 0;
    JoinRequest(lobby, "command line +connect_lobby");
    if (!initialised_) return;
  }

  for (const auto& e : chatUpdates_->Take()) {
    if (lobbyId_ == 0 || e.lobby != lobbyId_) continue;
    if (isHost_) {
      membersDirty_ = true;
    } else if (e.changedUser == hostId_ && (e.stateBits & steam::kMemberGoneBits) &&
               (state_ == SessionState::Connecting || state_ == SessionState::Connected)) {
      LoseHost("host left the lobby");
      if (!initialised_) return;
    }
  }

  for (std::size_t i = 0; i < apiCalls_.size();) {
    bool ioFailure = false;
    if (!api_->IsAPICallCompleted(api_->utils, apiCalls_[i].call, &ioFailure)) {
      ++i;
      continue;
    }
    ApiCallRecord record = apiCalls_[i];
    apiCalls_.erase(apiCalls_.begin() + static_cast<std::ptrdiff_t>(i));
    if (record.kind == CallKind::JoinLobby) LobbyEntered(record, ioFailure, now);
    else LobbyCreated(record, ioFailure);
    if (!initialised_) return;
  }

  if (isHost_ && state_ == SessionState::Hosting && lobbyId_ &&
      (membersDirty_ || now - lastMemberSyncNs_ >= kMemberSyncIntervalNs)) {
    SyncMembers(now);
    if (!initialised_) return;
  }

  PollFriendLobbies(now);
}

void Session::LobbyCreated(const ApiCallRecord& record, bool ioFailure) {
  steam::LobbyCreated_t result{};
  bool fetched = false, failed = false;
  if (!ioFailure)
    fetched = api_->GetAPICallResult(api_->utils, record.call, &result, sizeof result, steam::kLobbyCreatedId, &failed);
  bool success = fetched && !failed && result.result == steam::kResultOk && result.lobby != 0;

  // A lobby nobody asked for any more is left at once; that includes a
  // result arriving in a state that cannot use it.
  if (record.generation != generation_ || state_ != SessionState::CreatingLobby) {
    if (success) {
      api_->LeaveLobby(api_->matchmaking, result.lobby);
      core::LogInfo(tag::kNet, "session: left lobby {} created by an abandoned Host()", result.lobby);
    }
    return;
  }
  if (!success) {
    Fail(fmt::format("CreateLobby failed (EResult {}, ioFailure {})", result.result, ioFailure || failed));
    return;
  }
  lobbyId_ = result.lobby;
  std::string hostName = config_.hostName.empty() ? Text(api_->GetPersonaName(api_->friends)) : config_.hostName;
  void* mm = api_->matchmaking;
  api_->SetLobbyData(mm, lobbyId_, "fw_ver", config_.modVersion.c_str());
  api_->SetLobbyData(mm, lobbyId_, "game_build", config_.gameBuild.c_str());
  api_->SetLobbyData(mm, lobbyId_, "host_name", hostName.c_str());
  api_->SetLobbyData(mm, lobbyId_, "fw_author", config_.modAuthor.c_str());
  api_->SetLobbyData(mm, lobbyId_, "fw_mod", config_.modName.c_str());
  std::string connect = fmt::format("{} {}", kConnectLobby, lobbyId_);
  std::string status = config_.modName.empty() ? std::string("co-op") : config_.modName + " co-op";
  api_->SetRichPresence(api_->friends, "connect", connect.c_str());
  api_->SetRichPresence(api_->friends, "status", status.c_str());
  richPresenceSet_ = true;
  membersDirty_ = true;
  core::LogInfo(tag::kNet, "session: hosting Steam lobby {}", lobbyId_);
  SetState(SessionState::Hosting);
}

void Session::LobbyEntered(const ApiCallRecord& record, bool ioFailure, std::int64_t now) {
  steam::LobbyEnter_t result{};
  bool fetched = false, failed = false;
  if (!ioFailure)
    fetched = api_->GetAPICallResult(api_->utils, record.call, &result, sizeof result, steam::kLobbyEnterId, &failed);
  bool success = fetched && !failed && result.response == steam::kEnterSuccess && result.lobby != 0;

  if (record.generation != generation_ || state_ != SessionState::JoiningLobby) {
    if (success) {
      api_->LeaveLobby(api_->matchmaking, result.lobby);
      core::LogInfo(tag::kNet, "session: left lobby {} entered by an abandoned JoinLobby()", result.lobby);
    }
    return;
  }
  if (!success) {
    Fail(fmt::format("JoinLobby failed (response {}, ioFailure {})", result.response, ioFailure || failed));
    return;
  }
  lobbyId_ = result.lobby;
  std::string mod = Text(api_->GetLobbyData(api_->matchmaking, lobbyId_, "fw_mod"));
  if (mod != config_.modName) {
    core::LogWarn(tag::kNet, "session: lobby {} has {}='{}' (expected '{}'); trying anyway (the host checks the Hello)",
                  lobbyId_, "fw_mod", Printable(mod), config_.modName);
  }
  std::uint64_t owner = api_->GetLobbyOwner(api_->matchmaking, lobbyId_);
  if (owner == 0 || owner == LocalId()) {
    Fail("lobby has no other owner to connect to");
    return;
  }
  hostId_ = owner;
  core::LogInfo(tag::kNet, "session: entered lobby {}, host {}", lobbyId_, hostId_);
  locked_.OpenSession(hostId_);
  expected_.insert(hostId_);
  connectStartNs_ = now;
  SendHeartbeat(hostId_);
  SetState(SessionState::Connecting);
}

// [SECTION] Peers: heard, heartbeats, timeouts, member sync

bool Session::Heard(std::uint64_t peer, std::int64_t now) {
  auto known = connected_.find(peer);
  if (known != connected_.end()) {
    known->second = now;
    return true;
  }
  const std::int32_t generation = generation_;
  if (isHost_ && state_ == SessionState::Hosting) {
    if (!expected_.count(peer)) return false;
    if (static_cast<std::int32_t>(connected_.size()) + 1 >= config_.maxMembers) {
      if (!roomFullWarned_) {
        roomFullWarned_ = true;
        core::LogWarn(tag::kNet, "session: room is full ({}), ignoring {:016x}", config_.maxMembers, peer);
      }
      return false;
    }
    expected_.erase(peer);
    connected_[peer] = now;
    core::LogInfo(tag::kNet, "session: peer {:016x} connected", peer);
    SendHeartbeat(peer);
    if (onPeerConnected) onPeerConnected(peer);
    return !Stopped(generation);
  }
  if (!isHost_ && state_ == SessionState::Connecting && peer == hostId_) {
    expected_.erase(peer);
    connected_[peer] = now;
    core::LogInfo(tag::kNet, "session: connected to host {:016x}", peer);
    SetState(SessionState::Connected);
    if (Stopped(generation)) return false;
    if (onPeerConnected) onPeerConnected(peer);
    return !Stopped(generation);
  }
  return false;
}

void Session::Heartbeats(std::int64_t now) {
  if (now - lastHeartbeatNs_ < kHeartbeatIntervalNs) return;
  lastHeartbeatNs_ = now;
  for (auto& [peer, heard] : connected_) SendHeartbeat(peer);
  if (!isHost_ && state_ == SessionState::Connecting && hostId_) SendHeartbeat(hostId_);
  if (isHost_)
    for (std::uint64_t peer : expected_) SendHeartbeat(peer);
}

bool Session::DropPeer(std::uint64_t peer, const char* reason) {
  const std::int32_t generation = generation_;
  connected_.erase(peer);
  expected_.erase(peer);
  locked_.CloseSession(peer);
  core::LogInfo(tag::kNet, "session: peer {:016x} disconnected ({})", peer, reason);
  if (onPeerDisconnected) onPeerDisconnected(peer);
  return !Stopped(generation);
}

void Session::LoseHost(const std::string& reason) {
  if (connected_.count(hostId_)) {
    if (!DropPeer(hostId_, reason.c_str())) return;
  } else {
    expected_.erase(hostId_);
    locked_.CloseSession(hostId_);
  }
  Fail(reason);
}

void Session::Timeouts(std::int64_t now) {
  const std::int64_t timeout = static_cast<std::int64_t>(config_.timeoutMs) * kNsPerMs;
  if (!isHost_ && state_ == SessionState::Connecting && now - connectStartNs_ > timeout) {
    expected_.erase(hostId_);
    locked_.CloseSession(hostId_);
    Fail("host did not respond");
    return;
  }
  std::vector<std::uint64_t> silent;
  for (auto& [peer, heard] : connected_)
    if (now - heard > timeout) silent.push_back(peer);
  const std::int32_t generation = generation_;
  for (std::uint64_t peer : silent) {
    if (Stopped(generation)) return;
    if (isHost_ || peer != hostId_) {
      DropPeer(peer, "timed out");
    } else {
      LoseHost("host lost");
    }
  }
}

void Session::SyncMembers(std::int64_t now) {
  lastMemberSyncNs_ = now;
  membersDirty_ = false;
  void* mm = api_->matchmaking;
  int count = api_->GetNumLobbyMembers(mm, lobbyId_);
  if (count <= 0) return;
  if (count > kMaxLobbyMembers) {
    core::LogWarn(tag::kNet, "session: Steam reports {} members in lobby {}; reading the first {}", count, lobbyId_,
                  kMaxLobbyMembers);
    count = kMaxLobbyMembers;
  }
  const std::uint64_t local = LocalId();
  std::set<std::uint64_t> members;
  for (int i = 0; i < count; ++i) {
    std::uint64_t m = api_->GetLobbyMemberByIndex(mm, lobbyId_, i);
    if (m != 0 && m != local) members.insert(m);
  }
  for (std::uint64_t m : members) {
    if (connected_.count(m) || expected_.count(m)) continue;
    core::LogInfo(tag::kNet, "session: new lobby member {}", m);
    expected_.insert(m);
    locked_.OpenSession(m);
  }
  for (auto it = expected_.begin(); it != expected_.end();) {
    if (members.count(*it)) {
      ++it;
      continue;
    }
    core::LogInfo(tag::kNet, "session: lobby member {} left before connecting", *it);
    locked_.CloseSession(*it);
    it = expected_.erase(it);
  }
  std::vector<std::uint64_t> gone;
  for (auto& [peer, heard] : connected_)
    if (!members.count(peer)) gone.push_back(peer);
  for (std::uint64_t peer : gone)
    if (!DropPeer(peer, "left the lobby")) return;
}

// [SECTION] Friends' rooms

void Session::RefreshFriendLobbies() {
  if (!api_) return;
  friendLobbies_.clear();
  friendRequests_.clear();
  const std::int64_t now = MonotonicNs();
  int count = std::clamp(api_->GetFriendCount(api_->friends, steam::kFriendFlagImmediate), 0, kMaxFriends);
  for (int i = 0; i < count; ++i) {
    std::uint64_t friendId = api_->GetFriendByIndex(api_->friends, i, steam::kFriendFlagImmediate);
    steam::FriendGameInfo_t info{};
    if (!api_->GetFriendGamePlayed(api_->friends, friendId, &info)) continue;
    if (!steam::IsLobbyId(info.lobby)) continue;
    bool requested = std::any_of(friendRequests_.begin(), friendRequests_.end(),
                                 [&](const FriendRequest& r) { return r.lobby == info.lobby; });
    if (requested) continue;
    if (api_->RequestLobbyData(api_->matchmaking, info.lobby)) friendRequests_.push_back({info.lobby, friendId, now});
  }
  core::LogInfo(tag::kNet, "session: requested lobby data for {} friend lobbies", friendRequests_.size());
}

void Session::PollFriendLobbies(std::int64_t now) {
  void* mm = api_->matchmaking;
  for (auto it = friendRequests_.begin(); it != friendRequests_.end();) {
    std::string mod = Text(api_->GetLobbyData(mm, it->lobby, "fw_mod"));
    if (!config_.modName.empty() && mod == config_.modName) {
      FriendLobby room;
      room.lobby = it->lobby;
      room.owner = api_->GetLobbyOwner(mm, it->lobby);
      if (room.owner == 0) room.owner = it->friendId;
      room.hostName = Text(api_->GetLobbyData(mm, it->lobby, "host_name"));
      if (room.hostName.empty()) room.hostName = Text(api_->GetFriendPersonaName(api_->friends, it->friendId));
      room.mod = mod;
      room.author = Text(api_->GetLobbyData(mm, it->lobby, "fw_author"));
      room.version = Text(api_->GetLobbyData(mm, it->lobby, "fw_ver"));
      room.gameBuild = Text(api_->GetLobbyData(mm, it->lobby, "game_build"));
      room.members = api_->GetNumLobbyMembers(mm, it->lobby);
      room.memberLimit = api_->GetLobbyMemberLimit ? api_->GetLobbyMemberLimit(mm, it->lobby) : 0;
      auto same = std::find_if(friendLobbies_.begin(), friendLobbies_.end(),
                               [&](const FriendLobby& f) { return f.lobby == room.lobby; });
      if (same != friendLobbies_.end()) *same = std::move(room);
      else friendLobbies_.push_back(std::move(room));
      it = friendRequests_.erase(it);
    } else if (now - it->requestedNs > kFriendLobbyWaitNs) {
      it = friendRequests_.erase(it);
    } else {
      ++it;
    }
  }
}

// [SECTION] Keepalive thread

void Session::KeepaliveLoop() {
  {
    std::lock_guard<std::mutex> guard(keepaliveLock_);
    void* token = platform::CurrentThreadToken();
    keepaliveToken_ = token ? token : reinterpret_cast<void*>(1);  // 1: no token on this platform
  }
  keepaliveWake_.notify_all();
  const std::uint8_t heartbeat = kHeartbeatByte;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(keepaliveLock_);
      keepaliveWake_.wait_for(lock, std::chrono::milliseconds(kKeepaliveWaitMs), [&] { return stop_; });
      if (stop_) return;
    }
    std::int64_t gap = MonotonicNs() - lastTickNs_.load();
    if (gap < kStallStartNs || gap > kStallEndNs) continue;
    const steam::SteamApi* api = SteamApiOrNull();
    if (!api || !SteamModuleLoaded() || !api->SteamMatchmaking()) continue;
    std::lock_guard<std::mutex> guard(transportLock_);
    if (!transport_) continue;
    for (std::uint64_t peer : peerSnapshot_)
      if (transport_->Send(peer, kUnreliableChannel, &heartbeat, 1)) heartbeatsSinceTick_.fetch_add(1);
  }
}

}  // namespace bh::net
