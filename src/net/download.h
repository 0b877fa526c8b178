// Fetching one file from the update server into a local file: the answer's checks
// (status, encoding, error page, length), the bound on its size, the stall rule, and the
// digest of the bytes as they arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "digest/blake2b.h"
#include "platform/platform.h"

class UpdateLog;

// What a failed download throws.
enum enDownLoadResult {
    DOWNLOAD_LOCAL_FILE_ERROR = 2,  // the local file can't be opened for writing
    DOWNLOAD_FAILED = 3,            // the download failed (all that leaves Transfer::Fetch)
};

// No expected size: the length checks are skipped (the manifest).
constexpr uint32_t kUnknownSize = 0xFFFFFF;

// The most bytes a body of unknown size (the manifest) may have. A manifest of 1999
// entries, each with the longest name written as character references, stays below
// 3 MiB; a server that sends more is not sending a manifest.
constexpr uint64_t kMaxManifestBytes = 16u * 1024 * 1024;

// A transfer that brings less than this average rate over a window of this length has
// stalled. A slow real line (a few KiB/s) passes; a server that drips bytes does not.
constexpr uint32_t kMinTransferRate = 1024;  // bytes per second
constexpr uint32_t kRateWindowMs = 30000;

// The counters a transfer advances as bytes arrive; the window reads them. Every
// transfer adds to the total; the file's size and count are those of the transfer the
// window shows (see SetShown).
struct TransferCounters {
    std::atomic<uint32_t>& fileSize;
    std::atomic<uint32_t>& fileReceived;
    std::atomic<int32_t>& totalReceived;
};

// One connection to the update server, fetching one file at a time.
class Transfer {
public:
    // `stop`: set by another thread to end a transfer at its next chunk (it then throws).
    Transfer(const char* agent, UpdateLog& log, TransferCounters counters,
             const std::atomic<bool>& stop);
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Stores the body of `url` at `localPath` (created or truncated); `name` names the
    // file in the log. `expectedSize` is the size the manifest lists, or kUnknownSize for
    // the manifest itself; a file of size 0 is created without asking the server. The
    // cause of a failure is logged as "下载失败<name>:<reason>" and DOWNLOAD_FAILED
    // thrown; what arrived stays on disk.
    void Fetch(const char* url, const char* localPath, const char* name, uint32_t expectedSize);
    // Ends the response and closes the local file, if either is open; the file's count
    // of received bytes starts again from 0.
    void Close();

    // The digest text of the bytes the last Fetch stored, taken while they arrived.
    const char* ReceivedMd5() const { return m_receivedMd5; }
    // Its BLAKE2b-256 text too, when DigestStrongly is on; empty otherwise.
    const char* ReceivedBlake2b() const { return m_receivedBlake2b; }
    void DigestStrongly(bool on) { m_strong = on; }

    // Time-outs of connecting and of waiting for more data, in milliseconds.
    void SetTimeouts(unsigned connectMs, unsigned receiveMs);
    // Takes the time-outs, the stall rule and the digests of `other`.
    void CopySettings(const Transfer& other);
    // With several transfers in flight: the window shows the file of the transfer whose
    // ticket `shown` holds. Null (the start): this transfer's file is always shown.
    void SetShown(const std::atomic<uint64_t>* shown) { m_shown = shown; }
    void SetTicket(uint64_t ticket) { m_ticket = ticket; }
    // The flag that ends a transfer at its next chunk, in place of the one given first.
    void WatchStop(const std::atomic<bool>& stop) { m_stop = &stop; }

    // The stall rule (tests shorten it).
    uint32_t minRate = kMinTransferRate;
    uint32_t rateWindowMs = kRateWindowMs;

private:
    // Shows this file's size and count, when this transfer is the one the window shows.
    void Publish();

    unsigned m_connectMs = platform::HttpSession::kDefaultConnectTimeoutMs;
    unsigned m_receiveMs = platform::HttpSession::kDefaultReceiveTimeoutMs;
    const std::atomic<uint64_t>* m_shown = nullptr;
    uint64_t m_ticket = 0;
    uint32_t m_size = 0;      // of the file in transfer
    uint32_t m_received = 0;  // of it so far
    platform::HttpSession m_session;
    UpdateLog& m_log;
    TransferCounters m_counters;
    const std::atomic<bool>* m_stop;
    std::unique_ptr<platform::HttpResponse> m_remoteFile;
    platform::LocalFile m_localFile;
    char m_receivedMd5[33];
    bool m_strong = false;
    Blake2b m_blake2b;
    char m_receivedBlake2b[kBlake2bTextSize];
};
