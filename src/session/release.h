// A signed release: the manifest is applied only when its detached signature, made with
// the maker's secret key, verifies over the exact bytes that arrived; its serial must
// not go back, it must not have expired, and every file must carry its BLAKE2b digest.
// The check is a function of what arrived and what the caller knows (the key, the
// installed serial, the time): it fetches nothing and reads no clock.
#pragma once

#include <cstdint>
#include <string>

#include "manifest/manifest.h"

struct ReleaseRules {
    std::string publicKeyText;  // the maker's public key as text (release.pub)
    int64_t installedSerial = kNoSerial;
    // The lowest serial taken where nothing is installed to compare with.
    int64_t minSerial = 0;
    int64_t now = 0;  // seconds since 1970, UTC
};

struct ReleaseVerdict {
    // The signature verified over the manifest's bytes (the log says so even when a
    // later rule refuses the release).
    bool signatureGood = false;
    // Empty when the release may be applied; else the log line that refuses it, and the
    // file it names (if any).
    std::string refusal;
    std::string file;
};

// Whether `signature` (a detached signature file's bytes) verifies over `manifest` with
// the key of `publicKeyText`.
bool SignedByKey(const std::string& manifest, const std::string& signature,
                 const std::string& publicKeyText);

// Checks `manifest` against `signature` (the detached signature file's bytes) and
// `rules`; on acceptance its records are in `entries` (room for kManifestCapacity) and
// `count`.
ReleaseVerdict CheckSignedRelease(const std::string& manifest, const std::string& signature,
                                  const ReleaseRules& rules, ManifestEntry* entries, int& count);
