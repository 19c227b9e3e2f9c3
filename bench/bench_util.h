// Shared measuring helpers of the benchmarks.
//
// Every throughput figure is reported with the rate of memcpy over the same
// number of bytes, measured in the same run and on the same clock (the CPU
// time of the calling thread), so that figures from a loaded machine stay
// comparable: `MB/s`, `memcpy_MB/s` and their ratio `vs_memcpy`.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quor::bench {

// CPU time of the calling thread, in seconds.
inline double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Rate of memcpy, in MB/s, over copies of `bytes` bytes (about 64 MiB in all).
// The destination sits 64 bytes past a page multiple from the source so the
// copy does not suffer from 4 KiB address aliasing.
inline double memcpy_mbps(size_t bytes) {
    bytes = std::max<size_t>(bytes, 1);
    const size_t gap = (bytes + 4095) / 4096 * 4096 + 64;
    std::vector<uint8_t> buffer(gap + bytes, 0x5A);
    uint8_t *src = buffer.data();
    uint8_t *dst = buffer.data() + gap;
    const size_t rounds = std::max<size_t>(16, (size_t{64} << 20) / bytes);
    const double start = cpu_seconds();
    for (size_t i = 0; i < rounds; ++i) {
        src[i % bytes] = static_cast<uint8_t>(i);
        std::memcpy(dst, src, bytes);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    const double seconds = cpu_seconds() - start;
    return static_cast<double>(bytes) * static_cast<double>(rounds) / seconds / 1e6;
}

// Reports `bytes` handled in `seconds`, against memcpy of `unit`-byte copies
// (the size of one operation of the benchmark).
inline void report_throughput(benchmark::State &state, double bytes, double seconds, size_t unit) {
    const double mbps = seconds > 0 ? bytes / seconds / 1e6 : 0;
    const double copy = memcpy_mbps(unit);
    state.counters["MB/s"] = mbps;
    state.counters["memcpy_MB/s"] = copy;
    state.counters["vs_memcpy"] = mbps / copy;
}

}  // namespace quor::bench
