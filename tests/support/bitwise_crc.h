// The CRCs of the library computed one bit at a time, straight from their
// polynomials: the reference every faster implementation is checked against.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor_test {

// MSB-first CRC-16, polynomial 0x1021 (AFS pages and records, EFS records).
inline uint32_t bitwise_crc16(uint32_t crc, const uint8_t *data, size_t length) {
    crc &= 0xFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1) & 0xFFFFu;
        }
    }
    return crc;
}

// Reflected CRC-32, polynomial 0xEDB88320 (EFS blocks and headers).
inline uint32_t bitwise_crc32(uint32_t crc, const uint8_t *data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return crc;
}

}  // namespace quor_test
