// Checksums of EFS: CRC-32 (reflected, 0xEDB88320) of headers, block-map
// entries and data areas, and CRC-16 (0x1021, MSB first) of file records,
// both from the CRC module shared with AFS.
#include <cstdint>

#include "common/crc.h"
#include "efs/EFS.h"

uint32_t EFS_crc32(uint32_t crc, const uint8_t *data, uint32_t length) {
    return quor::crc::crc32(crc, data, length);
}

uint16_t EFS_crc16(uint16_t crc, const uint8_t *data, uint32_t length) {
    return quor::crc::crc16(crc, data, length);
}
