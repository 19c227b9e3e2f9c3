// Table-driven CRCs that consume sixteen bytes per step ("slicing by 16").
//
// A byte-at-a-time CRC looks up one table entry per byte; table k here gives
// the CRC contribution of a byte followed by k zero bytes, so sixteen lookups
// XORed together advance the CRC over sixteen bytes at once. The tables are
// generated at compile time from the byte table of the CRC (table 0 is that
// table, entry for entry), and the result equals the byte-at-a-time loop for
// every input: the remaining 0 to 15 bytes are taken eight, four, then one
// at a time (tables 7..0 and 3..0 serve those shorter steps).
//
// Two kinds are provided: MSB-first 16-bit CRCs (register shifted left, as for
// polynomial 0x1021) and reflected 32-bit CRCs (register shifted right, as for
// polynomial 0xEDB88320).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/bytes.h"

namespace quor::crc_slicing {

inline constexpr std::size_t kSlices = 16;

template <class T>
using SliceTables = std::array<std::array<T, 256>, kSlices>;

// Tables of an MSB-first 16-bit CRC whose byte table entry i is `entry(i)`.
template <class Entry>
constexpr SliceTables<uint16_t> msb16_tables(Entry entry) {
    SliceTables<uint16_t> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        t[0][i] = static_cast<uint16_t>(entry(i));
    }
    for (std::size_t k = 1; k < kSlices; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t prev = t[k - 1][i];
            t[k][i] = static_cast<uint16_t>(((prev << 8) & 0xFFFFu) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

// Tables of a reflected 32-bit CRC whose byte table entry i is `entry(i)`.
template <class Entry>
constexpr SliceTables<uint32_t> reflected32_tables(Entry entry) {
    SliceTables<uint32_t> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        t[0][i] = static_cast<uint32_t>(entry(i));
    }
    for (std::size_t k = 1; k < kSlices; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t prev = t[k - 1][i];
            t[k][i] = (prev >> 8) ^ t[0][prev & 0xFFu];
        }
    }
    return t;
}

// Continues the MSB-first 16-bit CRC `crc` (at most 0xFFFF) over `length`
// bytes; same result as crc = ((crc << 8) & 0xFFFF) ^ t0[((crc >> 8) ^ b) & 0xFF]
// for every byte b.
inline uint32_t msb16_update(const SliceTables<uint16_t> &t, uint32_t crc, const uint8_t *data,
                             std::size_t length) {
    while (length >= kSlices) {
        crc = t[15][((crc >> 8) ^ data[0]) & 0xFFu] ^ t[14][(crc ^ data[1]) & 0xFFu] ^
              t[13][data[2]] ^ t[12][data[3]] ^ t[11][data[4]] ^ t[10][data[5]] ^ t[9][data[6]] ^
              t[8][data[7]] ^ t[7][data[8]] ^ t[6][data[9]] ^ t[5][data[10]] ^ t[4][data[11]] ^
              t[3][data[12]] ^ t[2][data[13]] ^ t[1][data[14]] ^ t[0][data[15]];
        data += kSlices;
        length -= kSlices;
    }
    // The remainder: eight, then four bytes per step, then one at a time.
    if (length >= 8) {
        crc = t[7][((crc >> 8) ^ data[0]) & 0xFFu] ^ t[6][(crc ^ data[1]) & 0xFFu] ^ t[5][data[2]] ^
              t[4][data[3]] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        length -= 8;
    }
    if (length >= 4) {
        crc = t[3][((crc >> 8) ^ data[0]) & 0xFFu] ^ t[2][(crc ^ data[1]) & 0xFFu] ^ t[1][data[2]] ^
              t[0][data[3]];
        data += 4;
        length -= 4;
    }
    for (std::size_t i = 0; i < length; ++i) {
        crc = ((crc << 8) & 0xFFFFu) ^ t[0][((crc >> 8) ^ data[i]) & 0xFFu];
    }
    return crc;
}

// Continues the reflected 32-bit CRC `crc` over `length` bytes; same result
// as crc = (crc >> 8) ^ t0[(crc ^ b) & 0xFF] for every byte b.
inline uint32_t reflected32_update(const SliceTables<uint32_t> &t, uint32_t crc,
                                   const uint8_t *data, std::size_t length) {
    while (length >= kSlices) {
        const uint32_t low = crc ^ load_le32(data);
        crc = t[15][low & 0xFFu] ^ t[14][(low >> 8) & 0xFFu] ^ t[13][(low >> 16) & 0xFFu] ^
              t[12][low >> 24] ^ t[11][data[4]] ^ t[10][data[5]] ^ t[9][data[6]] ^ t[8][data[7]] ^
              t[7][data[8]] ^ t[6][data[9]] ^ t[5][data[10]] ^ t[4][data[11]] ^ t[3][data[12]] ^
              t[2][data[13]] ^ t[1][data[14]] ^ t[0][data[15]];
        data += kSlices;
        length -= kSlices;
    }
    // The remainder: eight, then four bytes per step, then one at a time.
    if (length >= 8) {
        const uint32_t low = crc ^ load_le32(data);
        crc = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^
              t[4][low >> 24] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        length -= 8;
    }
    if (length >= 4) {
        const uint32_t low = crc ^ load_le32(data);
        crc = t[3][low & 0xFFu] ^ t[2][(low >> 8) & 0xFFu] ^ t[1][(low >> 16) & 0xFFu] ^
              t[0][low >> 24];
        data += 4;
        length -= 4;
    }
    for (std::size_t i = 0; i < length; ++i) {
        crc = (crc >> 8) ^ t[0][(crc ^ data[i]) & 0xFFu];
    }
    return crc;
}

}  // namespace quor::crc_slicing
