// Checksums of EFS: CRC-32 (reflected, 0xEDB88320) of headers, block-map
// entries and data areas, and CRC-16 (0x1021, MSB first) of file records.
#include <cstdint>

#include "common/crc_slicing.h"
#include "efs/EFS.h"

using namespace quor;

namespace {

constexpr uint32_t crc32_entry(uint32_t n) {
    uint32_t v = n;
    for (int i = 0; i < 8; ++i) {
        v = (v & 1u) != 0 ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    }
    return v;
}

constexpr uint16_t crc16_entry(uint32_t n) {
    uint32_t v = n << 8;
    for (int i = 0; i < 8; ++i) {
        v = (v & 0x8000u) != 0 ? (v << 1) ^ 0x1021u : v << 1;
    }
    return static_cast<uint16_t>(v);
}

}  // namespace

#define QUOR_T4(f, n) f(n), f((n) + 1), f((n) + 2), f((n) + 3)
#define QUOR_T16(f, n) QUOR_T4(f, n), QUOR_T4(f, (n) + 4), QUOR_T4(f, (n) + 8), QUOR_T4(f, (n) + 12)
#define QUOR_T64(f, n) \
    QUOR_T16(f, n), QUOR_T16(f, (n) + 16), QUOR_T16(f, (n) + 32), QUOR_T16(f, (n) + 48)
#define QUOR_T256(f) QUOR_T64(f, 0u), QUOR_T64(f, 64u), QUOR_T64(f, 128u), QUOR_T64(f, 192u)

const uint32_t gCrc32_table[256] = {QUOR_T256(crc32_entry)};
const uint16_t gCrc16_table[256] = {QUOR_T256(crc16_entry)};

#undef QUOR_T256
#undef QUOR_T64
#undef QUOR_T16
#undef QUOR_T4

namespace {
// The same CRCs sixteen bytes at a time, from the entries of the tables above.
constexpr crc_slicing::SliceTables<uint32_t> crc32_slices =
    crc_slicing::reflected32_tables(crc32_entry);
constexpr crc_slicing::SliceTables<uint16_t> crc16_slices = crc_slicing::msb16_tables(crc16_entry);
}  // namespace

uint32_t EFS_crc32(uint32_t crc, const uint8_t *data, uint32_t length) {
    if (length == 0) {
        return crc;
    }
    return crc_slicing::reflected32_update(crc32_slices, crc, data, length);
}

uint16_t EFS_crc16(uint16_t crc, const uint8_t *data, uint32_t length) {
    if (length == 0) {
        return crc;
    }
    return static_cast<uint16_t>(crc_slicing::msb16_update(crc16_slices, crc, data, length));
}
