// Transfer: one file from the update server into a local file, with the answer's
// checks, the size bound, the stall rule and the digest of what arrived.
#include "net/download.h"

#include <cstring>
#include <exception>

#include "common/text.h"
#include "digest/md5.h"
#include "log/update_log.h"

namespace {

constexpr size_t kChunk = 4096;

bool StartsWith(const char* data, size_t n, const char* marker) {
    const size_t len = strlen(marker);
    return n >= len && memcmp(data, marker, len) == 0;
}

}  // namespace

Transfer::Transfer(const char* agent, UpdateLog& log, TransferCounters counters,
                   const std::atomic<bool>& stop)
    : m_session(agent), m_log(log), m_counters(counters), m_stop(&stop) {
    memset(m_receivedMd5, 0, sizeof(m_receivedMd5));
    memset(m_receivedBlake2b, 0, sizeof(m_receivedBlake2b));
}

void Transfer::SetTimeouts(unsigned connectMs, unsigned receiveMs) {
    m_connectMs = connectMs;
    m_receiveMs = receiveMs;
    m_session.SetTimeouts(connectMs, receiveMs);
}

void Transfer::CopySettings(const Transfer& other) {
    SetTimeouts(other.m_connectMs, other.m_receiveMs);
    minRate = other.minRate;
    rateWindowMs = other.rateWindowMs;
    m_strong = other.m_strong;
}

void Transfer::Publish() {
    if (m_shown && m_shown->load(std::memory_order_relaxed) != m_ticket) return;
    m_counters.fileSize.store(m_size, std::memory_order_relaxed);
    m_counters.fileReceived.store(m_received, std::memory_order_relaxed);
}

void Transfer::Fetch(const char* url, const char* localPath, const char* fileName,
                     uint32_t expectedSize) {
    Md5Context md5;
    Md5Init(&md5);
    memset(m_receivedMd5, 0, sizeof(m_receivedMd5));
    memset(m_receivedBlake2b, 0, sizeof(m_receivedBlake2b));
    if (m_strong) m_blake2b = Blake2b();
    m_size = expectedSize;
    m_received = 0;
    Publish();

    if (expectedSize == 0) {
        m_log.WriteLine("文件大小为0%s", fileName);
        if (!m_localFile.Create(localPath)) {
            m_log.WriteLine("打开本地文件出错%s", fileName);
            throw 0;
        }
        Close();
        unsigned char digest[16];
        Md5Final(digest, &md5);
        DigestToHex(digest, m_receivedMd5);
        if (m_strong) m_blake2b.Final(m_receivedBlake2b);
        return;
    }

    // The most bytes this body may have: the manifest's size, or for the manifest itself
    // a bound far above any real one, so a server that never stops cannot fill the disk.
    const uint64_t limit = expectedSize == kUnknownSize ? kMaxManifestBytes : expectedSize;

    char failure[128] = "";
    try {
        m_remoteFile = m_session.Open(url);
        const int status = m_remoteFile->StatusCode();
        if (status != 200) {
            FormatText(failure, sizeof(failure), "服务器回答%d", status);
            throw 0;
        }
        // Never asked for, so never decoded: the bytes would not be the file's.
        const std::string encoding = m_remoteFile->ContentEncoding();
        if (!encoding.empty() && encoding != "identity") {
            FormatText(failure, sizeof(failure), "服务器压缩了内容%.64s", encoding.c_str());
            throw 0;
        }
        char chunk[kChunk];
        size_t n = m_remoteFile->Read(chunk, sizeof(chunk));

        // A server's error page instead of the file.
        if (StartsWith(chunk, n, "<html>") || StartsWith(chunk, n, "<!DOCTYPE HTML PUBLIC")) {
            FormatText(failure, sizeof(failure), "%s", "服务器返回了网页");
            throw 0;
        }
        m_log.WriteLine("开始下载");

        uint32_t length = 0;
        if (m_remoteFile->ContentLength(&length)) {
            m_size = length;
            Publish();
        } else {
            m_log.WriteLine("获取大小失败");
            platform::ShowMessage("%s%s", "获取大小失败", url);
        }
        if (expectedSize != kUnknownSize && expectedSize != m_size) {
            FormatText(failure, sizeof(failure), "%s", "文件大小与清单不符");
            throw DOWNLOAD_FAILED;
        }
        if (expectedSize == kUnknownSize && m_size != kUnknownSize && m_size > limit) {
            FormatText(failure, sizeof(failure), "%s", "内容超过允许的大小");
            throw DOWNLOAD_FAILED;
        }

        if (!m_localFile.Create(localPath)) {
            m_log.WriteLine("打开本地文件出错%s", fileName);
            throw DOWNLOAD_LOCAL_FILE_ERROR;
        }
        // The rate is judged over consecutive windows: a transfer that brings less than
        // the minimum average in one of them has stalled, however it trickles.
        uint32_t windowStart = platform::TickCount();
        uint64_t windowBytes = 0, received = 0;
        for (;;) {
            if (received + n > limit) {
                FormatText(failure, sizeof(failure), "%s", "内容超过允许的大小");
                throw DOWNLOAD_FAILED;
            }
            m_localFile.Write(chunk, n);
            Md5Update(&md5, chunk, n);
            if (m_strong) m_blake2b.Update(chunk, n);
            received += n;
            m_received += static_cast<uint32_t>(n);
            Publish();
            m_counters.totalReceived.fetch_add(static_cast<int32_t>(n), std::memory_order_relaxed);
            if (m_stop->load(std::memory_order_relaxed)) throw 0;
            const uint32_t now = platform::TickCount();
            const uint32_t elapsed = now - windowStart;
            if (elapsed >= rateWindowMs) {
                if ((received - windowBytes) * 1000 < static_cast<uint64_t>(minRate) * elapsed) {
                    FormatText(failure, sizeof(failure), "%s", "传输太慢");
                    throw DOWNLOAD_FAILED;
                }
                windowStart = now;
                windowBytes = received;
            }
            n = m_remoteFile->Read(chunk, sizeof(chunk));
            if (n == 0) break;
        }
        if (!m_localFile.Close()) throw platform::LastError<platform::FileError>("write failed");
        if (m_received < m_size && expectedSize != kUnknownSize) {
            m_received = 0;
            Publish();
            FormatText(failure, sizeof(failure), "%s", "文件不完整");
            throw 0;
        }
        unsigned char digest[16];
        Md5Final(digest, &md5);
        DigestToHex(digest, m_receivedMd5);
        if (m_strong) m_blake2b.Final(m_receivedBlake2b);
        Close();
    } catch (...) {
        m_remoteFile.reset();
        m_localFile.Close();  // what arrived stays on disk
        try {
            throw;
        } catch (const platform::HttpError& e) {
            m_log.WriteLine("下载失败%s:%s", fileName, e.what());
            if (e.certificate) m_log.WriteLine("服务器的证书没有通过验证，更新失败");
        } catch (const std::exception& e) {
            m_log.WriteLine("下载失败%s:%s", fileName, e.what());
        } catch (...) {
            if (*failure) m_log.WriteLine("下载失败%s:%s", fileName, failure);
        }
        throw DOWNLOAD_FAILED;
    }
}

void Transfer::Close() {
    m_received = 0;
    Publish();
    m_remoteFile.reset();
    if (m_localFile.IsOpen()) m_localFile.Close();
}
