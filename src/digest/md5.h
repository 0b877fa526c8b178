// MD5 message digest (RFC 1321) and the digest text the manifests carry.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t state[4];         // chaining words A, B, C, D
    uint32_t count[2];         // message length in bits, low word first, modulo 2^64
    unsigned char buffer[64];  // input that does not yet fill a block
};

void Md5Init(Md5Context* ctx);
void Md5Update(Md5Context* ctx, const void* data, size_t len);
// Writes the 16-byte digest and wipes the context.
void Md5Final(unsigned char digest[16], Md5Context* ctx);

// Digest of a whole file. Returns 1 on success, 0 when the file can't be opened
// (then `digest` is left untouched).
int FileMd5(const char* path, unsigned char digest[16]);

// 32 lowercase hexadecimal digits and a NUL.
void DigestToHex(const unsigned char digest[16], char text[33]);
