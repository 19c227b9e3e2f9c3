// FTL format bytes and mount decisions.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "afs/AfsCrc.h"
#include "afs/AfsFtlReclaim.h"
#include "afs_test_util.h"
#include "common/bytes.h"

namespace {

using afs_test::FtlRegion;
using afs_test::Geometry;

constexpr uint32_t kMagic = 0xAA557887;

// Writes a unit header; the checksum is computed over `checksumMagic`.
void put_header(FtlRegion &r, uint32_t unit, uint32_t magic, uint32_t seq, uint32_t erase,
                uint16_t spareAtWrite, uint16_t base, uint8_t commit,
                uint32_t checksumMagic = kMagic) {
    uint8_t *h = r.unit(unit);
    quor::store_le32(h, checksumMagic);
    quor::store_le32(h + 4, seq);
    quor::store_le32(h + 8, erase);
    quor::store_le16(h + 12, spareAtWrite);
    quor::store_le16(h + 14, base);
    h[16] = static_cast<uint8_t>(crc8(h, 16));
    h[17] = commit;
    quor::store_le32(h, magic);
}

// Writes committed dynamic slots for `pages` from slot 0 of `unit`, chained
// as the writer does, each with its commit mark.
void put_slots(FtlRegion &r, uint32_t unit, const std::vector<uint16_t> &pages) {
    uint8_t *u = r.unit(unit);
    uint16_t last = 0;
    for (uint32_t k = 0; k < pages.size(); ++k) {
        quor::store_le16(u + 18 + 2 * k,
                         static_cast<uint16_t>(pages[k] ^ quor::afs::crc14_of_page(last)));
        last = pages[k];
        uint8_t data[64];
        afs_test::fill_page(data, pages[k] + 1000 * k);
        std::memcpy(u + 260 + 66 * k, data, 64);
        quor::store_le16(u + 260 + 66 * k + 64, quor::afs::crc16_of_record(data, pages[k]));
        u[21 + 2 * k] = 0x7F;
    }
}

TEST(FtlFormat, WritesCommittedHeadersReservedBasesAndASpare) {
    FtlRegion r(Geometry::of(8, 2));
    ASSERT_EQ(r.format_and_mount(), 0u);
    for (uint32_t i = 0; i < 8; ++i) {
        const uint8_t *h = r.unit(i);
        uint8_t check[16];
        std::memcpy(check, h, 16);
        quor::store_le32(check, kMagic);
        EXPECT_EQ(quor::load_le32(h), i == 7 ? 0u : kMagic) << "unit " << i;
        EXPECT_EQ(quor::load_le32(h + 4), i + 1) << "unit " << i;
        EXPECT_EQ(quor::load_le32(h + 8), 1u) << "unit " << i;
        EXPECT_EQ(quor::load_le16(h + 12), i + 1) << "unit " << i;
        const uint16_t base = i == 5 ? 64 : i == 6 ? (7808 + 4096) / 64 : 0;
        EXPECT_EQ(quor::load_le16(h + 14), base) << "unit " << i;
        EXPECT_EQ(h[16], crc8(check, 16)) << "unit " << i;
        EXPECT_EQ(h[17], 0x00) << "unit " << i;
        for (uint32_t b = 18; b < kFtlUnitSize; ++b) {
            ASSERT_EQ(h[b], 0xFF) << "unit " << i << " byte " << b;
        }
    }
    EXPECT_EQ(r.ftl()->firstReservedUnit, 5);
    EXPECT_EQ(r.ftl()->euInfo[5].reservedBase, 64);
    EXPECT_EQ(r.ftl()->allocNext, 122u);  // first slot of the newest reserved unit
}

TEST(FtlMount, FreshSixteenUnitPartitionWritesIntoUnitZero) {
    FtlRegion r(Geometry::of(16, 0));
    ASSERT_EQ(r.format_and_mount(), 0u);
    EXPECT_EQ(r.ftl()->writeUnit, 0u);
    EXPECT_EQ(r.ftl()->spareUnit, 15);
    EXPECT_EQ(r.ftl()->maxSequence, 15u);
    for (uint32_t i = 0; i < 15; ++i) {
        EXPECT_EQ(r.ftl()->euInfo[i].invalidSlots, 120) << "unit " << i;
        EXPECT_EQ(r.ftl()->euInfo[i].freeSlots, 1) << "unit " << i;
    }
}

TEST(FtlMount, LaterCopyOfAPageSupersedesTheEarlierOne) {
    FtlRegion r(Geometry::of(8, 0));
    ASSERT_EQ(r.format_and_mount(), 0u);
    put_slots(r, 0, {5, 5, 7});
    ASSERT_EQ(r.mount(), 0u);
    const FtlControl *c = r.ftl();
    EXPECT_EQ(c->pageMap[2 * 5], 0);
    EXPECT_EQ(c->pageMap[2 * 5 + 1], 1);
    EXPECT_EQ(c->pageMap[2 * 7 + 1], 2);
    EXPECT_EQ(c->euInfo[0].invalidSlots, 1 + 117);
    EXPECT_EQ(c->writeSlot, 3u);
    EXPECT_EQ(c->lastPage, 7);
}

TEST(FtlMount, TornSlotAndTheSlotAfterItAreSkipped) {
    FtlRegion r(Geometry::of(8, 0));
    ASSERT_EQ(r.format_and_mount(), 0u);
    put_slots(r, 0, {1, 2, 3, 4, 9});
    r.unit(0)[21 + 2 * 4] = 0xFF;  // slot 4 written but never committed
    ASSERT_EQ(r.mount(), 0u);
    EXPECT_EQ(r.ftl()->writeSlot, 6u);
    EXPECT_EQ(r.ftl()->euInfo[0].invalidSlots, 116);
    EXPECT_EQ(r.ftl()->lastPage, 4);
    EXPECT_EQ(r.ftl()->pageMap[2 * 9 + 1], 0xFF);
    // The next write continues the chain and survives a remount.
    ASSERT_EQ(r.write(9 * 64, 77), 0u);
    ASSERT_EQ(r.mount(), 0u);
    EXPECT_EQ(r.read(9 * 64), afs_test::page_of(77));
}

// Unit 7 holds a reclaim target whose commit byte is still 0xFF, naming unit
// `spareAtWrite` as the spare it was written with; `victimInvalidated` clears
// unit 3's magic as a finished reclaim of unit 3 does.
void put_open_unit(FtlRegion &r, bool victimInvalidated, uint16_t spareAtWrite) {
    put_header(r, 7, kMagic, 8, 2, spareAtWrite, 0, 0xFF);
    if (victimInvalidated) {
        quor::store_le32(r.unit(3), 0);
    }
}

TEST(FtlMount, RefusesDamagedOrImpossibleVolumes) {
    struct Case {
        const char *what;
        uint32_t dynamicBytes;
        void (*damage)(FtlRegion &);
    };
    const Case cases[] = {
        {"a second unit without a valid header", 4096, [](FtlRegion &r) { r.unit(2)[16] ^= 1; }},
        {"page 10 outside a 10-page dynamic area", 640,
         [](FtlRegion &r) { put_slots(r, 0, {10}); }},
        {"newest unit names another spare", 4096,
         [](FtlRegion &r) { put_header(r, 6, kMagic, 7, 1, 3, 0, 0); }},
        {"open unit naming another spare", 4096, [](FtlRegion &r) { put_open_unit(r, true, 2); }},
        {"a second open unit", 4096,
         [](FtlRegion &r) {
             put_open_unit(r, true, 3);
             r.unit(5)[17] = 0xFF;
         }},
    };
    for (const Case &c : cases) {
        FtlRegion r(Geometry::of(8, 0, c.dynamicBytes));
        ASSERT_EQ(r.format_and_mount(), 0u) << c.what;
        c.damage(r);
        EXPECT_EQ(r.mount_only(), kFtlIoError) << c.what;
    }
    for (uint32_t units : {256u, 257u}) {
        FtlRegion r(Geometry::of(units, 0));
        EXPECT_EQ(r.mount_only(), kFtlIoError) << units << " units";
    }
}

TEST(FtlMount, LegacyMagicsAreAcceptedWithTheirChecksumRules) {
    FtlRegion r(Geometry::of(8, 0));
    ASSERT_EQ(r.format_and_mount(), 0u);
    put_header(r, 1, 0x82416801, 2, 1, 2, 0, 0, 0x82416801);
    put_header(r, 2, 0xAA050887, 3, 1, 3, 0, 0);
    EXPECT_EQ(r.mount(), 0u);
    put_header(r, 2, 0xAA050887, 3, 1, 3, 0, 0, 0xAA050887);  // wrong checksum rule
    EXPECT_EQ(r.mount_only(), kFtlIoError);
}

TEST(FtlMount, ErasedSpareGetsTheMeanEraseCount) {
    FtlRegion r(Geometry::of(8, 0));
    ASSERT_EQ(r.format_and_mount(), 0u);
    for (uint32_t i = 0; i < 7; ++i) {
        put_header(r, i, kMagic, i + 1, 10 * (i + 1), static_cast<uint16_t>(i + 1), 0, 0);
    }
    std::memset(r.unit(7), 0xFF, kFtlUnitSize);
    ASSERT_EQ(r.mount(), 0u);
    EXPECT_EQ(r.ftl()->spareUnit, 7);
    EXPECT_EQ(r.ftl()->euInfo[7].eraseCount, 40u);  // (10 + ... + 70) / 7
}

TEST(FtlMount, OpenUnitBecomesTheSpareOrCompletesItsReclaimAtTheFirstWrite) {
    {
        FtlRegion r(Geometry::of(8, 0));  // the reclaim of unit 3 never finished
        ASSERT_EQ(r.format_and_mount(), 0u);
        put_open_unit(r, false, 3);
        ASSERT_EQ(r.mount(), 0u);
        EXPECT_EQ(r.ftl()->spareUnit, 7);
        EXPECT_EQ(r.ftl()->openUnitPending, 0);
    }
    FtlRegion r(Geometry::of(8, 0));
    ASSERT_EQ(r.format_and_mount(), 0u);
    put_open_unit(r, true, 3);
    const std::vector<uint8_t> before = r.image();
    ASSERT_EQ(r.mount(), 0u);
    EXPECT_EQ(r.image(), before) << "mount wrote to flash";
    EXPECT_EQ(r.ftl()->spareUnit, 3);
    EXPECT_EQ(r.ftl()->maxSequence, 8u);
    ASSERT_EQ(r.write(0, 5), 0u);
    EXPECT_EQ(r.unit(7)[17], 0x00);
    // A reclaim now moves the spare; the volume must still mount.
    ASSERT_EQ(quor::afs::_reclaim_eu(r.ctx(), 1, quor::afs::ReclaimMode::Reclaim), kFtlOk);
    EXPECT_EQ(r.mount(), 0u);
}

// A reclaim's header program cut before its checksum byte leaves 0xFF from
// the cut on; in one case of 256 the checksum byte (0xFF) matches the torn
// bytes, and the mount sees a valid open unit beside an intact victim. The
// work is dropped and the unit is the spare, but its erase count and
// sequence are torn: the next reclaim into it must still write a header
// that the mount after it accepts. For each cut offset from 5 on (a shorter
// prefix leaves no known magic), the low byte of the sequence is chosen so
// that the checksum matches.
TEST(FtlMount, TornHeaderWhoseChecksumMatchesByChanceIsDroppedAndItsUnitReused) {
    for (uint32_t cut = 5; cut <= 16; ++cut) {
        FtlRegion r(Geometry::of(8, 0));
        ASSERT_EQ(r.format_and_mount(), 0u);
        for (uint32_t p = 0; p < 8; ++p) {
            ASSERT_EQ(r.write(p * 64, p + 1), 0u);
        }
        uint8_t torn[16] = {};
        bool matched = false;
        for (uint32_t low = 0; low < 256 && !matched; ++low) {
            uint8_t full[16];
            quor::store_le32(full, kMagic);
            quor::store_le32(full + 4, 0x900 + low);
            quor::store_le32(full + 8, 3);
            quor::store_le16(full + 12, 3);
            quor::store_le16(full + 14, 0);
            std::memset(torn, 0xFF, sizeof(torn));
            std::memcpy(torn, full, cut);
            matched = crc8(torn, 16) == 0xFF;
        }
        ASSERT_TRUE(matched) << "cut " << cut;
        std::memset(r.unit(7), 0xFF, kFtlUnitSize);  // the reclaim erased the spare first
        std::memcpy(r.unit(7), torn, sizeof(torn));
        ASSERT_EQ(r.mount(), 0u) << "cut " << cut;
        EXPECT_EQ(r.ftl()->spareUnit, 7) << "cut " << cut;
        EXPECT_EQ(r.ftl()->euInfo[7].eraseCount, 1u) << "cut " << cut;  // the mean
        EXPECT_EQ(quor::afs::_reclaim_eu(r.ctx(), 0, quor::afs::ReclaimMode::Reclaim), kFtlOk)
            << "cut " << cut;
        ASSERT_EQ(r.mount(), 0u) << "cut " << cut;
        for (uint32_t p = 0; p < 8; ++p) {
            EXPECT_EQ(r.read(p * 64), afs_test::page_of(p + 1)) << "cut " << cut << " page " << p;
        }
    }
}

TEST(FtlMount, DataAreaSizeFollowsTheUnitCount) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0, 0},         {1, 0},          {2, 0},          {4, 2 * 7808},
        {11, 9 * 7808}, {12, 10 * 7808}, {24, 21 * 7808}, {255, 233 * 7808}};
    for (const auto &[units, bytes] : cases) {
        AfsContext ctx{};
        ctx.flashSize = units * kFtlUnitSize;
        EXPECT_EQ(afs_physical_ftl_get_data_vas(&ctx), bytes) << units << " units";
    }
}

TEST(FtlFormat, PartitionOffsetIsAddedToEveryAddress) {
    FtlRegion r(Geometry::of(10, 1));
    r.ctx()->flashOffset = 2 * kFtlUnitSize;  // partition = units 2..9 of the image
    r.ctx()->flashSize = 8 * kFtlUnitSize;
    ASSERT_EQ(r.format_and_mount(), 0u);
    ASSERT_EQ(r.write(3 * 64, 42), 0u);
    for (uint32_t b = 0; b < 2 * kFtlUnitSize; ++b) {
        ASSERT_EQ(r.image()[b], 0xFF) << "byte " << b << " before the partition";
    }
    EXPECT_EQ(quor::load_le32(r.unit(2) + 4), 1u) << "sequence of the partition's unit 0";
    ASSERT_EQ(r.mount(), 0u);
    EXPECT_EQ(r.read(3 * 64), afs_test::page_of(42));
}

}  // namespace
