// The install step on real folders: which files of the temporary tree reach the
// install, where they land, and what happens when an installed file is in use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/message.h"
#include "platform/process.h"
#include "platform/text.h"
#include "test_util.h"
#include "common/failure.h"
#include "install/install.h"
#include "install/layout.h"
#include "log/update_log.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testutil::Exists;
using testutil::FixedEnvironment;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

// Digests of the contents used below (RFC 1321 test suite).
const char kMd5Abc[] = "900150983cd24fb0d6963f7d28e17f72";
const char kMd5A[] = "0cc175b9c0f1b6a831c399e269772661";

// A temporary tree "Update/Vadarodazu/" and an install folder "game/", records of a
// manifest, and a log in "log.txt".
class InstallStepTest : public testing::Test {
protected:
    InstallStepTest()
        : src(dir.Join("Update/Vadarodazu/")),
          dst(dir.Join("game/")),
          layout(dir.Path(), "http://127.0.0.1:1/DownLoad/"),
          entries(kManifestCapacity) {
        platform::CreateFolder(dir.Join("Update").c_str());
        platform::CreateFolder(src.c_str());
        platform::CreateFolder(dst.c_str());
        log.Open(dir.Join("log.txt").c_str());
    }

    void Record(const char* md5, const char* filename, int32_t size = 0) {
        ManifestEntry& e = entries[count++];
        memset(&e, 0, sizeof(e));
        snprintf(e.md5, sizeof(e.md5), "%s", md5);
        snprintf(e.filename, sizeof(e.filename), "%s", filename);
        e.size = size;
        files.emplace_back(e, DigestKind::kMd5);
    }
    // Folders named by "/" in `path`, below `root`, are created first.
    static void Put(const std::string& root, const std::string& path, const std::string& bytes) {
        for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
            platform::CreateFolder((root + path.substr(0, at)).c_str());
        }
        WriteFile(root + path, bytes);
    }
    void Install() { CopyTree(dst, src); }
    // The log's copy on standard output is kept out of the test's report.
    void CopyTree(const std::string& to, const std::string& from) {
        struct Quiet {
            Quiet() { testing::internal::CaptureStdout(); }
            ~Quiet() { testing::internal::GetCapturedStdout(); }
        } quiet;
        platform::HeldFolder install;
        install.OpenRoot(dir.Path().c_str());
        InstallStep step(log, layout, install, files, StopToken());
        step.CopyTree(to, from);
    }
    std::string Log() { return ReadFile(dir.Join("log.txt")); }
    static bool Logged(const std::string& log, const std::string& line) {
        return log.find("]" + line + "\r\r\n") != std::string::npos;
    }

    TempDir dir;
    FixedEnvironment env{platform::kIdNo};
    std::string src, dst;
    InstallLayout layout;
    UpdateLog log;
    std::vector<ManifestEntry> entries;  // never moved: `files` points into it
    std::vector<ListedFile> files;
    int count = 0;
};

TEST_F(InstallStepTest, VerifiedFilesMoveToTheSamePlace) {
    Record(kMd5Abc, "readme.txt");
    Record(kMd5A, "data/maps/a.dat");
    // A name whose second byte is 0x5C ("\"): GBK 9C 5C.
    Record(kMd5Abc, "资料/x淺b.dat");
    Put(src, "readme.txt", "abc");
    Put(src, "data/maps/a.dat", "a");
    Put(src, "资料/x淺b.dat", "abc");
    Put(dst, "readme.txt", "old");
    Install();

    EXPECT_EQ(ReadFile(dst + "readme.txt"), "abc");
    EXPECT_EQ(ReadFile(dst + "data/maps/a.dat"), "a");
    EXPECT_EQ(ReadFile(dst + "资料/x淺b.dat"), "abc");
    EXPECT_FALSE(Exists(src + "readme.txt"));
    EXPECT_FALSE(Exists(src + "data/maps/a.dat"));
    EXPECT_FALSE(Exists(src + "资料/x淺b.dat"));
    EXPECT_TRUE(platform::PathExists((src + "data/maps").c_str()));
    EXPECT_TRUE(platform::PathExists((src + "资料").c_str()));
    EXPECT_EQ(Log().find("没拷贝"), std::string::npos);
    EXPECT_TRUE(env.Messages().empty());
}

TEST_F(InstallStepTest, UnverifiedFilesAreLoggedAndDropped) {
    Record(kMd5Abc, "wrong.dll");                             // the file holds "abd"
    Record("900150983CD24FB0D6963F7D28E17F72", "upper.dll");  // digest text in capitals
    Put(src, "wrong.dll", "abd");
    Put(src, "upper.dll", "abc");
    Put(src, "sub/unlisted.bin", "abc");
    Put(dst, "wrong.dll", "installed");
    Put(dst, "upper.dll", "installed");
    Install();

    EXPECT_EQ(ReadFile(dst + "wrong.dll"), "installed");
    EXPECT_EQ(ReadFile(dst + "upper.dll"), "installed");
    EXPECT_FALSE(Exists(dst + "sub/unlisted.bin"));
    const std::string log = Log();
    for (const char* name : {"wrong.dll", "upper.dll", "unlisted.bin"}) {
        EXPECT_TRUE(Logged(log, std::string("没拷贝") + name)) << name << "\n" << log;
    }
    EXPECT_FALSE(Exists(src + "wrong.dll"));
    EXPECT_FALSE(Exists(src + "upper.dll"));
    EXPECT_FALSE(Exists(src + "sub/unlisted.bin"));
}

// A file digested as it arrived is not read again; one whose size changed since is, and
// a record's receipt never vouches for a file in another place.
// The digest taken as a file arrived stands only while the file is provably the one
// written (on Windows never: the file is read again from the handle that is moved).
TEST_F(InstallStepTest, TheDigestOnReceiptCountsOnlyForTheSameFileUnchanged) {
    const struct {
        const char* name;
        const char* change;  // what happens between the download and the install
        bool installed;
    } cases[] = {
        {"data/a.txt", "", true},
        {"data/grown.txt", "appended", false},
        {"data/swapped.txt", "swapped for another file of its size", false},
        {"data/rewritten.txt", "rewritten in place, same size", false},
    };
    for (const auto& c : cases) {
        Record(kMd5Abc, c.name, 3);
        ListedFile& entry = files.back();
        entry.received = true;
        Put(src, c.name, "");
        platform::LocalFile file;
        ASSERT_TRUE(file.Create((src + c.name).c_str()));
        file.Write("abc", 3);
        ASSERT_TRUE(file.Close(&entry.receivedStamp));
        const std::string change = c.change;
        // A change one clock tick later at least: where the system stamps files at a
        // tick's granularity, a change within the same tick (by root alone, since the
        // file is root's and 0644) shows only by its inode.
        if (!change.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (change == "appended") {
            WriteFile(src + c.name, "abcd");
        } else if (change == "swapped for another file of its size") {
            platform::RemoveFile((src + c.name).c_str());
            WriteFile(src + c.name, "abd");
        } else if (!change.empty()) {
            FILE* f = platform::OpenFile((src + c.name).c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            fputs("abd", f);
            fclose(f);
        }
    }
    Record(kMd5Abc, "other/a.txt", 3);
    Put(src, "other/a.txt", "abd");  // same name and size, another record, not received
    Install();

    for (int i = 0; i < count - 1; ++i) {
        EXPECT_EQ(files[i].verified != 0, cases[i].installed) << cases[i].name;
        EXPECT_EQ(Exists(dst + cases[i].name), cases[i].installed) << cases[i].name;
        if (cases[i].installed) {
            EXPECT_EQ(ReadFile(dst + cases[i].name), "abc");
        }
    }
    EXPECT_FALSE(Exists(dst + "other/a.txt"));
    EXPECT_FALSE(files[count - 1].verified);
}

TEST_F(InstallStepTest, AFileWithAnotherFoldersBytesIsNotInstalled) {
    Record(kMd5Abc, "one/x.dat");
    Record(kMd5A, "two/x.dat");
    // Each file carries the digest of the other folder's record: neither is the file its
    // own record lists, so neither may replace what is installed there.
    Put(src, "one/x.dat", "a");
    Put(src, "two/x.dat", "abc");
    Put(dst, "one/x.dat", "installed");
    Install();
    EXPECT_EQ(ReadFile(dst + "one/x.dat"), "installed");
    EXPECT_FALSE(Exists(dst + "two/x.dat"));
    EXPECT_FALSE(files[0].verified);
    EXPECT_FALSE(files[1].verified);
    EXPECT_TRUE(Logged(Log(), "没拷贝x.dat"));
}

TEST_F(InstallStepTest, DeferredExecutableIsVerifiedThenLeftForTheRestart) {
#ifndef _WIN32
    char self[4096];
    ASSERT_TRUE(platform::ModulePath(self, sizeof(self)));
    std::string pending = self;
    pending = pending.substr(0, pending.rfind('/') + 1) + "pending-replacements.txt";
    const bool hadPending = Exists(pending);
    const std::string before = hadPending ? ReadFile(pending) : std::string();
#endif
    const char kMd5New[] = "c2fda5a16ff2d5073c1c1d8c238a519a";  // "new program"
    Record(kMd5New, "Brenthor.exe", 11);
    Record(kMd5New, "bin/Brenthor.exe.cfg", 11);
    Put(src, "Brenthor.exe", "new program");
    Put(src, "bin/Brenthor.exe.cfg", "forged bytes");
    Put(dst, "Brenthor.exe", "running program");
    Install();

    // The verified program waits in the tree for the restart (on Windows held by this
    // process, so that nobody can delete or change it); the one whose bytes are not the
    // listed ones is neither scheduled nor kept.
#ifdef _WIN32
    EXPECT_TRUE(platform::PathExists((src + "Brenthor.exe").c_str()));
    EXPECT_FALSE(platform::RemoveFile((src + "Brenthor.exe").c_str()));
    EXPECT_EQ(platform::OpenFile((src + "Brenthor.exe").c_str(), "r+b"), nullptr);
#else
    EXPECT_EQ(ReadFile(src + "Brenthor.exe"), "new program");
#endif
    EXPECT_FALSE(Exists(src + "bin/Brenthor.exe.cfg"));
    EXPECT_EQ(ReadFile(dst + "Brenthor.exe"), "running program");
    EXPECT_FALSE(Exists(dst + "bin/Brenthor.exe.cfg"));
    EXPECT_TRUE(files[0].verified);
    EXPECT_FALSE(files[1].verified);
    EXPECT_TRUE(Logged(Log(), "没拷贝Brenthor.exe.cfg"));
#ifndef _WIN32
    const std::string after = ReadFile(pending);
    if (hadPending) {
        WriteFile(pending, before);
    } else {
        platform::RemoveFile(pending.c_str());
    }
    // Kept with the digest the file must still hold when it is put in place.
    EXPECT_NE(after.find(src + "Brenthor.exe\t" + dst +
                         "Brenthor.exe\tmd5:" + testutil::Md5Text("new program") + "\n"),
              std::string::npos)
        << after;
    EXPECT_EQ(after.find("Brenthor.exe.cfg"), std::string::npos) << after;
#endif
}

TEST_F(InstallStepTest, ARecordIsVerifiedOnlyByAFileInItsOwnPlace) {
    Record(kMd5A, "one/x.dat", 1);
    Record(kMd5A, "two\\x.dat", 1);  // written with a backslash
    Record(kMd5Abc, "three/x.dat", 3);
    Record(kMd5Abc, "size/wrong.dat", 4);  // digest right, listed size wrong
    Put(src, "one/x.dat", "a");
    Put(src, "two/x.dat", "a");
    Put(src, "four/x.dat", "abc");  // a leftover matching "three" by base name and digest
    Put(src, "size/wrong.dat", "abc");
    Install();
    EXPECT_TRUE(files[0].verified);
    EXPECT_TRUE(files[1].verified);
    EXPECT_FALSE(files[2].verified);
    EXPECT_FALSE(files[3].verified);
    EXPECT_FALSE(Exists(dst + "four/x.dat"));  // no record lists its place
}

#ifndef _WIN32
TEST_F(InstallStepTest, OnlyRegularFilesAreDigestedOrMoved) {
    Record(kMd5A, "pipe.dat", 1);
    Record(kMd5A, "link.dat", 1);
    Put(dir.Path() + "/", "outside.dat", "a");
    // A pipe would block the digest for ever; a link would be followed out of the tree.
    ASSERT_EQ(mkfifo(platform::NativePath((src + "pipe.dat").c_str()).c_str(), 0644), 0);
    ASSERT_EQ(symlink(platform::NativePath(dir.Join("outside.dat").c_str()).c_str(),
                      platform::NativePath((src + "link.dat").c_str()).c_str()),
              0);
    Install();
    EXPECT_FALSE(Exists(dst + "pipe.dat"));
    EXPECT_FALSE(Exists(dst + "link.dat"));
    EXPECT_EQ(ReadFile(dir.Join("outside.dat")), "a");
    EXPECT_FALSE(files[0].verified);
    EXPECT_FALSE(files[1].verified);
    EXPECT_TRUE(Logged(Log(), "没拷贝pipe.dat"));
}

// Another user of the machine swaps a folder of the install for their own link to a
// folder elsewhere, over and over, while the install step runs: whatever the timing,
// nothing lands in that folder (each file is installed in the real folder, or the run
// ends refusing the link). Runs as root only, the one user here who can make a link
// owned by someone else.
TEST_F(InstallStepTest, AFolderSwappedForAnotherUsersLinkMidwayIsNeverWrittenThrough) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to own a link by another user";
    const std::string outside = dir.Join("outside"), data = dst + "data";
    platform::CreateFolder(outside.c_str());
    const std::string linkPath = data + ".link";
    ASSERT_EQ(symlink(platform::NativePath(outside.c_str()).c_str(), linkPath.c_str()), 0);
    ASSERT_EQ(lchown(linkPath.c_str(), 65534, 65534), 0);
    constexpr int kFiles = 20;
    for (int i = 0; i < kFiles; ++i) Record(kMd5Abc, ("data/f" + std::to_string(i)).c_str(), 3);

    constexpr int kRuns = 300;
    int refused = 0, swaps = 0;
    for (int run = 0; run < kRuns; ++run) {
        platform::CreateFolder(data.c_str());
        for (int i = 0; i < kFiles; ++i) Put(src, "data/f" + std::to_string(i), "abc");
        std::atomic<bool> done{false};
        std::thread attacker([&] {
            while (!done.load()) {
                // One atomic step each way: "data" is always the real folder or the link.
                if (renameat2(AT_FDCWD, data.c_str(), AT_FDCWD, linkPath.c_str(),
                              RENAME_EXCHANGE) == 0) {
                    ++swaps;
                }
            }
        });
        try {
            Install();
        } catch (const UpdateFailed&) {
            ++refused;
        }
        done.store(true);
        attacker.join();
        struct stat st;
        if (lstat(data.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            ASSERT_EQ(
                renameat2(AT_FDCWD, data.c_str(), AT_FDCWD, linkPath.c_str(), RENAME_EXCHANGE), 0);
        }
        platform::FolderListing listing(outside.c_str());
        std::string name;
        bool isFolder = false;
        int entriesOutside = 0;
        while (listing.Next(name, isFolder)) entriesOutside += name != "." && name != "..";
        ASSERT_EQ(entriesOutside, 0) << "run " << run << " wrote through the link";
        ASSERT_FALSE(Exists(outside + "/f0"));
    }
    printf("%d runs, %d swaps, %d refused the link\n", kRuns, swaps, refused);
    EXPECT_GT(swaps, 0);
}
#endif

// Holds a file the way a running lobby does: open without sharing on Windows, locked
// through another open file description on POSIX.
class FileInUse {
public:
    explicit FileInUse(const std::string& path) {
#ifdef _WIN32
        m_handle = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        held = m_handle != INVALID_HANDLE_VALUE;
#else
        m_fd = open(platform::NativePath(path.c_str()).c_str(), O_RDONLY);
        held = m_fd >= 0 && flock(m_fd, LOCK_EX) == 0;
#endif
    }
    ~FileInUse() { Release(); }
    void Release() {
#ifdef _WIN32
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
#else
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
#endif
    }
    bool held = false;

private:
#ifdef _WIN32
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
    int m_fd = -1;
#endif
};

const char kInUse[] = "文件已被打开，请关闭游戏大厅后重试！";

TEST_F(InstallStepTest, FileInUseAnsweredNoAbandonsTheRun) {
    Record(kMd5Abc, "lobby.dll");
    Put(src, "lobby.dll", "abc");
    Put(dst, "lobby.dll", "old");
    FileInUse hold(dst + "lobby.dll");
    ASSERT_TRUE(hold.held);

    bool threw = false;
    try {
        Install();
    } catch (const UpdateFailed& failure) {
        threw = true;
        EXPECT_EQ(failure.Step(), FailedStep::Install);
        EXPECT_EQ(failure.Lines().at(0), "文件被占用，更新失败:" + dst + "lobby.dll");
    }
    EXPECT_TRUE(threw);
    hold.Release();
    EXPECT_EQ(ReadFile(dst + "lobby.dll"), "old");
    EXPECT_EQ(ReadFile(src + "lobby.dll"), "abc");  // kept for the next run
    const auto messages = env.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(kInUse), std::string::npos);
    EXPECT_NE(messages[0].find("lobby.dll"), std::string::npos);
}

FileInUse* g_held = nullptr;
int g_prompts = 0;

// Answers "Yes"; the lobby lets go of the file before the second answer. A step that
// keeps asking gets "No" after a few prompts rather than running forever.
int RetryTwice(const char* text, const char*, unsigned style) {
    EXPECT_EQ(style, static_cast<unsigned>(platform::kMbYesNo));
    EXPECT_NE(std::string(text).find(kInUse), std::string::npos);
    if (++g_prompts == 2) g_held->Release();
    return g_prompts < 5 ? platform::kIdYes : platform::kIdNo;
}

TEST_F(InstallStepTest, FileInUseRetriedUntilFreeThenTheWalkGoesOn) {
    Record(kMd5Abc, "lobby.dll");
    Record(kMd5A, "other/a.txt");
    Record(kMd5A, "z.txt");
    Put(src, "lobby.dll", "abc");
    Put(src, "other/a.txt", "a");
    Put(src, "z.txt", "a");
    Put(dst, "lobby.dll", "old");
    FileInUse hold(dst + "lobby.dll");
    ASSERT_TRUE(hold.held);
    g_held = &hold;
    g_prompts = 0;
    platform::SetMessageBoxHookForTesting(&RetryTwice);
    EXPECT_NO_THROW(Install());
    platform::SetMessageBoxHookForTesting(nullptr);
    g_held = nullptr;

    EXPECT_EQ(g_prompts, 2);
    EXPECT_EQ(ReadFile(dst + "lobby.dll"), "abc");
    EXPECT_EQ(ReadFile(dst + "other/a.txt"), "a");
    EXPECT_EQ(ReadFile(dst + "z.txt"), "a");
    EXPECT_FALSE(Exists(src + "lobby.dll"));
}

TEST_F(InstallStepTest, EmptyOrMissingTreeOnlyCreatesTheDestination) {
    platform::CreateFolder(dir.Join("empty").c_str());
    CopyTree(dir.Join("target1/"), dir.Join("empty/"));
    CopyTree(dir.Join("target2/"), dir.Join("missing/"));
    for (const std::string& target : {dir.Join("target1"), dir.Join("target2")}) {
        EXPECT_TRUE(platform::PathExists(target.c_str()));
        platform::FolderListing listing(target.c_str());
        std::string name;
        bool isFolder;
        int entries = 0;
        while (listing.Next(name, isFolder)) entries += name != "." && name != "..";
        EXPECT_EQ(entries, 0) << target;
    }
    EXPECT_FALSE(platform::PathExists(dir.Join("missing").c_str()));
    EXPECT_EQ(log.LineCount(), 0);
}

}  // namespace
