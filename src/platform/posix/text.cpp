// GBK (code page 936) and UTF-8: the conversions, paths as the system takes them, and
// text for the console.
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/text.h"
#include "platform/posix/console.h"
#include "platform/posix/gbk.h"

namespace platform {

namespace posix {
namespace {

bool IsAscii(const char* text, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
}

// Converts between GBK (code page 936) and UTF-8. With `exact`, a text that does not
// convert completely fails; otherwise bytes that do not convert are kept (for display).
bool Convert(const char* to, const char* from, const char* text, bool exact, std::string* result) {
    const size_t len = strlen(text);
    if (IsAscii(text, len)) {
        result->assign(text, len);
        return true;
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string out(len * 3 + 1, '\0');
    char* in = const_cast<char*>(text);
    size_t inLeft = len;
    char* dst = &out[0];
    size_t outLeft = out.size();
    bool complete = true;
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG || exact) {  // E2BIG cannot happen: 3 bytes per input byte suffice
            complete = false;
            break;
        }
        *dst++ = *in++;
        --inLeft;
        --outLeft;
    }
    // The end of the input: a shift state or an incomplete sequence left over.
    if (complete && iconv(cd, nullptr, nullptr, &dst, &outLeft) == static_cast<size_t>(-1)) {
        complete = !exact;
    }
    iconv_close(cd);
    if (!complete) return false;
    out.resize(out.size() - outLeft);
    *result = out;
    return true;
}

std::string Lenient(const char* to, const char* from, const char* text) {
    std::string out;
    return Convert(to, from, text, false, &out) ? out : std::string(text);
}

}  // namespace

std::string GbkToUtf8(const char* text) { return Lenient("UTF-8", "CP936", text); }
std::string Utf8ToGbk(const char* text) { return Lenient("CP936", "UTF-8", text); }
namespace {

// Exact conversions also convert back and compare: glibc's iconv drops some characters
// (Unicode tag characters) without an error, which would make two names one.
bool ConvertBothWays(const char* to, const char* from, const char* text, std::string* out) {
    std::string converted, back;
    if (!Convert(to, from, text, true, &converted) ||
        !Convert(from, to, converted.c_str(), true, &back) || back != text) {
        return false;
    }
    *out = converted;
    return true;
}

}  // namespace

bool GbkToUtf8Exactly(const char* text, std::string* out) {
    return ConvertBothWays("UTF-8", "CP936", text, out);
}
bool Utf8ToGbkExactly(const char* text, std::string* out) {
    return ConvertBothWays("CP936", "UTF-8", text, out);
}

}  // namespace posix

using posix::GbkToUtf8;

std::string NativePath(const char* path) {
    // A path that does not convert exactly becomes one that names nothing.
    std::string native;
    if (!posix::GbkToUtf8Exactly(path, &native)) return std::string();
    // After conversion a "\" can only be a separator: UTF-8 never uses 0x5C inside a
    // multi-byte character, whereas the second byte of a GBK character may be 0x5C.
    for (char& c : native) {
        if (c == '\\') c = '/';
    }
    return native;
}

bool IsConvertibleName(const char* name) {
    std::string native;
    return posix::GbkToUtf8Exactly(name, &native);
}

bool GbkToUtf8(const char* text, std::string* utf8) { return posix::GbkToUtf8Exactly(text, utf8); }

void DebugOutput(const char*) {}

void ConsoleOutput(const char* text) { posix::ConsoleWriteLine(GbkToUtf8(text)); }

}  // namespace platform
