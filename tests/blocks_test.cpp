#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/blocks.h"

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

// The entries of `bytes` in blocks of `block` bytes, the last one maybe short.
std::vector<BlockEntry> EntriesOf(const std::string& bytes, size_t block) {
    std::vector<BlockEntry> entries;
    for (size_t at = 0; at < bytes.size(); at += block) {
        const size_t n = std::min(block, bytes.size() - at);
        BlockEntry e;
        e.weak = RollingSum::Of(reinterpret_cast<const unsigned char*>(bytes.data() + at), n);
        BlockStrong(bytes.data() + at, n, e.strong);
        entries.push_back(e);
    }
    return entries;
}

struct OldFile {
    std::string bytes;
    bool fail = false;
    static long long Read(void* context, uint64_t offset, void* out, size_t n) {
        auto* self = static_cast<OldFile*>(context);
        if (self->fail || offset > self->bytes.size()) return -1;
        n = std::min<size_t>(n, self->bytes.size() - offset);
        memcpy(out, self->bytes.data() + offset, n);
        return static_cast<long long>(n);
    }
};

// Where each block of `fresh` was found in `old`, blocks of `block` bytes.
std::vector<int64_t> Find(const std::string& fresh, OldFile& old, size_t block) {
    const std::vector<BlockEntry> entries = EntriesOf(fresh, block);
    const size_t last = fresh.empty() ? block : (fresh.size() - 1) % block + 1;
    std::vector<int64_t> found;
    EXPECT_TRUE(FindBlocks(entries, block, last, std::vector<bool>(entries.size(), true),
                           old.bytes.size(), &OldFile::Read, &old, &found));
    return found;
}

}  // namespace

TEST(BlockIndex, WrittenIndexDescribesEveryBlockAndParsesBack) {
    for (size_t size :
         {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{65536 * 3 + 5}}) {
        const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
        BlockIndexWriter writer(size);
        // Fed in uneven pieces, across block boundaries.
        for (size_t at = 0; at < size; at += 1000)
            writer.Update(bytes.data() + at, std::min<size_t>(1000, size - at));
        const std::string index = writer.Finish();

        BlockIndexHeader h;
        ASSERT_TRUE(ParseBlockIndexHeader(index, &h)) << size;
        EXPECT_EQ(h.fileSize, size);
        EXPECT_EQ(index.size(), BlockIndexBytes(h)) << size;
        std::vector<BlockEntry> coarse, fine;
        ASSERT_TRUE(ParseBlockEntries(index, CoarseTableOffset(), h.coarseCount, kCoarseEntryBytes,
                                      &coarse));
        const std::vector<BlockEntry> expected = EntriesOf(bytes, h.coarse);
        ASSERT_EQ(coarse.size(), expected.size());
        for (size_t i = 0; i < coarse.size(); ++i) {
            EXPECT_EQ(coarse[i].weak, expected[i].weak) << size << " coarse " << i;
            EXPECT_EQ(memcmp(coarse[i].strong, expected[i].strong, 8), 0);
        }
        // The fine entries of the last coarse block: its own blocks, then zeros.
        if (h.coarseCount == 0) continue;
        const uint32_t lastCoarse = h.coarseCount - 1;
        ASSERT_TRUE(ParseBlockEntries(index, FineTableOffset(h, lastCoarse), FinePerCoarse(h),
                                      kFineEntryBytes, &fine));
        const std::vector<BlockEntry> fineExpected =
            EntriesOf(bytes.substr(static_cast<size_t>(lastCoarse) * h.coarse), h.fine);
        unsigned char table[8];
        BlockStrong(index.data() + FineTableOffset(h, lastCoarse),
                    FinePerCoarse(h) * kFineEntryBytes, table);
        EXPECT_EQ(memcmp(coarse[lastCoarse].table, table, 8), 0) << "the fine table's digest";
        for (size_t j = 0; j < fine.size(); ++j) {
            EXPECT_EQ(fine[j].weak, j < fineExpected.size() ? fineExpected[j].weak : 0)
                << size << " " << j;
        }
    }
}

// An updater holds the fine entries of every coarse block it lacks: however large the
// file, never many more than 262 144 of them; below 1 GiB they stay 4 KiB.
TEST(BlockIndex, BlockSizesKeepWhatAnUpdaterHoldsBounded) {
    const struct {
        uint64_t size;
        uint32_t coarse, fine;
    } cases[] = {
        {16ull << 20, 64 << 10, 4 << 10}, {1ull << 30, 64 << 10, 4 << 10},
        {2ull << 30, 128 << 10, 8 << 10}, {4ull << 30, 256 << 10, 16 << 10},
        {1ull << 40, 16 << 20, 4 << 20},
    };
    for (const auto& c : cases) {
        const BlockIndexHeader h = BlockSizesFor(c.size);
        EXPECT_EQ(h.coarse, c.coarse) << c.size;
        EXPECT_EQ(h.fine, c.fine) << c.size;
        EXPECT_LE((c.size + h.fine - 1) / h.fine, 262144u + FinePerCoarse(h)) << c.size;
        // What the maker writes, an updater takes.
        std::string head(kBlockIndexHeaderBytes, '\0');
        memcpy(&head[0], "HBLK1", 5);
        memcpy(&head[8], &h.fileSize, 8);
        memcpy(&head[16], &h.coarse, 4);
        memcpy(&head[20], &h.fine, 4);
        memcpy(&head[24], &h.coarseCount, 4);
        BlockIndexHeader parsed;
        EXPECT_TRUE(ParseBlockIndexHeader(head, &parsed)) << c.size;
    }
}

TEST(BlockIndex, IndexesThatDoNotFitAreRefused) {
    BlockIndexWriter writer(100000);
    writer.Update(RandomBytes(100000, 1).data(), 100000);
    const std::string good = writer.Finish();
    BlockIndexHeader h;
    ASSERT_TRUE(ParseBlockIndexHeader(good, &h));
    auto with = [&](size_t at, uint32_t value) {
        std::string bad = good;
        memcpy(&bad[at], &value, 4);  // the test machines are little-endian
        return bad;
    };
    const struct {
        const char* why;
        std::string bytes;
    } rows[] = {
        {"too short for a header", good.substr(0, 31)},
        {"another magic", "HBLK2" + good.substr(5)},
        {"a fine block of 0", with(20, 0)},
        {"a coarse block not a multiple of the fine", with(16, 65536 + 512)},
        {"a coarse block past the bound", with(16, 1u << 30)},
        {"a count the size does not give", with(24, h.coarseCount + 1)},
    };
    for (const auto& row : rows) EXPECT_FALSE(ParseBlockIndexHeader(row.bytes, &h)) << row.why;
    std::vector<BlockEntry> entries;
    EXPECT_FALSE(ParseBlockEntries(good, FineTableOffset(h, h.coarseCount - 1),
                                   FinePerCoarse(h) + 1, kFineEntryBytes, &entries))
        << "entries past the end";
}

TEST(FindBlocks, ABlockIsFoundAtEveryOffsetOfAShiftedFile) {
    const size_t block = 64;
    const std::string fresh = RandomBytes(5 * block + 17, 7);
    for (size_t shift = 0; shift <= block + 1; ++shift) {
        OldFile old{RandomBytes(shift, 100 + static_cast<unsigned>(shift)) + fresh};
        const std::vector<int64_t> found = Find(fresh, old, block);
        ASSERT_EQ(found.size(), 6u);
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i], static_cast<int64_t>(shift + i * block))
                << "shift " << shift << " block " << i;
        }
    }
}

TEST(FindBlocks, FilesThatGrowShrinkOrChangeKeepTheirOtherBlocks) {
    const size_t block = 64;
    const std::string a = RandomBytes(block, 1), b = RandomBytes(block, 2),
                      c = RandomBytes(block, 3), d = RandomBytes(block, 4),
                      tail = RandomBytes(10, 5);
    const struct {
        const char* change;
        std::string fresh, old;
        std::vector<int64_t> found;
    } rows[] = {
        {"bytes inserted in the middle",
         a + b + c + d,
         a + b + "inserted" + c + d,
         {0, 64, 136, 200}},
        {"a block removed", a + b + c + d, a + b + b + c + d, {0, 64, 192, 256}},
        {"a block changed", a + b + c + d, a + b + RandomBytes(block, 9) + d, {0, 64, -1, 192}},
        {"the file grown at its end", a + b + c + d + tail, a + b + c + d, {0, 64, 128, 192, -1}},
        {"the file cut short", a + b, a + b + c + d, {0, 64}},
        {"a short last block after its neighbour",
         a + b + tail,
         "x" + a + b + tail + "more",
         {1, 65, 129}},
        {"a short last block at the old end", a + tail, RandomBytes(100, 6) + tail, {-1, 100}},
        {"blocks of the same bytes", a + a + a, a, {0, 0, 0}},
        {"an empty old file", a + b, "", {-1, -1}},
        {"an old file shorter than a block", a, "abc", {-1}},
        {"an empty new file", "", a, {}},
    };
    for (const auto& row : rows) {
        OldFile old{row.old};
        EXPECT_EQ(Find(row.fresh, old, block), row.found) << row.change;
    }
}

TEST(FindBlocks, OnlyWantedBlocksAreLookedForAndAFailedReadIsSaid) {
    const size_t block = 64;
    const std::string fresh = RandomBytes(4 * block, 11);
    OldFile old{fresh};
    const std::vector<BlockEntry> entries = EntriesOf(fresh, block);
    std::vector<int64_t> found;
    ASSERT_TRUE(FindBlocks(entries, block, block, {false, true, false, true}, old.bytes.size(),
                           &OldFile::Read, &old, &found));
    EXPECT_EQ(found, (std::vector<int64_t>{-1, 64, -1, 192}));
    old.fail = true;
    EXPECT_FALSE(FindBlocks(entries, block, block, std::vector<bool>(4, true), old.bytes.size(),
                            &OldFile::Read, &old, &found));
}
