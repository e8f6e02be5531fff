// The local name follows the game's save slot: the slot comes from the game
// instance of the stand-in engine, the name from profiles.json.
#include <gtest/gtest.h>

#include "coop/coop.h"
#include "coop/names.h"
#include "standin/world.h"
#include "standin_support.h"
#include "support/temp_folder.h"

namespace bh::coop {
int ActiveSaveSlotFromGame();
}

TEST(SaveSlot, NameOfTheGamesSaveSlotFromProfiles) {
  fwtest::BootStandin();
  standin::SetActiveSaveSlot(2);
  EXPECT_EQ(bh::coop::ActiveSaveSlotFromGame(), 2);
  standin::SetActiveSaveSlot(-4);
  EXPECT_EQ(bh::coop::ActiveSaveSlotFromGame(), -4);

  fwtest::TempFolder folder;
  ASSERT_TRUE(fwtest::WriteFile(folder / L"profiles.json", R"({"dev-profile-1": {"slot0": "Zero", "slot2": "Ada"}})"));
  bh::coop::testing::UseProfilesFolder(folder.path());
  standin::SetActiveSaveSlot(2);
  bh::coop::Init();  // no Steam here: the profile key is the development one
  EXPECT_EQ(bh::coop::SaveSlot(), 2);
  EXPECT_EQ(bh::coop::ProfileKey(), "dev-profile-1");
  EXPECT_EQ(bh::coop::LocalName(), "Ada");
  EXPECT_EQ(bh::coop::Members()[0].name, "Ada");
}
