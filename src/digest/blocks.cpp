#include "digest/blocks.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "digest/md5.h"

namespace {

const char kMagic[8] = {'H', 'B', 'L', 'K', '1', 0, 0, 0};
constexpr uint32_t kFineBytes = 4096;
constexpr uint64_t kMostFine = 262144;
constexpr uint32_t kLeastCoarse = 64 * 1024;
// Bounds a served index is held to: the blocks are read into memory whole.
constexpr uint32_t kMostCoarse = 16 * 1024 * 1024;
constexpr uint32_t kMostFinePerCoarse = 4096;

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
uint64_t GetLE(const std::string& in, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
    return v;
}
void PutEntry(std::string& out, const BlockEntry& e) {
    PutU64(out, e.weak);
    out.append(reinterpret_cast<const char*>(e.strong), sizeof(e.strong));
}

uint64_t Power(uint64_t base, uint64_t exponent) {
    uint64_t result = 1;
    for (; exponent; exponent >>= 1, base *= base) {
        if (exponent & 1) result *= base;
    }
    return result;
}

}  // namespace

BlockIndexHeader BlockSizesFor(uint64_t size) {
    BlockIndexHeader h;
    h.fileSize = size;
    h.fine = kFineBytes;
    h.coarse = kLeastCoarse;
    while (h.coarse < kMostCoarse && size / h.coarse > 16384) h.coarse *= 2;
    while (h.fine < h.coarse && size / h.fine > kMostFine) h.fine *= 2;
    h.coarseCount = static_cast<uint32_t>((size + h.coarse - 1) / h.coarse);
    return h;
}

const uint64_t* RollingSum::Table() {
    // splitmix64 from a fixed seed: the same table for the maker and every updater.
    static const std::array<uint64_t, 256> table = [] {
        std::array<uint64_t, 256> t{};
        uint64_t x = 0x48616c6379726121ull;
        for (uint64_t& v : t) {
            uint64_t z = (x += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            v = z ^ (z >> 31);
        }
        return t;
    }();
    return table.data();
}

RollingSum::RollingSum(size_t window) : m_table(Table()), m_outFactor(Power(kFactor, window - 1)) {}

uint64_t RollingSum::Of(const unsigned char* data, size_t n) {
    // Four bytes a step, so that one multiplication, not four, waits on the one before.
    constexpr uint64_t f2 = kFactor * kFactor, f3 = f2 * kFactor, f4 = f3 * kFactor;
    const uint64_t* t = Table();
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        sum = sum * f4 + t[data[i]] * f3 + t[data[i + 1]] * f2 + t[data[i + 2]] * kFactor +
              t[data[i + 3]];
    }
    for (; i < n; ++i) sum = sum * kFactor + t[data[i]];
    return sum;
}

void BlockStrong(const void* data, size_t n, unsigned char strong[8]) {
    Md5Context ctx;
    Md5Init(&ctx);
    Md5Update(&ctx, data, n);
    unsigned char digest[16];
    Md5Final(digest, &ctx);
    memcpy(strong, digest, 8);
}

// ---- writing ----------------------------------------------------------------------------

BlockIndexWriter::BlockIndexWriter(uint64_t fileSize) : m_header(BlockSizesFor(fileSize)) {}

void BlockIndexWriter::EndBlock(std::vector<BlockEntry>& to, std::string& pending) {
    BlockEntry e;
    e.weak = RollingSum::Of(reinterpret_cast<const unsigned char*>(pending.data()), pending.size());
    BlockStrong(pending.data(), pending.size(), e.strong);
    to.push_back(e);
    pending.clear();
}

void BlockIndexWriter::Update(const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        // Up to the next fine boundary (every coarse boundary is one).
        const size_t take = std::min(n, m_header.fine - m_fineBytes.size());
        m_fineBytes.append(p, take);
        m_coarseBytes.append(p, take);
        p += take;
        n -= take;
        if (m_fineBytes.size() == m_header.fine) EndBlock(m_fine, m_fineBytes);
        if (m_coarseBytes.size() == m_header.coarse) EndBlock(m_coarse, m_coarseBytes);
    }
}

std::string BlockIndexWriter::Finish() {
    if (!m_fineBytes.empty()) EndBlock(m_fine, m_fineBytes);
    if (!m_coarseBytes.empty()) EndBlock(m_coarse, m_coarseBytes);
    std::string out(kMagic, sizeof(kMagic));
    PutU64(out, m_header.fileSize);
    PutU32(out, m_header.coarse);
    PutU32(out, m_header.fine);
    PutU32(out, m_header.coarseCount);
    PutU32(out, 0);
    const uint32_t per = FinePerCoarse(m_header);
    std::string fine;
    for (uint32_t i = 0; i < m_header.coarseCount; ++i) {
        const size_t start = fine.size();
        for (uint32_t j = 0; j < per; ++j) {
            const size_t at = static_cast<size_t>(i) * per + j;
            PutEntry(fine, at < m_fine.size() ? m_fine[at] : BlockEntry());
        }
        BlockStrong(fine.data() + start, fine.size() - start, m_coarse[i].table);
    }
    for (const BlockEntry& e : m_coarse) {
        PutEntry(out, e);
        out.append(reinterpret_cast<const char*>(e.table), sizeof(e.table));
    }
    return out + fine;
}

// ---- reading ----------------------------------------------------------------------------

bool ParseBlockIndexHeader(const std::string& bytes, BlockIndexHeader* header) {
    if (bytes.size() < kBlockIndexHeaderBytes || memcmp(bytes.data(), kMagic, sizeof(kMagic))) {
        return false;
    }
    BlockIndexHeader h;
    h.fileSize = GetLE(bytes, 8, 8);
    h.coarse = static_cast<uint32_t>(GetLE(bytes, 16, 4));
    h.fine = static_cast<uint32_t>(GetLE(bytes, 20, 4));
    h.coarseCount = static_cast<uint32_t>(GetLE(bytes, 24, 4));
    const bool fits = h.fine >= 512 && h.coarse >= h.fine && h.coarse <= kMostCoarse &&
                      h.coarse % h.fine == 0 && h.coarse / h.fine <= kMostFinePerCoarse &&
                      h.coarseCount == (h.fileSize + h.coarse - 1) / h.coarse;
    if (!fits) return false;
    *header = h;
    return true;
}

uint64_t CoarseTableOffset() { return kBlockIndexHeaderBytes; }

uint32_t FinePerCoarse(const BlockIndexHeader& header) { return header.coarse / header.fine; }

uint64_t BlockIndexHeadBytes(const BlockIndexHeader& header) {
    return CoarseTableOffset() + static_cast<uint64_t>(header.coarseCount) * kCoarseEntryBytes;
}

uint64_t FineTableOffset(const BlockIndexHeader& header, uint32_t i) {
    return BlockIndexHeadBytes(header) +
           static_cast<uint64_t>(i) * FinePerCoarse(header) * kFineEntryBytes;
}

uint64_t BlockIndexBytes(const BlockIndexHeader& header) {
    return FineTableOffset(header, header.coarseCount);
}

bool ParseBlockEntries(const std::string& bytes, size_t offset, size_t count, size_t entryBytes,
                       std::vector<BlockEntry>* entries) {
    if (offset > bytes.size() || (bytes.size() - offset) / entryBytes < count) return false;
    entries->resize(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t at = offset + i * entryBytes;
        BlockEntry& e = (*entries)[i];
        e.weak = GetLE(bytes, at, 8);
        memcpy(e.strong, bytes.data() + at + 8, 8);
        if (entryBytes == kCoarseEntryBytes) memcpy(e.table, bytes.data() + at + 16, 8);
    }
    return true;
}

// ---- matching ---------------------------------------------------------------------------

namespace {

// The wanted whole blocks by their rolling sum: open addressing over a power of two.
class SumTable {
public:
    SumTable(const std::vector<BlockEntry>& entries, const std::vector<bool>& wanted, size_t whole)
        : m_entries(entries) {
        size_t capacity = 16;
        while (capacity < 2 * whole) capacity *= 2;
        m_mask = capacity - 1;
        m_slots.assign(capacity, 0);
        for (size_t i = 0; i < whole; ++i) {
            if (!wanted[i]) continue;
            size_t slot = Slot(entries[i].weak);
            while (m_slots[slot]) slot = (slot + 1) & m_mask;
            m_slots[slot] = static_cast<uint32_t>(i + 1);
        }
    }
    // Calls `f(i)` for each block whose sum is `sum`.
    template <typename F>
    void ForEach(uint64_t sum, F f) const {
        for (size_t slot = Slot(sum); m_slots[slot]; slot = (slot + 1) & m_mask) {
            const uint32_t i = m_slots[slot] - 1;
            if (m_entries[i].weak == sum) f(i);
        }
    }

private:
    size_t Slot(uint64_t sum) const { return (sum ^ (sum >> 29)) & m_mask; }
    const std::vector<BlockEntry>& m_entries;
    std::vector<uint32_t> m_slots;  // block + 1; 0 empty
    size_t m_mask;
};

// The old file in a window that slides forward.
class OldWindow {
public:
    OldWindow(uint64_t size, size_t block, ReadAt read, void* context)
        : m_size(size),
          m_read(read),
          m_context(context),
          m_buffer(std::max<size_t>(4 * block, 1 << 20)) {}
    // The bytes [at, at + n) (all within the file), or null when a read failed.
    const unsigned char* Bytes(uint64_t at, size_t n) {
        if (at < m_base || at + n > m_base + m_length) {
            // Keep what is still ahead, then fill the rest.
            const size_t keep = at >= m_base && at < m_base + m_length
                                    ? static_cast<size_t>(m_base + m_length - at)
                                    : 0;
            if (keep) memmove(m_buffer.data(), m_buffer.data() + (at - m_base), keep);
            m_base = at;
            m_length = keep;
            const size_t room = static_cast<size_t>(
                std::min<uint64_t>(m_buffer.size() - keep, m_size - (at + keep)));
            if (room > 0) {
                const long long got = m_read(m_context, at + keep, m_buffer.data() + keep, room);
                if (got < 0) return nullptr;
                m_length += static_cast<size_t>(got);
            }
            if (at + n > m_base + m_length) return nullptr;
        }
        return m_buffer.data() + (at - m_base);
    }

private:
    uint64_t m_size;
    ReadAt m_read;
    void* m_context;
    std::vector<unsigned char> m_buffer;
    uint64_t m_base = 0;
    size_t m_length = 0;
};

bool SameStrong(const BlockEntry& e, const unsigned char strong[8]) {
    return memcmp(e.strong, strong, 8) == 0;
}

}  // namespace

bool FindBlocks(const std::vector<BlockEntry>& entries, size_t blockSize, size_t lastSize,
                const std::vector<bool>& wanted, uint64_t oldSize, ReadAt read, void* context,
                std::vector<int64_t>* found) {
    found->assign(entries.size(), -1);
    if (entries.empty() || blockSize == 0 || oldSize < std::min(blockSize, lastSize)) return true;
    // A short last block is not rolled for; it is tried where it is likeliest (below).
    const size_t whole = lastSize < blockSize ? entries.size() - 1 : entries.size();
    const SumTable table(entries, wanted, whole);
    const RollingSum rolling(blockSize);
    OldWindow old(oldSize, blockSize, read, context);
    uint64_t pos = 0, sum = 0;
    bool haveSum = false;
    size_t predicted = whole;  // the block likeliest at `pos`: the one after the last found
    while (whole > 0 && pos + blockSize <= oldSize) {
        const bool last = pos + blockSize == oldSize;
        const unsigned char* window = old.Bytes(pos, blockSize + (last ? 0 : 1));
        if (!window) return false;
        bool strongTaken = false;
        unsigned char strong[8];
        size_t first = whole;  // the first block found here
        auto take = [&](uint32_t i) {
            if (!strongTaken) BlockStrong(window, blockSize, strong);
            strongTaken = true;
            if (!SameStrong(entries[i], strong)) return;
            if (first == whole) first = i;
            if ((*found)[i] < 0) (*found)[i] = static_cast<int64_t>(pos);
        };
        if (!haveSum) sum = RollingSum::Of(window, blockSize);
        haveSum = true;
        if (predicted < whole && wanted[predicted] && entries[predicted].weak == sum) {
            // Where the old file goes on as the new one does, the block expected there is
            // taken by its rolling sum (64 bits, a chance of 2^-64 of a false one, which
            // the whole file's digest would then refuse) without its strong sum: most of
            // a file that changed little is found at the cost of reading it. So are the
            // blocks that are the same as it.
            first = predicted;
            table.ForEach(sum, [&](uint32_t i) {
                if (SameStrong(entries[i], entries[predicted].strong) && (*found)[i] < 0) {
                    (*found)[i] = static_cast<int64_t>(pos);
                }
            });
        } else {
            table.ForEach(sum, take);
        }
        if (first < whole) {
            // The blocks that follow in the new file most often follow here too.
            pos += blockSize;
            haveSum = false;
            predicted = first + 1;
            continue;
        }
        predicted = whole;
        if (last) break;
        sum = rolling.Roll(sum, window[0], window[blockSize]);
        ++pos;
    }
    // The short last block: after the block before it, or at the old file's end.
    const size_t n = entries.size() - 1;
    if (whole == n && wanted[n]) {
        std::vector<uint64_t> places;
        if (n > 0 && (*found)[n - 1] >= 0) places.push_back((*found)[n - 1] + blockSize);
        places.push_back(oldSize - lastSize);
        for (uint64_t at : places) {
            if (at + lastSize > oldSize) continue;
            const unsigned char* bytes = old.Bytes(at, lastSize);
            if (!bytes) return false;
            unsigned char strong[8];
            BlockStrong(bytes, lastSize, strong);
            if (RollingSum::Of(bytes, lastSize) == entries[n].weak &&
                SameStrong(entries[n], strong)) {
                (*found)[n] = static_cast<int64_t>(at);
                break;
            }
        }
    }
    return true;
}
