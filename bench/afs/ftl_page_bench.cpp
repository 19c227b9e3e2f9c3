// Throughput of the FTL page operations on a 16-unit partition in memory:
// dynamic page writes (including the reclaims they cause), dynamic page
// reads and bulk reads of data chunks, each as MB/s of page data and as a
// ratio to memcpy of the same bytes measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "afs/AfsFtl.h"
#include "afs/AfsPhysical.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "bench_util.h"

namespace {

constexpr uint32_t kUnits = 16;
constexpr uint32_t kReservedUnits = 4;
constexpr uint32_t kDynamicPages = 256;

struct Volume {
    std::vector<uint8_t> image = std::vector<uint8_t>(kUnits * kFtlUnitSize, 0xFF);
    std::vector<uint32_t> bitmap =
        std::vector<uint32_t>(kReservedUnits * kFtlReservedSlots / 32 + 1);
    AfsContext ctx{};

    Volume() {
        ctx.flashSize = kUnits * kFtlUnitSize;
        ctx.dynamicAreaSize = kDynamicPages * kFtlPageSize;
        ctx.volumeSize = ctx.dynamicAreaSize + kReservedUnits * kFtlReservedBytesPerUnit;
        ctx.chunkCount = static_cast<uint16_t>(kReservedUnits * kFtlReservedSlots);
        ctx.allocationBitmap = bitmap.data();
        ctx.flashImage = image.data();
        afs_physical_attach_handlers(&ctx);
        afs_physical_ftl_init(&ctx, ctx.flashSize, kFtlMountCreate | kFtlMountInitDriver);
        afs_physical_ftl_format(&ctx, 1);
        afs_physical_ftl_init(&ctx, ctx.flashSize, kFtlMountCreate);
        afs_physical_ftl_set_allocation_map(&ctx);
    }
    ~Volume() { afs_physical_ftl_release(&ctx); }
};

using quor::bench::cpu_seconds;
using quor::bench::report_throughput;

void BM_FtlDynamicPageWrite(benchmark::State &state) {
    Volume v;
    uint8_t page[64];
    std::memset(page, 0x3C, sizeof(page));
    uint32_t n = 0;
    const double start = cpu_seconds();
    for (auto _ : state) {
        page[0] = static_cast<uint8_t>(n);
        if (afs_physical_ftl_write_page(&v.ctx, (n % kDynamicPages) * 64, 64, page, 0) != 0) {
            state.SkipWithError("write failed");
            break;
        }
        ++n;
    }
    report_throughput(state, 64.0 * n, cpu_seconds() - start, 64);
}
BENCHMARK(BM_FtlDynamicPageWrite);

void BM_FtlDynamicPageRead(benchmark::State &state) {
    Volume v;
    uint8_t page[64] = {};
    for (uint32_t p = 0; p < kDynamicPages; ++p) {
        afs_physical_ftl_write_page(&v.ctx, p * 64, 64, page, 0);
    }
    uint32_t n = 0;
    const double start = cpu_seconds();
    for (auto _ : state) {
        if (afs_physical_ftl_read_page(&v.ctx, (n % kDynamicPages) * 64, 64, page, 0) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(page);
        ++n;
    }
    report_throughput(state, 64.0 * n, cpu_seconds() - start, 64);
}
BENCHMARK(BM_FtlDynamicPageRead);

// 61 chunks per call: the largest run the file layer batches into its
// 4096-byte work buffer.
void BM_FtlBulkChunkRead(benchmark::State &state) {
    Volume v;
    uint8_t page[64] = {};
    for (int i = 0; i < 122; ++i) {
        uint16_t id = 0;
        uint32_t status = afs_physical_ftl_allocate_page(&v.ctx, &id);
        if (status == kFtlOutOfSlots) {
            status = afs_physical_ftl_allocate_page(&v.ctx, &id);
        }
        if (status != 0) {
            state.SkipWithError("allocation failed");
            return;
        }
        afs_physical_ftl_write_page(&v.ctx, v.ctx.dynamicAreaSize + id * 64u, 64, page, 0);
    }
    const uint32_t first = v.ctx.dynamicAreaSize + 3 * kFtlReservedSlots * 64;  // newest unit
    std::vector<uint8_t> buffer(4096);
    constexpr uint32_t kCount = 61;
    uint64_t calls = 0;
    const double start = cpu_seconds();
    for (auto _ : state) {
        if (afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), first, kCount) != 0) {
            state.SkipWithError("bulk read failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        ++calls;
    }
    report_throughput(state, 64.0 * kCount * static_cast<double>(calls), cpu_seconds() - start,
                      64 * kCount);
}
BENCHMARK(BM_FtlBulkChunkRead);

}  // namespace
