// A file's digest named by its kind, as it is kept with a file that is put in place
// later: "md5:<32 hexadecimal digits>" or "blake2b:<64 hexadecimal digits>".
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "digest/blake2b.h"

std::string NamedDigest(const char* kind, const char* text);
// The digest text of the bytes `read` gives until it returns 0 (it returns how many it
// put in the buffer, or below 0 on an error): the BLAKE2b when `strong`, the MD5
// otherwise. False, with `text` empty, on a read error.
using ReadBytes = std::function<long(void* buffer, size_t size)>;
bool DigestOfStream(bool strong, const ReadBytes& read, char text[kBlake2bTextSize]);
// Whether the bytes `file` holds from where it stands to its end are those `named`
// names. False for a name of no known kind.
bool StreamHasDigest(FILE* file, const std::string& named);
