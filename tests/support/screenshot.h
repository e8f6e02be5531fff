// Saves what the player is about to see: the back buffer of a swap chain
// (inside Present, after the overlay drew), as a BMP under
// build/win/screenshots/; scripts/test.sh turns them into PNG files.
#pragma once

#include <string>

namespace fwtest {
// swapChain is an IDXGISwapChain*. Returns the path written, or empty.
std::wstring SaveBackBuffer(void* swapChain, const std::wstring& name);
}  // namespace fwtest
