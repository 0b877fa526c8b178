#include "common/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

bool FormatText(char* buf, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buf, size, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size > 0) buf[0] = '\0';
        return false;
    }
    return true;
}

const char* FindLastSeparator(const char* text) {
    const char* last = nullptr;
    for (const char* p = text; *p; p += GbkCharWidth(p)) {
        if (IsSeparator(*p)) last = p;
    }
    return last;
}

const char* FindText(const char* text, const char* what) {
    const size_t len = strlen(what);
    for (const char* p = text; *p; p += GbkCharWidth(p)) {
        if (strncmp(p, what, len) == 0) return p;
    }
    return len == 0 ? text : nullptr;
}

void CutAtLastSeparator(char* path) {
    char* sep = const_cast<char*>(FindLastSeparator(path));
    *(sep ? sep : path) = '\0';
}
