// The layer below the updater: everything that differs between Windows and POSIX.
// Paths and texts are GBK bytes; either "\" or "/" may separate path components.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace platform {

// The path as the operating system's file functions take it: unchanged on Windows
// (the ANSI functions read GBK under code page 936); on POSIX converted to UTF-8 with
// "\" turned into "/".
std::string NativePath(const char* path);

// fopen on a GBK path.
FILE* OpenFile(const char* path, const char* mode);

// A line for a debugger (OutputDebugStringA); nothing on POSIX.
void DebugOutput(const char* text);

// Text for the user's console: as is on Windows, converted to UTF-8 on POSIX.
void ConsoleOutput(const char* text);

// The local date and time.
void LocalTime(std::tm* out);
// Tests replace the clock to get reproducible files; null restores the real one.
void SetClockForTesting(void (*clock)(std::tm* out));

// Message boxes, shown on the calling thread and modal to it.
enum MessageStyle : unsigned { kMbOk = 0x0, kMbYesNo = 0x4 };
enum MessageAnswer : int { kIdOk = 1, kIdYes = 6, kIdNo = 7 };
// `caption` null: the program's name. Returns the button pressed.
int ShowMessageBox(const char* text, const char* caption, unsigned style);
// Tests answer message boxes through a hook; null restores the real boxes.
void SetMessageBoxHookForTesting(int (*hook)(const char* text, const char* caption,
                                             unsigned style));

}  // namespace platform
