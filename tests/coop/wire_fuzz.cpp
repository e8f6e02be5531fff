// libFuzzer target over every membership decoder. The input is copied into
// a block of exactly its size, so ASan catches a read past the message.
// Whatever decodes must encode back to the very same bytes: decoding is
// exact, and nothing a decoder accepts is changed by the encoder's caps.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "coop/wire.h"

using namespace bh::coop;

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  ByteView bytes(copy.get(), size);
  Bytes original(bytes.begin(), bytes.end());

  HelloMessage hello;
  if (DecodeHello(bytes, hello)) Check(EncodeHello(hello) == original);
  WelcomeMessage welcome;
  if (DecodeWelcome(bytes, welcome)) Check(EncodeWelcome(welcome) == original);
  std::uint8_t value = 0;
  if (DecodeReject(bytes, value)) Check(EncodeReject(value) == original);
  if (DecodeMemberLeft(bytes, value)) Check(EncodeMemberLeft(value) == original);
  MemberJoinedMessage joined;
  if (DecodeMemberJoined(bytes, joined)) Check(EncodeMemberJoined(joined) == original);
  RenameMessage rename;
  if (DecodeRename(bytes, rename)) Check(EncodeRename(rename) == original);
  if (auto protocol = PeekHelloProtocol(bytes)) Check(size >= 3 && bytes[0] == 1);
  return 0;
}
