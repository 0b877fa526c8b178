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

bool IsValidGbk(const char* text) {
    for (const char* p = text; *p; p += GbkCharWidth(p)) {
        if (static_cast<unsigned char>(*p) >= 0x80 && GbkCharWidth(p) == 1) return false;
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

namespace {

// The next component of a path at `p`: separators and "." components are skipped.
// Its length is 0 at the end of the path.
const char* NextComponent(const char* p, size_t* len) {
    for (;;) {
        while (IsSeparator(*p)) ++p;
        const char* start = p;
        while (*p && !IsSeparator(*p)) p += GbkCharWidth(p);
        *len = static_cast<size_t>(p - start);
        if (*len == 1 && *start == '.') continue;
        return start;
    }
}

bool SameBytes(const char* a, const char* b, size_t len, bool ignoreCase) {
    for (size_t i = 0; i < len; ++i) {
        char x = a[i], y = b[i];
        if (ignoreCase) {
            // Only single-byte letters: a GBK second byte is never folded.
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) return false;
        if (GbkCharWidth(a + i) == 2 && i + 1 < len) {
            ++i;
            if (a[i] != b[i]) return false;
        }
    }
    return true;
}

}  // namespace

bool SamePath(const char* a, const char* b, bool ignoreCase) {
    for (;;) {
        size_t la, lb;
        const char* ca = NextComponent(a, &la);
        const char* cb = NextComponent(b, &lb);
        if (la != lb || !SameBytes(ca, cb, la, ignoreCase)) return false;
        if (la == 0) return true;
        a = ca + la;
        b = cb + lb;
    }
}

bool PopPathComponent(char* path, char* component) {
    if (!path[0]) return false;
    size_t skip = 0;
    while (IsSeparator(path[skip])) ++skip;
    if (skip) memmove(path, path + skip, strlen(path + skip) + 1);
    // The first separator that is not the second byte of a double-byte character.
    const char* p = path;
    while (*p && !IsSeparator(*p)) p += GbkCharWidth(p);
    if (!*p) return false;
    const size_t len = static_cast<size_t>(p - path);
    memcpy(component, path, len);
    component[len] = '\0';
    memmove(path, path + len + 1, strlen(path + len + 1) + 1);
    return true;
}
