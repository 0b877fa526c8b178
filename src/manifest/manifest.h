// The server's manifest: one element per file of the lobby with its relative path,
// MD5 digest text and length (and, in a signed release, its BLAKE2b-256 digest text and
// the release's serial on the root element); and "md5.xml", the record of the last
// applied manifest.
#pragma once

#include <cstdint>
#include <string>

class UpdateLog;

// Records an entry array holds. A manifest with more elements fills the array and the
// rest is not read, so a count equal to the capacity means "this many or more".
constexpr int kManifestCapacity = 2000;

struct ManifestEntry {
    char md5[33];        // the "md5" text, cut to 32 bytes
    int64_t size;        // the "size" value
    char filename[180];  // the "filename" text with "/" separators
    // The "filename" text did not fit: `filename` holds only its beginning and must
    // not be used as a path.
    unsigned char nameTooLong;
    // The "md5" text did not fit: `md5` holds only its beginning and names no file.
    unsigned char md5TooLong;
    // The "blake2b" text, cut to 64 bytes; empty when the element has none.
    char blake2b[65];
    // The "blocks" text, cut to 64 bytes: the digest (of the release's kind) of the
    // file's block index, served beside it (BlockIndexName); empty when it has none.
    char blocks[65];
};

// Where a file's block index is served: its name with this ending, which no file of a
// release may have.
constexpr char kBlockIndexEnding[] = ".blocks~";

// The root element's "serial" in a signed manifest: decimal digits (at most 18), or
// kNoSerial when it is missing or anything else.
constexpr int64_t kNoSerial = -1;
// A serial's text as the root element holds it, or kNoSerial.
int64_t ParseSerial(const char* text);

// The root element's "expires" in a signed manifest: the UTC time after which the
// release is no longer applied, as "YYYY-MM-DDTHH:MM:SSZ", in seconds since 1970.
// kNoExpiry when the attribute is missing, kBadExpiry when it is anything else.
constexpr int64_t kNoExpiry = -1;
constexpr int64_t kBadExpiry = -2;
int64_t ParseUtcTime(const char* text);
// The text ParseUtcTime reads, for `seconds` since 1970 (0 up to the year 9999).
std::string UtcTimeText(int64_t seconds);

// Reads the manifest at `path` into `entries` (room for kManifestCapacity records).
// `count` is set to the number of records stored. A manifest that is missing or does
// not load is written back as the parser left it, so a missing one is created empty.
// Returns false when the file did not load as XML (missing, empty, not well-formed).
// `serial`, when given, receives the root's serial.
bool ParseManifest(const char* path, ManifestEntry* entries, int& count, int64_t* serial = nullptr);
// The same, from the manifest's bytes in memory; nothing is written.
// `expires`, when given, receives the root's expiry (kNoExpiry, kBadExpiry or a time).
bool ParseManifestBytes(const std::string& bytes, ManifestEntry* entries, int& count,
                        int64_t* serial = nullptr, int64_t* expires = nullptr);

// Records `md5Text` in "md5.xml" of `gameDir`.
void WriteMd5Xml(const char* gameDir, const char* md5Text, UpdateLog& log);

// The "size" attribute's value: optional white space and sign, then decimal digits up
// to the first other character; no digits give 0. Out-of-range values saturate.
int64_t ParseSizeText(const char* text);

// True when `entry`'s file name names a file inside the install directory and can be
// used in every path built from it: whole GBK characters that the system converts
// exactly, no ".." (or other all-dot) segment, no drive letter or stream (":"), no
// device name, no control character or character Windows forbids in a name, a file
// (not a folder) at its end, and not cut short by the parser. Leading separators and
// "." segments are allowed: the install folder is always joined in front.
bool IsSafeEntryName(const ManifestEntry& entry);
bool IsSafeEntryName(const char* name);

// True when the record's "md5" is a digest's text: 32 hexadecimal digits, whole.
bool HasMd5Text(const ManifestEntry& entry);

// True when the name falls on the updater's own files: anything below "Update" (the
// temporary tree), the installed manifest and its kept signature, md5.xml, the log, the
// pending list.
bool IsUpdaterOwnName(const char* name, const char* packageName);

// A manifest of `count` entries (filename, md5, size, and blake2b when it is set) as
// the updater reads it: an XML declaration naming GBK, so that the names' bytes are read
// back unchanged; a `serial` above 0 goes on the root element, and so does an
// `expires` time other than kNoExpiry.
std::string ManifestBytes(const ManifestEntry* entries, int count, int64_t serial = 0,
                          int64_t expires = kNoExpiry);
