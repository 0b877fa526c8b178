// A listed file built from the blocks the installed copy shares with it and Range
// requests for the rest (Transfer::FetchByBlocks): first the head of the file's block
// index (its coarse blocks, checked against the manifest's digest), then the fine tables
// of the coarse blocks the installed copy lacks, then the new file in order, each piece
// either read from the installed copy or fetched.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/failure.h"
#include "platform/errors.h"
#include "digest/blocks.h"
#include "log/update_log.h"
#include "net/download.h"
#include "net/fetch_pool.h"

namespace {

// Why a file is not built from blocks after all: the caller fetches it whole.
struct BlockRefusal {
    std::string why;
};

// The installed copy, read at any offset; `base` and `size` make a view of part of it.
struct OldView {
    FILE* file;
    uint64_t base, size;
    static long long Read(void* context, uint64_t offset, void* out, size_t n) {
        const auto* view = static_cast<const OldView*>(context);
        if (offset > view->size) return -1;
        n = static_cast<size_t>(std::min<uint64_t>(n, view->size - offset));
        if (!platform::SeekFile(view->file, view->base + offset)) return -1;
        const size_t got = fread(out, 1, n, view->file);
        return got == n ? static_cast<long long>(got) : -1;
    }
};

// The built file's digest, taken on a thread of its own while the file is written: the
// two cost about as much, and a player's machine has more than one core. Bytes are
// digested in the order they are fed, 1 MiB at a time.
class DigestBehind {
public:
    DigestBehind(FetchState& state, DigestKind kind) : m_state(state), m_kind(kind) {
        for (auto& buffer : m_buffers) buffer.resize(kBytes);
        m_thread = std::thread([this] { Run(); });
    }
    ~DigestBehind() { End(); }
    DigestBehind(const DigestBehind&) = delete;
    DigestBehind& operator=(const DigestBehind&) = delete;

    void Feed(const char* data, size_t n) {
        while (n > 0) {
            const size_t take = std::min(n, kBytes - m_fill);
            memcpy(m_buffers[m_current].data() + m_fill, data, take);
            m_fill += take;
            data += take;
            n -= take;
            if (m_fill == kBytes) HandOver();
        }
    }
    // Returns once every byte fed is digested.
    void End() {
        if (!m_thread.joinable()) return;
        if (m_fill > 0) HandOver();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ending = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    static constexpr size_t kBytes = 1 << 20;
    // The buffer filled goes to the thread; the other is filled next, once digested.
    void HandOver() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_handed[m_current] = m_fill;
        m_changed.notify_all();
        m_current ^= 1;
        m_changed.wait(lock, [this] { return m_handed[m_current] == 0; });
        m_fill = 0;
    }
    void Run() {
        for (int next = 0;; next ^= 1) {
            size_t n = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_handed[next] > 0 || m_ending; });
                n = m_handed[next];
            }
            if (n == 0) return;
            m_state.Digest(m_kind, m_buffers[next].data(), n);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_handed[next] = 0;
            }
            m_changed.notify_all();
        }
    }

    FetchState& m_state;
    DigestKind m_kind;
    std::vector<char> m_buffers[2];
    int m_current = 0;
    size_t m_fill = 0;            // bytes in the buffer being filled
    size_t m_handed[2] = {0, 0};  // bytes of each buffer the thread is to digest
    bool m_ending = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
};

// "bytes FROM-TO/TOTAL" naming exactly `from` to `to` (and `total`, unless it is 0 or
// the server says "*").
bool ContentRangeIs(const std::string& text, uint64_t from, uint64_t to, uint64_t total) {
    const std::string want = "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/";
    if (text.compare(0, want.size(), want) != 0) return false;
    const std::string rest = text.substr(want.size());
    return rest == "*" || total == 0 || rest == std::to_string(total);
}

}  // namespace

// A run of the new file: read from the installed copy at `old`, or fetched (old < 0).
struct Piece {
    uint64_t at = 0, length = 0;
    int64_t old = -1;
};

// Ranges of one URL fetched in order, several per request while the server answers them
// as multipart/byteranges, then one per request.
struct RangeStream {
    RangeStream(const char* u, uint64_t size, const Transfer::BlockJob& job)
        : url(u), total(size), noCache(job.noCache), name(job.name), retry(job.retry) {}
    const char* url;
    uint64_t total;  // the size of what `url` names (0: not known)
    bool noCache;
    const char* name;  // of the file, in the log
    RetryPolicy* retry;
    uint64_t sinceBroke = 0;  // the transfer's range bytes when a range last broke
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // each range's start and length
    size_t next = 0, asked = 0;  // the next range to receive; the first not asked for
    bool several = true;
    std::string boundary;  // of the multipart answer now read; empty: a one-range answer
};

struct BlockPlan {
    BlockIndexHeader header;
    std::vector<BlockEntry> coarse;
    std::vector<Piece> pieces;
    uint64_t indexBytes = 0;  // of the index, fetched
    uint64_t fetchBytes = 0;  // of the file, to fetch
};

void Transfer::OpenRanges(const char* url, const std::string& ranges, bool noCache) {
    if (m_stop.StopRequested()) throw Cancelled();
    platform::HttpRequest request;
    request.noCache = noCache;
    request.ranges = ranges;
    m_pending.clear();
    m_remoteFile = m_session.Open(url, request);
}

size_t Transfer::ReadBody(char* out, size_t len) {
    if (!m_pending.empty()) {
        const size_t n = std::min(len, m_pending.size());
        memcpy(out, m_pending.data(), n);
        m_pending.erase(0, n);
        return n;
    }
    return m_remoteFile->Read(out, len);
}

std::string Transfer::ReadBodyLine() {
    // A part's header lines are short; one that is not ends the file's build.
    for (;;) {
        const size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (m_pending.size() > 1024) throw BlockRefusal{"服务器返回的分段不对"};
        char more[512];
        const size_t n = m_remoteFile->Read(more, sizeof(more));
        if (n == 0) throw UpdateFailed::Download("", "分段不完整").MayRetry(Retry::Transient);
        m_pending.append(more, n);
    }
}

void Transfer::ReceiveRange(uint64_t length, const std::function<void(const char*, size_t)>& sink) {
    RateMeter::Receiving receiving(*m_meter);
    for (uint64_t received = 0; received < length;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, length - received));
        const size_t n = ReadBody(Chunk(), want);
        if (n == 0) throw UpdateFailed::Download("", "分段不完整").MayRetry(Retry::Transient);
        sink(Chunk(), n);
        received += n;
        m_rangeBytes += n;
        m_counters.AddReceived(static_cast<int64_t>(n));
        if (m_stop.StopRequested()) throw Cancelled();
        if (!m_meter->Add(n)) {
            throw UpdateFailed::Download("", "传输太慢").MayRetry(Retry::Transient);
        }
    }
}

bool Transfer::FetchIndexHead(const BlockJob& job, BlockPlan& plan, std::string* why) {
    const BlockIndexHeader expected = BlockSizesFor(job.size);
    const uint64_t headBytes = BlockIndexHeadBytes(expected);
    std::string head;
    RangeStream stream(job.indexUrl.c_str(), 0, job);
    stream.ranges.emplace_back(0, headBytes);
    NextRange(stream, [&head](const char* data, size_t n) { head.append(data, n); });
    plan.indexBytes += head.size();
    FetchState digest;
    digest.StartDigest();
    digest.Digest(m_kind, head.data(), head.size());
    FinishDigests(digest);
    BlockIndexHeader& h = plan.header;
    if (strcmp(m_receivedDigest, job.indexDigest) != 0) {
        *why = "块索引与清单不符";
    } else if (!ParseBlockIndexHeader(head, &h) || h.fileSize != job.size ||
               BlockIndexHeadBytes(h) != headBytes ||
               !ParseBlockEntries(head, CoarseTableOffset(), h.coarseCount, kCoarseEntryBytes,
                                  &plan.coarse)) {
        *why = "块索引不是这个文件的";
    }
    return why->empty();
}

void Transfer::PlanFromOld(const BlockJob& job, BlockPlan& plan) {
    const BlockIndexHeader& h = plan.header;
    const uint32_t per = FinePerCoarse(h);
    const size_t count = plan.coarse.size();
    auto coarseLength = [&](size_t i) {
        return std::min<uint64_t>(h.coarse, job.size - static_cast<uint64_t>(i) * h.coarse);
    };
    // The coarse blocks, anywhere in the installed copy.
    OldView whole{job.old, 0, job.oldSize};
    std::vector<int64_t> coarseAt;
    if (!FindBlocks(plan.coarse, h.coarse, static_cast<size_t>(coarseLength(count - 1)),
                    std::vector<bool>(count, true), job.oldSize, &OldView::Read, &whole,
                    &coarseAt)) {
        throw BlockRefusal{"读取已安装的文件出错"};
    }
    // The fine tables of the coarse blocks it lacks, by runs of neighbours.
    std::vector<uint32_t> missing;
    for (size_t i = 0; i < count; ++i) {
        if (coarseAt[i] < 0) missing.push_back(static_cast<uint32_t>(i));
    }
    std::vector<BlockEntry> fine;  // of the missing coarse blocks, in order
    struct FineAt {
        uint32_t coarse, j;  // fine block j of coarse block `coarse`
    };
    std::vector<FineAt> fineAt;
    auto fineStart = [&](size_t k) {
        return static_cast<uint64_t>(fineAt[k].coarse) * h.coarse +
               static_cast<uint64_t>(fineAt[k].j) * h.fine;
    };
    auto fineLength = [&](size_t k) { return std::min<uint64_t>(h.fine, job.size - fineStart(k)); };
    // Runs of neighbours, each one range of the index; each table is checked and taken as
    // soon as its bytes are in.
    RangeStream stream(job.indexUrl.c_str(), BlockIndexBytes(h), job);
    size_t runs = 0;
    for (size_t first = 0; first < missing.size(); ++runs) {
        size_t last = first;
        while (last + 1 < missing.size() && missing[last + 1] == missing[last] + 1) ++last;
        const uint64_t from = FineTableOffset(h, missing[first]);
        stream.ranges.emplace_back(from, FineTableOffset(h, missing[last] + 1) - from);
        first = last + 1;
    }
    const size_t tableBytes = static_cast<size_t>(per) * kFineEntryBytes;
    std::string pending;
    size_t taken = 0;  // tables taken, in the order of `missing`
    std::vector<BlockEntry> entries;
    auto takeTables = [&](const char* data, size_t n) {
        pending.append(data, n);
        size_t at = 0;
        for (; pending.size() - at >= tableBytes; at += tableBytes, ++taken) {
            const uint32_t i = missing[taken];
            unsigned char digest[8];
            BlockStrong(pending.data() + at, tableBytes, digest);
            if (memcmp(digest, plan.coarse[i].table, sizeof(digest)) != 0 ||
                !ParseBlockEntries(pending, at, per, kFineEntryBytes, &entries)) {
                throw BlockRefusal{"块索引与清单不符"};
            }
            for (uint32_t j = 0; j < per && j * static_cast<uint64_t>(h.fine) < coarseLength(i);
                 ++j) {
                fine.push_back(entries[j]);
                fineAt.push_back(FineAt{i, j});
            }
        }
        pending.erase(0, at);
        plan.indexBytes += n;
    };
    for (size_t run = 0; run < runs; ++run) NextRange(stream, takeTables);
    // The fine blocks, looked for where no coarse block was found in the installed copy
    // (a coarse block's width around each such gap).
    std::vector<std::pair<uint64_t, uint64_t>> used;  // old runs the coarse blocks took
    for (size_t i = 0; i < count; ++i) {
        if (coarseAt[i] >= 0) used.emplace_back(coarseAt[i], coarseAt[i] + coarseLength(i));
    }
    std::sort(used.begin(), used.end());
    std::vector<int64_t> fineFound(fine.size(), -1);
    uint64_t gapStart = 0;
    auto searchGap = [&](uint64_t from, uint64_t to) {
        from = from > h.coarse ? from - h.coarse : 0;
        to = std::min<uint64_t>(job.oldSize, to + h.coarse);
        if (to <= from || fine.empty()) return;
        std::vector<bool> wanted(fine.size());
        for (size_t k = 0; k < fine.size(); ++k) wanted[k] = fineFound[k] < 0;
        OldView view{job.old, from, to - from};
        std::vector<int64_t> found;
        const size_t lastLength = static_cast<size_t>(fineLength(fine.size() - 1));
        if (!FindBlocks(fine, h.fine, lastLength, wanted, to - from, &OldView::Read, &view,
                        &found)) {
            throw BlockRefusal{"读取已安装的文件出错"};
        }
        for (size_t k = 0; k < fine.size(); ++k) {
            if (fineFound[k] < 0 && found[k] >= 0) fineFound[k] = found[k] + from;
        }
    };
    for (const auto& run : used) {
        if (run.first > gapStart) searchGap(gapStart, run.first);
        gapStart = std::max(gapStart, run.second);
    }
    if (gapStart < job.oldSize) searchGap(gapStart, job.oldSize);

    // The pieces, in the new file's order, neighbours of one kind joined.
    auto add = [&plan](uint64_t at, uint64_t length, int64_t old) {
        if (!plan.pieces.empty()) {
            Piece& back = plan.pieces.back();
            const bool joins =
                (old < 0 && back.old < 0) ||
                (old >= 0 && back.old >= 0 &&
                 static_cast<uint64_t>(back.old) + back.length == static_cast<uint64_t>(old));
            if (joins) {
                back.length += length;
                return;
            }
        }
        plan.pieces.push_back(Piece{at, length, old});
    };
    size_t k = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t start = static_cast<uint64_t>(i) * h.coarse;
        if (coarseAt[i] >= 0) {
            add(start, coarseLength(i), coarseAt[i]);
            continue;
        }
        for (; k < fine.size() && fineAt[k].coarse == i; ++k) {
            add(fineStart(k), fineLength(k), fineFound[k]);
            if (fineFound[k] < 0) plan.fetchBytes += fineLength(k);
        }
    }
}

// How many ranges one request asks for: a run of scattered changes costs a few round
// trips, not one per change.
constexpr size_t kRangesPerRequest = 64;

void Transfer::AskRanges(RangeStream& stream) {
    const size_t first = stream.next;
    const size_t count =
        stream.several ? std::min(kRangesPerRequest, stream.ranges.size() - first) : 1;
    std::string text;
    for (size_t k = first; k < first + count; ++k) {
        if (!text.empty()) text += ",";
        text += std::to_string(stream.ranges[k].first) + "-" +
                std::to_string(stream.ranges[k].first + stream.ranges[k].second - 1);
    }
    OpenRanges(stream.url, text, stream.noCache);
    const int status = m_remoteFile->StatusCode();
    const std::string type = m_remoteFile->Header("Content-Type");
    const std::string multipart = "multipart/byteranges";
    const size_t mark = type.find("boundary=");
    const bool parts =
        type.compare(0, multipart.size(), multipart) == 0 && mark != std::string::npos;
    const auto& head = stream.ranges[first];
    const bool firstRange = ContentRangeIs(m_remoteFile->Header("Content-Range"), head.first,
                                           head.first + head.second - 1, stream.total);
    if (count > 1 && (status == 200 || (status == 206 && !parts && !firstRange))) {
        // A server that takes one range at a time answers several with the whole file
        // (nginx's max_ranges 1: 200; an object store: 200, or a 206 of every byte): from
        // here on, one per request.
        m_remoteFile.reset();
        stream.several = false;
        AskRanges(stream);
        return;
    }
    if (status == 200) throw BlockRefusal{"服务器不支持分段下载"};
    if (status != 206) throw AnswerFailed("");
    stream.asked = first + count;
    if (count > 1 && parts) {
        stream.boundary = type.substr(mark + 9);
        if (stream.boundary.size() > 1 && stream.boundary.front() == '"') {
            stream.boundary = stream.boundary.substr(1, stream.boundary.size() - 2);
        }
        return;
    }
    // One part only: it must be the first range; the rest, one per request.
    if (!firstRange) throw BlockRefusal{"服务器返回的分段不对"};
    stream.boundary.clear();
    stream.several = false;
    stream.asked = first + 1;
}

void Transfer::NextRange(RangeStream& stream,
                         const std::function<void(const char*, size_t)>& sink) {
    uint64_t done = 0;  // of the range, to the sink
    const auto counted = [&sink, &done](const char* data, size_t n) {
        sink(data, n);
        done += n;
    };
    for (;;) {
        try {
            ReadRange(stream, counted);
            return;
        } catch (...) {
            RangeBroke(stream, done);
            done = 0;
        }
    }
}

void Transfer::RangeBroke(RangeStream& stream, uint64_t done) {
    m_remoteFile.reset();
    m_pending.clear();
    stream.boundary.clear();
    if (m_stop.StopRequested()) throw Cancelled();
    UpdateFailed failure = UpdateFailed::Download(stream.name, "");
    try {
        throw;
    } catch (const platform::HttpError& e) {
        failure = HttpFailed(stream.name, e);
    } catch (const UpdateFailed& e) {
        failure = UpdateFailed::Download(stream.name, e.Reason())
                      .MayRetry(e.RetryKind(), e.RetryAfterMs());
    }
    // The rest of the range, and the ranges after it, asked for anew.
    auto& range = stream.ranges[stream.next];
    range.first += done;
    range.second -= done;
    stream.asked = stream.next;
    const bool progressed = m_rangeBytes - stream.sinceBroke >= kProgressBytes;
    stream.sinceBroke = m_rangeBytes;
    unsigned waitMs = 0;
    if (!stream.retry || !stream.retry->TryAgain(failure, progressed, &waitMs)) {
        throw BlockRefusal{failure.Reason()};
    }
    LogRetry(m_log, waitMs, stream.name, failure);
    if (m_stop.WaitFor(waitMs)) throw Cancelled();
}

void Transfer::ReadRange(RangeStream& stream,
                         const std::function<void(const char*, size_t)>& sink) {
    if (stream.next == stream.asked) AskRanges(stream);
    const auto& range = stream.ranges[stream.next];
    if (!stream.boundary.empty()) {
        // A part of multipart/byteranges: its boundary, its headers, its bytes.
        std::string line = ReadBodyLine();
        if (line.empty()) line = ReadBodyLine();
        if (line != "--" + stream.boundary) throw BlockRefusal{"服务器返回的分段不对"};
        bool rangeSeen = false;
        const std::string name = "content-range:";
        while (!(line = ReadBodyLine()).empty()) {
            if (line.size() <= name.size()) continue;
            std::string start = line.substr(0, name.size());
            for (char& c : start) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            if (start != name) continue;
            const size_t value = line.find_first_not_of(' ', name.size());
            rangeSeen = value != std::string::npos &&
                        ContentRangeIs(line.substr(value), range.first,
                                       range.first + range.second - 1, stream.total);
        }
        if (!rangeSeen) throw BlockRefusal{"服务器返回的分段不对"};
    }
    ReceiveRange(range.second, sink);
    if (++stream.next == stream.asked) m_remoteFile.reset();
}

bool Transfer::BuildFromPlan(const BlockJob& job, const BlockPlan& plan) {
    if (!m_localFile.Create(job.localPath)) throw BlockRefusal{"无法写入临时文件"};
    FetchState digest;
    digest.StartDigest();
    DigestBehind behind(digest, m_kind);
    auto write = [&](const char* data, size_t n) {
        m_localFile.Write(data, n);
        behind.Feed(data, n);
        m_received.fetch_add(n, std::memory_order_relaxed);
        Publish();
    };
    RangeStream stream(job.url, job.size, job);
    for (const Piece& piece : plan.pieces) {
        if (piece.old < 0) stream.ranges.emplace_back(piece.at, piece.length);
    }
    for (const Piece& piece : plan.pieces) {
        if (piece.old < 0) {
            NextRange(stream, write);
            continue;
        }
        OldView whole{job.old, 0, job.oldSize};
        for (uint64_t done = 0; done < piece.length;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, piece.length - done));
            if (OldView::Read(&whole, piece.old + done, Chunk(), n) != static_cast<long long>(n)) {
                throw BlockRefusal{"读取已安装的文件出错"};
            }
            write(Chunk(), n);
            done += n;
            if (m_stop.StopRequested()) throw Cancelled();
        }
    }
    if (!m_localFile.Close(&m_receivedStamp)) throw BlockRefusal{"无法写入临时文件"};
    behind.End();
    FinishDigests(digest);
    return true;
}

bool Transfer::FetchByBlocks(const BlockJob& job, std::string* why) {
    why->clear();
    memset(m_receivedDigest, 0, sizeof(m_receivedDigest));
    m_receivedStamp = platform::FileStamp{};
    m_size = job.size;
    m_received = 0;
    m_rangeBytes = 0;
    Publish();
    BlockPlan plan;
    // The whole file is in the run's total; what travels instead replaces it once it is
    // known, so that the total ends at what arrived.
    int64_t counted = static_cast<int64_t>(job.size);
    auto recount = [&](uint64_t now) {
        m_counters.AddToTotal(static_cast<int64_t>(now) - counted);
        counted = static_cast<int64_t>(now);
    };
    try {
        if (job.size > 0 && FetchIndexHead(job, plan, why)) {
            PlanFromOld(job, plan);
            recount(plan.indexBytes + plan.fetchBytes);
            BuildFromPlan(job, plan);
        }
        if (job.size == 0) *why = "文件是空的";
    } catch (const BlockRefusal& refusal) {
        *why = refusal.why;
    } catch (const platform::SystemError& e) {
        *why = e.what();  // the connection or the disk; the whole file is tried as usual
    }
    m_remoteFile.reset();
    if (!why->empty()) {
        if (m_localFile.IsOpen()) m_localFile.Close();
        m_received = 0;
        Publish();
        // What travelled stays counted, and the whole file comes on top.
        recount(m_rangeBytes + job.size);
        return false;
    }
    m_log.WriteLine("按块更新%s:下载了%llu字节，文件共%llu字节", job.name,
                    static_cast<unsigned long long>(m_rangeBytes),
                    static_cast<unsigned long long>(job.size));
    m_meter->Arrived();
    Close();
    return true;
}
