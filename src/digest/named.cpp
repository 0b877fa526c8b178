#include "digest/named.h"

#include <vector>

#include "digest/blake2b.h"
#include "digest/md5.h"

const char* DigestName(DigestKind kind) { return kind == DigestKind::kBlake2b ? "blake2b" : "md5"; }

std::string NamedDigest(DigestKind kind, const char* text) {
    return std::string(DigestName(kind)) + ":" + text;
}

bool DigestOfStream(DigestKind kind, const ReadBytes& read, char text[kBlake2bTextSize]) {
    text[0] = '\0';
    const bool strong = kind == DigestKind::kBlake2b;
    Md5Context md5;
    Md5Init(&md5);
    Blake2b blake2b;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        const long n = read(buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) break;
        if (strong) {
            blake2b.Update(buffer.data(), static_cast<size_t>(n));
        } else {
            Md5Update(&md5, buffer.data(), static_cast<size_t>(n));
        }
    }
    if (strong) {
        blake2b.Final(text);
    } else {
        unsigned char digest[16];
        Md5Final(digest, &md5);
        DigestToHex(digest, text);
    }
    return true;
}

bool DigestOfFile(DigestKind kind, FILE* file, char text[kBlake2bTextSize]) {
    return DigestOfStream(
        kind,
        [file](void* buffer, size_t size) -> long {
            const size_t n = fread(buffer, 1, size, file);
            return n == 0 && ferror(file) ? -1 : static_cast<long>(n);
        },
        text);
}

bool StreamHasDigest(FILE* file, const std::string& named) {
    const bool strong = named.compare(0, 8, "blake2b:") == 0;
    if (!strong && named.compare(0, 4, "md5:") != 0) return false;
    char text[kBlake2bTextSize];
    return DigestOfFile(strong ? DigestKind::kBlake2b : DigestKind::kMd5, file, text) &&
           named.substr(named.find(':') + 1) == text;
}
