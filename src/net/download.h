// Fetching one file from the update server into a local file: the answer's checks
// (status, encoding, error page, length), the bound on its size, the stall rule, and the
// digest of the bytes as they arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/progress.h"
#include "common/stop.h"
#include "digest/blake2b.h"
#include "digest/md5.h"
#include "digest/named.h"
#include "platform/files.h"
#include "platform/http.h"

class RetryPolicy;
class UpdateFailed;
class UpdateLog;
namespace platform {
class Prompter;
}

// No expected size: the length checks are skipped (the manifest). Above every size a
// manifest can list (at most 2^63 - 1), so no listed file is taken for one.
constexpr uint64_t kUnknownSize = UINT64_MAX;

// The most bytes a body of unknown size (the manifest) may have. A manifest of 1999
// entries, each with the longest name written as character references, stays below
// 3 MiB; a server that sends more is not sending a manifest.
constexpr uint64_t kMaxManifestBytes = 16u * 1024 * 1024;

// A download that brings less than this average rate over a window of this length has
// stalled. A slow real line (a few KiB/s) passes; a server that drips bytes does not.
constexpr uint32_t kMinTransferRate = 1024;  // bytes per second
constexpr uint32_t kRateWindowMs = 30000;

// After the window that stalled, the run has this long besides one more window (a retry
// on a fresh connection) before it fails, whatever its retries.
constexpr uint32_t kStallSlackMs = 3000;

// The stall rule over every transfer of a download together: their bytes are judged over
// consecutive windows, which run only while some transfer is receiving. Several slow
// transfers on one line stall only when all of them together bring too little.
//
// The run's clock: the transfers together meet the floor when a window closes with
// enough bytes, when the window under way already holds a whole window's worth, and when
// a file arrives whole. A run that has not met it for two windows and kStallSlackMs has
// stalled, whatever its retries: a dead, silent or dripping server is told in about a
// minute. Time when no transfer is receiving or waiting to try again (the player at a
// box, the install's files digested) is not counted.
class RateMeter {
public:
    void SetRule(uint32_t minRate, uint32_t windowMs);
    // A transfer starts or ends receiving; the first to start opens a new window.
    void Begin();
    void End();
    // Begin for as long as it lives.
    struct Receiving {
        RateMeter& meter;
        explicit Receiving(RateMeter& m) : meter(m) { meter.Begin(); }
        ~Receiving() { meter.End(); }
        Receiving(const Receiving&) = delete;
        Receiving& operator=(const Receiving&) = delete;
    };
    // Counts `bytes` that arrived; false when the window that just closed brought less
    // than the minimum average, or the run has gone too long without meeting it.
    bool Add(uint64_t bytes);
    // A file arrived whole.
    void Arrived();
    // A transfer waits on the player (a box): that time is no time any window or the
    // run's clock runs.
    void Pause();
    void Resume();
    // Whether a failed attempt may be made again after waiting `waitMs`: only while the
    // next attempt's window can close within the run's clock. The wait then counts.
    bool MayTryAgain(unsigned waitMs);

private:
    uint32_t Unmet(uint32_t now) const;

    std::mutex m_mutex;
    uint32_t m_minRate = kMinTransferRate;
    uint32_t m_windowMs = kRateWindowMs;
    int m_active = 0;
    uint32_t m_windowStart = 0;
    uint64_t m_windowBytes = 0;
    bool m_started = false;    // the clock runs from the first transfer's start
    uint32_t m_lastMet = 0;    // when the floor was last met
    uint32_t m_idleSince = 0;  // when the last transfer ended receiving
    bool m_retrying = false;   // an attempt waits to be made again
    int m_paused = 0;          // transfers waiting on the player
    uint32_t m_pausedAt = 0;
};

// One file's bytes across attempts: how many of them are on disk, the validator (ETag or
// Last-Modified) of the answer they came with, and their digests so far. A transfer that
// broke goes on from there with a Range request.
struct FetchState {
    uint64_t kept = 0;
    std::string validator;
    bool digested = false;  // the digest in use holds exactly the kept bytes
    // Called on the transfer's thread when a body starts from its first byte, its file
    // just made and `validator` set: the caller records it before any byte is kept, so
    // that a run killed meanwhile can go on from what reached the disk.
    std::function<void(const FetchState&)> bodyStarted;
    Md5Context md5;
    Blake2b blake2b;
    // The kept bytes' digest, of the kind the release is checked by.
    void StartDigest() {
        Md5Init(&md5);
        blake2b = Blake2b();
    }
    void Digest(DigestKind kind, const void* data, size_t n) {
        if (kind == DigestKind::kBlake2b) {
            blake2b.Update(data, n);
        } else {
            Md5Update(&md5, data, n);
        }
    }
    void Restart() {
        kept = 0;
        validator.clear();
        digested = false;
    }
};

// The least a broken attempt must have brought for its failure not to count against the
// file's attempts: a link that breaks every few megabytes still moves the file forward.
constexpr uint64_t kProgressBytes = 64 * 1024;

// The counters the window reads: the file shown and the whole update. Every transfer
// adds to the total; the file's size, count and name are those of the transfer the
// window shows (see SetShown). Any thread may call any of them.
class ProgressCounters {
public:
    // The size and the bytes so far of the file shown.
    void ShowFile(uint64_t size, uint64_t received) {
        m_fileSize.store(size, std::memory_order_relaxed);
        m_fileReceived.store(received, std::memory_order_relaxed);
    }
    void SetFileName(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fileName = name;
    }
    // The whole update starts again: nothing to fetch, nothing arrived.
    void ResetTotal() {
        m_totalSize.store(0, std::memory_order_relaxed);
        m_totalReceived.store(0, std::memory_order_relaxed);
    }
    void AddToTotal(int64_t size) { m_totalSize.fetch_add(size, std::memory_order_relaxed); }
    void AddReceived(int64_t bytes) { m_totalReceived.fetch_add(bytes, std::memory_order_relaxed); }
    // All of them at this moment (the status is the run's).
    Progress Read() const {
        Progress progress;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            progress.fileName = m_fileName;
        }
        progress.fileSize = m_fileSize.load(std::memory_order_relaxed);
        progress.fileReceived = m_fileReceived.load(std::memory_order_relaxed);
        progress.totalSize = m_totalSize.load(std::memory_order_relaxed);
        progress.totalReceived = m_totalReceived.load(std::memory_order_relaxed);
        return progress;
    }

private:
    std::atomic<uint64_t> m_fileSize{100};
    std::atomic<uint64_t> m_fileReceived{0};
    std::atomic<int64_t> m_totalSize{0};
    std::atomic<int64_t> m_totalReceived{0};
    mutable std::mutex m_mutex;
    std::string m_fileName;
};

struct BlockPlan;    // how a file is built from blocks (delta.cpp)
struct RangeStream;  // ranges of one URL fetched in order (delta.cpp)

// One connection to the update server, fetching one file at a time.
class Transfer {
public:
    // `stop`: another thread's request to end a transfer at its next chunk (it then
    // throws Cancelled). `prompter`: asks the user (null: a box on this thread).
    Transfer(const char* agent, UpdateLog& log, ProgressCounters& counters, StopToken stop,
             platform::Prompter* prompter = nullptr);
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Stores the body of `url` at `localPath`; `name` names the file in the log, whose
    // lines "正在下载<name>" and "开始下载" are written together when the first bytes
    // arrive. `expectedSize` is the size the manifest lists, or kUnknownSize for the
    // manifest itself; a file of size 0 is created without asking the server. With a
    // `state` whose bytes are kept on disk, the body goes on from there (a Range request,
    // with If-Range), and `state` follows what arrives. `noCache` asks caches on the way
    // to answer from the server. A body of unknown size may have `mostBytes` bytes at
    // most. A failure throws UpdateFailed with the line
    // "下载失败<name>:<reason>" (or "打开本地文件出错<name>") and whether it may be tried
    // again, a stop Cancelled; what arrived stays on disk.
    void Fetch(const char* url, const char* localPath, const char* name, uint64_t expectedSize,
               FetchState* state = nullptr, bool noCache = true,
               uint64_t mostBytes = kMaxManifestBytes);
    // Ends the response and closes the local file, if either is open; the file's count
    // of received bytes starts again from 0.
    void Close();

    // A listed file to build from blocks (FetchByBlocks).
    struct BlockJob {
        const char* url;          // the file
        std::string indexUrl;     // its block index
        const char* indexDigest;  // the digest of the index's head the manifest lists
        const char* localPath;
        const char* name;  // in the log
        uint64_t size;     // the listed size
        FILE* old;         // the installed copy, open for reading
        uint64_t oldSize;
        bool noCache;
        // Whether a range that broke (the connection, a time-out, 5xx) is asked for
        // again, going on from its bytes that arrived; null: never.
        RetryPolicy* retry;
    };
    // Builds the file at `job.localPath` from the blocks the installed copy shares with
    // it (found through its block index) and Range requests for the rest, digesting it
    // as Fetch does (ReceivedDigest); logs how many bytes travelled. False, with `why`,
    // when it cannot (the caller then fetches the whole file); a stop throws Cancelled.
    bool FetchByBlocks(const BlockJob& job, std::string* why);

    // The digest text of the bytes the last Fetch stored, taken while they arrived: the
    // digest of the kind DigestWith set.
    const char* ReceivedDigest() const { return m_receivedDigest; }
    // The stored file's stamp as it was closed (none taken: all zero).
    const platform::FileStamp& ReceivedStamp() const { return m_receivedStamp; }
    void DigestWith(DigestKind kind) { m_kind = kind; }

    // Time-outs of connecting and of waiting for more data, in milliseconds.
    void SetTimeouts(unsigned connectMs, unsigned receiveMs);
    // Another connection like this one: the same agent, log, counters and prompter, the
    // same time-outs, stall rule and digests, ended by `stop`.
    std::unique_ptr<Transfer> MakeSibling(StopToken stop) const;
    // The request that ends a transfer, in place of the one given first.
    void SetStop(StopToken stop) { m_stop = stop; }
    StopToken Stop() const { return m_stop; }
    // With several transfers in flight: the window shows the file of the transfer whose
    // ticket `shown` holds. Null (the start): this transfer's file is always shown.
    void SetShown(const std::atomic<uint64_t>* shown) { m_shown = shown; }
    // The file this transfer takes next, before it starts (its counts start from 0).
    void SetTicket(uint64_t ticket) {
        m_size = 0;
        m_received = 0;
        m_ticket = ticket;
    }

    // The stall rule: less than `minRate` bytes per second over `windowMs` (tests
    // shorten it); this transfer's own, until it shares one (ShareMeter).
    void SetStallRule(uint32_t minRate, uint32_t windowMs) {
        m_ownMeter.SetRule(minRate, windowMs);
    }
    // Judges this transfer's bytes together with those of the others sharing `meter`.
    void ShareMeter(RateMeter* meter) { m_meter = meter ? meter : &m_ownMeter; }
    RateMeter& Meter() const { return *m_meter; }

    // Shows this file's size and count, when this transfer is the one the window shows.
    // Any thread may call it.
    void Publish();

private:
    // Opens the kept part of `state` at `localPath` to go on writing it, its kept bytes
    // digested on the way unless they already are; false when it cannot go on.
    bool ResumeKept(const char* localPath, FetchState& state);
    // Forgets the kept bytes: the body starts again at 0.
    static void StartOver(FetchState& state);
    // The parts of Fetch, in their order.
    // Sends the request (a Range from `from` when it is above 0) and checks the answer's
    // status and encoding; returns where the body starts (0 when the whole file comes).
    uint64_t Request(const char* url, const char* fileName, uint64_t from, bool noCache,
                     FetchState& state);
    // The answer's length against the manifest's size and the bound.
    void CheckLength(const char* url, const char* fileName, uint64_t from, uint64_t expectedSize,
                     uint64_t limit);
    // The body into the open local file, from the first chunk `chunk` (of `n` bytes).
    void Receive(const char* fileName, uint64_t from, uint64_t limit, FetchState& state,
                 char* chunk, size_t n);
    void Finish(const char* fileName, uint64_t expectedSize, FetchState& state);
    // Called in the handler of a failure: closes what is open and throws the failure as
    // an UpdateFailed (or Cancelled as it is).
    [[noreturn]] void Abandoned(const char* fileName, const std::string& opening, bool started,
                                FetchState& state);
    void FinishDigests(FetchState& state);
    // The failure of `fileName` that the open answer's status (not 200 or 206) is, and
    // whether and when it may be tried again (Retry-After).
    UpdateFailed AnswerFailed(const char* fileName) const;
    // The failure a broken, refused or unverified connection is.
    static UpdateFailed HttpFailed(const char* fileName, const platform::HttpError& e);
    // The request for `ranges` ("A-B,C-D"), its answer's body read through ReadBody.
    void OpenRanges(const char* url, const std::string& ranges, bool noCache);
    size_t ReadBody(char* out, size_t len);
    std::string ReadBodyLine();
    // `length` bytes of the answer's body to `sink`, counted as progress.
    void ReceiveRange(uint64_t length, const std::function<void(const char*, size_t)>& sink);
    // The next range of `stream` to `sink`, asking for it (and the ones after it, where
    // the server takes several) when it is not asked for yet. A transfer that breaks is
    // tried again by the stream's policy, from the range's first byte that did not arrive.
    void NextRange(RangeStream& stream, const std::function<void(const char*, size_t)>& sink);
    void ReadRange(RangeStream& stream, const std::function<void(const char*, size_t)>& sink);
    void AskRanges(RangeStream& stream);
    // In the handler of a failure of the stream's range after `done` of its bytes
    // arrived: returns when it may be asked for again (the rest of it), or throws.
    void RangeBroke(RangeStream& stream, uint64_t done);
    // The parts of FetchByBlocks.
    bool FetchIndexHead(const BlockJob& job, BlockPlan& plan, std::string* why);
    void PlanFromOld(const BlockJob& job, BlockPlan& plan);
    bool BuildFromPlan(const BlockJob& job, const BlockPlan& plan);

    RateMeter m_ownMeter;
    RateMeter* m_meter = &m_ownMeter;
    unsigned m_connectMs = platform::HttpSession::kDefaultConnectTimeoutMs;
    unsigned m_receiveMs = platform::HttpSession::kDefaultReceiveTimeoutMs;
    const std::atomic<uint64_t>* m_shown = nullptr;
    std::atomic<uint64_t> m_ticket{0};
    // The file in transfer: its size and the bytes of it so far. Another thread shows
    // them (Publish) when this transfer's file becomes the one the window shows.
    std::atomic<uint64_t> m_size{0};
    std::atomic<uint64_t> m_received{0};
    std::string m_agent;
    platform::HttpSession m_session;
    UpdateLog& m_log;
    ProgressCounters& m_counters;
    StopToken m_stop;
    platform::Prompter* m_prompter;
    std::unique_ptr<platform::HttpResponse> m_remoteFile;
    platform::LocalFile m_localFile;
    // What each read of a body lands in (Chunk()): large enough that a big file costs few
    // calls into the HTTP layer (each takes locks, and under WinInet a query of its own).
    static constexpr size_t kChunk = 64 * 1024;
    char* Chunk() {
        if (!m_chunk) m_chunk.reset(new char[kChunk]);
        return m_chunk.get();
    }
    std::unique_ptr<char[]> m_chunk;
    std::string m_pending;      // bytes of the answer read ahead (a multipart part's header)
    uint64_t m_rangeBytes = 0;  // bytes of ranges fetched for the file built from blocks
    platform::FileStamp m_receivedStamp{};
    DigestKind m_kind = DigestKind::kMd5;
    char m_receivedDigest[kBlake2bTextSize];
};
