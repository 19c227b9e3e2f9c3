// File operations of the AFS file layer on a formatted in-memory volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "afs/Afs.h"
#include "afs/AfsCache.h"
#include "afs/AfsFat.h"
#include "afs/AfsFtl.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "afs_volume_fixture.h"
#include "common/bytes.h"

namespace {

using afs_test::pattern;
using afs_test::Volume;
using Bytes = std::vector<uint8_t>;
namespace fl = quor::afs::file_layer;

constexpr uint32_t kSmall = 65536;
constexpr uint32_t kFiles = 65;

class AfsFile : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(vol.format(), 0u); }
    Volume vol{kSmall, kFiles};
};

TEST_F(AfsFile, ChainsSizesAndPartialOverwrites) {
    const Bytes a = pattern(100, 1, 0);
    ASSERT_EQ(vol.write(3, 0, a), 0u);
    const uint16_t first = vol.fat(3);
    const uint16_t second = vol.fat(first);
    ASSERT_GE(first, kFiles);
    ASSERT_GE(second, kFiles);
    EXPECT_EQ(vol.fat(second), 36u) << "last chunk holds 36 bytes";
    uint32_t size = 0;
    ASSERT_EQ(afs_getfilesize(&vol.ctx(), 3, &size), 0u);
    EXPECT_EQ(size, 100u);

    // 10 bytes at offset 30 replace the first chunk only.
    Bytes expected = a;
    const Bytes patch = pattern(10, 2, 0);
    std::copy(patch.begin(), patch.end(), expected.begin() + 30);
    ASSERT_EQ(vol.write(3, 30, patch), 0u);
    EXPECT_NE(vol.fat(3), first);
    EXPECT_EQ(vol.fat(vol.fat(3)), second) << "second chunk is kept";
    EXPECT_FALSE(vol.chunk_allocated(first)) << "replaced chunk is released";
    EXPECT_EQ(vol.differs(3, expected), "");

    // A 1000-byte read at offset 64 delivers the 36 bytes that remain.
    Bytes buf(1000);
    int32_t length = 1000;
    ASSERT_EQ(afs_readfile(&vol.ctx(), 3, 64, &length, buf.data()), 0u);
    EXPECT_EQ(length, 36);
    length = 10;
    ASSERT_EQ(afs_readfile(&vol.ctx(), 3, 100, &length, buf.data()), 0u);
    EXPECT_EQ(length, 0) << "offset at the end delivers nothing";

    // Everything survives a remount with the front end's flags.
    ASSERT_EQ(vol.mount(), 0u);
    EXPECT_EQ(vol.differs(3, expected), "");

    // The same write with truncation cuts the file to 40 bytes and frees the tail.
    ASSERT_EQ(vol.write(3, 30, patch, kAfsWriteTruncate), 0u);
    expected.resize(40);
    EXPECT_EQ(vol.differs(3, expected), "");
    EXPECT_FALSE(vol.chunk_allocated(second));
    EXPECT_EQ(vol.fat(vol.fat(3)), 40u);
}

TEST_F(AfsFile, TruncatingWritesCutExactlyAtTheirEnd) {
    const Bytes a = pattern(300, 4, 0);
    struct Case {
        uint32_t offset;
        uint32_t length;
    };
    // Cuts inside chunks, at multiples of 64, at 0 and past the end.
    for (const Case c : {Case{30, 10}, Case{64, 0}, Case{65, 0}, Case{128, 0}, Case{200, 0},
                         Case{0, 0}, Case{100, 0}, Case{256, 0}, Case{50, 64}}) {
        ASSERT_EQ(vol.write(5, 0, a, kAfsWriteTruncate), 0u);
        Bytes expected(a.begin(), a.begin() + std::min<uint32_t>(c.offset, 300));
        expected.resize(c.offset, 0);
        const Bytes data = pattern(c.length, 5, c.offset);
        expected.insert(expected.end(), data.begin(), data.end());
        ASSERT_EQ(vol.write(5, c.offset, data, kAfsWriteTruncate), 0u) << "cut at " << c.offset;
        EXPECT_EQ(vol.differs(5, expected), "");
        if (c.offset == 0 && c.length == 0) {
            EXPECT_EQ(vol.fat(5), kAfsEntryEmpty);
        }
        ASSERT_EQ(vol.mount(), 0u) << "FAT valid after cut at " << c.offset;
        EXPECT_EQ(vol.differs(5, expected), "");
    }
}

TEST_F(AfsFile, AppendsAndWritesPastTheEndFillWithZeros) {
    const Bytes a = pattern(100, 2, 0);
    ASSERT_EQ(vol.write(2, 0, a), 0u);
    const Bytes b = pattern(50, 2, 1);
    ASSERT_EQ(vol.write(2, 200, b), 0u);
    Bytes expected = a;
    expected.resize(200, 0);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(vol.differs(2, expected), "");
    // Appending exactly at the end of a full chunk keeps that chunk.
    ASSERT_EQ(vol.write(6, 0, pattern(128, 6, 0)), 0u);
    const uint16_t second = vol.fat(vol.fat(6));
    ASSERT_EQ(vol.write(6, 128, pattern(10, 6, 1)), 0u);
    EXPECT_EQ(vol.fat(vol.fat(6)), second);
    Bytes six = pattern(128, 6, 0);
    const Bytes tail = pattern(10, 6, 1);
    six.insert(six.end(), tail.begin(), tail.end());
    EXPECT_EQ(vol.differs(6, six), "");
}

TEST_F(AfsFile, ZeroLengthWritesCreateEmptyFilesAndLeaveDataAlone) {
    ASSERT_EQ(vol.write(7, 300000, {}), 0u) << "no 27 for an empty write without truncation";
    EXPECT_EQ(vol.fat(7), kAfsEntryEmpty);
    EXPECT_EQ(vol.differs(7, Bytes{}), "");
    const Bytes a = pattern(70, 8, 0);
    ASSERT_EQ(vol.write(8, 0, a), 0u);
    ASSERT_EQ(vol.write(8, 5, {}), 0u);
    EXPECT_EQ(vol.differs(8, a), "");
    EXPECT_EQ(vol.write(8, 300000, {}, kAfsWriteTruncate), kAfsTooLarge);
}

TEST_F(AfsFile, DeletesFreeChunksAndReportMissingFiles) {
    ASSERT_EQ(vol.write(9, 0, pattern(200, 9, 0)), 0u);
    const uint16_t first = vol.fat(9);
    ASSERT_EQ(afs_deletefile(&vol.ctx(), 9), 0u);
    EXPECT_FALSE(vol.chunk_allocated(first));
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 9, &size), kAfsNotFound);
    Bytes buf(10);
    int32_t length = 10;
    EXPECT_EQ(afs_readfile(&vol.ctx(), 9, 0, &length, buf.data()), kAfsNotFound);
    EXPECT_EQ(afs_deletefile(&vol.ctx(), 9), kAfsNotFound);
    ASSERT_EQ(vol.mount(), 0u);
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 9, &size), kAfsNotFound);
    // Without the size table the chain is walked.
    ASSERT_EQ(vol.mount(kAfsFtlMode | kAfsMountFtl | kAfsInitDriver), 0u);
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 9, &size), kAfsNotFound);
}

TEST_F(AfsFile, ZombiesReadAsAbsentAndAreClearedAtTheNextMount) {
    ASSERT_EQ(vol.write(10, 0, pattern(10, 10, 0)), 0u);
    EXPECT_EQ(afs_mark_zombie_file(&vol.ctx(), 10), kAfsWrongState);
    ASSERT_EQ(afs_mark_zombie_file(&vol.ctx(), 11), 0u);
    ASSERT_EQ(afs_mark_zombie_file(&vol.ctx(), 12), 0u);
    EXPECT_EQ(vol.fat(11), kAfsEntryZombie);
    Bytes buf(4);
    int32_t length = 4;
    EXPECT_EQ(afs_readfile(&vol.ctx(), 11, 0, &length, buf.data()), kAfsNotFound);
    const Bytes data = pattern(20, 12, 0);
    ASSERT_EQ(vol.write(12, 0, data), 0u) << "a zombie slot can be written";
    ASSERT_EQ(vol.mount(), 0u);
    EXPECT_EQ(vol.fat(11), 0u);
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 11, &size), kAfsNotFound);
    EXPECT_EQ(vol.differs(12, data), "");
}

TEST_F(AfsFile, DamagedAndLoopingChainsGiveIoError) {
    ASSERT_EQ(vol.write(4, 0, pattern(200, 4, 0)), 0u);
    const uint16_t first = vol.fat(4);
    const uint16_t second = vol.fat(first);
    vol.set_fat(second, first);  // the chain now loops
    EXPECT_EQ(vol.mount(), kAfsIoError);
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 4, &size), kAfsInvalid) << "volume not mounted";
    // Mounted without scan (no size table, no bitmap), the operations see the loop.
    const uint32_t noScan = kAfsFtlMode | kAfsMountFtl | kAfsInitDriver | kAfsNoBitmap;
    ASSERT_EQ(vol.mount(noScan), 0u);
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 4, &size), kAfsIoError);
    Bytes buf(1 << 20);
    int32_t length = 1 << 20;
    EXPECT_EQ(afs_readfile(&vol.ctx(), 4, 0, &length, buf.data()), kAfsIoError);
    // Values that are neither a cid nor a count are refused too.
    vol.set_fat(second, 0xFFF0);
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 4, &size), kAfsIoError);
    vol.set_fat(4, 30);  // a byte count in a file entry
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 4, &size), kAfsIoError);
    EXPECT_EQ(vol.mount(), kAfsIoError);
}

TEST_F(AfsFile, LimitsAndBadArguments) {
    const Bytes one(1, 0x5A);
    EXPECT_EQ(vol.write(0, 262144, one), kAfsTooLarge);
    EXPECT_EQ(vol.write(0, 262143, Bytes(2)), kAfsTooLarge);
    EXPECT_EQ(vol.write(-1, 0, one), kAfsInvalid);
    EXPECT_EQ(vol.write(kFiles, 0, one), kAfsInvalid);
    EXPECT_EQ(afs_writefile(nullptr, 0, 0, 1, one.data(), 0), kAfsInvalid);
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), kFiles, &size), kAfsInvalid);
    EXPECT_EQ(afs_deletefile(&vol.ctx(), -3), kAfsInvalid);
    EXPECT_EQ(afs_mark_zombie_file(nullptr, 0), kAfsInvalid);
    int32_t length = -1;
    EXPECT_EQ(afs_readfile(&vol.ctx(), 0, 0, &length, nullptr), kAfsInvalid);
    EXPECT_EQ(afs_setcache(&vol.ctx(), 0, 10), kAfsInvalid);
    EXPECT_EQ(afs_setcache(&vol.ctx(), 96, 10), kAfsInvalid);
    EXPECT_EQ(afs_setcache(&vol.ctx(), 64, 1), kAfsInvalid);
    EXPECT_EQ(afs_setcache(&vol.ctx(), 65536, 10), kAfsInvalid);
    EXPECT_EQ(afs_setcache(nullptr, 64, 10), kAfsInvalid);
    ASSERT_EQ(afs_setcache(&vol.ctx(), 4096, 2), 0u);
    EXPECT_EQ(vol.ctx().cachePageSize, 4096u);
    AfsContext fresh{};
    EXPECT_EQ(afs_init(&fresh, vol.flash().data(), 0, 10, kFiles, 0, kSmall, 0x20025, 0, 0),
              kAfsInvalid);
    EXPECT_EQ(afs_init(&fresh, vol.flash().data(), 64, 10, 64, 0, kSmall, 0x20025, 0, 0),
              kAfsInvalid);
    EXPECT_EQ(afs_init(&fresh, vol.flash().data(), 64, 10, kFiles, 0, kSmall, 0x20027, 0, 0),
              kAfsInvalid);
    EXPECT_EQ(afs_init(&fresh, vol.flash().data(), 64, 10, kFiles, 0, 16384, 0x20025, 0, 0),
              kAfsInvalid);
}

TEST(AfsMount, UnformattedRegionNeedsTheFormatFlags) {
    Volume vol(kSmall, kFiles);
    EXPECT_EQ(vol.mount(), kAfsIoError);
    // Formatting without bit 0x10 gives an FTL but no volume.
    EXPECT_EQ(vol.mount(kAfsDfsMountFlags | kAfsAllowFormat), kAfsIoError);
    // That FTL has no reserved units for a new header's geometry: refused
    // unless formatting is allowed.
    EXPECT_EQ(vol.mount(kAfsDfsMountFlags | kAfsNewHeader), kAfsIoError);
    ASSERT_EQ(vol.mount(kAfsDfsMountFlags | kAfsNewHeader | kAfsAllowFormat), 0u);
    ASSERT_EQ(vol.write(1, 0, pattern(10, 1, 0)), 0u);
    ASSERT_EQ(vol.mount(), 0u);
    EXPECT_EQ(vol.differs(1, pattern(10, 1, 0)), "");
    ASSERT_EQ(vol.mount(kAfsDfsMountFlags | kAfsPreloadCache), 0u);
    EXPECT_EQ(vol.differs(1, pattern(10, 1, 0)), "");
    // A header that is present is kept even when a new one would be allowed.
    ASSERT_EQ(vol.mount(kAfsDfsMountFlags | kAfsNewHeader | kAfsAllowFormat), 0u);
    EXPECT_EQ(vol.differs(1, pattern(10, 1, 0)), "");
    // Forced formatting starts an empty volume.
    ASSERT_EQ(vol.mount(kAfsDfsMountFlags | kAfsForceFormat | kAfsEraseFormat), 0u);
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&vol.ctx(), 1, &size), kAfsNotFound);
}

// Data area the FTL offers a partition of `units` units, as a mount asks for it.
uint32_t ftl_data_vas(uint32_t units) {
    AfsContext ctx{};
    ctx.flashSize = units * kFtlUnitSize;
    return afs_physical_ftl_get_data_vas(&ctx);
}

// The geometry of a new header, for partitions from small to the largest,
// with enough files that the dynamic area leaves a reserved unit out.
TEST(AfsGeometry, NewHeaderGeometryOfSamplePartitions) {
    struct Case {
        uint32_t units, files, chunkCount, dynamicAreaSize, volumeSize;
    };
    const Case cases[] = {
        {4, 65, 244, 640, 16256},
        {12, 2048, 1098, 6336, 76608},  // 9 of the 10 reserved units
        {24, 2048, 2562, 9280, 173248},
        {255, 2048, 28426, 60992, 1880256},
    };
    for (const Case &c : cases) {
        const auto g =
            quor::afs::new_volume_geometry(c.units * kFtlUnitSize, c.files, ftl_data_vas(c.units));
        EXPECT_EQ(g.fileCount, c.files);
        EXPECT_EQ(g.chunkCount, c.chunkCount) << c.units << " units, " << c.files << " files";
        EXPECT_EQ(g.dynamicAreaSize, c.dynamicAreaSize) << c.units << " units";
        EXPECT_EQ(g.volumeSize, c.volumeSize) << c.units << " units";
    }
}

// The geometry of a new header: chunks exactly fill the reserved units and
// the header's geometry reproduces itself at the next mount.
TEST(AfsGeometry, NewHeaderGeometryFitsThePartitionAndReproducesItself) {
    for (uint32_t units = 4; units <= 255; ++units) {
        for (uint32_t files : {65u, 1024u, 2048u}) {
            const uint32_t flashSize = units * kFtlUnitSize;
            const auto g = quor::afs::new_volume_geometry(flashSize, files, ftl_data_vas(units));
            const uint32_t reserved = (g.volumeSize - g.dynamicAreaSize) / 7808;
            ASSERT_GT(reserved, 0u) << units << " units";
            EXPECT_EQ(g.chunkCount, reserved * 122) << units << " units, " << files << " files";
            EXPECT_LE(reserved + 2, units);
            EXPECT_LE(g.dynamicAreaSize / 64 + 30, (units - 1 - reserved) * 120);
            quor::afs::VolumeGeometry back{};
            ASSERT_TRUE(quor::afs::geometry_from_header(flashSize, files, g.volumeSize, &back));
            EXPECT_EQ(back.chunkCount, g.chunkCount);
            EXPECT_EQ(back.dynamicAreaSize, g.dynamicAreaSize);
        }
    }
    // A header recording the whole partition cannot be mounted.
    quor::afs::VolumeGeometry g{};
    EXPECT_FALSE(quor::afs::geometry_from_header(65536, 65, 65536, &g));
}

TEST(AfsGeometry, FormattedVolumeFillsToNoSpaceAndKeepsEveryFile) {
    Volume vol(5 * kFtlUnitSize, 80);
    ASSERT_EQ(vol.format(), 0u);
    ASSERT_EQ(vol.mount(), 0u) << "remount with the front end's flags";
    std::vector<Bytes> files;
    uint32_t status = 0;
    for (int32_t i = 0; i < 80 && status == 0; ++i) {
        Bytes data = pattern(1000, static_cast<uint32_t>(i), 0);
        status = vol.write(i, 0, data);
        if (status == 0) {
            files.push_back(data);
        }
    }
    EXPECT_EQ(status, kAfsNoSpace);
    ASSERT_GE(files.size(), 10u);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(vol.differs(static_cast<int32_t>(i), files[i]), "");
    }
    ASSERT_EQ(vol.mount(), 0u);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(vol.differs(static_cast<int32_t>(i), files[i]), "");
    }
    // Space comes back after a delete.
    ASSERT_EQ(afs_deletefile(&vol.ctx(), 0), 0u);
    EXPECT_EQ(vol.write(static_cast<int32_t>(files.size()), 0, pattern(900, 99, 0)), 0u);
}

TEST(AfsLargeFile, LargestFileRoundTripsAcrossBatchedReads) {
    Volume vol(64 * kFtlUnitSize, 1024);
    ASSERT_EQ(vol.format(), 0u);
    const Bytes big = pattern(262144, 1, 0);
    ASSERT_EQ(vol.write(1, 0, big), 0u);
    ASSERT_EQ(vol.mount(), 0u);
    EXPECT_EQ(vol.differs(1, big), "");
    Bytes buf(5000);
    int32_t length = 5000;
    ASSERT_EQ(afs_readfile(&vol.ctx(), 1, 4001, &length, buf.data()), 0u);
    ASSERT_EQ(length, 5000);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), big.begin() + 4001)) << "batched read differs";
}

// Whole pages go to the caller's buffer by 512-bit moves where the CPU has
// them: reads into buffers at every alignment, from offsets that start
// inside a page and at one, deliver the file's bytes and touch nothing
// before or after them.
TEST(AfsLargeFile, ReadsIntoBuffersAtEveryAlignmentTouchOnlyTheirBytes) {
    Volume vol(24 * kFtlUnitSize, 80);
    ASSERT_EQ(vol.format(), 0u);
    const Bytes data = pattern(20000, 3, 0);
    ASSERT_EQ(vol.write(2, 0, data), 0u);
    constexpr uint8_t kGuard = 0xA7;
    for (const int32_t offset : {0, 64, 37}) {
        for (size_t shift = 0; shift < 64; ++shift) {
            const auto wanted = static_cast<int32_t>(data.size()) - offset - 5;
            alignas(64) static uint8_t buffer[20000 + 3 * 64];
            std::fill(std::begin(buffer), std::end(buffer), kGuard);
            uint8_t *at = buffer + 64 + shift;
            int32_t length = wanted;
            ASSERT_EQ(afs_readfile(&vol.ctx(), 2, offset, &length, at), 0u);
            ASSERT_EQ(length, wanted);
            ASSERT_TRUE(std::equal(at, at + wanted, data.begin() + offset))
                << "offset " << offset << ", buffer at 64 + " << shift;
            ASSERT_TRUE(std::all_of(buffer, at, [](uint8_t b) { return b == kGuard; }))
                << "bytes before the buffer written, shift " << shift;
            ASSERT_TRUE(
                std::all_of(at + wanted, std::end(buffer), [](uint8_t b) { return b == kGuard; }))
                << "bytes after the delivered ones written, shift " << shift;
        }
    }
}

// With fewer than 64 file slots (a volume formatted elsewhere: a format
// here makes at least 65) a chunk id can also be a byte count: an entry of
// 64 or less ends its chain even when it equals the id of the next chunk and
// the entries after it run on as if the chain went on. (The chain walk of
// the reads on such a context; its chunks are never written here.)
TEST(AfsFewFiles, AnEndOfChainThatLooksLikeTheNextChunkEndsTheWalk) {
    Volume vol(kSmall, 65);
    ASSERT_EQ(vol.format(), 0u);
    // Seen as a volume of ten files: files 0, 1, 2 in chunks 10, 11, 12 of
    // 11, 12, 13 bytes, so chunk k's entry is k + 1.
    for (uint16_t k = 0; k < 14; ++k) {
        const uint16_t entry = k < 3 ? 10 + k : (k >= 10 && k < 13 ? k + 1 : 0);
        vol.set_fat(k, entry);
    }
    vol.ctx().fileCount = 10;
    fl::FatCursor cursor;
    fl::LinkRun runs[4];
    uint32_t got = 0;
    fl::reset_chain_guard();
    ASSERT_EQ(fl::read_link_runs(&vol.ctx(), 10, 4, &cursor, runs, 4, &got), 0u);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(runs[0].cid, 10u);
    EXPECT_EQ(runs[0].count, 1u) << "the walk went past the end of the chain";
    EXPECT_EQ(runs[0].last, 11u);
    vol.ctx().fileCount = 65;
}

// allocated_from counts a word of the bitmap at a time what chunk_allocated
// tells one chunk at a time: from every chunk, for limits inside a word,
// at its end and across several, over runs of ones that end anywhere.
TEST(AfsChainWalk, AllocatedFromCountsAsChunkAllocatedDoes) {
    constexpr uint32_t kChunks = 300;
    std::vector<uint32_t> bitmap((kChunks + 31) / 32);
    AfsContext ctx{};
    ctx.fileCount = 65;
    ctx.chunkCount = kChunks;
    ctx.allocationBitmap = bitmap.data();
    uint32_t x = 12345;
    for (int round = 0; round < 6; ++round) {
        for (uint32_t b = 0; b < kChunks; ++b) {
            // Mostly ones, in runs of random length.
            x = x * 1103515245u + 12345u;
            const bool set = round == 0 || (x >> 16) % 23 != 0;
            bitmap[b / 32] =
                set ? bitmap[b / 32] | 1u << (b % 32) : bitmap[b / 32] & ~(1u << (b % 32));
        }
        for (uint32_t cid = 65; cid < 65 + kChunks; ++cid) {
            for (uint32_t max : {0u, 1u, 5u, 31u, 32u, 33u, 64u, 100u, 300u}) {
                max = std::min(max, 65 + kChunks - cid);
                uint32_t expected = 0;
                while (expected < max && fl::chunk_allocated(&ctx, cid + expected)) {
                    ++expected;
                }
                ASSERT_EQ(fl::allocated_from(&ctx, cid, max), expected)
                    << "chunk " << cid << ", max " << max << ", round " << round;
            }
        }
    }
    ctx.allocationBitmap = nullptr;
    EXPECT_EQ(fl::allocated_from(&ctx, 70, 40), 40u) << "without a bitmap every chunk counts";
}

// Chains of consecutive chunks that leave the sequence at every place of a
// FAT line (and of the next ones): the walk a line at a time (load_chain)
// finds the same links as get_next_cid entry by entry.
TEST(AfsChainWalk, ConsecutiveEntriesStopWhereTheSequenceBreaks) {
    Volume vol(kSmall, kFiles);
    ASSERT_EQ(vol.format(), 0u);
    constexpr uint16_t kBase = 70;
    for (uint16_t brk = 0; brk < 70; ++brk) {
        // kBase .. kBase + brk in a row, then a jump to kBase + 200, its next
        // chunk, and the end of the chain (20 bytes).
        for (uint16_t k = kBase; k < kBase + brk; ++k) {
            vol.set_fat(k, static_cast<uint16_t>(k + 1));
        }
        vol.set_fat(kBase + brk, kBase + 200);
        vol.set_fat(kBase + 200, kBase + 201);
        vol.set_fat(kBase + 201, 20);
        vol.set_fat(kBase + brk + 1, static_cast<uint16_t>(kBase + brk + 2));  // would go on
        vol.set_fat(5, kBase);
        std::vector<fl::Link> walked;
        fl::reset_chain_guard();
        uint16_t cid = kBase;
        while (cid > kAfsChunkSize) {
            uint16_t next = 0;
            ASSERT_EQ(fl::get_next_cid(&vol.ctx(), cid, &next), 0u);
            walked.push_back({cid, next});
            cid = next;
        }
        uint16_t entry = 0;
        std::vector<fl::Link> chain;
        ASSERT_EQ(fl::load_chain(&vol.ctx(), 5, &entry, &chain), 0u);
        ASSERT_EQ(chain.size(), walked.size()) << "break after " << brk;
        for (size_t i = 0; i < chain.size(); ++i) {
            ASSERT_EQ(chain[i].cid, walked[i].cid) << "link " << i << ", break after " << brk;
            ASSERT_EQ(chain[i].entry, walked[i].entry) << "link " << i << ", break after " << brk;
        }
    }
}

TEST(AfsReclaim, EntriesPassThroughToTheFtl) {
    EXPECT_EQ(afs_force_full_reclaim(nullptr), kAfsInvalid);
    EXPECT_EQ(afs_force_dirty_erase(nullptr), kAfsInvalid);
    EXPECT_EQ(afs_get_idle_reclaim_enabled(nullptr), 0u);
    Volume vol(kSmall, kFiles);
    ASSERT_EQ(vol.format(), 0u);
    const Bytes a = pattern(3000, 1, 0);
    ASSERT_EQ(vol.write(1, 0, a), 0u);
    ASSERT_EQ(vol.write(1, 100, pattern(500, 1, 1)), 0u);
    uint32_t status = 0;
    int rounds = 0;
    do {
        status = afs_force_full_reclaim(&vol.ctx());
        ++rounds;
    } while (status == kFtlAgain && rounds < 100);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(afs_force_dirty_erase(&vol.ctx()), 0u);
    EXPECT_LE(afs_idle_reclaim_needed(&vol.ctx()), 1u);
    afs_set_idle_reclaim_enabled(&vol.ctx());
    EXPECT_EQ(afs_get_idle_reclaim_enabled(&vol.ctx()), 1u);
    Bytes expected = a;
    const Bytes b = pattern(500, 1, 1);
    std::copy(b.begin(), b.end(), expected.begin() + 100);
    EXPECT_EQ(vol.differs(1, expected), "");
    ASSERT_EQ(vol.mount(), 0u);
    EXPECT_EQ(vol.differs(1, expected), "");
    vol.ctx().physicalKind = 2;
    EXPECT_EQ(afs_force_dirty_erase(&vol.ctx()), 0u);
    vol.ctx().physicalKind = 1;
    EXPECT_EQ(afs_force_dirty_erase(&vol.ctx()), kAfsWrongState);
    EXPECT_EQ(afs_idle_reclaim(&vol.ctx()), 0u);
    vol.ctx().physicalKind = 0;
}

TEST(AfsSubPartition, ReadsAndWritesAtThePartitionOffset) {
    std::vector<uint8_t> image(8192, 0);
    SpiFlashDrvInitialize(image.data());
    AfsContext ctx{};
    ctx.flashOffset = 4096;
    const uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(afs_sub_pt_write(&ctx, 10, 3, data), 0u);
    EXPECT_EQ(image[4106], 1);
    EXPECT_EQ(image[4108], 3);
    uint8_t back[3] = {};
    ASSERT_EQ(afs_sub_pt_read(&ctx, 10, 3, back), 0u);
    EXPECT_EQ(back[2], 3);
    EXPECT_EQ(afs_sub_pt_trim(&ctx, 0, 0), 0u);
}

}  // namespace
