// Saves what is on the screen (the X display Wine draws into) as a BMP under
// build/win/screenshots/, for people to look at; scripts/test.sh turns them
// into PNG files.
#pragma once

#include <string>

namespace fwtest {
// Returns the path written, or empty on failure.
std::wstring SaveScreenshot(const std::wstring& name);
}  // namespace fwtest
