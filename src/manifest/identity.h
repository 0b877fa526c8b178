// What one listed file must be: its place, its length and its digest of the kind the
// release is checked by. The one comparison every stage makes (a file that arrived, a
// file found in the install or the temporary tree, a file the install step holds).
#pragma once

#include <cstdint>
#include <string>

#include "digest/named.h"
#include "manifest/manifest.h"

class FileIdentity {
public:
    FileIdentity() = default;
    // `entry` as a release checked by `kind` lists it.
    FileIdentity(const ManifestEntry& entry, DigestKind kind);

    DigestKind Kind() const { return m_kind; }
    const std::string& Digest() const { return m_digest; }
    int64_t Size() const { return m_size; }

    // The same place: `relative` names this file (in another case too where the system
    // ignores case).
    bool IsAt(const char* relative) const;
    // A file whose digest of this kind is `digestText` holds these bytes. An empty
    // digest (a file that could not be read) holds none.
    bool HasDigest(const char* digestText) const;
    // ... and is this file when it is also `size` bytes long.
    bool Is(const char* digestText, uint64_t size) const;
    bool HasSize(uint64_t size) const;
    // Two records for one file that agree on what it holds.
    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }

private:
    std::string m_path;
    int64_t m_size = -1;
    DigestKind m_kind = DigestKind::kMd5;
    std::string m_digest;
};
