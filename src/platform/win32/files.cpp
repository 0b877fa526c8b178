// Files and folders on Windows: regular files only, never through a reparse point; the
// listing of a folder and the system part of LocalFile.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/win32/win32.h"

namespace platform {

bool IsLink(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RemoveLink(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    // A junction or folder link goes with RemoveDirectory, a file link with DeleteFile;
    // neither touches what it points to.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) != 0
                                                   : DeleteFileA(path) != 0;
}

namespace {

// Opens a regular file, never through a reparse point in its last component. For
// writing (`disposition` CREATE_ALWAYS or OPEN_ALWAYS) a reparse point found in its
// place is removed first. CREATE_ALWAYS never empties an existing file in place (a hard
// link planted under its name would carry the bytes into the file it shares): the name
// goes and a new file is made. Nothing is written through a file another name shares.
win32::FileHandle OpenRegular(const char* path, DWORD access, DWORD disposition,
                              DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    const bool creating = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (!creating || !RemoveLink(path)) return {};
        } else if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
            return {};
        }
    }
    // A name held open by another program without delete sharing cannot go: that file
    // is emptied in place, once it is known to have no other name.
    bool empty = false;
    if (disposition == CREATE_ALWAYS) {
        const bool gone = DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND;
        disposition = gone ? CREATE_NEW : OPEN_EXISTING;
        empty = !gone;
    }
    win32::FileHandle file(CreateFileA(path, access, share, nullptr, disposition,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    if (!file) return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        ((access & GENERIC_WRITE) && info.nNumberOfLinks > 1) ||
        (empty && !SetEndOfFile(file.get()))) {
        return {};
    }
    return file;
}

}  // namespace

FILE* OpenFile(const char* path, const char* mode) {
    DWORD access = 0, disposition = 0;
    int flags = strchr(mode, 'b') ? _O_BINARY : _O_TEXT;
    const bool plus = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'r':
            access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
            disposition = OPEN_EXISTING;
            flags |= plus ? _O_RDWR : _O_RDONLY;
            break;
        case 'w':
            access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
            disposition = CREATE_ALWAYS;
            flags |= plus ? _O_RDWR : _O_WRONLY;
            break;
        case 'a':
            access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
            disposition = OPEN_ALWAYS;
            flags |= (plus ? _O_RDWR : _O_WRONLY) | _O_APPEND;
            break;
        default:
            return nullptr;
    }
    // Not inheritable (no security attributes): the lobby started at the end gets none.
    win32::FileHandle file = OpenRegular(path, access, disposition);
    if (!file) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), flags);
    if (fd < 0) return nullptr;
    file.release();  // the descriptor closes it now
    FILE* f = _fdopen(fd, mode);
    if (!f) _close(fd);
    return f;
}

bool CreateFolder(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

bool PathExists(const char* path) {
    WIN32_FIND_DATAA data;
    return static_cast<bool>(win32::FindHandle(FindFirstFileA(path, &data)));
}

bool RemoveFile(const char* path) { return DeleteFileA(path) != 0; }

bool RegularFileSize(const char* path, uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
    const DWORD notRegular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if (data.dwFileAttributes & notRegular) return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool NamesIgnoreCase() { return true; }

bool RenameFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool MoveOver(const char* src, const char* dst) {
    // MoveFileEx fails while another program holds the target open without sharing, or
    // runs it; the target is then untouched.
    if (MoveFileExA(src, dst, MOVEFILE_REPLACE_EXISTING)) return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
    std::string temp = std::string(dst) + ".new~";
    // A new copy: never into a file or link found under that name.
    if (!DeleteFileA(temp.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    if (!CopyFileA(src, temp.c_str(), TRUE)) return false;
    if (!MoveFileExA(temp.c_str(), dst, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(temp.c_str());
        return false;
    }
    DeleteFileA(src);
    return true;
}

bool SetCurrentFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

struct FolderListing::Impl {
    win32::FindHandle find;
    WIN32_FIND_DATAA data;
    bool pending = false;
};

FolderListing::FolderListing(const char* folder) : m_impl(new Impl) {
    std::string pattern = std::string(folder) + "/*.*";
    m_impl->find.reset(FindFirstFileA(pattern.c_str(), &m_impl->data));
    m_impl->pending = static_cast<bool>(m_impl->find);
}

FolderListing::~FolderListing() = default;

bool FolderListing::IsOpen() const { return static_cast<bool>(m_impl->find); }

bool FolderListing::Next(std::string& name, bool& isFolder) {
    if (!m_impl->pending) return false;
    name = m_impl->data.cFileName;
    // A junction or folder link is never a folder here: the walk must not leave the tree.
    const DWORD attributes = m_impl->data.dwFileAttributes;
    isFolder =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    m_impl->pending = FindNextFileA(m_impl->find.get(), &m_impl->data) != 0;
    return true;
}

LocalFile::LocalFile()
    : m_handle(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)), m_buffered(0) {}
LocalFile::~LocalFile() { Close(); }

bool LocalFile::Create(const char* path) {
    Close();
    // A new file, not shared: a link or other file in its place only loses its name.
    win32::FileHandle file = OpenRegular(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0);
    if (!file) return false;
    m_handle = reinterpret_cast<intptr_t>(file.release());
    m_buffered = 0;
    return true;
}

bool LocalFile::Resume(const char* path, uint64_t keep) {
    Close();
    win32::FileHandle file(
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks != 1 ||
        ((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow) < keep) {
        return false;
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(keep);
    if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) {
        return false;
    }
    m_handle = reinterpret_cast<intptr_t>(file.release());
    m_buffered = 0;
    return true;
}

bool LocalFile::WriteThrough(const void* data, size_t len) {
    // On failure the thread's last error says why: the caller builds its FileError from it.
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        constexpr size_t kMaxPart = 1 << 30;  // what one WriteFile is given at most
        const DWORD part = static_cast<DWORD>(len < kMaxPart ? len : kMaxPart);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(m_handle), p, part, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            // Nothing taken and no error given: say so rather than leave a stale code.
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        p += written;
        len -= written;
    }
    return true;
}

bool LocalFile::Close() {
    if (!IsOpen()) return true;
    const bool ok = Flush();
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
    return ok;
}

bool LocalFile::IsOpen() const {
    return reinterpret_cast<HANDLE>(m_handle) != INVALID_HANDLE_VALUE;
}

}  // namespace platform
