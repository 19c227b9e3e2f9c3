// AFS read retries: a checked read gives up after 7 bad reads (status 5);
// every write is read back up to 7 times.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "afs/AfsFtlFlash.h"
#include "afs/AfsFtlState.h"
#include "afs_model.h"
#include "afs_test_util.h"
#include "afs_volume_fixture.h"
#include "common/flash_fault.h"

namespace {

namespace ff = quor::flash_fault;
using afs_test::page_of;
constexpr uint64_t kAttempts = 7;

// One driver read per attempt: 6 bad reads cost 7 reads, the 7th bad one ends
// the attempts; a driver error is not retried.
TEST(FtlReadRetry, PageReadRetriesUpToSevenReadsThenAnswersIoError) {
    struct Case {
        bool reserved, driverFails;
        uint64_t bad;
        uint32_t status;
        uint64_t reads;
    };
    for (const Case &c :
         {Case{false, false, 6, 0, 7}, Case{false, false, 7, 5, 7}, Case{true, false, 6, 0, 7},
          Case{true, false, 7, 5, 7}, Case{false, true, 1, 5, 1}}) {
        afs_test::FtlRegion r;
        ASSERT_EQ(r.format_and_mount(), 0u);
        const uint32_t va = c.reserved ? r.chunk_va(r.allocate_and_write(7)) : r.dynamic_va(3);
        ASSERT_TRUE(c.reserved || r.write(va, 7) == 0);
        ff::Guard guard;
        c.driverFails ? ff::fail_reads(1, c.bad) : ff::corrupt_reads(1, c.bad);
        std::vector<uint8_t> got(kFtlPageSize);
        const std::string what =
            "va " + std::to_string(va) + ", bad reads " + std::to_string(c.bad);
        EXPECT_EQ(afs_physical_ftl_read_page(r.ctx(), va, kFtlPageSize, got.data(), 0), c.status)
            << what;
        EXPECT_EQ(ff::read_count(), c.reads) << what;
        EXPECT_TRUE(c.status != 0 || got == page_of(7)) << what;
    }
}

// A dynamic write verifies entry, record and commit mark in turn (one read per
// attempt). A failed verification answers 5 and the page holds what the next
// mount decodes: the new value only if the commit mark reached the flash.
TEST(FtlReadRetry, WriteReadBackRetriesAndRamAgreesWithTheNextMount) {
    struct Case {
        uint64_t first, bad;
        uint32_t status, tag;
    };
    for (const Case &c : {Case{1, 6, 0, 2}, Case{1, 7, 5, 1}, Case{2, 6, 0, 2}, Case{2, 7, 5, 1},
                          Case{3, 7, 5, 2}}) {
        afs_test::FtlRegion r;
        ASSERT_EQ(r.format_and_mount(), 0u);
        ASSERT_EQ(r.write(64, 1), 0u);
        SCOPED_TRACE("bad reads " + std::to_string(c.first) + " +" + std::to_string(c.bad));
        {
            ff::Guard guard;
            ff::corrupt_reads(c.first, c.bad);
            EXPECT_EQ(r.write(64, 2), c.status);
        }
        EXPECT_EQ(r.read(64), page_of(c.tag));
        ASSERT_EQ(r.mount(), 0u);
        EXPECT_EQ(r.read(64), page_of(c.tag)) << "after remount";
    }
}

// A reserved write reads the slot's status byte, then verifies "started",
// the record and "written" in turn, one driver read per attempt: reads 1, 2,
// 3 and 4 while every attempt succeeds. Bad reads starting at one of the
// read-backs: six are absorbed (10 reads in all), the seventh answers 5 where
// it falls. A bad status read finds the slot not free. Every read here is a
// driver copy that the seam counts and spoils, never a look at the flash in
// place, which would see the good bytes.
TEST(FtlReadRetry, ReservedWriteReadsItsStatusAndReadsBackEachProgram) {
    struct Case {
        uint64_t first, bad;
        uint32_t status;
        uint64_t reads;
    };
    for (const Case &c : {Case{1, 1, 5, 1}, Case{2, 6, 0, 10}, Case{2, 7, 5, 8}, Case{3, 6, 0, 10},
                          Case{3, 7, 5, 9}, Case{4, 6, 0, 10}, Case{4, 7, 5, 10}}) {
        afs_test::FtlRegion r;
        ASSERT_EQ(r.format_and_mount(), 0u);
        r.allocate_and_write(1);
        uint16_t id = 0;
        ASSERT_EQ(afs_physical_ftl_allocate_page(r.ctx(), &id), 0u);
        SCOPED_TRACE("bad reads " + std::to_string(c.first) + " +" + std::to_string(c.bad));
        ff::Guard guard;
        ff::corrupt_reads(c.first, c.bad);
        EXPECT_EQ(r.write(r.chunk_va(id - r.ctx()->fileCount), 2), c.status);
        EXPECT_EQ(ff::read_count(), c.reads);
    }
}

// Writes whose read-backs and status reads look at the flash in place (no
// read fault armed) and writes read back through driver copies (a fault
// armed that never fires) leave the same flash and answer the same, for a
// random run of file writes, truncations and deletes with reclaims.
TEST(FtlReadRetry, WritesCheckedInPlaceAndThroughDriverCopiesAgree) {
    const auto workload = [](bool copies, std::vector<uint8_t> *image,
                             std::vector<uint32_t> *statuses) {
        afs_test::Volume v(5 * kFtlUnitSize, 80);
        ff::Guard guard;
        if (copies) {
            ff::corrupt_reads(UINT64_MAX, 0);  // counts reads only
        }
        const uint32_t formatted = v.format();
        ASSERT_EQ(formatted, 0u);
        statuses->push_back(formatted);
        afs_test::Rng rng(23);
        afs_test::Model model;
        for (uint32_t i = 0; i < 150; ++i) {
            const afs_test::Op op = afs_test::random_op(rng, model, 8, 1500, i + 1);
            const uint32_t s = afs_test::run(v, op);
            statuses->push_back(s);
            if (s == 0) {
                afs_test::apply(model, op);
            }
        }
        EXPECT_EQ(afs_test::check_volume(v, model, 8), "");
        if (copies) {
            EXPECT_GT(ff::read_count(), 1000u);
        }
        *image = v.flash();
    };
    std::vector<uint8_t> inPlace;
    std::vector<uint8_t> copied;
    std::vector<uint32_t> inPlaceStatuses;
    std::vector<uint32_t> copiedStatuses;
    workload(false, &inPlace, &inPlaceStatuses);
    workload(true, &copied, &copiedStatuses);
    EXPECT_EQ(inPlaceStatuses, copiedStatuses);
    EXPECT_TRUE(inPlace == copied) << "the flash images differ";
}

// With the FAT cached, a file read is one bulk chunk read.
TEST(FtlReadRetry, FileReadRecoversBelowTheLimitAndFailsLoudlyAtIt) {
    afs_test::Volume v(5 * kFtlUnitSize, 80);
    ASSERT_EQ(v.format(), 0u);
    const std::vector<uint8_t> data = afs_test::pattern(200, 3, 1);
    ASSERT_EQ(v.write(3, 0, data), 0u);
    ASSERT_EQ(v.differs(3, data), "");
    for (const uint64_t bad : {kAttempts - 1, kAttempts}) {
        ff::Guard guard;
        ff::corrupt_reads(1, bad);
        std::vector<uint8_t> got(data.size());
        int32_t length = static_cast<int32_t>(got.size());
        const uint32_t status = afs_readfile(&v.ctx(), 3, 0, &length, got.data());
        EXPECT_EQ(status, bad < kAttempts ? kAfsOk : kAfsIoError) << bad << " bad reads";
        EXPECT_TRUE(status != 0 || got == data) << bad << " bad reads";
    }
}

// A read whose file entry cannot be read (its FAT line refused once, or bad
// seven times) delivers nothing: status 5, the count 0 whatever was asked,
// and the caller's buffer untouched.
TEST(FtlReadRetry, FailedFileEntryReadDeliversNothing) {
    afs_test::Volume v(5 * kFtlUnitSize, 80);
    ASSERT_EQ(v.format(), 0u);
    const std::vector<uint8_t> data = afs_test::pattern(300, 5, 1);
    ASSERT_EQ(v.write(5, 0, data), 0u);
    constexpr uint8_t kUntouched = 0xEE;
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "refused" : "seven bad reads");
        ASSERT_EQ(cache_flush(&v.ctx()), 0u);
        cache_invalidate(&v.ctx());
        ff::Guard guard;
        refused ? ff::fail_reads(1, 1) : ff::corrupt_reads(1, kAttempts);
        std::vector<uint8_t> got(data.size(), kUntouched);
        auto length = static_cast<int32_t>(data.size());
        EXPECT_EQ(afs_readfile(&v.ctx(), 5, 10, &length, got.data()), kAfsIoError);
        EXPECT_EQ(ff::read_count(), refused ? 1u : kAttempts) << "only the file entry's line";
        EXPECT_EQ(length, 0);
        EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == kUntouched; }));
        ff::disarm();
        length = static_cast<int32_t>(data.size());
        EXPECT_EQ(afs_readfile(&v.ctx(), 5, 0, &length, got.data()), 0u);
        EXPECT_EQ(got, data);
    }
}

// A long file read (runs of chunks over several units, FAT lines missing the
// cache on the way), whole and from an offset, with bad reads starting at
// each of its reads: six in a row are absorbed; seven, or one refused read,
// make it answer 5 with the length of what it delivered, which is a prefix
// of the request, and leave the caller's bytes after that prefix untouched.
// Some of those failures come part-way through.
TEST(FtlReadRetry, LongFileReadDeliversAPrefixAndLeavesTheRestOfTheBufferAlone) {
    afs_test::Volume v(24 * kFtlUnitSize, 80);
    ASSERT_EQ(v.format(), 0u);
    const std::vector<uint8_t> data = afs_test::pattern(20037, 5, 1);  // 314 chunks
    ASSERT_EQ(v.write(5, 0, data), 0u);
    constexpr uint8_t kUntouched = 0xEE;
    // Every read starts from the same cache: empty but for the lines of the
    // file entry and of the chain's start (a failed file entry read would
    // answer before any length is known).
    const auto sameCache = [&v] {
        ASSERT_EQ(cache_flush(&v.ctx()), 0u);
        cache_invalidate(&v.ctx());
        uint8_t byte = 0;
        int32_t one = 1;
        ASSERT_EQ(afs_readfile(&v.ctx(), 5, 0, &one, &byte), 0u);
    };
    for (const uint32_t offset : {0u, 1000u}) {
        const auto wanted = static_cast<int32_t>(data.size() - offset - 3);
        const std::vector<uint8_t> expected(data.begin() + offset,
                                            data.begin() + offset + static_cast<size_t>(wanted));
        ff::Guard guard;
        sameCache();
        ff::corrupt_reads(UINT64_MAX, 0);  // counts reads only
        std::vector<uint8_t> got(static_cast<size_t>(wanted));
        int32_t length = wanted;
        ASSERT_EQ(afs_readfile(&v.ctx(), 5, static_cast<int32_t>(offset), &length, got.data()), 0u);
        ASSERT_EQ(got, expected);
        const uint64_t reads = ff::read_count();
        ASSERT_GT(reads, 6u) << "the read should take several runs";
        uint32_t partWay = 0;
        for (uint64_t first = 1; first <= reads; ++first) {
            for (const uint64_t bad : {kAttempts - 1, kAttempts, uint64_t{0}}) {  // 0: one refused
                SCOPED_TRACE("offset " + std::to_string(offset) + ", bad reads " +
                             std::to_string(first) + " +" + std::to_string(bad));
                sameCache();
                bad == 0 ? ff::fail_reads(first, 1) : ff::corrupt_reads(first, bad);
                std::fill(got.begin(), got.end(), kUntouched);
                length = wanted;
                const uint32_t status =
                    afs_readfile(&v.ctx(), 5, static_cast<int32_t>(offset), &length, got.data());
                ff::disarm();
                if (bad == kAttempts - 1) {
                    ASSERT_EQ(status, 0u);
                    ASSERT_EQ(length, wanted);
                    ASSERT_EQ(got, expected);
                    continue;
                }
                ASSERT_EQ(status, kAfsIoError);
                ASSERT_GE(length, 0);
                ASSERT_LE(length, wanted);
                const auto cut = static_cast<size_t>(length);
                EXPECT_TRUE(std::equal(got.begin(), got.begin() + cut, expected.begin()));
                EXPECT_TRUE(std::all_of(got.begin() + cut, got.end(),
                                        [](uint8_t b) { return b == kUntouched; }))
                    << "bytes after the delivered " << length << " were written";
                partWay += length > 0;
            }
        }
        EXPECT_GT(partWay, 2u) << "no failure came part-way through the read";
    }
}

// File reads that check the records where they lie in the flash (no read
// fault armed) and reads through driver copies (a fault armed that never
// fires) deliver the same bytes, counts and statuses, for random pieces of a
// long file: with every record sound, and with one record damaged in the
// flash itself, which every attempt of both ways finds bad (the look in place
// is the first of the seven attempts, the driver reads the other six).
TEST(FtlReadRetry, ReadsInPlaceAndThroughDriverCopiesAgree) {
    afs_test::Volume v(24 * kFtlUnitSize, 80);
    ASSERT_EQ(v.format(), 0u);
    const std::vector<uint8_t> data = afs_test::pattern(20037, 5, 1);  // 314 chunks
    ASSERT_EQ(v.write(5, 0, data), 0u);
    struct Result {
        uint32_t status;
        int32_t length;
        std::vector<uint8_t> bytes;
    };
    const auto read = [&v](bool copies, int32_t offset, int32_t wanted) {
        ff::Guard guard;
        if (copies) {
            ff::corrupt_reads(UINT64_MAX, 0);  // counts reads only
        }
        Result r{0, wanted, std::vector<uint8_t>(static_cast<size_t>(wanted), 0xEE)};
        r.status = afs_readfile(&v.ctx(), 5, offset, &r.length, r.bytes.data());
        return r;
    };
    std::mt19937 rng(0x5EED);
    const auto agree = [&](bool damaged, uint32_t *failed) {
        *failed = 0;
        for (int i = 0; i < 60; ++i) {
            const auto offset = static_cast<int32_t>(rng() % (data.size() + 100));
            const auto wanted = static_cast<int32_t>(1 + rng() % data.size());
            SCOPED_TRACE("offset " + std::to_string(offset) + ", length " + std::to_string(wanted) +
                         (damaged ? ", one record damaged" : ""));
            const Result inPlace = read(false, offset, wanted);
            const Result copied = read(true, offset, wanted);
            ASSERT_EQ(inPlace.status, copied.status);
            ASSERT_EQ(inPlace.length, copied.length);
            ASSERT_EQ(inPlace.bytes, copied.bytes);
            const size_t from = std::min<size_t>(static_cast<size_t>(offset), data.size());
            const size_t delivered = static_cast<size_t>(inPlace.length);
            ASSERT_LE(from + delivered, data.size());
            EXPECT_TRUE(std::equal(inPlace.bytes.begin(), inPlace.bytes.begin() + delivered,
                                   data.begin() + from));
            *failed += inPlace.status != 0;
        }
    };
    uint32_t failed = 0;
    agree(false, &failed);
    EXPECT_EQ(failed, 0u);
    // Chunk 150's data is in the flash once (the file was written once, its
    // bytes are random): one bit of it flipped in place.
    const auto at = std::search(v.flash().begin(), v.flash().end(), data.begin() + 150 * 64,
                                data.begin() + 151 * 64);
    ASSERT_NE(at, v.flash().end());
    at[17] ^= 0x10;
    agree(true, &failed);
    EXPECT_GT(failed, 5u) << "too few reads met the damaged record";
}

// A long file read checks the records of the FAT pages it misses eight at a
// time while it may look at them in place, and takes those results for the
// next misses. Whole-file reads from an empty cache that way and through
// driver copies (a fault armed that never fires: no look in place, each page
// checked alone) agree: with every record sound, with the record of one FAT
// page of the chain damaged in the flash (both fail at the same place), and
// with dirty lines in the cache that the read writes back on its way (a
// write ends the checking ahead).
TEST(FtlReadRetry, FatPagesCheckedAheadAndOneByOneAgree) {
    afs_test::Volume v(24 * kFtlUnitSize, 80);
    ASSERT_EQ(v.format(), 0u);
    const std::vector<uint8_t> data = afs_test::pattern(60000, 5, 1);  // 938 chunks, 30 FAT pages
    ASSERT_EQ(v.write(5, 0, data), 0u);
    struct Result {
        uint32_t status;
        int32_t length;
        std::vector<uint8_t> bytes;
        bool operator==(const Result &o) const {
            return status == o.status && length == o.length && bytes == o.bytes;
        }
    };
    const auto read = [&](bool copies, bool dirty) {
        EXPECT_EQ(cache_flush(&v.ctx()), 0u);
        cache_invalidate(&v.ctx());
        if (dirty) {
            for (uint32_t k = 60; k < 80; ++k) {  // unused file entries, rewritten as they are
                v.set_fat(k, v.fat(k));
            }
        }
        ff::Guard guard;
        if (copies) {
            ff::corrupt_reads(UINT64_MAX, 0);  // counts reads only
        }
        const auto wanted = static_cast<int32_t>(data.size());
        Result r{0, wanted, std::vector<uint8_t>(data.size(), 0xEE)};
        r.status = afs_readfile(&v.ctx(), 5, 0, &r.length, r.bytes.data());
        return r;
    };
    for (const bool dirty : {false, true}) {
        SCOPED_TRACE(dirty ? "dirty lines in the cache" : "clean cache");
        const Result inPlace = read(false, dirty);
        ASSERT_EQ(inPlace.status, 0u);
        ASSERT_EQ(inPlace.bytes, data);
        ASSERT_TRUE(read(true, dirty) == inPlace);
    }
    // The FAT page holding the entry of the 600th chunk of the chain: one bit
    // of its record flipped where the page map places it.
    uint16_t cid = v.fat(5);
    for (int i = 0; i < 600; ++i) {
        cid = v.fat(cid);
    }
    const uint32_t page = (kAfsHeaderSize + 2u * cid) / kFtlPageSize;
    const FtlControl *c = quor::afs::ftl_control(&v.ctx());
    ASSERT_TRUE(quor::afs::ftl::page_is_mapped(c, page));
    const uint32_t record = quor::afs::ftl::unit_address(
        &v.ctx(), quor::afs::ftl::mapped_unit(c, page),
        quor::afs::ftl::dynamic_record_offset(quor::afs::ftl::mapped_slot(c, page)));
    v.flash()[record + 21] ^= 0x04;
    for (const bool dirty : {false, true}) {
        SCOPED_TRACE(dirty ? "damaged FAT page, dirty lines" : "damaged FAT page");
        const Result inPlace = read(false, dirty);
        EXPECT_EQ(inPlace.status, kAfsIoError);
        EXPECT_GT(inPlace.length, 16 * 1024) << "the read failed before the damaged page";
        EXPECT_LT(inPlace.length, 601 * 64) << "the read went past the damaged page";
        ASSERT_TRUE(read(true, dirty) == inPlace);
    }
}

// Every window of a mount and of a file write: 6 bad reads in a row, 7, and
// one refused read. A mount absorbs 6; otherwise the answer is 0 or 5, and the
// file holds the old or (after a successful or half-verified write) the new
// content, never damaged bytes. Some window of 7 hits a checked read's attempts.
TEST(FtlReadRetry, MountAndWriteAnswerZeroOrIoErrorAndNeverDamageContent) {
    afs_test::Volume v(5 * kFtlUnitSize, 80);
    ASSERT_EQ(v.format(), 0u);
    const std::vector<uint8_t> data = afs_test::pattern(200, 3, 1);
    const std::vector<uint8_t> next = afs_test::pattern(300, 3, 2);
    const std::function<uint32_t()> ops[] = {[&] { return v.mount(); },
                                             [&] { return v.write(3, 0, next); }};
    for (const auto &op : ops) {
        const bool writes = &op != &ops[0];
        ff::Guard guard;
        ASSERT_EQ(v.write(3, 0, data, kAfsWriteTruncate), 0u);
        ff::corrupt_reads(UINT64_MAX, 0);  // counts reads only
        ASSERT_EQ(op(), 0u);
        const uint64_t reads = ff::read_count();
        uint64_t refused = 0;
        for (uint64_t first = 1; first <= reads; ++first) {
            for (const uint64_t bad : {kAttempts - 1, kAttempts, uint64_t{0}}) {  // 0: one refused
                SCOPED_TRACE((writes ? "write, bad reads " : "mount, bad reads ") +
                             std::to_string(first) + " +" + std::to_string(bad));
                ASSERT_EQ(v.write(3, 0, data, kAfsWriteTruncate), 0u);
                bad == 0 ? ff::fail_reads(first, 1) : ff::corrupt_reads(first, bad);
                const uint32_t status = op();
                ff::disarm();
                refused += status != 0 && bad == kAttempts;
                ASSERT_TRUE(status == 0 ||
                            (status == kAfsIoError && (writes || bad != kAttempts - 1)))
                    << status;
                EXPECT_EQ(status == 0 ? v.differs(3, writes ? next : data) : "", "");
                ASSERT_EQ(v.mount(), 0u);  // the flash stays mountable
                const std::string old = v.differs(3, data);
                EXPECT_TRUE(old.empty() || (writes && v.differs(3, next).empty())) << old;
            }
        }
        EXPECT_GT(refused, 0u);
    }
}

}  // namespace
