// Finding the unit that carries a reserved page: the FTL keeps a table from
// page group to unit, which must answer what a walk over every unit answers
// (unit_with_base), whatever the units' bases hold, duplicates and bases
// that no page group can name included.
#include <gtest/gtest.h>

#include <vector>

#include "afs/AfsFtlFormat.h"
#include "afs/AfsFtlState.h"
#include "afs_model.h"
#include "afs_test_util.h"

namespace {

using afs_test::FtlRegion;
using afs_test::Geometry;
using namespace quor::afs::ftl;

// Every page index the 16 bits of a page number reach, plus some beyond.
void expect_same_as_walk(const AfsContext *ctx, const char *what) {
    const FtlControl *c = ftl_control(ctx);
    for (uint32_t index = 0; index < 0x10000 + 3 * kFtlReservedSlots; index += 7) {
        const uint32_t group = (index & 0xFFFF) / kFtlReservedSlots;
        const auto base =
            static_cast<uint16_t>((dynamic_pages(ctx) + group * kFtlReservedSlots) & 0xFFFF);
        const uint32_t want = unit_with_base(c, base);
        const ReservedPlace got = locate_index(ctx, index);
        ASSERT_EQ(got.unit, want) << what << ": index " << index;
        ASSERT_EQ(got.found, want != kFtlNone) << what << ": index " << index;
        ASSERT_EQ(got.slot, index % kFtlReservedSlots);
        ASSERT_EQ(got.index, index);
    }
}

TEST(FtlLocate, AgreesWithAWalkOverTheUnitsAfterAMount) {
    FtlRegion r(Geometry::of(12, 6));
    ASSERT_EQ(r.format_and_mount(), 0u);
    expect_same_as_walk(r.ctx(), "formatted");
}

// Bases set by hand, as a damaged or foreign image could leave them; each
// layout is announced with forget_group_units, as every writer of a base does.
TEST(FtlLocate, AgreesWithAWalkForAnyLayoutOfBases) {
    FtlRegion r(Geometry::of(40, 20, 8192));
    ASSERT_EQ(r.format_and_mount(), 0u);
    FtlControl *c = r.ftl();
    const uint32_t pages = dynamic_pages(r.ctx());
    afs_test::Rng rng(3);
    for (int round = 0; round < 40; ++round) {
        for (uint32_t u = 0; u < c->unitCount; ++u) {
            const uint32_t pick = rng.below(6);
            uint32_t base = 0;
            if (pick == 1) {
                base = pages + rng.below(6) * kFtlReservedSlots;  // duplicates likely
            } else if (pick == 2) {
                base = pages + rng.below(kFtlReservedGroups + 4) * kFtlReservedSlots;  // wraps
            } else if (pick == 3) {
                base = rng.below(0x10000);  // usually not a group start
            } else if (pick >= 4) {
                base = pages + u * kFtlReservedSlots;
            }
            c->euInfo[u].reservedBase = static_cast<uint16_t>(base);
        }
        c->spareUnit = static_cast<uint16_t>(rng.below(c->unitCount));
        forget_group_units(c);
        expect_same_as_walk(r.ctx(), "random layout");
    }
}

// The table belongs to one size of the dynamic area: a context whose size
// changed is answered for its new size even without forget_group_units.
TEST(FtlLocate, FollowsAChangeOfTheDynamicArea) {
    FtlRegion r(Geometry::of(12, 6));
    ASSERT_EQ(r.format_and_mount(), 0u);
    expect_same_as_walk(r.ctx(), "before");
    r.ctx()->dynamicAreaSize += kFtlReservedSlots * kFtlPageSize;
    expect_same_as_walk(r.ctx(), "dynamic area one group larger");
}

// Reclaims move a group to the former spare: the lookups that follow, in the
// same mount, find the new unit.
TEST(FtlLocate, FollowsReclaimsThatMoveAGroupToAnotherUnit) {
    FtlRegion r(Geometry::of(8, 3));
    ASSERT_EQ(r.format_and_mount(), 0u);
    std::vector<uint32_t> written;
    uint32_t moves = 0;
    for (uint32_t tag = 1; tag <= 800; ++tag) {
        const uint16_t spare = r.ftl()->spareUnit;
        const uint32_t x = r.allocate_and_write(tag);
        moves += r.ftl()->spareUnit != spare ? 1 : 0;
        ASSERT_FALSE(::testing::Test::HasFailure()) << "chunk " << tag;
        written.push_back(x);
        if (written.size() > 100) {
            afs_physical_ftl_trim_page(r.ctx(), r.chunk_va(written.front()), 64, 0);
            written.erase(written.begin());
        }
        if (tag % 97 == 0) {
            expect_same_as_walk(r.ctx(), "after reclaims");
        }
    }
    EXPECT_GE(moves, 4u) << "the workload must reclaim";
    for (size_t i = 0; i < written.size(); ++i) {
        ASSERT_EQ(r.read(r.chunk_va(written[i])), afs_test::page_of(800 - written.size() + 1 + i))
            << "chunk " << written[i];
    }
}

}  // namespace
