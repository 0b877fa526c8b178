// The system's failures as the platform layer reports them: the error code taken right
// after the failing call, and the system's text for it, fit for a GBK log line.
#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/text.h"
#include "test_util.h"

#ifdef _WIN32
#include <windows.h>
#include <wininet.h>
#else
#include <cerrno>
#endif

namespace {

#ifdef _WIN32
const long kFileNotFound = ERROR_FILE_NOT_FOUND;
const long kConnectionRefused = ERROR_INTERNET_CANNOT_CONNECT;  // WinInet's own code
#else
const long kFileNotFound = ENOENT;
const long kConnectionRefused = ECONNREFUSED;
#endif

TEST(SystemError, TextsAreWholeGbkLinesWithoutLineEnds) {
    EXPECT_EQ(platform::ErrorText(0), "");
    for (long code : {kFileNotFound, kConnectionRefused}) {
        const std::string text = platform::ErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_TRUE(platform::IsConvertibleName(text.c_str())) << code << ": " << text;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code << ": " << text;
        EXPECT_NE(text.back(), ' ') << code;
    }
}

TEST(SystemError, TheCodeIsTheFailingCallsOwn) {
    testutil::TempDir dir;
    ASSERT_FALSE(platform::RemoveFile(dir.Join("missing").c_str()));
    const platform::FileError error = platform::LastError<platform::FileError>("remove failed");
    EXPECT_EQ(error.Code(), kFileNotFound);
    EXPECT_EQ(std::string(error.what()), "remove failed (" + std::to_string(kFileNotFound) + ": " +
                                             platform::ErrorText(kFileNotFound) + ")");
    // Without a code from the system, only the step.
    EXPECT_STREQ(platform::HttpError("body cut short").what(), "body cut short");
    EXPECT_EQ(platform::HttpError("body cut short").Code(), 0);
}

TEST(SystemError, ALongReasonIsCutAtACharacter) {
    // "错" is two bytes: 150 of them never fit, and no half character may be left.
    std::string reason;
    for (int i = 0; i < 150; ++i) reason += "\xb4\xed";
    const std::string text = platform::SystemError("step", 5, reason).what();
    ASSERT_EQ(text.compare(0, 9, "step (5: "), 0) << text;
    ASSERT_EQ(text.back(), ')');
    const std::string kept = text.substr(9, text.size() - 10);
    EXPECT_LT(kept.size(), reason.size());
    EXPECT_GE(kept.size(), 150u);
    EXPECT_EQ(kept.size() % 2, 0u);
    EXPECT_EQ(reason.compare(0, kept.size(), kept), 0);
    EXPECT_STREQ(platform::SystemError("step", 7, "").what(), "step (7)");
}

}  // namespace
