// Check values of the three AFS checksums and their tables.
#include <gtest/gtest.h>

#include "afs/AfsCrc.h"

namespace {

const uint8_t *bytes(const char *text) {
    return reinterpret_cast<const uint8_t *>(text);
}

// Anchors the bitwise reference of crc_fast_test to the catalogue: CRC-16
// over "123456789" with the last two digits as the tail.
TEST(CrcChecksum, Crc16GivesTheCatalogueCheckValue) {
    EXPECT_EQ(crc16(bytes("1234567"), 7, bytes("89")), 0x29B1u);
    EXPECT_EQ(crc16(bytes("a"), 1, bytes("bc")), 0x514Au);
}

TEST(CrcChecksum, Crc14AndCrc8CheckValuesAndEmptyInputs) {
    EXPECT_EQ(crc14(bytes("abc"), 3), 0x3A71u);
    EXPECT_EQ(crc14(bytes(""), 0), 0x3FFFu);
    EXPECT_EQ(crc14(bytes("abc"), -1), 0x3FFFu);
    const uint8_t zeroPage[2] = {0, 0};
    EXPECT_EQ(crc14(zeroPage, 2), 0x0B5Bu);
    EXPECT_EQ(quor::afs::crc14_of_page(0), 0x0B5B);
    uint8_t data[256];
    for (int i = 0; i < 256; ++i) {
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    for (int32_t n = 1; n <= 256; n += 17) {
        EXPECT_EQ(crc14(data, n) & ~0x3FFFu, 0u) << "crc14 beyond 14 bits, length " << n;
    }
    EXPECT_EQ(crc8(bytes("abc"), 3), 0x34u);
    EXPECT_EQ(crc8(bytes(""), 0), 0x01u);
}

TEST(CrcChecksum, Crc8NibbleTablesHoldTheDocumentedBytes) {
    const uint8_t low[16] = {0x00, 0x07, 0x0E, 0x09, 0x1C, 0x1B, 0x12, 0x15,
                             0x38, 0x3F, 0x36, 0x31, 0x24, 0x23, 0x2A, 0x2D};
    const uint8_t high[16] = {0x00, 0x70, 0xE0, 0x90, 0xC7, 0xB7, 0x27, 0x57,
                              0x89, 0xF9, 0x69, 0x19, 0x4E, 0x3E, 0xAE, 0xDE};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(gCrc8_low[i], low[i]) << "gCrc8_low[" << i << "]";
        EXPECT_EQ(gCrc8_high[i], high[i]) << "gCrc8_high[" << i << "]";
    }
}

}  // namespace
