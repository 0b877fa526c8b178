// Windows implementation: the ANSI Win32 functions, WinInet, a named mutex.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/platform_detail.h"
#include "platform/win32/win32.h"

namespace platform {

std::string NativePath(const char* path) { return path; }

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
// place is removed first.
HANDLE OpenRegular(const char* path, DWORD access, DWORD disposition) {
    const bool creating = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (!creating || !RemoveLink(path)) return INVALID_HANDLE_VALUE;
        } else if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
            return INVALID_HANDLE_VALUE;
        }
    }
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
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
    HANDLE h = OpenRegular(path, access, disposition);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = _fdopen(fd, mode);
    if (!f) _close(fd);
    return f;
}

bool IsConvertibleName(const char* name) {
    // Code page 936 to Unicode and back: the same bytes, or the system would use a name
    // other than the one checked.
    const int wide = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    if (wide <= 0) return false;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, name, -1, &w[0], wide);
    BOOL usedDefault = FALSE;
    const int back = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, nullptr, 0,
                                         nullptr, &usedDefault);
    if (back <= 0 || usedDefault) return false;
    std::string bytes(static_cast<size_t>(back), '\0');
    WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, &bytes[0], back, nullptr,
                        nullptr);
    return strcmp(bytes.c_str(), name) == 0;
}

bool CreateFolder(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

bool PathExists(const char* path) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(path, &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return true;
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

namespace {

// The volume and file index of `path`: the same pair means the same file.
bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

bool IsOwnExecutable(const char* path) {
    char self[MAX_PATH];
    BY_HANDLE_FILE_INFORMATION a, b;
    return ModulePath(self, sizeof(self)) && FileIdentity(self, &a) && FileIdentity(path, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool MoveOver(const char* src, const char* dst) {
    // MoveFileEx fails while another program holds the target open without sharing, or
    // runs it; the target is then untouched.
    if (MoveFileExA(src, dst, MOVEFILE_REPLACE_EXISTING)) return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
    std::string temp = std::string(dst) + ".new~";
    if (!CopyFileA(src, temp.c_str(), FALSE)) return false;
    if (!MoveFileExA(temp.c_str(), dst, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(temp.c_str());
        return false;
    }
    DeleteFileA(src);
    return true;
}

bool ReplaceAtRestart(const char* src, const char* dst) {
    return MoveFileExA(src, dst, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

void ApplyPendingReplacements() {}

bool SetCurrentFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

bool ModulePath(char* out, size_t size) {
    // The wide path, so that a character outside the ANSI code page is seen (the ANSI
    // call would give "?" in its place, naming another folder).
    wchar_t wide[32768];
    const DWORD n = GetModuleFileNameW(nullptr, wide, sizeof(wide) / sizeof(wide[0]));
    if (n == 0 || n >= sizeof(wide) / sizeof(wide[0])) return false;
    BOOL usedDefault = FALSE;
    const int len = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, nullptr,
                                        &usedDefault);
    if (len <= 0 || usedDefault || static_cast<size_t>(len) > size) return false;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, len, nullptr, nullptr);
    return true;
}

struct FolderListing::Impl {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA data;
    bool pending = false;
};

FolderListing::FolderListing(const char* folder) : m_impl(new Impl) {
    std::string pattern = std::string(folder) + "/*.*";
    m_impl->find = FindFirstFileA(pattern.c_str(), &m_impl->data);
    m_impl->pending = m_impl->find != INVALID_HANDLE_VALUE;
}

FolderListing::~FolderListing() {
    if (m_impl->find != INVALID_HANDLE_VALUE) FindClose(m_impl->find);
}

bool FolderListing::IsOpen() const { return m_impl->find != INVALID_HANDLE_VALUE; }

bool FolderListing::Next(std::string& name, bool& isFolder) {
    if (!m_impl->pending) return false;
    name = m_impl->data.cFileName;
    // A junction or folder link is never a folder here: the walk must not leave the tree.
    const DWORD attributes = m_impl->data.dwFileAttributes;
    isFolder =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    m_impl->pending = FindNextFileA(m_impl->find, &m_impl->data) != 0;
    return true;
}

LocalFile::LocalFile()
    : m_handle(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)), m_buffered(0) {}
LocalFile::~LocalFile() { Close(); }

bool LocalFile::Create(const char* path) {
    Close();
    // A link found in its place is removed, never written through.
    if (IsLink(path)) RemoveLink(path);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    m_handle = reinterpret_cast<intptr_t>(h);
    m_buffered = 0;
    return h != INVALID_HANDLE_VALUE;
}

bool LocalFile::WriteThrough(const void* data, size_t len) {
    DWORD written = 0;
    return WriteFile(reinterpret_cast<HANDLE>(m_handle), data, static_cast<DWORD>(len), &written,
                     nullptr) &&
           written == len;
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

// ---- HTTP over WinInet -----------------------------------------------------------------

namespace {

struct InternetHandle {
    HINTERNET h = nullptr;
    explicit InternetHandle(HINTERNET handle) : h(handle) {}
    ~InternetHandle() {
        if (h) InternetCloseHandle(h);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
};

class WinInetResponse : public HttpResponse {
public:
    WinInetResponse(HINTERNET h, InternetHandle& connection)
        : m_connection(connection.h), m_request(h) {
        connection.h = nullptr;
        DWORD value = 0, size = sizeof(value);
        m_hasLength = HttpQueryInfoA(h, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &value,
                                     &size, nullptr) != 0;
        m_length = value;
    }

    size_t Read(void* buf, size_t len) override {
        // Wait for some data, then take only what is there: InternetReadFile alone may
        // wait until the whole buffer is filled, so a server that trickles bytes would
        // hold a read for minutes while the caller's rate check never runs.
        DWORD available = 0;
        if (!InternetQueryDataAvailable(m_request.h, &available, 0, 0)) {
            throw HttpError("InternetQueryDataAvailable failed");
        }
        if (available > 0 && available < len) len = available;
        DWORD n = 0;
        if (!InternetReadFile(m_request.h, buf, static_cast<DWORD>(len), &n)) {
            throw HttpError("InternetReadFile failed");
        }
        m_received += n;
        // A connection that closed before the announced length is a failed transfer,
        // not the end of the file.
        if (n == 0 && m_hasLength && m_received < m_length) throw HttpError("body cut short");
        return n;
    }

    bool ContentLength(uint32_t* value) override {
        if (m_hasLength) *value = m_length;
        return m_hasLength;
    }

    int StatusCode() override {
        DWORD value = 0, size = sizeof(value);
        if (!HttpQueryInfoA(m_request.h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value,
                            &size, nullptr)) {
            return 0;
        }
        return static_cast<int>(value);
    }

    std::string ContentEncoding() override {
        char value[256] = "";
        DWORD size = sizeof(value) - 1;
        if (!HttpQueryInfoA(m_request.h, HTTP_QUERY_CONTENT_ENCODING, value, &size, nullptr)) {
            return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? std::string("?") : std::string();
        }
        return std::string(value, size);
    }

private:
    InternetHandle m_connection;
    InternetHandle m_request;
    bool m_hasLength = false;
    uint32_t m_length = 0;
    uint64_t m_received = 0;
};

}  // namespace

struct HttpSession::Impl {
    HINTERNET internet = nullptr;
    DWORD connectMs = kDefaultConnectTimeoutMs;
    DWORD receiveMs = kDefaultReceiveTimeoutMs;
};

HttpSession::HttpSession(const char* agent) : m_impl(new Impl) {
    m_impl->internet = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!m_impl->internet) throw HttpError("InternetOpen failed");
    SetTimeouts(kDefaultConnectTimeoutMs, kDefaultReceiveTimeoutMs);
}

HttpSession::~HttpSession() {
    if (m_impl->internet) InternetCloseHandle(m_impl->internet);
}

void HttpSession::SetTimeouts(unsigned connectMs, unsigned receiveMs) {
    m_impl->connectMs = connectMs;
    m_impl->receiveMs = receiveMs;
    DWORD c = connectMs, r = receiveMs;
    InternetSetOptionA(m_impl->internet, INTERNET_OPTION_CONNECT_TIMEOUT, &c, sizeof(c));
    InternetSetOptionA(m_impl->internet, INTERNET_OPTION_RECEIVE_TIMEOUT, &r, sizeof(r));
    InternetSetOptionA(m_impl->internet, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &r, sizeof(r));
}

std::unique_ptr<HttpResponse> HttpSession::Open(const char* url) {
    // The request is built step by step (as the framework's OpenURL does for http) so
    // that its time-outs are in force before it is sent.
    char host[256] = "", path[2048] = "";
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof(path);
    if (!InternetCrackUrlA(url, 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP) {
        throw HttpError("not an http URL");
    }
    InternetHandle connection(InternetConnectA(m_impl->internet, host, parts.nPort, nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 1));
    if (!connection.h) throw HttpError("InternetConnect failed");
    // Never answered from the cache nor written to it, and proxies are asked not to
    // answer from theirs: a stale manifest must never be used.
    const DWORD flags = INTERNET_FLAG_TRANSFER_ASCII | INTERNET_FLAG_DONT_CACHE |
                        INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE;
    HINTERNET request =
        HttpOpenRequestA(connection.h, "GET", path, nullptr, nullptr, nullptr, flags, 1);
    if (!request) throw HttpError("HttpOpenRequest failed");
    InternetHandle guard(request);
    DWORD c = m_impl->connectMs, r = m_impl->receiveMs;
    InternetSetOptionA(request, INTERNET_OPTION_CONNECT_TIMEOUT, &c, sizeof(c));
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &r, sizeof(r));
    InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &r, sizeof(r));
    // The body must arrive as the bytes the manifest describes: no compression.
    static const char kHeaders[] = "Accept-Encoding: identity\r\n";
    if (!HttpSendRequestA(request, kHeaders, static_cast<DWORD>(sizeof(kHeaders) - 1), nullptr,
                          0)) {
        throw HttpError("HttpSendRequest failed");
    }
    guard.h = nullptr;
    return std::unique_ptr<HttpResponse>(new WinInetResponse(request, connection));
}

// ---- Processes ----------------------------------------------------------------------------

InstanceGuard::InstanceGuard() : m_handle(0), m_held(false) {}
InstanceGuard::~InstanceGuard() { Release(); }

bool InstanceGuard::Acquire(const char* name) {
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (!h) return false;
    const DWORD r = WaitForSingleObject(h, 0);
    m_handle = reinterpret_cast<intptr_t>(h);
    m_held = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    return m_held;
}

void InstanceGuard::Release() {
    if (!m_handle) return;
    if (m_held) ReleaseMutex(reinterpret_cast<HANDLE>(m_handle));
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = 0;
    m_held = false;
}

void PrepareProcess() {}

bool LaunchProgram(const char* path, const char* param) {
    return reinterpret_cast<INT_PTR>(
               ShellExecuteA(nullptr, "open", path, param, nullptr, SW_SHOW)) > 32;
}

void DebugOutput(const char* text) { OutputDebugStringA(text); }

void ConsoleOutput(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

uint32_t TickCount() { return GetTickCount(); }

namespace {
HWND g_messageOwner = nullptr;
}  // namespace

void win32::SetMessageOwner(HWND owner) { g_messageOwner = owner; }

long LastErrorCode() { return static_cast<long>(GetLastError()); }

std::string ErrorText(long code) {
    if (code == 0) return "";
    // WinInet's codes have their texts in wininet.dll, the others in the system.
    const DWORD id = static_cast<DWORD>(code);
    HMODULE wininet = id >= INTERNET_ERROR_BASE && id <= INTERNET_ERROR_LAST
                          ? GetModuleHandleA("wininet.dll")
                          : nullptr;
    char text[512] = "";
    DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS |
                  (wininet ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    DWORD n = FormatMessageA(flags, wininet, id, 0, text, sizeof(text), nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
    return std::string(text, n);
}

namespace detail {

void SystemLocalTime(std::tm* out) {
    time_t now = time(nullptr);
    localtime_s(out, &now);
}

int SystemMessageBox(const char* text, const char* caption, unsigned style) {
    char name[MAX_PATH] = "";
    if (!caption) {
        // The program's name: the executable's base name without its extension.
        char module[MAX_PATH];
        if (ModulePath(module, sizeof(module))) {
            const char* base = strrchr(module, '\\');
            base = base ? base + 1 : module;
            snprintf(name, sizeof(name), "%s", base);
            if (char* dot = strrchr(name, '.')) *dot = '\0';
        }
        caption = name;
    }
    HWND owner = g_messageOwner;
    return MessageBoxA(owner, text, caption, owner ? style : style | MB_TASKMODAL);
}

}  // namespace detail
}  // namespace platform
