// Speed of the configuration file store on stores of N files: taking in an
// FCS buffer (entries in scrambled name order), listing every name, and
// flushing back. Throughput counts the FCS buffer's bytes; vs_memcpy is the
// ratio to a plain memcpy of the same bytes measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_util.h"
#include "fcs/FCS.h"
#include "tests/fcs/fcs_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A selected table of `n` files and an FCS buffer holding all of them (payloads
// 0 to 31 bytes), entries in the table's scrambled order.
struct Store {
    explicit Store(uint32_t n) {
        const auto files = fcs_fixture::numbered_files(n);
        table = fcs_fixture::file_table({{1, files}});
        std::vector<fcs_fixture::FcsFile> stored;
        for (const auto &f : files) {
            stored.push_back({f.fileno, Bytes(f.fileno % 32, static_cast<uint8_t>(f.fileno))});
        }
        buffer = fcs_fixture::fcs_buffer(stored);
        if (load_file_table(table.data(), 1, static_cast<uint32_t>(table.size())) != 0) {
            buffer.clear();
        }
    }
    uint32_t size() const { return static_cast<uint32_t>(buffer.size()); }
    Bytes table;
    Bytes buffer;
};

// Runs `step` once per iteration and reports, over the thread CPU time of
// the loop: MB/s of the FCS buffer's `bytes` with memcpy of the same bytes,
// and files handled per second.
template <class Step>
void run_timed(benchmark::State &state, size_t bytes, Step step) {
    const double start = quor::bench::cpu_seconds();
    for (auto _ : state) {
        step();
    }
    const double seconds = quor::bench::cpu_seconds() - start;
    const double iterations = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    quor::bench::report_throughput(state, static_cast<double>(bytes) * iterations, seconds, bytes);
    state.counters["files/s"] = static_cast<double>(state.range(0)) * iterations / seconds;
}

void BM_Load(benchmark::State &state) {
    Store store(static_cast<uint32_t>(state.range(0)));
    run_timed(state, store.buffer.size(), [&] {
        FcsHandle *handle = nullptr;
        if (createHandleFromStructure(&handle, store.buffer.data(), store.size()) != 0) {
            state.SkipWithError("buffer refused");
            return;
        }
        closeHandle(&handle);
    });
}

void BM_List(benchmark::State &state) {
    Store store(static_cast<uint32_t>(state.range(0)));
    FcsHandle *handle = nullptr;
    if (createHandleFromStructure(&handle, store.buffer.data(), store.size()) != 0) {
        state.SkipWithError("buffer refused");
        return;
    }
    char name[64];
    run_timed(state, store.buffer.size(), [&] {
        uint32_t count = 0;
        for (uint32_t rc = getFirstFileInRoot(handle, name); rc == 0;
             rc = getNextFile(handle, name)) {
            ++count;
        }
        benchmark::DoNotOptimize(count);
    });
    closeHandle(&handle);
}

void BM_Flush(benchmark::State &state) {
    Store store(static_cast<uint32_t>(state.range(0)));
    FcsHandle *handle = nullptr;
    if (createHandleFromStructure(&handle, store.buffer.data(), store.size()) != 0) {
        state.SkipWithError("buffer refused");
        return;
    }
    Bytes out(store.buffer.size());
    run_timed(state, store.buffer.size(), [&] {
        uint32_t size = 0;
        flush(handle, nullptr, &size);
        flush(handle, out.data(), &size);
        benchmark::DoNotOptimize(out.data());
    });
    closeHandle(&handle);
}

// For comparison: the same files added one by one with addNewFile, as a
// caller building a store does. Each add walks the file table (no index is
// kept across calls), so this grows with files x table entries.
void BM_AddOneByOne(benchmark::State &state) {
    Store store(static_cast<uint32_t>(state.range(0)));
    const auto files = fcs_fixture::numbered_files(static_cast<uint32_t>(state.range(0)));
    std::vector<Bytes> blobs;
    for (const auto &f : files) {
        blobs.push_back(fcs_fixture::blob(f.fileno, Bytes(f.fileno % 32, 1)));
    }
    run_timed(state, store.buffer.size(), [&] {
        FcsHandle *handle = nullptr;
        createHandle(&handle);
        for (size_t i = 0; i < files.size(); ++i) {
            addNewFile(handle, "", files[i].name.c_str(), blobs[i].data(),
                       static_cast<uint16_t>(blobs[i].size()), false);
        }
        closeHandle(&handle);
    });
}

BENCHMARK(BM_Load)->Arg(100)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_List)->Arg(100)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Flush)->Arg(100)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddOneByOne)->Arg(100)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
