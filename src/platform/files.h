// Files and folders: GBK paths, regular files only, links never followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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
// True when some part of `path` below `root` (a folder, or the last component) is a
// link in the sense of IsLink, or `path` does not begin with `root`.
bool LinkOnTheWay(const char* root, const char* path);
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
// Renames `from` to `to`, replacing `to`, without asking whether it is in use.
bool RenameFile(const char* from, const char* to);
// True where the file system takes "A.txt" and "a.txt" for one name (Windows).
bool NamesIgnoreCase();

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
    // a link, or it has other names (hard links): a resumed body is never written
    // through to another file.
    bool Resume(const char* path, uint64_t keep);
    // Throws FileError when the bytes cannot be written.
    void Write(const void* data, size_t len);
    // False when what was still buffered could not be written.
    bool Close();
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
