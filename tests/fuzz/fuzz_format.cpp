// FormatText with fuzzed buffer sizes and %s arguments, in the shapes the updater uses.
// The buffer is allocated at exactly the given size, so ASan reports any byte written
// past it. The result is all or nothing: true with the whole text, or false with an
// empty buffer, and false exactly when the whole text (and its NUL) does not fit.
//
// Input: byte 0 the size (absolute, or relative to the text's length), byte 1 the
// shape and the size's mode, then the argument up to the next NUL.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"

namespace {

using fuzz::Escaped;

// Formats `arg` in shape `shape` with `format` (FormatText or a big snprintf).
template <typename F>
auto Format(int shape, const char* arg, F&& format) {
    switch (shape) {
        case 0:
            return format("%s", arg);
        case 1:
            return format("%s\\Vadarodazu\\%s", arg, arg);
        case 2:
            return format("%s\\md5.xml", arg);
        case 3:
            return format("[%5d]%s", 12345, arg);
        case 4:
            return format("\xcf\xc2\xd4\xd8\xca\xa7\xb0\xdc%s:%s", arg, "timeout");  // GBK text
        case 5:
            return format("%s%s", arg, "");
        case 6:
            return format("%.3s|%s", arg, arg);
        default:
            return format("%s/%d", arg, -1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int shape = data[1] & 7;
    const bool relative = (data[1] & 0x80) != 0;
    const std::string arg = fuzz::CString(data + 2, size - 2);

    std::string expected;
    Format(shape, arg.c_str(), [&](const char* fmt, auto... args) {
        const int n = snprintf(nullptr, 0, fmt, args...);
        expected.assign(static_cast<size_t>(n) + 1, '\0');
        snprintf(&expected[0], expected.size(), fmt, args...);
        expected.resize(static_cast<size_t>(n));
        return 0;
    });

    size_t bufSize = data[0];
    if (relative) {
        const long s = static_cast<long>(expected.size()) + static_cast<int8_t>(data[0]);
        bufSize = s < 0 ? 0 : static_cast<size_t>(s);
    }
    std::unique_ptr<char[]> buf(new char[bufSize ? bufSize : 1]);
    char* p = bufSize ? buf.get() : nullptr;  // size 0: nothing may be touched
    if (bufSize) memset(p, 'Z', bufSize);

    const bool ok = Format(shape, arg.c_str(), [&](const char* fmt, auto... args) {
        return FormatText(p, bufSize, fmt, args...);
    });

    if (expected.size() < bufSize) {
        FUZZ_CHECK(ok, "shape %d, size %zu: refused \"%s\"", shape, bufSize,
                   Escaped(expected).c_str());
        FUZZ_CHECK(strlen(p) == expected.size() && expected == p,
                   "shape %d, size %zu: \"%s\" for \"%s\"", shape, bufSize, Escaped(p).c_str(),
                   Escaped(expected).c_str());
    } else {
        FUZZ_CHECK(!ok, "shape %d, size %zu: accepted %zu bytes", shape, bufSize, expected.size());
        FUZZ_CHECK(bufSize == 0 || p[0] == '\0', "shape %d, size %zu: left \"%.*s\"", shape,
                   bufSize, static_cast<int>(strnlen(p, bufSize)), p);
    }
    return 0;
}
