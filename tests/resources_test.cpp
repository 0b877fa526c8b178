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
std::wstring String(const BYTE*& p) {
    std::wstring s;
    for (WORD c; (c = Word(p)) != 0;) s += static_cast<wchar_t>(c);
    return s;
}

TEST(Resources, DialogTemplateIsTheCaptionlessExtendedOne) {
    DWORD size = 0;
    const BYTE* p = Resource(RT_DIALOG, IDD_UPDATE_DIALOG, &size);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Word(p), 1);             // dlgVer
    EXPECT_EQ(Word(p), 0xFFFF);        // signature: DLGTEMPLATEEX
    Dword(p);                          // helpID
    EXPECT_EQ(Dword(p), 0x00040000u);  // WS_EX_APPWINDOW
    EXPECT_EQ(Dword(p), 0x90080048u);  // WS_POPUP|WS_VISIBLE|WS_SYSMENU|DS_SETFONT|DS_FIXEDSYS
    EXPECT_EQ(Word(p), 0);             // no controls
    EXPECT_EQ(Word(p), 0);             // x
    EXPECT_EQ(Word(p), 0);             // y
    EXPECT_EQ(Word(p), 267);           // cx
    EXPECT_EQ(Word(p), 157);           // cy
    EXPECT_EQ(Word(p), 0);             // no menu
    EXPECT_EQ(Word(p), 0);             // the default dialog class
    EXPECT_EQ(String(p), L"");         // empty caption
    EXPECT_EQ(Word(p), 9);             // points
    EXPECT_EQ(Word(p), 0);             // weight
    EXPECT_EQ(*p++, 0);                // not italic
    EXPECT_EQ(*p++, 1);                // character set
    EXPECT_EQ(String(p), L"MS Shell Dlg");
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
