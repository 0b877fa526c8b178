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

}  // namespace

std::string PathKey(const char* path, bool ignoreCase) {
    std::string key;
    for (;;) {
        size_t len;
        const char* component = NextComponent(path, &len);
        if (len == 0) return key;
        if (!key.empty()) key += '/';
        for (size_t i = 0; i < len; i += GbkCharWidth(component + i)) {
            char c = component[i];
            // Only single-byte letters: a GBK second byte is never folded.
            if (ignoreCase && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            key += c;
            if (GbkCharWidth(component + i) == 2) key += component[i + 1];
        }
        path = component + len;
    }
}

bool SamePath(const char* a, const char* b, bool ignoreCase) {
    return PathKey(a, ignoreCase) == PathKey(b, ignoreCase);
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

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F) {
            out += c;
            continue;
        }
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\x%02X", b);
        out += escaped;
    }
    return out;
}
