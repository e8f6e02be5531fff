// The overlay's menu key: a key name from config.json to a virtual-key code.
// Threads: any; pure.
#pragma once

#include <string>

namespace bh::ui {

inline constexpr int kDefaultMenuKey = 116;  // F5

// F1..F24, INSERT/INS, HOME, END, DELETE/DEL, PAGEUP/PGUP, PAGEDOWN/PGDN,
// `/~/TILDE/GRAVE, or one letter or digit (any case). Anything else logs a
// warning and gives F5.
int ParseMenuKey(const std::string& text);

}  // namespace bh::ui
