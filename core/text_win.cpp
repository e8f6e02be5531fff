#include <windows.h>

#include "core/text.h"

namespace bh::core {

std::string Utf8FromWide(std::wstring_view wide) {
  if (wide.empty() || wide.size() > 0x7FFFFFFF) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr) != n)
    return {};
  return out;
}

std::wstring WideFromUtf8(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > 0x7FFFFFFF) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n) != n) return {};
  return out;
}

}  // namespace bh::core
