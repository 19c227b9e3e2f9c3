// The CRCs of both file systems, defined once.
//
// crc16: MSB-first CRC-16 of polynomial 0x1021 (register shifted left), used
//        by the AFS page records and slot chains and the EFS record headers.
// crc32: reflected CRC-32 of polynomial 0xEDB88320 (register shifted right),
//        used by the EFS block headers, footers and block maps.
// Both continue a raw register: no initial or final inversion, so a CRC fed
// in pieces equals the CRC of the whole.
//
// Two implementations compute the same values: tables that consume sixteen
// bytes per step (crc_slicing.h), and carry-less multiplication folding
// (PCLMULQDQ on x86-64, on 512-bit registers where AVX-512 and VPCLMULQDQ
// are there) for inputs long enough to pay for it; on 512-bit registers the
// CRCs of many 64-byte pieces are bit-matrix products (GFNI) instead, where
// the CPU has them. The faster one
// is chosen once, at the first call, from what the CPU offers; setting the
// environment variable QUOR_CRC=table before that call keeps the table code
// (the CI suites use it to run the fallback).
#pragma once

#include <cstddef>
#include <cstdint>

// Byte tables: entry i is the CRC of the single byte i from a zero register.
// Generated from the same definition as the sliced tables used internally.
extern "C" const uint16_t gCrc16_table[256];
extern "C" const uint32_t gCrc32_table[256];

namespace quor::crc {

// Continues the CRC-16 register `crc` (low 16 bits used) over `length` bytes.
uint16_t crc16(uint32_t crc, const uint8_t *data, std::size_t length);
// Continues the CRC-32 register `crc` over `length` bytes.
uint32_t crc32(uint32_t crc, const uint8_t *data, std::size_t length);

// memcpy(to, from, length) and the CRC of the bytes, in one pass over them
// where folding is used (the bytes are stored as the fold reads them). `to`
// and `from` must not overlap.
uint16_t crc16_copy(uint32_t crc, uint8_t *to, const uint8_t *from, std::size_t length);
uint32_t crc32_copy(uint32_t crc, uint8_t *to, const uint8_t *from, std::size_t length);

// CRC-16 of each of `count` pieces of 64 bytes lying `stride` (>= 64) bytes
// apart, each continued from register `crc`: out[i] = crc16(crc, data + i *
// stride, 64). One page of 64 bytes is too short for folding to pay; many of
// them at once are not (the AFS page records: 64 data bytes every 66).
void crc16_each64(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                  uint16_t *out);
// The same with each piece followed by two bytes that are not stored after
// it: tails[i] >> 8, then tails[i] & 0xFF (the AFS page number of a record,
// byte-swapped). out[i] = crc16(crc16(crc, piece i, 64), those two bytes).
void crc16_each64_tailed(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                         const uint16_t *tails, uint16_t *out);

// Index of the first of `count` records that does not hold its own CRC, or
// `count` when all do. Record i is 64 bytes at data + i * stride (stride >=
// 66) followed by its stored CRC, low byte first; its CRC continues `crc`
// over the 64 bytes, then over its 16-bit number low byte first: numbers[i],
// or first + i (modulo 2^16) when `numbers` is null. (The AFS page records.)
// Reads the 66 bytes of each record and nothing else.
std::size_t crc16_first_bad_record(uint32_t crc, const uint8_t *data, std::size_t stride,
                                   std::size_t count, const uint16_t *numbers, uint16_t first);

// One byte of the CRC-16 (for callers that mask the register between bytes).
inline uint32_t crc16_byte(uint32_t crc, uint8_t byte) {
    return ((crc << 8) & 0xFFFFu) ^ gCrc16_table[((crc >> 8) ^ byte) & 0xFFu];
}

// Tables; 128-bit carry-less folding (PCLMULQDQ); the same on 512-bit
// registers (VPCLMULQDQ with AVX-512).
enum class Implementation { kTable, kClmul, kClmulWide };

// True when this build and this CPU can run `impl`.
bool available(Implementation impl);
// The implementation crc16 and crc32 use (chosen at the first call).
Implementation active();
// Makes crc16 and crc32 use `impl` from now on; false (and no change) when it
// is not available. For tests and benchmarks; not thread-safe against calls
// in flight on other threads.
bool select(Implementation impl);

// Each implementation called directly, whatever is active (for tests and
// benchmarks); one that is not available computes with the tables.
uint16_t crc16_with(Implementation impl, uint32_t crc, const uint8_t *data, std::size_t length);
uint32_t crc32_with(Implementation impl, uint32_t crc, const uint8_t *data, std::size_t length);
uint16_t crc16_copy_with(Implementation impl, uint32_t crc, uint8_t *to, const uint8_t *from,
                         std::size_t length);
uint32_t crc32_copy_with(Implementation impl, uint32_t crc, uint8_t *to, const uint8_t *from,
                         std::size_t length);
void crc16_each64_with(Implementation impl, uint32_t crc, const uint8_t *data, std::size_t stride,
                       std::size_t count, uint16_t *out);
void crc16_each64_tailed_with(Implementation impl, uint32_t crc, const uint8_t *data,
                              std::size_t stride, std::size_t count, const uint16_t *tails,
                              uint16_t *out);
std::size_t crc16_first_bad_record_with(Implementation impl, uint32_t crc, const uint8_t *data,
                                        std::size_t stride, std::size_t count,
                                        const uint16_t *numbers, uint16_t first);

}  // namespace quor::crc
