// The DLLs that are not among Windows' known DLLs (WinInet, GDI+, the common controls),
// loaded while the program runs from the system folder alone. An imported DLL is looked
// for in the exe's own folder first, and a game folder may be writable by users who are
// not administrators: whoever put a "wininet.dll" there would run code with the
// updater's rights before its first line.
#pragma once

#include <windows.h>
#include <wininet.h>
// GDI+'s declarations only: its C++ classes are not used (they would import gdiplus.dll).
#include <gdiplus.h>

namespace platform::win32 {

// Leaves only the system folder in this process's DLL search, for every later load (and
// the DLLs those load). Called first thing.
void RestrictDllSearch();

// The WinInet functions the program calls.
struct WinInetApi {
    decltype(&::InternetOpenA) InternetOpenA;
    decltype(&::InternetConnectA) InternetConnectA;
    decltype(&::InternetCrackUrlA) InternetCrackUrlA;
    decltype(&::InternetSetOptionA) InternetSetOptionA;
    decltype(&::InternetQueryDataAvailable) InternetQueryDataAvailable;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
    decltype(&::HttpOpenRequestA) HttpOpenRequestA;
    decltype(&::HttpSendRequestA) HttpSendRequestA;
    decltype(&::HttpQueryInfoA) HttpQueryInfoA;
};
// Null when wininet.dll or one of its functions could not be had from the system folder
// (GetLastError says why).
const WinInetApi* WinInet();

// The GDI+ functions the skin's loading calls.
struct GdiplusApi {
    decltype(&Gdiplus::GdiplusStartup) GdiplusStartup;
    decltype(&Gdiplus::GdiplusShutdown) GdiplusShutdown;
    decltype(&Gdiplus::DllExports::GdipCreateBitmapFromFile) GdipCreateBitmapFromFile;
    decltype(&Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap) GdipCreateHBITMAPFromBitmap;
    decltype(&Gdiplus::DllExports::GdipDisposeImage) GdipDisposeImage;
};
// Null when gdiplus.dll could not be had: the window then shows no skin file.
const GdiplusApi* Gdiplus();

// InitCommonControls from the system's comctl32.dll (the version the exe's manifest asks
// for); nothing when it cannot be had.
void InitCommonControlsFromSystem();

}  // namespace platform::win32
