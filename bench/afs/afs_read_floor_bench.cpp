// The floor under the AFS file read: the least work any read of N bytes of
// chunk data must do while keeping its checks. The records (64 data bytes and
// the CRC-16 over them and the page number) already sit in memory 66 bytes
// apart, as the flash holds them; every record's CRC is checked with the
// fastest CRC code of this machine and its 64 data bytes are copied to the
// destination. No chain walk, no driver, no cache: what is left of a real
// read above this is the file system's own cost.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "bench_util.h"
#include "common/bytes.h"

namespace {

constexpr uint32_t kBatch = 61;  // the records of one bulk read of the file layer

void BM_AfsReadFloor(benchmark::State &state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    const uint32_t pages = size / kFtlPageSize;
    std::vector<uint8_t> records(size_t{pages} * kFtlRecordSize);
    for (uint32_t i = 0; i < pages; ++i) {
        uint8_t *record = records.data() + size_t{i} * kFtlRecordSize;
        for (uint32_t b = 0; b < kFtlPageSize; ++b) {
            record[b] = static_cast<uint8_t>(i * 7 + b);
        }
        quor::store_le16(record + kFtlPageSize,
                         quor::afs::crc16_of_record(record, static_cast<uint16_t>(i)));
    }
    std::vector<uint8_t> out(size);
    double bytes = 0;
    const double start = quor::bench::cpu_seconds();
    for (auto _ : state) {
        for (uint32_t done = 0; done < pages; done += kBatch) {
            const uint32_t n = pages - done < kBatch ? pages - done : kBatch;
            const uint8_t *batch = records.data() + size_t{done} * kFtlRecordSize;
            if (quor::afs::first_unmatched_record(batch, kFtlRecordSize, n,
                                                  static_cast<uint16_t>(done)) != n) {
                state.SkipWithError("bad record");
                return;
            }
            uint8_t *dest = out.data() + size_t{done} * kFtlPageSize;
            for (uint32_t i = 0; i < n; ++i) {
                std::memcpy(dest + i * kFtlPageSize, batch + i * kFtlRecordSize, kFtlPageSize);
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        bytes += size;
    }
    quor::bench::report_throughput(state, bytes, quor::bench::cpu_seconds() - start, size);
}

BENCHMARK(BM_AfsReadFloor)->Arg(4096)->Arg(262144);

}  // namespace
