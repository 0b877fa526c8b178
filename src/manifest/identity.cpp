#include "manifest/identity.h"

#include "common/text.h"
#include "platform/files.h"

FileIdentity::FileIdentity(const ManifestEntry& entry, DigestKind kind)
    : m_path(entry.filename),
      m_size(entry.size),
      m_kind(kind),
      m_digest(kind == DigestKind::kBlake2b ? entry.blake2b : entry.md5) {}

bool FileIdentity::IsAt(const char* relative) const {
    return SamePath(m_path.c_str(), relative, platform::NamesIgnoreCase());
}

bool FileIdentity::HasDigest(const char* digestText) const {
    return digestText[0] != '\0' && m_digest == digestText;
}

bool FileIdentity::HasSize(uint64_t size) const {
    return m_size >= 0 && static_cast<uint64_t>(m_size) == size;
}

bool FileIdentity::Is(const char* digestText, uint64_t size) const {
    return HasDigest(digestText) && HasSize(size);
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return m_kind == other.m_kind && m_size == other.m_size && m_digest == other.m_digest &&
           IsAt(other.m_path.c_str());
}
