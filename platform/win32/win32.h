// What the two halves of the Windows backend share: input.cpp posts events with
// SendInput, desktop.cpp answers about windows, processes and the foreground.
#pragma once

#include <cstdint>
// clang-format off
#include <windows.h>
// clang-format on

namespace platform::win32 {

// The process owning the window; 0 for none.
std::int32_t windowPid(HWND window);

// Whether the process owning the window runs at a higher integrity level than this one
// (an elevated application, for a tool that is not): Windows then drops the input
// this process sends it, without saying so. A process that refuses this one its
// level counts as higher when this process runs below High, as an elevated one does.
bool morePrivileged(HWND window);

} // namespace platform::win32
