// Texts in the fixed-size buffers the updater keeps its paths and names in, and the
// few GBK-aware scans that a double-byte character set needs.
#pragma once

#include <cstddef>
#include <string>

#include "common/printf.h"

// printf into `buf` of `size` bytes. False when the text did not fit: `buf` then holds
// an empty text, never a shortened one that could name a different file.
UPDATER_PRINTF(3, 4)
bool FormatText(char* buf, size_t size, const char* format, ...);

// First byte of a GBK double-byte character.
inline bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
// Second byte of a GBK double-byte character.
inline bool IsGbkTrail(unsigned char c) {
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE);
}

// Width in bytes of the character at `p`: 2 for a lead byte followed by a valid second
// byte, 1 for anything else. Every scan of GBK text steps with this one function, so
// all of them split a text into the same characters.
inline size_t GbkCharWidth(const char* p) {
    return IsGbkLead(static_cast<unsigned char>(p[0])) &&
                   IsGbkTrail(static_cast<unsigned char>(p[1]))
               ? 2
               : 1;
}

// True when `text` is made of whole GBK characters: ASCII bytes and lead bytes each
// followed by a valid second byte (no stray 0x80-0xFF byte).
bool IsValidGbk(const char* text);

// A "/" or a "\" that is not the second byte of a double-byte character.
inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The last separator in `text`, or null. Never a byte inside a double-byte character.
const char* FindLastSeparator(const char* text);

// strstr that only matches at character boundaries.
const char* FindText(const char* text, const char* what);

// Ends `path` where its last component begins, dropping the separator: the folder of a
// file's path. Empty when the path holds no separator.
void CutAtLastSeparator(char* path);

// Takes the first folder component off `path` (in place) into `component`, skipping
// leading separators. False when no component followed by a separator is left.
bool PopPathComponent(char* path, char* component);

// Whether two relative paths name the same file: "\\" and "/" alike, runs of separators
// and "." components ignored, ASCII letters compared without case when `ignoreCase`.
bool SamePath(const char* a, const char* b, bool ignoreCase);
// The one spelling of a relative path that SamePath compares: its components joined by
// single "/", ASCII letters in lower case when `ignoreCase`.
std::string PathKey(const char* path, bool ignoreCase);

// A text from outside (a name from the server) as a log line may hold it: each byte
// below 0x20 and 0x7F written as "\xHH", so that it can never end a line or start one.
// GBK never uses these bytes inside a double-byte character.
std::string Printable(const std::string& text);
