// The manifest parser on arbitrary bytes: the bytes are the manifest file, parsed into
// an array of exactly kManifestCapacity records followed by a guard record that must
// come back untouched. Every stored text stays NUL-terminated inside its field, and
// the records past the count are never written.
//
// Also holds ParseSizeText to strtoll's reading of the same bytes (both saturate at 64 bits).
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "manifest/manifest.h"

namespace {

constexpr unsigned char kUntouched = 0xA5;
std::string g_path;
ManifestEntry* g_entries = nullptr;  // kManifestCapacity records + the guard

// The untouched bytes, to compare with: memcmp keeps a run at full speed, where a
// loop over half a megabyte of bytes would be traced compare by compare.
const ManifestEntry* g_untouched = nullptr;

bool Untouched(const ManifestEntry* first, size_t records) {
    return memcmp(first, g_untouched, records * sizeof(ManifestEntry)) == 0;
}

void CheckSizeText(const std::string& text) {
    errno = 0;
    const long long expected = strtoll(text.c_str(), nullptr, 10);  // saturates at 64 bits
    const int64_t got = ParseSizeText(text.c_str());
    FUZZ_CHECK(got == expected, "ParseSizeText(\"%s\") = %" PRId64 ", strtoll gives %lld",
               fuzz::Escaped(text).c_str(), got, expected);
}

void CheckRecord(const ManifestEntry& e, int i) {
    const char* nameEnd = static_cast<const char*>(memchr(e.filename, 0, sizeof(e.filename)));
    FUZZ_CHECK(nameEnd, "record %d: filename not NUL-terminated", i);
    FUZZ_CHECK(memchr(e.md5, 0, sizeof(e.md5)), "record %d: md5 not NUL-terminated", i);
    FUZZ_CHECK(memchr(e.blake2b, 0, sizeof(e.blake2b)), "record %d: blake2b not NUL-terminated", i);
    FUZZ_CHECK(e.nameTooLong <= 1, "record %d: nameTooLong %d", i, e.nameTooLong);
    const std::string name(e.filename, nameEnd);
    // A name is cut only when the next character does not fit: at most one short.
    FUZZ_CHECK(!e.nameTooLong || name.size() >= sizeof(e.filename) - 2,
               "record %d: cut name of %zu bytes", i, name.size());
    // Separators are stored as "/"; a "\" left over is the second byte of a character.
    for (size_t at : fuzz::CharStarts(name)) {
        FUZZ_CHECK(name[at] != '\\', "record %d: \"\\\" separator kept in \"%s\"", i,
                   fuzz::Escaped(name).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_path = fuzz::ScratchFile("fuzz_manifest");
    // Exactly the records and the guard: ASan reports any write past the guard.
    const size_t bytes = sizeof(ManifestEntry) * (kManifestCapacity + 1);
    g_entries = static_cast<ManifestEntry*>(malloc(bytes));
    ManifestEntry* untouched = static_cast<ManifestEntry*>(malloc(bytes));
    memset(untouched, kUntouched, bytes);
    g_untouched = untouched;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckSizeText(fuzz::CString(data, size));

    FILE* f = fopen(g_path.c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    if (fclose(f) != 0) abort();

    memset(g_entries, kUntouched, sizeof(ManifestEntry) * (kManifestCapacity + 1));
    int count = -1;
    const bool loaded = ParseManifest(g_path.c_str(), g_entries, count);

    FUZZ_CHECK(count >= 0 && count <= kManifestCapacity, "count %d", count);
    FUZZ_CHECK(loaded || count == 0, "failed load with %d records", count);
    FUZZ_CHECK(Untouched(&g_entries[kManifestCapacity], 1), "guard record written (count %d)",
               count);
    for (int i = 0; i < count; ++i) CheckRecord(g_entries[i], i);
    if (!Untouched(&g_entries[count], kManifestCapacity - count)) {
        for (int i = count; i < kManifestCapacity; ++i) {
            FUZZ_CHECK(Untouched(&g_entries[i], 1), "record %d written past the count %d", i,
                       count);
        }
    }
    return 0;
}
