// Co-op membership.
//
// [SECTION] Context and readers
// [SECTION] Member table and names
// [SECTION] Sending
// [SECTION] Handshake: host side
// [SECTION] Routing
// [SECTION] Session callbacks
// [SECTION] Ticker and start-up
#include <windows.h>

#include <algorithm>
#include <map>
#include <vector>

#include "coop/coop.h"
#include "coop/names.h"
#include "core/config.h"
#include "core/gamethread.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/startup.h"
#include "net/session.h"
#include "ui/i18n.h"
#include "ui/toasts.h"

namespace bh::coop {

int ActiveSaveSlotFromGame();  // save_slot_win.cpp

namespace {

using net::SessionState;
using ui::tr;
using ui::trf;

// [SECTION] Context and readers

constexpr float kRetrySeconds = 2.0f;
constexpr float kGiveUpSeconds = 90.0f;
constexpr float kHelloEverySeconds = 1.0f;
constexpr int kMaxHelloAttempts = 15;
constexpr float kRejectGraceSeconds = 2.0f;
constexpr float kHelloWaitSeconds = 10.0f;
constexpr float kNameRefreshSeconds = 2.0f;
constexpr std::uint8_t kNoSlot = 0xFF;

int NoSaveSlot() { return -1; }

struct RejectedPeer {
  std::uint64_t peer;
  float secondsLeft;
};

// Game thread only.
struct CoopContext {
  net::Session* session = nullptr;
  bool sessionReady = false;
  bool disabled = false;

  net::SessionConfig config;
  float retryTimer = 0, elapsed = 0;
  bool gaveUp = false;
  bool warnedNotReady = false;  // the first tick's attempt also sees elapsed 0: warn once

  std::array<Member, kMaxSlots> members;
  std::uint8_t ownSlot = 0;
  bool welcomed = false;

  std::map<std::uint8_t, std::vector<MessageHandler>> handlers;
  std::vector<MemberListener> memberListeners;

  bool helloPending = false;
  float helloTimer = 0;
  int helloAttempts = 0;
  bool hostGoneHandled = false;
  bool leaveRequested = false;

  std::map<std::uint64_t, float> waitingForHello;  // peer -> seconds waited
  std::vector<RejectedPeer> rejected;

  std::string localName, profileKey;
  int saveSlot = 0;
  float nameTimer = 0;
  int (*saveSlotSource)() = &ActiveSaveSlotFromGame;

  bool coopActive = false;
  std::function<void()> onCoopStarted, onCoopEnded;
  std::int32_t tickerId = 0;
};

CoopContext& Ctx() {
  static CoopContext* context = new CoopContext();
  return *context;
}

bool IsGuestState(SessionState s) {
  return s == SessionState::JoiningLobby || s == SessionState::Connecting || s == SessionState::Connected;
}

SessionState StateNow() {
  CoopContext& c = Ctx();
  return c.sessionReady ? c.session->State() : SessionState::Idle;
}

std::uint8_t SlotOf(std::uint64_t peer) {
  if (peer == 0) return kNoSlot;
  for (const Member& m : Ctx().members)
    if (m.used && !m.isLocal && m.steamId == peer) return m.slot;
  return kNoSlot;
}

bool AnyRemoteMember() {
  for (const Member& m : Ctx().members)
    if (m.used && !m.isLocal) return true;
  return false;
}

const char* RejectText(std::uint8_t code) { return tr(RejectReasonKey(code)); }

void NotifyMember(const Member& member, bool joined) {
  std::vector<MemberListener> listeners = Ctx().memberListeners;
  for (const MemberListener& listener : listeners) {
    if (!listener) continue;
    core::GuardedCall(tag::kCoop, "member listener", [&] { listener(member, joined); });
  }
}

void Dispatch(std::uint8_t type, std::uint8_t fromSlot, const std::uint8_t* data, std::size_t size) {
  auto it = Ctx().handlers.find(type);
  if (it == Ctx().handlers.end()) return;
  std::vector<MessageHandler> handlers = it->second;  // a handler may register another
  for (const MessageHandler& handler : handlers) {
    if (!handler) continue;
    core::GuardedCall(tag::kCoop, "message handler", [&] { handler(fromSlot, data, size); });
  }
}

// [SECTION] Member table and names

std::uint64_t LocalSteamId() {
  CoopContext& c = Ctx();
  return c.sessionReady ? c.session->LocalId() : 0;
}

void ResetMembers(bool notify) {
  CoopContext& c = Ctx();
  std::vector<Member> gone;
  for (const Member& m : c.members)
    if (m.used && !m.isLocal) gone.push_back(m);
  c.members = {};
  c.ownSlot = 0;
  c.welcomed = false;
  c.members[0] = Member{true, 0, LocalSteamId(), c.localName, true};
  if (notify)
    for (const Member& m : gone) NotifyMember(m, false);
}

void SetLocalMembersName(const std::string& name) {
  for (Member& m : Ctx().members)
    if (m.used && m.isLocal) m.name = name;
}

std::string ComputeProfileKey() {
  std::uint64_t id = LocalSteamId();
  if (id != 0) return std::to_string(id);
  return "dev-profile-" + std::to_string(core::GetSettings().profile);
}

void SendRename() {
  CoopContext& c = Ctx();
  SessionState state = StateNow();
  if (IsGuestState(state) && !c.welcomed) return;
  if (!IsCoopActive()) return;
  Bytes message = EncodeRename({static_cast<std::uint8_t>(IsGuestState(state) ? c.ownSlot : 0), c.localName});
  if (IsGuestState(state)) SendToHost(net::kReliableChannel, message);
  else if (state == SessionState::Hosting) Broadcast(kNoSlot, net::kReliableChannel, message);
}

void UseLocalName(const std::string& name, bool sendRename) {
  CoopContext& c = Ctx();
  if (name == c.localName) return;
  c.localName = name;
  SetLocalMembersName(name);
  if (sendRename) SendRename();
}

void RefreshLocalName(bool sendRename) {
  CoopContext& c = Ctx();
  int slot = c.saveSlotSource();
  c.saveSlot = slot < 0 ? 0 : slot;
  c.profileKey = ComputeProfileKey();
  std::optional<std::string> stored = LookupName(c.profileKey, c.saveSlot);
  std::string name = stored ? *stored : DefaultName();
  if (name != c.localName)
    core::LogInfo(tag::kCoop, "local name: \"{}\" ({} slot{})", name, c.profileKey, c.saveSlot);
  UseLocalName(name, sendRename);
}

// [SECTION] Handshake: host side

void SendWelcome(std::uint64_t peer, std::uint8_t slot) {
  WelcomeMessage welcome;
  welcome.yourSlot = slot;
  for (const Member& m : Ctx().members)
    if (m.used) welcome.entries.push_back({m.slot, m.isLocal ? LocalSteamId() : m.steamId, m.name});
  SendTo(peer, net::kReliableChannel, EncodeWelcome(welcome));
}

void RejectPeer(std::uint64_t peer, std::uint8_t code) {
  CoopContext& c = Ctx();
  SendTo(peer, net::kReliableChannel, EncodeReject(code));
  c.rejected.push_back({peer, kRejectGraceSeconds});
  c.waitingForHello.erase(peer);
  core::LogInfo(tag::kCoop, "rejected {:016X}: {}", peer, code);
  ui::PostToast(trf("toast.rejected_join", RejectText(code)), ui::Warning, 4);
}

bool IsRejected(std::uint64_t peer) {
  const auto& list = Ctx().rejected;
  return std::any_of(list.begin(), list.end(), [peer](const RejectedPeer& r) { return r.peer == peer; });
}

void HandleHello(std::uint64_t peer, const Bytes& bytes) {
  CoopContext& c = Ctx();
  HelloMessage hello;
  std::uint8_t existing = SlotOf(peer);
  if (!DecodeHello(bytes, hello)) {
    std::optional<std::uint16_t> protocol = PeekHelloProtocol(bytes);
    if (!protocol || *protocol == kProtocolVersion || existing != kNoSlot) {
      core::LogWarn(tag::kCoop, "bad Hello from {:016X}", peer);
      return;
    }
    if (IsRejected(peer)) return;
    core::LogInfo(tag::kCoop, "Hello from {:016X} uses protocol {} (ours {})", peer, *protocol, kProtocolVersion);
    RejectPeer(peer, static_cast<std::uint8_t>(RejectReason::Protocol));
    return;
  }
  if (existing != kNoSlot) {
    SendWelcome(peer, existing);  // a repeated Hello
    return;
  }
  if (IsRejected(peer)) return;
  if (hello.protocol != kProtocolVersion) return RejectPeer(peer, static_cast<std::uint8_t>(RejectReason::Protocol));
  if (hello.modName != core::ModName || hello.modAuthor != core::ModAuthor) {
    core::LogWarn(tag::kCoop, "Hello from {:016X}: mod '{}' by '{}' (expected '{}' by '{}')", peer, hello.modName,
                  hello.modAuthor, core::ModName, core::ModAuthor);
    return RejectPeer(peer, static_cast<std::uint8_t>(RejectReason::Mod));
  }
  if (hello.modVersion != core::ModVersion) return RejectPeer(peer, static_cast<std::uint8_t>(RejectReason::Mod));
  if (hello.gameBuild != core::GameBuildId()) return RejectPeer(peer, static_cast<std::uint8_t>(RejectReason::Game));
  std::uint8_t slot = kNoSlot;
  for (std::uint8_t s = 1; s < kMaxSlots; ++s)
    if (!c.members[s].used) {
      slot = s;
      break;
    }
  if (slot == kNoSlot) return RejectPeer(peer, static_cast<std::uint8_t>(RejectReason::RoomFull));

  Member joined{true, slot, peer, MemberName(hello.playerName, slot), false};
  c.members[slot] = joined;
  c.waitingForHello.erase(peer);
  SendWelcome(peer, slot);
  Broadcast(slot, net::kReliableChannel, EncodeMemberJoined({slot, peer, joined.name}));
  core::LogInfo(tag::kCoop, "peer {:016X} joined as slot {} \"{}\"", peer, slot, joined.name);
  ui::PostToast(trf("toast.joined", joined.name), ui::Success, 4);
  NotifyMember(joined, true);
}

void HandleRenameOnHost(std::uint8_t slot, const Bytes& bytes) {
  CoopContext& c = Ctx();
  RenameMessage rename;
  if (!DecodeRename(bytes, rename)) return;
  std::string name = MemberName(rename.name, slot);
  std::string old = c.members[slot].name;
  c.members[slot].name = name;
  Bytes relayed = EncodeRename({slot, name});
  Broadcast(slot, net::kReliableChannel, relayed);
  if (name != old) ui::PostToast(trf("toast.renamed", old, name), ui::Info, 4);
  Dispatch(static_cast<std::uint8_t>(MessageType::Rename), slot, relayed.data(), relayed.size());
}

// [SECTION] Routing

bool CarriesSlot(std::uint8_t type) {
  return type == static_cast<std::uint8_t>(MessageType::PlayerState) ||
         type == static_cast<std::uint8_t>(MessageType::PlayerAction);
}

void RouteOnHost(const net::Packet& packet) {
  std::uint8_t type = TypeOf(packet.bytes);
  if (type == static_cast<std::uint8_t>(MessageType::Hello)) return HandleHello(packet.from, packet.bytes);
  std::uint8_t slot = SlotOf(packet.from);
  if (slot == kNoSlot || slot == 0) return;
  if (type >= 2 && type <= 5) return;
  if (type == static_cast<std::uint8_t>(MessageType::Rename)) return HandleRenameOnHost(slot, packet.bytes);
  if (CarriesSlot(type)) {
    if (packet.bytes.size() < 2) return;
    Bytes message = packet.bytes;
    message[1] = slot;  // the sender speaks only for itself
    Broadcast(slot, packet.channel, message);
    Dispatch(type, slot, message.data(), message.size());
    return;
  }
  Dispatch(type, slot, packet.bytes.data(), packet.bytes.size());
}

void HandleWelcome(const Bytes& bytes) {
  CoopContext& c = Ctx();
  WelcomeMessage welcome;
  if (!DecodeWelcome(bytes, welcome)) {
    core::LogWarn(tag::kCoop, "bad Welcome");
    return;
  }
  if (welcome.yourSlot < 1 || welcome.yourSlot > 3) {
    core::LogWarn(tag::kCoop, "Welcome with invalid slot {}", welcome.yourSlot);
    return;
  }
  c.members = {};
  c.ownSlot = welcome.yourSlot;
  c.welcomed = true;
  c.helloPending = false;
  c.members[c.ownSlot] = Member{true, c.ownSlot, LocalSteamId(), c.localName, true};
  std::vector<Member> joined;
  std::string hostName = tr("toast.host_default");
  for (const WelcomeEntry& e : welcome.entries) {
    if (e.slot >= kMaxSlots || e.slot == c.ownSlot) continue;
    Member m{true, e.slot, e.slot == 0 ? c.session->HostId() : e.steamId, MemberName(e.name, e.slot), false};
    if (e.slot == 0) hostName = m.name;
    c.members[e.slot] = m;
    joined.push_back(m);
  }
  core::LogInfo(tag::kCoop, "welcomed as slot {} ({} other members)", c.ownSlot, joined.size());
  ui::PostToast(trf("toast.joined_room", hostName), ui::Success, 4);
  for (const Member& m : joined) NotifyMember(m, true);
}

void HandleReject(const Bytes& bytes) {
  CoopContext& c = Ctx();
  std::uint8_t code = 0;
  if (!DecodeReject(bytes, code)) return;
  core::LogInfo(tag::kCoop, "rejected by host: {}", code);
  ui::PostToast(trf("toast.cannot_join", RejectText(code)), ui::Error, 8);
  c.helloPending = false;
  c.hostGoneHandled = true;
  c.leaveRequested = true;
}

void RouteOnGuest(const net::Packet& packet) {
  CoopContext& c = Ctx();
  std::uint64_t host = c.session->HostId();
  if (host != 0 && packet.from != host) return;
  const Bytes& bytes = packet.bytes;
  std::uint8_t type = TypeOf(bytes);
  if (type == static_cast<std::uint8_t>(MessageType::Welcome)) {
    if (!c.welcomed) HandleWelcome(bytes);
    return;
  }
  if (type == static_cast<std::uint8_t>(MessageType::Reject)) return HandleReject(bytes);
  if (!c.welcomed || type == static_cast<std::uint8_t>(MessageType::Hello)) return;

  if (type == static_cast<std::uint8_t>(MessageType::MemberJoined)) {
    MemberJoinedMessage m;
    if (!DecodeMemberJoined(bytes, m) || m.slot < 1 || m.slot > 3 || m.slot == c.ownSlot) return;
    Member joined{true, m.slot, m.steamId, MemberName(m.name, m.slot), false};
    c.members[m.slot] = joined;
    ui::PostToast(trf("toast.joined", joined.name), ui::Success, 4);
    NotifyMember(joined, true);
    return;
  }
  if (type == static_cast<std::uint8_t>(MessageType::MemberLeft)) {
    std::uint8_t slot = 0;
    if (!DecodeMemberLeft(bytes, slot) || slot < 1 || slot > 3 || slot == c.ownSlot || !c.members[slot].used) return;
    Member left = c.members[slot];
    c.members[slot] = Member{};
    ui::PostToast(trf("toast.left", left.name), ui::Info, 4);
    NotifyMember(left, false);
    return;
  }
  if (type == static_cast<std::uint8_t>(MessageType::Rename)) {
    RenameMessage r;
    if (!DecodeRename(bytes, r) || r.slot >= kMaxSlots || r.slot == c.ownSlot || !c.members[r.slot].used) return;
    std::string name = MemberName(r.name, r.slot);
    std::string old = c.members[r.slot].name;
    c.members[r.slot].name = name;
    if (name != old) ui::PostToast(trf("toast.renamed", old, name), ui::Info, 4);
    Dispatch(type, r.slot, bytes.data(), bytes.size());
    return;
  }
  if (CarriesSlot(type)) {
    if (bytes.size() < 2 || bytes[1] >= kMaxSlots || bytes[1] == c.ownSlot) return;
    Dispatch(type, bytes[1], bytes.data(), bytes.size());
    return;
  }
  Dispatch(type, 0, bytes.data(), bytes.size());
}

void Route(const net::Packet& packet) {
  CoopContext& c = Ctx();
  if (c.disabled || TypeOf(packet.bytes) == 0) return;
  if (c.session->State() == SessionState::Hosting) RouteOnHost(packet);
  else RouteOnGuest(packet);
}

void SendHello() {
  CoopContext& c = Ctx();
  std::uint64_t host = c.session->HostId();
  if (host == 0) return;
  HelloMessage hello{kProtocolVersion, core::ModName, core::ModAuthor, core::ModVersion, core::GameBuildId(),
                     c.localName, 0};
  SendTo(host, net::kReliableChannel, EncodeHello(hello));
  ++c.helloAttempts;
}

// [SECTION] Session callbacks

void OnStateChanged(SessionState state) {
  CoopContext& c = Ctx();
  core::LogInfo(tag::kCoop, "session state -> {}", static_cast<int>(state));
  switch (state) {
    case SessionState::Hosting:
      ResetMembers(false);
      c.hostGoneHandled = false;
      ui::PostToast(tr("toast.room_created"), ui::Success, 4);
      break;
    case SessionState::JoiningLobby:
      ResetMembers(false);
      c.hostGoneHandled = false;
      c.helloAttempts = 0;
      break;
    case SessionState::Connecting:
    case SessionState::Connected:
      if (!c.welcomed && !c.helloPending) {
        c.helloPending = true;
        c.helloTimer = 0;
        c.hostGoneHandled = false;
      }
      break;
    case SessionState::Failed: {
      std::string reason = c.session->FailureReason();
      if (reason.empty()) reason = tr("common.unknown_error");
      ui::PostToast(trf("toast.session_failed", reason), ui::Error, 8);
      c.helloPending = false;
      break;
    }
    case SessionState::Idle: c.helloPending = false; break;
    default: break;
  }
}

void OnPeerConnected(std::uint64_t peer) {
  CoopContext& c = Ctx();
  if (c.session->State() == SessionState::Hosting) {
    if (SlotOf(peer) == kNoSlot) c.waitingForHello[peer] = 0;
    core::LogInfo(tag::kCoop, "peer {:016X} connected, waiting for Hello", peer);
  } else if (peer == c.session->HostId() && !c.welcomed) {
    c.helloPending = true;
    c.helloTimer = 0;
  }
}

void OnPeerDisconnected(std::uint64_t peer) {
  CoopContext& c = Ctx();
  if (c.session->State() == SessionState::Hosting) {
    c.waitingForHello.erase(peer);
    std::uint8_t slot = SlotOf(peer);
    if (slot == kNoSlot || slot == 0) return;
    Member left = c.members[slot];
    c.members[slot] = Member{};
    Broadcast(kNoSlot, net::kReliableChannel, EncodeMemberLeft(slot));
    core::LogInfo(tag::kCoop, "slot {} \"{}\" left", slot, left.name);
    ui::PostToast(trf("toast.left", left.name), ui::Info, 4);
    NotifyMember(left, false);
    return;
  }
  if (peer == c.session->HostId() && !c.hostGoneHandled) {
    c.hostGoneHandled = true;
    c.helloPending = false;
    bool wasWelcomed = c.welcomed;
    ResetMembers(true);
    if (wasWelcomed) ui::PostToast(tr("toast.host_left"), ui::Warning, 6);
    c.leaveRequested = true;
  }
}

// [SECTION] Ticker and start-up

bool TryStartSession(bool giveUp) {
  CoopContext& c = Ctx();
  c.sessionReady = c.session->Init(c.config);
  if (c.sessionReady) {
    core::LogInfo(tag::kCoop, "session ready (transport {}, local id {:016X}) after {:.1f}s", "steam",
                  c.session->LocalId(), c.elapsed);
    c.members[0].steamId = c.session->LocalId();
    return true;
  }
  c.session->Shutdown();
  if (giveUp)
    core::LogError(tag::kCoop, "Session::Init failed for {:.0f}s (transport {}); giving up", c.elapsed, "steam");
  else if (c.elapsed == 0 && !c.warnedNotReady) {
    c.warnedNotReady = true;
    core::LogWarn(tag::kCoop, "Session::Init not ready yet (transport {}); retrying every 2s", "steam");
  }
  return false;
}

void CoopTick(float dt) {
  CoopContext& c = Ctx();
  if (c.disabled) return;
  if (!c.sessionReady) {
    c.retryTimer -= dt;
    c.elapsed += dt;
    if (c.retryTimer > 0 || c.gaveUp) return;
    c.retryTimer = kRetrySeconds;
    bool giveUp = c.elapsed >= kGiveUpSeconds;
    if (!TryStartSession(giveUp) && giveUp) {
      c.gaveUp = true;
      c.disabled = true;
      const char* reason = "Steam API not ready after 90 s (game not launched from Steam?)";
      core::LogError(tag::kCoop, "co-op disabled: {}", reason);
      ui::PostToast(trf("toast.init_failed", reason), ui::Error, 8);
      c.helloPending = false;
      c.rejected.clear();
      c.waitingForHello.clear();
      ResetMembers(false);
    }
    return;
  }

  c.session->Tick();
  SessionState state = c.session->State();
  if (c.helloPending && !c.welcomed && (state == SessionState::Connecting || state == SessionState::Connected)) {
    c.helloTimer -= dt;
    if (c.helloTimer <= 0) {
      if (c.helloAttempts < kMaxHelloAttempts) {
        SendHello();
        c.helloTimer = kHelloEverySeconds;
      } else {
        c.helloPending = false;
        c.hostGoneHandled = true;
        ui::PostToast(tr("toast.host_timeout"), ui::Error, 8);
        c.leaveRequested = true;
      }
    }
  }
  for (RejectedPeer& r : c.rejected) r.secondsLeft -= dt;
  std::erase_if(c.rejected, [&](const RejectedPeer& r) {
    if (r.secondsLeft > 0) return false;
    if (net::ITransport* transport = c.session->Transport()) transport->CloseSession(r.peer);
    return true;
  });
  for (auto it = c.waitingForHello.begin(); it != c.waitingForHello.end();) {
    it->second += dt;
    if (it->second > kHelloWaitSeconds) {
      core::LogInfo(tag::kCoop, "peer {:016X} never sent Hello, closing", it->first);
      if (net::ITransport* transport = c.session->Transport()) transport->CloseSession(it->first);
      it = c.waitingForHello.erase(it);
    } else {
      ++it;
    }
  }
  if (c.leaveRequested) {
    c.leaveRequested = false;
    c.session->Leave();
  }
  state = c.session->State();
  if (state != SessionState::Hosting) {
    if (state != SessionState::Connecting && state != SessionState::Connected) {
      if (AnyRemoteMember() || c.welcomed || c.ownSlot != 0) ResetMembers(true);
      c.waitingForHello.clear();
      if (state == SessionState::Idle) c.hostGoneHandled = false;
    } else {
      c.waitingForHello.clear();
    }
  }
  c.nameTimer -= dt;
  if (c.nameTimer <= 0) {
    c.nameTimer = kNameRefreshSeconds;
    RefreshLocalName(true);
  }
  bool active = IsCoopActive();
  if (active != c.coopActive) {
    c.coopActive = active;
    core::LogInfo(tag::kCoop, "co-op session {}", active ? "started" : "ended");
    std::function<void()>& callback = active ? c.onCoopStarted : c.onCoopEnded;
    if (callback) callback();
  }
}

}  // namespace

net::Session& GetSession() {
  CoopContext& c = Ctx();
  // Created on first use and never destroyed: its keepalive thread may still
  // run while the process exits.
  if (!c.session) c.session = new net::Session();
  return *c.session;
}

void Init() {
  CoopContext& c = Ctx();
  if (c.tickerId != 0) return;
  GetSession();
  c.localName = DefaultName();
  const core::Settings& settings = core::GetSettings();
  c.config.transport = 0;
  c.config.maxMembers = 4;
  c.config.modName = core::ModName;
  c.config.modAuthor = core::ModAuthor;
  c.config.modVersion = core::ModVersion;
  c.config.gameBuild = core::GameBuildId();
  c.config.hostName = c.localName;
  c.config.udpPort = settings.udpPort;
  c.config.timeoutMs = 10000;
  c.session->onPacket = [](const net::Packet& p) { Route(p); };
  c.session->onPeerConnected = [](std::uint64_t peer) { OnPeerConnected(peer); };
  c.session->onPeerDisconnected = [](std::uint64_t peer) { OnPeerDisconnected(peer); };
  c.session->onStateChanged = [](SessionState s) { OnStateChanged(s); };
  TryStartSession(false);
  ResetMembers(false);
  RefreshLocalName(false);
  c.members[0].name = c.localName;
  c.tickerId = core::AddTicker("coop", &CoopTick);
}

const std::array<Member, kMaxSlots>& Members() { return Ctx().members; }

int MemberCount() {
  int n = 0;
  for (const Member& m : Ctx().members) n += m.used;
  return n < 1 ? 1 : n;
}

SlotInfo LocalSlot() {
  CoopContext& c = Ctx();
  if (!c.sessionReady || !IsGuestState(c.session->State())) return {0, true};
  if (c.welcomed) return {c.ownSlot, true};
  return {0, false};
}

bool IsCoopActive() {
  CoopContext& c = Ctx();
  if (!c.sessionReady) return false;
  SessionState state = c.session->State();
  if (state == SessionState::Hosting) return AnyRemoteMember();
  return state == SessionState::Connected && c.welcomed;
}

bool IsAuthority() { return !Ctx().sessionReady || !IsGuestState(Ctx().session->State()); }
bool CoopUsable() { return Ctx().sessionReady && !Ctx().disabled; }
bool SessionReady() { return Ctx().sessionReady; }

void RegisterMessageHandler(std::uint8_t type, MessageHandler handler) {
  if (handler) Ctx().handlers[type].push_back(std::move(handler));
}

void RegisterMemberListener(MemberListener listener) {
  if (listener) Ctx().memberListeners.push_back(std::move(listener));
}

void SendTo(std::uint64_t peer, std::uint8_t channel, const Bytes& bytes) {
  CoopContext& c = Ctx();
  if (!c.sessionReady || bytes.empty() || peer == 0) return;
  c.session->Send(peer, channel, bytes.data(), bytes.size());
}

void SendToHost(std::uint8_t channel, const Bytes& bytes) {
  CoopContext& c = Ctx();
  if (!c.sessionReady || !IsGuestState(c.session->State())) return;
  SendTo(c.session->HostId(), channel, bytes);
}

void Broadcast(std::uint8_t exceptSlot, std::uint8_t channel, const Bytes& bytes) {
  for (const Member& m : Ctx().members)
    if (m.used && !m.isLocal && m.slot != exceptSlot && m.steamId != 0) SendTo(m.steamId, channel, bytes);
}

void SendToAll(std::uint8_t channel, const Bytes& bytes) {
  SessionState state = StateNow();
  if (IsGuestState(state)) SendToHost(channel, bytes);
  else if (state == SessionState::Hosting) Broadcast(kNoSlot, channel, bytes);
}

void SendToSlot(std::uint8_t slot, std::uint8_t channel, const Bytes& bytes) {
  CoopContext& c = Ctx();
  if (slot >= kMaxSlots || !c.members[slot].used || c.members[slot].isLocal) return;
  if (!IsGuestState(StateNow())) SendTo(c.members[slot].steamId, channel, bytes);
  else if (slot == 0) SendToHost(channel, bytes);
}

const std::string& LocalName() { return Ctx().localName; }
const std::string& ProfileKey() { return Ctx().profileKey; }
int SaveSlot() { return Ctx().saveSlot; }

void SetLocalName(const std::string& text) {
  CoopContext& c = Ctx();
  if (c.profileKey.empty()) c.profileKey = ComputeProfileKey();
  bool saved = StoreName(c.profileKey, c.saveSlot, text);
  std::string cleaned = CleanName(text);
  UseLocalName(cleaned.empty() ? DefaultName() : cleaned, true);
  if (saved) ui::PostToast(trf("name.saved", c.localName), ui::Success, 4);
  else ui::PostToast(tr("name.save_failed"), ui::Warning, 4);
}

std::string DefaultName() {
  if (HMODULE steam = GetModuleHandleW(L"steam_api64.dll")) {
    using FriendsFn = void* (*)();
    using PersonaFn = const char* (*)(void*);
    auto friends = reinterpret_cast<FriendsFn>(GetProcAddress(steam, "SteamAPI_SteamFriends_v018"));
    auto persona = reinterpret_cast<PersonaFn>(GetProcAddress(steam, "SteamAPI_ISteamFriends_GetPersonaName"));
    if (friends && persona) {
      if (void* interface = friends()) {
        const char* name = persona(interface);
        std::string cleaned = name ? CleanName(name) : std::string();
        if (!cleaned.empty()) return cleaned;
      }
    }
  }
  return tr("name.default");
}

std::function<void()>& OnCoopStarted() { return Ctx().onCoopStarted; }
std::function<void()>& OnCoopEnded() { return Ctx().onCoopEnded; }

void testing::SetSaveSlotSource(int (*source)()) { Ctx().saveSlotSource = source ? source : &NoSaveSlot; }
void testing::Tick(float dt) { CoopTick(dt); }

}  // namespace bh::coop
