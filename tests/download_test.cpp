#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "test_util.h"
#include "common/failure.h"
#include "digest/blocks.h"
#include "log/update_log.h"
#include "net/download.h"
#include "net/fetch_pool.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

using testutil::FixedEnvironment;
using testutil::LoopbackServer;
using testutil::ReadFile;
using testutil::Reply;
using testutil::TempDir;

std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
    return s;
}

class DownloadTest : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        base = server.BaseUrl() + "/DownLoad/";
        log.Open(dir.Join("updatelog.txt").c_str());
        transfer.SetTimeouts(3000, 1000);
    }
    void TearDown() override {
        transfer.Close();
        testutil::EndStdoutCapture(HasFailure());
    }

    // Fetches `name` below `base` into Update/<name>: "ok", "failed" (with the failure's
    // lines in the log, as the run writes them), or "cancelled".
    std::string Download(const std::string& name, uint64_t expected) {
        const std::string local = dir.Join("Update/" + name);
        for (size_t sep = local.find('/', dir.Path().size() + 1); sep != std::string::npos;
             sep = local.find('/', sep + 1)) {
            platform::CreateFolder(local.substr(0, sep).c_str());
        }
        try {
            transfer.Fetch((base + name).c_str(), local.c_str(), name.c_str(), expected);
            return "ok";
        } catch (const UpdateFailed& failure) {
            for (const std::string& line : failure.Lines()) log.WriteLine("%s", line.c_str());
            return "failed";
        } catch (const Cancelled&) {
            return "cancelled";
        } catch (...) {
            return "other";
        }
    }

    std::string Local(const std::string& relative) { return dir.Join(relative); }
    std::string Log() { return ReadFile(dir.Join("updatelog.txt")); }
    static bool Has(const std::string& text, const char* what) {
        return text.find(what) != std::string::npos;
    }

    TempDir dir;
    FixedEnvironment env;
    LoopbackServer server;
    std::string base;
    UpdateLog log;
    ProgressCounters counters;
    StopSource stop;
    Transfer transfer{"updater_tests", log, counters, stop.Token()};
};

const char kFilePath[] = "/DownLoad/Vadarodazu/data/a.bin";
const char kManifestPath[] = "/DownLoad/Vadarodazu.xml";

TEST_F(DownloadTest, GoodFileWithContentLength) {
    const std::string body = Bytes(10000);
    server.Route(kFilePath, Reply{"200 OK", {}, body});
    counters.AddReceived(7);
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 10000), "ok");
    EXPECT_TRUE(ReadFile(Local("Update//Vadarodazu/data/a.bin")) == body);
    EXPECT_EQ(counters.Read().fileReceived, 0u);
    EXPECT_EQ(counters.Read().fileSize, 10000u);
    EXPECT_EQ(counters.Read().totalReceived, 10007);
    EXPECT_TRUE(FixedEnvironment::Messages().empty());
    EXPECT_TRUE(Has(Log(), "\xbf\xaa\xca\xbc\xcf\xc2\xd4\xd8\r"));  // 开始下载
}

TEST_F(DownloadTest, GoodFileWithoutContentLengthAsksAndGoesOn) {
    Reply reply{"200 OK", {}, Bytes(5000)};
    reply.sendLength = false;
    server.Route(kFilePath, reply);
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 5000), "ok");
    EXPECT_EQ(ReadFile(Local("Update//Vadarodazu/data/a.bin")).size(), 5000u);
    const auto messages = FixedEnvironment::Messages();
    ASSERT_EQ(messages.size(), 1u);
    // "获取大小失败" and the URL
    EXPECT_EQ(messages[0], "\xbb\xf1\xc8\xa1\xb4\xf3\xd0\xa1\xca\xa7\xb0\xdc" + server.BaseUrl() +
                               "/DownLoad/Vadarodazu/data/a.bin");
    // ... and the log's line names its file.
    EXPECT_TRUE(Has(Log(),
                    "\xbb\xf1\xc8\xa1\xb4\xf3\xd0\xa1\xca\xa7\xb0\xdc"
                    "Vadarodazu/data/a.bin\r"));
}

TEST_F(DownloadTest, ContentLengthOtherThanExpectedFailsBeforeWriting) {
    server.Route(kFilePath, Reply{"200 OK", {}, Bytes(1000)});
    // Any listed size is checked, 2^24 - 1 and sizes past 32 bits included.
    for (const uint64_t listed : {999ULL, 16777215ULL, 4294967295ULL, 4294967296ULL}) {
        EXPECT_EQ(Download("Vadarodazu/data/a.bin", listed), "failed") << listed;
        EXPECT_FALSE(testutil::Exists(Local("Update/Vadarodazu/data/a.bin"))) << listed;
    }
    EXPECT_TRUE(platform::PathExists(Local("Update/Vadarodazu/data").c_str()));
}

TEST_F(DownloadTest, FewerBytesThanExpectedFailsAndKeepsThePart) {
    Reply reply{"200 OK", {}, Bytes(400)};
    reply.sendLength = false;
    server.Route(kFilePath, reply);
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 1000), "failed");
    EXPECT_EQ(ReadFile(Local("Update/Vadarodazu/data/a.bin")).size(), 400u);
    EXPECT_EQ(counters.Read().fileReceived, 0u);
    EXPECT_EQ(counters.Read().totalReceived, 400);
}

TEST_F(DownloadTest, NothingIsWrittenPastTheExpectedSize) {
    // More bytes than the manifest lists, with no Content-Length to warn of it; then a
    // body that never ends.
    Reply more{"200 OK", {}, Bytes(1200)};
    more.sendLength = false;
    Reply endless{"200 OK", {}, Bytes(4096)};
    endless.sendLength = false;
    endless.endless = true;
    for (const Reply& reply : {more, endless}) {
        server.Route(kFilePath, reply);
        EXPECT_EQ(Download("Vadarodazu/data/a.bin", 1000), "failed");
        EXPECT_LE(ReadFile(Local("Update/Vadarodazu/data/a.bin")).size(), 1000u);
    }
}

TEST_F(DownloadTest, AnEndlessManifestStopsAtItsBound) {
    Reply endless{"200 OK", {}, "<files>" + std::string(65536 - 7, ' ')};
    endless.sendLength = false;
    endless.endless = true;
    server.Route(kManifestPath, endless);
    EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "failed");
    EXPECT_LE(ReadFile(Local("Update/Vadarodazu.xml")).size(), kMaxManifestBytes);
    // A Content-Length above the bound is refused before anything is written.
    Reply huge{"200 OK", {}, "<files/>"};
    huge.announcedLength = static_cast<long long>(kMaxManifestBytes) + 1;
    huge.stallAfter = true;
    server.Route(kManifestPath, huge);
    platform::RemoveFile(Local("Update/Vadarodazu.xml").c_str());
    EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "failed");
    EXPECT_FALSE(testutil::Exists(Local("Update/Vadarodazu.xml")));
}

TEST_F(DownloadTest, ATransferBelowTheMinimumRateFails) {
    // One byte every 40 ms is 25 bytes a second: a drip that never trips a time-out. The
    // rate rule's clock runs at the server's pace, however fast the machine is.
    testutil::LoopbackServer::PacedTicks paced(server, 25);
    transfer.SetStallRule(200, 400);
    Reply drip{"200 OK", {}, Bytes(64)};
    drip.sendLength = false;
    drip.endless = true;
    drip.dripMs = 40;
    server.Route(kManifestPath, drip);
    EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "failed");
    EXPECT_TRUE(Has(Log(), "传输太慢"));
    // A slow file that keeps above the rate arrives whole.
    Reply slow{"200 OK", {}, Bytes(60)};
    slow.dripMs = 10;
    transfer.SetStallRule(5, 400);
    server.Route(kFilePath, slow);
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 60), "ok");
    EXPECT_TRUE(ReadFile(Local("Update/Vadarodazu/data/a.bin")) == Bytes(60));
}

// What wakes a transfer waiting on a silent server: called once when the run's stop or
// the pool's comes, at once when it came before, never once the callback is gone.
TEST(StopCallback, CalledOnceByAChainedStopAtOnceWhenLateNeverWhenGone) {
    StopSource run, other;
    StopSource pool(run.Token());
    int calls = 0;
    {
        StopCallback wake(pool.Token(), [&calls] { ++calls; });
        run.RequestStop();
        pool.RequestStop();
        EXPECT_EQ(calls, 1);
    }
    StopCallback late(pool.Token(), [&calls] { ++calls; });
    EXPECT_EQ(calls, 2);
    {
        StopCallback gone(other.Token(), [&calls] { ++calls; });
    }
    other.RequestStop();
    EXPECT_EQ(calls, 2);
}

// The run's stall clock, by scripted time: each step moves the clock, then a transfer
// begins, ends, brings bytes, arrives whole, or asks to try again.
uint32_t g_now = 0;
uint32_t ScriptedTicks() { return g_now; }

TEST(RateMeterClock, ARunThatHasNotMetTheFloorGetsOneMoreWindow) {
    // B: begin, E: end, A n: n bytes, F: a file arrived, P/U: a box shown/answered, R ms:
    // may it try again after ms?
    struct Step {
        uint32_t atMs;
        char what;
        unsigned n;
        bool expect;  // Add's or MayTryAgain's answer
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"a drip: the window fails, one retry, then the clock ends it",
         {{0, 'B', 0, true},
          {29000, 'A', 29, true},
          {30000, 'A', 1, false},
          {30000, 'E', 0, true},
          {30000, 'R', 1000, true},
          {31000, 'B', 0, true},
          {60000, 'A', 29, true},
          {61000, 'A', 1, false},
          {61000, 'E', 0, true},
          {61000, 'R', 2000, false}}},
        {"silence: a time-out, one retry, a second time-out ends it",
         {{0, 'B', 0, true},
          {30000, 'E', 0, true},
          {30000, 'R', 1000, true},
          {31000, 'B', 0, true},
          {61000, 'E', 0, true},
          {61000, 'R', 2000, false}}},
        {"a drip within a window is cut once the run has gone 63 s without the floor",
         {{0, 'B', 0, true},
          {30000, 'A', 1, false},
          {30000, 'E', 0, true},
          {30000, 'R', 2000, true},
          {32000, 'B', 0, true},
          {62900, 'A', 1, false},
          {62950, 'E', 0, true},
          {62950, 'R', 0, false}}},
        {"files that arrive meet the floor, however small and however many waits",
         {{0, 'B', 0, true},
          {10, 'A', 100, true},
          {10, 'F', 0, true},
          {10, 'E', 0, true},
          {10, 'R', 30000, true},
          {30010, 'B', 0, true},
          {30020, 'A', 100, true},
          {30020, 'F', 0, true},
          {30020, 'E', 0, true},
          {30020, 'R', 30000, true}}},
        {"time nobody waits on the server (a box, the install's digests) does not count",
         {{0, 'B', 0, true},
          {1000, 'A', 1, true},
          {1000, 'E', 0, true},
          {600000, 'B', 0, true},
          {601000, 'E', 0, true},
          {601000, 'R', 1000, true}}},
        {"a box the player answers in ten minutes stops the window and the clock",
         {{0, 'B', 0, true},
          {20000, 'P', 0, true},
          {620000, 'U', 0, true},
          {629000, 'A', 1, true},
          {630000, 'A', 1, false},
          {630000, 'E', 0, true},
          {630000, 'R', 1000, true}}},
        {"a file that arrives while nothing receives (one built from blocks) sets no later time",
         {{0, 'B', 0, true},
          {1000, 'A', 100, true},
          {1000, 'E', 0, true},
          {9000, 'F', 0, true},
          {10000, 'B', 0, true},
          {10001, 'A', 1, true},
          {40000, 'A', 40000, true},
          {40000, 'E', 0, true},
          {40000, 'R', 1000, true}}},
        {"a fast transfer meets the floor as it goes, before its window closes",
         {{0, 'B', 0, true},
          {20000, 'A', 40000, true},
          {45000, 'E', 0, true},
          {45000, 'R', 4000, true}}},
    };
    platform::SetTickCountForTesting(ScriptedTicks);
    for (const Case& c : cases) {
        g_now = 5000;  // any start
        RateMeter meter;
        meter.SetRule(kMinTransferRate, kRateWindowMs);
        for (const Step& step : c.steps) {
            g_now = 5000 + step.atMs;
            switch (step.what) {
                case 'B':
                    meter.Begin();
                    break;
                case 'E':
                    meter.End();
                    break;
                case 'F':
                    meter.Arrived();
                    break;
                case 'P':
                    meter.Pause();
                    break;
                case 'U':
                    meter.Resume();
                    break;
                case 'A':
                    EXPECT_EQ(meter.Add(step.n), step.expect) << c.name << " @" << step.atMs;
                    break;
                case 'R':
                    EXPECT_EQ(meter.MayTryAgain(step.n), step.expect)
                        << c.name << " @" << step.atMs;
                    break;
            }
        }
    }
    platform::SetTickCountForTesting(nullptr);
}

TEST_F(DownloadTest, DigestIsTakenWhileReceiving) {
    server.Route(kFilePath, Reply{"200 OK", {}, "abc"});
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 3), "ok");
    EXPECT_STREQ(transfer.ReceivedDigest(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Download("Vadarodazu/data/empty.bin", 0), "ok");
    EXPECT_STREQ(transfer.ReceivedDigest(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(DownloadTest, AnswersOtherThan200Fail) {
    const std::string body = Bytes(100);
    const Reply replies[] = {
        {"500 Internal Server Error", {"Content-Type: text/plain"}, body},
        {"404 Not Found", {}, body},
        // The right length, but the bytes from the middle of the file.
        {"206 Partial Content", {"Content-Range: bytes 3-102/200"}, body},
        {"204 No Content", {}, ""},
    };
    for (const Reply& reply : replies) {
        server.Route(kFilePath, reply);
        server.Route(kManifestPath, reply);
        EXPECT_EQ(Download("Vadarodazu/data/a.bin", 100), "failed") << reply.status;
        EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "failed") << reply.status;
        EXPECT_TRUE(Has(Log(), ("服务器回答" + reply.status.substr(0, 3)).c_str()));
    }
    EXPECT_FALSE(testutil::Exists(Local("Update/Vadarodazu/data/a.bin")));
}

TEST_F(DownloadTest, AContentEncodingNotAskedForFails) {
    server.Route(kFilePath, Reply{"200 OK", {"Content-Encoding: gzip"}, Bytes(100)});
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 100), "failed");
    EXPECT_FALSE(testutil::Exists(Local("Update/Vadarodazu/data/a.bin")));
    server.Route(kFilePath, Reply{"200 OK", {"Content-Encoding: identity"}, Bytes(100)});
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 100), "ok");
}

TEST_F(DownloadTest, ErrorPagesAreRefusedByTheirFirstBytes) {
    struct Case {
        std::string body;
        bool refused;
        unsigned dripMs;  // sent a byte at a time: the marks arrive in pieces
    } cases[] = {
        {"<html>", true, 0},
        {"<html", false, 0},  // a body of 5 bytes is no page
        {"<html><body>500</body></html>", true, 0},
        {"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">", true, 0},
        {"<!doctype html public \"-//W3C//DTD HTML 4.01//EN\">", false, 0},
        {"<HTML><BODY>fine</BODY></HTML>", false, 0},
        {"<html><body>500</body></html>", true, 1},
        {"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">", true, 1},
        {"<html", false, 1},
    };
    int i = 0;
    for (const Case& c : cases) {
        const std::string name = "Vadarodazu/p" + std::to_string(i++);
        Reply reply{"200 OK", {}, c.body};
        reply.dripMs = c.dripMs;
        server.Route("/DownLoad/" + name, reply);
        const std::string result = Download(name.c_str(), static_cast<uint32_t>(c.body.size()));
        EXPECT_EQ(result, c.refused ? "failed" : "ok") << c.body;
        EXPECT_EQ(testutil::Exists(Local("Update/" + name)), !c.refused) << c.body;
    }
}

TEST_F(DownloadTest, RedirectIsFollowed) {
    server.Route(kFilePath, Reply{"302 Found", {"Location: /moved/a.bin"}, "see elsewhere"});
    server.Route("/moved/a.bin", Reply{"200 OK", {}, Bytes(3000)});
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 3000), "ok");
    EXPECT_TRUE(ReadFile(Local("Update/Vadarodazu/data/a.bin")) == Bytes(3000));
    EXPECT_EQ(server.Requests("/moved/a.bin"), 1);
}

TEST_F(DownloadTest, ConnectionRefused) {
    base = "http://127.0.0.1:" + std::to_string(LoopbackServer::ClosedPort()) + "/DownLoad/";
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 10), "failed");
    EXPECT_FALSE(testutil::Exists(Local("Update/Vadarodazu/data/a.bin")));

    // The log says why, in the system's words.
    const std::string log = Log();
    const std::string failed = "下载失败Vadarodazu/data/a.bin:";
    const size_t at = log.find(failed);
    ASSERT_NE(at, std::string::npos) << log;
    const size_t end = log.find('\r', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = log.substr(at, end - at);
    RecordProperty("log_line", line);
    EXPECT_GT(line.size(), failed.size()) << line;
#ifdef _WIN32
    // WinInet's code for a connection it could not make, and its text.
    EXPECT_TRUE(Has(line, "failed (12029")) << line;
    EXPECT_EQ(line.back(), ')') << line;
#else
    // libcurl's CURLE_COULDNT_CONNECT and its text (worded as the libcurl in use words it:
    // "Couldn't connect to server" in Debian 12's, "Could not ..." in Debian 13's).
    EXPECT_EQ(line.rfind(failed + "transfer failed (7: Could", 0), 0u) << line;
    EXPECT_EQ(line.back(), ')') << line;
#endif
}

TEST_F(DownloadTest, BodyCutShortFailsEvenWithoutExpectedSize) {
    Reply reply{"200 OK", {}, Bytes(20000)};
    reply.sendOnly = 9000;
    server.Route(kFilePath, reply);
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 20000), "failed");
    // A manifest cut short must not pass for a whole one.
    server.Route(kManifestPath, reply);
    EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "failed");
}

TEST_F(DownloadTest, StalledTransferTimesOut) {
    Reply reply{"200 OK", {}, Bytes(20000)};
    reply.sendOnly = 3000;
    reply.stallAfter = true;
    server.Route(kFilePath, reply);
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 20000), "failed");
    // The window keeps showing the count reached.
    EXPECT_LE(counters.Read().fileReceived, 3000u);
}

TEST_F(DownloadTest, SizeZeroCreatesAnEmptyFileWithoutARequest) {
    testutil::WriteFile(Local("old"), "");
    EXPECT_EQ(Download("Vadarodazu/empty.txt", 0), "ok");
    EXPECT_EQ(ReadFile(Local("Update/Vadarodazu/empty.txt")), "");
    EXPECT_EQ(server.TotalRequests(), 0);
    EXPECT_EQ(counters.Read().fileSize, 0u);
    EXPECT_EQ(counters.Read().fileReceived, 0u);
    EXPECT_TRUE(Has(Log(),
                    "\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1\xce\xaa"
                    "0Vadarodazu/empty.txt"));
}

TEST_F(DownloadTest, ManifestWithAndWithoutContentLength) {
    server.Route(kManifestPath, Reply{"200 OK", {}, "<root/>"});
    EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "ok");
    EXPECT_EQ(counters.Read().fileSize, 7u);
    EXPECT_EQ(ReadFile(Local("Update/Vadarodazu.xml")), "<root/>");
    EXPECT_TRUE(FixedEnvironment::Messages().empty());

    Reply chunked{"200 OK", {}, "<root></root>"};
    chunked.sendLength = false;
    server.Route(kManifestPath, chunked);
    EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "ok");
    EXPECT_EQ(counters.Read().fileSize, kUnknownSize);
    EXPECT_EQ(ReadFile(Local("Update/Vadarodazu.xml")), "<root></root>");
    EXPECT_EQ(FixedEnvironment::Messages().size(), 1u);

    Reply empty{"200 OK", {}, ""};
    server.Route(kManifestPath, empty);
    EXPECT_EQ(Download("Vadarodazu.xml", kUnknownSize), "ok");
    EXPECT_EQ(ReadFile(Local("Update/Vadarodazu.xml")), "");
}

TEST_F(DownloadTest, EmptyBodyFailsAFileOfKnownSize) {
    server.Route(kFilePath, Reply{"200 OK", {}, ""});
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 1000), "failed");
    Reply unannounced{"200 OK", {}, ""};
    unannounced.sendLength = false;
    server.Route(kFilePath, unannounced);
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 1000), "failed");
}

TEST_F(DownloadTest, LocalFileThatCannotBeCreated) {
    server.Route(kFilePath, Reply{"200 OK", {}, "abc"});
    platform::CreateFolder(Local("Update").c_str());
    platform::CreateFolder(Local("Update/Vadarodazu").c_str());
    platform::CreateFolder(Local("Update/Vadarodazu/data").c_str());
    platform::CreateFolder(Local("Update/Vadarodazu/data/a.bin").c_str());  // a folder in the way
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 3), "failed");
    EXPECT_TRUE(Has(Log(), "\xb4\xf2\xbf\xaa\xb1\xbe\xb5\xd8\xce\xc4\xbc\xfe\xb3\xf6\xb4\xed"));

    // An empty file is made without asking the server, and fails the same way.
    EXPECT_EQ(Download("Vadarodazu/data/a.bin", 0), "failed");
    EXPECT_EQ(server.TotalRequests(), 1);
}

// A changed file built from the installed copy and ranges, against servers that answer
// ranges in each way they do, well or not: built (and byte for byte the new file), or
// not, with the reason the caller logs before it fetches the whole file.
TEST_F(DownloadTest, AFileBuiltFromBlocksOrRefusedWithTheReason) {
    std::mt19937 gen(7);
    std::string fresh(1 << 20, '\0');
    for (char& c : fresh) c = static_cast<char>(gen());
    // The installed copy: 10 000 bytes that differ at 300 000, 100 more at 700 000.
    std::string old = fresh;
    for (size_t i = 300000; i < 310000; ++i) old[i] = static_cast<char>(~old[i]);
    old.insert(700000, std::string(100, 'x'));
    BlockIndexWriter writer(fresh.size());
    writer.Update(fresh.data(), fresh.size());
    const std::string index = writer.Finish();
    BlockIndexHeader header;
    ASSERT_TRUE(ParseBlockIndexHeader(index, &header));
    const std::string head = index.substr(0, BlockIndexHeadBytes(header));
    const std::string oldPath = Local("old.bin");
    testutil::WriteFile(oldPath, old);
    platform::CreateFolder(Local("Update").c_str());
    const char kIndexPath[] = "/DownLoad/Vadarodazu/data/a.bin.blocks~";
    RetryLimits quick{3, 8, 1, 1};

    struct Case {
        const char* what;
        std::function<void(Reply& file, Reply& index)> serve;  // the two answers, changed
        int firstBroken;  // how many of the first answers for the file are `broken`
        Reply broken;
        const char* why;      // "" when built
        bool retried;         // "下载中断" in the log
        bool listed = false;  // the manifest lists the head of the index served
    } cases[] = {
        {"several ranges per request", [](Reply&, Reply&) {}, 0, {}, "", false},
        {"one range per request: several get the whole file",
         [](Reply& f, Reply&) { f.multipart = false; },
         0,
         {},
         "",
         false},
        {"ranges ignored",
         [](Reply& f, Reply& i) { f.ranges = i.ranges = false; },
         0,
         {},
         "服务器不支持分段下载",
         false},
        {"a 206 at the wrong offset",
         [](Reply& f, Reply&) {
             f.multipart = false;
             f.rangeShift = 4096;
         },
         0,
         {},
         "服务器返回的分段不对",
         false},
        {"parts under a boundary other than announced",
         [](Reply& f, Reply&) { f.partBoundary = "00000000000000000043"; },
         0,
         {},
         "服务器返回的分段不对",
         false},
        {"a reset within a range, then answered", [](Reply&, Reply&) {}, 1, {}, "", true},
        {"a 503, then answered", [](Reply&, Reply&) {}, 1,
         Reply{"503 Service Unavailable", {}, "busy"}, "", true},
        {"a reset in every answer", [](Reply&, Reply&) {}, 100, {}, "?", true},
        {"an index for another file",
         [](Reply&, Reply& i) { i.body[CoarseTableOffset() + 3] ^= 1; },
         0,
         {},
         "块索引与清单不符",
         false},
        {"an index cut short",
         [](Reply&, Reply& i) { i.body.resize(i.body.size() / 2); },
         0,
         {},
         "?",
         false},
        {"a fine table that is not its coarse entry's",
         [&](Reply&, Reply& i) { i.body[FineTableOffset(header, 300000 >> 16) + 5] ^= 1; },
         0,
         {},
         "块索引与清单不符",
         false},
        {"no index on the server",
         [](Reply&, Reply& i) { i.status = "404 Not Found"; },
         0,
         {},
         "服务器回答404",
         false},
        {"the index of a file of another size, listed",
         [&](Reply&, Reply& i) {
             BlockIndexWriter other(fresh.size() - 1);
             other.Update(fresh.data(), fresh.size() - 1);
             i.body = other.Finish();
         },
         0,
         {},
         "块索引不是这个文件的",
         false,
         true},
    };
    for (Case& c : cases) {
        server.Reset();
        Reply file{"200 OK", {}, fresh};
        Reply indexReply{"200 OK", {}, index};
        c.serve(file, indexReply);
        server.Route(kFilePath, file);
        server.Route(kIndexPath, indexReply);
        if (c.firstBroken > 0) {
            Reply broken = c.broken.status == "200 OK" ? file : c.broken;
            if (c.broken.status == "200 OK") broken.resetAfter = 3000;
            server.RouteFirst(kFilePath, broken, c.firstBroken);
        }
        FILE* installed = fopen(oldPath.c_str(), "rb");
        ASSERT_NE(installed, nullptr);
        const std::string local = Local("Update/a.bin");
        RetryPolicy retry(quick);
        const std::string digest =
            testutil::Md5Text(c.listed ? indexReply.body.substr(0, head.size()) : head);
        const std::string fileUrl = base + "Vadarodazu/data/a.bin";
        Transfer::BlockJob job{fileUrl.c_str(), server.BaseUrl() + kIndexPath,
                               digest.c_str(),  local.c_str(),
                               "a.bin",         fresh.size(),
                               installed,       old.size(),
                               false,           &retry};
        const size_t logBefore = Log().size();
        const long long sentBefore = server.BodyBytesSent();
        std::string why;
        const bool built = transfer.FetchByBlocks(job, &why);
        fclose(installed);
        const std::string logged = Log().substr(logBefore);
        EXPECT_EQ(Has(logged, "下载中断"), c.retried) << c.what << "\n" << logged;
        if (!*c.why) {
            ASSERT_TRUE(built) << c.what << ": " << why;
            EXPECT_TRUE(ReadFile(local) == fresh) << c.what;
            EXPECT_EQ(transfer.ReceivedDigest(), testutil::Md5Text(fresh)) << c.what;
            // (A server that takes one range per request sent the whole file first.)
            if (file.multipart) {
                EXPECT_LT(server.BodyBytesSent() - sentBefore, 100000) << c.what;
            }
            EXPECT_TRUE(Has(logged, "按块更新a.bin:下载了")) << c.what;
        } else {
            EXPECT_FALSE(built) << c.what;
            EXPECT_FALSE(why.empty()) << c.what;
            if (*c.why != '?') {
                EXPECT_EQ(why, c.why) << c.what;
            }
        }
    }
}

}  // namespace
