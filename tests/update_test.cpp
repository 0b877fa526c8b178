// The whole update procedure in-process, against the loopback server, on a real install
// folder: which files are fetched, what ends up installed, and what a failed run keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "run_fixture.h"
#include "manifest/manifest.h"
#include "platform/files.h"
#include "test_util.h"

namespace {

using testutil::Exists;
using testutil::ReadFile;
using testutil::Reply;
using testutil::WriteFile;

const char kMd5Abc[] = "900150983cd24fb0d6963f7d28e17f72";
const char kMd5Xyz[] = "d16fb36f0911f878998c136191af705e";
const char kMd5Old[] = "149603e6c03516362a8da23f624db945";  // "old"

using testutil::File;
using testutil::ReleaseManifest;

std::string Body(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 17);
    return s;
}

File Listed(const std::string& name, const std::string& body) { return {name, body}; }

class RunUpdateTest : public testutil::RunFixture {
protected:
    // Serves a release: its manifest and every file.
    void Serve(const std::vector<File>& files) { ServeRelease(ReleaseManifest(files), files); }
    // Serves a release of `count` files of `size` bytes, each sent a byte a millisecond.
    std::vector<File> ServeDripping(int count, size_t size) {
        std::vector<File> release;
        for (int i = 0; i < count; ++i)
            release.push_back(Listed("s" + std::to_string(i), Body(size, 's')));
        Serve(release);
        for (const File& f : release) {
            Reply drip{"200 OK", {}, f.body};
            drip.dripMs = 1;
            server.Route(FilePath(f.name), drip);
        }
        return release;
    }
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
    EXPECT_EQ(Installed("Vadarodazu.xml"), ReleaseManifest({{"a.txt", kMd5Abc, "abc"},
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
    WriteFile(dir.Join("Vadarodazu.xml"), ReleaseManifest({{"a.txt", upper, "abc"}}));
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
        server.Route(ManifestPath(), Reply{"200 OK", {}, body});
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

// Refused names are logged with their control bytes escaped: a name cannot forge lines.
TEST_F(RunUpdateTest, RefusedNamesAreRefusedBeforeAnyDownloadAndLoggedAsOneLine) {
    for (const char* name : {"Update/Vadarodazu.xml", "md5.xml", "updatelog.txt", "update/x.txt",
                             "x.txt\r\n[    9][00:00:00]\xCF\xC2\xD4\xD8\xBA\xC3\xC1\xCB"}) {
        Serve({{"a.txt", kMd5Abc, "abc"}, {name, kMd5Abc, "abc"}});
        const int before = server.TotalRequests();
        EXPECT_FALSE(Run()) << name;
        EXPECT_EQ(server.TotalRequests(), before + 1) << name;  // the manifest alone
    }
    const std::string log = ReadFile(dir.Join("updatelog.txt"));
    EXPECT_NE(log.find("x.txt\\x0D\\x0A[    9]"), std::string::npos) << log;
    EXPECT_EQ(log.find("\n[    9][00:00:00]"), std::string::npos) << log;
}

// ---- Several files in flight ------------------------------------------------------

std::vector<File> Release(int count) {
    std::vector<File> files;
    for (int i = 0; i < count; ++i) {
        // Sizes from empty to several chunks, so transfers end in a mixed order.
        files.push_back(Listed("d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin",
                               Body(static_cast<size_t>(i * 7919 % 40000), 'a' + i % 20)));
    }
    return files;
}

// The files "正在下载" was logged for, in the log's order, each checked to be followed at
// once by the line of its first bytes ("开始下载", or "文件大小为0" and its name).
std::vector<std::string> StartedInLog(const std::string& log) {
    std::vector<std::string> names;
    const std::string marker = "正在下载Vadarodazu/";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        const size_t from = at + marker.size();
        const size_t end = log.find('\r', from);
        names.push_back(log.substr(from, end - from));
        const size_t next = log.find("][", end) + 11;  // past "[    n][hh:mm:ss]"
        const std::string pair = log.substr(next, log.find('\r', next) - next);
        EXPECT_TRUE(pair == "开始下载" || pair == "文件大小为0Vadarodazu/" + names.back())
            << names.back() << " is followed by " << pair;
    }
    return names;
}

TEST_F(RunUpdateTest, AFileWhosePathsDoNotFitFailsTheRunBeforeItIsFetched) {
    // An install folder of 200 bytes: a name of 60 passes the manifest's checks, but its
    // paths below the folder are longer than the system's.
    const std::string deep = dir.Path() + "/" + std::string(199 - dir.Path().size(), 'd');
    platform::CreateFolder(deep.c_str());
    const std::string name = std::string(60, 'n') + ".dat";
    Serve({{name, kMd5Abc, "abc"}});
    run.reset(new UpdateRun(deep, server.BaseUrl() + "/DownLoad/", options));
    EXPECT_EQ(run->RunHere(), RunStatus::Failed);
    EXPECT_EQ(Fetches(name), 0);
    EXPECT_NE(ReadFile(deep + "/updatelog.txt").find("路径太长，更新失败:" + name),
              std::string::npos);
}

TEST_F(RunUpdateTest, SeveralInFlightInstallEveryFileWithItsLogLinesTogether) {
    const std::vector<File> release = Release(23);
    Serve(release);
    options.parallelTransfers = 4;
    ASSERT_TRUE(Run());
    // Every byte counted once, the manifest's too.
    int32_t total = static_cast<int32_t>(ReleaseManifest(release).size());
    std::vector<std::string> names;
    for (const File& f : release) {
        EXPECT_EQ(Installed(f.name), f.body) << f.name;
        if (!f.body.empty()) {
            EXPECT_EQ(Fetches(f.name), 1) << f.name;
        }
        total += static_cast<int32_t>(f.body.size());
        names.push_back(f.name);
    }
    EXPECT_EQ(run->Snapshot().totalReceived, total);
    EXPECT_EQ(run->Snapshot().fileReceived, 0u);
    std::vector<std::string> logged = StartedInLog(ReadFile(dir.Join("updatelog.txt")));
    std::sort(logged.begin(), logged.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(logged, names);
    // The manifest's connection and three more, each kept for the whole run.
    EXPECT_LE(server.Connections(), 4);
}

TEST_F(RunUpdateTest, OneAtATimeAsksInTheManifestsOrderOnOneConnection) {
    const std::vector<File> release = Release(9);
    Serve(release);
    options.parallelTransfers = 1;
    ASSERT_TRUE(Run());
    std::vector<std::string> expected = {ManifestPath()};
    for (const File& f : release) {
        if (!f.body.empty()) expected.push_back(FilePath(f.name));
    }
    EXPECT_EQ(server.Order(), expected);
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(RunUpdateTest, AConnectionTheServerClosesBetweenFilesIsOpenedAgain) {
    const std::vector<File> release = Release(10);
    Serve(release);
    for (const File& f : release) {
        Reply reply{"200 OK", {}, f.body};
        reply.closeAfter = true;
        server.Route(FilePath(f.name), reply);
    }
    for (unsigned n : {1u, 4u}) {
        options.parallelTransfers = n;
        platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
        for (const File& f : release) platform::RemoveFile(dir.Join(f.name).c_str());
        ASSERT_TRUE(Run()) << n;
        for (const File& f : release) EXPECT_EQ(Installed(f.name), f.body) << f.name;
    }
}

// A file that fails while others are in flight: the run fails, a slow transfer still
// running is stopped short, nothing is installed and the installed manifest stays.
TEST_F(RunUpdateTest, OneFailingTransferFailsTheRunAndStopsTheOthers) {
    options.minRate = 1;  // the slow file is never stalled by the rate rule
    const std::string slowBody = Body(60000, 's');
    Reply notFound{"404 Not Found", {}, "<html><body>404</body></html>"};
    Reply cut{"200 OK", {}, Body(30000, 'c')};
    cut.sendOnly = 1000;
    Reply stalled{"200 OK", {}, Body(30000, 'c')};
    stalled.sendOnly = 1000;
    stalled.stallAfter = true;
    for (const Reply& bad : {notFound, cut, stalled}) {
        WriteFile(dir.Join("Vadarodazu.xml"), ReleaseManifest({{"slow.bin", kMd5Abc, "abc"}}));
        const std::vector<File> release = {Listed("slow.bin", slowBody), Listed("a.bin", "aaa"),
                                           Listed("bad.bin", Body(30000, 'c')),
                                           Listed("b.bin", "bbb")};
        Serve(release);
        Reply slow{"200 OK", {}, slowBody};
        slow.dripMs = 1;  // a minute for the whole body
        server.Route(FilePath("slow.bin"), slow);
        server.Route(FilePath("bad.bin"), bad);
        options.parallelTransfers = 4;
        // The window shows the failure once the status says so, and the process may end
        // then: its cause is in the log by that time, other transfers running or not.
        UpdateRun& started = NewRun();
        ASSERT_TRUE(started.Start());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (started.Status() == RunStatus::Running &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::string shown = ReadFile(dir.Join("updatelog.txt"));
        ASSERT_TRUE(started.Wait(120000));
        EXPECT_EQ(started.Status(), RunStatus::Failed);
        EXPECT_NE(shown.find("下载失败Vadarodazu/bad.bin:"), std::string::npos) << bad.status;
        const std::string log = ReadFile(dir.Join("updatelog.txt"));
        EXPECT_EQ(log.find("下载失败Vadarodazu/bad.bin:"),
                  log.rfind("下载失败Vadarodazu/bad.bin:"));
        // Stopped, not failed on its own: no cause logged for it, and not all there.
        EXPECT_EQ(log.find("下载失败Vadarodazu/slow.bin"), std::string::npos);
        EXPECT_LT(ReadFile(dir.Join("Update/Vadarodazu/slow.bin")).size(), slowBody.size());
        for (const char* name : {"a.bin", "b.bin", "bad.bin", "slow.bin"}) {
            EXPECT_FALSE(Exists(dir.Join(name))) << name;
        }
        EXPECT_EQ(Installed("Vadarodazu.xml"), ReleaseManifest({{"slow.bin", kMd5Abc, "abc"}}));
    }
}

// Dripping, or silent after their first bytes: a stop ends every transfer at once, on
// POSIX a read that waits on the server included (the receive time-out is ten minutes).
TEST_F(RunUpdateTest, StoppingTheWorkerStopsEveryTransfer) {
    options.minRate = 1;
    options.parallelTransfers = 4;
    options.receiveTimeoutMs = 600000;
#ifdef _WIN32
    // A WinInet read waiting on the server ends at its receive time-out only: closing
    // its handle from the stopping thread does not end it under Wine.
    const bool rows[] = {false};
#else
    const bool rows[] = {false, true};
#endif
    for (const bool silent : rows) {
        server.Reset();
        const std::vector<File> release = ServeDripping(6, 60000);
        for (const File& f : release) {
            platform::RemoveFile(dir.Join("Update/Vadarodazu/" + f.name).c_str());
            Reply quiet{"200 OK", {}, f.body};
            quiet.sendOnly = 100;
            quiet.stallAfter = true;
            if (silent) server.Route(FilePath(f.name), quiet);
        }
        UpdateRun& stopped = NewRun();
        ASSERT_TRUE(stopped.Start());
        // Until every slot has its first bytes, or the run ended on its own.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while ((server.TotalRequests() < 5 || stopped.Snapshot().totalReceived < 4) &&
               stopped.Status() == RunStatus::Running &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(stopped.Status(), RunStatus::Running) << silent;
        stopped.Stop();
        ASSERT_TRUE(stopped.Wait(120000)) << silent;
        EXPECT_EQ(stopped.Status(), RunStatus::Failed);
        EXPECT_TRUE(stopped.WasCancelled());
        EXPECT_EQ(server.TotalRequests(), 5);  // the manifest and the four in flight
        const std::string log = ReadFile(dir.Join("updatelog.txt"));
        EXPECT_EQ(log.find("下载失败"), std::string::npos) << silent;
        for (const File& f : release) EXPECT_FALSE(Exists(dir.Join(f.name))) << f.name;
    }
}

// ---- Servers and links as they are: connection limits, transient failures, resumed
// bodies, names listed twice, slow lines.

class RealServerTest : public RunUpdateTest {
protected:
    void SetUp() override {
        RunUpdateTest::SetUp();
        options.retry.firstWaitMs = 20;  // the waits' lengths are not what is tested
        options.retry.mostWaitMs = 40;
    }
    std::string Log() { return ReadFile(dir.Join("updatelog.txt")); }
    // The requests' Range header for `name`, one per request ("" when it had none).
    std::vector<std::string> Ranges(const std::string& name) {
        std::vector<std::string> ranges;
        for (const std::string& head : server.RequestHeads(FilePath(name))) {
            const size_t at = head.find("\r\nRange: ");
            ranges.push_back(at == std::string::npos
                                 ? ""
                                 : head.substr(at + 9, head.find('\r', at + 2) - at - 9));
        }
        return ranges;
    }
};

TEST_F(RealServerTest, AServerThatTakesOneOrTwoRequestsAtOnceGetsTheWholeRelease) {
    const std::vector<File> release = Release(20);
    for (int limit : {1, 2}) {
        server.Reset();
        server.LimitRequests(limit);
        Serve(release);
        for (const File& f : release) {
            Reply slow{"200 OK", {}, f.body};
            slow.delayMs = 50;  // requests overlap: more than the limit are asked at once
            server.Route(FilePath(f.name), slow);
        }
        for (const File& f : release) platform::RemoveFile(dir.Join(f.name).c_str());
        platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
        options.parallelTransfers = 8;
        ASSERT_TRUE(Run()) << limit;
        for (const File& f : release) EXPECT_EQ(Installed(f.name), f.body) << f.name;
        // The extra connections were closed, not the files failed.
        EXPECT_NE(Log().find("服务器不接受更多连接"), std::string::npos) << limit;
        EXPECT_EQ(Log().find("下载失败"), std::string::npos) << limit;
    }
}

TEST_F(RealServerTest, TransientAnswersAreTriedAgainAndOthersAreNot) {
    struct Case {
        Reply first;  // the file's first answer
        bool installed;
    } cases[] = {
        {{"503 Service Unavailable", {"Retry-After: 1"}, "deploying"}, true},
        {{"429 Too Many Requests", {}, "slow down"}, true},
        {{"502 Bad Gateway", {}, "upstream"}, true},
        {{"504 Gateway Timeout", {}, "upstream"}, true},
        {{"500 Internal Server Error", {}, "oops"}, true},
        {{"408 Request Timeout", {}, "late"}, true},
        {{"404 Not Found", {}, "gone"}, false},
        {{"403 Forbidden", {}, "no"}, false},
    };
    const File file = Listed("t.bin", Body(5000, 't'));
    for (const Case& c : cases) {
        server.Reset();
        Serve({file});
        server.RouteFirst(FilePath(file.name), c.first, 1);
        platform::RemoveFile(dir.Join(file.name).c_str());
        platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
        EXPECT_EQ(Run(), c.installed) << c.first.status;
        EXPECT_EQ(Fetches(file.name), c.installed ? 2 : 1) << c.first.status;
        EXPECT_EQ(Log().find("下载中断，") != std::string::npos, c.installed) << c.first.status;
    }
    // A deploy: every file answered 503 the first time it is asked for. Over one
    // connection, each retry that works gives the run its budget back; over eight, the
    // connections closed as the server refused them come back as files arrive (more
    // than the seven closings that would leave one).
    const std::vector<File> release = Release(40);
    const unsigned transfers = options.parallelTransfers;
    for (unsigned connections : {1u, 8u}) {
        server.Reset();
        Serve(release);
        for (const File& f : release) {
            server.RouteFirst(FilePath(f.name), Reply{"503 Service Unavailable", {}, "deploying"},
                              1);
            platform::RemoveFile(dir.Join(f.name).c_str());
        }
        platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
        platform::RemoveFile(dir.Join("updatelog.txt").c_str());
        options.parallelTransfers = connections;
        EXPECT_TRUE(Run()) << connections;
        for (const File& f : release) {
            EXPECT_EQ(Installed(f.name), f.body) << f.name;
            EXPECT_EQ(Fetches(f.name), f.body.empty() ? 0 : 2) << f.name;
        }
        if (connections > 1) {
            const std::string log = Log(), closed = "服务器不接受更多连接";
            int closings = 0;
            for (size_t at = log.find(closed); at != std::string::npos;
                 at = log.find(closed, at + 1)) {
                ++closings;
            }
            EXPECT_GT(closings, 7);
        }
    }
    options.parallelTransfers = transfers;
    // A server that keeps failing is given up on, after a bounded number of attempts.
    server.Reset();
    Serve({file});
    server.RouteFirst(FilePath(file.name), Reply{"503 Service Unavailable", {}, "down"}, 100);
    platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
    EXPECT_FALSE(Run());
    EXPECT_EQ(Fetches(file.name), 3);
}

TEST_F(RealServerTest, ABrokenBodyGoesOnFromTheBytesKept) {
    const File big = Listed("big.bin", Body(3000000, 'b'));
    struct Case {
        const char* what;
        bool ranges;                            // the server answers ranges
        long long shift;                        // its Content-Range starts this far off
        std::vector<std::string> ranges_asked;  // "" for a request without Range
    } cases[] = {
        {"resumed", true, 0, {"", "bytes=*"}},
        {"a server that ignores ranges", false, 0, {"", "bytes=*"}},
        {"a 206 that starts elsewhere", true, 10, {"", "bytes=*", ""}},
    };
    for (const Case& c : cases) {
        server.Reset();
        Serve({big});
        Reply whole{"200 OK", {}, big.body};
        whole.etag = "\"v1\"";
        whole.ranges = c.ranges;
        whole.rangeShift = c.shift;
        server.Route(FilePath(big.name), whole);
        // Cut by an orderly close: every byte sent arrives before the end. (Bytes sent
        // before a reset may be dropped unread, as many as the timing makes.)
        Reply cut = whole;
        cut.sendOnly = 1500000;
        server.RouteFirst(FilePath(big.name), cut, 1);
        platform::RemoveFile(dir.Join(big.name).c_str());
        platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
        ASSERT_TRUE(Run()) << c.what;
        EXPECT_TRUE(Installed(big.name) == big.body) << c.what;
        const std::vector<std::string> asked = Ranges(big.name);
        ASSERT_EQ(asked.size(), c.ranges_asked.size()) << c.what;
        for (size_t i = 0; i < asked.size(); ++i) {
            EXPECT_EQ(asked[i].empty(), c.ranges_asked[i].empty()) << c.what << " " << i;
        }
        if (std::string(c.what) == "resumed") {
            // The second answer brings exactly the bytes not kept, for the same file.
            const long long from = atoll(asked[1].c_str() + 6);
            EXPECT_GT(from, 0);
            EXPECT_EQ(
                server.BodyBytesSent(),
                static_cast<long long>(ReleaseManifest({big}).size()) + 1500000 + (3000000 - from));
            EXPECT_NE(server.RequestHeads(FilePath(big.name))[1].find("If-Range: \"v1\""),
                      std::string::npos);
            EXPECT_NE(Log().find("从第" + std::to_string(from) + "字节继续下载"),
                      std::string::npos);
        }
    }
    // A connection reset in the middle: however many of the bytes before it arrive, the
    // file is installed whole.
    server.Reset();
    Serve({big});
    Reply reset{"200 OK", {}, big.body};
    reset.resetAfter = 1500000;
    server.RouteFirst(FilePath(big.name), reset, 1);
    platform::RemoveFile(dir.Join(big.name).c_str());
    platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
    ASSERT_TRUE(Run());
    EXPECT_TRUE(Installed(big.name) == big.body);
}

TEST_F(RealServerTest, AFileChangedOnTheServerIsFetchedWholeNotMixed) {
    // The first answer comes from an old copy (a cache, a mirror not yet updated) and
    // breaks; the server now has the listed file under another ETag.
    const File now = Listed("c.bin", Body(400000, 'n'));
    Serve({now});
    Reply current{"200 OK", {}, now.body};
    current.etag = "\"v2\"";
    server.Route(FilePath(now.name), current);
    Reply old{"200 OK", {}, Body(400000, 'o')};
    old.etag = "\"v1\"";
    old.sendOnly = 200000;
    server.RouteFirst(FilePath(now.name), old, 1);
    ASSERT_TRUE(Run());
    EXPECT_TRUE(Installed(now.name) == now.body);
    const std::vector<std::string> heads = server.RequestHeads(FilePath(now.name));
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_NE(heads[1].find("If-Range: \"v1\""), std::string::npos);
}

TEST_F(RealServerTest, APartKeptByARunThatEndedIsResumedByTheNext) {
    const File big = Listed("next.bin", Body(1000000, 'x'));
    Serve({big});
    Reply whole{"200 OK", {}, big.body};
    whole.etag = "\"n1\"";
    server.Route(FilePath(big.name), whole);
    Reply cut = whole;
    cut.sendOnly = 40000;  // too little to count as progress: no retry in this run
    server.RouteFirst(FilePath(big.name), cut, 1);
    options.retry.attemptsWithoutProgress = 1;
    ASSERT_FALSE(Run());
    ASSERT_TRUE(Exists(dir.Join("Update/partial.txt")));
    options.retry = RetryLimits();
    ASSERT_TRUE(Run());
    EXPECT_TRUE(Installed(big.name) == big.body);
    const std::vector<std::string> asked = Ranges(big.name);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].rfind("bytes=", 0), 0u);
    EXPECT_FALSE(Exists(dir.Join("Update/partial.txt")));
}

TEST_F(RealServerTest, ANameListedTwice) {
    const File a = Listed("dup.txt", "same");
    struct Case {
        std::vector<File> listed;
        bool refused;
    } cases[] = {
        {{a, a}, false},                             // the same file twice: fetched once
        {{a, {"./dup.txt", a.md5, a.body}}, false},  // spelt otherwise
        {{a, Listed("dup.txt", "other")}, true},     // two contents for one file
        {{a, Listed("DUP.txt", "other")}, platform::NamesIgnoreCase()},
    };
    for (const Case& c : cases) {
        server.Reset();
        Serve(c.listed);
        platform::RemoveFile(dir.Join("dup.txt").c_str());
        platform::RemoveFile(dir.Join("DUP.txt").c_str());
        platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
        EXPECT_EQ(Run(), !c.refused) << c.listed[1].name;
        if (c.refused) {
            EXPECT_NE(Log().find("清单中同一个文件有不同的内容，更新失败:" + c.listed[1].name),
                      std::string::npos);
            EXPECT_EQ(server.TotalRequests(), 1);  // the manifest alone
        } else if (c.listed[1].name != "DUP.txt") {
            EXPECT_EQ(Fetches("dup.txt") + Fetches("./dup.txt"), 1);
        }
    }
}

TEST_F(RealServerTest, TheRateFloorCountsTheWholeDownload) {
    struct Case {
        uint32_t minRate;
        bool installed;
    } cases[] = {
        // Four dripping transfers share the server's output: while they overlap, each
        // brings a quarter of it, below the floor, and all together the whole.
        {1000, true},
        // Above all the server sends: a stall, however the transfers share it.
        {2500, false},
    };
    for (const Case& c : cases) {
        server.Reset();
        const std::vector<File> release = ServeDripping(4, 3000);
        for (const File& f : release) platform::RemoveFile(dir.Join(f.name).c_str());
        platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
        options.minRate = c.minRate;
        options.rateWindowMs = 2000;
        options.parallelTransfers = 4;
        options.retry.attemptsWithoutProgress = c.installed ? 3 : 1;
        bool installed;
        {
            // By this clock the server sends 2000 bytes a second.
            testutil::LoopbackServer::PacedTicks paced(server, 2000);
            installed = Run();
        }
        EXPECT_EQ(installed, c.installed) << c.minRate;
        if (c.installed) {
            for (const File& f : release) EXPECT_EQ(Installed(f.name), f.body) << f.name;
        } else {
            EXPECT_NE(Log().find("传输太慢"), std::string::npos);
        }
    }
}

TEST_F(RealServerTest, CachesCanNeitherFreezeNorCorruptAnUpdate) {
    const File file = Listed("cached.bin", Body(3000, 'k'));
    Serve({file});
    // A cache on the way answers the first request with other bytes of the same length.
    server.RouteFirst(FilePath(file.name), Reply{"200 OK", {}, Body(3000, 'z')}, 1);
    ASSERT_TRUE(Run());
    EXPECT_EQ(Installed(file.name), file.body);
    const std::vector<std::string> manifest = server.RequestHeads(ManifestPath());
    ASSERT_EQ(manifest.size(), 1u);
    EXPECT_NE(manifest[0].find("GET /DownLoad/Vadarodazu.xml?t="), std::string::npos);
    EXPECT_NE(manifest[0].find("Cache-Control: no-cache"), std::string::npos);
    const std::vector<std::string> heads = server.RequestHeads(FilePath(file.name));
    ASSERT_EQ(heads.size(), 2u);
    // Asked for by its content: a cache may keep it; then once more past every cache.
    EXPECT_NE(heads[0].find("GET " + FilePath(file.name) + "?md5=" + file.md5 + " "),
              std::string::npos);
    EXPECT_EQ(heads[0].find("no-cache"), std::string::npos);
    EXPECT_NE(heads[1].find("Cache-Control: no-cache"), std::string::npos);
    EXPECT_NE(Log().find("下载的文件与清单不符，不经缓存重新下载Vadarodazu/cached.bin"),
              std::string::npos);
    // Wrong bytes past the cache too: the run fails, nothing installed.
    server.Reset();
    Serve({Listed(file.name, Body(3000, 'q'))});
    server.Route(FilePath(file.name), Reply{"200 OK", {}, Body(3000, 'z')});
    platform::RemoveFile(dir.Join("Vadarodazu.xml").c_str());
    EXPECT_FALSE(Run());
    EXPECT_EQ(Fetches(file.name), 2);
    EXPECT_EQ(Installed(file.name), file.body);
}

}  // namespace
