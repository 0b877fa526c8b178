#include <gtest/gtest.h>

#include <string>

#include "log/update_log.h"
#include "test_util.h"

namespace {

using testutil::FixedEnvironment;
using testutil::ReadFile;
using testutil::TempDir;

// "日志创建时间： [" in GBK.
const std::string kHeaderStart = "\xc8\xd5\xd6\xbe\xb4\xb4\xbd\xa8\xca\xb1\xbc\xe4\xa3\xba [";

TEST(UpdateLog, FileBytesAreThoseOfWindowsTextMode) {
    TempDir dir;
    FixedEnvironment env;
    const std::string path = dir.Join("updatelog.txt");
    {
        UpdateLog log;
        ASSERT_TRUE(log.Open(path.c_str()));
        testing::internal::CaptureStdout();
        log.WriteLine("hello %d", 42);
        log.WriteLine("two\nlines");
        log.WriteLine("开始下载");
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(log.LineCount(), 3);
    }
    EXPECT_EQ(ReadFile(path), kHeaderStart +
                                  "03/05/26 14:05:09]\r\r\n"
                                  "[    1][14:05:09]hello 42\r\r\n"
                                  "[    2][14:05:09]two\r\nlines\r\r\n"
                                  "[    3][14:05:09]\xbf\xaa\xca\xbc\xcf\xc2\xd4\xd8\r\r\n");
}

TEST(UpdateLog, StandardOutputGetsTheLineAsComposed) {
    TempDir dir;
    FixedEnvironment env;
    UpdateLog log;
    ASSERT_TRUE(log.Open(dir.Join("updatelog.txt").c_str()));
    testing::internal::CaptureStdout();
    log.WriteLine("abc");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[    1][14:05:09]abc\r\n");
}

TEST(UpdateLog, NothingIsWrittenBeforeOpenOrAfterAFailedOpen) {
    TempDir dir;
    UpdateLog log;
    testing::internal::CaptureStdout();
    log.WriteLine("before open");
    EXPECT_EQ(log.LineCount(), 0);

    EXPECT_FALSE(log.Open(dir.Join("no-such-folder/updatelog.txt").c_str()));
    log.WriteLine("after a failed open");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log.LineCount(), 0);
}

TEST(UpdateLog, ANewRunTruncatesThePreviousLog) {
    TempDir dir;
    FixedEnvironment env;
    const std::string path = dir.Join("updatelog.txt");
    testutil::WriteFile(path, std::string(5000, 'x'));
    UpdateLog log;
    ASSERT_TRUE(log.Open(path.c_str()));
    EXPECT_EQ(ReadFile(path), kHeaderStart + "03/05/26 14:05:09]\r\r\n");
}

TEST(UpdateLog, LongMessagesAreCutAtTheLimitAndNeverOverflow) {
    TempDir dir;
    FixedEnvironment env;
    const std::string path = dir.Join("updatelog.txt");
    const std::string exact(UpdateLog::kMaxMessage, 'e');
    const std::string longer(20000, 'L');
    // A double-byte character that would straddle the limit is dropped whole.
    const std::string straddling = std::string(UpdateLog::kMaxMessage - 1, 's') + "中文";
    {
        UpdateLog log;
        ASSERT_TRUE(log.Open(path.c_str()));
        testing::internal::CaptureStdout();
        log.WriteLine("%s", exact.c_str());
        log.WriteLine("%s", longer.c_str());
        log.WriteLine("%s", straddling.c_str());
        log.WriteLine("%s%s", longer.c_str(), longer.c_str());
        testing::internal::GetCapturedStdout();
    }
    const std::string header = kHeaderStart + "03/05/26 14:05:09]\r\r\n";
    const std::string expected =
        header + "[    1][14:05:09]" + exact + "\r\r\n" + "[    2][14:05:09]" +
        std::string(UpdateLog::kMaxMessage, 'L') + "\r\r\n" + "[    3][14:05:09]" +
        std::string(UpdateLog::kMaxMessage - 1, 's') + "\r\r\n" + "[    4][14:05:09]" +
        std::string(UpdateLog::kMaxMessage, 'L') + "\r\r\n";
    EXPECT_TRUE(ReadFile(path) == expected);
}

TEST(UpdateLog, LineNumbersWidenPastFiveDigits) {
    TempDir dir;
    FixedEnvironment env;
    const std::string path = dir.Join("updatelog.txt");
    {
        UpdateLog log;
        ASSERT_TRUE(log.Open(path.c_str()));
        testing::internal::CaptureStdout();
        for (int i = 0; i < 100000; ++i) log.WriteLine("x");
        testing::internal::GetCapturedStdout();
    }
    const std::string bytes = ReadFile(path);
    EXPECT_NE(bytes.find("\n[99999][14:05:09]x\r\r\n[100000][14:05:09]x\r\r\n"), std::string::npos);
    EXPECT_EQ(bytes.size(), kHeaderStart.size() + 21 + 99999 * 21 + 22);
}

TEST(UpdateLog, DestroyedLogSilencesLateWriters) {
    TempDir dir;
    FixedEnvironment env;
    const std::string path = dir.Join("updatelog.txt");
    UpdateLog survivor;
    ASSERT_TRUE(survivor.Open(path.c_str()));
    {
        UpdateLog other;  // its destruction clears the process-wide switch
    }
    EXPECT_FALSE(g_logEnabled);
    testing::internal::CaptureStdout();
    survivor.WriteLine("dropped");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(survivor.LineCount(), 0);
    g_logEnabled = true;
}

}  // namespace
