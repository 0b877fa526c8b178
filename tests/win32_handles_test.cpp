// The owners of Windows handles: each handle is closed exactly once, by whoever holds it
// last, and what painting selects into a device context is put back; and the owners of
// links the updater follows.
#include <windows.h>
#include <sddl.h>

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

// The owners whose links a walk follows: the user running the updater and the system's
// administrators; any other user's never.
TEST(Win32Handles, LinksOfTheUserAndOfAdministratorsAreTrusted) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    char buffer[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size));
    CloseHandle(token);
    EXPECT_TRUE(platform::win32::IsTrustedOwner(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
    const struct {
        const char* sid;
        bool trusted;
    } cases[] = {
        {"S-1-5-32-544", true},  // Administrators
        {"S-1-5-18", true},      // SYSTEM
        {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", true},
        {"S-1-5-32-545", false},  // Users
        {"S-1-1-0", false},       // Everyone
        {"S-1-5-21-1004336348-1177238915-682003330-1001", false},
    };
    for (const auto& c : cases) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA(c.sid, &sid)) << c.sid;
        EXPECT_EQ(platform::win32::IsTrustedOwner(sid), c.trusted) << c.sid;
        LocalFree(sid);
    }
    EXPECT_FALSE(platform::win32::IsTrustedOwner(nullptr));
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
