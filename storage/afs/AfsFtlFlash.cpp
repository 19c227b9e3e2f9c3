// Flash access of the AFS FTL. See AfsFtlFlash.h.
#include "afs/AfsFtlFlash.h"

#include <cstring>

#include "afs/AfsPhysicalWin32Spi.h"

namespace quor::afs::ftl {

// One driver write, then up to 7 read-and-compare attempts. 0 or 5.
uint32_t verified_write(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t length,
                        const void *data) {
    const uint32_t address = unit_address(ctx, unit, offset);
    if (SpiDrvWrite(address, length, data) != 0) {
        return kFtlIoError;
    }
    const auto *expected = static_cast<const uint8_t *>(data);
    uint8_t chunk[256];
    for (uint32_t attempt = 0; attempt < kVerifyAttempts; ++attempt) {
        bool same = true;
        for (uint32_t done = 0; done < length && same; done += sizeof(chunk)) {
            const uint32_t n = length - done < sizeof(chunk) ? length - done : sizeof(chunk);
            if (SpiDrvRead(address + done, n, chunk) != 0) {
                return kFtlIoError;
            }
            same = std::memcmp(chunk, expected + done, n) == 0;
        }
        if (same) {
            return kFtlOk;
        }
    }
    return kFtlIoError;
}

uint32_t verified_write_byte(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint8_t value) {
    return verified_write(ctx, unit, offset, 1, &value);
}

uint32_t erase_unit(const AfsContext *ctx, uint32_t unit) {
    if (SpiDrvEraseBlock(unit_address(ctx, unit, 0)) != 0 ||
        SpiDrvEraseBlock(unit_address(ctx, unit, kSpiEraseBlockSize)) != 0) {
        return kFtlIoError;
    }
    return kFtlOk;
}

// Checked read of `count` records at `offset` of `unit` into `buffer`
// (count * 66 bytes). With `compact`, record i's data ends at buffer + 64 i.
uint32_t checked_read(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t count,
                      PageSource source, uint8_t *buffer, bool compact) {
    if (count == 0) {
        return kFtlOk;
    }
    for (uint32_t attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (!flash_read(ctx, unit, offset, count * kFtlRecordSize, buffer)) {
            return kFtlIoError;
        }
        bool good = true;
        for (uint32_t i = 0; i < count && good; ++i) {
            uint8_t *record = buffer + i * kFtlRecordSize;
            good = record_is_valid(record, source.page(i));
            if (good && compact && i != 0) {
                std::memmove(buffer + i * kFtlPageSize, record, kFtlPageSize);
            }
        }
        if (good) {
            return kFtlOk;
        }
    }
    return kFtlIoError;
}

}  // namespace quor::afs::ftl
