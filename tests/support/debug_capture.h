// Captures the lines a process sends to the debugger output
// (OutputDebugStringA raises DBG_PRINTEXCEPTION_C, seen by a vectored handler).
#pragma once

#include <string>
#include <vector>

namespace fwtest {

void StartDebugCapture();
std::vector<std::string> CapturedDebugLines();
void ClearDebugCapture();
// True when some captured line contains text.
bool DebugOutputContains(const std::string& text);

}  // namespace fwtest
