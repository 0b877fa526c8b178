// Transfer: one file from the update server into a local file, with the answer's
// checks, the size bound, the stall rule, the digest of what arrived, and a body that
// goes on from the bytes kept when a transfer broke.
#include "net/download.h"

#include <cstdlib>
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

// The longest wait a server's Retry-After is taken for.
constexpr unsigned kMostRetryAfterMs = 30000;

bool StartsWith(const char* data, size_t n, const char* marker) {
    const size_t len = strlen(marker);
    return n >= len && memcmp(data, marker, len) == 0;
}

// A failure of the file `name` that the server or the connection caused.
UpdateFailed Failed(const char* name, const std::string& reason, long code = 0) {
    return UpdateFailed::Download(name, reason, code);
}

UpdateFailed LocalFileFailed(const char* name) {
    return UpdateFailed(FailedStep::Download, std::string("打开本地文件出错") + name, name,
                        platform::LastErrorCode());
}

// Retry-After in seconds (a date is not waited for), as milliseconds within the bound.
unsigned RetryAfterMs(const std::string& value) {
    char* end = nullptr;
    const unsigned long seconds = strtoul(value.c_str(), &end, 10);
    if (end == value.c_str() || seconds == 0) return 0;
    return seconds >= kMostRetryAfterMs / 1000 ? kMostRetryAfterMs
                                               : static_cast<unsigned>(seconds * 1000);
}

// How an answer with this status may be tried again.
Retry RetryOfStatus(int status) {
    switch (status) {
        case 429:
        case 503:
            return Retry::Busy;
        case 408:
        case 500:
        case 502:
        case 504:
            return Retry::Transient;
        default:
            return Retry::Never;
    }
}

// The first byte of a "bytes FIRST-LAST/TOTAL" Content-Range; -1 when it is not one.
long long RangeStart(const std::string& value) {
    if (value.compare(0, 6, "bytes ") != 0) return -1;
    char* end = nullptr;
    const long long first = strtoll(value.c_str() + 6, &end, 10);
    return end != value.c_str() + 6 && *end == '-' ? first : -1;
}

}  // namespace

void RateMeter::SetRule(uint32_t minRate, uint32_t windowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_minRate = minRate;
    m_windowMs = windowMs;
}

void RateMeter::Begin() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_active++ == 0) {
        const uint32_t now = platform::TickCount();
        if (!m_started) {
            m_started = true;
            m_lastMet = now;
        } else if (!m_retrying) {
            m_lastMet += now - m_idleSince;  // nobody was waiting on the server
        }
        m_retrying = false;
        m_windowStart = now;
        m_windowBytes = 0;
    }
}

void RateMeter::End() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_active == 0) m_idleSince = platform::TickCount();
}

uint32_t RateMeter::Unmet(uint32_t now) const {
    return (m_active == 0 && !m_retrying ? m_idleSince : now) - m_lastMet;
}

bool RateMeter::Add(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_windowBytes += bytes;
    const uint32_t now = platform::TickCount();
    const uint32_t elapsed = now - m_windowStart;
    if (m_windowBytes * 1000 >= static_cast<uint64_t>(m_minRate) * m_windowMs) m_lastMet = now;
    const bool overdue = Unmet(now) >= 2 * m_windowMs + kStallSlackMs;
    if (elapsed < m_windowMs && !overdue) return true;
    const bool enough = m_windowBytes * 1000 >= static_cast<uint64_t>(m_minRate) * elapsed;
    if (enough) m_lastMet = now;
    m_windowStart = now;
    m_windowBytes = 0;
    return enough && !overdue;
}

void RateMeter::Arrived() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastMet = platform::TickCount();
    // A file finished while nothing receives (one built from blocks ends with reads of
    // the installed copy): the idle time starts now, or the next Begin would move the
    // floor's time past the clock, and every later window would be overdue.
    if (m_active == 0) m_idleSince = m_lastMet;
}

void RateMeter::Pause() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_paused++ == 0) m_pausedAt = platform::TickCount();
}

void RateMeter::Resume() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_paused > 0) return;
    const uint32_t now = platform::TickCount(), paused = now - m_pausedAt;
    m_windowStart += paused;
    // Never later than now (the floor may have been met meanwhile).
    m_lastMet = now - m_lastMet > paused ? m_lastMet + paused : now;
}

bool RateMeter::MayTryAgain(unsigned waitMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started) return true;
    if (static_cast<uint64_t>(Unmet(platform::TickCount())) + waitMs > m_windowMs + kStallSlackMs) {
        return false;
    }
    m_retrying = true;
    return true;
}

Transfer::Transfer(const char* agent, UpdateLog& log, ProgressCounters& counters, StopToken stop,
                   platform::Prompter* prompter)
    : m_agent(agent),
      m_session(agent),
      m_log(log),
      m_counters(counters),
      m_stop(stop),
      m_prompter(prompter) {
    memset(m_receivedDigest, 0, sizeof(m_receivedDigest));
    m_session.SetStop(stop);
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
    sibling->ShareMeter(m_meter);
    sibling->DigestWith(m_kind);
    return sibling;
}

void Transfer::Publish() {
    if (m_shown && m_shown->load(std::memory_order_relaxed) != m_ticket) return;
    m_counters.ShowFile(m_size, m_received);
}

void Transfer::Fetch(const char* url, const char* localPath, const char* fileName,
                     uint64_t expectedSize, FetchState* given, bool noCache, uint64_t mostBytes) {
    FetchState own;
    FetchState& state = given ? *given : own;
    memset(m_receivedDigest, 0, sizeof(m_receivedDigest));
    m_receivedStamp = platform::FileStamp{};
    m_size = expectedSize;
    m_received = 0;
    Publish();
    const std::string opening = std::string("正在下载") + fileName;

    if (expectedSize == 0) {
        m_log.WriteLines({opening, std::string("文件大小为0") + fileName});
        if (!m_localFile.Create(localPath)) throw LocalFileFailed(fileName);
        m_localFile.Close(&m_receivedStamp);
        Close();
        state.StartDigest();
        FinishDigests(state);
        return;
    }

    // The most bytes this body may have: the manifest's size, or for a body no manifest
    // lists a bound the caller gives, so a server that never stops cannot fill the disk.
    const uint64_t limit = expectedSize == kUnknownSize ? mostBytes : expectedSize;
    // Go on from the bytes kept, when they are some but not all of a listed file: the
    // file is opened now, and its kept bytes are digested (unless this run digested them
    // as they came) through the descriptor the rest is written through.
    uint64_t from = 0;
    if (expectedSize != kUnknownSize && state.kept > 0 && state.kept < limit &&
        ResumeKept(localPath, state)) {
        from = state.kept;
    }
    if (from == 0) StartOver(state);

    bool started = false;  // the file's first lines are written
    RateMeter::Receiving receiving(*m_meter);
    try {
        from = Request(url, fileName, from, noCache, state);
        char* chunk = Chunk();
        size_t n = m_remoteFile->Read(chunk, kChunk);
        // A server's error page instead of the file, told by its first bytes, which may
        // come in pieces.
        const size_t marks = sizeof("<!DOCTYPE HTML PUBLIC") - 1;
        while (from == 0 && n > 0 && n < marks) {
            const size_t more = m_remoteFile->Read(chunk + n, kChunk - n);
            if (more == 0) break;
            n += more;
        }
        if (from == 0 &&
            (StartsWith(chunk, n, "<html>") || StartsWith(chunk, n, "<!DOCTYPE HTML PUBLIC"))) {
            throw Failed(fileName, "服务器返回了网页");
        }
        m_log.WriteLines({opening, from > 0 ? "从第" + std::to_string(from) + "字节继续下载"
                                            : std::string("开始下载")});
        started = true;
        CheckLength(url, fileName, from, expectedSize, limit);
        // The validator of this answer: what a later Range request must match.
        std::string validator = m_remoteFile->Header("ETag");
        if (validator.empty() || validator.compare(0, 2, "W/") == 0) {
            validator = m_remoteFile->Header("Last-Modified");
        }
        if (from == 0) state.validator = validator;
        if (from == 0 && !m_localFile.Create(localPath)) throw LocalFileFailed(fileName);
        if (from == 0 && state.bodyStarted) state.bodyStarted(state);
        Receive(fileName, from, limit, state, chunk, n);
        Finish(fileName, expectedSize, state);
    } catch (...) {
        Abandoned(fileName, opening, started, state);
    }
}

bool Transfer::ResumeKept(const char* localPath, FetchState& state) {
    if (state.digested) return m_localFile.Resume(localPath, state.kept);
    state.StartDigest();
    state.digested = m_localFile.Resume(
        localPath, state.kept,
        [this, &state](const void* data, size_t n) { state.Digest(m_kind, data, n); });
    return state.digested;
}

void Transfer::StartOver(FetchState& state) {
    state.Restart();
    state.StartDigest();
    state.digested = true;
}

uint64_t Transfer::Request(const char* url, const char* fileName, uint64_t from, bool noCache,
                           FetchState& state) {
    platform::HttpRequest request;
    request.noCache = noCache;
    request.from = from;
    if (from > 0) request.ifRange = state.validator;
    m_remoteFile = m_session.Open(url, request);
    const int status = m_remoteFile->StatusCode();
    if (from > 0 && status == 200) {
        // The server sent the whole file (it ignores ranges, or the file changed).
        from = 0;
        StartOver(state);
    } else if (from > 0 && status == 206) {
        if (RangeStart(m_remoteFile->Header("Content-Range")) != static_cast<long long>(from)) {
            StartOver(state);  // whatever it is, it is not the rest of the kept bytes
            throw Failed(fileName, "服务器续传的位置不对").MayRetry(Retry::Transient);
        }
    } else if (status != 200) {
        throw AnswerFailed(fileName);
    }
    // Never asked for, so never decoded: the bytes would not be the file's.
    const std::string encoding = m_remoteFile->ContentEncoding();
    if (!encoding.empty() && encoding != "identity") {
        throw Failed(fileName, "服务器压缩了内容" + Printable(encoding.substr(0, 64)));
    }
    return from;
}

void Transfer::CheckLength(const char* url, const char* fileName, uint64_t from,
                           uint64_t expectedSize, uint64_t limit) {
    uint64_t length = 0;
    if (m_remoteFile->ContentLength(&length)) {
        m_size = from + length;
        Publish();
    } else {
        // Named, so that the line is the file's among other transfers' lines.
        m_log.WriteLine("获取大小失败%s", fileName);
        const std::string text = std::string("获取大小失败") + url;
        // The time the box waits for the player is no time the transfer stalled.
        struct Paused {
            RateMeter& meter;
            explicit Paused(RateMeter& m) : meter(m) { meter.Pause(); }
            ~Paused() { meter.Resume(); }
        } paused(*m_meter);
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
}

void Transfer::Receive(const char* fileName, uint64_t from, uint64_t limit, FetchState& state,
                       char* chunk, size_t n) {
    m_received = from;
    uint64_t received = from;
    for (;;) {
        if (received + n > limit) throw Failed(fileName, "内容超过允许的大小");
        m_localFile.Write(chunk, n);
        state.Digest(m_kind, chunk, n);
        received += n;
        state.kept = received;
        m_received.fetch_add(n, std::memory_order_relaxed);
        Publish();
        m_counters.AddReceived(static_cast<int64_t>(n));
        if (m_stop.StopRequested()) throw Cancelled();
        if (!m_meter->Add(n)) throw Failed(fileName, "传输太慢").MayRetry(Retry::Transient);
        n = m_remoteFile->Read(chunk, kChunk);
        if (n == 0) break;
    }
}

void Transfer::Finish(const char* fileName, uint64_t expectedSize, FetchState& state) {
    if (!m_localFile.Close(&m_receivedStamp)) {
        throw platform::LastError<platform::FileError>("write failed");
    }
    if (m_received < m_size && expectedSize != kUnknownSize) {
        m_received = 0;
        Publish();
        throw Failed(fileName, "文件不完整").MayRetry(Retry::Transient);
    }
    FinishDigests(state);
    m_meter->Arrived();
    Close();
}

void Transfer::Abandoned(const char* fileName, const std::string& opening, bool started,
                         FetchState& state) {
    m_remoteFile.reset();
    // What arrived stays on disk; bytes that could not be written are not kept.
    if (!m_localFile.Close()) StartOver(state);
    // A read the stop ended (the run is stopped, or another file failed first).
    if (m_stop.StopRequested()) throw Cancelled();
    try {
        throw;
    } catch (UpdateFailed& failed) {
        if (!started) failed.First(opening);
        throw;
    } catch (const platform::HttpError& e) {
        UpdateFailed failed = HttpFailed(fileName, e);
        if (!started) failed.First(opening);
        throw failed;
    } catch (const platform::SystemError& e) {
        UpdateFailed failed = Failed(fileName, e.what(), e.Code());
        if (!started) failed.First(opening);
        throw failed;
    } catch (const std::exception& e) {
        UpdateFailed failed = Failed(fileName, e.what());
        if (!started) failed.First(opening);
        throw failed;
    }
}

UpdateFailed Transfer::AnswerFailed(const char* fileName) const {
    const int status = m_remoteFile->StatusCode();
    const Retry retry = RetryOfStatus(status);
    return Failed(fileName, "服务器回答" + std::to_string(status))
        .MayRetry(retry,
                  retry == Retry::Busy ? RetryAfterMs(m_remoteFile->Header("Retry-After")) : 0);
}

UpdateFailed Transfer::HttpFailed(const char* fileName, const platform::HttpError& e) {
    UpdateFailed failed = Failed(fileName, e.what(), e.Code());
    if (e.certificate) failed.Then("服务器的证书没有通过验证，更新失败");
    if (e.fault == platform::HttpFault::Refused) failed.MayRetry(Retry::Refused);
    if (e.fault == platform::HttpFault::Broken) failed.MayRetry(Retry::Transient);
    return failed;
}

// The received file's digest from the bytes digested as they came, of one kind only:
// a second pass over every byte would cost as much again.
void Transfer::FinishDigests(FetchState& state) {
    if (m_kind == DigestKind::kBlake2b) {
        state.blake2b.Final(m_receivedDigest);
    } else {
        unsigned char digest[16];
        Md5Final(digest, &state.md5);
        DigestToHex(digest, m_receivedDigest);
    }
    state.Restart();
}

void Transfer::Close() {
    m_received = 0;
    Publish();
    m_remoteFile.reset();
    if (m_localFile.IsOpen()) m_localFile.Close();
}
