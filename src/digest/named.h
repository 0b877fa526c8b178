// A file's digest named by its kind, as it is kept with a file that is put in place
// later: "md5:<32 hexadecimal digits>" or "blake2b:<64 hexadecimal digits>".
#pragma once

#include <cstdio>
#include <string>

std::string NamedDigest(const char* kind, const char* text);
// Whether the bytes `file` holds from where it stands to its end are those `named`
// names. False for a name of no known kind.
bool StreamHasDigest(FILE* file, const std::string& named);
