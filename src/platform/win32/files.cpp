// Files and folders on Windows: regular files only, never through a reparse point; the
// listing of a folder and the system part of LocalFile.
#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
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

bool FileSize(FILE* file, uint64_t* size) {
    const intptr_t handle = _get_osfhandle(_fileno(file));
    LARGE_INTEGER length;
    if (handle == -1 || !GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &length)) return false;
    *size = static_cast<uint64_t>(length.QuadPart);
    return true;
}

bool SeekFile(FILE* file, uint64_t offset) {
    return offset <= static_cast<uint64_t>(INT64_MAX) &&
           _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

// The tree's folders are held without delete sharing from the install folder down, and
// each file is read from one handle shared with no writer.
bool IsOwnFile(FILE*) { return true; }

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

// ---- StagedFile: open without write or delete sharing, renamed by its handle

struct StagedFile::Impl {
    win32::FileHandle file;
    std::string path;
};

namespace {

using SetInfoByHandle = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// SetFileInformationByHandle, where the system has it (not before Vista).
SetInfoByHandle SetInfoFunction() {
    static const SetInfoByHandle function = [] {
        SetInfoByHandle found = nullptr;
        win32::GetFunction(GetModuleHandleA("kernel32.dll"), "SetFileInformationByHandle", &found);
        return found;
    }();
    return function;
}

// Renames the file open as `file` to `dst`, replacing it.
bool RenameByHandle(SetInfoByHandle setInfo, HANDLE file, const char* dst) {
    wchar_t full[MAX_PATH * 2];
    wchar_t wide[MAX_PATH * 2];
    if (!MultiByteToWideChar(CP_ACP, 0, dst, -1, wide, MAX_PATH * 2)) return false;
    const DWORD length = GetFullPathNameW(wide, MAX_PATH * 2, full, nullptr);
    if (length == 0 || length >= MAX_PATH * 2) return false;
    const std::wstring name = std::wstring(L"\\??\\") + full;
    std::string buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t), '\0');
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(&buffer[0]);
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    memcpy(info->FileName, name.c_str(), name.size() * sizeof(wchar_t));
    return setInfo(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

// A copy of the open `file` beside `dst`, renamed over it (another volume).
bool CopyOver(HANDLE file, const char* dst) {
    const std::string temp = std::string(dst) + ".new~";
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    bool ok;
    {
        // A new copy: never into a file or link found under that name.
        win32::FileHandle out = OpenRegular(temp.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0);
        ok = static_cast<bool>(out);
        char buffer[64 * 1024];
        for (DWORD n = 0; ok;) {
            ok = ReadFile(file, buffer, sizeof(buffer), &n, nullptr) != 0;
            if (!ok || n == 0) break;
            DWORD written = 0;
            ok = WriteFile(out.get(), buffer, n, &written, nullptr) && written == n;
        }
    }
    if (ok) ok = MoveFileExA(temp.c_str(), dst, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!ok) DeleteFileA(temp.c_str());
    return ok;
}

}  // namespace

StagedFile::StagedFile() : m_impl(new Impl) {}
StagedFile::~StagedFile() = default;

bool StagedFile::Open(const char* path) {
    m_impl->path = path;
    m_impl->file = OpenRegular(path, GENERIC_READ | DELETE, OPEN_EXISTING, FILE_SHARE_READ);
    return static_cast<bool>(m_impl->file);
}

bool StagedFile::Unchanged(const FileStamp&) const { return false; }

long StagedFile::Read(void* buffer, size_t size) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    if (!ReadFile(m_impl->file.get(), buffer, want, &n, nullptr)) return -1;
    return static_cast<long>(n);
}

StagedFile::Move StagedFile::MoveOver(const char* dst) {
    if (!m_impl->file) return Move::kSwapped;
    const SetInfoByHandle setInfo = SetInfoFunction();
    if (!setInfo) {
        // Before Vista: let go of the file and move it by its name.
        m_impl->file.reset();
        return platform::MoveOver(m_impl->path.c_str(), dst) ? Move::kMoved : Move::kInUse;
    }
    // Fails while another program holds the target open without sharing, or runs it;
    // the target is then untouched.
    if (RenameByHandle(setInfo, m_impl->file.get(), dst)) return Move::kMoved;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE || !CopyOver(m_impl->file.get(), dst)) {
        return Move::kInUse;
    }
    FILE_DISPOSITION_INFO gone = {TRUE};
    setInfo(m_impl->file.get(), FileDispositionInfo, &gone, sizeof(gone));  // removed on close
    return Move::kMoved;
}

void StagedFile::HoldUntilExit() {
    // Closed by the system when the process ends.
    static std::mutex mutex;
    static std::vector<HANDLE>* handles = new std::vector<HANDLE>;
    const std::lock_guard<std::mutex> lock(mutex);
    handles->push_back(m_impl->file.release());
}

void StagedFile::Close() { m_impl->file.reset(); }

bool SetCurrentFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

// ---- HeldFolder: every folder of the way open without delete sharing

struct HeldFolder::Impl {
    win32::FileHandle folder;
    win32::FileHandle link;  // the junction or link followed to get here, if any
    std::shared_ptr<const Impl> parent;
    std::string path;
};

namespace {

// A folder (or the reparse point in its place, with `reparse`), held so that it can be
// neither renamed nor removed while the handle is open. A link is held without write
// sharing too, so its target cannot be rewritten either.
win32::FileHandle HoldFolder(const std::string& path, bool reparse, DWORD share) {
    return win32::FileHandle(CreateFileA(
        path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, share, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (reparse ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr));
}

bool Attributes(HANDLE h, DWORD* attributes) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    *attributes = info.dwFileAttributes;
    return true;
}

bool TrustedOwner(HANDLE h) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &sd) != ERROR_SUCCESS) {
        return false;
    }
    const bool trusted = win32::IsTrustedOwner(owner);
    LocalFree(sd);
    return trusted;
}

}  // namespace

namespace win32 {

bool IsTrustedOwner(PSID owner) {
    if (!owner || !IsValidSid(owner)) return false;
    if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
        IsWellKnownSid(owner, WinLocalSystemSid)) {
        return true;
    }
    char* text = nullptr;
    if (ConvertSidToStringSidA(owner, &text)) {
        // NT SERVICE\TrustedInstaller, the owner of the system's own files.
        const bool installer =
            strcmp(text, "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") == 0;
        LocalFree(text);
        if (installer) return true;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    char buffer[256];
    DWORD size = 0;
    const bool mine = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
                      EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return mine;
}

}  // namespace win32

HeldFolder::Result HeldFolder::OpenRoot(const char* path) {
    auto impl = std::make_shared<Impl>();
    impl->folder = HoldFolder(path, false, FILE_SHARE_READ | FILE_SHARE_WRITE);
    DWORD attributes = 0;
    if (!impl->folder) {
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                   ? Result::kMissing
                   : Result::kFailed;
    }
    if (!Attributes(impl->folder.get(), &attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return Result::kFailed;
    }
    impl->path = path;
    // GBK-aware: the last byte of a double-byte character may be that of "\\".
    const char* last = FindLastSeparator(path);
    if (!last || last[1] != '\0') impl->path += '/';
    m_impl = std::move(impl);
    return Result::kOpen;
}

HeldFolder::Result HeldFolder::OpenChild(const HeldFolder& parent, const char* name, Links links,
                                         bool create) {
    if (!parent.m_impl) return Result::kFailed;
    auto impl = std::make_shared<Impl>();
    impl->parent = parent.m_impl;
    impl->path = parent.m_impl->path + name;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    for (int attempt = 0; attempt < 3; ++attempt) {
        win32::FileHandle entry = HoldFolder(impl->path, true, share);
        if (!entry) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                return Result::kFailed;
            }
            if (!create) return Result::kMissing;
            if (!CreateDirectoryA(impl->path.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                return Result::kFailed;
            }
            continue;
        }
        DWORD attributes = 0;
        if (!Attributes(entry.get(), &attributes) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Result::kFailed;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (links == Links::kReplace) {
                entry.reset();
                if (!RemoveLink(impl->path.c_str())) return Result::kFailed;
                continue;
            }
            if (links != Links::kTrusted || !TrustedOwner(entry.get())) {
                return Result::kRefusedLink;
            }
            // The junction stays held, now without write sharing too (so its target
            // cannot be rewritten), while the folder it leads to is used.
            impl->link = HoldFolder(impl->path, true, FILE_SHARE_READ);
            DWORD linkAttributes = 0;
            if (!impl->link || !Attributes(impl->link.get(), &linkAttributes) ||
                linkAttributes != attributes) {
                return Result::kFailed;
            }
            entry.reset();
            impl->folder = HoldFolder(impl->path, false, share);
            if (!impl->folder || !Attributes(impl->folder.get(), &attributes) ||
                !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                return Result::kFailed;
            }
        } else {
            impl->folder = std::move(entry);
        }
        impl->path += '/';
        m_impl = std::move(impl);
        return Result::kOpen;
    }
    return Result::kFailed;
}

bool HeldFolder::FreeSpace(uint64_t* freeBytes, uint64_t* fileSystem, std::string* kind) const {
    BY_HANDLE_FILE_INFORMATION info;
    ULARGE_INTEGER available;
    if (!m_impl || !GetFileInformationByHandle(m_impl->folder.get(), &info) ||
        !GetDiskFreeSpaceExA(m_impl->path.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    *freeBytes = available.QuadPart;
    *fileSystem = info.dwVolumeSerialNumber;
    // The volume's file system ("NTFS", "FAT32", "exFAT"), from the root it is mounted at.
    char root[MAX_PATH + 1], name[MAX_PATH + 1];
    if (kind && GetVolumePathNameA(m_impl->path.c_str(), root, sizeof(root)) &&
        GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, name, sizeof(name))) {
        *kind = name;
    }
    return true;
}

const std::string& HeldFolder::Path() const {
    static const std::string none;
    return m_impl ? m_impl->path : none;
}

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

bool LocalFile::Resume(const char* path, uint64_t keep,
                       const std::function<void(const void*, size_t)>& kept) {
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
    // Read through the handle the body goes on through, which shares nothing.
    std::vector<char> buffer(kept ? 64 * 1024 : 0);
    for (uint64_t left = kept ? keep : 0; left > 0;) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(left < buffer.size() ? left : buffer.size());
        if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got == 0) return false;
        kept(buffer.data(), got);
        left -= got;
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

bool LocalFile::Close(FileStamp* stamp) {
    if (!IsOpen()) return true;
    const bool ok = Flush();
    if (stamp) *stamp = FileStamp{};  // a stamp proves nothing here
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
    return ok;
}

bool LocalFile::IsOpen() const {
    return reinterpret_cast<HANDLE>(m_handle) != INVALID_HANDLE_VALUE;
}

}  // namespace platform
