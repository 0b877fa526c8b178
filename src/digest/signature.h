// Release signatures: Ed25519 (libsodium's crypto_sign) detached signatures over the
// exact bytes of the manifest, and the maker's key pair as text.
//
//   release.pub  the public key: 64 lowercase hexadecimal digits on one line
//   release.key  the secret key: 128 lowercase hexadecimal digits on one line
//   <manifest>.sig  the 64 bytes of the signature, nothing else
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kPublicKeyBytes = 32;
constexpr size_t kSecretKeyBytes = 64;
constexpr size_t kSignatureBytes = 64;

// Reads a key's text (surrounding white space allowed) into `key` of `size` bytes.
// False when the text is not exactly that many bytes in hexadecimal.
bool ParseKeyText(const std::string& text, unsigned char* key, size_t size);
std::string KeyText(const unsigned char* key, size_t size);

// True when `signature` (`signatureLen` bytes; anything but 64 fails) is the signature of
// `message` by the secret key of `publicKey`.
bool VerifySignature(const void* message, size_t messageLen, const void* signature,
                     size_t signatureLen, const unsigned char publicKey[kPublicKeyBytes]);

// The maker's side.
void GenerateKeyPair(unsigned char publicKey[kPublicKeyBytes],
                     unsigned char secretKey[kSecretKeyBytes]);
void Sign(const void* message, size_t messageLen, const unsigned char secretKey[kSecretKeyBytes],
          unsigned char signature[kSignatureBytes]);
