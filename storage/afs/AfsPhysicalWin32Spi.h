// SPI flash emulation over the caller's memory.
//
// The emulated flash is the byte array at gpBuffer (owned by the caller;
// never allocated or freed here). Addresses are byte offsets from gpBuffer.
// Erase blocks are 4096 bytes; the erased state of a byte is 0xFF; a write
// stores the bytes as given (plain overwrite).
//
// Every program, erase and read goes through quor::flash_fault
// (common/flash_fault.h) and obeys its decision, so tests can fail an
// operation, cut power or spoil a read, and benchmarks can record the calls.
// Statuses: 0 success; 1 failure (fault injected, no buffer, or outside the
// optional limit set by SpiFlashDrvSetLimit). The callers report any non-zero
// result as status 5.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "common/export.h"
#include "common/flash_fault.h"

inline constexpr uint32_t kSpiEraseBlockSize = 4096;
inline constexpr uint32_t kSpiFailure = 1;

// First byte of the emulated flash; null until SpiFlashDrvInitialize.
QUOR_C_DATA uint8_t *gpBuffer;

// Sets gpBuffer to `buffer`; returns 0.
QUOR_C_API uint32_t SpiFlashDrvInitialize(void *buffer);
// Copies `length` bytes at `address` to `destination`; 0, or 1 (no buffer / past
// limit / the flash refused the read).
QUOR_C_API uint32_t SpiDrvRead(uint32_t address, uint32_t length, void *destination);
// Stores `length` bytes of `source` at `address`; 0, or 1 (fault / no buffer / past limit).
QUOR_C_API uint32_t SpiDrvWrite(uint32_t address, uint32_t length, const void *source);
// Sets the 4096 bytes from `address` (alignment not required) to 0xFF; 0 or 1.
QUOR_C_API uint32_t SpiDrvEraseBlock(uint32_t address);

// Does nothing (the emulation holds no resources).
extern "C" uint32_t SpiFlashDrvDeinitialize(void);

// Optional safety limit: when non-zero, any access reaching past `size` bytes
// of gpBuffer fails with 1 instead of touching memory. 0 (the default) means
// no limit, as the callers keep their addresses inside the partition.
extern "C" void SpiFlashDrvSetLimit(uint64_t size);

namespace quor::afs {

namespace spi_detail {
extern uint64_t g_limit;  // SpiFlashDrvSetLimit's size; 0 = no limit
}  // namespace spi_detail

// True when [address, address + length) of the emulated flash may be
// touched: there is a buffer, and the access stays inside the limit.
inline bool spi_access_allowed(uint32_t address, uint32_t length) {
    if (gpBuffer == nullptr) {
        return false;
    }
    return spi_detail::g_limit == 0 || quor::range_fits(address, length, spi_detail::g_limit);
}

// The `length` flash bytes at `address` in place, for a reader that only
// looks at them (no copy): null when the read must go through SpiDrvRead
// instead, which fails or copies exactly as a plain read would: no buffer,
// past the limit, or a read fault armed or the calls recorded in the fault
// seam (so that every read the seam counts, corrupts, fails or records is a
// driver copy). Inline: the writer asks before every read-back.
inline const uint8_t *spi_read_view(uint32_t address, uint32_t length) {
    if (!quor::flash_fault::reads_are_plain() || !spi_access_allowed(address, length)) {
        return nullptr;
    }
    return gpBuffer + address;
}

}  // namespace quor::afs
