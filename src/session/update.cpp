// The update procedure, on the worker thread: the server's manifest, the files the
// install lacks, the install step, and the record of what was installed. Every failure
// leaves it as an UpdateFailed, which the run logs once.
#include <cstring>
#include <string>
#include <vector>

#include "common/failure.h"
#include "digest/blake2b.h"
#include "digest/md5.h"
#include "install/install.h"
#include "net/fetch_pool.h"
#include "platform/files.h"
#include "session/update_run.h"

namespace {

// The 32-digit digest text of a file; 32 zeros when it can't be read.
void DigestTextOf(const char* path, char text[33]) {
    unsigned char digest[16] = {0};
    FileMd5(path, digest);
    DigestToHex(digest, text);
}

void DigestTextOf(const std::string& bytes, char text[33]) {
    Md5Context md5;
    Md5Init(&md5);
    Md5Update(&md5, bytes.data(), bytes.size());
    unsigned char digest[16];
    Md5Final(digest, &md5);
    DigestToHex(digest, text);
}

[[noreturn]] void Fail(FailedStep step, const std::string& line, const std::string& file = {}) {
    throw UpdateFailed(step, line, file);
}

}  // namespace

void UpdateRun::Update() {
    if (m_layout.ServerUrl().size() < 5) Fail(FailedStep::Session, "ip有问题，更新失败");
    PrepareTree();

    int64_t installedSerial = kNoSerial;
    ParseManifest(m_layout.InstalledManifest().c_str(), m_oldEntries.get(), m_oldCount,
                  &installedSerial);
    // The signed bytes, kept to become the installed manifest.
    const std::string signedManifest = FetchManifest(installedSerial);
    if (m_newCount >= kManifestCapacity) Fail(FailedStep::Manifest, "要下载的文件太多，更新失败");
    if (m_newCount == 0) Fail(FailedStep::Manifest, "服务器的清单没有列出文件，更新失败");
    CheckNames();

    for (int i = 0; i < m_newCount; ++i) {
        if (m_stop.StopRequested()) throw Cancelled();
        if (IsCurrent(m_newEntries[i])) m_newEntries[i].needsDownload = 0;
    }
    for (int i = 0; i < m_newCount; ++i) {
        if (m_newEntries[i].needsDownload) m_counters.AddToTotal(m_newEntries[i].size);
    }
    m_transfer.DigestStrongly(Signed());
    DownloadListed();

    InstallStep step(m_log, m_layout, m_newEntries.get(), m_newCount, m_stop.Token(), Signed(),
                     &m_prompter);
    step.Run();

    // Success means every listed file is in place and verified.
    for (int i = 0; i < m_newCount; ++i) {
        if (!m_newEntries[i].verified) {
            Fail(FailedStep::Install,
                 std::string("文件没有安装，更新失败:") + m_newEntries[i].filename,
                 m_newEntries[i].filename);
        }
    }
    Record(signedManifest);
    m_log.WriteLine("下载好了");
}

// The temporary tree is made of real folders: a link planted in the place of one is
// removed, never followed.
void UpdateRun::PrepareTree() {
    const std::string& gameDir = m_layout.GameDir();
    for (const std::string& path : {m_layout.UpdateFolder(), m_layout.InstalledManifest(),
                                    m_layout.DownloadedManifest(), m_layout.TreeRoot()}) {
        InstallLayout::RequireFits(path, gameDir.c_str());
    }
    platform::CreateFolder(gameDir.c_str());
    for (const std::string& folder : {m_layout.UpdateFolder(), m_layout.PackageFolder()}) {
        platform::RemoveLink(folder.c_str());
        platform::CreateFolder(folder.c_str());
    }
}

std::string UpdateRun::FetchManifest(int64_t installedSerial) {
    m_log.WriteLine("开始下载xml文件");
    const std::string manifestName = m_layout.ManifestName();
    m_log.WriteLine("正在下载%s", manifestName.c_str());
    m_transfer.Fetch(m_layout.ManifestUrl().c_str(), m_layout.DownloadedManifest().c_str(),
                     manifestName.c_str(), kUnknownSize);
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    if (Signed()) {
        std::string manifest = ReadSignedManifest(installedSerial);
        DigestTextOf(manifest, m_manifestMd5);
        return manifest;
    }
    DigestTextOf(m_layout.DownloadedManifest().c_str(), m_manifestMd5);
    // An empty answer, an error page or a cut document is no release: it must neither be
    // applied nor become the installed manifest.
    if (!ParseManifest(m_layout.DownloadedManifest().c_str(), m_newEntries.get(), m_newCount)) {
        Fail(FailedStep::Manifest, "服务器的清单不是XML文件，更新失败");
    }
    return std::string();
}

// Names that would lead out of the install directory, or that do not fit, are refused
// before anything is fetched.
void UpdateRun::CheckNames() {
    for (int i = 0; i < m_newCount; ++i) {
        const ManifestEntry& entry = m_newEntries[i];
        if (!IsSafeEntryName(entry) ||
            IsUpdaterOwnName(entry.filename, InstallLayout::kPackageName)) {
            Fail(FailedStep::Manifest, std::string("文件名不合法，更新失败:") + entry.filename,
                 entry.filename);
        }
    }
}

// Whether the installed copy of `entry` is current: by the installed manifest when it
// has records (and the installed file still has the listed size), else by the digest of
// the file on disk (a verified temporary copy from an earlier run first, then the
// installed copy). Only regular files count. An entry found current in the install is
// marked verified; one current in the temporary tree is verified when installed. In a
// signed release a file on disk counts only by its BLAKE2b digest, and a record of the
// installed manifest only when it lists the same one.
bool UpdateRun::IsCurrent(ManifestEntry& entry) {
    const InstallLayout::Entry paths = m_layout.For(entry.filename);
    const char* installed = paths.installed.c_str();
    const char* gameDir = m_layout.GameDir().c_str();
    uint64_t size = 0;
    // Nothing is digested through a link: a linked folder on the way counts as missing.
    const bool installedReachable = !platform::LinkOnTheWay(gameDir, installed);
    const auto matches = [&](const char* path) {
        char text[kBlake2bTextSize];
        if (Signed()) return FileBlake2b(path, text) && strcmp(text, entry.blake2b) == 0;
        DigestTextOf(path, text);
        return strcmp(text, entry.md5) == 0;
    };
    if (m_oldCount > 0) {
        for (int i = 0; i < m_oldCount; ++i) {
            ManifestEntry& old = m_oldEntries[i];
            old.md5[32] = entry.md5[32] = '\0';
            if (strcmp(old.md5, entry.md5) == 0 && strcmp(old.filename, entry.filename) == 0) {
                // A size check costs no read, and catches a file cut short or replaced.
                entry.verified = installedReachable &&
                                 platform::RegularFileSize(installed, &size) && entry.size >= 0 &&
                                 size == static_cast<uint64_t>(entry.size);
                if (entry.verified && Signed() && strcmp(old.blake2b, entry.blake2b) != 0) {
                    entry.verified = matches(installed);
                }
                return entry.verified != 0;
            }
        }
        return false;
    }
    const char* temporary = paths.temporary.c_str();
    if (!platform::LinkOnTheWay(gameDir, temporary) &&
        platform::RegularFileSize(temporary, &size)) {
        return matches(temporary);
    }
    if (installedReachable && platform::RegularFileSize(installed, &size)) {
        entry.verified = matches(installed);
        return entry.verified != 0;
    }
    return false;
}

void UpdateRun::MakeFolders(const std::string& temporaryPath) {
    // Every folder from the install folder down to the file's own.
    const std::string& gameDir = m_layout.GameDir();
    for (size_t sep = temporaryPath.find('/', gameDir.size() + 1); sep != std::string::npos;
         sep = temporaryPath.find('/', sep + 1)) {
        const std::string folder = temporaryPath.substr(0, sep);
        if (folder.empty() || folder.back() == '/') continue;
        platform::RemoveLink(folder.c_str());
        platform::CreateFolder(folder.c_str());
    }
}

// One file into the temporary tree. The bytes were digested as they arrived: a file that
// is not the one listed ends the run, before anything is installed.
void UpdateRun::FetchListed(Transfer& transfer, ManifestEntry& entry) {
    const InstallLayout::Entry paths = m_layout.For(entry.filename);
    transfer.Fetch(paths.url.c_str(), paths.temporary.c_str(), paths.logName.c_str(),
                   static_cast<uint32_t>(entry.size));
    const bool md5 = strcmp(transfer.ReceivedMd5(), entry.md5) == 0;
    if (!md5 || (Signed() && strcmp(transfer.ReceivedBlake2b(), entry.blake2b) != 0)) {
        Fail(FailedStep::Download,
             "下载失败" + paths.logName + ":" + (md5 ? "BLAKE2b与清单不符" : "MD5与清单不符"),
             paths.logName);
    }
    entry.received = 1;
}

void UpdateRun::DownloadListed() {
    std::vector<ManifestEntry*> wanted;
    for (int i = 0; i < m_newCount; ++i) {
        if (m_newEntries[i].needsDownload) wanted.push_back(&m_newEntries[i]);
    }
    FetchPool pool(m_transfer, m_options.parallelTransfers, m_stop.Token(), m_counters, m_prompter);
    FetchPool::Hooks hooks;
    hooks.start = [&](size_t i) {
        const InstallLayout::Entry paths = m_layout.For(wanted[i]->filename);
        MakeFolders(paths.temporary);
        m_log.WriteLine("正在下载%s", paths.logName.c_str());
        return paths.logName;
    };
    hooks.fetch = [&](Transfer& transfer, size_t i) { FetchListed(transfer, *wanted[i]); };
    // The window may show the failure before the other transfers have ended.
    hooks.onFailure = [this] { m_status.store(RunStatus::Failed, std::memory_order_release); };
    pool.Run(wanted.size(), hooks);
    if (m_stop.StopRequested()) throw Cancelled();
}

void UpdateRun::Record(const std::string& signedManifest) {
    WriteMd5Xml(m_layout.GameDir().c_str(), m_manifestMd5, m_log);
    const std::string downloaded = m_layout.DownloadedManifest();
    if (Signed() && !platform::WriteWholeFile(downloaded.c_str(), signedManifest)) {
        Fail(FailedStep::Record, "无法保存清单，更新失败");
    }
    platform::MoveOver(downloaded.c_str(), m_layout.InstalledManifest().c_str());
    platform::RemoveFile(downloaded.c_str());
}
