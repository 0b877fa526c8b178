#include "digest/named.h"

#include "digest/blake2b.h"
#include "digest/md5.h"

std::string NamedDigest(const char* kind, const char* text) {
    return std::string(kind) + ":" + text;
}

bool StreamHasDigest(FILE* file, const std::string& named) {
    const bool strong = named.compare(0, 8, "blake2b:") == 0;
    if (!strong && named.compare(0, 4, "md5:") != 0) return false;
    Md5Context md5;
    Md5Init(&md5);
    Blake2b blake2b;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file)) > 0) {
        if (strong) {
            blake2b.Update(buf, n);
        } else {
            Md5Update(&md5, buf, n);
        }
    }
    if (ferror(file)) return false;
    char text[kBlake2bTextSize] = {0};
    if (strong) {
        blake2b.Final(text);
    } else {
        unsigned char digest[16];
        Md5Final(digest, &md5);
        DigestToHex(digest, text);
    }
    return named.substr(named.find(':') + 1) == text;
}
