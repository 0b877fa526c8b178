// Shared inside the Windows implementation of the platform layer.
#pragma once

#include <windows.h>

namespace platform::win32 {

// The window that owns the program's message boxes while it is open.
void SetMessageOwner(HWND owner);

}  // namespace platform::win32
