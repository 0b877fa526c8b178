// The POSIX side's GBK <-> UTF-8 conversions on arbitrary bytes.
//
// Text that converts completely (iconv accepts every byte) converts exactly as iconv
// does, and converting it back gives the same bytes, in both directions: two names the
// manifest tells apart never become one file name. Text that does not convert keeps
// its unconvertible bytes, so the result is never empty for a non-empty input, never
// holds a NUL, and ASCII text comes back unchanged.
#include <iconv.h>

#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "platform/posix/gbk.h"

namespace {

using fuzz::Escaped;
using platform::posix::GbkToUtf8;
using platform::posix::Utf8ToGbk;

// The whole text converted, or false when iconv refuses any of it.
bool StrictConvert(iconv_t cd, const std::string& text, std::string* out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string buf(text.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* dst = &buf[0];
    size_t outLeft = buf.size();
    if (iconv(cd, &in, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1) || inLeft != 0)
        return false;
    if (iconv(cd, nullptr, nullptr, &dst, &outLeft) == static_cast<size_t>(-1)) return false;
    buf.resize(buf.size() - outLeft);
    *out = buf;
    return true;
}

iconv_t g_gbkToUtf8;
iconv_t g_utf8ToGbk;

void CheckShape(const std::string& in, const std::string& out, const char* what) {
    FUZZ_CHECK(out.find('\0') == std::string::npos, "%s(\"%s\") holds a NUL", what,
               Escaped(in).c_str());
    FUZZ_CHECK(in.empty() == out.empty(), "%s(\"%s\") = \"%s\"", what, Escaped(in).c_str(),
               Escaped(out).c_str());
    bool ascii = true;
    for (unsigned char c : in) ascii = ascii && c < 0x80;
    FUZZ_CHECK(!ascii || out == in, "%s changed ASCII \"%s\"", what, Escaped(in).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_gbkToUtf8 = iconv_open("UTF-8", "CP936");
    g_utf8ToGbk = iconv_open("CP936", "UTF-8");
    if (g_gbkToUtf8 == reinterpret_cast<iconv_t>(-1) ||
        g_utf8ToGbk == reinterpret_cast<iconv_t>(-1))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::CString(data, size);

    // The bytes as GBK.
    const std::string utf8 = GbkToUtf8(text.c_str());
    CheckShape(text, utf8, "GbkToUtf8");
    std::string strict;
    if (StrictConvert(g_gbkToUtf8, text, &strict)) {
        FUZZ_CHECK(utf8 == strict, "GbkToUtf8(\"%s\") = \"%s\", iconv gives \"%s\"",
                   Escaped(text).c_str(), Escaped(utf8).c_str(), Escaped(strict).c_str());
        const std::string back = Utf8ToGbk(utf8.c_str());
        FUZZ_CHECK(back == text, "GBK \"%s\" -> \"%s\" -> \"%s\"", Escaped(text).c_str(),
                   Escaped(utf8).c_str(), Escaped(back).c_str());
    }

    // The same bytes as UTF-8.
    const std::string gbk = Utf8ToGbk(text.c_str());
    CheckShape(text, gbk, "Utf8ToGbk");
    if (StrictConvert(g_utf8ToGbk, text, &strict)) {
        FUZZ_CHECK(gbk == strict, "Utf8ToGbk(\"%s\") = \"%s\", iconv gives \"%s\"",
                   Escaped(text).c_str(), Escaped(gbk).c_str(), Escaped(strict).c_str());
        const std::string back = GbkToUtf8(gbk.c_str());
        FUZZ_CHECK(back == text, "UTF-8 \"%s\" -> \"%s\" -> \"%s\"", Escaped(text).c_str(),
                   Escaped(gbk).c_str(), Escaped(back).c_str());
    }
    return 0;
}
