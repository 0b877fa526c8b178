// RunUpdate: the whole update, on the worker thread. Every failure leaves it as an
// exception; UpdateThreadProc turns that into the failed status.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "digest/blake2b.h"
#include "digest/md5.h"
#include "install/install.h"
#include "platform/platform.h"
#include "ui/update_dlg.h"

namespace {

const char kUpdateFolder[] = "Update";

// The 32-digit digest text of a file; 32 zeros when it can't be read.
void DigestTextOf(const char* path, char text[33]) {
    unsigned char digest[16] = {0};
    FileMd5(path, digest);
    DigestToHex(digest, text);
}

}  // namespace

// Whether the installed copy of `entry` is current: by the installed manifest when it
// has records (and the installed file still has the listed size), else by the digest of
// the file on disk (a verified temporary copy from an earlier run first, then the
// installed copy). Only regular files count. An entry found current in the install is
// marked verified; one current in the temporary tree is verified when installed. In a
// signed release a file on disk counts only by its BLAKE2b digest, and a record of the
// installed manifest only when it lists the same one.
bool CUpdateDlg::IsCurrent(ManifestEntry& entry) {
    char installed[256];
    RequirePath(m_log,
                FormatText(installed, sizeof(installed), "%s\\%s", m_gameDir, entry.filename),
                entry.filename);
    uint64_t size = 0;
    // Nothing is digested through a link: a linked folder on the way counts as missing.
    const bool installedReachable = !platform::LinkOnTheWay(m_gameDir, installed);
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
    char temporary[256];
    RequirePath(m_log,
                FormatText(temporary, sizeof(temporary), "%s/%s/%s/%s", m_gameDir, kUpdateFolder,
                           m_packageName, entry.filename),
                entry.filename);
    if (!platform::LinkOnTheWay(m_gameDir, temporary) &&
        platform::RegularFileSize(temporary, &size)) {
        return matches(temporary);
    }
    if (installedReachable && platform::RegularFileSize(installed, &size)) {
        entry.verified = matches(installed);
        return entry.verified != 0;
    }
    return false;
}

void CUpdateDlg::RunUpdate() {
    if (strlen(m_serverUrl) < 5) {
        m_log.WriteLine("ip有问题，更新失败");
        throw 0;
    }
    char updateFolder[256], installedManifest[256], downloadedManifest[256];
    char manifestName[256];
    RequirePath(
        m_log,
        FormatText(updateFolder, sizeof(updateFolder), "%s//%s", m_gameDir, kUpdateFolder) &&
            FormatText(installedManifest, sizeof(installedManifest), "%s\\%s.xml", m_gameDir,
                       m_packageName) &&
            FormatText(downloadedManifest, sizeof(downloadedManifest), "%s\\%s\\%s.xml", m_gameDir,
                       kUpdateFolder, m_packageName) &&
            FormatText(manifestName, sizeof(manifestName), "%s.xml", m_packageName) &&
            FormatText(m_treeRoot, sizeof(m_treeRoot), "%s/%s/%s/", m_gameDir, kUpdateFolder,
                       m_packageName),
        m_gameDir);
    platform::CreateFolder(m_gameDir);
    // The temporary tree is made of real folders: a link planted in the place of one is
    // removed, never followed.
    char packageFolder[256];
    RequirePath(m_log,
                FormatText(packageFolder, sizeof(packageFolder), "%s/%s/%s", m_gameDir,
                           kUpdateFolder, m_packageName),
                m_gameDir);
    for (const char* folder :
         {static_cast<const char*>(updateFolder), static_cast<const char*>(packageFolder)}) {
        platform::RemoveLink(folder);
        platform::CreateFolder(folder);
    }

    int64_t installedSerial = kNoSerial;
    ParseManifest(installedManifest, m_oldEntries, m_oldCount, &installedSerial);

    m_log.WriteLine("开始下载xml文件");
    DownloadFile(manifestName, "/Update/", kUnknownSize);
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    // The signed bytes, kept to become the installed manifest.
    std::string signedManifest;
    if (Signed()) {
        signedManifest = ReadSignedManifest(downloadedManifest, installedSerial);
        Md5Context md5;
        Md5Init(&md5);
        Md5Update(&md5, signedManifest.data(), signedManifest.size());
        unsigned char digest[16];
        Md5Final(digest, &md5);
        DigestToHex(digest, m_manifestMd5);
    } else {
        DigestTextOf(downloadedManifest, m_manifestMd5);
        // An empty answer, an error page or a cut document is no release: it must neither
        // be applied nor become the installed manifest.
        if (!ParseManifest(downloadedManifest, m_newEntries, m_newCount)) {
            m_log.WriteLine("服务器的清单不是XML文件，更新失败");
            throw 0;
        }
    }
    if (m_newCount >= kManifestCapacity) {
        m_log.WriteLine("要下载的文件太多，更新失败");
        throw 0;
    }
    if (m_newCount == 0) {
        m_log.WriteLine("服务器的清单没有列出文件，更新失败");
        throw 0;
    }
    // Names that would lead out of the install directory, or that do not fit, are
    // refused before anything is fetched.
    for (int i = 0; i < m_newCount; ++i) {
        if (!IsSafeEntryName(m_newEntries[i]) ||
            IsUpdaterOwnName(m_newEntries[i].filename, m_packageName)) {
            m_log.WriteLine("文件名不合法，更新失败:%s", m_newEntries[i].filename);
            throw 0;
        }
    }

    for (int i = 0; i < m_newCount; ++i) {
        CheckStop();
        if (IsCurrent(m_newEntries[i])) m_newEntries[i].needsDownload = 0;
    }
    for (int i = 0; i < m_newCount; ++i) {
        if (m_newEntries[i].needsDownload) m_totalSize.fetch_add(m_newEntries[i].size);
    }
    m_transfer.DigestStrongly(Signed());
    DownloadListed();

    char target[256];
    RequirePath(m_log, FormatText(target, sizeof(target), "%s/", m_gameDir), m_gameDir);
    CopyUpdateTree(target, m_treeRoot);

    // Success means every listed file is in place and verified.
    for (int i = 0; i < m_newCount; ++i) {
        if (!m_newEntries[i].verified) {
            m_log.WriteLine("文件没有安装，更新失败:%s", m_newEntries[i].filename);
            throw 0;
        }
    }

    WriteMd5Xml(m_gameDir, m_manifestMd5, m_log);
    if (Signed() && !platform::WriteWholeFile(downloadedManifest, signedManifest)) {
        m_log.WriteLine("无法保存清单，更新失败");
        throw 0;
    }
    platform::MoveOver(downloadedManifest, installedManifest);
    platform::RemoveFile(downloadedManifest);
    m_log.WriteLine("下载好了");
}

// Makes the folders of `fileName` below `dirName` in the temporary tree (a link in the
// place of one is removed, never followed), writes the file's first log line, and gives
// its local path and URL (256 bytes each).
void CUpdateDlg::PrepareDownload(const char* fileName, const char* dirName, uint32_t expectedSize,
                                 char* localPath, char* url) {
    char dirPath[256], work[256], component[256];
    url[0] = '\0';
    RequirePath(m_log, FormatText(localPath, 256, "%s/%s/%s", m_gameDir, dirName, fileName),
                fileName);

    // The directories of dirName, then those inside fileName; its last part is the file.
    RequirePath(m_log, FormatText(dirPath, sizeof(dirPath), "%s", m_gameDir), fileName);
    for (const char* part : {dirName, fileName}) {
        RequirePath(m_log, FormatText(work, sizeof(work), "%s", part), fileName);
        while (PopPathComponent(work, component)) {
            const size_t used = strlen(dirPath);
            RequirePath(m_log, FormatText(dirPath + used, sizeof(dirPath) - used, "/%s", component),
                        fileName);
            platform::RemoveLink(dirPath);
            platform::CreateFolder(dirPath);
        }
    }

    m_log.WriteLine("正在下载%s", fileName);
    if (expectedSize != 0) {
        RequirePath(m_log, FormatText(url, 256, "%s%s", m_downloadBase, fileName), fileName);
    }
}

void CUpdateDlg::Fetch(Transfer& transfer, const char* url, const char* localPath,
                       const char* fileName, uint32_t expectedSize) {
    try {
        transfer.Fetch(url, localPath, fileName, expectedSize);
    } catch (enDownLoadResult) {
        // The failure guard: the window may show the failure before the worker ends.
        m_status.store(STATUS_FAILED, std::memory_order_release);
        throw;
    }
}

// One file into the temporary tree, on the session's own connection. A failure fails
// the run at once, as the window then shows.
void CUpdateDlg::DownloadFile(const char* fileName, const char* dirName, uint32_t expectedSize) {
    char localPath[256], url[256];
    PrepareDownload(fileName, dirName, expectedSize, localPath, url);
    Fetch(m_transfer, url, localPath, fileName, expectedSize);
}

// The bytes were digested as they arrived: a file that is not the one listed ends the
// run, before anything is installed.
void CUpdateDlg::RequireListedDigest(const Transfer& transfer, const ManifestEntry& entry,
                                     const char* fileName) {
    const bool md5 = strcmp(transfer.ReceivedMd5(), entry.md5) == 0;
    if (md5 && (!Signed() || strcmp(transfer.ReceivedBlake2b(), entry.blake2b) == 0)) return;
    m_log.WriteLine("下载失败%s:%s", fileName, md5 ? "BLAKE2b与清单不符" : "MD5与清单不符");
    m_status.store(STATUS_FAILED, std::memory_order_release);
    throw DOWNLOAD_FAILED;
}

void CUpdateDlg::DownloadListed() {
    std::vector<int> wanted;
    for (int i = 0; i < m_newCount; ++i) {
        if (m_newEntries[i].needsDownload) wanted.push_back(i);
    }
    const size_t slots = std::min<size_t>(std::max(m_parallelTransfers, 1u), wanted.size());
    if (slots <= 1) {
        for (int i : wanted) {
            const ManifestEntry& entry = m_newEntries[i];
            CheckStop();
            char fileName[256];
            RequirePath(
                m_log,
                FormatText(fileName, sizeof(fileName), "%s/%s", m_packageName, entry.filename),
                entry.filename);
            DownloadFile(fileName, "Update/", static_cast<uint32_t>(entry.size));
            RequireListedDigest(m_transfer, entry, fileName);
            m_newEntries[i].received = 1;
        }
        return;
    }

    // Several files in flight, each slot on a connection of its own (the first on the
    // session's), taking the next file in the manifest's order. The first failure stops
    // every slot at its next chunk; so does the window's stop.
    struct Flight {
        std::mutex mutex;
        size_t next = 0;              // the next of `wanted` to start; also its ticket
        std::set<uint64_t> inFlight;  // tickets of the files in transfer
        std::atomic<uint64_t> shown{0};
        std::atomic<bool> stop{false};
        std::exception_ptr failure;
    } flight;
    std::vector<std::unique_ptr<Transfer>> extra;
    std::vector<Transfer*> transfers{&m_transfer};
    for (size_t i = 1; i < slots; ++i) {
        extra.emplace_back(new Transfer(m_programName.c_str(), m_log,
                                        {m_fileSize, m_fileReceived, m_totalReceived},
                                        flight.stop));
        extra.back()->CopySettings(m_transfer);
        transfers.push_back(extra.back().get());
    }
    for (Transfer* t : transfers) {
        t->WatchStop(flight.stop);
        t->SetShown(&flight.shown);
    }
    const auto leave = [&flight](uint64_t ticket) {
        std::lock_guard<std::mutex> lock(flight.mutex);
        flight.inFlight.erase(ticket);
        if (!flight.inFlight.empty()) flight.shown = *flight.inFlight.begin();
    };
    const auto slot = [&](Transfer& transfer) {
        try {
            for (;;) {
                char fileName[256], localPath[256], url[256];
                uint64_t ticket = 0;
                ManifestEntry* entry = nullptr;
                {
                    std::lock_guard<std::mutex> lock(flight.mutex);
                    if (flight.stop || flight.next == wanted.size()) return;
                    ticket = flight.next++;
                    entry = &m_newEntries[wanted[ticket]];
                    RequirePath(m_log,
                                FormatText(fileName, sizeof(fileName), "%s/%s", m_packageName,
                                           entry->filename),
                                entry->filename);
                    PrepareDownload(fileName, "Update/", static_cast<uint32_t>(entry->size),
                                    localPath, url);
                    flight.inFlight.insert(ticket);
                    flight.shown = *flight.inFlight.begin();
                }
                transfer.SetTicket(ticket);
                try {
                    Fetch(transfer, url, localPath, fileName, static_cast<uint32_t>(entry->size));
                    RequireListedDigest(transfer, *entry, fileName);
                    entry->received = 1;
                } catch (...) {
                    leave(ticket);
                    throw;
                }
                leave(ticket);
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(flight.mutex);
            if (!flight.failure) flight.failure = std::current_exception();
            flight.stop = true;
        }
    };
    std::atomic<size_t> running{transfers.size()};
    std::vector<std::thread> threads;
    try {
        for (Transfer* t : transfers) {
            threads.emplace_back([&, t] {
                slot(*t);
                running.fetch_sub(1);
            });
        }
    } catch (...) {  // no thread could be made: end those that run, then fail
        flight.stop = true;
        m_log.WriteLine("无法启动更新线程");
        running.fetch_sub(transfers.size() - threads.size());
        for (std::thread& thread : threads) thread.join();
        m_transfer.WatchStop(m_stopRequested);
        m_transfer.SetShown(nullptr);
        throw 0;
    }
    // The window's stop reaches every slot.
    while (running.load() > 0) {
        if (m_stopRequested.load(std::memory_order_relaxed)) flight.stop = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (std::thread& thread : threads) thread.join();
    m_transfer.WatchStop(m_stopRequested);
    m_transfer.SetShown(nullptr);
    if (flight.failure) std::rethrow_exception(flight.failure);
    CheckStop();
}

void CUpdateDlg::CloseTransfer() { m_transfer.Close(); }

void CUpdateDlg::CopyUpdateTree(const char* dstDir, const char* srcDir) {
    InstallStep step(m_log, m_gameDir, m_treeRoot, m_newEntries, m_newCount, m_stopRequested,
                     Signed());
    step.CopyTree(dstDir, srcDir);
}
