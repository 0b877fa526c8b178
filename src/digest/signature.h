// Release signatures: Ed25519 (libsodium's crypto_sign) detached signatures over the
// exact bytes of the manifest, and the maker's key pair as text.
//
//   release.pub  the public key: 64 lowercase hexadecimal digits on one line
//   release.key  the secret key: 128 lowercase hexadecimal digits on one line
//   <manifest>.sig  the 64 bytes of each signature, one after another (while a key is
//                   being replaced a manifest is signed with the old and the new key)
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kPublicKeyBytes = 32;
constexpr size_t kSecretKeyBytes = 64;
constexpr size_t kSignatureBytes = 64;
// The most signatures a signature file holds.
constexpr size_t kMostSignatures = 8;

// Reads a key's text (surrounding white space allowed) into `key` of `size` bytes.
// False when the text is not exactly that many bytes in hexadecimal.
bool ParseKeyText(const std::string& text, unsigned char* key, size_t size);
std::string KeyText(const unsigned char* key, size_t size);

// True when `signatures` (`signaturesLen` bytes: one or more whole signatures, at most
// kMostSignatures; any other length fails) holds a signature of `message` by the secret
// key of `publicKey`.
bool VerifySignature(const void* message, size_t messageLen, const void* signatures,
                     size_t signaturesLen, const unsigned char publicKey[kPublicKeyBytes]);

// The maker's side.
void GenerateKeyPair(unsigned char publicKey[kPublicKeyBytes],
                     unsigned char secretKey[kSecretKeyBytes]);
void Sign(const void* message, size_t messageLen, const unsigned char secretKey[kSecretKeyBytes],
          unsigned char signature[kSignatureBytes]);
// The public key of a secret key.
void PublicKeyOf(const unsigned char secretKey[kSecretKeyBytes],
                 unsigned char publicKey[kPublicKeyBytes]);
