#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "log/update_log.h"
#include "manifest/manifest.h"
#include "platform/files.h"
#include "test_util.h"

namespace {

using testutil::FixedEnvironment;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

const char kDecl[] = "<?xml version=\"1.0\" encoding=\"GBK\" ?>\n";

// An entry array of full capacity followed by a guard record that must stay untouched.
struct Entries {
    Entries() : storage(new ManifestEntry[kManifestCapacity + 1]) {
        memset(storage.get(), 0x5A, sizeof(ManifestEntry) * (kManifestCapacity + 1));
    }
    ManifestEntry& operator[](int i) { return storage[i]; }
    bool GuardIntact() const {
        const unsigned char* g =
            reinterpret_cast<const unsigned char*>(&storage[kManifestCapacity]);
        for (size_t i = 0; i < sizeof(ManifestEntry); ++i) {
            if (g[i] != 0x5A) return false;
        }
        return true;
    }
    std::unique_ptr<ManifestEntry[]> storage;
};

int Parse(const std::string& path, Entries& entries) {
    int count = -1;
    ParseManifest(path.c_str(), &entries[0], count);
    EXPECT_TRUE(entries.GuardIntact());
    return count;
}

TEST(ParseManifest, ReadsEntriesFromTheFirstFileElementOn) {
    TempDir dir;
    const std::string path = dir.Join("Vadarodazu.xml");
    WriteFile(path,
              std::string(kDecl) +
                  "<!-- release 7 -->\n"
                  "<anything>\n"
                  "  <note filename='skipped.txt' md5='x' size='1'/>\n"
                  "  <file filename='Halcyra.exe' md5='0123456789abcdef0123456789abcdef' "
                  "size='1048576'><child/>text</file>\n"
                  "  <other filename='data\\sub\\a.dll' md5='ABCDEF' size='12kb' extra='1'/>\n"
                  "  <file filename=\"a&amp;b.txt\" size='  -5'/>\n"
                  "</anything>\n");
    Entries e;
    ASSERT_EQ(Parse(path, e), 3);
    EXPECT_STREQ(e[0].filename, "Halcyra.exe");
    EXPECT_STREQ(e[0].md5, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(e[0].size, 1048576);
    EXPECT_EQ(e[0].nameTooLong, 0);
    EXPECT_STREQ(e[1].filename, "data/sub/a.dll");
    EXPECT_STREQ(e[1].md5, "ABCDEF");  // taken as written, never case-folded
    EXPECT_EQ(e[1].size, 12);
    EXPECT_STREQ(e[2].filename, "a&b.txt");
    EXPECT_STREQ(e[2].md5, "");
    EXPECT_EQ(e[2].size, -5);
}

TEST(ParseManifest, SizeText) {
    EXPECT_EQ(ParseSizeText(nullptr), 0);
    EXPECT_EQ(ParseSizeText(""), 0);
    EXPECT_EQ(ParseSizeText("abc"), 0);
    EXPECT_EQ(ParseSizeText("+7"), 7);
    EXPECT_EQ(ParseSizeText(" \t-0012x"), -12);
    EXPECT_EQ(ParseSizeText("- 5"), 0);
    // Sizes of every width a release may list, and past the largest.
    const struct {
        const char* text;
        int64_t size;
    } rows[] = {
        {"2147483647", 2147483647},          {"2147483648", 2147483648LL},
        {"4294967295", 4294967295LL},        {"4294967296", 4294967296LL},
        {"4831838208", 4831838208LL},  // 4.5 GiB
        {"9223372036854775807", INT64_MAX},  {"9223372036854775808", INT64_MAX},
        {"99999999999999999999", INT64_MAX}, {"-99999999999999999999", INT64_MIN},
    };
    for (const auto& row : rows) EXPECT_EQ(ParseSizeText(row.text), row.size) << row.text;
    // Where a listed size must still fit: FAT (any of its names) holds files below 4 GiB.
    for (const char* fat : {"FAT", "FAT12", "FAT16", "FAT32"}) {
        EXPECT_EQ(platform::LargestFileOn(fat), 4294967295ULL) << fat;
    }
    for (const char* other : {"NTFS", "exFAT", "ReFS", ""}) {
        EXPECT_EQ(platform::LargestFileOn(other), UINT64_MAX) << other;
    }
}

TEST(ParseManifest, GbkNamesKeepTheirBytes) {
    TempDir dir;
    const std::string path = dir.Join("m.xml");
    // "更新文件" and a character whose second byte is 0x5C ("\"), in a backslashed path.
    WriteFile(path,
              std::string(kDecl) +
                  "<root><file filename='\xb8\xfc\xd0\xc2\\\x81\x5c\\x.dat' md5='m'/></root>");
    Entries e;
    ASSERT_EQ(Parse(path, e), 1);
    EXPECT_STREQ(e[0].filename, "\xb8\xfc\xd0\xc2/\x81\x5c/x.dat");
}

TEST(ParseManifest, BadDocumentsGiveNoRecords) {
    const std::string bad[] = {
        "",
        "<root><file filename='a' md5=",
        "<root><file filename='a'/></roo>",
        "not xml at all",
        "<root><entry filename='a'/></root>",
        "<?xml version=\"1.0\"?>",
    };
    for (const std::string& text : bad) {
        TempDir dir;
        const std::string path = dir.Join("m.xml");
        WriteFile(path, text);
        Entries e;
        EXPECT_EQ(Parse(path, e), 0) << text;
        EXPECT_NE(ReadFile(path), "<missing>") << text;
    }
}

TEST(ParseManifest, TellsWhetherTheDocumentLoaded) {
    TempDir dir;
    const std::string path = dir.Join("m.xml");
    ManifestEntry entries[4];
    int count = -1;
    // Bytes the server controls: a BOM, an open attribute and a lead byte at the very end
    // made TinyXML's reader step past the end of its buffer.
    const char kCut[] = "\xEF\xBB\xBF<l f=\"\xE4";
    for (const std::string& bad :
         {std::string(), std::string("<!DOCTYPE html>\n<p>down"),
          std::string(kCut, sizeof(kCut) - 1), std::string("\xEF\xBB\xBF<l f=\"\xF0")}) {
        WriteFile(path, bad);
        EXPECT_FALSE(ParseManifest(path.c_str(), entries, count));
        EXPECT_EQ(count, 0);
    }
    // Line ends of every kind are read as TinyXML reads them from a file.
    WriteFile(path, "<root>\r\n<file filename='a' md5='m'\r size='1'/>\n</root>\r\n");
    EXPECT_TRUE(ParseManifest(path.c_str(), entries, count));
    EXPECT_EQ(count, 1);
    WriteFile(path, "<root><other/></root>");
    EXPECT_TRUE(ParseManifest(path.c_str(), entries, count));
    EXPECT_EQ(count, 0);
}

TEST(ParseManifest, MissingManifestIsCreatedEmpty) {
    TempDir dir;
    const std::string path = dir.Join("Vadarodazu.xml");
    Entries e;
    EXPECT_EQ(Parse(path, e), 0);
    EXPECT_EQ(ReadFile(path), "");
}

TEST(ParseManifest, StopsAtCapacity) {
    TempDir dir;
    const std::string path = dir.Join("big.xml");
    std::string xml = "<root>";
    for (int i = 0; i < 2500; ++i) {
        xml += "<file filename='f" + std::to_string(i) + "' md5='d' size='" + std::to_string(i) +
               "'/>";
    }
    WriteFile(path, xml + "</root>");
    Entries e;
    ASSERT_EQ(Parse(path, e), kManifestCapacity);
    EXPECT_STREQ(e[1999].filename, "f1999");
    EXPECT_EQ(e[1999].size, 1999);
}

TEST(ParseManifest, CapacityBoundary) {
    for (int n : {1999, 2000, 2001}) {
        TempDir dir;
        const std::string path = dir.Join("m.xml");
        std::string xml = "<root>";
        for (int i = 0; i < n; ++i) xml += "<file filename='f' md5='d' size='1'/>";
        WriteFile(path, xml + "</root>");
        Entries e;
        EXPECT_EQ(Parse(path, e), std::min(n, kManifestCapacity)) << n;
    }
}

TEST(ParseManifest, OverlongTextsNeverOverrunTheirFields) {
    TempDir dir;
    const std::string path = dir.Join("m.xml");
    const std::string name179(179, 'n');
    const std::string name180(180, 'o');
    // 178 ASCII bytes then a double-byte character that would end past the field.
    const std::string gbkAtEdge = std::string(178, 'g') + "\xd6\xd0";
    WriteFile(path, "<root><file filename='" + name179 + "' md5='" + std::string(40, 'a') +
                        "'/><file filename='" + name180 + std::string(5000, 'x') +
                        "'/><file filename='" + gbkAtEdge + "'/></root>");
    Entries e;
    ASSERT_EQ(Parse(path, e), 3);
    EXPECT_EQ(std::string(e[0].filename), name179);
    EXPECT_EQ(e[0].nameTooLong, 0);
    EXPECT_EQ(std::string(e[0].md5), std::string(32, 'a'));
    EXPECT_EQ(e[0].md5TooLong, 1);
    EXPECT_FALSE(HasMd5Text(e[0]));
    EXPECT_EQ(e[1].nameTooLong, 1);
    EXPECT_EQ(e[1].filename[179], '\0');
    EXPECT_EQ(e[2].nameTooLong, 1);
    EXPECT_EQ(std::string(e[2].filename), std::string(178, 'g'));
}

TEST(ParseManifest, ReparseStartsAgainFromTheFirstRecord) {
    TempDir dir;
    const std::string a = dir.Join("a.xml"), b = dir.Join("b.xml");
    WriteFile(a, "<r><file filename='one'/><file filename='two'/></r>");
    WriteFile(b, "<r><file filename='three'/></r>");
    Entries e;
    ASSERT_EQ(Parse(a, e), 2);
    ASSERT_EQ(Parse(b, e), 1);
    EXPECT_STREQ(e[0].filename, "three");
}

class Md5XmlTest : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        ASSERT_TRUE(log.Open(dir.Join("updatelog.txt").c_str()));
    }
    void TearDown() override { testutil::EndStdoutCapture(HasFailure()); }

    TempDir dir;
    FixedEnvironment env;
    UpdateLog log;
};

const char kDigest[] = "9e107d9d372bb6826bd81d3542a419d6";
const std::string kExpectedMd5Xml =
    "<root>\r\n    <file md5=\"9e107d9d372bb6826bd81d3542a419d6\" />\r\n</root>\r\n";

TEST_F(Md5XmlTest, WritesTheRecordAsTinyXmlPrintsItInTextMode) {
    WriteMd5Xml(dir.Path().c_str(), kDigest, log);
    EXPECT_EQ(ReadFile(dir.Join("md5.xml")), kExpectedMd5Xml);
    EXPECT_TRUE(FixedEnvironment::Messages().empty());
    // "写md5路径%s为%s"
    const std::string line =
        "\xd0\xb4md5\xc2\xb7\xbe\xb6" + dir.Path() + "\\md5.xml\xce\xaa" + kDigest;
    EXPECT_NE(ReadFile(dir.Join("updatelog.txt")).find(line), std::string::npos);
}

TEST_F(Md5XmlTest, ReplacesWhateverWasThere) {
    WriteFile(dir.Join("md5.xml"), "<root><file md5='a'/><file md5='b'/><x/></root><junk>");
    WriteMd5Xml(dir.Path().c_str(), kDigest, log);
    EXPECT_EQ(ReadFile(dir.Join("md5.xml")), kExpectedMd5Xml);
}

TEST_F(Md5XmlTest, UnwritableFolderReportsAndGoesOn) {
    WriteMd5Xml(dir.Join("missing").c_str(), kDigest, log);
    const auto messages = FixedEnvironment::Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "1");
    EXPECT_EQ(messages[1].rfind("Could not load test file '", 0), 0u) << messages[1];
    EXPECT_NE(messages[1].find("Error='Failed to open file'"), std::string::npos) << messages[1];
}

}  // namespace
