// Files and folders: regular files opened without following links, moves, the folder
// listing, and the system calls behind LocalFile.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/posix/fd.h"
#include "platform/posix/gbk.h"

namespace platform {

using posix::Fd;
using posix::OpenRegular;
using posix::Utf8ToGbk;

namespace posix {

int OpenRegular(const std::string& native, int flags, mode_t mode) {
    // An existing file is never emptied in place: a hard link planted under its name
    // would carry the new bytes into the file it shares. The name goes, a new file comes.
    if (flags & O_TRUNC) {
        if (unlink(native.c_str()) != 0 && errno != ENOENT) return -1;
        flags = (flags & ~O_TRUNC) | O_CREAT | O_EXCL;
    }
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd fd(open(native.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
        struct stat st;
        if (fd.get() >= 0 && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
            // Nor written through when another name shares it.
            if (writing && st.st_nlink > 1) return -1;
            fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
            return fd.release();
        }
        if (!(flags & O_CREAT)) return -1;
        // Not a regular file (a link gives ELOOP, a pipe or device opens as itself).
        struct stat entry;
        if (lstat(native.c_str(), &entry) != 0 || S_ISREG(entry.st_mode) ||
            S_ISDIR(entry.st_mode) || unlink(native.c_str()) != 0) {
            return -1;
        }
    }
    return -1;
}

}  // namespace posix

namespace {

// A link passes when its owner is the user the updater runs as, or root: the rule the
// kernel applies to links in shared folders (protected_symlinks).
bool TrustedOwner(uid_t owner) { return owner == geteuid() || owner == 0; }

// An entry of the temporary tree must be the running user's (or root's), and nobody
// else may write it: another user could otherwise change a file between its check and
// its use, or put one of theirs in a folder.
bool OwnEntry(const struct stat& st) {
    return TrustedOwner(st.st_uid) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Removes the entry `name` of the folder open as `at`, a folder with everything in it;
// a link is removed, never followed. False when something could not be removed.
bool RemoveTree(int at, const char* name, int depth = 0) {
    if (unlinkat(at, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    Fd folder(depth < 64 ? openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
    if (DIR* dir = folder.get() >= 0 ? fdopendir(folder.get()) : nullptr) {
        folder.release();  // the listing owns it now
        std::vector<std::string> names;
        while (const dirent* e = readdir(dir)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                names.push_back(e->d_name);
            }
        }
        for (const std::string& entry : names) RemoveTree(dirfd(dir), entry.c_str(), depth + 1);
        closedir(dir);
    }
    return unlinkat(at, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// The folder `path` (a trusted link's target) from the folder open as `at` (or from the
// root when `path` is absolute), one name at a time: a link on the way is followed only
// when TrustedOwner owns it, as on every walk from the install folder. -1 with errno set
// when it cannot be opened; EPERM when a link on the way is another user's.
int OpenTrustedPath(int at, const std::string& path, int depth = 0) {
    if (depth > 8) {
        errno = ELOOP;
        return -1;
    }
    const bool absolute = !path.empty() && path[0] == '/';
    Fd folder(
        openat(absolute ? AT_FDCWD : at, absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t from = 0; folder.get() >= 0 && from < path.size();) {
        size_t end = path.find('/', from);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(from, end - from);
        from = end + 1;
        if (name.empty() || name == ".") continue;
        Fd next(
            openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) {
            Fd link(openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            char target[4096];
            ssize_t n = -1;
            if (link.get() < 0 || fstat(link.get(), &st) != 0 || !S_ISLNK(st.st_mode)) {
                errno = ENOTDIR;
                return -1;
            }
            if (!TrustedOwner(st.st_uid)) {
                errno = EPERM;
                return -1;
            }
            n = readlinkat(link.get(), "", target, sizeof(target) - 1);
            if (n <= 0) return -1;
            target[n] = '\0';
            next = Fd(OpenTrustedPath(folder.get(), target, depth + 1));
        }
        folder = std::move(next);
    }
    return folder.release();
}

// Takes another user's folder `name` out of the way: removed, or where what it holds
// cannot be removed, renamed to "<name>.old~" (never used again).
bool RemoveForeign(int at, const char* name) {
    if (RemoveTree(at, name)) return true;
    const std::string aside = std::string(name) + ".old~";
    RemoveTree(at, aside.c_str());
    return renameat(at, name, at, aside.c_str()) == 0;
}

bool WriteAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The first `bytes` of the file open as `fd`, handed to `kept` piece by piece.
bool ReadKept(int fd, uint64_t bytes, const std::function<void(const void*, size_t)>& kept) {
    std::vector<char> buf(64 * 1024);
    for (uint64_t at = 0; at < bytes;) {
        const uint64_t left = bytes - at;
        const ssize_t n =
            pread(fd, buf.data(), left < buf.size() ? left : buf.size(), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        kept(buf.data(), static_cast<size_t>(n));
        at += static_cast<uint64_t>(n);
    }
    return true;
}

bool CopyBytes(int from, int to) {
    std::vector<char> buf(64 * 1024);
    for (;;) {
        const ssize_t n = read(from, buf.data(), buf.size());
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!WriteAll(to, buf.data(), static_cast<size_t>(n))) return false;
    }
}

}  // namespace

FILE* OpenFile(const char* path, const char* mode) {
    int flags = 0;
    switch (mode[0]) {
        case 'r':
            flags = strchr(mode, '+') ? O_RDWR : O_RDONLY;
            break;
        case 'w':
            flags = (strchr(mode, '+') ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
            break;
        case 'a':
            flags = (strchr(mode, '+') ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
            break;
        default:
            return nullptr;
    }
    // Closed on exec, so the lobby started at the end inherits none of our files.
    const int fd = OpenRegular(NativePath(path), flags, 0644);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}

bool CreateFolder(const char* path) { return mkdir(NativePath(path).c_str(), 0755) == 0; }

bool PathExists(const char* path) {
    struct stat st;
    return stat(NativePath(path).c_str(), &st) == 0;
}

bool RemoveFile(const char* path) { return unlink(NativePath(path).c_str()) == 0; }

bool IsLink(const char* path) {
    struct stat st;
    return lstat(NativePath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RemoveLink(const char* path) { return IsLink(path) && unlink(NativePath(path).c_str()) == 0; }

bool RegularFileSize(const char* path, uint64_t* size) {
    struct stat st;
    if (lstat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool IsOwnFile(FILE* file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 && OwnEntry(st);
}

bool FileSize(FILE* file, uint64_t* size) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool SeekFile(FILE* file, uint64_t offset) {
    return offset <= static_cast<uint64_t>(INT64_MAX) &&
           fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool NamesIgnoreCase() { return false; }

bool RenameFile(const char* from, const char* to) {
    return rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

namespace {

FileStamp StampOf(const struct stat& st) {
    FileStamp stamp{};
    stamp.device = static_cast<uint64_t>(st.st_dev);
    stamp.file = static_cast<uint64_t>(st.st_ino);
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.written = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stamp.taken = true;
    return stamp;
}

// True when the entry `path` names is the file open as `fd`.
bool NamesFile(const std::string& path, int fd) {
    struct stat named, held;
    return lstat(path.c_str(), &named) == 0 && fstat(fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// True when the file open as `in` starts as a program does (an ELF image or a script).
bool IsProgram(int in) {
    static const char kElf[] =
        "\x7f"
        "ELF";
    char magic[4] = {0};
    return pread(in, magic, sizeof(magic), 0) >= 2 &&
           (memcmp(magic, kElf, 4) == 0 || memcmp(magic, "#!", 2) == 0);
}

// Puts the file open as `in`, named `from`, in the place of `to`: a rename, or across
// file systems a copy of `in` made beside `to`, then renamed over it.
StagedFile::Move MoveHeld(int in, const std::string& from, const std::string& to) {
    using Move = StagedFile::Move;
    // In use: a running program (ETXTBSY) or a lock held by another process.
    // Neither through a link nor waiting on a pipe: only a real file can be "in use".
    Fd target(open(to.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (target.get() < 0 && errno == ETXTBSY) return Move::kInUse;
    if (target.get() >= 0 && flock(target.get(), LOCK_EX | LOCK_NB) != 0) return Move::kInUse;

    // The installed file keeps its read and execute bits; a new one is executable when
    // it is a program (the server does not carry modes, and the lobby must be able to
    // start). Whatever sat at the target, nothing installed is set-user-ID, set-group-ID
    // or sticky, or writable by anyone but its owner.
    mode_t mode = 0644;
    struct stat st;
    if (target.get() >= 0 && fstat(target.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = (st.st_mode & 0755) | S_IRUSR | S_IWUSR;
    }
    if (IsProgram(in)) mode |= (mode & 0444) >> 2;
    fchmod(in, mode);
    // The name must still be the file held: another file put under it is not moved.
    if (!NamesFile(from, in)) return Move::kSwapped;
    if (rename(from.c_str(), to.c_str()) == 0) {
        // Swapped between the look and the rename: what went in is taken out again.
        if (NamesFile(to, in)) return Move::kMoved;
        unlink(to.c_str());
        return Move::kSwapped;
    }
    if (errno != EXDEV) return Move::kInUse;

    // Another file system: a copy of the held file beside the target, renamed over it.
    // The copy stays open until it is in place, and the names are checked against it on
    // both sides of the rename: a file put under the copy's name is never installed.
    const std::string temp = to + ".new~";
    Fd out(OpenRegular(temp, O_WRONLY | O_CREAT | O_TRUNC, mode));
    if (out.get() < 0 || fchmod(out.get(), mode) != 0 || lseek(in, 0, SEEK_SET) != 0 ||
        !CopyBytes(in, out.get())) {
        if (out.get() >= 0 && NamesFile(temp, out.get())) unlink(temp.c_str());
        return Move::kInUse;
    }
    if (!NamesFile(temp, out.get())) return Move::kSwapped;
    if (rename(temp.c_str(), to.c_str()) != 0) {
        if (NamesFile(temp, out.get())) unlink(temp.c_str());
        return Move::kInUse;
    }
    if (!NamesFile(to, out.get())) {
        unlink(to.c_str());
        return Move::kSwapped;
    }
    if (NamesFile(from, in)) unlink(from.c_str());
    return Move::kMoved;
}

}  // namespace

bool MoveOver(const char* src, const char* dst) {
    const std::string from = NativePath(src);
    Fd in(OpenRegular(from, O_RDONLY, 0));
    return in.get() >= 0 && MoveHeld(in.get(), from, NativePath(dst)) == StagedFile::Move::kMoved;
}

// ---- StagedFile: the descriptor, with the name it was opened by

struct StagedFile::Impl {
    Fd fd;
    std::string path;
};

StagedFile::StagedFile() : m_impl(new Impl) {}
StagedFile::~StagedFile() = default;

bool StagedFile::Open(const char* path) {
    m_impl->path = NativePath(path);
    m_impl->fd = Fd(OpenRegular(m_impl->path, O_RDONLY, 0));
    struct stat st;
    if (m_impl->fd.get() >= 0 && (fstat(m_impl->fd.get(), &st) != 0 || !OwnEntry(st))) {
        m_impl->fd = Fd();
    }
    return m_impl->fd.get() >= 0;
}

bool StagedFile::Unchanged(const FileStamp& written) const {
    struct stat st;
    if (!written.taken || m_impl->fd.get() < 0 || fstat(m_impl->fd.get(), &st) != 0) return false;
    const FileStamp now = StampOf(st);
    return now.device == written.device && now.file == written.file && now.size == written.size &&
           now.written == written.written && now.changed == written.changed;
}

long StagedFile::Read(void* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(m_impl->fd.get(), buffer, size);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

StagedFile::Move StagedFile::MoveOver(const char* dst) {
    if (m_impl->fd.get() < 0) return Move::kSwapped;
    return MoveHeld(m_impl->fd.get(), m_impl->path, NativePath(dst));
}

void StagedFile::HoldUntilExit() { Close(); }

void StagedFile::Close() { m_impl->fd = Fd(); }

// ---- HeldFolder: an open descriptor; Path() is /proc/self/fd/N/, the folder itself

struct HeldFolder::Impl {
    Fd fd;
    std::string path;
};

namespace {

// Whether later calls can reach a held folder through /proc/self/fd (where /proc is not
// mounted they take the folder's own path, looked up again).
bool ProcFdUsable() {
    static const bool usable = access("/proc/self/fd", X_OK) == 0;
    return usable;
}

}  // namespace

HeldFolder::Result HeldFolder::OpenRoot(const char* path) {
    auto impl = std::make_shared<Impl>();
    impl->fd = Fd(open(NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (impl->fd.get() < 0) return errno == ENOENT ? Result::kMissing : Result::kFailed;
    impl->path = path;
    // GBK-aware: the last byte of a double-byte character may be that of "\\".
    const char* last = FindLastSeparator(path);
    if (!last || last[1] != '\0') impl->path += '/';
    if (ProcFdUsable()) impl->path = "/proc/self/fd/" + std::to_string(impl->fd.get()) + "/";
    m_impl = std::move(impl);
    return Result::kOpen;
}

HeldFolder::Result HeldFolder::OpenChild(const HeldFolder& parent, const char* name, Links links,
                                         bool create) {
    if (!parent.m_impl) return Result::kFailed;
    const int at = parent.m_impl->fd.get();
    const std::string native = NativePath(name);
    auto impl = std::make_shared<Impl>();
    for (int attempt = 0; attempt < 3 && impl->fd.get() < 0; ++attempt) {
        impl->fd = Fd(openat(at, native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat own;
        if (impl->fd.get() >= 0 && (links == Links::kReplace || links == Links::kOwn) &&
            (fstat(impl->fd.get(), &own) != 0 || !OwnEntry(own))) {
            // Another user's folder in the temporary tree: nothing in it is used.
            impl->fd = Fd();
            if (links == Links::kOwn) return Result::kMissing;
            if (!RemoveForeign(at, native.c_str())) return Result::kFailed;
            continue;
        }
        if (impl->fd.get() >= 0) break;
        if (errno == ENOENT) {
            if (!create) return Result::kMissing;
            if (mkdirat(at, native.c_str(), 0755) != 0 && errno != EEXIST) return Result::kFailed;
            continue;
        }
        if (errno != ELOOP && errno != ENOTDIR) return Result::kFailed;
        struct stat st;
        if (fstatat(at, native.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Result::kFailed;
        if (!S_ISLNK(st.st_mode)) return Result::kFailed;  // a file where a folder belongs
        if (links == Links::kReplace) {
            if (unlinkat(at, native.c_str(), 0) != 0) return Result::kFailed;
            continue;
        }
        if (links != Links::kTrusted) return Result::kRefusedLink;
        // The link's owner and target are read from one held entry, and every link within
        // its target passes by the same rule.
        impl->fd = Fd(OpenTrustedPath(at, native));
        if (impl->fd.get() < 0) {
            return errno == ENOENT  ? Result::kMissing
                   : errno == EPERM ? Result::kRefusedLink
                                    : Result::kFailed;
        }
    }
    if (impl->fd.get() < 0) return Result::kFailed;
    impl->path = ProcFdUsable() ? "/proc/self/fd/" + std::to_string(impl->fd.get()) + "/"
                                : parent.m_impl->path + name + "/";
    m_impl = std::move(impl);
    return Result::kOpen;
}

bool HeldFolder::FreeSpace(uint64_t* freeBytes, uint64_t* fileSystem, std::string* kind) const {
    struct statvfs fs;
    struct stat st;
    if (!m_impl || fstatvfs(m_impl->fd.get(), &fs) != 0 || fstat(m_impl->fd.get(), &st) != 0) {
        return false;
    }
    *freeBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    *fileSystem = static_cast<uint64_t>(st.st_dev);
#ifdef __linux__
    // vfat and msdos: the FAT of a memory card or an old drive.
    constexpr long kMsdosMagic = 0x4d44;
    struct statfs type;
    if (kind && fstatfs(m_impl->fd.get(), &type) == 0 && type.f_type == kMsdosMagic) *kind = "FAT";
#endif
    return true;
}

const std::string& HeldFolder::Path() const {
    static const std::string none;
    return m_impl ? m_impl->path : none;
}

bool SetCurrentFolder(const char* path) { return chdir(NativePath(path).c_str()) == 0; }

struct FolderListing::Impl {
    DIR* dir = nullptr;
    std::string native;
};

FolderListing::FolderListing(const char* folder) : m_impl(new Impl) {
    m_impl->native = NativePath(folder);
    m_impl->dir = opendir(m_impl->native.c_str());
}

FolderListing::~FolderListing() {
    if (m_impl->dir) closedir(m_impl->dir);
}

bool FolderListing::IsOpen() const { return m_impl->dir != nullptr; }

bool FolderListing::Next(std::string& name, bool& isFolder) {
    if (!m_impl->dir) return false;
    const dirent* e = readdir(m_impl->dir);
    if (!e) return false;
    name = Utf8ToGbk(e->d_name);
    // A link is never a folder here: the walk must not leave the tree through one.
    if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        const std::string full = m_impl->native + "/" + e->d_name;
        isFolder = lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    } else {
        isFolder = e->d_type == DT_DIR;
    }
    return true;
}

LocalFile::LocalFile() : m_handle(-1), m_buffered(0) {}
LocalFile::~LocalFile() { Close(); }

bool LocalFile::Create(const char* path) {
    Close();
    // A new file: a link, special file or other file in its place only loses its name.
    const int fd = OpenRegular(NativePath(path), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    m_handle = fd;
    m_buffered = 0;
    return true;
}

bool LocalFile::Resume(const char* path, uint64_t keep,
                       const std::function<void(const void*, size_t)>& kept) {
    Close();
    Fd fd(OpenRegular(NativePath(path), O_RDWR, 0));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || st.st_nlink != 1 || !OwnEntry(st) ||
        static_cast<uint64_t>(st.st_size) < keep || flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
        (kept && !ReadKept(fd.get(), keep, kept)) ||
        ftruncate(fd.get(), static_cast<off_t>(keep)) != 0 ||
        lseek(fd.get(), static_cast<off_t>(keep), SEEK_SET) < 0) {
        return false;
    }
    m_handle = fd.release();
    m_buffered = 0;
    return true;
}

bool LocalFile::WriteThrough(const void* data, size_t len) {
    return WriteAll(static_cast<int>(m_handle), data, len);
}

bool LocalFile::Close(FileStamp* stamp) {
    if (m_handle < 0) return true;
    bool ok = Flush();
    struct stat st;
    if (stamp)
        *stamp = ok && fstat(static_cast<int>(m_handle), &st) == 0 ? StampOf(st) : FileStamp{};
    if (close(static_cast<int>(m_handle)) != 0) ok = false;
    m_handle = -1;
    return ok;
}

bool LocalFile::IsOpen() const { return m_handle >= 0; }

}  // namespace platform
