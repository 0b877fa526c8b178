// The resources of the Windows exe, as the system reads them: the window's template,
// the skin bitmaps, the icon, all in Chinese (PRC); and the application manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "resource.h"

namespace {

const WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 2052

const BYTE* Resource(LPCSTR type, int id, DWORD* size) {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC r = FindResourceExA(self, type, MAKEINTRESOURCEA(id), kChinesePrc);
    if (!r) return nullptr;
    *size = SizeofResource(self, r);
    return static_cast<const BYTE*>(LockResource(LoadResource(self, r)));
}

WORD Word(const BYTE*& p) {
    WORD w;
    memcpy(&w, p, 2);
    p += 2;
    return w;
}
DWORD Dword(const BYTE*& p) {
    DWORD d;
    memcpy(&d, p, 4);
    p += 4;
    return d;
}

// The window made of the template paints itself: no caption or border to draw over the
// skin, no control of its own, no caption text, and a taskbar button to find it by.
// (Read from the template: a unit test has no display to make the window on.)
TEST(Resources, TheDialogIsABareWindowWithATaskbarButton) {
    DWORD size = 0;
    const BYTE* p = Resource(RT_DIALOG, IDD_UPDATE_DIALOG, &size);
    ASSERT_NE(p, nullptr);
    ASSERT_GE(size, 26u + 3 * 2);
    EXPECT_EQ(Word(p), 1);  // an extended template (DLGTEMPLATEEX)
    EXPECT_EQ(Word(p), 0xFFFF);
    p += 4;  // helpID
    const DWORD exStyle = Dword(p), style = Dword(p);
    EXPECT_NE(exStyle & WS_EX_APPWINDOW, 0u);
    EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME | WS_BORDER | WS_DLGFRAME), 0u);
    EXPECT_NE(style & WS_POPUP, 0u);
    EXPECT_EQ(Word(p), 0);  // controls
    p += 8;                 // x, y, cx, cy
    EXPECT_EQ(Word(p), 0);  // no menu
    EXPECT_EQ(Word(p), 0);  // the default dialog class
    EXPECT_EQ(Word(p), 0);  // an empty caption
}

TEST(Resources, SkinBitmaps) {
    struct Case {
        int id;
        LONG width, height;
    } cases[] = {{IDB_BACKGROUND, 368, 91}, {IDB_BAR, 12, 10}, {IDB_BUTTON, 212, 20}};
    for (const Case& c : cases) {
        DWORD size = 0;
        const BYTE* p = Resource(RT_BITMAP, c.id, &size);
        ASSERT_NE(p, nullptr) << c.id;
        BITMAPINFOHEADER info;
        memcpy(&info, p, sizeof(info));
        EXPECT_EQ(info.biWidth, c.width) << c.id;
        EXPECT_EQ(info.biHeight < 0 ? -info.biHeight : info.biHeight, c.height) << c.id;
        EXPECT_EQ(info.biBitCount, 24) << c.id;
        EXPECT_EQ(info.biCompression, static_cast<DWORD>(BI_RGB)) << c.id;
    }
}

TEST(Resources, IconIsOne64By64ImageOf32Bits) {
    DWORD size = 0;
    const BYTE* p = Resource(RT_GROUP_ICON, IDI_UPDATE_ICON, &size);
    ASSERT_NE(p, nullptr);
    Word(p);                          // reserved
    EXPECT_EQ(Word(p), 1);            // type: icon
    ASSERT_EQ(Word(p), 1);            // one image
    EXPECT_EQ(p[0], 64);              // width
    EXPECT_EQ(p[1], 64);              // height
    EXPECT_EQ(p[6] | p[7] << 8, 32);  // bits per pixel
    EXPECT_NE(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_UPDATE_ICON)), nullptr);
}

TEST(Resources, ManifestAsksForAdministratorAndCommonControls6) {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC r = FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(r, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(self, r)));
    const std::string manifest(text, SizeofResource(self, r));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
}

}  // namespace
