// The install step: verifies each file of the temporary tree against the downloaded
// manifest and puts it in its place in the install directory.
#include "install/install.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/failure.h"
#include "common/text.h"
#include "digest/blake2b.h"
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

std::vector<ListedFile> ListFiles(const ManifestEntry* entries, int count, DigestKind kind) {
    std::vector<ListedFile> files;
    files.reserve(count > 0 ? static_cast<size_t>(count) : 0);
    for (int i = 0; i < count; ++i) files.emplace_back(entries[i], kind);
    return files;
}

InstallStep::InstallStep(UpdateLog& log, const InstallLayout& layout,
                         const platform::HeldFolder& install, std::vector<ListedFile>& files,
                         StopToken stop, platform::Prompter* prompter)
    : m_log(log),
      m_layout(layout),
      m_install(install),
      m_files(files),
      m_stop(stop),
      m_kind(files.empty() ? DigestKind::kMd5 : files.front().identity.Kind()),
      m_prompter(prompter) {}

void InstallStep::Run() { CopyTree(m_layout.GameDir() + "/", m_layout.TreeRoot()); }

void InstallStep::CopyTree(const std::string& dstDir, const std::string& srcDir) {
    const std::string& gameDir = m_layout.GameDir();
    platform::HeldFolder dst, src;
    OpenFolder(dst, dstDir);
    if (srcDir.compare(0, gameDir.size(), gameDir) != 0 ||
        src.OpenPath(m_install, srcDir.c_str() + gameDir.size(), platform::Links::kOwn, false) !=
            platform::HeldFolder::Result::kOpen) {
        return;  // no tree, nothing to install
    }
    CopyHeld(dst, src, dstDir, srcDir);
}

// Opens (and makes) the install's folder `dstDir`, from the install folder down, or
// `name` inside `parent` when given. Nothing is put in place through a link someone
// else made: a folder of the install that is one ends the run.
void InstallStep::OpenFolder(platform::HeldFolder& folder, const std::string& dstDir,
                             const platform::HeldFolder* parent, const char* name) const {
    using Result = platform::HeldFolder::Result;
    const std::string& root = m_layout.GameDir();
    Result result = Result::kFailed;
    if (parent) {
        result = folder.OpenChild(*parent, name, platform::Links::kTrusted, true);
    } else if (dstDir.compare(0, root.size(), root) == 0) {
        result = folder.OpenPath(m_install, dstDir.c_str() + root.size(), platform::Links::kTrusted,
                                 true);
    }
    if (result == Result::kRefusedLink) {
        throw UpdateFailed(FailedStep::Install, "安装目录中有链接，更新失败:" + dstDir, dstDir);
    }
    if (result != Result::kOpen) {
        throw UpdateFailed(FailedStep::Install, "文件没有安装，更新失败:" + dstDir, dstDir);
    }
}

// `dstDir` and `srcDir` name the held folders in the log; every call on a file goes
// through the held folder.
void InstallStep::CopyHeld(const platform::HeldFolder& dst, const platform::HeldFolder& src,
                           const std::string& dstDir, const std::string& srcDir) {
    platform::FolderListing listing(src.Path().c_str());
    if (!listing.IsOpen()) return;

    const std::string treeRoot = m_layout.TreeRoot();
    std::string name;
    bool isFolder = false;
    while (listing.Next(name, isFolder)) {
        if (m_stop.StopRequested()) throw Cancelled();
        if (isFolder) {
            if (name == "." || name == "..") continue;
            const std::string srcChild = srcDir + name + "/", dstChild = dstDir + name + "/";
            InstallLayout::RequireFits(srcChild, name.c_str());
            InstallLayout::RequireFits(dstChild, name.c_str());
            platform::HeldFolder from, to;
            if (from.OpenChild(src, name.c_str(), platform::Links::kOwn, false) !=
                platform::HeldFolder::Result::kOpen) {
                continue;  // not a real folder of the tree: nothing in it is installed
            }
            OpenFolder(to, dstChild, &dst, name.c_str());
            CopyHeld(to, from, dstChild, srcChild);
            continue;
        }
        const std::string srcName = srcDir + name, dstName = dstDir + name;
        InstallLayout::RequireFits(srcName, name.c_str());
        InstallLayout::RequireFits(dstName, name.c_str());
        const std::string srcPath = src.Path() + name, dstPath = dst.Path() + name;
        const char* relative = srcName.compare(0, treeRoot.size(), treeRoot) == 0
                                   ? srcName.c_str() + treeRoot.size()
                                   : "";

        // Only a regular file is digested or moved; anything else in the tree (a link, a
        // pipe, a device) is not the download and goes. The file is held from here until
        // it is in place: the bytes digested are the bytes moved.
        platform::StagedFile staged;
        uint64_t size = 0;
        if (!platform::RegularFileSize(srcPath.c_str(), &size) || !staged.Open(srcPath.c_str())) {
            m_log.WriteLine("没拷贝%s", Printable(name).c_str());
            staged.Close();
            platform::RemoveFile(srcPath.c_str());
            continue;
        }

        // The file is installed when a record names its path with its digest.
        const bool deferred = FindText(srcName.c_str(), kDeferredExecutable) != nullptr;
        char digestText[kBlake2bTextSize] = {0};
        bool digested = DigestOnReceipt(relative, staged, digestText);
        bool accepted = false;
        for (size_t i = 0; i < m_files.size() && !accepted; ++i) {
            const FileIdentity& listed = m_files[i].identity;
            if (!listed.IsAt(relative)) continue;
            if (!digested) {
                DigestHeld(staged, digestText);
                digested = true;
            }
            if (!listed.HasDigest(digestText)) continue;
            accepted = true;
            if (deferred) {
                // Replaced by the system at the next restart; it waits in the tree.
                const std::string digest = NamedDigest(m_kind, digestText);
                if (platform::ReplaceAtRestart(staged, srcName.c_str(), dstName.c_str(), digest)) {
                    m_log.WriteLine("重启后替换%s:%s", name.c_str(), digest.c_str());
                    MarkVerified(relative, digestText, size);
                }
            } else {
                InstallFile(staged, dstPath, dstName);
                MarkVerified(relative, digestText, size);
            }
        }
        if (!accepted) m_log.WriteLine("没拷贝%s", Printable(name).c_str());
        if (!(accepted && deferred)) {
            staged.Close();
            platform::RemoveFile(srcPath.c_str());
        }
    }
}

// The digest of the held file, read from its handle (a file that cannot be read gets
// no digest, and matches no record).
void InstallStep::DigestHeld(platform::StagedFile& file, char* digestText) const {
    DigestOfStream(
        m_kind, [&file](void* buffer, size_t size) { return file.Read(buffer, size); }, digestText);
}

bool InstallStep::DigestOnReceipt(const char* relative, const platform::StagedFile& file,
                                  char* digestText) const {
    for (const ListedFile& listed : m_files) {
        if (listed.received && listed.identity.IsAt(relative) &&
            file.Unchanged(listed.receivedStamp)) {
            snprintf(digestText, kBlake2bTextSize, "%s", listed.identity.Digest().c_str());
            return true;
        }
    }
    return false;
}

void InstallStep::MarkVerified(const char* relative, const char* digestText, uint64_t size) {
    for (ListedFile& listed : m_files) {
        if (listed.identity.IsAt(relative) && listed.identity.Is(digestText, size)) {
            listed.verified = true;
        }
    }
}

// Puts the verified `src` in the place of `dst` in one step, so an installed file is
// never half-written. While the target is in use the user is asked to close the lobby
// and retry; "No" abandons the run, a retry that succeeds goes on with it. `shown` is
// the target's name for the user.
void InstallStep::InstallFile(platform::StagedFile& staged, const std::string& dst,
                              const std::string& shown) {
    if (Moved(staged, dst, shown)) return;
    if (platform::IsOwnExecutable(dst.c_str()) && ReplaceOwnExecutable(staged, dst, shown)) {
        return;
    }
    const std::string prompt = shown + "文件已被打开，请关闭游戏大厅后重试！\n是否重试？";
    for (;;) {
        const int answer =
            m_prompter ? m_prompter->Ask(prompt.c_str(), "警告", platform::kMbYesNo)
                       : platform::ShowMessageBox(prompt.c_str(), "警告", platform::kMbYesNo);
        if (answer != platform::kIdYes) {
            throw UpdateFailed(FailedStep::Install, "文件被占用，更新失败:" + shown, shown);
        }
        if (Moved(staged, dst, shown)) return;
    }
}

// True once the held file is at `dst`; false while `dst` is in use. A name given to
// another file between the digest and the move ends the run.
bool InstallStep::Moved(platform::StagedFile& staged, const std::string& dst,
                        const std::string& shown) {
    const platform::StagedFile::Move move = staged.MoveOver(dst.c_str());
    if (move == platform::StagedFile::Move::kSwapped) {
        throw UpdateFailed(FailedStep::Install, "文件没有安装，更新失败:" + shown, shown);
    }
    return move == platform::StagedFile::Move::kMoved;
}

// The running updater cannot be overwritten, but it can be renamed: the old file moves
// aside (removed at the next start) and the new one takes its name.
bool InstallStep::ReplaceOwnExecutable(platform::StagedFile& staged, const std::string& dst,
                                       const std::string& shown) {
    const std::string aside = dst + kAsideSuffix;
    if (shown.size() + strlen(kAsideSuffix) > InstallLayout::kMaxPath) return false;
    platform::RemoveFile(aside.c_str());
    if (!platform::RenameFile(dst.c_str(), aside.c_str())) return false;
    try {
        if (Moved(staged, dst, shown)) return true;
    } catch (...) {
        platform::RenameFile(aside.c_str(), dst.c_str());
        throw;
    }
    platform::RenameFile(aside.c_str(), dst.c_str());
    return false;
}
