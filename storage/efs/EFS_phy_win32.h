// EFS physical layer: the EFS image (`efs_image`, `efs_size`) treated as flash
// with 4096-byte erase blocks and erase value 0xFF.
//
// Every access is bounds-checked against `efs_size`. Programs and erases go
// through the flash fault seam (common/flash_fault.h) so tests can fail them
// or cut power. The layer owns the image only when EFS_physical_init(true)
// allocated it.
#pragma once

#include <cstdint>

namespace quor::efs {

inline constexpr uint32_t kEfsBlockSize = 4096;
inline constexpr uint8_t kErasedByte = 0xFF;

inline constexpr uint32_t kPhyOk = 0;
inline constexpr uint32_t kPhyNoImage = 1;
inline constexpr uint32_t kPhyIoError = 5;  // the flash refused a read, program or erase
inline constexpr uint32_t kPhyNoMemory = 12;
inline constexpr uint32_t kPhyInvalid = 22;

// Releases an image that EFS allocated itself (no-op for an attached one).
void release_owned_image();

// Reads fused with what EFS does with the bytes read. Each is a read of the
// driver as EFS_physical_read(address, length, out) is one: the same checks
// and statuses, the same bytes in `out`, the same read as the fault seam
// sees it. While no read fault is armed the bytes are tested as they are
// copied, in one pass; otherwise the read is EFS_physical_read and the test
// runs over what it delivered. The result is set only on status 0.
//
// *equal: the bytes read equal the `length` bytes of `expected`.
uint32_t physical_read_equal(uint32_t address, uint32_t length, uint8_t *out,
                             const uint8_t *expected, bool *equal);
// *all: every byte read is `value`.
uint32_t physical_read_all(uint32_t address, uint32_t length, uint8_t *out, uint8_t value,
                           bool *all);
// *result: the CRC-16 register `crc` continued over the bytes read.
uint32_t physical_read_crc16(uint32_t address, uint32_t length, uint8_t *out, uint32_t crc,
                             uint16_t *result);
// *result: the CRC-32 from 0 of the `count` bytes read from offset `from`
// (from + count <= length).
uint32_t physical_read_crc32(uint32_t address, uint32_t length, uint8_t *out, uint32_t from,
                             uint32_t count, uint32_t *result);

}  // namespace quor::efs

// Copies `length` bytes of the region at `address` to `out`. 22 for length 0,
// an access outside the region, no image or a null `out`; 5 when the flash
// refuses the read; else 0.
extern "C" uint32_t EFS_physical_read(uint32_t address, uint32_t length, void *out);

// Copies `data` into the region (no erase rule enforced here). Same checks as
// the read; 5 when the flash refuses the program.
extern "C" uint32_t EFS_physical_write(uint32_t address, uint32_t length, const void *data);

// Fills a 4096-aligned range with 0xFF. Same checks; 22 when address or length
// is not a multiple of 4096; 5 when the flash refuses the erase.
extern "C" uint32_t EFS_physical_erase(uint32_t address, uint32_t length);

// Sets `efs_size` from the layout. Without `allocate`: 0 when an image is
// attached, 1 when none is. With `allocate`: replaces the image by a fresh one
// of 0xFF bytes; 12 when that fails; 22 when the region size overflows.
extern "C" uint32_t EFS_physical_init(bool allocate);
