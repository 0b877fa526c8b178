#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/platform_detail.h"

namespace platform {

std::string NativePath(const char* path) { return path; }

FILE* OpenFile(const char* path, const char* mode) { return fopen(path, mode); }

void DebugOutput(const char* text) { OutputDebugStringA(text); }

void ConsoleOutput(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

namespace detail {

void SystemLocalTime(std::tm* out) {
    time_t now = time(nullptr);
    localtime_s(out, &now);
}

int SystemMessageBox(const char* text, const char* caption, unsigned style) {
    char name[MAX_PATH] = "";
    if (!caption) {
        // The program's name: the executable's base name without its extension.
        char module[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, module, sizeof(module));
        if (n > 0 && n < sizeof(module)) {
            const char* base = strrchr(module, '\\');
            base = base ? base + 1 : module;
            snprintf(name, sizeof(name), "%s", base);
            if (char* dot = strrchr(name, '.')) *dot = '\0';
        }
        caption = name;
    }
    return MessageBoxA(nullptr, text, caption, style | MB_TASKMODAL);
}

}  // namespace detail
}  // namespace platform
