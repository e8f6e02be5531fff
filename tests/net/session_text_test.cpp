#include <gtest/gtest.h>

#include <string>

#include "net/session.h"

using namespace bh::net;

TEST(SessionText, ConnectLobbyForms) {
  struct Case {
    const char* text;
    std::uint64_t lobby;
  } cases[] = {
      {"game.exe +connect_lobby 123", 123},
      {"game.exe +connect_lobby=123", 123},
      {"game.exe +connect_lobby \"123\"", 123},
      {"game.exe +connect_lobby = \t\"123\" -other", 123},
      {"+connect_lobby 109775241021923328", 109775241021923328ull},
      {"+connect_lobby 18446744073709551615", 18446744073709551615ull},
      {"+connect_lobby 18446744073709551616", 0},  // overflows 64 bits
      {"+connect_lobby 123456789012345678901", 12345678901234567890ull},  // at most 20 digits
      {"+connect_lobby", 0},
      {"+connect_lobby abc", 0},
      {"game.exe -connect_lobby 5", 0},
      {"+connect_lobby 7 +connect_lobby 8", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseConnectLobby(c.text), c.lobby) << c.text;
}

TEST(SessionText, StateNamesAndLobbyIds) {
  const char* names[] = {"Idle", "CreatingLobby", "Hosting", "JoiningLobby", "Connecting", "Connected", "Failed"};
  for (int i = 0; i < 7; ++i) EXPECT_STREQ(SessionStateName(static_cast<SessionState>(i)), names[i]);
  EXPECT_STREQ(SessionStateName(static_cast<SessionState>(7)), "?");
  EXPECT_TRUE(steam::IsLobbyId(0x0186000000000001ull));
  EXPECT_FALSE(steam::IsLobbyId(0));
  EXPECT_FALSE(steam::IsLobbyId(123));
  EXPECT_FALSE(steam::IsLobbyId(0x0110000100000001ull));  // an individual account
}
