// Flash access of the AFS FTL: addresses of units, plain reads, writes that
// are read back and compared, unit erase, and reads of page records whose
// checksums are verified (retried). All go through the SPI flash driver.
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"
#include "afs/AfsFtlFormat.h"
#include "afs/AfsPhysicalWin32Spi.h"

namespace quor::afs::ftl {

inline constexpr uint32_t kVerifyAttempts = 7;
inline constexpr uint32_t kReadAttempts = 7;

// ---- Flash access -------------------------------------------------------------
// Units are below unitCount and offsets inside a unit; the mount checked that
// flashOffset + unitCount * 8192 fits 32 bits, so addresses never wrap.

inline uint32_t unit_address(const AfsContext *ctx, uint32_t unit, uint32_t offset) {
    return ctx->flashOffset + unit * kFtlUnitSize + offset;
}

inline bool flash_read(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t length,
                       void *out) {
    return SpiDrvRead(unit_address(ctx, unit, offset), length, out) == 0;
}

// One byte of flash state (a status byte): looked at in place while the
// driver lends a view of the flash, else one driver read. False when that
// read failed.
inline bool flash_read_byte(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint8_t *value) {
    const uint32_t address = unit_address(ctx, unit, offset);
    const uint8_t *view = quor::afs::spi_read_view(address, 1);
    if (view != nullptr) {
        *value = *view;
        return true;
    }
    return SpiDrvRead(address, 1, value) == 0;
}

// One driver write, then up to 7 read-and-compare attempts (the first in
// place while the driver lends a view of the flash). 0 or 5.
uint32_t verified_write(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t length,
                        const void *data);

uint32_t verified_write_byte(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint8_t value);

uint32_t erase_unit(const AfsContext *ctx, uint32_t unit);

// Page number of record i of a checked read.
struct PageSource {
    uint16_t first = 0;               // consecutive pages from `first` ...
    const uint16_t *pages = nullptr;  // ... or one page number per record
    uint16_t page(uint32_t i) const {
        return pages != nullptr ? pages[i] : static_cast<uint16_t>(first + i);
    }
};

// Checked read of `count` records at `offset` of `unit` into `buffer`
// (count * 66 bytes). With `compact`, record i's data ends at buffer + 64 i.
uint32_t checked_read(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t count,
                      PageSource source, uint8_t *buffer, bool compact);

// The same without compaction, looking at the records where they lie when
// the driver allows it (spi_read_view: no read fault armed): that look is the
// first of the attempts, and when a record is bad the other attempts read
// through the driver into `staging` as above. *records points at the checked
// records, 66 bytes apart, in the flash or in `staging` (count * 66 bytes).
uint32_t checked_records(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t count,
                         PageSource source, uint8_t *staging, const uint8_t **records);

}  // namespace quor::afs::ftl
