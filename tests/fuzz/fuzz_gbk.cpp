// The POSIX side's GBK <-> UTF-8 conversions on arbitrary bytes.
//
// The exact conversions (for names and paths) either fail or give a text that converts
// back to the same bytes, in both directions: two names the manifest tells apart never
// become one file name. Text that iconv converts completely and back unchanged is never
// refused by them. The display conversions never hold a NUL and leave ASCII unchanged.
#include <iconv.h>

#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "platform/posix/gbk.h"

namespace {

using fuzz::Escaped;
using platform::posix::GbkToUtf8;
using platform::posix::GbkToUtf8Exactly;
using platform::posix::Utf8ToGbk;
using platform::posix::Utf8ToGbkExactly;

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

    // The bytes as GBK, then as UTF-8.
    CheckShape(text, GbkToUtf8(text.c_str()), "GbkToUtf8");
    CheckShape(text, Utf8ToGbk(text.c_str()), "Utf8ToGbk");
    struct Direction {
        iconv_t there, back;
        bool (*exact)(const char*, std::string*);
        bool (*exactBack)(const char*, std::string*);
        const char* name;
    } directions[] = {
        {g_gbkToUtf8, g_utf8ToGbk, GbkToUtf8Exactly, Utf8ToGbkExactly, "GBK"},
        {g_utf8ToGbk, g_gbkToUtf8, Utf8ToGbkExactly, GbkToUtf8Exactly, "UTF-8"},
    };
    for (const Direction& d : directions) {
        std::string exact, back;
        if (d.exact(text.c_str(), &exact)) {
            FUZZ_CHECK(d.exactBack(exact.c_str(), &back) && back == text,
                       "%s \"%s\" -> \"%s\" does not come back", d.name, Escaped(text).c_str(),
                       Escaped(exact).c_str());
        }
        std::string strict, strictBack;
        if (StrictConvert(d.there, text, &strict) && StrictConvert(d.back, strict, &strictBack) &&
            strictBack == text) {
            FUZZ_CHECK(d.exact(text.c_str(), &exact) && exact == strict,
                       "%s \"%s\" converts and back, but not exactly", d.name,
                       Escaped(text).c_str());
        }
    }
    return 0;
}
