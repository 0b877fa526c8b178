// The block index of a large file: what lets an updater build a changed file from the
// copy it has and fetch only the blocks that differ, from any static server (each with a
// Range request).
//
// The index has two levels, so that an updater fetches only the part it needs: every
// coarse block of the file (fetched whole), and the fine blocks inside each coarse one
// (fetched by Range only for the coarse blocks the installed copy lacks). Each block is
// described by a rolling sum (found at any byte offset of the old file) and the first
// bytes of its MD5 (to confirm). Layout, little-endian:
//
//   header  "HBLK1\0\0\0", file size (u64), coarse block size (u32), fine block size
//           (u32), coarse count (u32), 0 (u32)                              32 bytes
//   coarse  one entry per coarse block: its rolling sum (u64), the first 8 bytes of
//           its MD5, and the first 8 bytes of the MD5 of its fine table     24 bytes each
//   fine    per coarse block, its table: coarse/fine entries (the last coarse block's
//           table has room for as many, the entries past the file's end zero), each
//           the fine block's rolling sum (u64) and the first 8 bytes of its MD5
//                                                                            16 bytes each
//
// The header and the coarse table are the index's head: what the manifest's digest
// covers, and what every updater fetches; each fine table is checked against its coarse
// entry. The last block of either level may be short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BlockEntry {
    uint64_t weak = 0;
    unsigned char strong[8] = {0};
    unsigned char table[8] = {0};  // a coarse block's: the digest of its fine table
};

struct BlockIndexHeader {
    uint64_t fileSize = 0;
    uint32_t coarse = 0;  // block sizes in bytes
    uint32_t fine = 0;
    uint32_t coarseCount = 0;
};

constexpr size_t kBlockIndexHeaderBytes = 32;
constexpr size_t kCoarseEntryBytes = 24;
constexpr size_t kFineEntryBytes = 16;

// The block sizes a file of `size` bytes is indexed with: the coarse block grows with the
// file (about 16 384 coarse blocks), so the part every updater fetches stays small; the
// fine block stays small (4 KiB up to 1 GiB), so a changed region costs little more than
// itself, and grows past that, so that an updater never holds more than about 262 144 of
// them (a 32-bit process's memory, however much of a file changed).
BlockIndexHeader BlockSizesFor(uint64_t size);

// The rolling sum of a window of `window` bytes: a polynomial over a table of random
// 64-bit values, one per byte value, modulo 2^64.
class RollingSum {
public:
    explicit RollingSum(size_t window);
    // The sum of `n` bytes (the window's first fill, or a whole short block).
    static uint64_t Of(const unsigned char* data, size_t n);
    // The sum after `out` leaves the window at its start and `in` enters at its end.
    uint64_t Roll(uint64_t sum, unsigned char out, unsigned char in) const {
        return (sum - m_table[out] * m_outFactor) * kFactor + m_table[in];
    }

private:
    static constexpr uint64_t kFactor = 0x9E3779B97F4A7C15ull;
    // The value of each byte value (256 of them).
    static const uint64_t* Table();
    const uint64_t* m_table;
    uint64_t m_outFactor;  // kFactor^(window - 1)
};

// Builds a file's index from its bytes, fed in order.
class BlockIndexWriter {
public:
    explicit BlockIndexWriter(uint64_t fileSize);
    void Update(const void* data, size_t n);
    // The whole index; call once every byte was fed.
    std::string Finish();

private:
    void EndBlock(std::vector<BlockEntry>& to, std::string& pending);
    BlockIndexHeader m_header;
    std::string m_coarseBytes, m_fineBytes;  // the blocks under way
    std::vector<BlockEntry> m_coarse, m_fine;
};

// The header of an index; false when `bytes` (at least its first 32) is not one, or its
// sizes do not fit each other.
bool ParseBlockIndexHeader(const std::string& bytes, BlockIndexHeader* header);
// Where the parts of an index are: the coarse table, the head's end, and the fine
// entries of coarse block `i` (their offset and how many there are).
uint64_t CoarseTableOffset();
uint64_t BlockIndexHeadBytes(const BlockIndexHeader& header);
uint64_t FineTableOffset(const BlockIndexHeader& header, uint32_t i);
uint32_t FinePerCoarse(const BlockIndexHeader& header);
uint64_t BlockIndexBytes(const BlockIndexHeader& header);
// `count` entries of `entryBytes` (kCoarseEntryBytes or kFineEntryBytes) from `bytes`
// at `offset`; false when they are not all there.
bool ParseBlockEntries(const std::string& bytes, size_t offset, size_t count, size_t entryBytes,
                       std::vector<BlockEntry>* entries);

// Reads `n` bytes of the old file at `offset` into `out`; returns how many (fewer only at
// its end), or -1 on a failure.
using ReadAt = long long (*)(void* context, uint64_t offset, void* out, size_t n);

// Finds the blocks of a new file in an old one. `entries` describe the new file's blocks
// of `blockSize` bytes, the last of `lastSize` (1 to blockSize); `wanted[i]` says whether
// block i is looked for at all. Returns, per block, the old file's offset that holds its
// bytes, or -1. The old file (of `oldSize` bytes) is read once, in order, plus the few
// blocks a match is confirmed with; false when a read fails.
bool FindBlocks(const std::vector<BlockEntry>& entries, size_t blockSize, size_t lastSize,
                const std::vector<bool>& wanted, uint64_t oldSize, ReadAt read, void* context,
                std::vector<int64_t>* found);

// The first 8 bytes of the MD5 of `n` bytes.
void BlockStrong(const void* data, size_t n, unsigned char strong[8]);
