// The overlay on a real Direct3D 11 swap chain under Wine: a stand-in game
// window renders frames, the overlay hooks Present and the window procedure.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "core/config.h"
#include "core/gamethread.h"
#include "game_window.h"
#include "imgui.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "ui/i18n.h"
#include "ui/menu.h"
#include "ui/overlay.h"
#include "ui/toasts.h"

using namespace bh::ui;

namespace {

// The overlay looks for a CJK font under the Windows font names; put
// Debian's WenQuanYi Micro Hei there, as a player's system would have one.
void InstallCjkFont() {
  CreateDirectoryW(L"C:\\windows\\Fonts", nullptr);
  CopyFileW(L"Z:\\usr\\share\\fonts\\truetype\\wqy\\wqy-microhei.ttc", L"C:\\windows\\Fonts\\msyh.ttc", TRUE);
}

// Screenshots of what the player saw go to FW_SCREENSHOT_DIR (build/win/screenshots).
std::wstring ScreenshotPath(const wchar_t* name) {
  wchar_t value[1024];
  DWORD n = GetEnvironmentVariableW(L"FW_SCREENSHOT_DIR", value, 1024);
  if (n == 0 || n >= 1024) return {};
  std::wstring folder(value, n);
  if (folder[0] == L'/') folder = L"Z:" + folder;
  for (wchar_t& c : folder)
    if (c == L'/') c = L'\\';
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\" + name + L".bmp";
}

template <typename Condition>
bool WaitFor(Condition condition, unsigned timeoutMs = 15000) {
  for (unsigned waited = 0; waited < timeoutMs; waited += 10) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

class OverlayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallCjkFont();
    bh::core::SetGameThreadId(GetCurrentThreadId());
    ASSERT_TRUE(OverlayInit());
    EXPECT_TRUE(capture_.contains("[INF] [overlay] Present/ResizeBuffers hooked (menu key F5)"));
    ASSERT_TRUE(game_.Start({}));
    ASSERT_TRUE(WaitFor([] { return bh::ui::testing::ImGuiReady(); })) << capture_.all();
    ASSERT_TRUE(game_.WaitFrames(3));
  }
  void Post(UINT message, WPARAM w, LPARAM l = 0) { PostMessageW(game_.window(), message, w, l); }
  // Lets the window thread handle what was posted and the overlay draw it.
  void Settle(int frames = 4) {
    Sleep(50);
    game_.WaitFrames(frames);
  }
  // The last presented frame: the game's picture with the overlay drawn over it.
  bool Screenshot(const wchar_t* name) {
    std::wstring path = ScreenshotPath(name);
    if (path.empty()) return true;  // no folder asked for
    game_.RequestScreenshot(path);
    return game_.WaitFrames(3) && fwtest::FileExists(path);
  }
  void Key(WPARAM vk) {
    Post(WM_KEYDOWN, vk, 1);
    Post(WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
  }

  fwtest::LogCapture capture_;
  standin::GameWindow game_;
};

}  // namespace

TEST_F(OverlayTest, MenuKeyOpensTheMenuAndTheGameSeesOnlyReleases) {
  EXPECT_TRUE(capture_.contains("[INF] [overlay] font: C:\\Windows\\Fonts\\msyh.ttc")) << capture_.all();
  EXPECT_TRUE(capture_.contains("[INF] [overlay] ImGui " IMGUI_VERSION " ready on hwnd "));
  RegisterPage("about", "tab.about", &DrawAboutPage, 1000);
  game_.clearReceived();
  Key(VK_F5);
  Settle();
  EXPECT_TRUE(IsMenuOpen());
  // Holding the key: auto-repeat does not toggle.
  Post(WM_KEYDOWN, VK_F5, 0x40000001);
  Settle();
  EXPECT_TRUE(IsMenuOpen());

  Post(WM_KEYDOWN, 'A', 1);
  Post(WM_KEYUP, 'A', static_cast<LPARAM>(0xC0000001u));
  Post(WM_MOUSEMOVE, 0, MAKELPARAM(300, 200));
  Post(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(300, 200));
  Post(WM_LBUTTONUP, 0, MAKELPARAM(300, 200));
  Post(WM_SYSKEYDOWN, VK_F4, 1 << 29);
  Settle();
  Screenshot(L"overlay-menu-about");

  auto keys = game_.receivedKeys();
  for (auto [message, vk] : keys) EXPECT_NE(vk, static_cast<WPARAM>(VK_F5)) << "the game saw the menu key";
  auto got = game_.received();
  EXPECT_EQ(got[WM_KEYDOWN], 0);
  EXPECT_EQ(got[WM_KEYUP], 1);
  EXPECT_EQ(got[WM_MOUSEMOVE], 0);
  EXPECT_EQ(got[WM_LBUTTONDOWN], 0);
  EXPECT_EQ(got[WM_LBUTTONUP], 1);
  EXPECT_EQ(got[WM_SYSKEYDOWN], 1);  // Alt+F4 still closes the game

  Key(VK_F5);
  Settle();
  EXPECT_FALSE(IsMenuOpen());
  game_.clearReceived();
  Post(WM_KEYDOWN, 'B', 1);
  Post(WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));
  Settle();
  EXPECT_EQ(game_.received()[WM_KEYDOWN], 1);
  EXPECT_EQ(game_.received()[WM_MOUSEMOVE], 1);
}

TEST_F(OverlayTest, ToastsInThreeLanguagesOverTheGame) {
  PostToast("Ada joined", Success, 8);
  PreviewLanguage(Language::Chinese);
  PostToast(trf("toast.renamed", std::string("Ada"), std::string("\xE5\xB0\x8F\xE6\x98\x8E")), Info, 8);
  PreviewLanguage(Language::Japanese);
  PostToast(trf("toast.joined_room", std::string("Bo")), Warning, 8);
  PostToast("A long message that is wider than three hundred and eighty pixels wraps onto a second line and its box "
            "grows taller",
            Error, 8);
  PreviewLanguage(Language::English);
  Settle(30);
  EXPECT_TRUE(Screenshot(L"overlay-toasts"));
}

TEST_F(OverlayTest, ResizeAndNewSwapChainsAreFollowedOrIgnored) {
  game_.RequestResize(1024, 600);
  ASSERT_TRUE(WaitFor([&] { return game_.requestsDone(); }));
  Settle(5);
  game_.RequestSecondWindow();
  ASSERT_TRUE(WaitFor([&] { return game_.requestsDone(); }));
  Settle(10);
  EXPECT_FALSE(capture_.contains("following new swap chain"));
  game_.RequestNewSwapChain();
  ASSERT_TRUE(WaitFor([&] { return game_.requestsDone(); }));
  EXPECT_TRUE(WaitFor([&] { return capture_.contains("following new swap chain"); }));
  Settle(10);
  EXPECT_EQ(capture_.count("[INF] [overlay] following new swap chain"), 1) << capture_.all();
  Key(VK_F5);
  Settle();
  EXPECT_TRUE(IsMenuOpen());
  EXPECT_TRUE(game_.WaitFrames(5));
}

TEST_F(OverlayTest, PickingChineseShowsItAtOnceAndSavesIt) {
  fwtest::TempFolder folder;
  ASSERT_TRUE(fwtest::WriteFile(folder / L"config.json", R"({"menu_key": "F5"})"));
  bh::core::testing::LoadConfigFrom(folder.path());
  PreviewLanguage(Language::English);
  RegisterPage("about", "tab.about", &DrawAboutPage, 1000);
  Key(VK_F5);
  Settle();
  ASSERT_TRUE(IsMenuOpen());
  // The 中文 button of the language switch on the About page (menu centred, 600x480).
  Post(WM_MOUSEMOVE, 0, MAKELPARAM(538, 380));
  Settle(3);
  Post(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(538, 380));
  Settle(3);
  Post(WM_LBUTTONUP, 0, MAKELPARAM(538, 380));
  Settle(3);
  EXPECT_EQ(CurrentLanguage(), Language::Chinese);  // previewed by the render thread at once
  Screenshot(L"overlay-menu-chinese");
  bh::core::RunPostedTasks();  // the game thread saves the choice
  EXPECT_NE(fwtest::ReadFileOr(folder / L"config.json").find("\"language\": \"zh\""), std::string::npos);
  EXPECT_TRUE(capture_.contains("[INF] [config] language 'zh' saved to config.json"));
}
