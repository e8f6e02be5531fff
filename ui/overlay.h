// Overlay host: Dear ImGui drawn into the game's Direct3D 11 frames, through
// detours on the swap chain's Present and ResizeBuffers, and a subclassed
// game window procedure that opens the menu with the menu key and takes
// keyboard and mouse from the game while the menu is open.
//
// Offers: OverlayInit, SetMenuOpen, IsMenuOpen, MenuKeyCode.
// Needs: the hooking engine, the settings (menu_key), the log; draws the
// toasts and the menu window each frame.
// Threads: OverlayInit on the game thread; the window procedure on the game
// window's thread (it only queues input); every ImGui call on the render
// thread inside Present. Shared flags are atomics.
#pragma once

namespace bh::ui {

// Installs the Present/ResizeBuffers detours; false (with an error line)
// when the overlay cannot run. A second call after success returns true.
bool OverlayInit();

void SetMenuOpen(bool open);
bool IsMenuOpen();
int MenuKeyCode();

// Private messages of the overlay on the game window.
inline constexpr unsigned kMsgRawMouseDelta = 0x85D1;
inline constexpr unsigned kMsgMenuClosed = 0x85D2;
inline constexpr unsigned kMsgImeSwitch = 0x85D3;

namespace testing {
bool ImGuiReady();
bool Disabled();
}  // namespace testing

}  // namespace bh::ui
