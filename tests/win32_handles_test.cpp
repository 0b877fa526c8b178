// The owners of Windows handles: each handle is closed exactly once, by whoever holds it
// last, and what painting selects into a device context is put back.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/win32/win32.h"
#include "test_util.h"

namespace {

using platform::win32::FileHandle;

// Opened without sharing: while it is open, nobody else can open the file.
HANDLE OpenAlone(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool IsOpen(const std::string& path) {
    const HANDLE other = OpenAlone(path);
    if (other == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(other);
    return false;
}

TEST(Win32Handles, AFileIsClosedByItsLastOwnerOnly) {
    testutil::TempDir dir;
    const std::string a = dir.Join("a"), b = dir.Join("b");
    {
        FileHandle file(OpenAlone(a));
        ASSERT_TRUE(file);
        EXPECT_TRUE(IsOpen(a));
    }
    EXPECT_FALSE(IsOpen(a));

    // Moved: the new owner closes it, the old one no longer does.
    FileHandle outer;
    {
        FileHandle inner(OpenAlone(a));
        outer = std::move(inner);
        EXPECT_FALSE(inner);
    }
    EXPECT_TRUE(IsOpen(a));
    // Given another handle: the first is closed at once.
    outer.reset(OpenAlone(b));
    EXPECT_FALSE(IsOpen(a));
    EXPECT_TRUE(IsOpen(b));

    // Released: left open for the caller.
    const HANDLE raw = outer.release();
    EXPECT_FALSE(outer);
    EXPECT_TRUE(IsOpen(b));
    CloseHandle(raw);
    EXPECT_FALSE(IsOpen(b));
}

TEST(Win32Handles, SelectionsArePutBackInTurn) {
    platform::win32::MemoryDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    const HGDIOBJ firstBitmap = GetCurrentObject(dc.get(), OBJ_BITMAP);
    platform::win32::GdiObject<HBITMAP> outer(CreateCompatibleBitmap(dc.get(), 4, 4));
    platform::win32::GdiObject<HBITMAP> inner(CreateCompatibleBitmap(dc.get(), 2, 2));
    ASSERT_TRUE(outer && inner);
    {
        platform::win32::Selection selectOuter(dc.get(), outer.get());
        {
            platform::win32::Selection selectInner(dc.get(), inner.get());
            EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), inner.get());
        }
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), outer.get());
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), firstBitmap);
    // Nothing selected any more, so both can go.
    EXPECT_TRUE(DeleteObject(outer.release()));
    EXPECT_TRUE(DeleteObject(inner.release()));
}

}  // namespace
