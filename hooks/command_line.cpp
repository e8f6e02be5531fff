#include "hooks/command_line.h"

namespace bh::hooks {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace

std::vector<std::wstring> ArgumentsAfterProgram(std::wstring_view line) {
  std::size_t i = 0, n = line.size();
  // The program name ends at the closing quote, or at the first blank; no escapes.
  if (i < n && line[i] == L'"') {
    ++i;
    while (i < n && line[i] != L'"') ++i;
    if (i < n) ++i;
  }
  while (i < n && !IsBlank(line[i])) ++i;

  std::vector<std::wstring> args;
  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::wstring arg;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(line[i]))) {
      if (line[i] == L'\\') {
        std::size_t slashes = 0;
        while (i < n && line[i] == L'\\') ++slashes, ++i;
        if (i < n && line[i] == L'"') {
          // 2n backslashes and a quote: n backslashes, the quote toggles;
          // 2n + 1: n backslashes and a literal quote.
          arg.append(slashes / 2, L'\\');
          if (slashes % 2) {
            arg.push_back(L'"');
            ++i;
          }
        } else {
          arg.append(slashes, L'\\');
        }
      } else if (line[i] == L'"') {
        // "" inside quotes is a literal quote.
        if (quoted && i + 1 < n && line[i + 1] == L'"') {
          arg.push_back(L'"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.push_back(line[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

bool HasArgument(std::wstring_view commandLine, std::wstring_view name) {
  for (const std::wstring& arg : ArgumentsAfterProgram(commandLine)) {
    if (arg.size() != name.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < arg.size() && same; ++k) same = FoldAscii(arg[k]) == FoldAscii(name[k]);
    if (same) return true;
  }
  return false;
}

}  // namespace bh::hooks
