// A listed file built from the blocks the installed copy shares with it and Range
// requests for the rest (Transfer::FetchByBlocks): first the head of the file's block
// index (its coarse blocks, checked against the manifest's digest), then the fine tables
// of the coarse blocks the installed copy lacks, then the new file in order, each piece
// either read from the installed copy or fetched.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/failure.h"
#include "platform/errors.h"
#include "digest/blocks.h"
#include "log/update_log.h"
#include "net/download.h"

namespace {

// Why a file is not built from blocks after all: the caller fetches it whole.
struct BlockRefusal {
    std::string why;
};

// A run of the new file: read from the installed copy at `old`, or fetched (old < 0).
struct Piece {
    uint64_t at = 0, length = 0;
    int64_t old = -1;
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

// "bytes FROM-TO/TOTAL" naming exactly `from` to `to` (and `total`, unless it is 0 or
// the server says "*").
bool ContentRangeIs(const std::string& text, uint64_t from, uint64_t to, uint64_t total) {
    const std::string want = "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/";
    if (text.compare(0, want.size(), want) != 0) return false;
    const std::string rest = text.substr(want.size());
    return rest == "*" || total == 0 || rest == std::to_string(total);
}

}  // namespace

struct BlockPlan {
    BlockIndexHeader header;
    std::vector<BlockEntry> coarse;
    std::vector<Piece> pieces;
    uint64_t indexBytes = 0;  // of the index, fetched
    uint64_t fetchBytes = 0;  // of the file, to fetch
};

void Transfer::FetchRange(const char* url, uint64_t from, uint64_t to, uint64_t total, bool noCache,
                          const std::function<void(const char*, size_t)>& sink) {
    if (m_stop.StopRequested()) throw Cancelled();
    struct Receiving {
        RateMeter& meter;
        explicit Receiving(RateMeter& m) : meter(m) { meter.Begin(); }
        ~Receiving() { meter.End(); }
    } receiving(*m_meter);
    platform::HttpRequest request;
    request.noCache = noCache;
    request.from = from;
    request.to = to;
    m_remoteFile = m_session.Open(url, request);
    const int status = m_remoteFile->StatusCode();
    if (status == 200) throw BlockRefusal{"服务器不支持分段下载"};
    if (status != 206) throw BlockRefusal{"服务器回答" + std::to_string(status)};
    if (!ContentRangeIs(m_remoteFile->Header("Content-Range"), from, to, total)) {
        throw BlockRefusal{"服务器返回的分段不对"};
    }
    const uint64_t length = to - from + 1;
    uint64_t received = 0;
    if (!m_chunk) m_chunk.reset(new char[64 * 1024]);
    for (;;) {
        const size_t n = m_remoteFile->Read(m_chunk.get(), 64 * 1024);
        if (n == 0) break;
        if (received + n > length) throw BlockRefusal{"服务器返回的分段不对"};
        sink(m_chunk.get(), n);
        received += n;
        m_rangeBytes += n;
        m_counters.AddReceived(static_cast<int64_t>(n));
        if (m_stop.StopRequested()) throw Cancelled();
        if (!m_meter->Add(n)) throw BlockRefusal{"传输太慢"};
    }
    m_remoteFile.reset();
    if (received != length) throw BlockRefusal{"分段不完整"};
}

bool Transfer::FetchIndexHead(const BlockJob& job, BlockPlan& plan, std::string* why) {
    const BlockIndexHeader expected = BlockSizesFor(job.size);
    const uint64_t headBytes = BlockIndexHeadBytes(expected);
    std::string head;
    FetchRange(job.indexUrl.c_str(), 0, headBytes - 1, 0, job.noCache,
               [&head](const char* data, size_t n) { head.append(data, n); });
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
    std::vector<BlockEntry> fine;      // of the missing coarse blocks, in order
    std::vector<uint64_t> fineAt;      // where each starts in the new file
    std::vector<uint64_t> fineLength;  // its length
    for (size_t first = 0; first < missing.size();) {
        size_t last = first;
        while (last + 1 < missing.size() && missing[last + 1] == missing[last] + 1) ++last;
        std::string tables;
        const uint64_t from = FineTableOffset(h, missing[first]);
        const uint64_t to = FineTableOffset(h, missing[last] + 1) - 1;
        FetchRange(job.indexUrl.c_str(), from, to, BlockIndexBytes(h), job.noCache,
                   [&tables](const char* data, size_t n) { tables.append(data, n); });
        plan.indexBytes += tables.size();
        for (size_t k = first; k <= last; ++k) {
            const uint32_t i = missing[k];
            const size_t offset = static_cast<size_t>(k - first) * per * kFineEntryBytes;
            unsigned char digest[8];
            BlockStrong(tables.data() + offset, per * kFineEntryBytes, digest);
            std::vector<BlockEntry> entries;
            if (memcmp(digest, plan.coarse[i].table, sizeof(digest)) != 0 ||
                !ParseBlockEntries(tables, offset, per, kFineEntryBytes, &entries)) {
                throw BlockRefusal{"块索引与清单不符"};
            }
            const uint64_t start = static_cast<uint64_t>(i) * h.coarse;
            for (uint32_t j = 0; j < per && j * static_cast<uint64_t>(h.fine) < coarseLength(i);
                 ++j) {
                fine.push_back(entries[j]);
                fineAt.push_back(start + static_cast<uint64_t>(j) * h.fine);
                fineLength.push_back(std::min<uint64_t>(h.fine, job.size - fineAt.back()));
            }
        }
        first = last + 1;
    }
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
        const size_t lastLength = static_cast<size_t>(fineLength.back());
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
        for (; k < fine.size() && fineAt[k] < start + coarseLength(i); ++k) {
            add(fineAt[k], fineLength[k], fineFound[k]);
            if (fineFound[k] < 0) plan.fetchBytes += fineLength[k];
        }
    }
}

bool Transfer::BuildFromPlan(const BlockJob& job, const BlockPlan& plan) {
    if (!m_localFile.Create(job.localPath)) throw BlockRefusal{"无法写入临时文件"};
    FetchState digest;
    digest.StartDigest();
    auto write = [&](const char* data, size_t n) {
        m_localFile.Write(data, n);
        digest.Digest(m_kind, data, n);
        m_received.fetch_add(n, std::memory_order_relaxed);
        Publish();
    };
    if (!m_chunk) m_chunk.reset(new char[64 * 1024]);
    for (const Piece& piece : plan.pieces) {
        if (piece.old < 0) {
            FetchRange(job.url, piece.at, piece.at + piece.length - 1, job.size, job.noCache,
                       write);
            continue;
        }
        OldView whole{job.old, 0, job.oldSize};
        for (uint64_t done = 0; done < piece.length;) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(64 * 1024, piece.length - done));
            if (OldView::Read(&whole, piece.old + done, m_chunk.get(), n) !=
                static_cast<long long>(n)) {
                throw BlockRefusal{"读取已安装的文件出错"};
            }
            write(m_chunk.get(), n);
            done += n;
            if (m_stop.StopRequested()) throw Cancelled();
        }
    }
    if (!m_localFile.Close(&m_receivedStamp)) throw BlockRefusal{"无法写入临时文件"};
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
