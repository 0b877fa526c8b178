#include "platform/win32/system_dlls.h"

#include <string>

#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32 is known to Windows 8 and later, and to Windows 7 with
// KB2533623; SetDefaultDllDirectories tells whether this system has it.
bool SearchFlagsKnown() {
    static const bool known =
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories") != nullptr;
    return known;
}

// `name` from the system folder: by that flag where the system knows it, otherwise by
// its full path (the DLLs it imports then come from the restricted search).
HMODULE LoadSystemDll(const char* name) {
    if (SearchFlagsKnown()) return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    char folder[MAX_PATH];
    const UINT n = GetSystemDirectoryA(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    return LoadLibraryExA((std::string(folder, n) + "\\" + name).c_str(), nullptr,
                          LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

void RestrictDllSearch() {
    using SetDefault = BOOL(WINAPI*)(DWORD);
    SetDefault setDefault = nullptr;
    if (GetFunction(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories", &setDefault)) {
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        SetDllDirectoryA("");  // older systems: at least not the current folder
    }
}

const WinInetApi* WinInet() {
    static WinInetApi api;
    static const bool loaded = [] {
        const HMODULE dll = LoadSystemDll("wininet.dll");
        return dll && GetFunction(dll, "InternetOpenA", &api.InternetOpenA) &&
               GetFunction(dll, "InternetConnectA", &api.InternetConnectA) &&
               GetFunction(dll, "InternetCrackUrlA", &api.InternetCrackUrlA) &&
               GetFunction(dll, "InternetSetOptionA", &api.InternetSetOptionA) &&
               GetFunction(dll, "InternetQueryDataAvailable", &api.InternetQueryDataAvailable) &&
               GetFunction(dll, "InternetReadFile", &api.InternetReadFile) &&
               GetFunction(dll, "InternetCloseHandle", &api.InternetCloseHandle) &&
               GetFunction(dll, "HttpOpenRequestA", &api.HttpOpenRequestA) &&
               GetFunction(dll, "HttpSendRequestA", &api.HttpSendRequestA) &&
               GetFunction(dll, "HttpQueryInfoA", &api.HttpQueryInfoA);
    }();
    return loaded ? &api : nullptr;
}

const GdiplusApi* Gdiplus() {
    static GdiplusApi api;
    static const bool loaded = [] {
        const HMODULE dll = LoadSystemDll("gdiplus.dll");
        return dll && GetFunction(dll, "GdiplusStartup", &api.GdiplusStartup) &&
               GetFunction(dll, "GdiplusShutdown", &api.GdiplusShutdown) &&
               GetFunction(dll, "GdipCreateBitmapFromFile", &api.GdipCreateBitmapFromFile) &&
               GetFunction(dll, "GdipCreateHBITMAPFromBitmap", &api.GdipCreateHBITMAPFromBitmap) &&
               GetFunction(dll, "GdipDisposeImage", &api.GdipDisposeImage);
    }();
    return loaded ? &api : nullptr;
}

void InitCommonControlsFromSystem() {
    const HMODULE dll = LoadSystemDll("comctl32.dll");
    using Init = void(WINAPI*)();
    Init init = nullptr;
    if (dll && GetFunction(dll, "InitCommonControls", &init)) init();
}

}  // namespace platform::win32
