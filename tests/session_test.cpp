#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "common/failure.h"
#include "common/text.h"
#include "install/layout.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "session/update_run.h"
#include "test_util.h"

namespace {

using testutil::FixedEnvironment;
using testutil::ReadFile;
using testutil::TempDir;

TEST(SessionPaths, DerivedFromTheExecutablesFolder) {
    testing::internal::CaptureStdout();
    UpdateRun run;
    char self[260];
    ASSERT_TRUE(platform::ModulePath(self, sizeof(self)));
    std::string dir = self;
    dir.resize(dir.find_last_of("/\\"));
    const InstallLayout& layout = run.Layout();
    EXPECT_EQ(layout.GameDir(), dir);
    EXPECT_EQ(layout.LobbyPath(), dir + "\\Halcyra.exe");
    EXPECT_EQ(layout.ServerUrl().rfind("http://", 0), 0u);
    EXPECT_EQ(layout.ServerUrl().substr(layout.ServerUrl().size() - 10), "/DownLoad/");
    EXPECT_NE(layout.ManifestUrl().find("/DownLoad/Vadarodazu.xml"), std::string::npos);
    // "更新失败，请到 " ... "下载最新版本"
    EXPECT_EQ(
        run.FailMessage().rfind("\xb8\xfc\xd0\xc2\xca\xa7\xb0\xdc\xa3\xac\xc7\xeb\xb5\xbd ", 0),
        0u);
    EXPECT_NE(run.FailMessage().find("\xcf\xc2\xd4\xd8\xd7\xee\xd0\xc2\xb0\xe6\xb1\xbe"),
              std::string::npos);
    testing::internal::GetCapturedStdout();
}

UrlStyle Style(bool utf8, bool queries) {
    UrlStyle style;
    style.utf8Names = utf8;
    style.cacheQueries = queries;
    return style;
}

TEST(SessionPaths, EachFilesPlacesAndTheLengthRule) {
    const InstallLayout layout("/games/lobby", "http://h:1/DownLoad/", Style(false, true));
    const InstallLayout::Entry e = layout.For("data/x.dat", "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(e.installed, "/games/lobby/data/x.dat");
    EXPECT_EQ(e.temporary, "/games/lobby/Update/Vadarodazu/data/x.dat");
    EXPECT_EQ(e.url,
              "http://h:1/DownLoad/Vadarodazu/data/x.dat?md5=900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(e.logName, "Vadarodazu/data/x.dat");
    EXPECT_EQ(layout.DownloadedManifest(), "/games/lobby/Update/Vadarodazu.xml");
    EXPECT_EQ(layout.InstalledManifest(), "/games/lobby\\Vadarodazu.xml");

    // The temporary path is the longest: it may have kMaxPath bytes, not one more.
    const std::string folder = "/" + std::string(100, 'g');
    const InstallLayout deep(folder, "http://h:1/DownLoad/", Style(false, true));
    const size_t fits = InstallLayout::kMaxPath - deep.TreeRoot().size();
    EXPECT_EQ(deep.For(std::string(fits, 'n').c_str()).temporary.size(), InstallLayout::kMaxPath);
    try {
        deep.For(std::string(fits + 1, 'n').c_str());
        ADD_FAILURE() << "a path one byte too long was taken";
    } catch (const UpdateFailed& failure) {
        EXPECT_EQ(failure.Lines().at(0), "路径太长，更新失败:" + std::string(fits + 1, 'n'));
    }
}

// URLs any server answers: single separators, every byte outside the unreserved ones
// percent-encoded, names as their GBK bytes or as UTF-8; the manifest under a query no
// cache has seen, each file under its digest.
TEST(SessionPaths, UrlsAnyServerAnswers) {
    struct Case {
        const char* name;
        bool utf8;
        const char* path;
    } cases[] = {
        {"readme.txt", false, "readme.txt"},
        {"a//b/./c.txt", false, "a/b/c.txt"},
        {"/lead.txt", false, "lead.txt"},
        {"data\\x.dat", false, "data/x.dat"},
        {"sp ace+plus&amp.txt", false, "sp%20ace%2Bplus%26amp.txt"},
        {"Tilde~-_.ok", false, "Tilde~-_.ok"},
        {"\xd6\xd0\xce\xc4/\xb8\xfc.txt", false, "%D6%D0%CE%C4/%B8%FC.txt"},  // 中文/更
        {"\xd6\xd0\xce\xc4/\xb8\xfc.txt", true, "%E4%B8%AD%E6%96%87/%E6%9B%B4.txt"},
        {"\x9c\x5c.txt", false, "%9C%5C.txt"},  // a second byte that is "\\" is no separator
    };
    for (const Case& c : cases) {
        const InstallLayout layout("/g", "https://h/DownLoad/", Style(c.utf8, false));
        EXPECT_EQ(layout.For(c.name, "d41d8cd98f00b204e9800998ecf8427e").url,
                  std::string("https://h/DownLoad/Vadarodazu/") + c.path)
            << c.name;
    }
    const InstallLayout plain("/g", "http://h/DownLoad/", Style(false, false));
    EXPECT_EQ(plain.ManifestUrl(), "http://h/DownLoad/Vadarodazu.xml");
    EXPECT_EQ(plain.SignatureUrl(), "http://h/DownLoad/Vadarodazu.xml.sig");
    const InstallLayout fresh("/g", "http://h/DownLoad/", Style(false, true));
    const std::string first = fresh.ManifestUrl(), second = fresh.ManifestUrl();
    EXPECT_EQ(first.rfind("http://h/DownLoad/Vadarodazu.xml?t=", 0), 0u);
    EXPECT_NE(first, second);
}

TEST(SessionPaths, AnInstallFolderTooLongForTheLobbysPathIsRefused) {
    testing::internal::CaptureStdout();
    // 245 bytes fit a path, but not with "\Halcyra.exe" after them.
    const std::string folder = "/" + std::string(244, 'g');
    platform::SetModuleDirForTesting(folder.c_str());
    {
        FixedEnvironment env;
        UpdateRun run;
        EXPECT_FALSE(run.Start());
        EXPECT_EQ(run.Status(), RunStatus::Failed);
        ASSERT_EQ(FixedEnvironment::Messages().size(), 1u);
        EXPECT_NE(FixedEnvironment::Messages()[0].find("游戏目录的路径太长"), std::string::npos);
    }
    platform::SetModuleDirForTesting("/games/lobby");
    {
        UpdateRun run;
        EXPECT_EQ(run.Layout().LobbyPath(), "/games/lobby\\Halcyra.exe");
    }
    platform::SetModuleDirForTesting(nullptr);
    testing::internal::GetCapturedStdout();
}

TEST(SessionPaths, FolderOfTheExecutablesPath) {
    const auto folder = [](const char* path) {
        char buf[260];
        snprintf(buf, sizeof(buf), "%s", path);
        CutAtLastSeparator(buf);
        return std::string(buf);
    };
    EXPECT_EQ(folder("D:\\Games\\Lobby\\up.exe"), "D:\\Games\\Lobby");
    EXPECT_EQ(folder("C:\\up.exe"), "C:");  // then too short: see below
    EXPECT_EQ(folder("/opt/lobby/up"), "/opt/lobby");
    EXPECT_EQ(folder("up.exe"), "");
    // A folder whose name ends in a double-byte character with "\" as its second byte.
    EXPECT_EQ(folder("D:\\\x81\x5c\\up.exe"), "D:\\\x81\x5c");
}

TEST(StartSession, DirectoryTooShortShowsTheMessageAndFailsTheRun) {
    TempDir dir;
    FixedEnvironment env;
    testing::internal::CaptureStdout();
    // An executable in the root of a drive leaves "C:" as the install directory.
    UpdateRun run("C:", "http://127.0.0.1:1/DownLoad/");
    EXPECT_FALSE(run.Start());
    testing::internal::GetCapturedStdout();
    const auto messages = FixedEnvironment::Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("\xd7\xd4\xb6\xaf\xb8\xfc\xd0\xc2", 0), 0u);  // 自动更新...
    // No worker was started, and the window is told to end the run as failed rather
    // than wait for ever.
    EXPECT_TRUE(run.Wait(0));
    EXPECT_EQ(run.Status(), RunStatus::Failed);
}

TEST(StartSession, LogPathAndFirstLines) {
    TempDir dir;
    FixedEnvironment env;
    testing::internal::CaptureStdout();
    {
        UpdateRun run(dir.Path(), "bad");  // the update fails at once
        ASSERT_TRUE(run.Start());
        ASSERT_TRUE(run.Wait(10000));
        EXPECT_EQ(run.Status(), RunStatus::Failed);
        EXPECT_EQ(run.Snapshot().totalSize, 0);
    }
    testing::internal::GetCapturedStdout();
    const std::string log = ReadFile(dir.Path() + "/updatelog.txt");
    // 下载Vadarodazu,当前目录为:<dir>, 检查更新服务器, ip有问题，更新失败
    EXPECT_NE(
        log.find(
            "[    "
            "1][14:05:09]\xcf\xc2\xd4\xd8Vadarodazu,\xb5\xb1\xc7\xb0\xc4\xbf\xc2\xbc\xce\xaa:" +
            dir.Path() + "\r\r\n"),
        std::string::npos);
    EXPECT_NE(
        log.find("[    2][14:05:09]\xbc\xec\xb2\xe9\xb8\xfc\xd0\xc2\xb7\xfe\xce\xf1\xc6\xf7\r\r\n"),
        std::string::npos);
    EXPECT_NE(log.find("[    3][14:05:09]ip\xd3\xd0\xce\xca\xcc\xe2"), std::string::npos);
}

TEST(StartSession, OverlongDirectoryFailsTheRun) {
    TempDir dir;
    FixedEnvironment env;
    testing::internal::CaptureStdout();
    UpdateRun run(dir.Path() + "/" + std::string(300, 'd'), "http://127.0.0.1:1/DownLoad/");
    EXPECT_FALSE(run.Start());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(run.Status(), RunStatus::Failed);
    const auto messages = FixedEnvironment::Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("游戏目录的路径太长"), std::string::npos);
}

TEST(InstanceGuard, SecondProcessIsTurnedAwayUntilTheHolderLetsGo) {
    const std::string name = "QVHalcyraTest" + std::to_string(platform::TickCount());
    platform::InstanceGuard guard;
    ASSERT_TRUE(guard.Acquire(name.c_str()));
    EXPECT_EQ(testutil::RunSelf({"--guard-probe", name}), 3);
    guard.Release();
    EXPECT_EQ(testutil::RunSelf({"--guard-probe", name}), 0);
}

#ifndef _WIN32
// Another user takes the guard's address first (any user may): it stops no one. The
// updater's own copies still keep each other out.
TEST(InstanceGuard, AnotherUsersHolderStopsNoOne) {
    if (geteuid() != 0) GTEST_SKIP() << "a holder of another user needs root to make";
    const std::string name = "QVHalcyraTestSquat" + std::to_string(platform::TickCount());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t squatter = fork();
    ASSERT_GE(squatter, 0);
    if (squatter == 0) {
        // As nobody: listening on the address, as a copy of the updater would.
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr;
        memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, name.data(), name.size());
        const socklen_t len =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        const bool held = setuid(65534) == 0 && fd >= 0 &&
                          bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                          listen(fd, 8) == 0;
        const char byte = held ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1 || !held) _exit(1);
        pause();
        _exit(0);
    }
    char byte = 'n';
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(byte, 'y');
    {
        platform::InstanceGuard guard;
        EXPECT_TRUE(guard.Acquire(name.c_str()));
        EXPECT_EQ(testutil::RunSelf({"--guard-probe", name}), 3);
    }
    EXPECT_EQ(testutil::RunSelf({"--guard-probe", name}), 0);
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
}
#endif

TEST(InstanceGuard, AHolderThatDiedLeavesItObtainable) {
    const std::string name = "QVHalcyraTestDead" + std::to_string(platform::TickCount());
    EXPECT_EQ(testutil::RunSelf({"--guard-die", name}), 5);
    platform::InstanceGuard guard;
    EXPECT_TRUE(guard.Acquire(name.c_str()));
}

}  // namespace
