// Names from the server and the paths built from them: how GBK text splits into
// characters, which entry names are refused, which name the updater's own files, and
// that nothing is opened through a link or in place of a special file.
#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "digest/md5.h"
#include "manifest/manifest.h"
#include "platform/files.h"
#include "platform/text.h"
#include "test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

TEST(Gbk, ALeadByteCountsAsDoubleOnlyWithAValidSecondByte) {
    EXPECT_EQ(GbkCharWidth("\xd6\xd0"), 2u);  // 中
    EXPECT_EQ(GbkCharWidth("\x81\x5c"), 2u);  // second byte looks like "\"
    EXPECT_EQ(GbkCharWidth("\x81\x40"), 2u);
    EXPECT_EQ(GbkCharWidth("\x81/"), 1u);  // "/" is no second byte
    EXPECT_EQ(GbkCharWidth("\xd3:"), 1u);
    EXPECT_EQ(GbkCharWidth("\x81\x01"), 1u);
    EXPECT_EQ(GbkCharWidth("\x81\x7f"), 1u);
    EXPECT_EQ(GbkCharWidth("\x81\xff"), 1u);
    EXPECT_EQ(GbkCharWidth("\x81"), 1u);  // cut: the terminator follows

    EXPECT_TRUE(IsValidGbk("data/\xd6\xd0\xce\xc4.txt"));
    EXPECT_FALSE(IsValidGbk("\x81/../x"));
    EXPECT_FALSE(IsValidGbk("a\xff"));
    EXPECT_FALSE(IsValidGbk("a\x80"));
    EXPECT_FALSE(IsValidGbk("tail\xd6"));

    // Every scan steps the same way: the "/" after a stray lead byte is a separator.
    EXPECT_STREQ(FindLastSeparator("a\x81/b"), "/b");
    EXPECT_STREQ(FindLastSeparator("a\x81\x5c"
                                   "b"),
                 nullptr);
}

TEST(EntryNames, NamesThatStayInsideAreAccepted) {
    for (const char* name :
         {"a.txt", "data/sub/x.pak", "data\\sub\\x.pak", "/a.txt", "\\data\\x.pak", "./a.txt",
          "data/./x.pak", "a//b.txt", "\xb8\xfc\xd0\xc2/\x81\x5c.txt", "\x9c\x5c\\\xbb\x5c.dat",
          "a b.txt", "x.y.z", ".hidden"}) {
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    }
}

TEST(EntryNames, NamesThatCouldLeaveOrMisleadAreRefused) {
    const char* refused[] = {
        "",
        "/",
        "./",
        "a/",
        "a/.",  // no file at the end
        "..",
        "../a",
        "a/../../b",
        "a\\..\\b",  // up and out
        "...",
        ". .",
        "a/.. /b",  // names Windows reads as ".."-like
        "C:\\a",
        "a.txt:stream",
        "con.txt",
        "sub/NUL",
        "LPT1",
        "conout$",
        "CLOCK$.txt",
        "aux .log",
        "x<y",
        "x|y",
        "x?y",
        "x*y",
        "x\"y",
        "a\tb",
        "a\x7f"
        "b",
        "\x81/../x",  // a stray lead byte before "/": the ".." must still be seen
        "\xe2/.",     // ...and a "." segment at the end
        "\xd3:x",     // a ":" after a lead byte
        "\x81\x01x",  // a control character after a lead byte
        "bad\xff.txt",
        "bad\x80.txt",
        "cut\xd6",
    };
    for (const char* name : refused) {
        EXPECT_FALSE(IsSafeEntryName(name)) << testing::PrintToString(std::string(name));
    }
}

TEST(EntryNames, TheUpdatersOwnFilesAreRecognised) {
    for (const char* name :
         {"Update/x.txt", "update\\Vadarodazu\\a.dat", "./Update/Vadarodazu.xml", "/UPDATE",
          "Vadarodazu.xml", "/md5.xml", "UPDATELOG.TXT", "./pending-replacements.txt"}) {
        EXPECT_TRUE(IsUpdaterOwnName(name, "Vadarodazu")) << name;
    }
    for (const char* name : {"data/md5.xml", "Updater/x", "Update.txt", "data/Update/x",
                             "Vadarodazu/a.xml", "readme.txt"}) {
        EXPECT_FALSE(IsUpdaterOwnName(name, "Vadarodazu")) << name;
    }
}

TEST(EntryNames, SamePathIgnoresSeparatorsAndDotParts) {
    EXPECT_TRUE(SamePath("data/x.pak", "data\\x.pak", false));
    EXPECT_TRUE(SamePath("/data//./x.pak", "data/x.pak", false));
    EXPECT_FALSE(SamePath("data/x.pak", "Data/x.pak", false));
    EXPECT_TRUE(SamePath("data/x.pak", "Data/X.pak", true));
    // A second byte 0x5C is no separator, and is never folded.
    EXPECT_TRUE(SamePath("\x81\x5c/a", "\x81\x5c\\a", false));
    EXPECT_FALSE(
        SamePath("\x81\x5c"
                 "a",
                 "\x81/a", false));
    EXPECT_FALSE(SamePath("a/b", "a/b/c", false));
}

#ifndef _WIN32

std::string Native(const std::string& path) { return platform::NativePath(path.c_str()); }

// A link the player made (owned by the user the updater runs as, or root) is passed where
// links may be trusted; one owned by anyone else never is; the temporary tree passes none.
TEST(LinksAndSpecialFiles, LinkOnTheWayLooksAtEveryFolderBelowTheRootAndItsOwner) {
    TempDir dir;
    const std::string root = dir.Path();
    platform::CreateFolder((root + "/real").c_str());
    ASSERT_EQ(symlink("/tmp", Native(root + "/mine").c_str()), 0);
    ASSERT_EQ(symlink("/tmp", Native(root + "/theirs").c_str()), 0);
    const bool otherUser =
        geteuid() == 0 && lchown(Native(root + "/theirs").c_str(), 65534, 65534) == 0;
    using platform::Links;
    const struct {
        std::string path;
        bool trusted, none;  // LinkOnTheWay with kTrusted, with kNone
    } cases[] = {
        {root + "/real/x.txt", false, false},
        {root + "\\real\\", false, false},
        {root + "/missing/x.txt", false, false},
        {root + "/mine/x.txt", false, true},
        {root + "\\mine\\", false, true},
        {root + "/mine", false, false},  // the last part is a file's name, not a folder
        {root + "/theirs/x.txt", otherUser, true},
        {"/elsewhere/x.txt", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::LinkOnTheWay(root.c_str(), c.path.c_str(), Links::kTrusted), c.trusted)
            << c.path;
        EXPECT_EQ(platform::LinkOnTheWay(root.c_str(), c.path.c_str(), Links::kNone), c.none)
            << c.path;
    }
    // A walk that may replace links makes a real folder in the place of one.
    platform::HeldFolder folder;
    ASSERT_EQ(folder.OpenPath(root.c_str(), "/theirs/sub/x.dat", Links::kReplace, true),
              platform::HeldFolder::Result::kOpen);
    struct stat st;
    ASSERT_EQ(lstat(Native(root + "/theirs/sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(platform::PathExists((folder.Path() + ".").c_str()));
}

TEST(LinksAndSpecialFiles, FilesAreOpenedOnlyWhenRegularAndNeverThroughALink) {
    TempDir dir;
    const std::string outside = dir.Join("outside.txt");
    const std::string link = dir.Join("link.txt");
    const std::string pipe = dir.Join("pipe.txt");
    WriteFile(outside, "keep");
    ASSERT_EQ(symlink(Native(outside).c_str(), Native(link).c_str()), 0);
    ASSERT_EQ(mkfifo(Native(pipe).c_str(), 0644), 0);

    // Read: refused, without waiting for a writer on the pipe.
    EXPECT_EQ(platform::OpenFile(link.c_str(), "rb"), nullptr);
    EXPECT_EQ(platform::OpenFile(pipe.c_str(), "rb"), nullptr);
    unsigned char digest[16] = {0};
    EXPECT_EQ(FileMd5(pipe.c_str(), digest), 0);
    uint64_t size = 0;
    EXPECT_FALSE(platform::RegularFileSize(link.c_str(), &size));

    // Write: the link or pipe is replaced by a regular file; what it pointed to stays.
    for (const std::string& path : {link, pipe}) {
        FILE* f = platform::OpenFile(path.c_str(), "wb");
        ASSERT_NE(f, nullptr) << path;
        fputs("new", f);
        fclose(f);
        struct stat st;
        ASSERT_EQ(lstat(Native(path).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(ReadFile(path), "new");
    }
    EXPECT_EQ(ReadFile(outside), "keep");

    // A download into the place of a link writes a new file, not through the link.
    const std::string link2 = dir.Join("link2.txt");
    ASSERT_EQ(symlink(Native(outside).c_str(), Native(link2).c_str()), 0);
    platform::LocalFile local;
    ASSERT_TRUE(local.Create(link2.c_str()));
    local.Write("downloaded", 10);
    EXPECT_TRUE(local.Close());
    EXPECT_EQ(ReadFile(link2), "downloaded");
    EXPECT_EQ(ReadFile(outside), "keep");
    EXPECT_TRUE(platform::RemoveLink(link.c_str()) == false);  // no longer a link

    // A hard link (another name of the outside file): a new file is made in its place,
    // and nothing is appended through it.
    const std::string hard = dir.Join("hard.txt");
    ASSERT_EQ(::link(Native(outside).c_str(), Native(hard).c_str()), 0);
    EXPECT_EQ(platform::OpenFile(hard.c_str(), "ab"), nullptr);
    ASSERT_TRUE(local.Create(hard.c_str()));
    local.Write("downloaded", 10);
    EXPECT_TRUE(local.Close());
    const std::string hard2 = dir.Join("hard2.txt");
    ASSERT_EQ(::link(Native(outside).c_str(), Native(hard2).c_str()), 0);
    FILE* f = platform::OpenFile(hard2.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(ReadFile(outside), "keep");
}

TEST(LinksAndSpecialFiles, PathsThatDoNotConvertNameNothing) {
    // A stray lead byte, and a code with no character: never passed on as raw bytes.
    EXPECT_EQ(platform::NativePath("dir/\x81/x"), "");
    EXPECT_FALSE(platform::IsConvertibleName("a\x81/b"));
    EXPECT_TRUE(platform::IsConvertibleName("\xb8\xfc\xd0\xc2"));
    EXPECT_EQ(platform::NativePath("a\\\xb8\xfc\xd0\xc2\\b"), "a/\xe6\x9b\xb4\xe6\x96\xb0/b");
}

#endif

TEST(PopPathComponent, TakesDirectoriesOffTheFront) {
    char path[256], component[256];
    const auto all = [&](const char* text) {
        snprintf(path, sizeof(path), "%s", text);
        std::string out;
        while (PopPathComponent(path, component)) out += std::string(component) + "|";
        return out + "rest=" + path;
    };
    EXPECT_EQ(all("/Update/"), "Update|rest=");
    EXPECT_EQ(all("Update/"), "Update|rest=");
    EXPECT_EQ(all("Update"), "rest=Update");
    EXPECT_EQ(all("abc/data/x.dat"), "abc|data|rest=x.dat");
    EXPECT_EQ(all("\\\\a\\\\b//c"), "a|b|rest=c");
    EXPECT_EQ(all(""), "rest=");
    // A double-byte character whose second byte is "\" is not split.
    EXPECT_EQ(all("\x81\x5c/x"), "\x81\x5c|rest=x");
}

}  // namespace
