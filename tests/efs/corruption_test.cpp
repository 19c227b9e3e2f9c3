#include <gtest/gtest.h>

#include <random>
#include <set>

#include "efs_fixture.h"

using namespace efs_test;

namespace {

const std::set<uint32_t> kStatuses = {0, 1, 2, 5, 12, 22, 28, 34, 41};

// Damages a copy of the region: bit flips anywhere, garbage in the current
// block map's header and first entries, or a garbage run in a data block.
void damage(std::mt19937 &rng, uint8_t *region, uint32_t size, int mode) {
    std::uniform_int_distribution<uint32_t> byte(0, 255);
    if (mode == 0) {
        for (int i = 0; i < 4; ++i) {
            region[rng() % size] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
    } else if (mode == 1) {
        for (int i = 0; i < 3; ++i) {
            region[(rng() % 2) * 4096 + rng() % 400] = static_cast<uint8_t>(byte(rng));
        }
    } else {
        const uint32_t at = 2 * 4096 + (rng() % 10) * 4096 + (rng() % 2 == 0 ? 0 : rng() % 4064);
        for (uint32_t i = 0; i < 32; ++i) {
            region[at + i] = static_cast<uint8_t>(byte(rng));
        }
    }
}

}  // namespace

TEST_F(EfsRegionTest, RandomDamageIsAnsweredWithAStatusAndNeverEscapesTheRegion) {
    for (uint32_t f : {0u, 1u, 2u, 3u, 4u, 6u}) {
        write_ok(f, pattern(f == 3 ? 6000 : 50, f));
    }
    const std::vector<uint8_t> good = image();
    const uint32_t size = static_cast<uint32_t>(good.size());
    std::vector<uint8_t> arena(size + 2 * 4096, 0xA5);
    uint8_t *region = arena.data() + 4096;
    std::mt19937 rng(20261205);
    int mounted = 0;
    for (int iter = 0; iter < 300; ++iter) {
        std::memcpy(region, good.data(), size);
        damage(rng, region, size, iter % 3);
        const uint32_t st = EFS_init_tools(region);
        ASSERT_TRUE(st == 0 || st == 41) << "iteration " << iter << " mount status " << st;
        if (st == 0) {
            ++mounted;
            for (uint32_t f = 0; f < 18; ++f) {
                uint32_t fileSize = 0;
                ASSERT_EQ(kStatuses.count(EFS_get_file_size(f, &fileSize)), 1u) << "file " << f;
                std::vector<uint8_t> out(8100);  // exact size: ASan flags any overrun
                uint32_t count = static_cast<uint32_t>(out.size());
                const uint32_t rs = EFS_read(f, 0, &count, out.data());
                ASSERT_EQ(kStatuses.count(rs), 1u) << "iteration " << iter << " read status " << rs;
                ASSERT_LE(count, out.size());
            }
            const std::vector<uint8_t> data = pattern(20, iter);
            ASSERT_EQ(kStatuses.count(EFS_write(0, 0, 20, data.data())), 1u)
                << "iteration " << iter;
            ASSERT_EQ(kStatuses.count(EFS_delete(1)), 1u) << "iteration " << iter;
            ASSERT_EQ(kStatuses.count(EFS_idle_reclaim()), 1u) << "iteration " << iter;
        }
        for (uint32_t i = 0; i < 4096; ++i) {
            ASSERT_EQ(arena[i], 0xA5) << "iteration " << iter << " wrote before the region";
            ASSERT_EQ(arena[4096 + size + i], 0xA5) << "iteration " << iter << " wrote past it";
        }
    }
    EXPECT_GT(mounted, 0) << "some damage must still mount, or nothing past the mount was tried";
}
