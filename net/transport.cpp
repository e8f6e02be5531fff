#include "net/transport.h"

#include <algorithm>

#include "net/clock.h"

namespace bh::net {

// ---- SteamTransport ----

SteamTransport::~SteamTransport() { Shutdown(); }

steam::SteamNetworkingIdentity SteamTransport::Identity(std::uint64_t peer) const {
  steam::SteamNetworkingIdentity identity{};
  api_->IdentitySetSteamID64(&identity, peer);
  return identity;
}

bool SteamTransport::Init() {
  if (ready_) return true;
  if (!BindSteamApi()) return false;
  api_ = SteamApiOrNull();
  localId_ = api_->GetSteamID(api_->user);
  if (localId_ == 0) {
    core::LogError(tag::kNet, "steam: GetSteamID returned 0 (not logged on?)");
    return false;
  }
  requests_ = std::make_unique<CallbackQueue<steam::SteamNetworkingMessagesSessionRequest_t>>();
  if (!requests_->Register(steam::kSessionRequestId)) {
    core::LogError(tag::kNet, "steam: could not register SteamNetworkingMessagesSessionRequest_t");
    requests_.reset();
    return false;
  }
  ready_ = true;
  core::LogInfo(tag::kNet, "steam: transport ready, local id {}", localId_);
  return true;
}

bool SteamTransport::Send(std::uint64_t peer, std::uint8_t channel, const void* data, std::size_t size) {
  if (!ready_ || !data || size == 0 || peer == 0 || !opened_.count(peer)) return false;
  int flags;
  if (channel == kReliableChannel && size <= kMaxReliableBytes) flags = steam::kSendReliable;
  else if (channel == kUnreliableChannel && size <= kMaxUnreliableBytes) flags = steam::kSendUnreliableNoDelay;
  else return false;
  steam::SteamNetworkingIdentity to = Identity(peer);
  return api_->SendMessageToUser(api_->messages, &to, data, static_cast<std::uint32_t>(size), flags, channel) ==
         steam::kResultOk;
}

void SteamTransport::Accept(std::uint64_t peer) {
  steam::SteamNetworkingIdentity identity = Identity(peer);
  bool accepted = api_->AcceptSessionWithUser(api_->messages, &identity);
  core::LogInfo(tag::kNet, "steam: accept session from {} -> {}", peer, accepted);
}

void SteamTransport::OpenSession(std::uint64_t peer) {
  if (!ready_ || peer == 0 || peer == localId_) return;
  if (!opened_.insert(peer).second) return;
  core::LogInfo(tag::kNet, "steam: opening session with {}", peer);
  auto waiting = std::find_if(pending_.begin(), pending_.end(), [&](const PendingRequest& r) { return r.peer == peer; });
  if (waiting != pending_.end()) {
    Accept(peer);
    pending_.erase(waiting);
  }
  // The first message is what makes Steam open the session on the other side.
  const std::uint8_t opener = kHeartbeatByte;
  Send(peer, kReliableChannel, &opener, 1);
}

void SteamTransport::CloseSession(std::uint64_t peer) {
  if (!ready_) return;
  if (opened_.erase(peer) == 0) return;
  steam::SteamNetworkingIdentity identity = Identity(peer);
  api_->CloseSessionWithUser(api_->messages, &identity);
  core::LogInfo(tag::kNet, "steam: closed session with {}", peer);
}

void SteamTransport::Shutdown() {
  if (!ready_) return;
  ready_ = false;
  if (SteamModuleLoaded()) {
    for (std::uint64_t peer : opened_) {
      steam::SteamNetworkingIdentity identity = Identity(peer);
      api_->CloseSessionWithUser(api_->messages, &identity);
    }
  }
  opened_.clear();
  pending_.clear();
  requests_.reset();
  core::LogInfo(tag::kNet, "steam: transport shut down");
}

void SteamTransport::Poll(std::vector<Packet>& out) {
  if (!ready_) return;
  const std::int64_t now = MonotonicNs();

  for (const auto& request : requests_->Take()) {
    std::uint64_t peer = api_->IdentityGetSteamID64(&request.requester);
    if (peer == 0) continue;
    bool known = std::any_of(pending_.begin(), pending_.end(), [&](const PendingRequest& r) { return r.peer == peer; });
    if (!known) pending_.push_back({peer, now});
  }

  // Sessions are accepted only from peers this side chose to open.
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (opened_.count(it->peer)) {
      Accept(it->peer);
      it = pending_.erase(it);
    } else if (now - it->firstSeenNs > kRequestWaitNs) {
      core::LogInfo(tag::kNet, "steam: ignored session request from {} (not a lobby member we opened)", it->peer);
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }

  constexpr int kBatch = 64;
  constexpr int kBatchesPerPoll = 16;
  steam::SteamNetworkingMessage_t* messages[kBatch];
  for (std::uint8_t channel : {kReliableChannel, kUnreliableChannel}) {
    for (int batch = 0; batch < kBatchesPerPoll; ++batch) {
      int n = api_->ReceiveMessagesOnChannel(api_->messages, channel, messages, kBatch);
      if (n > kBatch) {
        core::LogWarn(tag::kNet, "steam: ReceiveMessagesOnChannel returned {} for a batch of {}; reading {}", n, kBatch,
                      kBatch);
        n = kBatch;  // never read beyond the array
      }
      for (int i = 0; i < n; ++i) {
        steam::SteamNetworkingMessage_t* m = messages[i];
        if (!m) continue;
        std::uint64_t from = api_->IdentityGetSteamID64(&m->peer);
        if (from != 0 && m->data && m->size > 0) {
          const auto* bytes = static_cast<const std::uint8_t*>(m->data);
          Packet p;
          p.from = from;
          p.channel = channel;
          p.bytes.assign(bytes, bytes + m->size);
          out.push_back(std::move(p));
        }
        api_->ReleaseMessage(m);
      }
      if (n < kBatch) break;
    }
  }
}

// ---- LockedTransport ----

bool LockedTransport::Init() {
  std::lock_guard<std::mutex> guard(lock_);
  return slot_ ? slot_->Init() : false;
}
void LockedTransport::Shutdown() {
  std::lock_guard<std::mutex> guard(lock_);
  if (slot_) slot_->Shutdown();
}
bool LockedTransport::Send(std::uint64_t peer, std::uint8_t channel, const void* data, std::size_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  return slot_ ? slot_->Send(peer, channel, data, size) : false;
}
void LockedTransport::Poll(std::vector<Packet>& out) {
  std::lock_guard<std::mutex> guard(lock_);
  if (slot_) slot_->Poll(out);
}
void LockedTransport::OpenSession(std::uint64_t peer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (slot_) slot_->OpenSession(peer);
}
void LockedTransport::CloseSession(std::uint64_t peer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (slot_) slot_->CloseSession(peer);
}
std::uint64_t LockedTransport::LocalId() {
  std::lock_guard<std::mutex> guard(lock_);
  return slot_ ? slot_->LocalId() : 0;
}
std::int32_t LockedTransport::Ping(std::uint64_t peer) {
  std::lock_guard<std::mutex> guard(lock_);
  return slot_ ? slot_->Ping(peer) : -1;
}

}  // namespace bh::net
