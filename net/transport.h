// Transport: opaque byte messages between this player and others, addressed
// by Steam id, on channel 0 (reliable, ordered, up to 65536 bytes) and
// channel 1 (unreliable, no delay, up to 1100 bytes).
//
// Offers: Packet; ITransport; SteamTransport over Steam's networking
// messages; CCallbackBase and CallbackQueue<T> (Steam's callback receiver, a
// queue of copied events); LockedTransport, the session's locked view.
// Needs: the Steam binding (steam_api.h), Log, the monotonic clock.
// Threads: transports are called from the game thread and the session's
// keepalive thread, always under the session's transport mutex. A
// CallbackQueue's run entries execute on whatever thread Steam delivers
// callbacks on; Take() on the consumer's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "core/log.h"
#include "core/log_tags.h"
#include "net/steam_api.h"

namespace bh::net {

// One received message.
struct Packet {
  std::uint64_t from = 0;          // never 0
  std::uint8_t channel = 0;        // 0 or 1
  std::vector<std::uint8_t> bytes; // at least one byte; byte 0 is the message type
};

inline constexpr std::uint8_t kReliableChannel = 0;
inline constexpr std::uint8_t kUnreliableChannel = 1;
inline constexpr std::size_t kMaxReliableBytes = 65536;
inline constexpr std::size_t kMaxUnreliableBytes = 1100;
inline constexpr std::uint8_t kHeartbeatByte = 0xFA;

class ITransport {
 public:
  virtual ~ITransport() = default;
  virtual bool Init() = 0;
  virtual void Shutdown() = 0;
  virtual bool Send(std::uint64_t peer, std::uint8_t channel, const void* data, std::size_t size) = 0;
  // Appends what has arrived.
  virtual void Poll(std::vector<Packet>& out) = 0;
  virtual void OpenSession(std::uint64_t peer) = 0;
  virtual void CloseSession(std::uint64_t peer) = 0;
  // 0 when not initialised.
  virtual std::uint64_t LocalId() = 0;
  // Round trip in milliseconds, -1 when there is no measurement.
  virtual std::int32_t Ping(std::uint64_t peer) = 0;
};

// Steam's callback receiver. The virtual slots are in the order Steam's
// client calls them (run with call-result arguments, run, size), and there
// is no virtual destructor: Steam's table has no slot for one. This compiler
// lays virtuals out in declaration order, so the order here is the ABI.
class CCallbackBase {
 public:
  virtual void Run(void* data, bool ioFailure, std::uint64_t call) = 0;
  virtual void Run(void* data) = 0;
  virtual int GetCallbackSizeBytes() = 0;

  // Maintained by Steam: bit 0 set while registered; the callback id.
  std::uint8_t callbackFlags = 0;
  std::int32_t callbackId = 0;

 protected:
  CCallbackBase() = default;
  ~CCallbackBase() = default;
};

// Copies each Steam event of type T into a vector; the consumer takes the
// whole vector at once. At most kCapacity events wait; more are dropped and
// counted, and the next Take() logs how many.
template <typename T>
class CallbackQueue final : public CCallbackBase {
 public:
  static constexpr std::size_t kCapacity = 256;

  CallbackQueue() = default;
  CallbackQueue(const CallbackQueue&) = delete;
  CallbackQueue& operator=(const CallbackQueue&) = delete;
  ~CallbackQueue() {
    if (!registered_) return;
    registered_ = false;
    const steam::SteamApi* api = SteamApiOrNull();
    if (api && SteamModuleLoaded()) api->UnregisterCallback(this);
  }

  // Registers with Steam under id; false when the Steam table is unavailable.
  bool Register(int id) {
    const steam::SteamApi* api = SteamApiOrNull();
    if (!api) return false;
    api->RegisterCallback(this, id);
    registered_ = true;
    return true;
  }
  bool Registered() const { return registered_; }

  // Everything queued so far, oldest first.
  std::vector<T> Take() {
    std::vector<T> taken;
    std::size_t dropped;
    {
      std::lock_guard<std::mutex> guard(lock_);
      taken.swap(events_);
      dropped = dropped_;
      dropped_ = 0;
    }
    if (dropped)
      core::LogWarn(tag::kNet, "steam: dropped {} event(s) of callback {} (queue full)", dropped, callbackId);
    return taken;
  }

  void Run(void* data, bool, std::uint64_t) override { Push(data); }
  void Run(void* data) override { Push(data); }
  int GetCallbackSizeBytes() override { return static_cast<int>(sizeof(T)); }

 private:
  void Push(const void* data) {
    if (!data) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (events_.size() >= kCapacity) {
      ++dropped_;
      return;
    }
    events_.push_back(*static_cast<const T*>(data));
  }

  std::mutex lock_;  // guards events_ and dropped_; Steam's delivering thread and the consumer
  std::vector<T> events_;
  std::size_t dropped_ = 0;
  bool registered_ = false;  // owner's thread only
};

class SteamTransport final : public ITransport {
 public:
  SteamTransport() = default;
  ~SteamTransport() override;

  bool Init() override;
  void Shutdown() override;
  bool Send(std::uint64_t peer, std::uint8_t channel, const void* data, std::size_t size) override;
  void Poll(std::vector<Packet>& out) override;
  void OpenSession(std::uint64_t peer) override;
  void CloseSession(std::uint64_t peer) override;
  std::uint64_t LocalId() override { return ready_ ? localId_ : 0; }
  std::int32_t Ping(std::uint64_t) override { return -1; }

  // How long a session request waits for OpenSession before it is ignored.
  static constexpr std::int64_t kRequestWaitNs = 30ll * 1000000000;

 private:
  struct PendingRequest {
    std::uint64_t peer;
    std::int64_t firstSeenNs;
  };
  void Accept(std::uint64_t peer);
  steam::SteamNetworkingIdentity Identity(std::uint64_t peer) const;

  const steam::SteamApi* api_ = nullptr;
  bool ready_ = false;
  std::uint64_t localId_ = 0;
  std::unique_ptr<CallbackQueue<steam::SteamNetworkingMessagesSessionRequest_t>> requests_;
  std::unordered_set<std::uint64_t> opened_;
  std::vector<PendingRequest> pending_;
};

// The session's view of its transport: every call takes the session's
// transport mutex and forwards to whatever transport the session holds now.
class LockedTransport final : public ITransport {
 public:
  LockedTransport(std::mutex& lock, std::unique_ptr<ITransport>& slot) : lock_(lock), slot_(slot) {}

  bool Init() override;
  void Shutdown() override;
  bool Send(std::uint64_t peer, std::uint8_t channel, const void* data, std::size_t size) override;
  void Poll(std::vector<Packet>& out) override;
  void OpenSession(std::uint64_t peer) override;
  void CloseSession(std::uint64_t peer) override;
  std::uint64_t LocalId() override;
  std::int32_t Ping(std::uint64_t peer) override;

 private:
  std::mutex& lock_;
  std::unique_ptr<ITransport>& slot_;
};

}  // namespace bh::net
