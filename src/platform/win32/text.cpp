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

bool GbkToUtf8(const char* text, std::string* utf8) {
    const int wide = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (wide <= 0) return false;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text, -1, &w[0], wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    utf8->assign(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &(*utf8)[0], bytes, nullptr, nullptr);
    utf8->resize(static_cast<size_t>(bytes) - 1);  // without the NUL
    return true;
}

void DebugOutput(const char* text) { OutputDebugStringA(text); }

void ConsoleOutput(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

}  // namespace platform
