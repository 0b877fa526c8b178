// Texts and paths as the system takes them. Paths and texts are GBK bytes; either "\" or
// "/" may separate path components.
#pragma once

#include <string>

namespace platform {

// The path as the operating system's file functions take it: unchanged on Windows
// (the ANSI functions read GBK under code page 936); on POSIX converted to UTF-8 with
// "\" turned into "/".
std::string NativePath(const char* path);
// True when the system takes the GBK `name` as exactly these characters (on POSIX it
// converts to UTF-8 completely; on Windows code page 936 maps it to Unicode and back).
bool IsConvertibleName(const char* name);
// The GBK `text` in UTF-8; false when a byte of it is no GBK character.
bool GbkToUtf8(const char* text, std::string* utf8);

// A line for a debugger (OutputDebugStringA); nothing on POSIX.
void DebugOutput(const char* text);

// Text for the user's console: as is on Windows, converted to UTF-8 on POSIX.
void ConsoleOutput(const char* text);

}  // namespace platform
