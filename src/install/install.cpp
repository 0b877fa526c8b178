// The install step: verifies each file of the temporary tree against the downloaded
// manifest and puts it in its place in the install directory.
#include "install/install.h"

#include <cstring>
#include <string>

#include "common/failure.h"
#include "common/text.h"
#include "digest/blake2b.h"
#include "digest/md5.h"
#include "digest/named.h"
#include "log/update_log.h"
#include "platform/files.h"
#include "platform/message.h"
#include "platform/process.h"
#include "platform/prompter.h"
#include "platform/replace.h"

namespace {

// Replaced by the system at the next restart instead of being copied.
const char kDeferredExecutable[] = "Brenthor.exe";

}  // namespace

InstallStep::InstallStep(UpdateLog& log, const InstallLayout& layout, ManifestEntry* entries,
                         int count, StopToken stop, bool strong, platform::Prompter* prompter)
    : m_log(log),
      m_layout(layout),
      m_entries(entries),
      m_count(count),
      m_stop(stop),
      m_strong(strong),
      m_prompter(prompter) {}

void InstallStep::Run() { CopyTree(m_layout.GameDir() + "/", m_layout.TreeRoot()); }

void InstallStep::CopyTree(const std::string& dstDir, const std::string& srcDir) {
    // Nothing is put in place through a link: a folder of the install that is one (the
    // player's own arrangement, or a planted one) ends the run instead.
    if (platform::LinkOnTheWay(m_layout.GameDir().c_str(), dstDir.c_str())) {
        throw UpdateFailed(FailedStep::Install, "安装目录中有链接，更新失败:" + dstDir, dstDir);
    }
    platform::CreateFolder(dstDir.c_str());
    platform::FolderListing listing(srcDir.c_str());
    if (!listing.IsOpen()) return;

    const std::string treeRoot = m_layout.TreeRoot();
    std::string name;
    bool isFolder = false;
    while (listing.Next(name, isFolder)) {
        if (m_stop.StopRequested()) throw Cancelled();
        if (isFolder) {
            if (name == "." || name == "..") continue;
            const std::string src = srcDir + name + "/", dst = dstDir + name + "/";
            InstallLayout::RequireFits(src, name.c_str());
            InstallLayout::RequireFits(dst, name.c_str());
            CopyTree(dst, src);
            continue;
        }
        const std::string src = srcDir + name, dst = dstDir + name;
        InstallLayout::RequireFits(src, name.c_str());
        InstallLayout::RequireFits(dst, name.c_str());
        const char* relative =
            src.compare(0, treeRoot.size(), treeRoot) == 0 ? src.c_str() + treeRoot.size() : "";

        // Only a regular file is digested or moved; anything else in the tree (a link, a
        // pipe, a device) is not the download and goes.
        uint64_t size = 0;
        if (!platform::RegularFileSize(src.c_str(), &size)) {
            m_log.WriteLine("没拷贝%s", name.c_str());
            platform::RemoveFile(src.c_str());
            continue;
        }

        // The file is installed when a record names its path with its digest.
        const bool deferred = FindText(src.c_str(), kDeferredExecutable) != nullptr;
        char digestText[33] = {0};
        char blake2bText[kBlake2bTextSize] = {0};
        bool digested = DigestOnReceipt(relative, size, digestText, blake2bText);
        bool accepted = false;
        for (int i = 0; i < m_count && !accepted; ++i) {
            const ManifestEntry& entry = m_entries[i];
            if (!SamePath(entry.filename, relative, platform::NamesIgnoreCase())) continue;
            if (!digested) {
                if (m_strong) {
                    FileBlake2b(src.c_str(), blake2bText);
                } else {
                    unsigned char digest[16] = {0};
                    FileMd5(src.c_str(), digest);
                    DigestToHex(digest, digestText);
                }
                digested = true;
            }
            if (!SameDigests(entry, digestText, blake2bText)) continue;
            accepted = true;
            if (deferred) {
                // Replaced by the system at the next restart; it waits in the tree.
                const std::string digest =
                    m_strong ? NamedDigest("blake2b", blake2bText) : NamedDigest("md5", digestText);
                if (platform::ReplaceAtRestart(src.c_str(), dst.c_str(), digest)) {
                    m_log.WriteLine("重启后替换%s:%s", name.c_str(), digest.c_str());
                    MarkVerified(relative, digestText, blake2bText, size);
                }
            } else {
                InstallFile(src, dst);
                MarkVerified(relative, digestText, blake2bText, size);
            }
        }
        if (!accepted) m_log.WriteLine("没拷贝%s", name.c_str());
        if (!(accepted && deferred)) platform::RemoveFile(src.c_str());
    }
}

// A signed release's file is the one its BLAKE2b names; an unsigned one's, its MD5.
bool InstallStep::SameDigests(const ManifestEntry& entry, const char* digestText,
                              const char* blake2bText) const {
    if (m_strong) return blake2bText[0] && strcmp(entry.blake2b, blake2bText) == 0;
    return strcmp(entry.md5, digestText) == 0;
}

bool InstallStep::DigestOnReceipt(const char* relative, uint64_t size, char* digestText,
                                  char* blake2bText) const {
    for (int i = 0; i < m_count; ++i) {
        const ManifestEntry& entry = m_entries[i];
        if (entry.received && entry.size >= 0 && static_cast<uint64_t>(entry.size) == size &&
            SamePath(entry.filename, relative, platform::NamesIgnoreCase())) {
            memcpy(digestText, entry.md5, 33);
            memcpy(blake2bText, entry.blake2b, kBlake2bTextSize);
            return true;
        }
    }
    return false;
}

void InstallStep::MarkVerified(const char* relative, const char* digestText,
                               const char* blake2bText, uint64_t size) {
    for (int i = 0; i < m_count; ++i) {
        ManifestEntry& entry = m_entries[i];
        if (SameDigests(entry, digestText, blake2bText) && entry.size >= 0 &&
            static_cast<uint64_t>(entry.size) == size &&
            SamePath(entry.filename, relative, platform::NamesIgnoreCase())) {
            entry.verified = 1;
        }
    }
}

// Puts the verified `src` in the place of `dst` in one step, so an installed file is
// never half-written. While the target is in use the user is asked to close the lobby
// and retry; "No" abandons the run, a retry that succeeds goes on with it.
void InstallStep::InstallFile(const std::string& src, const std::string& dst) {
    if (platform::MoveOver(src.c_str(), dst.c_str())) return;
    if (platform::IsOwnExecutable(dst.c_str()) && ReplaceOwnExecutable(src, dst)) return;
    const std::string prompt = dst + "文件已被打开，请关闭游戏大厅后重试！\n是否重试？";
    for (;;) {
        const int answer =
            m_prompter ? m_prompter->Ask(prompt.c_str(), "警告", platform::kMbYesNo)
                       : platform::ShowMessageBox(prompt.c_str(), "警告", platform::kMbYesNo);
        if (answer != platform::kIdYes) {
            throw UpdateFailed(FailedStep::Install, "文件被占用，更新失败:" + dst, dst);
        }
        if (platform::MoveOver(src.c_str(), dst.c_str())) return;
    }
}

// The running updater cannot be overwritten, but it can be renamed: the old file moves
// aside (removed at the next start) and the new one takes its name.
bool InstallStep::ReplaceOwnExecutable(const std::string& src, const std::string& dst) {
    const std::string aside = dst + kAsideSuffix;
    if (aside.size() > InstallLayout::kMaxPath) return false;
    platform::RemoveFile(aside.c_str());
    if (!platform::RenameFile(dst.c_str(), aside.c_str())) return false;
    if (platform::MoveOver(src.c_str(), dst.c_str())) return true;
    platform::RenameFile(aside.c_str(), dst.c_str());
    return false;
}
