// The install step: puts each file of the temporary tree that a record of the downloaded
// manifest vouches for (by name and digest) in its place in the install, and marks the
// records it installed as verified.
#pragma once

#include <atomic>
#include <cstdint>

#include "manifest/manifest.h"

class UpdateLog;

// The name the running updater's old file takes while its new one is put in place; it
// is removed when the updater next starts.
constexpr char kAsideSuffix[] = ".old~";

class InstallStep {
public:
    // `treeRoot`: the temporary tree's root, below which each file is named by its
    // path; `entries`: the downloaded manifest's records; `stop`: set by another thread
    // to end the step between files (it then throws); `strong`: a file must match the
    // record's BLAKE2b digest too (a signed release).
    InstallStep(UpdateLog& log, const char* gameDir, const char* treeRoot, ManifestEntry* entries,
                int count, const std::atomic<bool>& stop, bool strong = false);

    // Copies the tree at `srcDir` over `dstDir` (both ending in a separator). Files that
    // fail the checks are logged and skipped; throws 0 when a file cannot be put in place
    // or a folder of the install is a link.
    void CopyTree(const char* dstDir, const char* srcDir);

private:
    void InstallFile(const char* src, const char* dst);
    bool ReplaceOwnExecutable(const char* src, const char* dst);
    // The digest taken while the file at `relative` arrived in this run, when a record
    // has one and the file still has its size; false when it must be read.
    bool DigestOnReceipt(const char* relative, uint64_t size, char* digestText,
                         char* blake2bText) const;
    // Marks every record whose path is `relative`, whose digests are `digestText` (and
    // `blake2bText`, when strong) and whose size is `size` as verified in place.
    void MarkVerified(const char* relative, const char* digestText, const char* blake2bText,
                      uint64_t size);
    bool SameDigests(const ManifestEntry& entry, const char* digestText,
                     const char* blake2bText) const;

    UpdateLog& m_log;
    const char* m_gameDir;
    const char* m_treeRoot;
    ManifestEntry* m_entries;
    int m_count;
    const std::atomic<bool>& m_stop;
    bool m_strong;
};
