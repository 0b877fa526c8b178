// Files and folders: GBK paths, regular files only (a file link is never followed), and
// folders walked from the install folder down, a link passed only when its owner is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// fopen on a GBK path, for regular files only: a link in the last component is never
// followed and a pipe or device never opened; opened for writing, such an entry is
// removed and a regular file made in its place. Not inherited by started programs.
FILE* OpenFile(const char* path, const char* mode);
// The whole file at `path` (opened by OpenFile) into `bytes`; false when it can't be
// opened or read, or holds more than `limit` bytes.
bool ReadWholeFile(const char* path, size_t limit, std::string& bytes);
// `bytes` as the whole file at `path` (created or truncated).
bool WriteWholeFile(const char* path, const std::string& bytes);
// True when `path` itself is a symbolic link, junction or other reparse point.
bool IsLink(const char* path);
// Removes the link at `path` (never what it points to); false when it is no link.
bool RemoveLink(const char* path);

// Creates one folder; false when it could not be created (it may already exist).
bool CreateFolder(const char* path);
// True when a file or folder exists at `path`.
bool PathExists(const char* path);
bool RemoveFile(const char* path);
// Puts `src` in the place of `dst` in one step (a rename; across volumes a copy made
// beside `dst`, then renamed), so `dst` is never seen half-written. Fails, leaving both
// as they were, when `dst` is in use by a running program.
bool MoveOver(const char* src, const char* dst);
bool SetCurrentFolder(const char* path);

// The size of the regular file at `path`; false for anything else (missing, a folder,
// a link, a device) or when it cannot be read.
bool RegularFileSize(const char* path, uint64_t* size);
// The size of the file open as `file` (opened by OpenFile, so a regular file).
bool FileSize(FILE* file, uint64_t* size);
// Moves `file` to `offset` from its start, past 4 GiB too.
bool SeekFile(FILE* file, uint64_t offset);
// True when the file open as `file` is the running user's and nobody else may write it
// (a file of the temporary tree must be); always on Windows.
bool IsOwnFile(FILE* file);
// Renames `from` to `to`, replacing `to`, without asking whether it is in use.
bool RenameFile(const char* from, const char* to);
// The largest file a file system of this kind (a HeldFolder::FreeSpace name) can hold:
// FAT's are below 4 GiB; UINT64_MAX where no such bound is known.
uint64_t LargestFileOn(const std::string& kind);
// True where the file system takes "A.txt" and "a.txt" for one name (Windows).
bool NamesIgnoreCase();

// Which links a walk down from the install folder may pass. A link is a symbolic link,
// a junction or another reparse point; nothing is ever written through a file link.
enum class Links {
    // Only a link owned by the user the updater runs as or by an administrator (root;
    // Administrators, SYSTEM or TrustedInstaller): the player's own arrangement, such as
    // a data folder moved to another drive. A link anyone else made stops the walk.
    kTrusted,
    // None: a link in the way stops the walk.
    kNone,
    // The temporary tree, made of the running user's own real folders: a link in the way
    // is removed (never followed), and so is a folder another user owns or may write in,
    // with all it holds; a real folder of the running user's is made in its place. On
    // Windows the tree's folders are held without delete sharing instead.
    kReplace,
    // The temporary tree as it is read: no link passes, and a folder that is not the
    // running user's own (as kReplace makes them) counts as missing.
    kOwn,
};

// A folder reached from the install folder one name at a time, and held open while it
// is used, so that what was checked on the way is what is used: on Windows every folder
// of the way stays open without delete sharing (none can be renamed, removed or swapped
// for a junction meanwhile); elsewhere Path() names the open folder itself, and a path
// built on it looks up only its own last name again.
class HeldFolder {
public:
    enum class Result { kOpen, kMissing, kRefusedLink, kFailed };

    HeldFolder();
    ~HeldFolder();
    HeldFolder(const HeldFolder&);  // the same folder, held as long as either copy is
    HeldFolder& operator=(const HeldFolder&);
    HeldFolder(HeldFolder&&) noexcept;
    HeldFolder& operator=(HeldFolder&&) noexcept;

    // The folder at `path` as it is (the install folder, where every walk starts).
    Result OpenRoot(const char* path);
    // The folder `name` (one name, no separator) inside `parent`, made when missing and
    // `create`.
    Result OpenChild(const HeldFolder& parent, const char* name, Links links, bool create);
    // From the folder `root` down through every folder of `relative` ("a/b/x.dat": a
    // and b; "a/b/": the same), each by OpenChild.
    Result OpenPath(const char* root, const char* relative, Links links, bool create);
    // The same from the held folder `start`.
    Result OpenPath(const HeldFolder& start, const char* relative, Links links, bool create);
    bool IsOpen() const;
    // The bytes the running user may still write on the held folder's file system, and
    // which file system that is (its device; on Windows its volume's serial number);
    // `kind`, when given, gets its name where it matters ("FAT32", "FAT"; see
    // LargestFileOn), or stays empty.
    bool FreeSpace(uint64_t* freeBytes, uint64_t* fileSystem, std::string* kind = nullptr) const;
    // Where the calls of this layer reach the held folder; ends with a separator.
    const std::string& Path() const;

private:
    struct Impl;
    std::shared_ptr<const Impl> m_impl;
};

// True when a folder of `path` below `root` is a link `links` does not pass, or `path`
// does not begin with `root`; nothing is changed, and a missing folder is no link.
bool LinkOnTheWay(const char* root, const char* path, Links links);

// One folder's entries, "." and ".." included where the system lists them. A link or
// junction is never reported as a folder.
class FolderListing {
public:
    explicit FolderListing(const char* folder);
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;
    bool IsOpen() const;
    // Next entry: its GBK name and whether it is a folder. False at the end.
    bool Next(std::string& name, bool& isFolder);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// What the system says of a file: its device and number, size, and the times of its
// last write and last change. On POSIX a user cannot set the change time, so two equal
// stamps of a file prove that nobody wrote it, or put another file in its place, in
// between; Windows lets a writer set every time, so there a stamp proves nothing.
// All zero (FileStamp{}) when none was taken.
struct FileStamp {
    uint64_t device, file, size;
    int64_t written, changed;
    bool taken;
};

// A verified file of the temporary tree on its way into the install: opened once (never
// through a link), digested from that handle and moved while it is held. On Windows
// nobody may write, rename or delete it meanwhile (it is open without write or delete
// sharing) and it is renamed by its handle; on POSIX a stamp of the handle shows whether
// it is still the file that was written, and the name it is moved from must still be it.
class StagedFile {
public:
    enum class Move { kMoved, kInUse, kSwapped };

    StagedFile();
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // The regular file at `path`; false for anything else, for a file another user owns
    // or may write (POSIX), or when it cannot be held.
    bool Open(const char* path);
    // True when `written`, the stamp LocalFile took as the file was closed, proves that
    // the file held is those bytes still (never on Windows).
    bool Unchanged(const FileStamp& written) const;
    // The next bytes for a digest: how many were read, 0 at the end, -1 on an error.
    long Read(void* buffer, size_t size);
    // MoveOver for the held file. kInUse: `dst` is in use (both left as they were);
    // kSwapped: the name was given to another file just before the move, which is then
    // taken out again, so `dst` is missing.
    Move MoveOver(const char* dst);
    // Windows: stays open, unshared, until this process ends (for a file the system
    // moves at the next restart). Elsewhere it is closed.
    void HoldUntilExit();
    // Lets go of the file (so that it can be removed on Windows).
    void Close();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The file a download is written to: created or truncated, opened for reading and
// writing, not shared. Writes are gathered in a buffer of fixed size, so a stream of
// small chunks costs few system calls.
class LocalFile {
public:
    LocalFile();
    ~LocalFile();
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    bool Create(const char* path);
    // Goes on writing the regular file at `path` after its first `keep` bytes (what
    // follows them is cut off). False when there is no such file, it is shorter, it is
    // a link, it has other names (hard links), or another user owns it or may write it
    // (POSIX): a resumed body is never written through to another file. `kept`, when
    // given, is handed those first bytes, read through the descriptor the body goes on
    // through, so the bytes digested are the bytes the file keeps.
    bool Resume(const char* path, uint64_t keep,
                const std::function<void(const void*, size_t)>& kept = nullptr);
    // Throws FileError when the bytes cannot be written.
    void Write(const void* data, size_t len);
    // False when what was still buffered could not be written. `stamp`, when given,
    // receives the file's stamp as it is closed.
    bool Close(FileStamp* stamp = nullptr);
    bool IsOpen() const;

private:
    bool Flush();
    bool WriteThrough(const void* data, size_t len);

    static constexpr size_t kBufferSize = 256 * 1024;
    intptr_t m_handle;
    std::unique_ptr<char[]> m_buffer;
    size_t m_buffered;
};

}  // namespace platform
