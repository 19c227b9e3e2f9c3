// EFS read retries: every check re-reads up to 7 times. A record check reads
// header and data on each attempt (14 reads at most); block-map headers and
// write read-backs take one read per attempt.
#include <gtest/gtest.h>

#include <functional>

#include "common/flash_fault.h"
#include "efs_fixture.h"

using namespace efs_test;
using namespace quor::efs;
namespace ff = quor::flash_fault;

namespace {

constexpr uint64_t kAttempts = kDefaultReadAttempts;

class EfsReadRetry : public EfsRegionTest {
  protected:
    // After prepare(), runs `op` once per window of `bad` consecutive corrupted
    // reads among the reads it does when nothing goes wrong (bad 0: one refused
    // read); check(status, bad).
    void sweep(
        const std::function<uint32_t()> &op, std::initializer_list<uint64_t> bads,
        const std::function<void(uint32_t, uint64_t)> &check,
        const std::function<void()> &prepare = [] {}) {
        ff::Guard guard;
        prepare();
        ff::corrupt_reads(UINT64_MAX, 0);  // counts reads only
        ASSERT_EQ(op(), EFS_OK);
        const uint64_t reads = ff::read_count();
        for (uint64_t first = 1; first <= reads; ++first) {
            for (const uint64_t bad : bads) {
                SCOPED_TRACE("bad reads " + std::to_string(first) + " +" + std::to_string(bad));
                prepare();
                bad == 0 ? ff::fail_reads(first, 1) : ff::corrupt_reads(first, bad);
                const uint32_t st = op();
                ff::disarm();
                check(st, bad);
            }
        }
    }
};

TEST_F(EfsReadRetry, RecordReadSurvivesTwelveBadReadsAndAnswersCheckStatusAtThirteen) {
    const std::vector<uint8_t> data = pattern(60, 1);
    write_ok(0, data);
    struct Case {
        bool driverFails;
        uint64_t bad;
        uint32_t status;
        uint64_t reads;
    };
    for (const Case &c : {Case{false, 2 * kAttempts - 2, EFS_OK, 2 * kAttempts},
                          Case{false, 2 * kAttempts - 1, EFS_ERR_CHECK, 2 * kAttempts},
                          Case{true, 1, kPhyIoError, 1}}) {  // a driver error is not retried
        ff::Guard guard;
        c.driverFails ? ff::fail_reads(1, c.bad) : ff::corrupt_reads(1, c.bad);
        uint32_t st = 0;
        const auto got = read_all(0, &st);
        EXPECT_EQ(st, c.status) << c.bad << " bad reads";
        EXPECT_EQ(ff::read_count(), c.reads) << c.bad << " bad reads";
        EXPECT_TRUE(st != EFS_OK || (got && *got == data)) << "got " << describe(got);
    }
}

// A file of three records: 6 bad reads in a row are absorbed; 13 answer 41 or
// deliver the file, never "no content" and never wrong bytes.
TEST_F(EfsReadRetry, MultiRecordReadNeverMisreportsADamagedContinuation) {
    const std::vector<uint8_t> data = pattern(8000, 2);
    write_ok(3, data);
    uint64_t refused = 0;
    std::optional<std::vector<uint8_t>> got;
    const auto read = [&got] {
        uint32_t st = 0;
        got = read_all(3, &st);
        return st;
    };
    sweep(read, {kAttempts - 1, 2 * kAttempts - 1}, [&](uint32_t st, uint64_t bad) {
        refused += st == EFS_ERR_CHECK && bad > kAttempts;
        ASSERT_TRUE(st == EFS_OK || (st == EFS_ERR_CHECK && bad > kAttempts)) << st;
        EXPECT_TRUE(st != EFS_OK || (got && *got == data)) << "got " << describe(got);
    });
    EXPECT_GT(refused, 0u);
}

TEST_F(EfsReadRetry, MountRetriesTheBlockMapHeaderSevenTimes) {
    write_ok(0, pattern(60, 1));
    for (const uint64_t bad : {kAttempts - 1, kAttempts}) {
        ff::Guard guard;
        ff::corrupt_reads(1, bad);
        EXPECT_EQ(EFS_init(false), bad < kAttempts ? EFS_OK : EFS_ERR_CHECK) << bad;
        ff::disarm();
        ASSERT_EQ(EFS_init(false), EFS_OK);
        expect_content(0, pattern(60, 1));
    }
}

// Write read-backs (and checks that targets read erased) absorb 6 bad reads
// in a row; 7 may fail the write with 41. A failed write leaves the old
// content, now and after a remount: an entry that landed although its
// read-back failed must not come back at the next mount.
TEST_F(EfsReadRetry, WriteReadBackAbsorbsSixBadReadsAndAFailedWriteStaysUndone) {
    const std::vector<uint8_t> before = pattern(250, 3), after = pattern(300, 4);
    const std::vector<uint8_t> other = pattern(8000, 2);
    write_ok(3, other);
    uint64_t refused = 0;
    const auto write = [&] { return EFS_write(1, 0, 300, after.data()); };
    sweep(
        write, {kAttempts - 1, kAttempts},
        [&](uint32_t st, uint64_t bad) {
            refused += st != EFS_OK;
            ASSERT_TRUE(st == EFS_OK || (st == EFS_ERR_CHECK && bad == kAttempts)) << st;
            expect_content(1, st == EFS_OK ? after : before);
            ASSERT_EQ(EFS_init(false), EFS_OK);
            uint32_t rs = 0;
            const auto got = read_all(1, &rs);
            EXPECT_TRUE(got && *got == (st == EFS_OK ? after : before))
                << "after remount: status " << rs << ", " << describe(got);
            expect_content(3, other);
        },
        [&] { write_ok(1, before); });
    EXPECT_GT(refused, 0u);
}

// A refused read is not retried: the operation answers the driver's 5 (41 when
// the mount takes the block map for unreadable) or gets by without it.
TEST_F(EfsReadRetry, RefusedReadsAreReportedAndNeverDamageContent) {
    const std::vector<uint8_t> data = pattern(8000, 2), small = pattern(300, 4);
    write_ok(3, data);
    const std::function<uint32_t()> ops[] = {[] { return EFS_init(false); },
                                             [] {
                                                 uint32_t st = 0;
                                                 read_all(3, &st);
                                                 return st;
                                             },
                                             [&] { return EFS_write(1, 0, 300, small.data()); }};
    for (const auto &op : ops) {
        sweep(op, {0}, [&](uint32_t st, uint64_t) {
            EXPECT_TRUE(st == EFS_OK || st == kPhyIoError || st == EFS_ERR_CHECK) << st;
            ASSERT_EQ(EFS_init(false), EFS_OK);
            expect_content(3, data);
        });
    }
}

}  // namespace
