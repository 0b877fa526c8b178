#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_detail.h"

namespace platform {
namespace {

// GBK (code page 936) to UTF-8. Bytes that are not valid GBK are kept as they are.
std::string GbkToUtf8(const char* text) {
    const size_t len = strlen(text);
    bool ascii = true;
    for (size_t i = 0; i < len && ascii; ++i) ascii = static_cast<unsigned char>(text[i]) < 0x80;
    if (ascii) return std::string(text, len);
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    out.resize(len * 3 + 1);
    char* in = const_cast<char*>(text);
    size_t inLeft = len;
    char* dst = &out[0];
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) break;  // cannot happen: 3 bytes per input byte suffice
        // Invalid or truncated sequence: copy one byte through and go on.
        *dst++ = *in++;
        --inLeft;
        --outLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

std::string NativePath(const char* path) {
    std::string native = GbkToUtf8(path);
    // After conversion a "\" can only be a separator: UTF-8 never uses 0x5C inside a
    // multi-byte character, whereas the second byte of a GBK character may be 0x5C.
    for (char& c : native) {
        if (c == '\\') c = '/';
    }
    return native;
}

FILE* OpenFile(const char* path, const char* mode) {
    return fopen(NativePath(path).c_str(), mode);
}

void DebugOutput(const char*) {}

void ConsoleOutput(const char* text) {
    const std::string utf8 = GbkToUtf8(text);
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
}

namespace detail {

void SystemLocalTime(std::tm* out) {
    time_t now = time(nullptr);
    localtime_r(&now, out);
}

int SystemMessageBox(const char* text, const char* caption, unsigned style) {
    const std::string shown = GbkToUtf8(text);
    const std::string title = caption ? GbkToUtf8(caption) : std::string("updater");
    fprintf(stderr, "[%s] %s\n", title.c_str(), shown.c_str());
    const bool yesNo = (style & 0xF) == kMbYesNo;
    if (!isatty(STDIN_FILENO)) return yesNo ? kIdNo : kIdOk;
    if (!yesNo) {
        fprintf(stderr, "(press Enter) ");
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
        return kIdOk;
    }
    for (;;) {
        fprintf(stderr, "[y/n] ");
        char answer[16];
        if (!fgets(answer, sizeof(answer), stdin)) return kIdNo;
        if (answer[0] == 'y' || answer[0] == 'Y') return kIdYes;
        if (answer[0] == 'n' || answer[0] == 'N') return kIdNo;
    }
}

}  // namespace detail
}  // namespace platform
