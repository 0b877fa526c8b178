// The process on Windows: the executable's own path, the single-instance mutex, starting
// the lobby, the system's errors and their texts, the clock and the message box.
#include <windows.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/win32/system_dlls.h"
#include "platform/platform_detail.h"
#include "platform/win32/win32.h"

namespace platform {

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

namespace {

// The volume and file index of `path`: the same pair means the same file.
bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    const win32::FileHandle file(
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && GetFileInformationByHandle(file.get(), info);
}

}  // namespace

bool IsOwnExecutable(const char* path) {
    char self[MAX_PATH];
    BY_HANDLE_FILE_INFORMATION a, b;
    return ModulePath(self, sizeof(self)) && FileIdentity(self, &a) && FileIdentity(path, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

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

void PrepareProcess() { win32::RestrictDllSearch(); }

struct HeldProgram::Impl {
    win32::FileHandle file;
    std::string path;
};

HeldProgram::HeldProgram() : m_impl(new Impl) {}
HeldProgram::~HeldProgram() = default;

bool HeldProgram::Open(const HeldFolder& folder, const char* name, const char* path) {
    m_impl->path = path;
    if (!folder.IsOpen()) return false;
    // Read sharing only: the system may still open it to run it, nobody may write,
    // rename or remove it.
    m_impl->file = win32::FileHandle(CreateFileA((folder.Path() + name).c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!m_impl->file || GetFileType(m_impl->file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(m_impl->file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        m_impl->file.reset();
        return false;
    }
    return true;
}

long HeldProgram::Read(void* buffer, size_t size) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    if (!ReadFile(m_impl->file.get(), buffer, want, &n, nullptr)) return -1;
    return static_cast<long>(n);
}

void HeldProgram::Close() { m_impl->file.reset(); }

bool HeldProgram::Launch(const char* param) {
    // By its name, which is the held file's while it is held.
    return m_impl->file &&
           reinterpret_cast<INT_PTR>(
               ShellExecuteA(nullptr, "open", m_impl->path.c_str(), param, nullptr, SW_SHOW)) > 32;
}

namespace {
HWND g_messageOwner = nullptr;
}  // namespace

void win32::SetMessageOwner(HWND owner) { g_messageOwner = owner; }

long LastErrorCode() { return static_cast<long>(GetLastError()); }

std::string ErrorText(long code) {
    if (code == 0) return "";
    // WinInet's codes have their texts in wininet.dll, the others in the system.
    const DWORD id = static_cast<DWORD>(code);
    HMODULE wininet = id >= INTERNET_ERROR_BASE && id <= INTERNET_ERROR_LAST && win32::WinInet()
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

uint32_t SystemTickCount() { return GetTickCount(); }

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
