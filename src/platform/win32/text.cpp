// Texts on Windows: paths as the ANSI functions take them, the code page 936 round trip
// that tells whether a name is what the system will use, and output for a person.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/text.h"

namespace platform {

std::string NativePath(const char* path) { return path; }

bool IsConvertibleName(const char* name) {
    // Code page 936 to Unicode and back: the same bytes, or the system would use a name
    // other than the one checked.
    const int wide = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    if (wide <= 0) return false;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, name, -1, &w[0], wide);
    BOOL usedDefault = FALSE;
    const int back = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, nullptr, 0,
                                         nullptr, &usedDefault);
    if (back <= 0 || usedDefault) return false;
    std::string bytes(static_cast<size_t>(back), '\0');
    WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, &bytes[0], back, nullptr,
                        nullptr);
    return strcmp(bytes.c_str(), name) == 0;
}

void DebugOutput(const char* text) { OutputDebugStringA(text); }

void ConsoleOutput(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

}  // namespace platform
