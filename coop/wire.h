// Wire format of co-op messages: one type byte, then a packed little-endian
// payload; strings are str16 (u16 byte length + UTF-8). The codecs of the
// membership messages, strict: exact length, every range rule.
// See docs/protocol.md for the table of types and the byte layouts.
//
// Offers: MessageType, WireWriter/WireReader, CutUtf8, the membership
// message structs with Encode*/Decode*, PeekHelloProtocol, RejectReasonKey.
// Needs: nothing (no Windows API; built natively too).
// Threads: any; pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bh::coop {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

enum class MessageType : std::uint8_t {
  Hello = 1,
  Welcome = 2,
  Reject = 3,
  MemberJoined = 4,
  MemberLeft = 5,
  Rename = 6,
  PlayerState = 20,
  PlayerAction = 21,
  PlayerWeapon = 22,
  EnemyStates = 40,
  EnemyEvent = 41,
  DamageRequest = 42,
  EnemyOwner = 45,
  HpScale = 63,
  Heartbeat = 250,
};

inline constexpr std::uint16_t kProtocolVersion = 4;
inline constexpr std::size_t kMaxSlots = 4;
inline constexpr std::size_t kNameCapBytes = 72;
inline constexpr std::size_t kWeaponPathCapBytes = 256;
inline constexpr std::size_t kStr16CapBytes = 65535;

// The longest prefix of text of at most cap bytes that does not end inside a
// UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, std::size_t cap);

// Appends packed little-endian fields.
class WireWriter {
 public:
  explicit WireWriter(Bytes& out) : out_(out) {}
  WireWriter& U8(std::uint8_t v);
  WireWriter& U16(std::uint16_t v);
  WireWriter& U32(std::uint32_t v);
  WireWriter& U64(std::uint64_t v);
  WireWriter& I16(std::int16_t v) { return U16(static_cast<std::uint16_t>(v)); }
  WireWriter& I32(std::int32_t v) { return U32(static_cast<std::uint32_t>(v)); }
  WireWriter& F32(float v);
  // Cut to cap bytes at a character boundary first.
  WireWriter& Str16(std::string_view text, std::size_t cap = kStr16CapBytes);

 private:
  Bytes& out_;
};

// Reads fields in order; the first field that does not fit clears ok() and
// every later read yields zero.
class WireReader {
 public:
  explicit WireReader(ByteView data) : data_(data) {}
  std::uint8_t U8();
  std::uint16_t U16();
  std::uint32_t U32();
  std::uint64_t U64();
  std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  float F32();
  // Fails when the text is longer than cap bytes.
  std::string Str16(std::size_t cap = kStr16CapBytes);
  // A float field that is NaN or infinite fails the decode.
  float FiniteF32();
  void Fail() { ok_ = false; }
  bool ok() const { return ok_; }
  std::size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }
  // True when every field fitted and not one byte is left over.
  bool Done() const { return ok_ && pos_ == data_.size(); }

 private:
  bool Take(std::size_t n, const std::uint8_t*& at);
  ByteView data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// Type byte of a message, 0 for an empty one.
inline std::uint8_t TypeOf(ByteView data) { return data.empty() ? 0 : data[0]; }

struct HelloMessage {
  std::uint16_t protocol = kProtocolVersion;
  std::string modName, modAuthor, modVersion, gameBuild, playerName;
  std::uint8_t flag = 0;
};

struct WelcomeEntry {
  std::uint8_t slot = 0;
  std::uint64_t steamId = 0;
  std::string name;
};

struct WelcomeMessage {
  std::uint8_t yourSlot = 0;
  std::vector<WelcomeEntry> entries;
};

struct MemberJoinedMessage {
  std::uint8_t slot = 0;
  std::uint64_t steamId = 0;
  std::string name;
};

struct RenameMessage {
  std::uint8_t slot = 0;
  std::string name;
};

// Reject reasons (1..5).
enum class RejectReason : std::uint8_t { RoomFull = 1, Mod = 2, Game = 3, Protocol = 4, Kicked = 5 };

Bytes EncodeHello(const HelloMessage& m);
Bytes EncodeWelcome(const WelcomeMessage& m);
Bytes EncodeReject(std::uint8_t reason);
Bytes EncodeMemberJoined(const MemberJoinedMessage& m);
Bytes EncodeMemberLeft(std::uint8_t slot);
Bytes EncodeRename(const RenameMessage& m);

// Each returns false (leaving out unspecified) when the message is malformed.
bool DecodeHello(ByteView data, HelloMessage& out);
bool DecodeWelcome(ByteView data, WelcomeMessage& out);
bool DecodeReject(ByteView data, std::uint8_t& reason);
bool DecodeMemberJoined(ByteView data, MemberJoinedMessage& out);
bool DecodeMemberLeft(ByteView data, std::uint8_t& slot);
bool DecodeRename(ByteView data, RenameMessage& out);

// The protocol of a Hello that does not decode: byte 0 is 1 and at least 3 bytes.
std::optional<std::uint16_t> PeekHelloProtocol(ByteView data);

// Text key of a reject reason ("reject.full" ... "reject.unknown").
const char* RejectReasonKey(std::uint8_t reason);

}  // namespace bh::coop
