// Storage interface: open an image, change every NVAR, commit and close, on
// images of 100 to 10,000 NVARs (values of 4 to 256 bytes; one in eight of
// the NVARs in AFS files, so that 10,000 fit the 2048 file slots, one in
// sixteen in EFS files, the rest in the tables only). Reported per NVAR, and as MB/s of changed
// value bytes with the ratio to memcpy of the same bytes measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "imagekit/imagekit.h"
#include "interface/kamfs.h"

namespace {

using imagekit::Bytes;

uint32_t valueSize(size_t i) {
    return 4 + static_cast<uint32_t>((i * 37) % 253);
}

std::string nvarName(size_t i) {
    return "/home/bench/n" + std::to_string(i);
}

imagekit::ImageDescription describe(size_t count) {
    imagekit::SkuSpec sku{1, {}};
    uint16_t afsIndex = 1;  // index 0 holds the deploy marker
    uint16_t efsIndex = 0;
    for (size_t i = 0; i < count; ++i) {
        imagekit::FileSpec f;
        f.name = nvarName(i);
        f.fileno = 0x10000000u + static_cast<uint32_t>(i) + 1;
        f.maxSize = 300;
        f.vendorValue = Bytes(valueSize(i), static_cast<uint8_t>(i));
        if (i % 8 == 0) {
            f.storage = imagekit::kStorageAfs;
            f.fileIndex = afsIndex++;
        } else if (i % 16 == 1) {
            f.storage = imagekit::kStorageEfs;
            f.fileIndex = efsIndex++;
        } else {
            // Table only: never loaded from nor written to a file.
            f.attributes = QUOR_ATTR_TRAILER | QUOR_ATTR_NOT_LOADED;
            f.inFileSystem = false;
        }
        sku.files.push_back(std::move(f));
    }
    imagekit::ImageDescription d;
    d.skus.push_back(sku);
    d.buildSku = 1;
    d.afs.regionSize = 2 * 1024 * 1024 - 8192;  // 255 erase units
    d.afs.fileCount = 2048;
    d.efs.present = true;
    d.efs.spareBlocks = 3;
    return d;
}

void BM_OpenChangeAllCommitClose(benchmark::State &state) {
    const size_t count = static_cast<size_t>(state.range(0));
    imagekit::ImagePieces pristine;
    std::string error;
    if (!imagekit::buildImage(describe(count), pristine, &error)) {
        state.SkipWithError(("image not built: " + error).c_str());
        return;
    }
    std::vector<std::string> names;
    size_t changedBytes = 0;
    for (size_t i = 0; i < count; ++i) {
        names.push_back(nvarName(i));
        changedBytes += valueSize(i + 1);
    }
    imagekit::ImagePieces run;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        run = pristine;
        _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(run);
        state.ResumeTiming();
        const double start = quor::bench::cpu_seconds();
        bool ok = kaMfsQuorInit(&record, nullptr);
        for (size_t i = 0; ok && i < count; ++i) {
            uint8_t *value = nullptr;
            const uint32_t size = valueSize(i + 1);
            ok = kaMfsNvarResize(names[i].c_str(), &value, size);
            if (ok) {
                std::memset(value, static_cast<int>(i + 1), size);
            }
        }
        ok = ok && kaMfsNvarTerm(false);
        seconds += quor::bench::cpu_seconds() - start;
        if (!ok) {
            state.SkipWithError("open, change or commit failed");
            return;
        }
    }
    const double iterations = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(changedBytes * state.iterations()));
    state.counters["time_per_nvar"] = benchmark::Counter(
        static_cast<double>(count),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    quor::bench::report_throughput(state, static_cast<double>(changedBytes) * iterations, seconds,
                                   changedBytes);
}

BENCHMARK(BM_OpenChangeAllCommitClose)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
