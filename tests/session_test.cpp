#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "common/text.h"
#include "platform/platform.h"
#include "test_util.h"
#include "ui/update_dlg.h"

namespace {

using testutil::FixedEnvironment;
using testutil::ReadFile;
using testutil::TempDir;

TEST(SessionPaths, DerivedFromTheExecutablesFolder) {
    testing::internal::CaptureStdout();
    CUpdateDlg dlg;
    dlg.InitSessionPaths();
    char self[260];
    ASSERT_TRUE(platform::ModulePath(self, sizeof(self)));
    std::string dir = self;
    dir.resize(dir.find_last_of("/\\"));
    EXPECT_EQ(std::string(dlg.m_gameDir), dir);
    EXPECT_EQ(std::string(dlg.m_lobbyPath), dir + "\\Halcyra.exe");
    EXPECT_STREQ(dlg.m_packageName, "Vadarodazu");
    EXPECT_EQ(std::string(dlg.m_serverUrl).rfind("http://", 0), 0u);
    EXPECT_EQ(std::string(dlg.m_serverUrl).substr(strlen(dlg.m_serverUrl) - 10), "/DownLoad/");
    // "更新失败，请到 " ... "下载最新版本"
    EXPECT_EQ(std::string(dlg.m_failMessage)
                  .rfind("\xb8\xfc\xd0\xc2\xca\xa7\xb0\xdc\xa3\xac\xc7\xeb\xb5\xbd ", 0),
              0u);
    EXPECT_NE(
        std::string(dlg.m_failMessage).find("\xcf\xc2\xd4\xd8\xd7\xee\xd0\xc2\xb0\xe6\xb1\xbe"),
        std::string::npos);
    EXPECT_FALSE(dlg.m_pathTooLong);
    testing::internal::GetCapturedStdout();
}

TEST(SessionPaths, AnInstallFolderTooLongForTheLobbysPathIsRefused) {
    testing::internal::CaptureStdout();
    // 245 bytes fit the folder's field, but not with "\Halcyra.exe" after them.
    const std::string folder = "/" + std::string(244, 'g');
    platform::SetModuleDirForTesting(folder.c_str());
    {
        CUpdateDlg dlg;
        dlg.InitSessionPaths();
        EXPECT_TRUE(dlg.m_pathTooLong);
    }
    platform::SetModuleDirForTesting("/games/lobby");
    {
        CUpdateDlg dlg;
        dlg.InitSessionPaths();
        EXPECT_FALSE(dlg.m_pathTooLong);
        EXPECT_STREQ(dlg.m_lobbyPath, "/games/lobby\\Halcyra.exe");
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
    CUpdateDlg dlg;
    // An executable in the root of a drive leaves "C:" as the install directory.
    dlg.StartSession("C:", "Vadarodazu", "http://127.0.0.1:1/DownLoad//");
    testing::internal::GetCapturedStdout();
    const auto messages = FixedEnvironment::Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("\xd7\xd4\xb6\xaf\xb8\xfc\xd0\xc2", 0), 0u);  // 自动更新...
    // No worker was started, and the window is told to end the run as failed rather
    // than wait for ever.
    EXPECT_TRUE(dlg.StopWorker(0));
    EXPECT_EQ(dlg.m_status, STATUS_FAILED);
}

TEST(StartSession, LogPathAndFirstLines) {
    TempDir dir;
    FixedEnvironment env;
    testing::internal::CaptureStdout();
    {
        CUpdateDlg dlg;
        snprintf(dlg.m_serverUrl, sizeof(dlg.m_serverUrl), "bad");  // RunUpdate fails at once
        dlg.StartSession(dir.Path().c_str(), "Vadarodazu", "http://127.0.0.1:1/DownLoad//");
        ASSERT_TRUE(dlg.StopWorker(10000));
        EXPECT_EQ(dlg.m_status, STATUS_FAILED);
        EXPECT_EQ(dlg.m_totalSize, 0);
        EXPECT_STREQ(dlg.m_downloadBase, "http://127.0.0.1:1/DownLoad//");
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
    CUpdateDlg dlg;
    const std::string deep = dir.Path() + "/" + std::string(300, 'd');
    dlg.StartSession(deep.c_str(), "Vadarodazu", "http://127.0.0.1:1/DownLoad//");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dlg.m_status, STATUS_FAILED);
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

TEST(InstanceGuard, AHolderThatDiedLeavesItObtainable) {
    const std::string name = "QVHalcyraTestDead" + std::to_string(platform::TickCount());
    EXPECT_EQ(testutil::RunSelf({"--guard-die", name}), 5);
    platform::InstanceGuard guard;
    EXPECT_TRUE(guard.Acquire(name.c_str()));
}

}  // namespace
