// Flash access of the AFS FTL. See AfsFtlFlash.h.
#include "afs/AfsFtlFlash.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "afs/AfsCrc.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/bytes.h"

namespace quor::afs::ftl {

namespace {

// Equality of two short byte ranges, sixteen bytes at a time: the
// read-backs are mostly of one byte or one 66-byte record, where a call of
// memcmp costs more than the comparison. The pieces are taken from the back
// (n - 16, n - 32, ...) and the bytes left at the front one by one: right
// after a program, the emulated flash's last bytes were stored sixteen at a
// time from the back (flash_fault's move of up to 128 bytes), so each piece
// loads from one store that the CPU can forward.
bool same_bytes(const uint8_t *a, const uint8_t *b, uint32_t n) {
#if defined(__SSE2__)
    __m128i diff = _mm_setzero_si128();
    auto piece = [&](uint32_t at) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + at));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + at));
        diff = _mm_or_si128(diff, _mm_xor_si128(x, y));
    };
#else
    uint64_t diff[2] = {0, 0};
    auto piece = [&](uint32_t at) {
        uint64_t x[2];
        uint64_t y[2];
        std::memcpy(x, a + at, 16);
        std::memcpy(y, b + at, 16);
        diff[0] |= x[0] ^ y[0];
        diff[1] |= x[1] ^ y[1];
    };
#endif
    uint32_t front = n;
    for (; front >= 16; front -= 16) {
        piece(front - 16);
    }
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < front; ++i) {
        bytes |= static_cast<uint32_t>(a[i] ^ b[i]);
    }
#if defined(__SSE2__)
    return bytes == 0 && _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) == 0xFFFF;
#else
    return bytes == 0 && (diff[0] | diff[1]) == 0;
#endif
}

// The read-back buffer: writes up to this length are read back in one read.
constexpr uint32_t kReadBack = 256;

// One read-and-compare attempt over a write of `length` bytes: 1 same, 0
// different, -1 the read failed.
int read_back_once(uint32_t address, uint32_t length, const uint8_t *expected) {
    uint8_t back[kReadBack];
    for (uint32_t done = 0; done < length; done += kReadBack) {
        const uint32_t n = length - done < kReadBack ? length - done : kReadBack;
        if (SpiDrvRead(address + done, n, back) != 0) {
            return -1;
        }
        if (!same_bytes(back, expected + done, n)) {
            return 0;
        }
    }
    return 1;
}

}  // namespace

// One driver write, then up to 7 read-and-compare attempts, each reading the
// written range back in pieces of up to 256 bytes. 0 or 5. While the driver
// lends a view of the flash (no read fault armed, no calls recorded) the
// first attempt compares the flash bytes in place: the same bytes a driver
// read would deliver, without the copy; a mismatch sends the other six
// attempts through the driver as before.
uint32_t verified_write(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t length,
                        const void *data) {
    const uint32_t address = unit_address(ctx, unit, offset);
    if (SpiDrvWrite(address, length, data) != 0) {
        return kFtlIoError;
    }
    const auto *expected = static_cast<const uint8_t *>(data);
    uint32_t attempt = 0;
    const uint8_t *view = quor::afs::spi_read_view(address, length);
    if (view != nullptr) {
        if (same_bytes(view, expected, length)) {
            return kFtlOk;
        }
        attempt = 1;
    }
    for (; attempt < kVerifyAttempts; ++attempt) {
        const int same = read_back_once(address, length, expected);
        if (same != 0) {
            return same > 0 ? kFtlOk : kFtlIoError;
        }
    }
    return kFtlIoError;
}

// verified_write of one byte (status bytes, commit marks), the compare
// without the loops; the first attempt in place as above.
uint32_t verified_write_byte(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint8_t value) {
    const uint32_t address = unit_address(ctx, unit, offset);
    if (SpiDrvWrite(address, 1, &value) != 0) {
        return kFtlIoError;
    }
    uint32_t attempt = 0;
    const uint8_t *view = quor::afs::spi_read_view(address, 1);
    if (view != nullptr) {
        if (*view == value) {
            return kFtlOk;
        }
        attempt = 1;
    }
    for (; attempt < kVerifyAttempts; ++attempt) {
        uint8_t back = 0;
        if (SpiDrvRead(address, 1, &back) != 0) {
            return kFtlIoError;
        }
        if (back == value) {
            return kFtlOk;
        }
    }
    return kFtlIoError;
}

uint32_t erase_unit(const AfsContext *ctx, uint32_t unit) {
    if (SpiDrvEraseBlock(unit_address(ctx, unit, 0)) != 0 ||
        SpiDrvEraseBlock(unit_address(ctx, unit, kSpiEraseBlockSize)) != 0) {
        return kFtlIoError;
    }
    return kFtlOk;
}

namespace {

// Index of the first of the `count` records at `records` whose CRC does not
// match its data and page number; `count` when all match.
uint32_t first_bad_record(const uint8_t *records, uint32_t count, PageSource source) {
    if (count == 1) {  // a FAT page: the batch's steps cost more than its CRC
        return record_is_valid(records, source.page(0)) ? 1 : 0;
    }
    return source.pages != nullptr
               ? quor::afs::first_unmatched_record(records, kFtlRecordSize, count, source.pages)
               : quor::afs::first_unmatched_record(records, kFtlRecordSize, count, source.first);
}

// Moves the data of records 1 .. end - 1 so that record i's ends at
// buffer + 64 i (record 0's is there already).
void compact(uint8_t *buffer, uint32_t end) {
    for (uint32_t i = 1; i < end; ++i) {
        std::memmove(buffer + i * kFtlPageSize, buffer + i * kFtlRecordSize, kFtlPageSize);
    }
}

// Reads `count` records into `buffer` and checks them, re-reading all of
// them while one is bad (at most kReadAttempts reads). With `compact`, a
// failed attempt leaves the records before the bad one compacted, as a check
// that stops at the first bad record and compacts as it goes would.
uint32_t read_and_check(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t count,
                        PageSource source, uint8_t *buffer, bool compacted,
                        uint32_t attempts = kReadAttempts) {
    for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
        if (!flash_read(ctx, unit, offset, count * kFtlRecordSize, buffer)) {
            return kFtlIoError;
        }
        const uint32_t bad = first_bad_record(buffer, count, source);
        if (compacted) {
            compact(buffer, bad);
        }
        if (bad == count) {
            return kFtlOk;
        }
    }
    return kFtlIoError;
}

}  // namespace

// Checked read of `count` records at `offset` of `unit` into `buffer`
// (count * 66 bytes). With `compact`, record i's data ends at buffer + 64 i.
uint32_t checked_read(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t count,
                      PageSource source, uint8_t *buffer, bool compact) {
    if (count == 0) {
        return kFtlOk;
    }
    return read_and_check(ctx, unit, offset, count, source, buffer, compact);
}

uint32_t checked_records(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t count,
                         PageSource source, uint8_t *staging, const uint8_t **records) {
    *records = staging;
    if (count == 0) {
        return kFtlOk;
    }
    const uint8_t *view =
        quor::afs::spi_read_view(unit_address(ctx, unit, offset), count * kFtlRecordSize);
    if (view == nullptr) {
        return read_and_check(ctx, unit, offset, count, source, staging, false);
    }
    if (first_bad_record(view, count, source) == count) {
        *records = view;
        return kFtlOk;
    }
    return read_and_check(ctx, unit, offset, count, source, staging, false, kReadAttempts - 1);
}

}  // namespace quor::afs::ftl
