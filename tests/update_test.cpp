// The whole update procedure in-process, against the loopback server, on a real install
// folder: which files are fetched, what ends up installed, and what a failed run keeps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "manifest/manifest.h"
#include "test_util.h"
#include "ui/update_dlg.h"

namespace {

using testutil::Exists;
using testutil::FixedEnvironment;
using testutil::LoopbackServer;
using testutil::ReadFile;
using testutil::Reply;
using testutil::TempDir;
using testutil::WriteFile;

const char kMd5Abc[] = "900150983cd24fb0d6963f7d28e17f72";
const char kMd5Xyz[] = "d16fb36f0911f878998c136191af705e";
const char kMd5Old[] = "149603e6c03516362a8da23f624db945";  // "old"

struct File {
    std::string name, md5, body;
};

std::string Manifest(const std::vector<File>& files) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"GBK\" ?>\n<files>\n";
    for (const File& f : files) {
        xml += "<file filename=\"" + f.name + "\" md5=\"" + f.md5 + "\" size=\"" +
               std::to_string(f.body.size()) + "\" />\n";
    }
    return xml + "</files>\n";
}

class RunUpdateTest : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        dlg.reset(new CUpdateDlg);
        snprintf(dlg->m_gameDir, sizeof(dlg->m_gameDir), "%s", dir.Path().c_str());
        snprintf(dlg->m_serverUrl, sizeof(dlg->m_serverUrl), "%s/DownLoad/",
                 server.BaseUrl().c_str());
        snprintf(dlg->m_downloadBase, sizeof(dlg->m_downloadBase), "%s/DownLoad//",
                 server.BaseUrl().c_str());
        snprintf(dlg->m_packageName, sizeof(dlg->m_packageName), "Vadarodazu");
        dlg->m_log.Open(dir.Join("updatelog.txt").c_str());
        dlg->m_transfer.Session().SetTimeouts(3000, 2000);
    }
    void TearDown() override {
        dlg.reset();
        testing::internal::GetCapturedStdout();
    }

    // Serves a release: its manifest and every file.
    void Serve(const std::vector<File>& files) {
        server.Route("/DownLoad//Vadarodazu.xml", Reply{"200 OK", {}, Manifest(files)});
        for (const File& f : files) {
            server.Route("/DownLoad//Vadarodazu/" + f.name, Reply{"200 OK", {}, f.body});
        }
    }
    // True when RunUpdate returned, false when it threw.
    bool Run() {
        try {
            dlg->RunUpdate();
            return true;
        } catch (...) {
            return false;
        }
    }
    int Fetches(const std::string& name) {
        return server.Requests("/DownLoad//Vadarodazu/" + name);
    }
    std::string Installed(const std::string& name) { return ReadFile(dir.Join(name)); }

    TempDir dir;
    FixedEnvironment env;
    LoopbackServer server;
    std::unique_ptr<CUpdateDlg> dlg;
};

TEST_F(RunUpdateTest, FirstRunDigestsTheDiskAndKeepsVerifiedTemporaryCopies) {
    Serve({{"a.txt", kMd5Abc, "abc"}, {"b.txt", kMd5Xyz, "xyz"}, {"c.txt", kMd5Abc, "abc"}});
    WriteFile(dir.Join("a.txt"), "abc");  // already current in the install
    // A verified copy left in the temporary tree by an abandoned run; the installed
    // copy is stale.
    platform::CreateFolder(dir.Join("Update").c_str());
    platform::CreateFolder(dir.Join("Update/Vadarodazu").c_str());
    WriteFile(dir.Join("Update/Vadarodazu/b.txt"), "xyz");
    WriteFile(dir.Join("b.txt"), "old");
    ASSERT_TRUE(Run());
    EXPECT_EQ(Fetches("a.txt"), 0);
    EXPECT_EQ(Fetches("b.txt"), 0);
    EXPECT_EQ(Fetches("c.txt"), 1);
    EXPECT_EQ(Installed("b.txt"), "xyz");  // put in place from the temporary tree
    EXPECT_EQ(Installed("c.txt"), "abc");
    EXPECT_EQ(Installed("Vadarodazu.xml"), Manifest({{"a.txt", kMd5Abc, "abc"},
                                                     {"b.txt", kMd5Xyz, "xyz"},
                                                     {"c.txt", kMd5Abc, "abc"}}));
    EXPECT_NE(Installed("md5.xml").find("<file md5="), std::string::npos);
}

TEST_F(RunUpdateTest, TheInstalledManifestDecidesAndASizeCheckCatchesADamagedFile) {
    const std::vector<File> release = {{"a.txt", kMd5Abc, "abc"}, {"b.txt", kMd5Xyz, "xyz"}};
    Serve(release);
    ASSERT_TRUE(Run());
    // Listed as current by the installed manifest: not even digested, so damage that
    // keeps the size goes unseen (as the design wants), but a cut file is fetched again.
    WriteFile(dir.Join("a.txt"), "abX");
    WriteFile(dir.Join("b.txt"), "xy");
    ASSERT_TRUE(Run());
    EXPECT_EQ(Fetches("a.txt"), 1);
    EXPECT_EQ(Fetches("b.txt"), 2);
    EXPECT_EQ(Installed("a.txt"), "abX");
    EXPECT_EQ(Installed("b.txt"), "xyz");
}

TEST_F(RunUpdateTest, ARenamedFileIsFetchedUnderItsNewName) {
    Serve({{"a.txt", kMd5Abc, "abc"}});
    ASSERT_TRUE(Run());
    Serve({{"data/a2.txt", kMd5Abc, "abc"}});
    ASSERT_TRUE(Run());
    EXPECT_EQ(Fetches("data/a2.txt"), 1);
    EXPECT_EQ(Installed("data/a2.txt"), "abc");
}

TEST_F(RunUpdateTest, AnUpperCaseDigestCountsAsCurrentOnceInstalled) {
    // Installed by an earlier updater that recorded the text as the server wrote it.
    WriteFile(dir.Join("a.txt"), "abc");
    std::string upper = kMd5Abc;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    WriteFile(dir.Join("Vadarodazu.xml"), Manifest({{"a.txt", upper, "abc"}}));
    Serve({{"a.txt", upper, "abc"}});
    ASSERT_TRUE(Run());
    EXPECT_EQ(Fetches("a.txt"), 0);
    // Not installed yet: it can never be verified, so the run fails and changes nothing.
    platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
    platform::RemoveFile(dir.Join("a.txt").c_str());
    EXPECT_FALSE(Run());
    EXPECT_FALSE(Exists(dir.Join("a.txt")));
    EXPECT_EQ(Installed("Vadarodazu.xml"), "");
}

TEST_F(RunUpdateTest, AFailedRunKeepsTheInstalledManifestAndMd5Xml) {
    const std::vector<File> release = {{"a.txt", kMd5Abc, "abc"}};
    Serve(release);
    ASSERT_TRUE(Run());
    const std::string manifest = Installed("Vadarodazu.xml");
    const std::string md5xml = Installed("md5.xml");
    const std::string bad[] = {
        "",                                      // empty
        "<files><file filename=\"a.txt\" md5=",  // cut
        "<!DOCTYPE html>\n<html><body>Maintenance</body></html>",
        "<files></files>",  // lists nothing
    };
    for (const std::string& body : bad) {
        server.Route("/DownLoad//Vadarodazu.xml", Reply{"200 OK", {}, body});
        EXPECT_FALSE(Run()) << body;
        EXPECT_EQ(Installed("Vadarodazu.xml"), manifest) << body;
        EXPECT_EQ(Installed("md5.xml"), md5xml) << body;
    }
    // A listed file whose bytes are not the listed ones: nothing is installed.
    Serve({{"a.txt", kMd5Old, "abc"}, {"b.txt", kMd5Xyz, "xyz"}});
    EXPECT_FALSE(Run());
    EXPECT_EQ(Installed("Vadarodazu.xml"), manifest);
    EXPECT_EQ(Installed("md5.xml"), md5xml);
    EXPECT_FALSE(Exists(dir.Join("b.txt")));
    EXPECT_NE(ReadFile(dir.Join("updatelog.txt")).find("MD5与清单不符"), std::string::npos);
}

TEST_F(RunUpdateTest, NamesOnTheUpdatersOwnFilesAreRefusedBeforeAnyDownload) {
    for (const char* name : {"Update/Vadarodazu.xml", "md5.xml", "updatelog.txt", "update/x.txt"}) {
        Serve({{"a.txt", kMd5Abc, "abc"}, {name, kMd5Abc, "abc"}});
        const int before = server.TotalRequests();
        EXPECT_FALSE(Run()) << name;
        EXPECT_EQ(server.TotalRequests(), before + 1) << name;  // the manifest alone
    }
}

}  // namespace
