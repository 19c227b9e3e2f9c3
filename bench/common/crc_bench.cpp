// The CRCs of both file systems by implementation (tables, carry-less
// folding on 128-bit and on 512-bit registers) and length, with the rate of memcpy over the same
// bytes.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_util.h"
#include "common/crc.h"

namespace {

using quor::crc::Implementation;

template <bool Crc32>
void BM_Crc(benchmark::State &state) {
    const auto impl = static_cast<Implementation>(state.range(0));
    const auto length = static_cast<size_t>(state.range(1));
    if (!quor::crc::available(impl)) {
        state.SkipWithError("not available on this CPU");
        return;
    }
    std::vector<uint8_t> data(length, 0x5A);
    uint32_t crc = 0;
    double bytes = 0;
    const double start = quor::bench::cpu_seconds();
    for (auto _ : state) {
        crc = Crc32 ? quor::crc::crc32_with(impl, crc, data.data(), length)
                    : quor::crc::crc16_with(impl, crc, data.data(), length);
        benchmark::DoNotOptimize(crc);
        bytes += static_cast<double>(length);
    }
    quor::bench::report_throughput(state, bytes, quor::bench::cpu_seconds() - start, length);
}

void lengths(benchmark::internal::Benchmark *b) {
    // impl: 0 tables, 1 clmul, 2 clmul on 512-bit registers.
    b->ArgNames({"impl", "bytes"});
    for (int impl : {0, 1, 2}) {
        for (int length : {64, 128, 256, 1024, 4076, 65536}) {
            b->Args({impl, length});
        }
    }
}

// CRC-16 of many 64-byte pieces 66 bytes apart (the AFS page records): the
// figure per piece is what the AFS checks cost per page. Tailed: each piece
// continued over its two tail bytes (the page number), as the AFS reads do.
template <bool kTailed>
void BM_Crc16Each64(benchmark::State &state) {
    const auto impl = static_cast<Implementation>(state.range(0));
    const auto count = static_cast<size_t>(state.range(1));
    if (!quor::crc::available(impl)) {
        state.SkipWithError("not available on this CPU");
        return;
    }
    std::vector<uint8_t> data(count * 66, 0x5A);
    std::vector<uint16_t> tails(count);
    for (size_t i = 0; i < count; ++i) {
        tails[i] = static_cast<uint16_t>(i << 8);
    }
    std::vector<uint16_t> out(count);
    double bytes = 0;
    const double start = quor::bench::cpu_seconds();
    for (auto _ : state) {
        if (kTailed) {
            quor::crc::crc16_each64_tailed_with(impl, 0xFFFF, data.data(), 66, count, tails.data(),
                                                out.data());
        } else {
            quor::crc::crc16_each64_with(impl, 0xFFFF, data.data(), 66, count, out.data());
        }
        benchmark::DoNotOptimize(out.data());
        bytes += 64.0 * static_cast<double>(count);
    }
    const double seconds = quor::bench::cpu_seconds() - start;
    quor::bench::report_throughput(state, bytes, seconds, 64 * count);
    state.counters["ns_per_piece"] = seconds * 1e9 * 64.0 / bytes;
}

BENCHMARK(BM_Crc<false>)->Name("BM_Crc16")->Apply(lengths);
BENCHMARK(BM_Crc16Each64<false>)
    ->Name("BM_Crc16Each64")
    ->ArgNames({"impl", "pieces"})
    ->ArgsProduct({{0, 1, 2}, {1, 8, 61}});
BENCHMARK(BM_Crc16Each64<true>)
    ->Name("BM_Crc16Each64Tailed")
    ->ArgNames({"impl", "pieces"})
    ->ArgsProduct({{1, 2}, {61}});
BENCHMARK(BM_Crc<true>)->Name("BM_Crc32")->Apply(lengths);

}  // namespace

BENCHMARK_MAIN();
