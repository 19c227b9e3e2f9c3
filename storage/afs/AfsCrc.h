// Checksums of the AFS on-flash structures.
//
// crc16: CRC-16, polynomial 0x1021 MSB-first, initial 0xFFFF, no final XOR,
//        over `length` bytes of data followed by the 2 bytes at `tail`
//        (page records; the tail is the 16-bit page number, low byte first).
// crc14: same table and step, initial 0x3FFF, masked to 14 bits after every
//        byte (slot-table chain of the dynamic units).
// crc8:  CRC-8, polynomial 0x07 MSB-first, initial 0x01, computed a nibble
//        at a time with gCrc8_high / gCrc8_low (unit headers).
// Results are returned in the low 16, 14 and 8 bits respectively. The CRC-16
// itself (shared with EFS) lives in common/crc.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/export.h"

// CRC-16 of `length` data bytes (none when length <= 0) then tail[0], tail[1].
QUOR_C_API uint32_t crc16(const uint8_t *data, int32_t length, const uint8_t *tail);
// 14-bit CRC of `length` bytes; 0x3FFF when length <= 0.
QUOR_C_API uint32_t crc14(const uint8_t *data, int32_t length);
// CRC-8 of `length` bytes; 0x01 when length is 0.
QUOR_C_API uint32_t crc8(const uint8_t *data, uint32_t length);

// CRC-8 (polynomial 0x07) of the byte values 0x00..0x0F and 0x00,0x10..0xF0.
QUOR_C_DATA const uint8_t gCrc8_low[16];
QUOR_C_DATA const uint8_t gCrc8_high[16];

namespace quor::afs {
// crc14 of a 16-bit page number taken as two bytes, low byte first.
uint16_t crc14_of_page(uint16_t page);
// crc16 of a 64-byte page with its 16-bit page number as the tail.
uint16_t crc16_of_record(const uint8_t *data64, uint16_t page);
// The same from the CRC-16 register after the 64 data bytes (as
// quor::crc::crc16(0xFFFF, data64, 64) leaves it): only the tail is added.
uint16_t crc16_of_record_from(uint16_t dataCrc, uint16_t page);

// crc16_of_record of many pages at once: out[i] for the 64 data bytes at
// data + i * stride and page number pages[i] (the AFS records hold their
// pages 66 bytes apart).
void crc16_of_records(const uint8_t *data, size_t stride, uint32_t count, const uint16_t *pages,
                      uint16_t *out);

// Index of the first of `count` records (64 data bytes, then their CRC-16 low
// byte first; `stride` (>= 66) bytes apart) whose stored CRC is not the CRC
// of its data and page number pages[i], or `count`: the CRCs computed and
// compared in one pass.
uint32_t first_unmatched_record(const uint8_t *records, size_t stride, uint32_t count,
                                const uint16_t *pages);
// The same for consecutive pages first, first + 1, ...
uint32_t first_unmatched_record(const uint8_t *records, size_t stride, uint32_t count,
                                uint16_t first);

}  // namespace quor::afs
