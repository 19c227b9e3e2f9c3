// Throughput of EFS file writes and reads, and the cost of a block-map switch,
// each with the rate of memcpy over the same bytes measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_util.h"
#include "common/bytes.h"
#include "efs/EFS.h"

namespace {

using quor::bench::cpu_seconds;

constexpr uint32_t kSmallFile = 0;  // 4096 bytes: 4072 in logical block 0, 24 in block 1
constexpr uint32_t kLargeFile = 1;  // 12000 bytes: logical blocks 2, 3 and 4
constexpr uint32_t kTinyFile = 2;   // 16 bytes in logical block 5

// Loads a layout of the default geometry holding the three benchmark files.
void load_bench_layout() {
    const uint16_t places[3][4] = {{0, 0, 0, 4096}, {1, 2, 0, 12000}, {2, 5, 0, 16}};
    std::vector<uint8_t> t(32 + 16 + 40 + 3 * 60, 0);
    quor::store_le32(&t[0], 0x4C425446u);
    quor::store_le32(&t[12], 1);
    quor::store_le32(&t[32], 0x54534645u);
    quor::store_le32(&t[44], 1);
    const uint32_t entry[10] = {7, 88, 3, 180, 2, 7, 3, 16, 100, 1};
    for (int i = 0; i < 10; ++i) {
        quor::store_le32(&t[48 + 4 * i], entry[i]);
    }
    for (int i = 0; i < 3; ++i) {
        quor::store_le16(&t[88 + 60 * i], places[i][0]);
        quor::store_le16(&t[88 + 60 * i + 50], places[i][1]);
        quor::store_le16(&t[88 + 60 * i + 52], places[i][2]);
        quor::store_le16(&t[88 + 60 * i + 54], places[i][3]);
    }
    load_autogen_data(t.data(), 7, static_cast<uint32_t>(t.size()));
}

bool format_region() {
    load_bench_layout();
    return EFS_init(true) == 0;
}

// MB/s of `bytes` per iteration over `seconds`, with memcpy of the same bytes.
void report(benchmark::State &state, size_t bytes, double seconds) {
    const double total = static_cast<double>(bytes) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(total));
    quor::bench::report_throughput(state, total, seconds, bytes);
}

void write_file(benchmark::State &state, uint32_t file, size_t bytes) {
    if (!format_region()) {
        state.SkipWithError("format failed");
        return;
    }
    std::vector<uint8_t> data(bytes, 0x3C);
    const double start = cpu_seconds();
    for (auto _ : state) {
        data[0] = static_cast<uint8_t>(state.iterations());
        if (EFS_write(file, 0, static_cast<uint32_t>(bytes), data.data()) != 0) {
            state.SkipWithError("write failed");
            return;
        }
    }
    report(state, bytes, cpu_seconds() - start);
}

void read_file(benchmark::State &state, uint32_t file, size_t bytes) {
    std::vector<uint8_t> data(bytes, 0x3C);
    if (!format_region() || EFS_write(file, 0, static_cast<uint32_t>(bytes), data.data()) != 0) {
        state.SkipWithError("setup failed");
        return;
    }
    std::vector<uint8_t> out(bytes);
    const double start = cpu_seconds();
    for (auto _ : state) {
        uint32_t count = static_cast<uint32_t>(bytes);
        if (EFS_read(file, 0, &count, out.data()) != 0 || count != bytes) {
            state.SkipWithError("read failed");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    report(state, bytes, cpu_seconds() - start);
}

void BM_WriteFile4KiB(benchmark::State &state) {
    write_file(state, kSmallFile, 4096);
}
void BM_ReadFile4KiB(benchmark::State &state) {
    read_file(state, kSmallFile, 4096);
}
void BM_WriteFileThreeBlocks(benchmark::State &state) {
    write_file(state, kLargeFile, 12000);
}
void BM_ReadFileThreeBlocks(benchmark::State &state) {
    read_file(state, kLargeFile, 12000);
}

// One commit of the unchanged maps with the current block map full (a switch,
// range(0) = 1 when the next block map must be erased first) or with room
// (range(1) = 1: a plain append, for comparison). Bytes: one 4096-byte block.
void BM_BlockMapCommit(benchmark::State &state) {
    const bool dirtyNext = state.range(0) == 1;
    const bool append = state.range(1) == 1;
    const uint8_t tiny[16] = {};
    if (!format_region()) {
        state.SkipWithError("format failed");
        return;
    }
    const uint32_t last = append ? 4064 - 22 * 10 : 4064;
    while (efs_ctx.bme_offset < last) {
        if (EFS_write(kTinyFile, 0, sizeof(tiny), tiny) != 0) {
            state.SkipWithError("fill failed");
            return;
        }
    }
    if (dirtyNext) {
        efs_image[4096 + 100] = 0;
    }
    const std::vector<uint8_t> snapshot(efs_image, efs_image + efs_size);
    std::vector<uint8_t> maps(10);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(efs_image, snapshot.data(), snapshot.size());
        EFS_init(false);
        std::memcpy(maps.data(), efs_ctx.valid_map, 7);
        std::memcpy(maps.data() + 7, efs_ctx.spare_map, 3);
        WorkingBme bme{maps.data(), maps.data() + 7, 0, 0, 0};
        state.ResumeTiming();
        const double start = cpu_seconds();
        const uint32_t st = EFS_commit_BME(&bme, 0, 0);
        seconds += cpu_seconds() - start;
        if (st != 0 || efs_ctx.current_bm != (append ? 0u : 1u)) {
            state.SkipWithError("commit did not behave as expected");
            return;
        }
    }
    report(state, 4096, seconds);
    state.counters["us_per_commit"] =
        seconds * 1e6 / static_cast<double>(state.iterations() == 0 ? 1 : state.iterations());
}

}  // namespace

BENCHMARK(BM_WriteFile4KiB);
BENCHMARK(BM_ReadFile4KiB);
BENCHMARK(BM_WriteFileThreeBlocks);
BENCHMARK(BM_ReadFileThreeBlocks);
BENCHMARK(BM_BlockMapCommit)
    ->ArgNames({"dirty_next", "append"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1});

BENCHMARK_MAIN();
