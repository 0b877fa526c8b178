#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "digest/md5.h"
#include "test_util.h"

namespace {

std::string Hex(const unsigned char digest[16]) {
    char text[33];
    DigestToHex(digest, text);
    return text;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) % 256);
    return s;
}

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(testutil::Md5Text(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(testutil::Md5Text("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(testutil::Md5Text("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(testutil::Md5Text("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(testutil::Md5Text("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(testutil::Md5Text("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(testutil::Md5Text("1234567890123456789012345678901234567890"
                                "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingBoundaries) {
    // Lengths around the 56-byte point where the length no longer fits the last block.
    EXPECT_EQ(testutil::Md5Text(Pattern(55)), "52c0e574e1198de5fe3f8f11440dcb1b");
    EXPECT_EQ(testutil::Md5Text(Pattern(56)), "46c9907fc908ee68b1e7b8e71286a518");
    EXPECT_EQ(testutil::Md5Text(Pattern(63)), "a62f6d59e837867693f042f5b8f5a236");
    EXPECT_EQ(testutil::Md5Text(Pattern(64)), "7160b8fb5e9e4023d549c3971fbaeead");
    EXPECT_EQ(testutil::Md5Text(Pattern(65)), "70bd662e7aefbda85a0f7244167b7897");
}

TEST(Md5, PiecewiseInputGivesTheSameDigest) {
    const std::string data = Pattern(1025);
    for (size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u}) {
        Md5Context ctx;
        Md5Init(&ctx);
        for (size_t at = 0; at < data.size(); at += piece) {
            Md5Update(&ctx, data.data() + at, std::min(piece, data.size() - at));
        }
        unsigned char digest[16];
        Md5Final(digest, &ctx);
        EXPECT_EQ(Hex(digest), "ee57403eb3428e1a0be41fad4a70b174") << "pieces of " << piece;
    }
}

TEST(Md5, MillionA) {
    EXPECT_EQ(testutil::Md5Text(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, FinalWipesTheContext) {
    Md5Context ctx;
    Md5Init(&ctx);
    Md5Update(&ctx, "abc", 3);
    unsigned char digest[16];
    Md5Final(digest, &ctx);
    const Md5Context zero{};
    EXPECT_EQ(memcmp(&ctx, &zero, sizeof(ctx)), 0);
}

TEST(FileMd5, FilesAroundTheReadChunk) {
    testutil::TempDir dir;
    struct Case {
        size_t size;
        const char* digest;
    } cases[] = {{0, "d41d8cd98f00b204e9800998ecf8427e"},
                 {1024, "a66351d9c8f941b70a02eaf9c41e69c3"},
                 {1025, "ee57403eb3428e1a0be41fad4a70b174"}};
    for (const Case& c : cases) {
        const std::string path = dir.Join("f" + std::to_string(c.size));
        testutil::WriteFile(path, Pattern(c.size));
        unsigned char digest[16];
        ASSERT_EQ(FileMd5(path.c_str(), digest), 1) << c.size;
        EXPECT_EQ(Hex(digest), c.digest) << c.size;
    }
}

TEST(FileMd5, ReadsBytesWithoutTextTranslation) {
    testutil::TempDir dir;
    const std::string path = dir.Join("crlf");
    testutil::WriteFile(path,
                        "a\r\nb\x1a"
                        "c");
    unsigned char digest[16];
    ASSERT_EQ(FileMd5(path.c_str(), digest), 1);
    EXPECT_EQ(Hex(digest), testutil::Md5Text("a\r\nb\x1a"
                                             "c"));
}

TEST(FileMd5, GbkFileName) {
    testutil::TempDir dir;
    const std::string path = dir.Join("更新文件.dat");
    testutil::WriteFile(path, "abc");
    unsigned char digest[16];
    ASSERT_EQ(FileMd5(path.c_str(), digest), 1);
    EXPECT_EQ(Hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(FileMd5, MissingFileLeavesTheBufferUntouched) {
    testutil::TempDir dir;
    unsigned char digest[16];
    memset(digest, 0xAB, sizeof(digest));
    EXPECT_EQ(FileMd5(dir.Join("absent").c_str(), digest), 0);
    for (unsigned char b : digest) EXPECT_EQ(b, 0xAB);

    // What callers rely on: a cleared buffer turns into 32 zeros.
    memset(digest, 0, sizeof(digest));
    FileMd5(dir.Join("absent").c_str(), digest);
    EXPECT_EQ(Hex(digest), std::string(32, '0'));
}

TEST(DigestToHex, LowercaseDigitsHighNibbleFirst) {
    unsigned char digest[16] = {10, 255, 0, 0x5C, 0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xA0, 0x0F};
    char text[34];
    text[33] = 'X';
    DigestToHex(digest, text);
    EXPECT_STREQ(text, "0aff005c80010203040506070809a00f");
    EXPECT_EQ(text[33], 'X');  // nothing past the terminator
}

}  // namespace
