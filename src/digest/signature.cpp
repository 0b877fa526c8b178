#include "digest/signature.h"

#include <sodium.h>

static_assert(kPublicKeyBytes == crypto_sign_PUBLICKEYBYTES, "public key size");
static_assert(kSecretKeyBytes == crypto_sign_SECRETKEYBYTES, "secret key size");
static_assert(kSignatureBytes == crypto_sign_BYTES, "signature size");

namespace {

void Start() {
    static const int started = sodium_init();
    (void)started;
}

}  // namespace

bool ParseKeyText(const std::string& text, unsigned char* key, size_t size) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    const std::string hex = text.substr(first, last - first + 1);
    size_t written = 0;
    const char* end = nullptr;
    return hex.size() == 2 * size &&
           sodium_hex2bin(key, size, hex.data(), hex.size(), nullptr, &written, &end) == 0 &&
           written == size && end == hex.data() + hex.size();
}

std::string KeyText(const unsigned char* key, size_t size) {
    std::string text(2 * size + 1, '\0');
    sodium_bin2hex(&text[0], text.size(), key, size);
    text.resize(2 * size);
    return text;
}

bool VerifySignature(const void* message, size_t messageLen, const void* signatures,
                     size_t signaturesLen, const unsigned char publicKey[kPublicKeyBytes]) {
    Start();
    if (signaturesLen == 0 || signaturesLen % kSignatureBytes != 0 ||
        signaturesLen / kSignatureBytes > kMostSignatures) {
        return false;
    }
    const unsigned char* each = static_cast<const unsigned char*>(signatures);
    for (size_t at = 0; at < signaturesLen; at += kSignatureBytes) {
        if (crypto_sign_verify_detached(each + at, static_cast<const unsigned char*>(message),
                                        messageLen, publicKey) == 0) {
            return true;
        }
    }
    return false;
}

void GenerateKeyPair(unsigned char publicKey[kPublicKeyBytes],
                     unsigned char secretKey[kSecretKeyBytes]) {
    Start();
    crypto_sign_keypair(publicKey, secretKey);
}

void PublicKeyOf(const unsigned char secretKey[kSecretKeyBytes],
                 unsigned char publicKey[kPublicKeyBytes]) {
    Start();
    crypto_sign_ed25519_sk_to_pk(publicKey, secretKey);
}

void Sign(const void* message, size_t messageLen, const unsigned char secretKey[kSecretKeyBytes],
          unsigned char signature[kSignatureBytes]) {
    Start();
    crypto_sign_detached(signature, nullptr, static_cast<const unsigned char*>(message), messageLen,
                         secretKey);
}
