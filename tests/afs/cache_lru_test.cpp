// The page cache on a recording page-operation table: recency order,
// write-back on eviction and flush, invalidation, initialisation states.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "afs/AfsCache.h"
#include "afs/AfsPhysical.h"

namespace {

// A 64 KiB volume in RAM and a log of the page operations, e.g. "r0 w64".
struct FakeFlash {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(65536, 0);
    std::string log;
    uint32_t failWritesAt = 0xFFFFFFFF;  // VA whose write fails
};
FakeFlash *g_fake = nullptr;

void note(char kind, uint32_t va) {
    if (!g_fake->log.empty()) {
        g_fake->log += ' ';
    }
    g_fake->log += kind + std::to_string(va);
}

uint32_t fake_read(AfsContext *, uint32_t va, uint32_t, void *buffer, uint32_t) {
    note('r', va);
    std::memcpy(buffer, g_fake->bytes.data() + va, 64);
    return 0;
}
uint32_t fake_write(AfsContext *, uint32_t va, uint32_t, const void *data, uint32_t) {
    if (va == g_fake->failWritesAt) {
        return 5;
    }
    note('w', va);
    std::memcpy(g_fake->bytes.data() + va, data, 64);
    return 0;
}
uint32_t fake_trim(AfsContext *, uint32_t, uint32_t, uint32_t) {
    return 0;
}
uint32_t fake_none(AfsContext *) {
    return 0;
}
const AfsPhysicalHandler kFakeOps = {fake_read, fake_write, fake_trim, fake_none, fake_none};

class Cache : public ::testing::Test {
  protected:
    void make(uint32_t pageSize, uint16_t lines) {
        ctx.handlers = const_cast<AfsPhysicalHandler *>(&kFakeOps);
        ctx.cachePageSize = static_cast<uint16_t>(pageSize);
        ctx.dynamicAreaSize = 65536;  // the whole fake volume is cached metadata
        ASSERT_EQ(cache_init(&ctx, pageSize, lines), 0u);
    }
    uint8_t *get(uint16_t page) {
        uint8_t *p = nullptr;
        EXPECT_EQ(cache_ptr(&ctx, page, &p), 0u) << "page " << page;
        return p;
    }
    void SetUp() override { g_fake = &flash; }
    void TearDown() override {
        std::free(ctx.cacheDescriptors);
        std::free(ctx.cacheData);
        g_fake = nullptr;
    }
    FakeFlash flash;
    AfsContext ctx{};
};

TEST_F(Cache, LeastRecentlyUsedLineIsEvictedAndWrittenBackFirstWhenDirty) {
    make(64, 2);
    uint8_t *p = get(0);
    get(1);
    get(0);
    p[5] = 0xAB;
    cache_line_written(&ctx, p + 5);
    flash.log.clear();
    get(2);  // evicts page 1 (clean), not page 0
    EXPECT_EQ(flash.log, "r128");
    get(0);
    EXPECT_EQ(flash.log, "r128") << "page 0 is still cached";
    get(1);  // victim: page 2 (clean)
    EXPECT_EQ(flash.log, "r128 r64") << "page 1 was evicted";
    get(3);  // victim: page 0, dirty: written back before the read
    EXPECT_EQ(flash.log, "r128 r64 w0 r192");
    EXPECT_EQ(flash.bytes[5], 0xAB);
}

TEST_F(Cache, FlushWritesLeastRecentlyUsedFirstAndOnlyOnce) {
    make(64, 4);
    for (uint16_t page : {2, 0, 1}) {
        uint8_t *p = get(page);
        p[0] = static_cast<uint8_t>(page + 1);
        cache_line_written(&ctx, p);
    }
    uint8_t *p = get(2);  // page 2 becomes most recently used
    cache_line_written(&ctx, p);
    flash.log.clear();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(flash.log, "w0 w64 w128");
    flash.log.clear();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(flash.log, "") << "a second flush writes nothing";
}

TEST_F(Cache, FailedWriteBackKeepsTheLineDirty) {
    make(64, 2);
    uint8_t *p = get(1);
    p[0] = 7;
    cache_line_written(&ctx, p);
    flash.failWritesAt = 64;
    EXPECT_EQ(cache_flush(&ctx), 5u);
    flash.failWritesAt = 0xFFFFFFFF;
    flash.log.clear();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(flash.log, "w64");
    EXPECT_EQ(flash.bytes[64], 7);
}

TEST_F(Cache, InvalidateDiscardsPendingChanges) {
    make(64, 3);
    flash.bytes[70] = 9;
    uint8_t *p = get(1);
    p[6] = 42;
    cache_line_written(&ctx, p + 6);
    cache_invalidate(&ctx);
    flash.log.clear();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(flash.log, "");
    p = get(1);
    EXPECT_EQ(flash.log, "r64");
    EXPECT_EQ(p[6], 9);
}

TEST_F(Cache, LargeLinesWriteBackOnlyTheirModifiedPages) {
    make(192, 2);
    uint8_t *p = get(1);  // volume bytes 192..383: FTL pages 192, 256, 320
    EXPECT_EQ(flash.log, "r192 r256 r320");
    p[70] = 1;  // inside the page at 256
    cache_line_written(&ctx, p + 70);
    flash.log.clear();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(flash.log, "w256");
    quor::afs::cache_range_written(&ctx, p + 60, 10);
    flash.log.clear();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(flash.log, "w192 w256");
}

// Long random sequences of lookups, writes, flushes and invalidations on
// caches of 1 to 1000 lines against a model of the recency list: every
// lookup answers with the page's latest bytes, and the page operations (which
// pages are read and written back, in which order) are exactly the model's.
TEST_F(Cache, RandomUseMatchesAModelOfTheRecencyList) {
    struct Slot {
        bool valid = false;
        bool dirty = false;
        uint16_t tag = 0;
    };
    for (const uint16_t lines : {1, 3, 10, 61, 1000}) {
        for (const uint32_t pages : {uint32_t{lines} + 3, std::min(4u * lines, 1024u)}) {
            SCOPED_TRACE(std::to_string(lines) + " lines, " + std::to_string(pages) + " pages");
            TearDown();
            SetUp();
            ctx = AfsContext{};
            flash = FakeFlash{};
            make(64, lines);
            std::vector<Slot> model(lines);  // most recently used first
            std::vector<uint8_t> latest(pages, 0);
            uint8_t stamp = 0;
            uint32_t seed = 12345u + lines + pages;
            const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
            for (int op = 0; op < 4000; ++op) {
                flash.log.clear();
                std::string expected;
                const auto expect = [&expected](char kind, uint32_t va) {
                    expected += (expected.empty() ? "" : " ") + (kind + std::to_string(va));
                };
                const uint32_t what = next() % 100;
                if (what < 2) {
                    cache_invalidate(&ctx);
                    for (Slot &slot : model) {
                        slot.valid = false;
                        if (slot.dirty) {
                            slot.dirty = false;
                        }
                    }
                    // Pending bytes are gone: the flash has the latest again.
                    for (uint32_t page = 0; page < pages; ++page) {
                        latest[page] = flash.bytes[64 * page];
                    }
                    continue;
                }
                if (what < 5) {
                    ASSERT_EQ(cache_flush(&ctx), 0u);
                    for (auto slot = model.rbegin(); slot != model.rend(); ++slot) {
                        if (slot->valid && slot->dirty) {
                            expect('w', 64u * slot->tag);
                            slot->dirty = false;
                        }
                    }
                    ASSERT_EQ(flash.log, expected) << "flush, op " << op;
                    continue;
                }
                const auto page = static_cast<uint16_t>(next() % pages);
                auto at = std::find_if(model.begin(), model.end(), [page](const Slot &slot) {
                    return slot.valid && slot.tag == page;
                });
                if (at == model.end()) {
                    at = model.end() - 1;
                    if (at->valid && at->dirty) {
                        expect('w', 64u * at->tag);
                    }
                    expect('r', 64u * page);
                    *at = Slot{true, false, page};
                }
                std::rotate(model.begin(), at, at + 1);
                uint8_t *p = get(page);
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(flash.log, expected) << "page " << page << ", op " << op;
                ASSERT_EQ(p[0], latest[page]) << "page " << page << ", op " << op;
                if (what < 40) {
                    p[0] = latest[page] = ++stamp;
                    cache_line_written(&ctx, p);
                    model.front().dirty = true;
                }
            }
        }
    }
}

TEST_F(Cache, InitRefusesHalfBuiltStateAndFlushesAnOldCache) {
    make(64, 2);
    uint8_t *p = get(0);
    p[1] = 3;
    cache_line_written(&ctx, p);
    flash.log.clear();
    ASSERT_EQ(cache_init(&ctx, 64, 4), 0u);
    EXPECT_EQ(flash.log, "w0") << "re-initialisation flushes first";
    EXPECT_EQ(ctx.cacheLineCount, 4);
    EXPECT_EQ(cache_init(&ctx, 0, 4), 22u) << "page size 0";
    EXPECT_EQ(cache_init(&ctx, 64, 0), 22u) << "no lines";
    void *descriptors = ctx.cacheDescriptors;
    ctx.cacheDescriptors = nullptr;
    EXPECT_EQ(cache_init(&ctx, 64, 2), 99u) << "storage without descriptors";
    ctx.cacheDescriptors = descriptors;
    uint8_t *data = ctx.cacheData;
    ctx.cacheData = nullptr;
    EXPECT_EQ(cache_init(&ctx, 64, 2), 99u) << "descriptors without storage";
    ctx.cacheData = data;
}

}  // namespace
