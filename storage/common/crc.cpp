#include "common/crc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/crc_clmul.h"
#include "common/crc_slicing.h"

namespace {

// The one definition of each CRC: the register after one byte b from zero.
constexpr uint16_t crc16_entry(uint32_t b) {
    uint32_t v = b << 8;
    for (int i = 0; i < 8; ++i) {
        v = (v & 0x8000u) != 0 ? (v << 1) ^ 0x1021u : v << 1;
    }
    return static_cast<uint16_t>(v);
}

constexpr uint32_t crc32_entry(uint32_t b) {
    uint32_t v = b;
    for (int i = 0; i < 8; ++i) {
        v = (v & 1u) != 0 ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    }
    return v;
}

static_assert(crc16_entry(1) == 0x1021 && crc16_entry(255) == 0x1EF0, "crc16 entries");
static_assert(crc32_entry(1) == 0x77073096u && crc32_entry(255) == 0x2D02EF8Du, "crc32 entries");

constexpr quor::crc_slicing::SliceTables<uint16_t> kCrc16Slices =
    quor::crc_slicing::msb16_tables(crc16_entry);
constexpr quor::crc_slicing::SliceTables<uint32_t> kCrc32Slices =
    quor::crc_slicing::reflected32_tables(crc32_entry);

}  // namespace

// The exported byte tables, entry for entry the same definition.
#define QUOR_T4(f, n) f(n), f((n) + 1), f((n) + 2), f((n) + 3)
#define QUOR_T16(f, n) QUOR_T4(f, n), QUOR_T4(f, (n) + 4), QUOR_T4(f, (n) + 8), QUOR_T4(f, (n) + 12)
#define QUOR_T64(f, n) \
    QUOR_T16(f, n), QUOR_T16(f, (n) + 16), QUOR_T16(f, (n) + 32), QUOR_T16(f, (n) + 48)
#define QUOR_T256(f) QUOR_T64(f, 0u), QUOR_T64(f, 64u), QUOR_T64(f, 128u), QUOR_T64(f, 192u)

extern "C" const uint16_t gCrc16_table[256] = {QUOR_T256(crc16_entry)};
extern "C" const uint32_t gCrc32_table[256] = {QUOR_T256(crc32_entry)};

#undef QUOR_T256
#undef QUOR_T64
#undef QUOR_T16
#undef QUOR_T4

namespace quor::crc {
namespace {

// Below this many bytes the tables are faster than folding plus finishing
// the residue with the tables (bench_common on x86-64: at 64 bytes the tables
// take 14-15 ns and folding 18-22 ns; at 128 bytes 28-29 ns against 22-25).
constexpr std::size_t kClmulMinLength = 128;

uint16_t crc16_table(uint32_t crc, const uint8_t *data, std::size_t length) {
    return static_cast<uint16_t>(
        crc_slicing::msb16_update(kCrc16Slices, crc & 0xFFFFu, data, length));
}

uint32_t crc32_table(uint32_t crc, const uint8_t *data, std::size_t length) {
    return crc_slicing::reflected32_update(kCrc32Slices, crc, data, length);
}

using Fold = void (*)(uint32_t, const uint8_t *, std::size_t, uint8_t *, uint8_t *);

// Folds the whole 16-byte blocks with `fold`, then finishes the residue and
// the last 0..15 bytes with the tables; with `copy` not null the bytes are
// copied there too, the blocks by the fold as it reads them.
uint16_t crc16_folded(Fold fold, uint32_t crc, const uint8_t *data, std::size_t length,
                      uint8_t *copy) {
    uint8_t residue[16];
    const std::size_t blocks = length / 16;
    fold(crc, data, blocks, residue, copy);
    const std::size_t folded = blocks * 16;
    if (copy != nullptr && folded != length) {
        std::memcpy(copy + folded, data + folded, length - folded);
    }
    return crc16_table(crc16_table(0, residue, sizeof residue), data + folded, length - folded);
}

uint32_t crc32_folded(Fold fold, uint32_t crc, const uint8_t *data, std::size_t length,
                      uint8_t *copy) {
    uint8_t residue[16];
    const std::size_t blocks = length / 16;
    fold(crc, data, blocks, residue, copy);
    const std::size_t folded = blocks * 16;
    if (copy != nullptr && folded != length) {
        std::memcpy(copy + folded, data + folded, length - folded);
    }
    return crc32_table(crc32_table(0, residue, sizeof residue), data + folded, length - folded);
}

// The fold `impl` uses, or null for the tables (also when `impl` is not
// available here).
Fold crc16_fold(Implementation impl) {
    if (impl == Implementation::kClmulWide && clmul::supported_wide()) {
        return clmul::fold_crc16_wide;
    }
    if (impl == Implementation::kClmul && clmul::supported()) {
        return clmul::fold_crc16;
    }
    return nullptr;
}

Fold crc32_fold(Implementation impl) {
    if (impl == Implementation::kClmulWide && clmul::supported_wide()) {
        return clmul::fold_crc32_wide;
    }
    if (impl == Implementation::kClmul && clmul::supported()) {
        return clmul::fold_crc32;
    }
    return nullptr;
}

// -1 until the first call picks; then an Implementation.
std::atomic<int> g_active{-1};

Implementation pick_at_first_call() {
    const char *wanted = std::getenv("QUOR_CRC");
    if (wanted != nullptr && std::strcmp(wanted, "table") == 0) {
        return Implementation::kTable;
    }
    if (clmul::supported_wide()) {
        return Implementation::kClmulWide;
    }
    return clmul::supported() ? Implementation::kClmul : Implementation::kTable;
}

}  // namespace

bool available(Implementation impl) {
    switch (impl) {
        case Implementation::kTable:
            return true;
        case Implementation::kClmul:
            return clmul::supported();
        case Implementation::kClmulWide:
            return clmul::supported_wide();
    }
    return false;
}

Implementation active() {
    int current = g_active.load(std::memory_order_relaxed);
    if (current < 0) {
        current = static_cast<int>(pick_at_first_call());
        g_active.store(current, std::memory_order_relaxed);
    }
    return static_cast<Implementation>(current);
}

bool select(Implementation impl) {
    if (!available(impl)) {
        return false;
    }
    g_active.store(static_cast<int>(impl), std::memory_order_relaxed);
    return true;
}

// An implementation that is not available falls back to the tables.
uint16_t crc16_with(Implementation impl, uint32_t crc, const uint8_t *data, std::size_t length) {
    const Fold fold = length < kClmulMinLength ? nullptr : crc16_fold(impl);
    return fold != nullptr ? crc16_folded(fold, crc, data, length, nullptr)
                           : crc16_table(crc, data, length);
}

uint32_t crc32_with(Implementation impl, uint32_t crc, const uint8_t *data, std::size_t length) {
    const Fold fold = length < kClmulMinLength ? nullptr : crc32_fold(impl);
    return fold != nullptr ? crc32_folded(fold, crc, data, length, nullptr)
                           : crc32_table(crc, data, length);
}

uint16_t crc16_copy_with(Implementation impl, uint32_t crc, uint8_t *to, const uint8_t *from,
                         std::size_t length) {
    const Fold fold = length < kClmulMinLength ? nullptr : crc16_fold(impl);
    if (fold != nullptr) {
        return crc16_folded(fold, crc, from, length, to);
    }
    if (length != 0) {
        std::memcpy(to, from, length);
    }
    return crc16_table(crc, to, length);
}

uint32_t crc32_copy_with(Implementation impl, uint32_t crc, uint8_t *to, const uint8_t *from,
                         std::size_t length) {
    const Fold fold = length < kClmulMinLength ? nullptr : crc32_fold(impl);
    if (fold != nullptr) {
        return crc32_folded(fold, crc, from, length, to);
    }
    if (length != 0) {
        std::memcpy(to, from, length);
    }
    return crc32_table(crc, to, length);
}

void crc16_each64_tailed_with(Implementation impl, uint32_t crc, const uint8_t *data,
                              std::size_t stride, std::size_t count, const uint16_t *tails,
                              uint16_t *out) {
    if (impl == Implementation::kClmulWide && clmul::supported_wide()) {
        clmul::crc16_each64_wide(crc, data, stride, count, tails, out);
    } else if (impl != Implementation::kTable && clmul::supported()) {
        clmul::crc16_each64(crc, data, stride, count, tails, out);
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            uint32_t r = crc16_table(crc, data + i * stride, 64);
            if (tails != nullptr) {
                r = crc16_byte(crc16_byte(r, static_cast<uint8_t>(tails[i] >> 8)),
                               static_cast<uint8_t>(tails[i]));
            }
            out[i] = static_cast<uint16_t>(r);
        }
    }
}

void crc16_each64_with(Implementation impl, uint32_t crc, const uint8_t *data, std::size_t stride,
                       std::size_t count, uint16_t *out) {
    crc16_each64_tailed_with(impl, crc, data, stride, count, nullptr, out);
}

std::size_t crc16_first_bad_record_with(Implementation impl, uint32_t crc, const uint8_t *data,
                                        std::size_t stride, std::size_t count,
                                        const uint16_t *numbers, uint16_t first) {
    if (impl == Implementation::kClmulWide && clmul::supported_wide() &&
        clmul::pages_by_matrices()) {
        return clmul::first_bad_record_wide(crc, data, stride, count, numbers, first);
    }
    // The CRCs of a batch, then their compares.
    constexpr std::size_t kBatch = 64;
    uint16_t tails[kBatch];
    uint16_t crcs[kBatch];
    for (std::size_t done = 0; done < count; done += kBatch) {
        const std::size_t n = count - done < kBatch ? count - done : kBatch;
        for (std::size_t i = 0; i < n; ++i) {
            const auto number =
                static_cast<uint16_t>(numbers != nullptr ? numbers[done + i] : first + done + i);
            tails[i] = static_cast<uint16_t>((number << 8) | (number >> 8));  // low byte first
        }
        const uint8_t *batch = data + done * stride;
        crc16_each64_tailed_with(impl, crc, batch, stride, n, tails, crcs);
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t *stored = batch + i * stride + 64;
            if ((stored[0] | stored[1] << 8) != crcs[i]) {
                return done + i;
            }
        }
    }
    return count;
}

std::size_t crc16_first_bad_record(uint32_t crc, const uint8_t *data, std::size_t stride,
                                   std::size_t count, const uint16_t *numbers, uint16_t first) {
    return crc16_first_bad_record_with(active(), crc, data, stride, count, numbers, first);
}

uint16_t crc16(uint32_t crc, const uint8_t *data, std::size_t length) {
    return crc16_with(active(), crc, data, length);
}

void crc16_each64(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                  uint16_t *out) {
    crc16_each64_tailed_with(active(), crc, data, stride, count, nullptr, out);
}

void crc16_each64_tailed(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                         const uint16_t *tails, uint16_t *out) {
    crc16_each64_tailed_with(active(), crc, data, stride, count, tails, out);
}

uint32_t crc32(uint32_t crc, const uint8_t *data, std::size_t length) {
    return crc32_with(active(), crc, data, length);
}

uint16_t crc16_copy(uint32_t crc, uint8_t *to, const uint8_t *from, std::size_t length) {
    return crc16_copy_with(active(), crc, to, from, length);
}

uint32_t crc32_copy(uint32_t crc, uint8_t *to, const uint8_t *from, std::size_t length) {
    return crc32_copy_with(active(), crc, to, from, length);
}

}  // namespace quor::crc
