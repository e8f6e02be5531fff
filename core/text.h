// Text conversion between UTF-16 paths and UTF-8 texts.
// Threads: any.
#pragma once

#include <string>
#include <string_view>

namespace bh::core {

// Whole-text conversions; an empty or failed conversion gives an empty text.
std::string Utf8FromWide(std::wstring_view wide);
std::wstring WideFromUtf8(std::string_view utf8);

}  // namespace bh::core
