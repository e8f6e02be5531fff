#include "ui/menu_key.h"

#include <cstdlib>

#include "core/log.h"
#include "core/log_tags.h"

namespace bh::ui {

int ParseMenuKey(const std::string& text) {
  std::string upper;
  for (char c : text) upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  if (upper.size() > 1 && upper[0] == 'F') {
    // Like a standard integer conversion: leading blanks and a sign allowed,
    // trailing characters ignored.
    const char* digits = upper.c_str() + 1;
    char* end = nullptr;
    long n = std::strtol(digits, &end, 10);
    if (end != digits && n >= 1 && n <= 24) return 111 + static_cast<int>(n);
  }
  struct Named {
    const char* name;
    int code;
  };
  static constexpr Named kNamed[] = {
      {"INSERT", 0x2D}, {"INS", 0x2D},      {"HOME", 0x24},     {"END", 0x23},  {"DELETE", 0x2E},
      {"DEL", 0x2E},    {"PAGEUP", 0x21},   {"PGUP", 0x21},     {"PAGEDOWN", 0x22}, {"PGDN", 0x22},
      {"`", 0xC0},      {"~", 0xC0},        {"TILDE", 0xC0},    {"GRAVE", 0xC0},
  };
  for (const Named& named : kNamed)
    if (upper == named.name) return named.code;
  if (upper.size() == 1 && ((upper[0] >= 'A' && upper[0] <= 'Z') || (upper[0] >= '0' && upper[0] <= '9')))
    return upper[0];
  core::LogWarn(tag::kOverlay, "unknown menuKey \"{}\", using F5", upper);
  return kDefaultMenuKey;
}

}  // namespace bh::ui
