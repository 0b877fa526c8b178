// The layer below the updater: everything that differs between Windows and POSIX.
// Paths and texts are GBK bytes; either "\" or "/" may separate path components.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/printf.h"

namespace platform {

// ---- Texts and paths ------------------------------------------------------------

// The path as the operating system's file functions take it: unchanged on Windows
// (the ANSI functions read GBK under code page 936); on POSIX converted to UTF-8 with
// "\" turned into "/".
std::string NativePath(const char* path);

// ---- Files and folders ----------------------------------------------------------

// fopen on a GBK path, for regular files only: a link in the last component is never
// followed and a pipe or device never opened; opened for writing, such an entry is
// removed and a regular file made in its place. Not inherited by started programs.
FILE* OpenFile(const char* path, const char* mode);
// The whole file at `path` (opened by OpenFile) into `bytes`; false when it can't be
// opened or read, or holds more than `limit` bytes.
bool ReadWholeFile(const char* path, size_t limit, std::string& bytes);
// `bytes` as the whole file at `path` (created or truncated).
bool WriteWholeFile(const char* path, const std::string& bytes);
// True when the system takes the GBK `name` as exactly these characters (on POSIX it
// converts to UTF-8 completely; on Windows code page 936 maps it to Unicode and back).
bool IsConvertibleName(const char* name);
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
// Has `src` moved over `dst` when the system next restarts (on POSIX: when the updater
// next starts, see ApplyPendingReplacements).
bool ReplaceAtRestart(const char* src, const char* dst);
// POSIX: carries out the replacements recorded by ReplaceAtRestart. Nothing on Windows,
// where the system does it.
void ApplyPendingReplacements();
bool SetCurrentFolder(const char* path);
// Full path of the running executable; false when it does not fit `size` bytes or
// cannot be written in GBK for the engine (a character outside code page 936; on POSIX
// also a "\\" in a folder's name).
bool ModulePath(char* out, size_t size);
// The folder of the running executable, without its last separator; empty when the
// executable's path is unknown or holds no separator. `out` has room for 260 bytes.
void GetModuleDir(char* out);
// Tests name another folder for GetModuleDir (a fresh install folder); null restores
// the executable's own.
void SetModuleDirForTesting(const char* folder);

// The size of the regular file at `path`; false for anything else (missing, a folder,
// a link, a device) or when it cannot be read.
bool RegularFileSize(const char* path, uint64_t* size);
// Renames `from` to `to`, replacing `to`, without asking whether it is in use.
bool RenameFile(const char* from, const char* to);
// True where the file system takes "A.txt" and "a.txt" for one name (Windows).
bool NamesIgnoreCase();
// True when `path` names the running executable's own file.
bool IsOwnExecutable(const char* path);

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

// A failure of the system: what() names the step that failed and, when the system gave
// one, its error code and text, e.g. "InternetConnect failed (12029: ...)". The text is
// what the log's line "下载失败<file>:<reason>" shows as the reason.
class SystemError : public std::runtime_error {
public:
    explicit SystemError(const char* step);
    // `reason`: the system's text for `code` (see ErrorText); cut to a bounded length.
    SystemError(const char* step, long code, const std::string& reason);
    long Code() const { return m_code; }

private:
    long m_code;
};

struct FileError : SystemError {
    using SystemError::SystemError;
};

// The calling thread's last error (errno; GetLastError on Windows).
long LastErrorCode();
// The system's text for an error code from LastErrorCode (on Windows also WinInet's
// codes), as GBK for the log; empty when the system has none.
std::string ErrorText(long code);
// A SystemError for `step` from the calling thread's last error.
template <class Error>
Error LastError(const char* step) {
    const long code = LastErrorCode();
    return Error(step, code, ErrorText(code));
}

// ---- HTTP -----------------------------------------------------------------------

struct HttpError : SystemError {
    using SystemError::SystemError;
    // Set when the server's certificate did not verify (https): not the server the
    // build names, or one the system's certificate authorities do not vouch for.
    bool certificate = false;
};

// One response being read. Reads are pulled by the caller, chunk by chunk.
class HttpResponse {
public:
    virtual ~HttpResponse() = default;
    // The HTTP status code of the final response (after redirects).
    virtual int StatusCode() = 0;
    // The response's Content-Encoding, empty when it has none.
    virtual std::string ContentEncoding() = 0;
    // Up to `len` bytes of the body; 0 at its end. Throws HttpError when the transfer
    // fails, stalls past the receive time-out, or ends before its Content-Length.
    virtual size_t Read(void* buf, size_t len) = 0;
    // The Content-Length of the response, when the server sent one.
    virtual bool ContentLength(uint32_t* value) = 0;
};

// The program's internet session: the system's proxy settings, redirects followed,
// nothing read from or written to a cache.
class HttpSession {
public:
    // Time-outs of connecting and of waiting for more data, in milliseconds.
    static constexpr unsigned kDefaultConnectTimeoutMs = 30000;
    static constexpr unsigned kDefaultReceiveTimeoutMs = 30000;

    explicit HttpSession(const char* agent);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;
    void SetTimeouts(unsigned connectMs, unsigned receiveMs);
    // Sends the GET request and waits for the response's headers. Throws HttpError when
    // the URL can't be opened. The status code is the caller's to examine. No compressed
    // encoding is asked for.
    std::unique_ptr<HttpResponse> Open(const char* url);

    struct Impl;  // the implementation's own state

private:
    std::unique_ptr<Impl> m_impl;
};

// ---- Processes ------------------------------------------------------------------

// The single-instance guard: held until the process ends, released by the system when
// the process dies.
class InstanceGuard {
public:
    InstanceGuard();
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;
    // True when this process now holds `name` (also when a dead holder left it).
    bool Acquire(const char* name);
    // Gives the guard up (tests only: the program keeps it until it ends).
    void Release();

private:
    intptr_t m_handle;
    bool m_held;
};

// Sets the process up before anything else runs: on POSIX a reader of standard output
// that went away (a closed pipe) must not end the process.
void PrepareProcess();

// Starts `path` with the parameter text `param`; does not wait for it. The program
// inherits none of the updater's files, sockets or handles.
bool LaunchProgram(const char* path, const char* param);

// A line for a debugger (OutputDebugStringA); nothing on POSIX.
void DebugOutput(const char* text);

// Text for the user's console: as is on Windows, converted to UTF-8 on POSIX.
void ConsoleOutput(const char* text);

// ---- The window ------------------------------------------------------------------
//
// The progress window is portable logic (WindowEvents) driven by the platform: a real
// dialog on Windows, a terminal front end on POSIX.

enum class SkinImage { Background, Button, Bar };

struct Size {
    int cx;
    int cy;
};

// What the window's painting draws on.
class Canvas {
public:
    virtual ~Canvas() = default;
    virtual void BitBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY) = 0;
    virtual void StretchBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY,
                            int srcCx, int srcCy) = 0;
    virtual void Text(int x, int y, const char* text) = 0;
};

// What the window offers its logic.
class WindowHost {
public:
    virtual ~WindowHost() = default;
    virtual Size ImageSize(SkinImage image) = 0;
    virtual void SetTitle(const char* title) = 0;
    // Sets the window's size, leaving its position.
    virtual void Resize(int cx, int cy) = 0;
    virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
    virtual void KillTimer(unsigned id) = 0;
    // Repaints the whole window.
    virtual void Invalidate() = 0;
    // Asks the window to close (WM_CLOSE); the modal run then ends.
    virtual void Close() = 0;
    // Lets the user drag the window by any point (the window has no caption).
    virtual void StartDrag() = 0;
    // A message box owned by the window.
    virtual int Alert(const char* text, const char* caption, unsigned style) = 0;
};

// The window's logic, called on the UI thread.
class WindowEvents {
public:
    virtual ~WindowEvents() = default;
    virtual bool OnInitDialog(WindowHost& host) = 0;
    virtual void OnTimer(unsigned id) = 0;
    virtual void OnPaint(Canvas& canvas) = 0;
    virtual void OnLButtonDown(int x, int y) = 0;
    virtual void OnMouseMove(int x, int y) = 0;
    virtual void OnDestroy() = 0;
};

// Shows the window and runs it modally until it closes.
void RunWindow(WindowEvents& events);

// ---- Clock and message boxes ------------------------------------------------------

// The local date and time.
void LocalTime(std::tm* out);
// Tests replace the clock to get reproducible files; null restores the real one.
void SetClockForTesting(void (*clock)(std::tm* out));

// Milliseconds from an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();

// Message boxes, shown on the calling thread and modal to it.
enum MessageStyle : unsigned { kMbOk = 0x0, kMbYesNo = 0x4 };
enum MessageAnswer : int { kIdOk = 1, kIdYes = 6, kIdNo = 7 };
// `caption` null: the program's name. Returns the button pressed.
int ShowMessageBox(const char* text, const char* caption, unsigned style);
// A printf-style text in an OK box with the program's name; texts past 2047 bytes are
// cut. Returns when the user has closed it.
UPDATER_PRINTF(1, 2) void ShowMessage(const char* format, ...);
// Tests answer message boxes through a hook; null restores the real boxes.
void SetMessageBoxHookForTesting(int (*hook)(const char* text, const char* caption,
                                             unsigned style));

}  // namespace platform
