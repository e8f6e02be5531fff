#include "coop/names.h"

#include "ui/i18n.h"

namespace bh::coop {
namespace {

constexpr std::size_t kNameMaxBytes = 72;

bool Keep(std::uint32_t c) {
  return (c >= 0x20 && c <= 0x7E) || (c >= 0x80 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0x10FFFF);
}

}  // namespace

std::string CleanName(std::string_view text) {
  std::string out;
  std::size_t kept = 0;
  std::size_t i = 0;
  while (i < text.size() && kept < kNameMaxChars) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t c;
    if (lead < 0x80) length = 1, c = lead;
    else if ((lead & 0xE0) == 0xC0) length = 2, c = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0) length = 3, c = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0) length = 4, c = lead & 0x07;
    else {
      ++i;  // a stray continuation or an invalid lead byte
      continue;
    }
    if (text.size() - i < length) break;
    bool wellFormed = true;
    for (std::size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        wellFormed = false;
        break;
      }
      c = (c << 6) | (next & 0x3F);
    }
    if (!wellFormed) {
      ++i;  // resume right after the lead byte
      continue;
    }
    bool overlong = (length == 2 && c < 0x80) || (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    if (!overlong && Keep(c)) {
      if (out.size() + length > kNameMaxBytes) break;
      out.append(text.substr(i, length));
      ++kept;
    }
    i += length;
  }
  std::size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  std::size_t last = out.find_last_not_of(' ');
  return out.substr(first, last - first + 1);
}

std::string MemberName(std::string_view text, std::uint8_t slot) {
  std::string name = CleanName(text);
  if (!name.empty()) return name;
  return std::string(ui::tr("name.default")) + std::to_string(slot + 1);
}

std::string ProfileSlotKey(int saveSlot) { return "slot" + std::to_string(saveSlot < 0 ? 0 : saveSlot); }

}  // namespace bh::coop
