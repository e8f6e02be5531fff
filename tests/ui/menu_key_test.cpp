#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "ui/menu_key.h"

TEST(MenuKey, NamesToVirtualKeyCodes) {
  struct Case {
    const char* text;
    int code;
    bool warns;
  };
  const Case cases[] = {
      {"F5", 116, false},    {"f12", 123, false},  {"F1", 112, false},   {"F24", 135, false},
      {"F25", 116, true},    {"F0", 116, true},    {"F 7", 118, false},  {"F+3", 114, false},
      {"F9x", 120, false},   {"pgdn", 0x22, false}, {"PageUp", 0x21, false}, {"ins", 0x2D, false},
      {"Delete", 0x2E, false}, {"home", 0x24, false}, {"END", 0x23, false}, {"~", 0xC0, false},
      {"`", 0xC0, false},    {"grave", 0xC0, false}, {"q", 'Q', false},   {"7", '7', false},
      {"", 116, true},       {"F", 'F', false},     {"FF", 116, true},    {"ctrl", 116, true},
  };
  for (const Case& c : cases) {
    fwtest::LogCapture capture;
    EXPECT_EQ(bh::ui::ParseMenuKey(c.text), c.code) << c.text;
    EXPECT_EQ(capture.contains("[WRN] [overlay] unknown menuKey"), c.warns) << c.text;
  }
  fwtest::LogCapture capture;
  bh::ui::ParseMenuKey("ctrl+x");
  EXPECT_TRUE(capture.contains("unknown menuKey \"CTRL+X\", using F5"));
}
