#include "digest/blake2b.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/files.h"

namespace {

constexpr size_t kBytes = 32;

crypto_generichash_state* State(unsigned char* storage) {
    return reinterpret_cast<crypto_generichash_state*>(storage);
}

}  // namespace

Blake2b::Blake2b() {
    static_assert(sizeof(m_state) >= sizeof(crypto_generichash_state), "state does not fit");
    static_assert(alignof(crypto_generichash_state) <= 64, "state alignment");
    // Picks the fastest compression function this processor runs; once per process.
    static const int started = sodium_init();
    (void)started;
    crypto_generichash_init(State(m_state), nullptr, 0, kBytes);
}

void Blake2b::Update(const void* data, size_t len) {
    crypto_generichash_update(State(m_state), static_cast<const unsigned char*>(data), len);
}

void Blake2b::Final(char text[kBlake2bTextSize]) {
    unsigned char digest[kBytes];
    crypto_generichash_final(State(m_state), digest, kBytes);
    sodium_bin2hex(text, kBlake2bTextSize, digest, kBytes);
    crypto_generichash_init(State(m_state), nullptr, 0, kBytes);
}

bool FileBlake2b(const char* path, char text[kBlake2bTextSize]) {
    text[0] = '\0';
    FILE* f = platform::OpenFile(path, "rb");
    if (!f) return false;
    Blake2b hash;
    const size_t kBuffer = 64 * 1024;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kBuffer]);
    size_t n;
    while ((n = fread(buf.get(), 1, kBuffer, f)) > 0) hash.Update(buf.get(), n);
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) return false;
    hash.Final(text);
    return true;
}

bool IsBlake2bText(const char* text) {
    if (!text || strlen(text) != kBlake2bTextSize - 1) return false;
    for (const char* p = text; *p; ++p) {
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
    }
    return true;
}
