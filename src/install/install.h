// The install step: puts each file of the temporary tree that a record of the downloaded
// manifest vouches for (by its path and digest) in its place in the install, and marks
// the records it installed as verified.
#pragma once

#include <cstdint>
#include <string>

#include "common/stop.h"
#include "install/layout.h"
#include "manifest/manifest.h"
#include "platform/files.h"

class UpdateLog;
namespace platform {
class Prompter;
}

// The name the running updater's old file takes while its new one is put in place; it
// is removed when the updater next starts.
constexpr char kAsideSuffix[] = ".old~";

class InstallStep {
public:
    // `entries`: the downloaded manifest's records; `stop`: ends the step between files
    // (it then throws Cancelled); `strong`: a file must match the record's BLAKE2b digest
    // too (a signed release); `prompter`: asks the user to close the lobby (null: a box
    // on this thread).
    InstallStep(UpdateLog& log, const InstallLayout& layout, ManifestEntry* entries, int count,
                StopToken stop, bool strong = false, platform::Prompter* prompter = nullptr);

    // Puts the temporary tree's files in place in the install folder. Files that fail the
    // checks are logged and removed; throws UpdateFailed when a file cannot be put in
    // place or a folder of the install is a link.
    void Run();
    // The same for the tree at `srcDir` over `dstDir`, both ending in a separator and
    // below the install folder. Each folder is held open from the install folder down
    // while its files are moved (a link on the way is passed only when its owner may be
    // trusted), so no folder can be swapped for a link between the check and the move.
    void CopyTree(const std::string& dstDir, const std::string& srcDir);

private:
    static void OpenFolder(platform::HeldFolder& folder, const std::string& root,
                           const std::string& dstDir, platform::Links links,
                           const platform::HeldFolder* parent = nullptr,
                           const char* name = nullptr);
    void CopyHeld(const platform::HeldFolder& dst, const platform::HeldFolder& src,
                  const std::string& dstDir, const std::string& srcDir);
    void InstallFile(platform::StagedFile& staged, const std::string& dst,
                     const std::string& shown);
    bool ReplaceOwnExecutable(platform::StagedFile& staged, const std::string& dst,
                              const std::string& shown);
    bool Moved(platform::StagedFile& staged, const std::string& dst, const std::string& shown);
    // The digest taken while the file at `relative` arrived in this run, when a record
    // has one and `file` is provably still those bytes (never on Windows); false when it
    // must be read.
    bool DigestOnReceipt(const char* relative, const platform::StagedFile& file, char* digestText,
                         char* blake2bText) const;
    void DigestHeld(platform::StagedFile& file, char* digestText, char* blake2bText) const;
    // Marks every record whose path is `relative`, whose digests are `digestText` (and
    // `blake2bText`, when strong) and whose size is `size` as verified in place.
    void MarkVerified(const char* relative, const char* digestText, const char* blake2bText,
                      uint64_t size);
    bool SameDigests(const ManifestEntry& entry, const char* digestText,
                     const char* blake2bText) const;

    UpdateLog& m_log;
    const InstallLayout& m_layout;
    ManifestEntry* m_entries;
    int m_count;
    StopToken m_stop;
    bool m_strong;
    platform::Prompter* m_prompter;
};
