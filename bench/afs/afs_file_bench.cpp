// AFS file layer on the largest partition that mounts (255 units, 2 MiB minus
// one unit) with 1024 file slots: write and read throughput with the rate of
// memcpy over the same bytes in the same run, mount time of a volume holding
// 1000 files, and the cost of one 64-byte overwrite among 100 files and in a
// full volume. BM_AfsWriteDriverFloor replays the flash driver calls of the
// write alone: the most any write keeping those calls can reach (the calls
// as the write makes them now, and the older traffic with every read-back a
// driver copy).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "bench_util.h"
#include "common/flash_fault.h"

namespace {

constexpr uint32_t kFlash = 255 * 8192;
constexpr uint32_t kFiles = 1024;
constexpr uint32_t kFormatFlags = kAfsDfsMountFlags | kAfsNewHeader | kAfsAllowFormat;

struct Volume {
    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlash, 0xFF);
    std::vector<uint8_t> work = std::vector<uint8_t>(kAfsWorkBufferSize);
    AfsContext ctx{};

    ~Volume() { afs_free_context(&ctx); }
    bool init(uint32_t flags) {
        afs_free_context(&ctx);
        ctx = AfsContext{};
        ctx.workBuffer = work.data();
        return afs_init(&ctx, flash.data(), 64, 10, kFiles, 0, kFlash, flags, 0, 0) == 0;
    }
};

using quor::bench::cpu_seconds;
using quor::bench::report_throughput;

void BM_AfsWrite(benchmark::State &state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    Volume vol;
    if (!vol.init(kFormatFlags)) {
        state.SkipWithError("format failed");
        return;
    }
    std::vector<uint8_t> data(size, 0xA5);
    // Files rotate over as many slots as the volume holds with room left for
    // copy-on-write: 1000 of 64 B, 200 of 4 KiB, 2 of 256 KiB.
    const uint32_t slots = size >= 65536 ? 2 : (size >= 4096 ? 200 : 1000);
    uint32_t i = 0;
    double bytes = 0;
    const double start = cpu_seconds();
    for (auto _ : state) {
        data[0] = static_cast<uint8_t>(i);
        if (afs_writefile(&vol.ctx, static_cast<int32_t>(i % slots), 0, size, data.data(),
                          kAfsWriteTruncate) != 0) {
            state.SkipWithError("write failed");
            return;
        }
        ++i;
        bytes += size;
    }
    report_throughput(state, bytes, cpu_seconds() - start, size);
}

namespace fault = quor::flash_fault;

// One driver call of a recorded write, as replayed: a program's bytes are
// at `data` in the recording's byte store.
struct DriverCall {
    fault::CallKind kind;
    uint32_t address;
    uint32_t length;
    size_t data;
};

// The driver calls of `writes` consecutive writes of BM_AfsWrite's sequence,
// after `warmup` writes that bring the volume to its steady state (both
// slots hold a file, the reclaims run as they do for the rest of the
// benchmark). `first[w]` is where write w's calls start.
struct RecordedWrites {
    std::vector<DriverCall> calls;
    std::vector<uint8_t> bytes;
    std::vector<size_t> first;
    uint32_t longestRead = 0;
};

bool record_writes(Volume &vol, uint32_t size, uint32_t warmup, uint32_t writes, bool lendViews,
                   RecordedWrites *out) {
    std::vector<uint8_t> data(size, 0xA5);
    const uint32_t slots = size >= 65536 ? 2 : (size >= 4096 ? 200 : 1000);
    fault::Guard guard;
    for (uint32_t i = 0; i < warmup + writes; ++i) {
        if (i >= warmup) {
            out->first.push_back(out->calls.size());
            fault::record_calls(true, lendViews);
        }
        data[0] = static_cast<uint8_t>(i);
        if (afs_writefile(&vol.ctx, static_cast<int32_t>(i % slots), 0, size, data.data(),
                          kAfsWriteTruncate) != 0) {
            return false;
        }
        if (i < warmup) {
            continue;
        }
        const std::vector<uint8_t> &bytes = fault::recorded_call_data();
        const size_t base = out->bytes.size();
        out->bytes.insert(out->bytes.end(), bytes.begin(), bytes.end());
        for (const fault::Call &call : fault::recorded_calls()) {
            const auto address = static_cast<uint32_t>(call.place - gpBuffer);
            out->calls.push_back({call.kind, address, call.length, base + call.data});
            if (call.kind == fault::CallKind::kRead) {
                out->longestRead = std::max(out->longestRead, call.length);
            }
        }
    }
    out->first.push_back(out->calls.size());
    return true;
}

// What BM_AfsWriteDriverFloor replays (its second argument).
enum FloorMode : int64_t {
    // Every driver call of the write with each read-back and status read a
    // driver copy (as the write makes them while a read fault is armed or
    // the calls are recorded), the seam on its fast path ...
    kEveryRead = 0,
    // ... and off it (a fault armed that never fires, reads counted), as the
    // power-cut and image tests run it.
    kEveryReadCounted = 1,
    // The driver calls the write makes as it runs unrecorded: programs,
    // erases and the few reads it still makes through the driver (the
    // read-backs and status reads it looks at in place are no calls).
    kCallsNow = 2,
    // The same, each program followed by the compare of its bytes with the
    // flash in place: the least any write keeping every program and every
    // read-back compare can cost.
    kCallsNowCompared = 3,
};

// The in-place compare of a replayed program, one byte without a call.
bool replay_compare(uint32_t address, uint32_t length, const uint8_t *bytes) {
    const uint8_t *flash = gpBuffer + address;
    return length == 1 ? *flash == *bytes : std::memcmp(flash, bytes, length) == 0;
}

// Replays the driver calls of the 256 KiB writes (reads, programs with the
// recorded bytes, erases) through the same driver and fault seam; nothing
// else runs (FloorMode says which calls and how).
void BM_AfsWriteDriverFloor(benchmark::State &state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    const auto mode = static_cast<FloorMode>(state.range(1));
    const bool now = mode == kCallsNow || mode == kCallsNowCompared;
    const bool compared = mode == kCallsNowCompared;
    Volume vol;
    RecordedWrites rec;
    constexpr uint32_t kWarmup = 6;
    constexpr uint32_t kRecorded = 8;
    if (!vol.init(kFormatFlags) || !record_writes(vol, size, kWarmup, kRecorded, now, &rec)) {
        state.SkipWithError("recording failed");
        return;
    }
    std::vector<uint8_t> readBuffer(std::max<uint32_t>(rec.longestRead, 1));
    fault::Guard guard;
    if (mode == kEveryReadCounted) {
        fault::fail_at(~uint64_t{0});
        fault::corrupt_reads(~uint64_t{0}, 1);
    }
    uint32_t w = 0;
    uint32_t failed = 0;
    uint32_t programs = 0;
    double bytes = 0;
    const double start = cpu_seconds();
    for (auto _ : state) {
        for (size_t i = rec.first[w]; i < rec.first[w + 1]; ++i) {
            const DriverCall &call = rec.calls[i];
            if (call.kind == fault::CallKind::kRead) {
                failed |= SpiDrvRead(call.address, call.length, readBuffer.data());
            } else if (call.kind == fault::CallKind::kProgram) {
                const uint8_t *program = rec.bytes.data() + call.data;
                failed |= SpiDrvWrite(call.address, call.length, program);
                if (compared) {
                    failed |= replay_compare(call.address, call.length, program) ? 0u : 1u;
                }
            } else {
                failed |= SpiDrvEraseBlock(call.address);
            }
        }
        benchmark::DoNotOptimize(readBuffer.data());
        w = (w + 1) % kRecorded;
        bytes += size;
    }
    const double seconds = cpu_seconds() - start;
    if (failed != 0) {
        state.SkipWithError("a replayed call failed");
        return;
    }
    for (const DriverCall &call : rec.calls) {
        programs += call.kind == fault::CallKind::kProgram;
    }
    report_throughput(state, bytes, seconds, size);
    state.counters["calls_per_write"] =
        static_cast<double>(rec.calls.size()) / static_cast<double>(kRecorded);
    state.counters["programs_per_write"] =
        static_cast<double>(programs) / static_cast<double>(kRecorded);
}

void BM_AfsRead(benchmark::State &state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    Volume vol;
    std::vector<uint8_t> data(size, 0x3C);
    if (!vol.init(kFormatFlags) || afs_writefile(&vol.ctx, 1, 0, size, data.data(), 0) != 0) {
        state.SkipWithError("setup failed");
        return;
    }
    std::vector<uint8_t> out(size);
    double bytes = 0;
    const double start = cpu_seconds();
    for (auto _ : state) {
        int32_t length = static_cast<int32_t>(size);
        if (afs_readfile(&vol.ctx, 1, 0, &length, out.data()) != 0 ||
            length != static_cast<int32_t>(size)) {
            state.SkipWithError("read failed");
            return;
        }
        benchmark::DoNotOptimize(out.data());
        bytes += size;
    }
    report_throughput(state, bytes, cpu_seconds() - start, size);
}

void BM_AfsMount1000Files(benchmark::State &state) {
    Volume vol;
    if (!vol.init(kFormatFlags)) {
        state.SkipWithError("format failed");
        return;
    }
    std::vector<uint8_t> data(1000, 0x11);
    for (int32_t f = 0; f < 1000; ++f) {
        const auto size = static_cast<uint32_t>(64 + (f * 37) % 937);
        if (afs_writefile(&vol.ctx, f, 0, size, data.data(), 0) != 0) {
            state.SkipWithError("fill failed");
            return;
        }
    }
    const double start = cpu_seconds();
    double mounts = 0;
    for (auto _ : state) {
        if (!vol.init(kAfsDfsMountFlags)) {
            state.SkipWithError("mount failed");
            return;
        }
        mounts += 1;
    }
    state.counters["ms_per_mount"] = (cpu_seconds() - start) / mounts * 1e3;
}

void BM_AfsRewrite64Among100Files(benchmark::State &state) {
    Volume vol;
    std::vector<uint8_t> data(64, 0x42);
    if (!vol.init(kFormatFlags)) {
        state.SkipWithError("format failed");
        return;
    }
    for (int32_t f = 0; f < 100; ++f) {
        if (afs_writefile(&vol.ctx, f, 0, 64, data.data(), 0) != 0) {
            state.SkipWithError("fill failed");
            return;
        }
    }
    uint32_t i = 0;
    const double start = cpu_seconds();
    double writes = 0;
    for (auto _ : state) {
        data[0] = static_cast<uint8_t>(i);
        if (afs_writefile(&vol.ctx, static_cast<int32_t>(i % 100), 0, 64, data.data(), 0) != 0) {
            state.SkipWithError("rewrite failed");
            return;
        }
        ++i;
        writes += 1;
    }
    state.counters["us_per_write"] = (cpu_seconds() - start) / writes * 1e6;
}

void BM_AfsOverwrite64InFullVolume(benchmark::State &state) {
    Volume vol;
    if (!vol.init(kFormatFlags)) {
        state.SkipWithError("format failed");
        return;
    }
    std::vector<uint8_t> data(2048, 0x77);
    int32_t files = 0;
    while (files < static_cast<int32_t>(kFiles) &&
           afs_writefile(&vol.ctx, files, 0, 2048, data.data(), 0) == 0) {
        ++files;
    }
    // The overwrites go to the 2048-byte files, one chunk at a time.
    // Fill the remaining chunks with small files until not even one fits.
    int32_t slots = files;
    while (slots < static_cast<int32_t>(kFiles) &&
           afs_writefile(&vol.ctx, slots, 0, 64, data.data(), 0) == 0) {
        ++slots;
    }
    // One chunk is needed for copy-on-write: free it by deleting one file.
    afs_deletefile(&vol.ctx, slots - 1);
    uint32_t i = 0;
    const double start = cpu_seconds();
    double writes = 0;
    for (auto _ : state) {
        data[0] = static_cast<uint8_t>(i);
        const auto file = static_cast<int32_t>(i % static_cast<uint32_t>(files));
        if (afs_writefile(&vol.ctx, file, 64 * (i % 32), 64, data.data(), 0) != 0) {
            state.SkipWithError("overwrite failed");
            return;
        }
        ++i;
        writes += 1;
    }
    state.counters["us_per_write"] = (cpu_seconds() - start) / writes * 1e6;
    state.counters["files"] = files;
}

BENCHMARK(BM_AfsWrite)->Arg(64)->Arg(4096)->Arg(262144);
BENCHMARK(BM_AfsWriteDriverFloor)
    ->Args({262144, kEveryRead})
    ->Args({262144, kEveryReadCounted})
    ->Args({262144, kCallsNow})
    ->Args({262144, kCallsNowCompared});
BENCHMARK(BM_AfsRead)->Arg(64)->Arg(4096)->Arg(262144);
BENCHMARK(BM_AfsMount1000Files)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AfsRewrite64Among100Files)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AfsOverwrite64InFullVolume)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
