// Prints the digest of each file named on the command line, like md5sum; used by the
// MD5 benchmark to time FileMd5 against other tools.
#include <cstdio>
#include <cstring>

#include "digest/md5.h"

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        unsigned char digest[16];
        memset(digest, 0, sizeof(digest));
        if (!FileMd5(argv[i], digest)) {
            status = 1;
            continue;
        }
        char text[33];
        DigestToHex(digest, text);
        printf("%s  %s\n", text, argv[i]);
    }
    return status;
}
