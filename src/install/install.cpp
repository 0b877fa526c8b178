// The install step: verifies each file of the temporary tree against the downloaded
// manifest and puts it in its place in the install directory.
#include "install/install.h"

#include <cstring>
#include <string>

#include "common/text.h"
#include "digest/blake2b.h"
#include "digest/md5.h"
#include "log/update_log.h"
#include "platform/platform.h"

namespace {

// Replaced by the system at the next restart instead of being copied.
const char kDeferredExecutable[] = "Brenthor.exe";

const char* BaseName(const char* path) {
    const char* sep = FindLastSeparator(path);
    return sep ? sep + 1 : path;
}

}  // namespace

InstallStep::InstallStep(UpdateLog& log, const char* gameDir, const char* treeRoot,
                         ManifestEntry* entries, int count, const std::atomic<bool>& stop,
                         bool strong)
    : m_log(log),
      m_gameDir(gameDir),
      m_treeRoot(treeRoot),
      m_entries(entries),
      m_count(count),
      m_stop(stop),
      m_strong(strong) {}

void InstallStep::CopyTree(const char* dstDir, const char* srcDir) {
    // Nothing is put in place through a link: a folder of the install that is one (the
    // player's own arrangement, or a planted one) ends the run instead.
    if (platform::LinkOnTheWay(m_gameDir, dstDir)) {
        m_log.WriteLine("安装目录中有链接，更新失败:%s", dstDir);
        throw 0;
    }
    platform::CreateFolder(dstDir);
    platform::FolderListing listing(srcDir);
    if (!listing.IsOpen()) return;

    std::string name;
    bool isFolder = false;
    while (listing.Next(name, isFolder)) {
        if (m_stop.load(std::memory_order_relaxed)) throw 0;
        char src[256], dst[256];
        if (isFolder) {
            if (name == "." || name == "..") continue;
            RequirePath(m_log, FormatText(src, sizeof(src), "%s%s/", srcDir, name.c_str()),
                        name.c_str());
            RequirePath(m_log, FormatText(dst, sizeof(dst), "%s%s/", dstDir, name.c_str()),
                        name.c_str());
            CopyTree(dst, src);
            continue;
        }
        RequirePath(m_log, FormatText(src, sizeof(src), "%s%s", srcDir, name.c_str()),
                    name.c_str());
        RequirePath(m_log, FormatText(dst, sizeof(dst), "%s%s", dstDir, name.c_str()),
                    name.c_str());
        const size_t rootLen = strlen(m_treeRoot);
        const char* relative = strncmp(src, m_treeRoot, rootLen) == 0 ? src + rootLen : "";

        // Only a regular file is digested or moved; anything else in the tree (a link, a
        // pipe, a device) is not the download and goes.
        uint64_t size = 0;
        if (!platform::RegularFileSize(src, &size)) {
            m_log.WriteLine("没拷贝%s", name.c_str());
            platform::RemoveFile(src);
            continue;
        }

        // The file is installed when some record names it (by base name) with its digest.
        const bool deferred = FindText(src, kDeferredExecutable) != nullptr;
        char digestText[33] = {0};
        char blake2bText[kBlake2bTextSize] = {0};
        bool digested = DigestOnReceipt(relative, size, digestText, blake2bText);
        bool accepted = false;
        for (int i = 0; i < m_count && !accepted; ++i) {
            const ManifestEntry& entry = m_entries[i];
            if (strcmp(BaseName(entry.filename), name.c_str()) != 0) continue;
            if (!digested) {
                unsigned char digest[16] = {0};
                FileMd5(src, digest);
                DigestToHex(digest, digestText);
                if (m_strong) FileBlake2b(src, blake2bText);
                digested = true;
            }
            if (!SameDigests(entry, digestText, blake2bText)) continue;
            accepted = true;
            if (deferred) {
                // Replaced by the system at the next restart; it waits in the tree.
                if (platform::ReplaceAtRestart(src, dst)) {
                    MarkVerified(relative, digestText, blake2bText, size);
                }
            } else {
                InstallFile(src, dst);
                MarkVerified(relative, digestText, blake2bText, size);
            }
        }
        if (!accepted) m_log.WriteLine("没拷贝%s", name.c_str());
        if (!(accepted && deferred)) platform::RemoveFile(src);
    }
}

bool InstallStep::SameDigests(const ManifestEntry& entry, const char* digestText,
                              const char* blake2bText) const {
    return strcmp(entry.md5, digestText) == 0 &&
           (!m_strong || (blake2bText[0] && strcmp(entry.blake2b, blake2bText) == 0));
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
void InstallStep::InstallFile(const char* src, const char* dst) {
    if (platform::MoveOver(src, dst)) return;
    if (platform::IsOwnExecutable(dst) && ReplaceOwnExecutable(src, dst)) return;
    char prompt[512];
    FormatText(prompt, sizeof(prompt), "%s文件已被打开，请关闭游戏大厅后重试！\n是否重试？", dst);
    for (;;) {
        if (platform::ShowMessageBox(prompt, "警告", platform::kMbYesNo) != platform::kIdYes) {
            m_log.WriteLine("文件被占用，更新失败:%s", dst);
            throw 0;
        }
        if (platform::MoveOver(src, dst)) return;
    }
}

// The running updater cannot be overwritten, but it can be renamed: the old file moves
// aside (removed at the next start) and the new one takes its name.
bool InstallStep::ReplaceOwnExecutable(const char* src, const char* dst) {
    char aside[256];
    if (!FormatText(aside, sizeof(aside), "%s%s", dst, kAsideSuffix)) return false;
    platform::RemoveFile(aside);
    if (!platform::RenameFile(dst, aside)) return false;
    if (platform::MoveOver(src, dst)) return true;
    platform::RenameFile(aside, dst);
    return false;
}
