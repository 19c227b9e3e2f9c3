// Damaged regions that mount must stay mountable through later writes and
// failed reclaims: old bits in a slot table past the end of a unit's chain
// must never be reached by new slots, and a reclaim that cannot read a live
// chunk leaves flash that mounts to the same contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "afs_test_util.h"
#include "afs_volume_fixture.h"
#include "common/bytes.h"

namespace {

using afs_test::FtlRegion;
using afs_test::Geometry;
using afs_test::page_of;

// Old bits as a damaged region carries them: E[k] with a cleared commit bit
// for slot k - 1 and E[k + 1] committing slot k, which decodes to a page far
// outside the dynamic area once a write marks slot k - 1 committed.
void put_old_entries(uint8_t *unit, uint32_t k) {
    quor::store_le16(unit + 18 + 2 * k, 0x0070);
    quor::store_le16(unit + 18 + 2 * (k + 1), 0x0000);
}

constexpr uint32_t kPages = 8;

// Writes `writes` dynamic pages (kPages pages in turn), remounting after each:
// every write and mount succeeds and every page reads its last value (`last`
// holds the tags written before).
void expect_writes_keep_volume_mountable(FtlRegion &r, std::vector<uint32_t> last, uint32_t writes,
                                         const std::string &what) {
    for (uint32_t i = 1; i <= writes; ++i) {
        const uint32_t page = i % kPages;
        ASSERT_EQ(r.write(r.dynamic_va(page), i), 0u) << what << ", write " << i;
        last[page] = i;
        ASSERT_EQ(r.mount(), 0u) << what << ", remount after write " << i;
        for (uint32_t p = 0; p < kPages; ++p) {
            ASSERT_EQ(r.read(r.dynamic_va(p)), page_of(last[p]))
                << what << ", page " << p << " after write " << i;
        }
    }
}

TEST(FtlDamagedRegion, WritesNeverReachOldSlotEntriesPastTheChainEnd) {
    struct Case {
        const char *what;
        Geometry geometry;
        uint32_t pagesFirst;  // pages written before the damage
        uint32_t unit;        // unit whose slot table is damaged
        uint32_t entry;       // first damaged entry
        uint32_t writes;
    };
    const Case cases[] = {
        {"only dynamic unit, damage after its chain", Geometry::of(4, 2), 2, 0, 4, 12},
        {"write unit of several, damage after its chain", Geometry::of(8, 2), 2, 0, 4, 12},
        {"unwritten only dynamic unit", Geometry::of(4, 2), 0, 0, 2, 12},
        {"unwritten lowest unit, chosen first", Geometry::of(8, 0), 0, 0, 2, 12},
        {"empty unit next in line", Geometry::of(8, 0), 0, 1, 2, 130},
    };
    for (const Case &c : cases) {
        FtlRegion r(c.geometry);
        ASSERT_EQ(r.format_and_mount(), 0u) << c.what;
        std::vector<uint32_t> last(kPages, 0);
        for (uint32_t p = 0; p < c.pagesFirst; ++p) {
            last[p] = 1000 + p;
            ASSERT_EQ(r.write(r.dynamic_va(p), last[p]), 0u) << c.what;
        }
        put_old_entries(r.unit(c.unit), c.entry);
        ASSERT_EQ(r.mount(), 0u) << c.what << ": damaged region mounts";
        expect_writes_keep_volume_mountable(r, last, c.writes, c.what);
    }
}

// The region of the second finding: a live chunk whose record no longer
// checks out, and old entries past the write unit's chain that three writes
// would bring into it. The forced reclaim over the chunk answers 5 (it cannot
// move the chunk) after erasing the spare; the volume still mounts with
// every other page as written.
TEST(FtlDamagedRegion, FailedReclaimAfterWritesLeavesTheVolumeMountable) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    std::vector<uint32_t> chunks;
    for (uint32_t tag = 1; tag <= 10; ++tag) {
        chunks.push_back(r.allocate_and_write(tag));
    }
    ASSERT_EQ(r.write(r.dynamic_va(2), 52), 0u);
    put_old_entries(r.unit(r.ftl()->writeUnit), r.ftl()->writeSlot + 3);
    const uint32_t bad = chunks[3];
    const uint32_t base = 4096 / kFtlPageSize + bad / kFtlReservedSlots * kFtlReservedSlots;
    uint32_t unit = 0;
    while (unit < 8 && r.ftl()->euInfo[unit].reservedBase != base) {
        ++unit;
    }
    ASSERT_LT(unit, 8u) << "no unit carries chunk " << bad;
    r.unit(unit)[140 + 66 * (bad % kFtlReservedSlots) + 5] ^= 0x40;
    ASSERT_EQ(r.mount(), 0u);
    for (uint32_t page = 3; page < 6; ++page) {
        ASSERT_EQ(r.write(r.dynamic_va(page), 50 + page), 0u) << "page " << page;
    }
    uint32_t status = kFtlAgain;
    for (uint32_t call = 0; call < 8 && status == kFtlAgain; ++call) {
        status = afs_physical_ftl_force_full_reclaim(r.ctx());
    }
    EXPECT_EQ(status, 5u) << "forced full reclaim over the damaged chunk";
    ASSERT_EQ(r.mount(), 0u) << "the region after the failed reclaim";
    std::vector<uint8_t> got(kFtlPageSize);
    EXPECT_EQ(afs_physical_ftl_read_page(r.ctx(), r.chunk_va(bad), kFtlPageSize, got.data(), 0),
              5u);
    for (uint32_t i = 0; i < chunks.size(); ++i) {
        if (chunks[i] != bad) {
            EXPECT_EQ(r.read(r.chunk_va(chunks[i])), page_of(i + 1)) << "chunk " << chunks[i];
        }
    }
    for (uint32_t page = 2; page < 6; ++page) {
        EXPECT_EQ(r.read(r.dynamic_va(page)), page_of(50 + page)) << "page " << page;
    }
}

// The file layer's view: a formatted volume whose write unit carries old
// entries a few slots past its chain end takes file writes and remounts to
// the same files after each of them.
TEST(FtlDamagedRegion, FileWritesKeepADamagedVolumeMountable) {
    for (uint32_t gap = 1; gap <= 6; ++gap) {
        afs_test::Volume v(32768, 65);
        ASSERT_EQ(v.format(), 0u);
        uint8_t *unit0 = v.flash().data();
        uint32_t end = 0;  // slot after the chain's last committed slot
        while (end < kFtlDynamicSlots && quor::load_le16(unit0 + 18 + 2 * end) != 0x7FFF) {
            ++end;
        }
        ASSERT_LT(end + gap + 1, kFtlDynamicSlots) << "no chain end found in unit 0";
        put_old_entries(unit0, end + gap);
        ASSERT_EQ(v.mount(), 0u) << "gap " << gap;
        std::vector<std::vector<uint8_t>> files(6);
        for (uint32_t round = 0; round < 6; ++round) {
            const uint32_t index = 3 + round % 3;
            const std::string what =
                "gap " + std::to_string(gap) + ", round " + std::to_string(round);
            files[index] = afs_test::pattern(64 + 97 * round, index, round);
            ASSERT_EQ(v.write(static_cast<int32_t>(index), 0, files[index], kAfsWriteTruncate), 0u)
                << what;
            ASSERT_EQ(v.mount(), 0u) << "remount after " << what;
            for (uint32_t f = 3; f < 6; ++f) {
                if (!files[f].empty()) {
                    EXPECT_EQ(v.differs(static_cast<int32_t>(f), files[f]), "") << what;
                }
            }
        }
    }
}

}  // namespace
