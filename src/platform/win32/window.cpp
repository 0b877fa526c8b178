// The progress window on Windows: a modal dialog from template 102, painted from the
// skin bitmaps (or from data\update.bmp beside the executable, through GDI+).
#include <windows.h>
#include <windowsx.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/window.h"
#include "platform/win32/system_dlls.h"
#include "platform/win32/win32.h"
#include "resource.h"

namespace platform {
namespace {

using Bitmap = win32::GdiObject<HBITMAP>;

// A GDI bitmap and its size.
struct Skin {
    Bitmap bitmap;
    Size size{0, 0};
    void Attach(Bitmap b) {
        bitmap = std::move(b);
        BITMAP info{};
        if (bitmap && GetObject(bitmap.get(), sizeof(info), &info)) {
            size = {info.bmWidth, info.bmHeight};
        }
    }
};

// The skin file: any format GDI+ reads. None when it is missing or unreadable, or when
// GDI+ could not be had.
Bitmap LoadSkinFile(const char* path) {
    const win32::GdiplusApi* gdiplus = win32::Gdiplus();
    wchar_t wide[MAX_PATH];
    if (!gdiplus || !MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)) return {};
    Gdiplus::GpBitmap* image = nullptr;
    if (gdiplus->GdipCreateBitmapFromFile(wide, &image) != Gdiplus::Ok || !image) return {};
    HBITMAP bitmap = nullptr;
    if (gdiplus->GdipCreateHBITMAPFromBitmap(image, &bitmap, 0xFF000000) != Gdiplus::Ok) {
        bitmap = nullptr;
    }
    gdiplus->GdipDisposeImage(image);
    return Bitmap(bitmap);
}

// GDI+ from start-up to shutdown; every GDI+ object must be gone before it ends.
class GdiplusSession {
public:
    GdiplusSession() : m_api(win32::Gdiplus()) {
        Gdiplus::GdiplusStartupInput input;
        if (m_api && m_api->GdiplusStartup(&m_token, &input, nullptr) != Gdiplus::Ok)
            m_api = nullptr;
    }
    ~GdiplusSession() {
        if (m_api) m_api->GdiplusShutdown(m_token);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;

private:
    const win32::GdiplusApi* m_api;
    ULONG_PTR m_token = 0;
};

// Draws into the paint's back buffer.
class DcCanvas : public Canvas {
public:
    DcCanvas(HDC target, Skin* skins)
        : m_target(target), m_skins(skins), m_source(CreateCompatibleDC(target)) {}

    void BitBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY) override {
        win32::Selection selected(m_source.get(), Source(image));
        ::BitBlt(m_target, x, y, cx, cy, m_source.get(), srcX, srcY, SRCCOPY);
    }
    void StretchBlt(SkinImage image, int x, int y, int cx, int cy, int srcX, int srcY, int srcCx,
                    int srcCy) override {
        win32::Selection selected(m_source.get(), Source(image));
        ::StretchBlt(m_target, x, y, cx, cy, m_source.get(), srcX, srcY, srcCx, srcCy, SRCCOPY);
    }
    void Text(int x, int y, const char* text) override {
        TextOutA(m_target, x, y, text, static_cast<int>(strlen(text)));
    }

private:
    HBITMAP Source(SkinImage image) { return m_skins[static_cast<int>(image)].bitmap.get(); }
    HDC m_target;
    Skin* m_skins;
    win32::MemoryDc m_source;
};

class DialogWindow : public WindowHost {
public:
    explicit DialogWindow(WindowEvents& events) : m_events(events) {
        m_instance = GetModuleHandleA(nullptr);
        m_icon = LoadIconA(m_instance, MAKEINTRESOURCEA(IDI_UPDATE_ICON));
        m_font.reset(CreateFontA(12, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, ANSI_CHARSET, 0, 0,
                                 0, 0, "宋体"));
        // The skin file beside the executable replaces the built-in background.
        char module[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, module, sizeof(module));
        if (n > 0 && n < sizeof(module)) {
            char* sep = strrchr(module, '\\');
            if (sep) sep[1] = '\0';
            std::string skinPath = std::string(module) + "\\data\\update.bmp";
            Background().Attach(LoadSkinFile(skinPath.c_str()));
        }
        if (!Background().bitmap) Background().Attach(LoadResourceBitmap(IDB_BACKGROUND));
        m_skins[static_cast<int>(SkinImage::Button)].Attach(LoadResourceBitmap(IDB_BUTTON));
        m_skins[static_cast<int>(SkinImage::Bar)].Attach(LoadResourceBitmap(IDB_BAR));
    }

    // False when the dialog could not be made (-1): it ends only by EndDialog with IDOK
    // or IDCANCEL otherwise.
    bool Run() {
        return DialogBoxParamA(m_instance, MAKEINTRESOURCEA(IDD_UPDATE_DIALOG), nullptr,
                               &DialogWindow::Proc, reinterpret_cast<LPARAM>(this)) > 0;
    }

    Size ImageSize(SkinImage image) override { return m_skins[static_cast<int>(image)].size; }
    void SetTitle(const char* title) override { SetWindowTextA(m_hwnd, title); }
    void Resize(int cx, int cy) override {
        SetWindowPos(m_hwnd, nullptr, 0, 0, cx, cy, SWP_NOMOVE);
    }
    void SetTimer(unsigned id, unsigned periodMs) override {
        ::SetTimer(m_hwnd, id, periodMs, nullptr);
    }
    void KillTimer(unsigned id) override { ::KillTimer(m_hwnd, id); }
    void Invalidate() override { InvalidateRect(m_hwnd, nullptr, TRUE); }
    void Close() override { SendMessageA(m_hwnd, WM_CLOSE, 0, 0); }
    void StartDrag() override { SendMessageA(m_hwnd, WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0); }
    int Alert(const char* text, const char* caption, unsigned style) override {
        return MessageBoxA(m_hwnd, text, caption ? caption : AppName().c_str(), style);
    }

private:
    Skin& Background() { return m_skins[static_cast<int>(SkinImage::Background)]; }
    Bitmap LoadResourceBitmap(int id) {
        return Bitmap(LoadBitmapA(m_instance, MAKEINTRESOURCEA(id)));
    }

    // The program's name as message box captions show it: the executable's base name.
    static std::string AppName() {
        char module[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, module, sizeof(module));
        if (n == 0 || n >= sizeof(module)) return "";
        const char* base = strrchr(module, '\\');
        std::string name = base ? base + 1 : module;
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos) name.resize(dot);
        return name;
    }

    void Paint() {
        const win32::PaintDc dc(m_hwnd);
        RECT client;
        GetClientRect(m_hwnd, &client);
        // Painted off screen first, then shown at once: ten repaints a second do not flicker.
        // Declared in this order, the selections are undone before the buffer and its
        // device context go.
        const win32::MemoryDc back(CreateCompatibleDC(dc.get()));
        const Bitmap buffer(CreateCompatibleBitmap(dc.get(), client.right, client.bottom));
        const win32::Selection bufferSelected(back.get(), buffer.get());
        const win32::Selection fontSelected(back.get(), m_font.get());
        SetBkMode(back.get(), TRANSPARENT);
        SetTextColor(back.get(), RGB(0, 0, 0));
        {
            DcCanvas canvas(back.get(), m_skins);
            m_events.OnPaint(canvas);
        }
        ::BitBlt(dc.get(), 0, 0, client.right, client.bottom, back.get(), 0, 0, SRCCOPY);
    }

    static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        DialogWindow* self =
            reinterpret_cast<DialogWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        switch (msg) {
            case WM_INITDIALOG:
                self = reinterpret_cast<DialogWindow*>(lp);
                SetWindowLongPtrA(hwnd, GWLP_USERDATA, lp);
                self->m_hwnd = hwnd;
                win32::SetMessageOwner(hwnd);
                SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(self->m_icon));
                SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(self->m_icon));
                self->m_events.OnInitDialog(*self);
                return TRUE;
            case WM_PAINT:
                self->Paint();
                return TRUE;
            case WM_ERASEBKGND:
                SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, TRUE);
                return TRUE;
            case WM_QUERYDRAGICON:
                return reinterpret_cast<INT_PTR>(self->m_icon);
            case WM_TIMER:
                self->m_events.OnTimer(static_cast<unsigned>(wp));
                return FALSE;
            case WM_LBUTTONDOWN:
                self->m_events.OnLButtonDown(GET_X_LPARAM(lp), GET_Y_LPARAM(lp));
                return TRUE;
            case WM_MOUSEMOVE:
                self->m_events.OnMouseMove(GET_X_LPARAM(lp), GET_Y_LPARAM(lp));
                return TRUE;
            case WM_COMMAND:
                // Enter (IDOK), Escape and the close that WM_CLOSE turns into (IDCANCEL).
                if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
                    EndDialog(hwnd, LOWORD(wp));
                    return TRUE;
                }
                return FALSE;
            case WM_DESTROY:
                if (self) self->m_events.OnDestroy();
                win32::SetMessageOwner(nullptr);
                return FALSE;
            default:
                return FALSE;
        }
    }

    WindowEvents& m_events;
    HINSTANCE m_instance = nullptr;
    HWND m_hwnd = nullptr;
    HICON m_icon = nullptr;  // LoadIcon's icons are shared: never destroyed
    win32::GdiObject<HFONT> m_font;
    Skin m_skins[3];
};

}  // namespace

bool RunWindow(WindowEvents& events) {
    win32::InitCommonControlsFromSystem();
    const GdiplusSession gdiplus;
    DialogWindow window(events);
    return window.Run();
}

}  // namespace platform
