// RunUpdate: the whole update, on the worker thread. Every failure leaves it as an
// exception; UpdateThreadProc turns that into the failed status.
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "digest/md5.h"
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

bool CanOpen(const char* path) {
    FILE* f = platform::OpenFile(path, "r");
    if (!f) return false;
    fclose(f);
    return true;
}

}  // namespace

// Whether the installed copy of `entry` is current: by the installed manifest when it
// has records, else by the digest of the file on disk (a verified temporary copy from
// an earlier run first, then the installed copy).
bool CUpdateDlg::IsCurrent(ManifestEntry& entry) {
    char installed[256];
    RequirePath(FormatText(installed, sizeof(installed), "%s\\%s", m_gameDir, entry.filename),
                entry.filename);
    if (m_oldCount > 0) {
        for (int i = 0; i < m_oldCount; ++i) {
            ManifestEntry& old = m_oldEntries[i];
            old.md5[32] = entry.md5[32] = '\0';
            if (strcmp(old.md5, entry.md5) == 0 && strcmp(old.filename, entry.filename) == 0) {
                return FileExists(installed);
            }
        }
        return false;
    }
    char temporary[256];
    RequirePath(FormatText(temporary, sizeof(temporary), "%s/%s/%s/%s", m_gameDir, kUpdateFolder,
                           m_packageName, entry.filename),
                entry.filename);
    char text[33];
    if (CanOpen(temporary)) {
        DigestTextOf(temporary, text);
        return strcmp(text, entry.md5) == 0;
    }
    if (CanOpen(installed)) {
        DigestTextOf(installed, text);
        return strcmp(text, entry.md5) == 0;
    }
    return false;
}

void CUpdateDlg::RunUpdate() {
    if (strlen(m_serverUrl) < 5) {
        m_log.WriteLine("ip有问题，更新失败");
        throw 0;
    }
    char updateFolder[256], installedManifest[256], downloadedManifest[256];
    char manifestName[256], tree[256];
    RequirePath(FormatText(updateFolder, sizeof(updateFolder), "%s//%s", m_gameDir, kUpdateFolder) &&
                    FormatText(installedManifest, sizeof(installedManifest), "%s\\%s.xml",
                               m_gameDir, m_packageName) &&
                    FormatText(downloadedManifest, sizeof(downloadedManifest), "%s\\%s\\%s.xml",
                               m_gameDir, kUpdateFolder, m_packageName) &&
                    FormatText(manifestName, sizeof(manifestName), "%s.xml", m_packageName) &&
                    FormatText(tree, sizeof(tree), "%s/%s/%s/", m_gameDir, kUpdateFolder,
                               m_packageName),
                m_gameDir);
    platform::CreateFolder(m_gameDir);
    platform::CreateFolder(updateFolder);

    ParseManifest(installedManifest, m_oldEntries, m_oldCount);

    m_log.WriteLine("开始下载xml文件");
    DownloadFile(manifestName, "/Update/", kUnknownSize);
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    DigestTextOf(downloadedManifest, m_manifestMd5);

    ParseManifest(downloadedManifest, m_newEntries, m_newCount);
    if (m_newCount >= kManifestCapacity) {
        m_log.WriteLine("要下载的文件太多，更新失败");
        throw 0;
    }
    // Names that would lead out of the install directory, or that do not fit, are
    // refused before anything is fetched.
    for (int i = 0; i < m_newCount; ++i) {
        if (!IsSafeEntryName(m_newEntries[i])) {
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
    for (int i = 0; i < m_newCount; ++i) {
        const ManifestEntry& entry = m_newEntries[i];
        if (!entry.needsDownload) continue;
        CheckStop();
        char fileName[256];
        RequirePath(FormatText(fileName, sizeof(fileName), "%s/%s", m_packageName, entry.filename),
                    entry.filename);
        DownloadFile(fileName, "Update/", static_cast<uint32_t>(entry.size));
    }

    char target[256];
    RequirePath(FormatText(target, sizeof(target), "%s/", m_gameDir), m_gameDir);
    CopyUpdateTree(target, tree);

    WriteMd5Xml(m_gameDir, m_manifestMd5, m_log);
    platform::MoveOver(downloadedManifest, installedManifest);
    platform::RemoveFile(downloadedManifest);
    m_log.WriteLine("下载好了");
}
