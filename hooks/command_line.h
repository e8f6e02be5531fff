// The process command line as the game's arguments: splitting it the way the
// C runtime does (quotes, backslashes before quotes) and looking for a switch.
// Needs: nothing (portable). Threads: any; pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bh::hooks {

// The arguments after the program name.
std::vector<std::wstring> ArgumentsAfterProgram(std::wstring_view commandLine);
// True when one of those arguments equals name, ignoring the case of ASCII letters.
bool HasArgument(std::wstring_view commandLine, std::wstring_view name);

}  // namespace bh::hooks
