// Randomized operations checked against an in-memory model of every file,
// with a remount every few hundred operations.
#include <gtest/gtest.h>

#include "afs_model.h"

namespace {

using namespace afs_test;

struct ModelSetup {
    uint32_t flashSize;
    uint32_t files;
    int32_t usedFiles;
    uint32_t maxSize;
    uint32_t pageSize;
};

// Runs `count` random operations; a write may be refused with 28 when the
// volume is full, and then the file keeps its old contents.
void run_against_model(const ModelSetup &s, uint64_t seed, uint32_t count) {
    Volume vol(s.flashSize, s.files);
    ASSERT_EQ(vol.format(), 0u);
    ASSERT_EQ(vol.mount(kAfsDfsMountFlags, s.pageSize), 0u);
    Rng rng(seed);
    Model model;
    uint32_t refused = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const Op op = random_op(rng, model, s.usedFiles, s.maxSize, i + 1);
        const uint32_t status = run(vol, op);
        if (status == kAfsNoSpace && op.kind != OpKind::kDelete) {
            ++refused;
        } else {
            ASSERT_EQ(status, 0u) << "op " << i << ": " << describe(op);
            apply(model, op);
        }
        // Reads at random offsets and lengths.
        const auto it = model.find(op.file);
        if (it != model.end() && !it->second.empty()) {
            const uint32_t size = static_cast<uint32_t>(it->second.size());
            const uint32_t from = rng.below(size + 10);
            int32_t length = static_cast<int32_t>(rng.below(size + 10));
            std::vector<uint8_t> buf(static_cast<size_t>(length) + 1);
            ASSERT_EQ(
                afs_readfile(&vol.ctx(), op.file, static_cast<int32_t>(from), &length, buf.data()),
                0u);
            const uint32_t expected =
                from >= size
                    ? 0
                    : std::min<uint32_t>(size - from, static_cast<uint32_t>(buf.size() - 1));
            ASSERT_EQ(static_cast<uint32_t>(length), expected) << "op " << i << " read at " << from;
            ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + length, it->second.begin() + from))
                << "op " << i << ": read of file " << op.file << " at " << from << " differs";
        }
        if ((i + 1) % 250 == 0) {
            ASSERT_EQ(vol.mount(kAfsDfsMountFlags, s.pageSize), 0u) << "remount after op " << i;
            ASSERT_EQ(check_volume(vol, model, s.usedFiles), "") << "after op " << i;
        }
    }
    ASSERT_EQ(check_volume(vol, model, s.usedFiles), "");
    ::testing::Test::RecordProperty("refused_no_space", static_cast<int>(refused));
}

TEST(AfsModel, RandomOperationsMatchTheModelOnASmallVolume) {
    // 4 units: frequent reclaims, and writes that run into a full volume.
    run_against_model(ModelSetup{4 * 8192, 65, 18, 1400, 64}, 1, 3000);
}

TEST(AfsModel, RandomOperationsMatchTheModelWithLargeFiles) {
    run_against_model(ModelSetup{40 * 8192, 1024, 8, 20000, 64}, 2, 1000);
}

// Cache lines larger than one FTL page, including a size that is not a power
// of two, write back exactly the pages they changed.
TEST(AfsModel, RandomOperationsMatchTheModelWithLargerCachePages) {
    for (uint32_t page : {128u, 192u}) {
        SCOPED_TRACE("cache page " + std::to_string(page));
        run_against_model(ModelSetup{8 * 8192, 128, 16, 3000, page}, page, 800);
    }
}

// Cache pages larger than this volume's 1792-byte dynamic area: the lines
// that reach past it must not hold data chunks (the mount scan once left
// chunks cached as zeros, and later writes copied them into files).
TEST(AfsModel, RandomOperationsMatchTheModelWithCachePagesOfFourKiB) {
    for (uint32_t page : {3008u, 4096u}) {
        SCOPED_TRACE("cache page " + std::to_string(page));
        run_against_model(ModelSetup{8 * 8192, 128, 16, 3000, page}, 3, 800);
    }
}

// Without an allocation bitmap the FTL reads chunk slots as they are, erased
// ones failing: a cache line that read chunk pages would make the mount fail.
TEST(AfsModel, CachePagesPastTheDynamicAreaMountWithoutABitmap) {
    Volume vol(8 * 8192, 128);
    ASSERT_EQ(vol.format(), 0u);
    const std::vector<uint8_t> data = pattern(100, 3, 1);
    ASSERT_EQ(vol.write(3, 0, data), 0u);
    for (uint32_t page : {1024u, 4096u}) {
        ASSERT_EQ(vol.mount(kAfsDfsMountFlags | kAfsNoBitmap, page), 0u) << "cache page " << page;
        EXPECT_EQ(vol.differs(3, data), "") << "cache page " << page;
    }
}

}  // namespace
