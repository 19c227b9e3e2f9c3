// FTL page operations, allocation, reclaim, victim choice and idle policy.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "afs/AfsFtlReclaim.h"
#include "afs_test_util.h"
#include "common/flash_fault.h"

namespace {

using afs_test::FtlRegion;
using afs_test::Geometry;
using afs_test::page_of;
using quor::afs::ReclaimMode;
using quor::afs::UnitKind;
namespace fault = quor::flash_fault;

TEST(FtlPages, RewritingADynamicPageSupersedesTheOldCopy) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    EXPECT_EQ(r.read(128), page_of(0)) << "a page never written reads as zeros";
    EXPECT_EQ(r.read(r.chunk_va(3)), page_of(0)) << "so does a chunk never allocated";
    ASSERT_EQ(r.write(128, 1), 0u);
    const uint8_t invalidBefore = r.ftl()->euInfo[0].invalidSlots;
    ASSERT_EQ(r.write(128, 2), 0u);
    EXPECT_EQ(r.read(128), page_of(2));
    // One more stale slot, one fewer free slot: the count stays the same.
    EXPECT_EQ(r.ftl()->euInfo[0].invalidSlots, invalidBefore);
    EXPECT_EQ(r.ftl()->writeSlot, 2u);
    afs_physical_ftl_trim_page(r.ctx(), 128, 64, 0);
    EXPECT_EQ(r.ftl()->euInfo[0].invalidSlots, invalidBefore + 1);
    EXPECT_EQ(r.read(128), page_of(0));
}

TEST(FtlPages, ReservedPageCannotBeWrittenTwiceWithoutAReclaim) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    const uint32_t x = r.allocate_and_write(9);
    EXPECT_EQ(r.read(r.chunk_va(x)), page_of(9));
    EXPECT_EQ(r.write(r.chunk_va(x), 10), kFtlIoError);
    afs_physical_ftl_trim_page(r.ctx(), r.chunk_va(x), 64, 0);
    EXPECT_EQ(r.write(r.chunk_va(x), 10), kFtlIoError);
}

TEST(FtlPages, RefusedWriteKeepsTheOldValueAndLaterWritesWork) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    ASSERT_EQ(r.write(64, 1), 0u);
    for (uint64_t k = 1; k <= 3; ++k) {
        {
            fault::Guard guard;
            fault::fail_at(k);
            EXPECT_EQ(r.write(64, 100 + static_cast<uint32_t>(k)), kFtlIoError);
        }
        EXPECT_EQ(r.read(64), page_of(1)) << "after refusing operation " << k;
    }
    ASSERT_EQ(r.write(64, 2), 0u);
    ASSERT_EQ(r.mount(), 0u);
    EXPECT_EQ(r.read(64), page_of(2));
}

TEST(FtlPages, CorruptRecordFailsTheCheckedRead) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    ASSERT_EQ(r.write(0, 1), 0u);
    r.unit(0)[260 + 5] ^= 0x10;
    std::vector<uint8_t> got(64);
    EXPECT_EQ(afs_physical_ftl_read_page(r.ctx(), 0, 64, got.data(), 0), kFtlIoError);
}

TEST(FtlAllocation, FirstRefusalThenSwitchThenReclaimOfTrimmedSlots) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    std::vector<uint32_t> chunks;
    for (uint32_t i = 0; i < 122; ++i) {
        chunks.push_back(r.allocate_and_write(1000 + i));
    }
    EXPECT_EQ(chunks.front(), 122u);  // the newest reserved unit comes first
    const FtlControl before = *r.ftl();
    uint16_t id = 0;
    EXPECT_EQ(afs_physical_ftl_allocate_page(r.ctx(), &id), kFtlOutOfSlots);
    EXPECT_EQ(r.ftl()->allocNext, before.allocNext);
    EXPECT_EQ(r.ftl()->spareUnit, before.spareUnit);
    EXPECT_EQ(afs_physical_ftl_allocate_page(r.ctx(), &id), 0u);
    EXPECT_EQ(id, 0u);  // switched to the empty reserved unit
    for (uint32_t i = 0; i < 122; ++i) {
        chunks.push_back(i == 0 ? 0 : r.allocate_and_write(2000 + i));
    }
    ASSERT_EQ(r.write(r.chunk_va(0), 2000), 0u);
    for (uint32_t x : {130u, 131u, 200u}) {
        afs_physical_ftl_trim_page(r.ctx(), r.chunk_va(x), 64, 0);
    }
    const uint16_t spare = r.ftl()->spareUnit;
    EXPECT_EQ(afs_physical_ftl_allocate_page(r.ctx(), &id), kFtlOutOfSlots);
    EXPECT_EQ(afs_physical_ftl_allocate_page(r.ctx(), &id), 0u);
    EXPECT_EQ(id, 130u);
    EXPECT_EQ(r.ftl()->euInfo[spare].reservedBase, 64 + 122);
    for (uint32_t x = 0; x < 244; ++x) {
        const bool trimmed = x == 130 || x == 131 || x == 200;
        const uint32_t tag = trimmed ? 0 : x < 122 ? 2000 + x : 1000 + (x - 122);
        ASSERT_EQ(r.read(r.chunk_va(x)), page_of(tag)) << "chunk " << x;
    }
}

TEST(FtlAllocation, NeverHandsOutAnIdBeyondFilesPlusChunks) {
    FtlRegion r(Geometry::of(8, 2));
    r.ctx()->chunkCount = 130;  // fewer chunks than the units could hold
    r.ctx()->fileCount = 10;
    ASSERT_EQ(r.format_and_mount(), 0u);
    uint32_t handed = 0;
    for (int i = 0; i < 400; ++i) {
        uint16_t id = 0;
        const uint32_t status = afs_physical_ftl_allocate_page(r.ctx(), &id);
        if (status == kFtlOutOfSlots) {
            continue;
        }
        if (status != 0) {
            EXPECT_EQ(status, kFtlNoSpace);
            break;
        }
        ASSERT_GE(id, 10u);
        ASSERT_LT(id, 140u);
        ASSERT_EQ(r.write(r.chunk_va(id - 10u), id), 0u);
        ++handed;
    }
    EXPECT_EQ(handed, 130u);
}

TEST(FtlAllocation, VolumeWithoutReservedUnitsAnswersNoSpace) {
    FtlRegion r(Geometry::of(8, 0));
    r.ctx()->chunkCount = 10;
    ASSERT_EQ(r.format_and_mount(), 0u);
    const uint32_t sequence = r.ftl()->maxSequence;
    uint16_t id = 0;
    EXPECT_EQ(afs_physical_ftl_allocate_page(r.ctx(), &id), kFtlOutOfSlots);
    EXPECT_EQ(afs_physical_ftl_allocate_page(r.ctx(), &id), kFtlNoSpace);
    EXPECT_EQ(r.ftl()->maxSequence, sequence) << "a dynamic unit was reclaimed for a chunk";
}

TEST(FtlReclaim, SpareCannotBeReclaimed) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    EXPECT_EQ(quor::afs::_reclaim_eu(r.ctx(), r.ftl()->spareUnit, ReclaimMode::Reclaim),
              kFtlNoSpace);
}

TEST(FtlReclaim, DynamicReclaimMovesLivePagesAndRotatesTheSpare) {
    FtlRegion r(Geometry::of(4, 0));  // dynamic units 0-2, spare 3
    ASSERT_EQ(r.format_and_mount(), 0u);
    for (uint32_t i = 0; i < 360; ++i) {
        ASSERT_EQ(r.write((i % 30) * 64, i + 1), 0u) << "write " << i;
    }
    const uint32_t seq = r.ftl()->maxSequence;
    ASSERT_EQ(r.write(31 * 64, 999), 0u);  // all units full: reclaims unit 0
    EXPECT_EQ(r.ftl()->spareUnit, 0);
    EXPECT_EQ(r.ftl()->maxSequence, seq + 1);
    ASSERT_EQ(r.mount(), 0u);
    for (uint32_t p = 0; p < 30; ++p) {
        EXPECT_EQ(r.read(p * 64), page_of(330 + p + 1)) << "page " << p;
    }
    EXPECT_EQ(r.read(31 * 64), page_of(999));
}

TEST(FtlReclaim, ForcedFullReclaimVisitsEveryReservedUnitOnce) {
    FtlRegion r(Geometry::of(9, 3));  // reserved units 5-7, spare 8
    ASSERT_EQ(r.format_and_mount(), 0u);
    for (uint32_t i = 0; i < 40; ++i) {
        r.allocate_and_write(500 + i);
    }
    std::vector<uint32_t> statuses;
    for (int i = 0; i < 10; ++i) {
        statuses.push_back(afs_physical_ftl_force_full_reclaim(r.ctx()));
        if (statuses.back() != kFtlAgain) {
            break;
        }
    }
    EXPECT_EQ(statuses, (std::vector<uint32_t>{11, 11, 11, 0}));
    EXPECT_EQ(r.ftl()->fullReclaimCursor, 0);
    ASSERT_EQ(r.mount(), 0u);
    for (uint32_t i = 0; i < 40; ++i) {
        EXPECT_EQ(r.read(r.chunk_va(244 + i)), page_of(500 + i)) << "chunk " << 244 + i;
    }
}

TEST(FtlVictimChoice, WearLevellingNeedsSpreadAboveHundredAndATenMultiple) {
    FtlRegion r(Geometry::of(8, 0));
    ASSERT_EQ(r.format_and_mount(), 0u);
    FtlControl *c = r.ftl();
    for (uint32_t u = 0; u < 7; ++u) {
        c->euInfo[u].freeSlots = 0;  // no empty unit to switch to
        c->euInfo[u].invalidSlots = 5;
        c->euInfo[u].eraseCount = 50;
    }
    c->euInfo[2].invalidSlots = 90;
    c->euInfo[4].eraseCount = 10;
    c->euInfo[5].eraseCount = 111;
    auto mode = ReclaimMode::Switch;
    EXPECT_EQ(quor::afs::_choose_eu_to_reclaim(r.ctx(), UnitKind::Dynamic, true, &mode, false), 2u);
    EXPECT_EQ(mode, ReclaimMode::Reclaim);
    c->euInfo[5].eraseCount = 120;
    EXPECT_EQ(quor::afs::_choose_eu_to_reclaim(r.ctx(), UnitKind::Dynamic, true, &mode, false), 4u);
    EXPECT_EQ(quor::afs::_choose_eu_to_reclaim(r.ctx(), UnitKind::Dynamic, false, &mode, false),
              2u);
    c->euInfo[6].freeSlots = 1;
    EXPECT_EQ(quor::afs::_choose_eu_to_reclaim(r.ctx(), UnitKind::Dynamic, true, &mode, false), 6u);
    EXPECT_EQ(mode, ReclaimMode::Switch);
}

TEST(FtlIdle, FullyStaleUnitIsPreferredAndIdleReclaimConverges) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    EXPECT_EQ(afs_physical_ftl_idle_reclaim_needed(r.ctx(), nullptr, nullptr), 0u);
    for (uint32_t i = 0; i < 130; ++i) {
        ASSERT_EQ(r.write((i % 10) * 64, i + 1), 0u);
    }
    uint32_t unit = 0;
    uint32_t kind = 9;
    ASSERT_EQ(afs_physical_ftl_idle_reclaim_needed(r.ctx(), &unit, &kind), 1u);
    EXPECT_EQ(unit, 0u);
    EXPECT_EQ(kind, 0u);
    int reclaims = 0;
    while (afs_physical_ftl_idle_reclaim_needed(r.ctx(), nullptr, nullptr) != 0 && reclaims < 20) {
        const uint32_t status = afs_physical_ftl_idle_reclaim(r.ctx());
        ASSERT_TRUE(status == 0 || status == kFtlNoGain) << "status " << status;
        ++reclaims;
    }
    EXPECT_LT(reclaims, 20);
    fault::Guard guard;
    EXPECT_EQ(afs_physical_ftl_idle_reclaim(r.ctx()), 0u);
    EXPECT_EQ(fault::operation_count(), 0u) << "idle reclaim erased with nothing to gain";
    for (uint32_t p = 0; p < 10; ++p) {
        EXPECT_EQ(r.read(p * 64), page_of(120 + p + 1)) << "page " << p;
    }
}

TEST(FtlDirtyErase, ScrubsTrimmedChunksAndTheSpareOnly) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    const uint32_t keep = r.allocate_and_write(1);
    const uint32_t drop = r.allocate_and_write(2);
    afs_physical_ftl_trim_page(r.ctx(), r.chunk_va(drop), 64, 0);
    std::memset(r.unit(7) + 140, 0x5A, 66);  // stale bytes in the spare
    ASSERT_EQ(afs_physical_ftl_force_dirty_erase(r.ctx()), 0u);
    const uint8_t *unit6 = r.unit(6);
    for (uint32_t b = 0; b < 66; ++b) {
        ASSERT_EQ(unit6[140 + 66 * (drop - 122) + b], 0) << "trimmed chunk byte " << b;
        ASSERT_EQ(r.unit(7)[140 + b], 0) << "spare byte " << b;
    }
    EXPECT_EQ(r.read(r.chunk_va(keep)), page_of(1));
    AfsContext empty{};
    EXPECT_EQ(afs_physical_ftl_force_dirty_erase(&empty), kFtlInvalid);
}

TEST(FtlBulkRead, ReadsRunsAcrossAUnitBoundary) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    for (uint32_t i = 0; i < 244; ++i) {
        r.allocate_and_write(3000 + i);
    }
    std::vector<uint8_t> buffer(20 * 66);
    ASSERT_EQ(afs_physical_ftl_read_data_pages(r.ctx(), buffer.data(), r.chunk_va(112), 20), 0u);
    for (uint32_t i = 0; i < 20; ++i) {
        const std::vector<uint8_t> got(buffer.begin() + 64 * i, buffer.begin() + 64 * (i + 1));
        EXPECT_EQ(got, page_of(3000 + (112 + i + 122) % 244)) << "chunk " << 112 + i;
    }
    EXPECT_EQ(afs_physical_ftl_read_data_pages(r.ctx(), buffer.data(), r.chunk_va(121), 200),
              kFtlIoError);
}

}  // namespace
