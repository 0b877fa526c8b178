// A file's digest named by its kind, as it is kept with a file that is put in place
// later: "md5:<32 hexadecimal digits>" or "blake2b:<64 hexadecimal digits>".
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "digest/blake2b.h"

// Which digest proves a file: the MD5 every release lists, or the BLAKE2b-256 a signed
// release lists (whose signature covers it; the MD5 then proves nothing).
enum class DigestKind { kMd5, kBlake2b };

// "md5" or "blake2b".
const char* DigestName(DigestKind kind);
std::string NamedDigest(DigestKind kind, const char* text);
// The digest text of the bytes `read` gives until it returns 0 (it returns how many it
// put in the buffer, or below 0 on an error). False, with `text` empty, on a read error.
using ReadBytes = std::function<long(void* buffer, size_t size)>;
bool DigestOfStream(DigestKind kind, const ReadBytes& read, char text[kBlake2bTextSize]);
// The same for an open file, from where it stands to its end.
bool DigestOfFile(DigestKind kind, FILE* file, char text[kBlake2bTextSize]);
// Whether the bytes `file` holds from where it stands to its end are those `named`
// names. False for a name of no known kind.
bool StreamHasDigest(FILE* file, const std::string& named);
