// The stand-in Steam's private wire format between steam_api64.dll and the
// broker, over one loopback TCP connection per client.
//
// A client opens with the 4 bytes "FWSC"; a connection that opens with
// anything else is a control connection and speaks text lines (broker.h).
// After the magic, both directions carry frames:
//   u32 body length, then the body: u8 op, u32 request id, op's fields.
// Integers are little-endian; a string or byte field is u32 length + bytes.
// A request with id != 0 gets exactly one Reply frame carrying the same id;
// pushed events (messages, callbacks) use id 0.
//
// Shared by the DLL, the broker and the tests of the stand-in; never by the product.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace fwsteam {

inline constexpr char kClientMagic[4] = {'F', 'W', 'S', 'C'};
inline constexpr std::uint32_t kMaxFrame = 4u << 20;  // the broker drops a client that sends more

enum class Op : std::uint8_t {
  // client -> broker
  Hello = 1,             // u64 steam id -> str persona, str language
  CreateLobby = 2,       // i32 type, i32 max members -> u64 call handle
  JoinLobby = 3,         // u64 lobby -> u64 call handle
  LeaveLobby = 4,        // u64 lobby (no reply)
  LobbyOwner = 5,        // u64 lobby -> u64
  LobbyMemberCount = 6,  // u64 lobby -> i32
  LobbyMember = 7,       // u64 lobby, i32 index -> u64
  SetLobbyData = 8,      // u64 lobby, str key, str value -> u8
  GetLobbyData = 9,      // u64 lobby, str key -> str
  RequestLobbyData = 10, // u64 lobby -> u8
  LobbyMemberLimit = 11, // u64 lobby -> i32
  Send = 12,             // u64 to, i32 channel, u8 reliable, bytes (no reply)
  FriendCount = 13,      // i32 flags -> i32
  FriendByIndex = 14,    // i32 index, i32 flags -> u64
  FriendGamePlayed = 15, // u64 friend -> u8 in game, u64 game id, u64 lobby
  FriendPersona = 16,    // u64 friend -> str
  SetRichPresence = 17,  // str key, str value -> u8
  ClearRichPresence = 18,// (no reply)

  // broker -> client
  Reply = 64,            // request id set; fields as listed above
  Message = 65,          // u64 from, i32 channel, bytes
  CallResult = 66,       // u64 handle, u8 kind (0 created, 1 entered), u64 lobby, i32 result
  ChatUpdate = 67,       // u64 lobby, u64 changed, u64 making change, u32 state bits
  JoinRequested = 68,    // u64 lobby, u64 friend
  RichPresenceJoin = 69, // u64 friend, str connect text
  Config = 70,           // u32 switch bits (kConfig*)
};

// Broker-wide switches pushed to every client.
inline constexpr std::uint32_t kConfigUnsolicited = 1;  // deliver without session requests

// Steam ids as Steam forms them: universe 1 (public) in bits 56-63, account
// type in bits 52-55, instance in bits 32-51, account number below.
inline constexpr std::uint64_t kIndividualBase = 0x0110000100000000ull;  // type 1, instance 1
inline constexpr std::uint64_t kLobbyBase = 0x0186000000000000ull;       // type 8, lobby instance
// Small numbers name accounts for short: n -> kIndividualBase + n.
inline std::uint64_t ExpandAccountId(std::uint64_t id) { return id < (1ull << 32) ? kIndividualBase + id : id; }

class Writer {
 public:
  explicit Writer(Op op, std::uint32_t requestId = 0) {
    bytes_.resize(4);
    U8(static_cast<std::uint8_t>(op));
    U32(requestId);
  }
  Writer& U8(std::uint8_t v) { return Raw(&v, 1); }
  Writer& U32(std::uint32_t v) { return Raw(&v, 4); }
  Writer& I32(std::int32_t v) { return Raw(&v, 4); }
  Writer& U64(std::uint64_t v) { return Raw(&v, 8); }
  Writer& Bytes(const void* data, std::size_t size) {
    U32(static_cast<std::uint32_t>(size));
    return Raw(data, size);
  }
  Writer& Str(std::string_view s) { return Bytes(s.data(), s.size()); }
  // The finished frame, length prefix filled in.
  const std::vector<std::uint8_t>& Frame() {
    std::uint32_t body = static_cast<std::uint32_t>(bytes_.size() - 4);
    std::memcpy(bytes_.data(), &body, 4);
    return bytes_;
  }

 private:
  Writer& Raw(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

// Reads fields from a frame body; a short body reads zeros and sets !ok().
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  std::uint8_t U8() { std::uint8_t v = 0; Raw(&v, 1); return v; }
  std::uint32_t U32() { std::uint32_t v = 0; Raw(&v, 4); return v; }
  std::int32_t I32() { std::int32_t v = 0; Raw(&v, 4); return v; }
  std::uint64_t U64() { std::uint64_t v = 0; Raw(&v, 8); return v; }
  std::string Str() {
    std::uint32_t n = U32();
    if (static_cast<std::size_t>(end_ - p_) < n) { ok_ = false; p_ = end_; return {}; }
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  std::vector<std::uint8_t> Bytes() {
    std::string s = Str();
    return std::vector<std::uint8_t>(s.begin(), s.end());
  }
  bool ok() const { return ok_; }

 private:
  void Raw(void* out, std::size_t size) {
    if (static_cast<std::size_t>(end_ - p_) < size) { ok_ = false; p_ = end_; return; }
    std::memcpy(out, p_, size);
    p_ += size;
  }
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  bool ok_ = true;
};

}  // namespace fwsteam
