// Engine text helpers that touch no engine memory: UTF-16 and UTF-8
// conversions, FNV-1a and the rotator quaternion.
#include <cmath>

#include "engine/objects.h"

namespace bh::engine {

std::string EngineTextToUtf8(const char16_t* units, std::size_t count) {
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out.push_back('\0');  // unpaired surrogate
      continue;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool Utf16FromUtf8(std::string_view text, std::u16string& out) {
  std::u16string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    std::uint32_t c = byte(i);
    std::size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || i + extra >= text.size()) return false;
    if (extra) c &= 0x3F >> extra;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      c = (c << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are malformed.
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      result.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(c));
    }
    i += extra + 1;
  }
  out = std::move(result);
  return true;
}

std::uint64_t Fnv1a64(const void* data, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}

Quat QuatFromRotator(const Rotator& r) {
  constexpr double kHalfDegree = 0.008726646;  // radians per degree, halved
  double sp = std::sin(r.pitch * kHalfDegree), cp = std::cos(r.pitch * kHalfDegree);
  double sy = std::sin(r.yaw * kHalfDegree), cy = std::cos(r.yaw * kHalfDegree);
  double sr = std::sin(r.roll * kHalfDegree), cr = std::cos(r.roll * kHalfDegree);
  Quat q;
  q.x = static_cast<float>(cr * sp * sy - sr * cp * cy);
  q.y = static_cast<float>(-cr * sp * cy - sr * cp * sy);
  q.z = static_cast<float>(cr * cp * sy - sr * sp * cy);
  q.w = static_cast<float>(cr * cp * cy + sr * sp * sy);
  return q;
}

}  // namespace bh::engine
