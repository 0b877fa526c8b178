// Message boxes.
#pragma once

#include "common/printf.h"

namespace platform {

// Message boxes, shown on the calling thread and modal to it.
enum MessageStyle : unsigned { kMbOk = 0x0, kMbYesNo = 0x4 };
enum MessageAnswer : int { kIdOk = 1, kIdYes = 6, kIdNo = 7 };
// `caption` null: the program's name. Returns the button pressed.
int ShowMessageBox(const char* text, const char* caption, unsigned style);
// A printf-style text in an OK box with the program's name; texts past 2047 bytes are
// cut. Returns when the user has closed it.
UPDATER_PRINTF(1, 2) void ShowMessage(const char* format, ...);
// Tests answer message boxes through a hook; null restores the real boxes.
void SetMessageBoxHookForTesting(int (*hook)(const char* text, const char* caption,
                                             unsigned style));

}  // namespace platform
