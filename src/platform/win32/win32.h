// Shared inside the Windows implementation of the platform layer: owners of the system's
// handles, and the window that owns the message boxes.
#pragma once

#include <windows.h>
#include <wininet.h>

namespace platform::win32 {

// The one owner of a handle: gives it back with Traits::Close when it goes, unless
// release() has handed it to another owner first. Traits::Invalid() holds nothing.
template <class Traits>
class Unique {
public:
    using Handle = typename Traits::Handle;

    Unique() = default;
    explicit Unique(Handle handle) : m_handle(handle) {}
    ~Unique() { reset(); }
    Unique(Unique&& other) noexcept : m_handle(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != Traits::Invalid(); }
    // The handle, no longer closed here: the caller owns it now.
    Handle release() {
        const Handle handle = m_handle;
        m_handle = Traits::Invalid();
        return handle;
    }
    void reset(Handle handle = Traits::Invalid()) {
        if (*this) Traits::Close(m_handle);
        m_handle = handle;
    }

private:
    Handle m_handle = Traits::Invalid();
};

// CreateFile's handles.
struct FileTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
// FindFirstFile's searches.
struct FindTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { FindClose(h); }
};
// WinInet's sessions, connections and requests.
struct InternetTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h);  // with the WinInet loaded from the system folder
};
// Memory device contexts (CreateCompatibleDC).
struct MemoryDcTraits {
    using Handle = HDC;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { DeleteDC(h); }
};
// Bitmaps, fonts and other GDI objects. One must not be selected into a device context
// when it goes (see Selection).
template <class Object>
struct GdiTraits {
    using Handle = Object;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { DeleteObject(h); }
};

using FileHandle = Unique<FileTraits>;
using FindHandle = Unique<FindTraits>;
using InternetHandle = Unique<InternetTraits>;
using MemoryDc = Unique<MemoryDcTraits>;
template <class Object>
using GdiObject = Unique<GdiTraits<Object>>;

// A GDI object selected into a device context until the end of the scope, when the one
// it replaced is put back.
class Selection {
public:
    Selection(HDC dc, HGDIOBJ object) : m_dc(dc), m_previous(SelectObject(dc, object)) {}
    ~Selection() {
        if (m_previous && m_previous != HGDI_ERROR) SelectObject(m_dc, m_previous);
    }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

// The device context of one WM_PAINT, from BeginPaint to EndPaint.
class PaintDc {
public:
    explicit PaintDc(HWND hwnd) : m_hwnd(hwnd), m_dc(BeginPaint(hwnd, &m_paint)) {}
    ~PaintDc() { EndPaint(m_hwnd, &m_paint); }
    PaintDc(const PaintDc&) = delete;
    PaintDc& operator=(const PaintDc&) = delete;
    HDC get() const { return m_dc; }

private:
    HWND m_hwnd;
    PAINTSTRUCT m_paint;
    HDC m_dc;
};

// The window that owns the program's message boxes while it is open.
void SetMessageOwner(HWND owner);

// The function `name` of `dll` into `slot`; false when the DLL lacks it.
template <class F>
bool GetFunction(HMODULE dll, const char* name, F* slot) {
    *slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    return *slot != nullptr;
}

// True when a file or folder owned by `owner` may be trusted: the user the updater runs
// as, Administrators, SYSTEM or TrustedInstaller.
bool IsTrustedOwner(PSID owner);

}  // namespace platform::win32
