// The update procedure, on the worker thread: the server's manifest, the files the
// install lacks, the install step, and the record of what was installed. Every failure
// leaves it as an UpdateFailed, which the run logs once.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/failure.h"
#include "common/text.h"
#include "digest/blake2b.h"
#include "digest/md5.h"
#include "digest/named.h"
#include "digest/signature.h"
#include "install/install.h"
#include "manifest/identity.h"
#include "net/fetch_pool.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "session/release.h"
#include "session/update_run.h"

namespace {

// The 32-digit digest text of a file; 32 zeros when it can't be read.
void DigestTextOf(const char* path, char text[33]) {
    unsigned char digest[16] = {0};
    FileMd5(path, digest);
    DigestToHex(digest, text);
}

// A regular file of a held folder, opened once (never through a link): its size and its
// digest come from that one open file. In the temporary tree (`own`) a file another user
// owns or may write is not read.
class HeldRead {
public:
    HeldRead(const platform::HeldFolder& folder, const char* name, bool own = false)
        : m_file(folder.IsOpen() ? platform::OpenFile((folder.Path() + name).c_str(), "rb")
                                 : nullptr) {
        if (m_file && own && !platform::IsOwnFile(m_file)) {
            fclose(m_file);
            m_file = nullptr;
        }
    }
    ~HeldRead() {
        if (m_file) fclose(m_file);
    }
    HeldRead(const HeldRead&) = delete;
    HeldRead& operator=(const HeldRead&) = delete;

    bool Size(uint64_t* size) const { return m_file && platform::FileSize(m_file, size); }
    FILE* File() const { return m_file; }
    // Whether the bytes from the start are `identity`'s (its size checked apart).
    bool HasDigestOf(const FileIdentity& identity) {
        char text[kBlake2bTextSize];
        return m_file && fseek(m_file, 0, SEEK_SET) == 0 &&
               DigestOfFile(identity.Kind(), m_file, text) && identity.HasDigest(text);
    }

private:
    FILE* m_file;
};

// A validator goes back to the server in a header: one with a control byte is not kept.
bool IsHeaderSafe(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// A line of Update/partial.txt: "<md5>\t<bytes>\t<validator>\t<name>".
std::string PartialLine(const ManifestEntry& entry, uint64_t kept, const std::string& validator) {
    return std::string(entry.md5) + "\t" + std::to_string(kept) + "\t" +
           (IsHeaderSafe(validator) ? validator : std::string()) + "\t" + entry.filename + "\n";
}

// Update/partial.txt while files arrive: a line for each file whose body has started in
// this run (or was kept by an earlier one), written again whenever one starts, so that a
// run that is killed goes on from the bytes that reached the disk.
class KeptParts {
public:
    KeptParts(std::string path, const std::vector<ListedFile*>& wanted,
              const std::vector<FetchState>& states)
        : m_path(std::move(path)), m_wanted(wanted) {
        for (size_t i = 0; i < states.size(); ++i) {
            if (states[i].kept > 0) m_lines[i] = Line(i, states[i].kept, states[i].validator);
        }
    }
    void Started(size_t i, const std::string& validator) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines[i] = Line(i, 0, validator);
        std::string list;
        for (const auto& line : m_lines) list += line.second;
        platform::WriteWholeFile(m_path.c_str(), list);
    }

private:
    std::string Line(size_t i, uint64_t kept, const std::string& validator) const {
        return PartialLine(*m_wanted[i]->entry, kept, validator);
    }

    const std::string m_path;
    const std::vector<ListedFile*>& m_wanted;
    std::mutex m_mutex;
    std::map<size_t, std::string> m_lines;
};

// The last name of a listed path.
const char* LastName(const char* listed) {
    const char* slash = strrchr(listed, '/');
    return slash ? slash + 1 : listed;
}

void DigestTextOf(const std::string& bytes, char text[33]) {
    Md5Context md5;
    Md5Init(&md5);
    Md5Update(&md5, bytes.data(), bytes.size());
    unsigned char digest[16];
    Md5Final(digest, &md5);
    DigestToHex(digest, text);
}

// "123.4MB": a count of bytes as the player reads it (MB of 2^20 bytes, one decimal),
// rounded `up` or down, so that a need is never shown smaller, nor free space larger,
// than it is.
std::string MegabytesText(uint64_t bytes, bool up) {
    const uint64_t tenths = (bytes * 10 + (up ? (1 << 20) - 1 : 0)) >> 20;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "MB";
}

[[noreturn]] void Fail(FailedStep step, const std::string& line, const std::string& file = {}) {
    throw UpdateFailed(step, line, file);
}

}  // namespace

void UpdateRun::Update() {
    if (m_layout.ServerUrl().size() < 5) Fail(FailedStep::Session, "ip有问题，更新失败");
    PrepareTree();

    int64_t installedSerial = kNoSerial;
    if (Signed()) {
        installedSerial = ReadSignedInstall();
    } else {
        ParseManifest(m_layout.InstalledManifest().c_str(), m_oldEntries.get(), m_oldCount);
    }
    // The signed bytes, kept to become the installed manifest.
    const std::string signedManifest = FetchManifest(installedSerial);
    if (m_newCount >= kManifestCapacity) Fail(FailedStep::Manifest, "要下载的文件太多，更新失败");
    if (m_newCount == 0) Fail(FailedStep::Manifest, "服务器的清单没有列出文件，更新失败");
    m_files = ListFiles(m_newEntries.get(), m_newCount, Kind());
    CheckNames();

    for (ListedFile& file : m_files) {
        if (m_stop.StopRequested()) throw Cancelled();
        if (IsCurrent(file)) file.wanted = false;
    }
    // A second entry for a file is fetched with the first; the install step verifies both.
    for (int i : m_duplicates) m_files[i].wanted = false;
    for (const ListedFile& file : m_files) {
        if (file.wanted) m_counters.AddToTotal(file.identity.Size());
    }
    CheckSpace();
    m_transfer.DigestWith(Kind());
    DownloadListed();

    InstallStep step(m_log, m_layout, m_install, m_files, m_stop.Token(), &m_prompter);
    step.Run();

    // Success means every listed file is in place and verified.
    for (const ListedFile& file : m_files) {
        if (!file.verified) {
            Fail(FailedStep::Install, std::string("文件没有安装，更新失败:") + file.entry->filename,
                 file.entry->filename);
        }
    }
    HoldLobby();
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
    m_install.OpenRoot(gameDir.c_str());
    // Update/ is held from here on: the downloaded manifest and the list of kept parts
    // are reached through it, never by their names in the install folder again.
    platform::HeldFolder package;
    if (Reach(m_layout.UpdateFolder() + "/", platform::Links::kReplace, true, m_update) !=
            platform::HeldFolder::Result::kOpen ||
        Reach(m_layout.TreeRoot(), platform::Links::kReplace, true, package) !=
            platform::HeldFolder::Result::kOpen) {
        Fail(FailedStep::Session, "临时目录无法使用，更新失败:" + m_layout.UpdateFolder(),
             m_layout.UpdateFolder());
    }
}

std::string UpdateRun::InUpdate(const std::string& layoutPath) const {
    return m_update.Path() + layoutPath.substr(m_layout.UpdateFolder().size() + 1);
}

platform::HeldFolder::Result UpdateRun::Reach(const std::string& path, platform::Links links,
                                              bool create, platform::HeldFolder& folder) const {
    const std::string& gameDir = m_layout.GameDir();
    if (path.compare(0, gameDir.size(), gameDir) != 0) return platform::HeldFolder::Result::kFailed;
    return folder.OpenPath(m_install, path.c_str() + gameDir.size(), links, create);
}

// A signed install's manifest counts (its serial against an older release served
// again, its records for the current-file check) only with the signature kept beside
// it verifying over its bytes: whoever may write the install folder could have edited
// it, and a serial raised by hand would refuse every later release.
int64_t UpdateRun::ReadSignedInstall() {
    std::string manifest, signature;
    if (!platform::ReadWholeFile(m_layout.InstalledManifest().c_str(), kMaxManifestBytes,
                                 manifest) ||
        manifest.empty()) {
        return kNoSerial;  // nothing installed
    }
    platform::ReadWholeFile(m_layout.InstalledSignature().c_str(),
                            kMostSignatures * kSignatureBytes, signature);
    int64_t serial = kNoSerial;
    if (!SignedByKey(manifest, signature, m_options.releaseKey) ||
        !ParseManifestBytes(manifest, m_oldEntries.get(), m_oldCount, &serial)) {
        m_log.WriteLine("已安装的清单没有有效的签名，不以它为准");
        m_oldCount = 0;
        return kNoSerial;
    }
    return serial;
}

std::string UpdateRun::ReadSignedManifest(int64_t installedSerial) {
    std::string manifest;
    if (!platform::ReadWholeFile(InUpdate(m_layout.DownloadedManifest()).c_str(), kMaxManifestBytes,
                                 manifest)) {
        Fail(FailedStep::Signature, "服务器的清单不是XML文件，更新失败");
    }
    const std::string sigName = m_layout.SignatureName();
    InstallLayout::RequireFits(m_layout.DownloadedSignature(), InstallLayout::kPackageName);
    const std::string sigPath = InUpdate(m_layout.DownloadedSignature());
    m_log.WriteLine("开始下载签名文件");
    // Eight signatures at most: a larger answer is no signature file, and ends at once.
    try {
        FetchWhole(m_layout.SignatureUrl(), sigPath, sigName, kMostSignatures * kSignatureBytes);
    } catch (UpdateFailed& failure) {
        platform::RemoveFile(sigPath.c_str());
        failure.Then("没有拿到清单的签名，更新失败");
        throw;
    } catch (...) {
        platform::RemoveFile(sigPath.c_str());
        throw;
    }
    std::string signature;
    const bool sigRead =
        platform::ReadWholeFile(sigPath.c_str(), kMostSignatures * kSignatureBytes, signature);
    platform::RemoveFile(sigPath.c_str());
    if (!sigRead) signature.clear();  // verifies nothing

    ReleaseRules rules;
    rules.publicKeyText = m_options.releaseKey;
    rules.installedSerial = installedSerial;
    rules.minSerial = m_options.minSerial;
    rules.now = platform::UtcSeconds();
    const ReleaseVerdict verdict =
        CheckSignedRelease(manifest, signature, rules, m_newEntries.get(), m_newCount);
    if (verdict.signatureGood) m_log.WriteLine("清单的签名验证通过");
    if (!verdict.refusal.empty()) Fail(FailedStep::Signature, verdict.refusal, verdict.file);
    m_releaseSignature = signature;
    return manifest;
}

void UpdateRun::FetchWhole(const std::string& url, const std::string& path, const std::string& name,
                           uint64_t mostBytes) {
    RetryPolicy policy(m_options.retry, nullptr, &m_transfer.Meter());
    for (;;) {
        try {
            m_transfer.Fetch(url.c_str(), path.c_str(), name.c_str(), kUnknownSize, nullptr, true,
                             mostBytes);
            return;
        } catch (const UpdateFailed& failure) {
            // A body of unknown size starts again from its first byte: no attempt progresses.
            unsigned waitMs = 0;
            if (!policy.TryAgain(failure, false, &waitMs)) throw;
            LogRetry(m_log, waitMs, name, failure);
            if (m_stop.Token().WaitFor(waitMs)) throw Cancelled();
        }
    }
}

std::string UpdateRun::FetchManifest(int64_t installedSerial) {
    m_log.WriteLine("开始下载xml文件");
    const std::string downloaded = InUpdate(m_layout.DownloadedManifest());
    FetchWhole(m_layout.ManifestUrl(), downloaded, m_layout.ManifestName(), kMaxManifestBytes);
    memset(m_manifestMd5, 0, sizeof(m_manifestMd5));
    if (Signed()) {
        std::string manifest = ReadSignedManifest(installedSerial);
        DigestTextOf(manifest, m_manifestMd5);
        return manifest;
    }
    DigestTextOf(downloaded.c_str(), m_manifestMd5);
    // An empty answer, an error page or a cut document is no release: it must neither be
    // applied nor become the installed manifest.
    if (!ParseManifest(downloaded.c_str(), m_newEntries.get(), m_newCount)) {
        Fail(FailedStep::Manifest, "服务器的清单不是XML文件，更新失败");
    }
    return std::string();
}

// Names that would lead out of the install directory, or that do not fit, are refused
// before anything is fetched; so are two entries for one file (the same path, spelt
// alike or, where the system ignores case, in another case) that disagree on what it
// holds. Entries that agree are fetched once, and verified together.
void UpdateRun::CheckNames() {
    std::map<std::string, int> first;  // each path's first entry
    m_duplicates.clear();
    for (int i = 0; i < m_newCount; ++i) {
        const ManifestEntry& entry = m_newEntries[i];
        if (!IsSafeEntryName(entry) ||
            IsUpdaterOwnName(entry.filename, InstallLayout::kPackageName)) {
            Fail(FailedStep::Manifest,
                 std::string("文件名不合法，更新失败:") + Printable(entry.filename),
                 entry.filename);
        }
        // The digest is sent to the server and shown to the player: only a digest's text.
        if (!HasMd5Text(entry)) {
            Fail(FailedStep::Manifest,
                 std::string("清单中的MD5不合法，更新失败:") + Printable(entry.filename),
                 entry.filename);
        }
        if (entry.size < 0) {
            Fail(FailedStep::Manifest,
                 std::string("清单中的文件大小不合法，更新失败:") + Printable(entry.filename),
                 entry.filename);
        }
        const auto found = first.emplace(PathKey(entry.filename, platform::NamesIgnoreCase()), i);
        if (found.second) continue;
        if (m_files[found.first->second].identity != m_files[i].identity) {
            Fail(FailedStep::Manifest,
                 std::string("清单中同一个文件有不同的内容，更新失败:") + entry.filename,
                 entry.filename);
        }
        m_duplicates.push_back(i);
    }
}

// Whether the installed copy of `file` is current: by the installed manifest when it
// has records (and the installed file still has the listed size), else by the digest of
// the file on disk (a verified temporary copy from an earlier run first, then the
// installed copy). Only regular files count, each read from one open file of a folder
// held from the install folder down. An entry found current in the install is marked
// verified; one current in the temporary tree is verified when installed. In a signed
// release a file on disk counts only by its BLAKE2b digest, and a record of the
// installed manifest only when it lists the same one.
bool UpdateRun::IsCurrent(ListedFile& file) {
    const char* listed = file.entry->filename;
    const InstallLayout::Entry paths = m_layout.For(listed);
    const char* name = LastName(listed);
    uint64_t size = 0;
    // Nothing is read through a link someone else made: a folder on the way that is one
    // counts as missing.
    platform::HeldFolder installed;
    Reach(paths.installed, platform::Links::kTrusted, false, installed);
    if (m_oldCount > 0) return CurrentByRecord(file, installed, name) == 1;
    // A copy of another size (a part kept to go on from) cannot be the file.
    platform::HeldFolder tree;
    Reach(paths.temporary, platform::Links::kOwn, false, tree);
    HeldRead temporary(tree, name, true);
    if (temporary.Size(&size) && file.identity.HasSize(size)) {
        return temporary.HasDigestOf(file.identity);
    }
    HeldRead current(installed, name);
    file.verified = current.Size(&size) && current.HasDigestOf(file.identity);
    return file.verified;
}

// A size check costs no read, and catches a file cut short or replaced. The programs the
// updater starts (the lobby, the updater itself) are digested in a signed release even
// then, since a copy of the right size may still have been swapped.
int UpdateRun::CurrentByRecord(ListedFile& file, const platform::HeldFolder& folder,
                               const char* name) {
    const ManifestEntry& entry = *file.entry;
    for (int i = 0; i < m_oldCount; ++i) {
        const ManifestEntry& old = m_oldEntries[i];
        if (strcmp(old.md5, entry.md5) != 0 || strcmp(old.filename, entry.filename) != 0) continue;
        const bool started =
            Signed() &&
            (SamePath(entry.filename, InstallLayout::kLobbyName, platform::NamesIgnoreCase()) ||
             platform::IsOwnExecutable(m_layout.For(entry.filename).installed.c_str()));
        HeldRead installed(folder, name);
        uint64_t size = 0;
        file.verified = installed.Size(&size) && file.identity.HasSize(size);
        if (file.verified && (started || FileIdentity(old, Kind()) != file.identity)) {
            file.verified = installed.HasDigestOf(file.identity);
        }
        return file.verified ? 1 : 0;
    }
    return -1;
}

void UpdateRun::CheckSpace() {
    struct Need {
        uint64_t bytes = 0, free = 0;
        std::string where, kind;
        std::string tooLarge;  // a file this file system cannot hold, or empty
        // `more` bytes to write, of the listed file `name` of `whole` bytes.
        void Add(const char* name, uint64_t more, uint64_t whole) {
            bytes += more;
            if (whole > platform::LargestFileOn(kind) && tooLarge.empty()) tooLarge = name;
        }
    };
    std::map<uint64_t, Need> needs;  // by file system
    uint64_t treeFs = 0, free = 0;
    std::string kind;
    const bool fetching = std::any_of(m_files.begin(), m_files.end(),
                                      [](const ListedFile& file) { return file.wanted; });
    // Nothing to fetch (or the space not known): nothing to check.
    if (!fetching || !m_update.FreeSpace(&free, &treeFs, &kind)) return;
    // Room for the log, the manifest and the list of kept parts too.
    needs[treeFs] = Need{1 << 20, free, m_layout.UpdateFolder(), kind, {}};
    for (ListedFile& file : m_files) {
        if (!file.wanted) continue;
        const char* listed = file.entry->filename;
        const InstallLayout::Entry paths = m_layout.For(listed);
        const uint64_t whole = file.identity.Size();
        uint64_t size = whole, kept = 0;
        // A part kept by an earlier run is already there.
        platform::HeldFolder tree;
        Reach(paths.temporary, platform::Links::kOwn, false, tree);
        if (HeldRead(tree, LastName(listed), true).Size(&kept) && kept < size) size -= kept;
        needs[treeFs].Add(listed, size, whole);
        // A folder on another file system (a player's link) gets a copy beside the file.
        platform::HeldFolder installed;
        uint64_t fs = 0;
        kind.clear();
        if (Reach(paths.installed, platform::Links::kTrusted, false, installed) ==
                platform::HeldFolder::Result::kOpen &&
            installed.FreeSpace(&free, &fs, &kind) && fs != treeFs) {
            Need& need = needs[fs];
            if (need.where.empty()) {
                need = Need{0,
                            free,
                            paths.installed.substr(0, paths.installed.find_last_of("/\\")),
                            kind,
                            {}};
            }
            need.Add(listed, whole, whole);
        }
    }
    for (const auto& found : needs) {
        const Need& need = found.second;
        // FAT holds no file of 4 GiB or more, however much room it has.
        if (!need.tooLarge.empty()) {
            Fail(FailedStep::Download,
                 need.kind + "文件系统放不下4GB或更大的文件，更新失败:" + need.tooLarge + "(" +
                     need.where + ")",
                 need.tooLarge);
        }
        if (need.bytes <= need.free) continue;
        Fail(FailedStep::Download,
             "磁盘空间不足，更新失败:" + need.where + "需要" + MegabytesText(need.bytes, true) +
                 "，只有" + MegabytesText(need.free, false) + "可用",
             need.where);
    }
}

platform::HeldFolder UpdateRun::TreeFolder(const std::string& temporaryPath,
                                           const std::string& logName) {
    const std::string treeRoot = m_layout.TreeRoot();
    platform::HeldFolder folder;
    if (!m_treeRoot.IsOpen() || temporaryPath.compare(0, treeRoot.size(), treeRoot) != 0 ||
        folder.OpenPath(m_treeRoot, temporaryPath.c_str() + treeRoot.size(),
                        platform::Links::kReplace, true) != platform::HeldFolder::Result::kOpen) {
        throw UpdateFailed(FailedStep::Download, "打开本地文件出错" + logName, logName,
                           platform::LastErrorCode());
    }
    return folder;
}

// One file into the temporary tree. The bytes were digested as they arrived: a file that
// is not the one listed is fetched once more past every cache, then ends the run, before
// anything is installed.
void UpdateRun::FetchListed(Transfer& transfer, ListedFile& file, FetchState& state, bool noCache) {
    const ManifestEntry& entry = *file.entry;
    const InstallLayout::Entry paths = m_layout.For(entry.filename, entry.md5);
    const platform::HeldFolder folder = TreeFolder(paths.temporary, paths.logName);
    const size_t slash = paths.temporary.find_last_of('/');
    const std::string local = folder.Path() + paths.temporary.substr(slash + 1);
    // A file with a block index, installed in another version, is built from the blocks
    // it keeps and the ranges that changed; otherwise (or when that fails) it comes whole.
    if (!entry.blocks[0] || state.kept > 0 || !FetchByBlocks(transfer, file, local, noCache)) {
        transfer.Fetch(paths.url.c_str(), local.c_str(), paths.logName.c_str(),
                       static_cast<uint64_t>(entry.size), &state, noCache);
    }
    // The transfer digests by the release's kind only: a signed release's file is its
    // BLAKE2b (the signature covers it); the MD5 then adds nothing and is not computed.
    if (!file.identity.HasDigest(transfer.ReceivedDigest())) {
        throw UpdateFailed::Download(paths.logName,
                                     Signed() ? "BLAKE2b与清单不符" : "MD5与清单不符")
            .MayRetry(Retry::Mismatch);
    }
    file.received = true;
    file.receivedStamp = transfer.ReceivedStamp();
}

bool UpdateRun::FetchByBlocks(Transfer& transfer, ListedFile& file, const std::string& local,
                              bool noCache) {
    const ManifestEntry& entry = *file.entry;
    const InstallLayout::Entry paths = m_layout.For(entry.filename, entry.md5);
    // The installed copy, read by one handle (never through another user's link).
    platform::HeldFolder installed;
    Reach(paths.installed, platform::Links::kTrusted, false, installed);
    HeldRead old(installed, LastName(entry.filename));
    // The index's own URL (its query, where queries are sent, names its digest).
    std::string indexUrl;
    try {
        indexUrl =
            m_layout.For((std::string(entry.filename) + kBlockIndexEnding).c_str(), entry.blocks)
                .url;
    } catch (const UpdateFailed&) {
        m_log.WriteLine("不能按块更新%s:路径太长，下载整个文件", paths.logName.c_str());
        return false;
    }
    RetryPolicy retry(m_options.retry, nullptr, &transfer.Meter());
    Transfer::BlockJob job{paths.url.c_str(),
                           indexUrl,
                           entry.blocks,
                           local.c_str(),
                           paths.logName.c_str(),
                           static_cast<uint64_t>(entry.size),
                           old.File(),
                           0,
                           noCache,
                           &retry};
    std::string why = "没有已安装的文件";
    if (old.Size(&job.oldSize) && job.oldSize > 0 && transfer.FetchByBlocks(job, &why)) {
        if (file.identity.HasDigest(transfer.ReceivedDigest())) return true;
        why = Signed() ? "拼出的文件BLAKE2b与清单不符" : "拼出的文件MD5与清单不符";
    }
    m_log.WriteLine("不能按块更新%s:%s，下载整个文件", paths.logName.c_str(), why.c_str());
    return false;
}

void UpdateRun::DownloadListed() {
    std::vector<ListedFile*> wanted;
    for (ListedFile& file : m_files) {
        if (file.wanted) wanted.push_back(&file);
    }
    std::vector<FetchState> states(wanted.size());
    ReadPartials(wanted, states);
    KeptParts kept(InUpdate(m_layout.PartialList()), wanted, states);
    for (size_t i = 0; i < states.size(); ++i) {
        states[i].bodyStarted = [&kept, i](const FetchState& state) {
            kept.Started(i, state.validator);
        };
    }
    // The tree's root, held while the files are fetched: each file's folder is opened
    // from it (a link in the way replaced by a real folder).
    Reach(m_layout.TreeRoot(), platform::Links::kReplace, true, m_treeRoot);
    struct Release {
        platform::HeldFolder& folder;
        ~Release() { folder = platform::HeldFolder(); }
    } release{m_treeRoot};
    FetchPool pool(m_transfer, m_options.parallelTransfers, m_stop.Token(), m_log, m_counters,
                   m_prompter, m_options.retry);
    FetchPool::Hooks hooks;
    hooks.start = [&](size_t i) { return m_layout.For(wanted[i]->entry->filename).logName; };
    hooks.fetch = [&](Transfer& transfer, size_t i, FetchState& state, bool noCache) {
        FetchListed(transfer, *wanted[i], state, noCache);
    };
    // The window may show the failure before the other transfers have ended: its cause
    // is in the log first, whenever the process ends.
    hooks.onFailure = [this](const std::exception_ptr& failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const UpdateFailed& failed) {
            LogFailure(failed);
        } catch (...) {
        }
        m_status.store(RunStatus::Failed, std::memory_order_release);
    };
    try {
        pool.Run(states, hooks);
    } catch (...) {
        WritePartials(wanted, states);
        throw;
    }
    WritePartials(wanted, states);
    if (m_stop.StopRequested()) throw Cancelled();
}

// The parts of files kept in the temporary tree by a run that ended before they arrived:
// "<md5>\t<bytes>\t<validator>\t<name>" a line, in Update/partial.txt.
void UpdateRun::ReadPartials(const std::vector<ListedFile*>& wanted,
                             std::vector<FetchState>& states) {
    std::string list;
    if (!platform::ReadWholeFile(InUpdate(m_layout.PartialList()).c_str(), 1 << 20, list)) return;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find('\n', at);
        if (end == std::string::npos) end = list.size();
        const std::string line = list.substr(at, end - at);
        at = end + 1;
        const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1),
                     t3 = line.find('\t', t2 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos || t3 == std::string::npos) continue;
        const std::string md5 = line.substr(0, t1), name = line.substr(t3 + 1);
        const std::string validator = line.substr(t2 + 1, t3 - t2 - 1);
        const uint64_t kept = strtoull(line.c_str() + t1 + 1, nullptr, 10);
        if (!IsHeaderSafe(validator)) continue;
        for (size_t i = 0; i < wanted.size(); ++i) {
            const ManifestEntry& entry = *wanted[i]->entry;
            if (name != entry.filename || md5 != entry.md5 || entry.size < 0 ||
                kept >= static_cast<uint64_t>(entry.size)) {
                continue;
            }
            // The part must still be there, in a real folder, at least as long.
            platform::HeldFolder folder;
            Reach(m_layout.For(entry.filename).temporary, platform::Links::kOwn, false, folder);
            // All the bytes on disk: a run killed before it wrote how many it kept left
            // them, each as it came.
            uint64_t size = 0;
            if (!HeldRead(folder, LastName(entry.filename), true).Size(&size) || size < kept ||
                size == 0 || size >= static_cast<uint64_t>(entry.size)) {
                continue;
            }
            states[i].kept = size;
            states[i].validator = validator;
            states[i].digested = false;
        }
    }
}

void UpdateRun::WritePartials(const std::vector<ListedFile*>& wanted,
                              const std::vector<FetchState>& states) {
    std::string list;
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (states[i].kept == 0) continue;
        list += PartialLine(*wanted[i]->entry, states[i].kept, states[i].validator);
    }
    const std::string path = InUpdate(m_layout.PartialList());
    if (list.empty()) {
        platform::RemoveFile(path.c_str());
    } else {
        platform::WriteWholeFile(path.c_str(), list);
    }
}

// The lobby is read once, from the handle it is started from: a copy changed after the
// run checked it (or put in the place of the one it installed) is never started.
void UpdateRun::HoldLobby() {
    const char* name = InstallLayout::kLobbyName;
    m_lobby.Close();
    if (!m_lobby.Open(m_install, name, m_layout.LobbyPath().c_str())) return;  // none to start
    for (const ListedFile& file : m_files) {
        if (!file.identity.IsAt(name)) continue;
        char text[kBlake2bTextSize];
        if (!DigestOfStream(
                Kind(), [this](void* buffer, size_t size) { return m_lobby.Read(buffer, size); },
                text) ||
            !file.identity.HasDigest(text)) {
            m_lobby.Close();
            Fail(FailedStep::Install, std::string("大厅程序与清单不符，更新失败:") + name, name);
        }
        return;
    }
}

void UpdateRun::Record(const std::string& signedManifest) {
    WriteMd5Xml(m_layout.GameDir().c_str(), m_manifestMd5, m_log);
    const std::string downloaded = InUpdate(m_layout.DownloadedManifest());
    // The signature goes first: a manifest kept with another's signature counts for
    // nothing, never for more.
    if (Signed() &&
        (!platform::WriteWholeFile(m_layout.InstalledSignature().c_str(), m_releaseSignature) ||
         !platform::WriteWholeFile(downloaded.c_str(), signedManifest))) {
        Fail(FailedStep::Record, "无法保存清单，更新失败");
    }
    platform::MoveOver(downloaded.c_str(), m_layout.InstalledManifest().c_str());
    platform::RemoveFile(downloaded.c_str());
}
