// The install step: puts each file of the temporary tree that a record of the downloaded
// manifest vouches for (by its path and digest) in its place in the install, and marks
// the records it installed as verified.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/stop.h"
#include "install/layout.h"
#include "manifest/identity.h"
#include "manifest/manifest.h"
#include "platform/files.h"

class UpdateLog;
namespace platform {
class Prompter;
}

// The name the running updater's old file takes while its new one is put in place; it
// is removed when the updater next starts.
constexpr char kAsideSuffix[] = ".old~";

// One record of the downloaded manifest as a run goes through it.
struct ListedFile {
    ListedFile(const ManifestEntry& listed, DigestKind kind)
        : entry(&listed), identity(listed, kind) {}

    const ManifestEntry* entry;
    FileIdentity identity;
    // To be fetched in this run (not current, and not a second record of one file).
    bool wanted = true;
    // The installed file is known to be this one: found current in the install, or put
    // in place (or scheduled for the restart) by the install step after its size and
    // digest were checked. A run succeeds only when every record has it.
    bool verified = false;
    // The file's bytes arrived in this run, were digested as they arrived and matched:
    // the install step takes that digest instead of reading the file again, when the
    // file it holds still has `receivedStamp` (taken as it was closed).
    bool received = false;
    platform::FileStamp receivedStamp{};
};

// The records of `entries` as a release checked by `kind` lists them.
std::vector<ListedFile> ListFiles(const ManifestEntry* entries, int count, DigestKind kind);

class InstallStep {
public:
    // `install`: the install folder, held since the run began; `files`: the downloaded
    // manifest's records, each checked by the digest its identity names; `stop`: ends
    // the step between files (it then throws Cancelled); `prompter`: asks the user to
    // close the lobby (null: a box on this thread).
    InstallStep(UpdateLog& log, const InstallLayout& layout, const platform::HeldFolder& install,
                std::vector<ListedFile>& files, StopToken stop,
                platform::Prompter* prompter = nullptr);

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
    void OpenFolder(platform::HeldFolder& folder, const std::string& dstDir,
                    const platform::HeldFolder* parent = nullptr, const char* name = nullptr) const;
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
    bool DigestOnReceipt(const char* relative, const platform::StagedFile& file,
                         char* digestText) const;
    void DigestHeld(platform::StagedFile& file, char* digestText) const;
    // Marks every record that the file at `relative` with `digestText` and `size` is as
    // verified in place.
    void MarkVerified(const char* relative, const char* digestText, uint64_t size);

    UpdateLog& m_log;
    const InstallLayout& m_layout;
    const platform::HeldFolder& m_install;
    std::vector<ListedFile>& m_files;
    StopToken m_stop;
    DigestKind m_kind;
    platform::Prompter* m_prompter;
};
