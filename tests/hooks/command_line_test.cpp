// Splitting the game's command line and finding a switch in it.
#include <gtest/gtest.h>

#include "hooks/command_line.h"

using bh::hooks::ArgumentsAfterProgram;
using bh::hooks::HasArgument;

TEST(CommandLine, SplitsAfterTheProgramAsTheRuntimeDoes) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> args;
  };
  const Case cases[] = {
      {L"game.exe", {}},
      {L"\"C:\\Program Files\\game.exe\"", {}},
      {L"\"C:\\Program Files\\game.exe\" -a  b\t\"c d\"", {L"-a", L"b", L"c d"}},
      {L"C:\\game.exe \"\" x", {L"", L"x"}},
      {L"g.exe a\\\\b \\\"q\\\" \"x\\\\\" y", {L"a\\\\b", L"\"q\"", L"x\\", L"y"}},
      {L"g.exe \"say \"\"hi\"\"\" z", {L"say \"hi\"", L"z"}},
      {L"g.exe ab\"c d\"e", {L"abc de"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ArgumentsAfterProgram(c.line), c.args) << std::wstring(c.line).size();
}

TEST(CommandLine, FindsASwitchIgnoringCaseButNeverInTheProgramOrInsideAnotherArgument) {
  struct Case {
    const wchar_t* line;
    bool found;
  };
  const Case cases[] = {
      {L"game.exe -bhcoop-noplsf", true},
      {L"game.exe --seconds 2 -BhCoop-NoPLSF", true},
      {L"game.exe \"-bhcoop-noplsf\"", true},
      {L"-bhcoop-noplsf", false},                       // the program name
      {L"\"C:\\-bhcoop-noplsf\" x", false},             // likewise, quoted
      {L"game.exe -bhcoop-noplsfx -xbhcoop-noplsf", false},
      {L"game.exe \"-bhcoop-noplsf other\"", false},
      {L"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(HasArgument(c.line, L"-bhcoop-noplsf"), c.found) << std::wstring(c.line).size();
}
