// Transfer: one file from the update server into a local file, with the answer's
// checks, the size bound, the stall rule and the digest of what arrived.
#include "net/download.h"

#include <cstring>
#include <exception>
#include <string>

#include "common/failure.h"
#include "common/text.h"
#include "digest/md5.h"
#include "log/update_log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/message.h"
#include "platform/prompter.h"

namespace {

constexpr size_t kChunk = 4096;

bool StartsWith(const char* data, size_t n, const char* marker) {
    const size_t len = strlen(marker);
    return n >= len && memcmp(data, marker, len) == 0;
}

// A failure of the file `name` that the server or the connection caused.
UpdateFailed Failed(const char* name, const std::string& reason, long code = 0) {
    return UpdateFailed(FailedStep::Download, std::string("下载失败") + name + ":" + reason, name,
                        code);
}

UpdateFailed LocalFileFailed(const char* name) {
    return UpdateFailed(FailedStep::Download, std::string("打开本地文件出错") + name, name,
                        platform::LastErrorCode());
}

}  // namespace

Transfer::Transfer(const char* agent, UpdateLog& log, ProgressCounters& counters, StopToken stop,
                   platform::Prompter* prompter)
    : m_agent(agent),
      m_session(agent),
      m_log(log),
      m_counters(counters),
      m_stop(stop),
      m_prompter(prompter) {
    memset(m_receivedMd5, 0, sizeof(m_receivedMd5));
    memset(m_receivedBlake2b, 0, sizeof(m_receivedBlake2b));
}

void Transfer::SetTimeouts(unsigned connectMs, unsigned receiveMs) {
    m_connectMs = connectMs;
    m_receiveMs = receiveMs;
    m_session.SetTimeouts(connectMs, receiveMs);
}

std::unique_ptr<Transfer> Transfer::MakeSibling(StopToken stop) const {
    std::unique_ptr<Transfer> sibling(
        new Transfer(m_agent.c_str(), m_log, m_counters, stop, m_prompter));
    sibling->SetTimeouts(m_connectMs, m_receiveMs);
    sibling->SetStallRule(m_minRate, m_rateWindowMs);
    sibling->DigestStrongly(m_strong);
    return sibling;
}

void Transfer::Publish() {
    if (m_shown && m_shown->load(std::memory_order_relaxed) != m_ticket) return;
    m_counters.ShowFile(m_size, m_received);
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
        if (!m_localFile.Create(localPath)) throw LocalFileFailed(fileName);
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

    try {
        m_remoteFile = m_session.Open(url);
        const int status = m_remoteFile->StatusCode();
        if (status != 200) throw Failed(fileName, "服务器回答" + std::to_string(status));
        // Never asked for, so never decoded: the bytes would not be the file's.
        const std::string encoding = m_remoteFile->ContentEncoding();
        if (!encoding.empty() && encoding != "identity") {
            throw Failed(fileName, "服务器压缩了内容" + encoding.substr(0, 64));
        }
        char chunk[kChunk];
        size_t n = m_remoteFile->Read(chunk, sizeof(chunk));

        // A server's error page instead of the file.
        if (StartsWith(chunk, n, "<html>") || StartsWith(chunk, n, "<!DOCTYPE HTML PUBLIC")) {
            throw Failed(fileName, "服务器返回了网页");
        }
        m_log.WriteLine("开始下载");

        uint32_t length = 0;
        if (m_remoteFile->ContentLength(&length)) {
            m_size = length;
            Publish();
        } else {
            m_log.WriteLine("获取大小失败");
            const std::string text = std::string("获取大小失败") + url;
            if (m_prompter) {
                m_prompter->Ask(text.c_str(), nullptr, platform::kMbOk);
            } else {
                platform::ShowMessageBox(text.c_str(), nullptr, platform::kMbOk);
            }
        }
        if (expectedSize != kUnknownSize && expectedSize != m_size) {
            throw Failed(fileName, "文件大小与清单不符");
        }
        if (expectedSize == kUnknownSize && m_size != kUnknownSize && m_size > limit) {
            throw Failed(fileName, "内容超过允许的大小");
        }

        if (!m_localFile.Create(localPath)) throw LocalFileFailed(fileName);
        // The rate is judged over consecutive windows: a transfer that brings less than
        // the minimum average in one of them has stalled, however it trickles.
        uint32_t windowStart = platform::TickCount();
        uint64_t windowBytes = 0, received = 0;
        for (;;) {
            if (received + n > limit) throw Failed(fileName, "内容超过允许的大小");
            m_localFile.Write(chunk, n);
            Md5Update(&md5, chunk, n);
            if (m_strong) m_blake2b.Update(chunk, n);
            received += n;
            m_received.fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
            Publish();
            m_counters.AddReceived(static_cast<int32_t>(n));
            if (m_stop.StopRequested()) throw Cancelled();
            const uint32_t now = platform::TickCount();
            const uint32_t elapsed = now - windowStart;
            if (elapsed >= m_rateWindowMs) {
                if ((received - windowBytes) * 1000 < static_cast<uint64_t>(m_minRate) * elapsed) {
                    throw Failed(fileName, "传输太慢");
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
            throw Failed(fileName, "文件不完整");
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
            UpdateFailed failed = Failed(fileName, e.what(), e.Code());
            if (e.certificate) failed.Then("服务器的证书没有通过验证，更新失败");
            throw failed;
        } catch (const platform::SystemError& e) {
            throw Failed(fileName, e.what(), e.Code());
        } catch (const std::exception& e) {
            throw Failed(fileName, e.what());
        }
    }
}

void Transfer::Close() {
    m_received = 0;
    Publish();
    m_remoteFile.reset();
    if (m_localFile.IsOpen()) m_localFile.Close();
}
