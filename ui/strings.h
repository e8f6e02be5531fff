// The built-in string table (read-only, static lifetime).
#pragma once

#include <span>

namespace bh::ui {

// One text in three languages; a null text means no translation.
struct StringRow {
  const char* key;
  const char* english;
  const char* chinese;
  const char* japanese;
};

std::span<const StringRow> StringTable();

}  // namespace bh::ui
