// BLAKE2b-256 (libsodium's crypto_generichash with a 32-byte output): the strong digest
// a signed manifest lists for each file, beside its MD5.
#pragma once

#include <cstddef>

// 64 lowercase hexadecimal digits and a NUL.
constexpr size_t kBlake2bTextSize = 65;

class Blake2b {
public:
    Blake2b();
    void Update(const void* data, size_t len);
    // The digest's text; the object starts over afterwards.
    void Final(char text[kBlake2bTextSize]);

private:
    alignas(64) unsigned char m_state[384];
};

// The digest text of a whole file. False (and `text` left empty) when it can't be read.
bool FileBlake2b(const char* path, char text[kBlake2bTextSize]);

// True when `text` is a digest text: 64 lowercase hexadecimal digits.
bool IsBlake2bText(const char* text);
