// The block-map reading that fsck and `map` share, on regions built byte by
// byte: which block map is current, which entry is newest, which one a mount
// adopts.
#include "efs_block_maps.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "quorstorage/quorstorage.h"
#include "wire.h"

namespace quorstore {
namespace {

constexpr uint32_t kBlock = 4096;
const EfsGeometry kGeometry{2, 2, 1};  // entries of 2 + 1 + 12 = 15 bytes

uint32_t slot(uint32_t k) {
    return 16 + k * kGeometry.entry_size();
}

struct Region {
    Bytes bytes = Bytes(static_cast<size_t>(5) * kBlock, 0xFF);

    uint8_t *at(uint32_t block, uint32_t offset) { return bytes.data() + block * kBlock + offset; }

    void seal(uint8_t *p, uint32_t covered) {
        wire::store_le32(p + covered, EFS_crc32(0, p, covered));
    }

    void header(uint32_t block, uint32_t sequence) {
        uint8_t *h = at(block, 0);
        const uint8_t fixed[12] = {1, 0, 0, 0, 0, 0, 0, 0, 2, 2, 1, 1};
        std::copy(fixed, fixed + 12, h);
        wire::store_le32(h + 4, sequence);
        seal(h, 12);
    }

    // Entry k of a block: valid map {first, first ^ 1}, spare 2.
    void entry(uint32_t block, uint32_t k, uint8_t first = 0) {
        uint8_t *e = at(block, slot(k));
        const uint8_t maps[11] = {first, static_cast<uint8_t>(first ^ 1), 2, 0, 0, 0, 0, 0, 0, 0,
                                  0};
        std::copy(maps, maps + 11, e);
        seal(e, 11);
    }

    void flip(uint32_t block, uint32_t offset) { *at(block, offset) ^= 0x01; }
};

TEST(EfsBlockMaps, ReadsCurrentMapAndEntryAsAMountDoes) {
    struct Case {
        std::string name;
        std::function<void(Region &)> build;
        std::optional<uint32_t> current;
        std::optional<uint32_t> newest;
        std::optional<uint32_t> adopted;
        bool falls_back;
    };
    const uint32_t last_slot = (4095 - 16) / kGeometry.entry_size() - 1;
    const std::vector<Case> cases = {
        {"fresh format: block 0, its first entry",
         [](Region &r) {
             r.entry(0, 0);
             r.header(0, 1);
         },
         0, slot(0), slot(0), false},
        {"the greater sequence wins whatever its index",
         [](Region &r) {
             r.entry(0, 0);
             r.header(0, 6);
             r.entry(1, 0);
             r.header(1, 5);
         },
         0, slot(0), slot(0), false},
        {"equal sequences: the lower index",
         [](Region &r) {
             r.entry(0, 0);
             r.header(0, 6);
             r.entry(1, 0);
             r.entry(1, 1);
             r.header(1, 6);
         },
         0, slot(0), slot(0), false},
        {"sequence 0 never wins",
         [](Region &r) {
             r.entry(1, 0);
             r.header(1, 0);
         },
         std::nullopt, std::nullopt, std::nullopt, false},
        {"a retired block is skipped without damage",
         [](Region &r) {
             std::fill(r.at(0, 0), r.at(0, 16), 0x00);
             r.entry(1, 0);
             r.header(1, 2);
         },
         1, slot(0), slot(0), false},
        {"a damaged header is skipped and is a fall-back",
         [](Region &r) {
             r.entry(0, 0);
             r.header(0, 3);
             r.flip(0, 5);
             r.entry(1, 0);
             r.header(1, 2);
         },
         1, slot(0), slot(0), true},
        {"the newest entry is the one before the first erased slot",
         [](Region &r) {
             r.entry(0, 0);
             r.entry(0, 1);
             r.entry(0, 2, 1);
             r.header(0, 1);
         },
         0, slot(2), slot(2), false},
        {"a newest entry that fails: the one before it",
         [](Region &r) {
             r.entry(0, 0);
             r.entry(0, 1);
             r.entry(0, 2);
             r.flip(0, slot(2) + 1);
             r.header(0, 1);
         },
         0, slot(2), slot(1), true},
        {"the newest and the one before both fail: nothing adopted",
         [](Region &r) {
             r.entry(0, 0);
             r.entry(0, 1);
             r.entry(0, 2);
             r.flip(0, slot(1));
             r.flip(0, slot(2));
             r.header(0, 1);
         },
         0, slot(2), std::nullopt, true},
        {"a failing first entry has none before it",
         [](Region &r) {
             r.entry(0, 0);
             r.flip(0, slot(0) + 3);
             r.header(0, 1);
         },
         0, slot(0), std::nullopt, true},
        {"a full block: the last slot that ends by byte 4095",
         [last_slot](Region &r) {
             for (uint32_t k = 0; k <= last_slot; ++k) {
                 r.entry(0, k);
             }
             r.header(0, 1);
         },
         0, slot(last_slot), slot(last_slot), false},
    };
    for (const Case &c : cases) {
        Region region;
        c.build(region);
        const EfsBlockMaps maps = read_efs_block_maps(region.bytes, kGeometry);
        EXPECT_EQ(maps.headers.size(), 2u) << c.name;
        EXPECT_EQ(maps.current, c.current) << c.name;
        EXPECT_EQ(maps.newest, c.newest) << c.name;
        EXPECT_EQ(maps.adopted, c.adopted) << c.name;
        EXPECT_EQ(maps.falls_back(), c.falls_back) << c.name;
    }
}

TEST(EfsBlockMaps, AdoptedEntryGivesItsMaps) {
    Region region;
    region.entry(0, 0);
    region.entry(0, 1, 1);
    region.header(0, 1);
    const EfsBlockMaps maps = read_efs_block_maps(region.bytes, kGeometry);
    EXPECT_EQ(maps.valid_map, (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(maps.spare_map, (std::vector<uint8_t>{2}));
}

TEST(EfsBlockMaps, RegionShorterThanItsBlockMapsHasNone) {
    const EfsBlockMaps maps = read_efs_block_maps(Bytes(kBlock, 0xFF), kGeometry);
    EXPECT_TRUE(maps.headers.empty());
    EXPECT_FALSE(maps.current);
    EXPECT_FALSE(maps.falls_back());
}

}  // namespace
}  // namespace quorstore
