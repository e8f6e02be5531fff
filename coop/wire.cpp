#include "coop/wire.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace bh::coop {

std::string_view CutUtf8(std::string_view text, std::size_t cap) {
  if (text.size() <= cap) return text;
  std::size_t end = cap;
  // Back off over continuation bytes to the lead byte of the split
  // character, and drop that character too.
  auto continuation = [&](std::size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
  if (end > 0 && continuation(end)) {
    while (end > 0 && continuation(end)) --end;
  }
  return text.substr(0, end);
}

WireWriter& WireWriter::U8(std::uint8_t v) {
  out_.push_back(v);
  return *this;
}
WireWriter& WireWriter::U16(std::uint16_t v) {
  for (int i = 0; i < 2; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return *this;
}
WireWriter& WireWriter::U32(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return *this;
}
WireWriter& WireWriter::U64(std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return *this;
}
WireWriter& WireWriter::F32(float v) { return U32(std::bit_cast<std::uint32_t>(v)); }
WireWriter& WireWriter::Str16(std::string_view text, std::size_t cap) {
  std::string_view cut = CutUtf8(text, cap < kStr16CapBytes ? cap : kStr16CapBytes);
  U16(static_cast<std::uint16_t>(cut.size()));
  out_.insert(out_.end(), cut.begin(), cut.end());
  return *this;
}

bool WireReader::Take(std::size_t n, const std::uint8_t*& at) {
  if (!ok_ || data_.size() - pos_ < n) {
    ok_ = false;
    return false;
  }
  at = data_.data() + pos_;
  pos_ += n;
  return true;
}

std::uint8_t WireReader::U8() {
  const std::uint8_t* p;
  return Take(1, p) ? p[0] : 0;
}
std::uint16_t WireReader::U16() {
  const std::uint8_t* p;
  return Take(2, p) ? static_cast<std::uint16_t>(p[0] | (p[1] << 8)) : 0;
}
std::uint32_t WireReader::U32() {
  const std::uint8_t* p;
  if (!Take(4, p)) return 0;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
std::uint64_t WireReader::U64() {
  const std::uint8_t* p;
  if (!Take(8, p)) return 0;
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
float WireReader::F32() { return std::bit_cast<float>(U32()); }
float WireReader::FiniteF32() {
  float v = F32();
  if (!std::isfinite(v)) {
    ok_ = false;
    return 0;
  }
  return v;
}
std::string WireReader::Str16(std::size_t cap) {
  std::uint16_t length = U16();
  const std::uint8_t* p;
  if (length > cap) {
    ok_ = false;
    return {};
  }
  if (!Take(length, p)) return {};
  return std::string(reinterpret_cast<const char*>(p), length);
}

namespace {

bool ExpectType(WireReader& r, MessageType type) {
  if (r.U8() != static_cast<std::uint8_t>(type)) r.Fail();
  return r.ok();
}

Bytes Start(MessageType type) { return Bytes{static_cast<std::uint8_t>(type)}; }

}  // namespace

Bytes EncodeHello(const HelloMessage& m) {
  Bytes out = Start(MessageType::Hello);
  WireWriter(out)
      .U16(m.protocol)
      .Str16(m.modName)
      .Str16(m.modAuthor)
      .Str16(m.modVersion)
      .Str16(m.gameBuild)
      .Str16(m.playerName, kNameCapBytes)
      .U8(m.flag);
  return out;
}

bool DecodeHello(ByteView data, HelloMessage& out) {
  WireReader r(data);
  if (!ExpectType(r, MessageType::Hello)) return false;
  out.protocol = r.U16();
  out.modName = r.Str16();
  out.modAuthor = r.Str16();
  out.modVersion = r.Str16();
  out.gameBuild = r.Str16();
  out.playerName = r.Str16(kNameCapBytes);
  out.flag = r.U8();
  return r.Done() && out.flag <= 1;
}

std::optional<std::uint16_t> PeekHelloProtocol(ByteView data) {
  if (data.size() < 3 || data[0] != static_cast<std::uint8_t>(MessageType::Hello)) return std::nullopt;
  return static_cast<std::uint16_t>(data[1] | (data[2] << 8));
}

Bytes EncodeWelcome(const WelcomeMessage& m) {
  Bytes out = Start(MessageType::Welcome);
  WireWriter w(out);
  std::size_t count = m.entries.size() < 65535 ? m.entries.size() : 65535;
  w.U8(m.yourSlot).U16(static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const WelcomeEntry& e = m.entries[i];
    w.U8(e.slot).U64(e.steamId).Str16(e.name, kNameCapBytes);
  }
  return out;
}

bool DecodeWelcome(ByteView data, WelcomeMessage& out) {
  constexpr std::size_t kSmallestEntry = 1 + 8 + 2;
  WireReader r(data);
  if (!ExpectType(r, MessageType::Welcome)) return false;
  out.yourSlot = r.U8();
  std::uint16_t count = r.U16();
  if (!r.ok() || out.yourSlot >= kMaxSlots || count > kMaxSlots || r.remaining() < count * kSmallestEntry)
    return false;
  out.entries.clear();
  for (std::uint16_t i = 0; i < count; ++i) {
    WelcomeEntry e;
    e.slot = r.U8();
    e.steamId = r.U64();
    e.name = r.Str16(kNameCapBytes);
    if (!r.ok() || e.slot >= kMaxSlots) return false;
    out.entries.push_back(std::move(e));
  }
  return r.Done();
}

Bytes EncodeReject(std::uint8_t reason) {
  Bytes out = Start(MessageType::Reject);
  out.push_back(reason);
  return out;
}

bool DecodeReject(ByteView data, std::uint8_t& reason) {
  WireReader r(data);
  if (!ExpectType(r, MessageType::Reject)) return false;
  reason = r.U8();
  return r.Done() && reason >= 1 && reason <= 5;
}

Bytes EncodeMemberJoined(const MemberJoinedMessage& m) {
  Bytes out = Start(MessageType::MemberJoined);
  WireWriter(out).U8(m.slot).U64(m.steamId).Str16(m.name, kNameCapBytes);
  return out;
}

bool DecodeMemberJoined(ByteView data, MemberJoinedMessage& out) {
  WireReader r(data);
  if (!ExpectType(r, MessageType::MemberJoined)) return false;
  out.slot = r.U8();
  out.steamId = r.U64();
  out.name = r.Str16(kNameCapBytes);
  return r.Done() && out.slot < kMaxSlots;
}

Bytes EncodeMemberLeft(std::uint8_t slot) {
  Bytes out = Start(MessageType::MemberLeft);
  out.push_back(slot);
  return out;
}

bool DecodeMemberLeft(ByteView data, std::uint8_t& slot) {
  WireReader r(data);
  if (!ExpectType(r, MessageType::MemberLeft)) return false;
  slot = r.U8();
  return r.Done() && slot < kMaxSlots;
}

Bytes EncodeRename(const RenameMessage& m) {
  Bytes out = Start(MessageType::Rename);
  WireWriter(out).U8(m.slot).Str16(m.name, kNameCapBytes);
  return out;
}

bool DecodeRename(ByteView data, RenameMessage& out) {
  WireReader r(data);
  if (!ExpectType(r, MessageType::Rename)) return false;
  out.slot = r.U8();
  out.name = r.Str16(kNameCapBytes);
  return r.Done() && out.slot < kMaxSlots;
}

const char* RejectReasonKey(std::uint8_t reason) {
  switch (reason) {
    case 1: return "reject.full";
    case 2: return "reject.mod";
    case 3: return "reject.game";
    case 4: return "reject.protocol";
    case 5: return "reject.kicked";
    default: return "reject.unknown";
  }
}

}  // namespace bh::coop
