// HalcyraPublish: the maker's side of an update. It turns a release folder (the lobby's
// files as they should be installed) into what the update server serves below its
// /DownLoad/ folder:
//
//   <download>/Vadarodazu.xml         the manifest: one "file" element per file, with
//                                     "filename", lower-case "md5" and "size"
//   <download>/Vadarodazu/<name>      every file, at its relative path
//
// Names are written in GBK, as the updater reads them; files on the server carry the
// GBK bytes as their names, which is what the updater asks for (percent-encoded). With
// --utf8-names they carry the names in UTF-8 instead, for an updater built with
// UPDATER_URL_NAMES=utf8 and an object store whose keys are UTF-8. Names the updater
// would refuse, or that a URL cannot carry, stop the publication.
//
// With --sign KEY each file element also gets its "blake2b" digest, the root element a
// "serial", and the manifest's detached signature goes to <download>/Vadarodazu.xml.sig,
// written before the manifest. The serial is one above both the serial kept beside the
// first key (release.serial, or --serial-file PATH) and the one served now, the served
// one counted only when its signature verifies with one of the keys: whoever can write
// the server's folder cannot choose the next serial. A served serial that does not verify
// stops the publication, unless --ignore-served-serial says to go on without it. The kept
// serial never goes down. --expires DAYS (with --sign) adds a signed "expires" time, DAYS
// from now in UTC, after which updaters refuse the manifest. "keygen DIR" makes the key pair:
// DIR/release.key (secret, mode 0600) and DIR/release.pub.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "common/text.h"
#include "digest/blake2b.h"
#include "digest/blocks.h"
#include "digest/md5.h"
#include "digest/signature.h"
#include "manifest/manifest.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

const char kPackage[] = "Vadarodazu";

// Files of this size or more get a block index.
constexpr int kBlockIndexLeastMiB = 16;

// The longest an expiring release may stay current.
constexpr long kMostExpiresDays = 3650;

struct File {
    std::string name;    // GBK, "/" separated, relative to the release folder
    std::string source;  // GBK path of the release file
    long long size = 0;
};

bool Walk(const std::string& folder, const std::string& prefix, std::vector<File>& files) {
    platform::FolderListing listing(folder.c_str());
    if (!listing.IsOpen()) {
        fprintf(stderr, "cannot read folder %s\n", platform::NativePath(folder.c_str()).c_str());
        return false;
    }
    std::string name;
    bool isFolder = false;
    while (listing.Next(name, isFolder)) {
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        if (isFolder) {
            if (!Walk(path, prefix + name + "/", files)) return false;
            continue;
        }
        File f;
        f.name = prefix + name;
        f.source = path;
        std::error_code ec;
        f.size = static_cast<long long>(fs::file_size(platform::NativePath(path.c_str()), ec));
        if (ec) {
            fprintf(stderr, "cannot read %s\n", platform::NativePath(path.c_str()).c_str());
            return false;
        }
        files.push_back(f);
    }
    return true;
}

// The updater takes a body that starts with these bytes for a server's error page.
bool LooksLikeErrorPage(const std::string& source) {
    char head[32] = {0};
    FILE* in = platform::OpenFile(source.c_str(), "rb");
    if (!in) return false;
    const size_t n = fread(head, 1, sizeof(head), in);
    fclose(in);
    for (const char* marker : {"<html>", "<!DOCTYPE HTML PUBLIC"}) {
        const size_t len = strlen(marker);
        if (n >= len && memcmp(head, marker, len) == 0) return true;
    }
    return false;
}

// Why the updater (or a URL) could not take this file, or null.
const char* Refusal(const File& f) {
    if (f.name.size() >= sizeof(ManifestEntry{}.filename)) return "name longer than 179 bytes";
    if (!IsSafeEntryName(f.name.c_str())) return "name the updater refuses";
    if (IsUpdaterOwnName(f.name.c_str(), kPackage)) return "name of one of the updater's own files";
    // A backslash character, not the second byte of a double-byte one (as in "淺", 9C 5C).
    if (FindText(f.name.c_str(), "\\")) return "name with a backslash";
    const size_t ending = sizeof(kBlockIndexEnding) - 1;
    if (f.name.size() >= ending &&
        f.name.compare(f.name.size() - ending, ending, kBlockIndexEnding) == 0) {
        return "name ending in \".blocks~\", which block indexes are served under";
    }
    if (f.name.find_first_of("#?%") != std::string::npos) return "name a URL cannot carry";
    if (LooksLikeErrorPage(f.source)) {
        return "content starts like a web server's error page (\"<html>\" or \"<!DOCTYPE HTML "
               "PUBLIC\"), which the updater always refuses";
    }
    return nullptr;
}

// What the maker sees while a release is digested and copied: files done, bytes done
// and the rate. On a terminal one line kept current; otherwise (a log, a pipe) a plain
// line every 10 s, so a large release shows it is moving and a small one stays quiet.
class Progress {
public:
    Progress(size_t files, uint64_t bytes)
        : m_files(files),
          m_bytes(bytes),
          m_terminal(isatty(fileno(stderr)) != 0),
          m_start(platform::TickCount()),
          m_shown(m_start) {}

    void Add(uint64_t bytes) {
        m_doneBytes += bytes;
        Tick();
    }
    void FileDone() {
        ++m_doneFiles;
        Tick();
    }
    // The last state; on a terminal the line is ended.
    void End() {
        if (m_terminal || m_lines > 0) Show(true);
    }

private:
    void Tick() {
        const uint32_t now = platform::TickCount();
        if (now - m_shown < (m_terminal ? 250u : 10000u)) return;
        m_shown = now;
        Show(false);
    }
    void Show(bool last) {
        const double seconds = (platform::TickCount() - m_start) / 1000.0;
        const double mib = m_doneBytes / 1048576.0;
        char line[160];
        snprintf(line, sizeof(line), "%zu/%zu files, %.1f/%.1f MiB, %.1f MiB/s", m_doneFiles,
                 m_files, mib, m_bytes / 1048576.0, seconds > 0 ? mib / seconds : 0.0);
        if (m_terminal) {
            fprintf(stderr, "\r%s\033[K%s", line, last ? "\n" : "");
        } else {
            fprintf(stderr, "%s\n", line);
        }
        fflush(stderr);
        ++m_lines;
    }

    size_t m_files, m_doneFiles = 0;
    uint64_t m_bytes, m_doneBytes = 0;
    bool m_terminal;
    uint32_t m_start, m_shown;
    int m_lines = 0;
};

// Copies `source` to `target` and digests it on the way, in one read of the source: its
// MD5 text into `md5`, its BLAKE2b text into `blake2b` when that is given, its blocks into
// the index `blocks` when that is given, the bytes copied into `size`. Blocks of zeros are skipped:
// a sparse file (a pak reserved ahead of its content) is published sparse.
bool CopyDigested(const std::string& source, const std::string& target, char md5[33], char* blake2b,
                  BlockIndexWriter* blocks, int64_t& size, Progress& progress) {
    FILE* in = platform::OpenFile(source.c_str(), "rb");
    if (!in) {
        fprintf(stderr, "cannot read %s\n", platform::NativePath(source.c_str()).c_str());
        return false;
    }
    // The target's name is the GBK bytes themselves (not converted): that is the name
    // the updater's request names on the server.
    FILE* out = fopen(target.c_str(), "wb");
    bool ok = out != nullptr;
    static char buf[1 << 20];
    // Holes are looked for block by block.
    constexpr size_t kBlock = 64 * 1024;
    static const char zeros[kBlock] = {0};
    Md5Context md5Context;
    Md5Init(&md5Context);
    Blake2b blake;
    size_t n;
    off_t written = 0;
    bool hole = false;
    while (ok && (n = fread(buf, 1, sizeof(buf), in)) > 0) {
        Md5Update(&md5Context, buf, n);
        if (blake2b) blake.Update(buf, n);
        if (blocks) blocks->Update(buf, n);
        for (size_t at = 0; ok && at < n; at += kBlock) {
            const size_t len = std::min(kBlock, n - at);
            hole = memcmp(buf + at, zeros, len) == 0;
            ok = hole ? fseeko(out, static_cast<off_t>(len), SEEK_CUR) == 0
                      : fwrite(buf + at, 1, len, out) == len;
        }
        written += static_cast<off_t>(n);
        progress.Add(n);
    }
    const bool readFailed = ferror(in) != 0;
    if (ok && hole) ok = fflush(out) == 0 && ftruncate(fileno(out), written) == 0;
    fclose(in);
    if (out && fclose(out) != 0) ok = false;
    if (readFailed) {
        fprintf(stderr, "cannot read %s\n", platform::NativePath(source.c_str()).c_str());
        return false;
    }
    if (!ok) {
        fprintf(stderr, "cannot write %s\n", target.c_str());
        return false;
    }
    unsigned char digest[16];
    Md5Final(digest, &md5Context);
    DigestToHex(digest, md5);
    if (blake2b) blake.Final(blake2b);
    // The size of the bytes digested, not the one listed before: a file that changed in
    // between is published as it was read.
    size = written;
    progress.FileDone();
    return true;
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

// Writes `bytes` to `path` through a temporary file renamed over it.
bool WriteWhole(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".new";
    FILE* out = fopen(temp.c_str(), "wb");
    if (!out) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = fclose(out) == 0 && ok;
    return ok && rename(temp.c_str(), path.c_str()) == 0;
}

// Writes `text` to `path` as the secret key is written (mode 0600), through a temporary
// file made anew (never one found there, nor a link) and renamed over it once on disk.
bool WritePrivate(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new";
    unlink(temp.c_str());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const bool synced = fsync(fd) == 0;
    if (close(fd) != 0 || !written || !synced) return false;
    return rename(temp.c_str(), path.c_str()) == 0;
}

// The highest serial an updater reads: 18 digits.
constexpr int64_t kLastSerial = 999999999999999999;

// The serial of the next signed release, or kNoSerial (with the reason printed).
int64_t NextSerial(const std::string& manifest, const std::string& serialFile,
                   const std::vector<std::vector<unsigned char>>& secretKeys, bool ignoreServed) {
    int64_t kept = 0;
    std::string text;
    if (ReadText(serialFile, text)) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        kept = ParseSerial(text.c_str());
        if (kept == kNoSerial) {
            fprintf(stderr, "%s holds no serial\n", serialFile.c_str());
            return kNoSerial;
        }
    }
    int64_t served = kNoSerial;
    std::string published;
    std::vector<ManifestEntry> scratch(kManifestCapacity);
    int count = 0;
    if (ReadText(manifest, published) &&
        ParseManifestBytes(published, scratch.data(), count, &served) && served != kNoSerial) {
        std::string signatures;
        bool verified = false;
        if (ReadText(manifest + ".sig", signatures)) {
            for (const std::vector<unsigned char>& key : secretKeys) {
                unsigned char pk[kPublicKeyBytes];
                PublicKeyOf(key.data(), pk);
                verified = verified || VerifySignature(published.data(), published.size(),
                                                       signatures.data(), signatures.size(), pk);
            }
        }
        if (!verified && !ignoreServed) {
            fprintf(stderr,
                    "the served manifest's serial %lld is not signed with the given keys: it is "
                    "not counted (--ignore-served-serial goes on with the kept serial %lld)\n",
                    static_cast<long long>(served), static_cast<long long>(kept));
            return kNoSerial;
        }
        if (!verified) served = kNoSerial;
    }
    const int64_t next = (served > kept ? served : kept) + 1;
    if (next > kLastSerial) {
        fprintf(stderr, "serial %lld is more than an updater reads\n",
                static_cast<long long>(next));
        return kNoSerial;
    }
    return next;
}

int Keygen(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string secretPath = dir + "/release.key";
    const std::string publicPath = dir + "/release.pub";
    unsigned char pk[kPublicKeyBytes], sk[kSecretKeyBytes];
    GenerateKeyPair(pk, sk);
    const std::string secret = KeyText(sk, sizeof(sk)) + "\n";
    // Never over an existing key: a lost secret key cannot be made again.
    const int fd = open(secretPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        fprintf(
            stderr, "cannot create %s: %s\n", secretPath.c_str(),
            errno == EEXIST ? "a key is already there (it is never overwritten)" : strerror(errno));
        return 1;
    }
    const bool written =
        write(fd, secret.data(), secret.size()) == static_cast<ssize_t>(secret.size());
    if (close(fd) != 0 || !written || !WriteWhole(publicPath, KeyText(pk, sizeof(pk)) + "\n")) {
        fprintf(stderr, "cannot write the key pair in %s\n", dir.c_str());
        return 1;
    }
    printf("%s\n", KeyText(pk, sizeof(pk)).c_str());
    return 0;
}

void PrintUsage(FILE* to, const char* self) {
    fprintf(to,
            "usage: %s [--sign SECRET_KEY_FILE]... [--serial-file PATH] [--ignore-served-serial]\n"
            "           [--expires DAYS] [--utf8-names] [--no-block-index] RELEASE_FOLDER\n"
            "           DOWNLOAD_FOLDER\n"
            "       %s keygen KEY_FOLDER\n",
            self, self);
}

int Usage(const char* self) {
    PrintUsage(stderr, self);
    return 2;
}

int Help(const char* self) {
    PrintUsage(stdout, self);
    printf(
        "\n"
        "Publishes RELEASE_FOLDER (the lobby's files as they are to be installed) into\n"
        "DOWNLOAD_FOLDER, the folder the web server serves as /DownLoad/: every file goes\n"
        "below DOWNLOAD_FOLDER/%s/, then the manifest DOWNLOAD_FOLDER/%s.xml is written\n"
        "last, in one step. Names the updater would refuse stop the publication.\n"
        "\n"
        "  --sign SECRET_KEY_FILE  sign the release with this key (release.key from keygen);\n"
        "                          twice while a key is replaced, the old one first\n"
        "  --serial-file PATH      where the last serial is kept (default: release.serial\n"
        "                          beside the first key)\n"
        "  --ignore-served-serial  go on when the served manifest's serial does not verify\n"
        "                          (the kept serial is used)\n"
        "  --expires DAYS          with --sign: updaters refuse the release DAYS days from now\n"
        "                          (1 to %ld) unless a newer one is served\n"
        "  --utf8-names            name the served files in UTF-8, for an updater built with\n"
        "                          UPDATER_URL_NAMES=utf8 (object stores)\n"
        "  --no-block-index        publish no block indexes (by default each file of %d MiB\n"
        "                          or more gets one, NAME%s beside it, so that an updater\n"
        "                          fetches only the blocks of it that changed)\n"
        "  --help                  this text\n"
        "  keygen KEY_FOLDER       make a key pair: KEY_FOLDER/release.key (secret, mode 0600)\n"
        "                          and KEY_FOLDER/release.pub (built into the updater)\n",
        kPackage, kPackage, kMostExpiresDays, kBlockIndexLeastMiB, kBlockIndexEnding);
    return 0;
}

// What the command line asks for.
struct Options {
    // Every --sign adds a signature: while a key is being replaced, a release is signed
    // with the old key and the new one.
    std::vector<std::string> secretKeyFiles;
    bool utf8Names = false;
    bool ignoreServedSerial = false;
    bool blockIndexes = true;
    std::string serialFile;
    long expiresDays = 0;
    // Command-line paths are in the system's encoding; the updater's code takes GBK.
    std::string release, download;
};

// Reads the options into `options`; returns the exit code of a command line that is
// wrong (after saying why), or -1.
int ParseOptions(int argc, char** argv, Options& options) {
    int first = 1;
    for (;;) {
        if (first + 1 < argc && strcmp(argv[first], "--sign") == 0) {
            options.secretKeyFiles.push_back(argv[first + 1]);
            first += 2;
        } else if (first + 1 < argc && strcmp(argv[first], "--serial-file") == 0) {
            options.serialFile = argv[first + 1];
            first += 2;
        } else if (first + 1 < argc && strcmp(argv[first], "--expires") == 0) {
            char* end = nullptr;
            options.expiresDays = strtol(argv[first + 1], &end, 10);
            if (*end || options.expiresDays < 1 || options.expiresDays > kMostExpiresDays) {
                fprintf(stderr, "--expires takes whole days, 1 to %ld\n", kMostExpiresDays);
                return 2;
            }
            first += 2;
        } else if (first < argc && strcmp(argv[first], "--ignore-served-serial") == 0) {
            options.ignoreServedSerial = true;
            first += 1;
        } else if (first < argc && strcmp(argv[first], "--utf8-names") == 0) {
            options.utf8Names = true;
            first += 1;
        } else if (first < argc && strcmp(argv[first], "--no-block-index") == 0) {
            options.blockIndexes = false;
            first += 1;
        } else {
            break;
        }
    }
    if (argc - first != 2 || options.secretKeyFiles.size() > kMostSignatures ||
        (options.expiresDays > 0 && options.secretKeyFiles.empty())) {
        return Usage(argv[0]);
    }
    options.release = argv[first];
    options.download = argv[first + 1];
    if (!options.secretKeyFiles.empty() && options.serialFile.empty()) {
        options.serialFile =
            (fs::path(options.secretKeyFiles.front()).parent_path() / "release.serial").string();
    }
    return -1;
}

bool ReadSecretKeys(const Options& options, const char* self,
                    std::vector<std::vector<unsigned char>>& secretKeys) {
    for (const std::string& file : options.secretKeyFiles) {
        std::string text;
        secretKeys.emplace_back(kSecretKeyBytes);
        if (!ReadText(file, text) ||
            !ParseKeyText(text, secretKeys.back().data(), kSecretKeyBytes)) {
            fprintf(stderr, "%s is not a secret key made by \"%s keygen\"\n", file.c_str(), self);
            return false;
        }
    }
    return true;
}

// The release's files, each refused name said; false when any is refused.
bool ListRelease(const std::string& release, std::vector<File>& files) {
    if (!Walk(release, "", files)) return false;
    if (files.size() >= static_cast<size_t>(kManifestCapacity)) {
        fprintf(stderr, "%zu files: the updater takes at most %d\n", files.size(),
                kManifestCapacity - 1);
        return false;
    }
    bool refused = false;
    for (const File& f : files) {
        if (const char* why = Refusal(f)) {
            fprintf(stderr, "refused: %s: %s\n", platform::NativePath(f.name.c_str()).c_str(), why);
            refused = true;
        }
    }
    return !refused;
}

// The index `blocks` built of a file copied to `target`, served beside it; the digest of
// its head (of the release's kind) into the file's record. A file that changed while it was read
// (its size no longer the one indexed) gets none.
bool WriteBlockIndex(BlockIndexWriter& blocks, ManifestEntry& e, const std::string& target,
                     bool withBlake2b) {
    const std::string index = blocks.Finish();
    BlockIndexHeader header;
    if (!ParseBlockIndexHeader(index, &header) ||
        header.fileSize != static_cast<uint64_t>(e.size)) {
        return true;
    }
    const std::string path = target + kBlockIndexEnding;
    if (!WriteWhole(path, index)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    // The digest covers the index's head; each fine table is checked against it.
    const size_t head = static_cast<size_t>(BlockIndexHeadBytes(header));
    if (withBlake2b) {
        Blake2b blake;
        blake.Update(index.data(), head);
        blake.Final(e.blocks);
    } else {
        Md5Context ctx;
        Md5Init(&ctx);
        Md5Update(&ctx, index.data(), head);
        unsigned char digest[16];
        Md5Final(digest, &ctx);
        DigestToHex(digest, e.blocks);
    }
    return true;
}

// Each file digested into its record and copied into the served tree (made anew).
bool CopyRelease(const std::vector<File>& files, const Options& options, bool withBlake2b,
                 std::vector<ManifestEntry>& entries) {
    entries.assign(files.size(), ManifestEntry());
    const std::string tree = options.download + "/" + kPackage;
    std::error_code ec;
    fs::remove_all(tree, ec);
    uint64_t bytes = 0;
    for (const File& f : files) bytes += static_cast<uint64_t>(f.size);
    Progress progress(files.size(), bytes);
    for (size_t i = 0; i < files.size(); ++i) {
        const File& f = files[i];
        ManifestEntry& e = entries[i];
        memset(&e, 0, sizeof(e));
        snprintf(e.filename, sizeof(e.filename), "%s", f.name.c_str());
        std::string served = f.name;
        if (options.utf8Names && !platform::GbkToUtf8(f.name.c_str(), &served)) return false;
        const std::string target = tree + "/" + served;
        fs::create_directories(fs::path(target).parent_path(), ec);
        std::unique_ptr<BlockIndexWriter> blocks;
        if (options.blockIndexes && f.size >= kBlockIndexLeastMiB * 1048576LL) {
            blocks.reset(new BlockIndexWriter(static_cast<uint64_t>(f.size)));
        }
        if (!CopyDigested(f.source, target, e.md5, withBlake2b ? e.blake2b : nullptr, blocks.get(),
                          e.size, progress) ||
            (blocks && !WriteBlockIndex(*blocks, e, target, withBlake2b))) {
            return false;
        }
    }
    progress.End();
    return true;
}

// The serial kept, then the manifest's signatures beside it.
bool WriteSignatures(const Options& options, const std::string& manifest, const std::string& bytes,
                     int64_t serial, const std::vector<std::vector<unsigned char>>& secretKeys) {
    // The serial kept first: a publication cut short never hands the same serial out twice.
    if (!WritePrivate(options.serialFile, std::to_string(serial) + "\n")) {
        fprintf(stderr, "cannot write %s\n", options.serialFile.c_str());
        return false;
    }
    // The signatures before the manifest: an updater that gets the new manifest finds them.
    std::string signatures;
    for (const std::vector<unsigned char>& key : secretKeys) {
        unsigned char signature[kSignatureBytes];
        Sign(bytes.data(), bytes.size(), key.data(), signature);
        signatures.append(reinterpret_cast<char*>(signature), sizeof(signature));
    }
    const std::string sigPath = manifest + ".sig";
    if (!WriteWhole(sigPath, signatures)) {
        fprintf(stderr, "cannot write %s\n", sigPath.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "keygen") == 0) return Keygen(argv[2]);
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        return Help(argv[0]);
    }
    Options options;
    const int wrong = ParseOptions(argc, argv, options);
    if (wrong >= 0) return wrong;
    const bool sign = !options.secretKeyFiles.empty();
    std::vector<std::vector<unsigned char>> secretKeys;
    if (!ReadSecretKeys(options, argv[0], secretKeys)) return 1;

    const std::string manifest = options.download + "/" + kPackage + ".xml";
    int64_t serial = 0;
    if (sign) {
        // Before anything is written: a refused serial leaves the server as it was.
        serial = NextSerial(manifest, options.serialFile, secretKeys, options.ignoreServedSerial);
        if (serial == kNoSerial) return 1;
    }
    std::vector<File> files;
    std::vector<ManifestEntry> entries;
    if (!ListRelease(options.release, files) || !CopyRelease(files, options, sign, entries)) {
        return 1;
    }
    // An expiry is signed with the rest: after it, updaters refuse this manifest until a
    // newer one (the same files re-signed will do) is served.
    const int64_t expires =
        options.expiresDays > 0
            ? platform::UtcSeconds() + static_cast<int64_t>(options.expiresDays) * 86400
            : kNoExpiry;
    const std::string bytes =
        ManifestBytes(entries.data(), static_cast<int>(entries.size()), serial, expires);
    if (sign) {
        if (!WriteSignatures(options, manifest, bytes, serial, secretKeys)) return 1;
    } else {
        std::error_code gone;
        fs::remove(manifest + ".sig", gone);  // a signed release's, no longer what is served
    }
    // The manifest last, and in one step, so the server never lists a file it lacks.
    if (!WriteWhole(manifest, bytes)) {
        fprintf(stderr, "cannot write %s\n", manifest.c_str());
        return 1;
    }
    if (serial > 0) {
        printf("published %zu files to %s, signed, serial %lld%s%s\n", files.size(),
               options.download.c_str(), static_cast<long long>(serial),
               expires >= 0 ? ", expires " : "", expires >= 0 ? UtcTimeText(expires).c_str() : "");
    } else {
        printf("published %zu files to %s\n", files.size(), options.download.c_str());
    }
    return 0;
}
