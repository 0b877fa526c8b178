// What the fuzz targets share: a check that stops the run with its reason (libFuzzer
// then saves the input), and the project's own GBK scan over a byte string.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/text.h"

#define FUZZ_CHECK(cond, ...)                                                            \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            fprintf(stderr, "%s:%d: check failed: %s\n    ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                                \
            fprintf(stderr, "\n");                                                       \
            abort();                                                                     \
        }                                                                                \
    } while (0)

namespace fuzz {

// The input up to its first NUL, as the C string the code under test receives.
inline std::string CString(const uint8_t* data, size_t size) {
    size_t n = 0;
    while (n < size && data[n]) ++n;
    return std::string(reinterpret_cast<const char*>(data), n);
}

// Offsets at which characters start, by the project's one GBK scan (GbkCharWidth).
inline std::vector<size_t> CharStarts(const std::string& text) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); i += GbkCharWidth(text.c_str() + i)) starts.push_back(i);
    return starts;
}

// A file of the run's own, made in memory (/dev/shm) where it can be and removed when
// the run ends. A real path, not a descriptor's link: the code under test opens only
// regular files and never through a link.
inline std::vector<std::string>& ScratchFiles() {
    static std::vector<std::string> files;
    return files;
}
inline void RemoveScratchFiles() {
    for (const std::string& f : ScratchFiles()) unlink(f.c_str());
}
inline std::string ScratchFile(const char* stem) {
    const char* tmp = getenv("TMPDIR");
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp && *tmp ? tmp : "/tmp");
    std::string pattern = dir + "/" + stem + "_XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0) {
        perror("mkstemp");
        exit(1);
    }
    close(fd);
    if (ScratchFiles().empty()) atexit(RemoveScratchFiles);
    ScratchFiles().push_back(pattern);
    return pattern;
}

// Bytes as "\xNN" escapes, for failure messages.
inline std::string Escaped(const std::string& text) {
    std::string out;
    char hex[8];
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace fuzz
