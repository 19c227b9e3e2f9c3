#include "afs/AfsCrc.h"

#include <cstring>

#include "common/bytes.h"
#include "common/crc.h"

namespace {

constexpr uint32_t kCrc16Init = 0xFFFF;
constexpr uint32_t kCrc14Init = 0x3FFF;
constexpr uint32_t kCrc14Mask = 0x3FFF;
constexpr uint32_t kCrc8Init = 0x01;

// CRC-8 (polynomial 0x07, MSB-first, no initial value) of one byte value.
constexpr uint8_t crc8_of_byte(uint32_t value) {
    uint32_t crc = value;
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) : (crc << 1);
    }
    return static_cast<uint8_t>(crc & 0xFF);
}

}  // namespace

extern "C" const uint8_t gCrc8_low[16] = {
    crc8_of_byte(0x0), crc8_of_byte(0x1), crc8_of_byte(0x2), crc8_of_byte(0x3),
    crc8_of_byte(0x4), crc8_of_byte(0x5), crc8_of_byte(0x6), crc8_of_byte(0x7),
    crc8_of_byte(0x8), crc8_of_byte(0x9), crc8_of_byte(0xA), crc8_of_byte(0xB),
    crc8_of_byte(0xC), crc8_of_byte(0xD), crc8_of_byte(0xE), crc8_of_byte(0xF)};

extern "C" const uint8_t gCrc8_high[16] = {
    crc8_of_byte(0x00), crc8_of_byte(0x10), crc8_of_byte(0x20), crc8_of_byte(0x30),
    crc8_of_byte(0x40), crc8_of_byte(0x50), crc8_of_byte(0x60), crc8_of_byte(0x70),
    crc8_of_byte(0x80), crc8_of_byte(0x90), crc8_of_byte(0xA0), crc8_of_byte(0xB0),
    crc8_of_byte(0xC0), crc8_of_byte(0xD0), crc8_of_byte(0xE0), crc8_of_byte(0xF0)};

uint32_t crc16(const uint8_t *data, int32_t length, const uint8_t *tail) {
    uint32_t crc = kCrc16Init;
    if (length > 0) {
        crc = quor::crc::crc16(crc, data, static_cast<size_t>(length));
    }
    crc = quor::crc::crc16_byte(crc, tail[0]);
    crc = quor::crc::crc16_byte(crc, tail[1]);
    return crc;
}

uint32_t crc14(const uint8_t *data, int32_t length) {
    uint32_t crc = kCrc14Init;
    for (int32_t i = 0; i < length; ++i) {
        crc = quor::crc::crc16_byte(crc, data[i]) & kCrc14Mask;
    }
    return crc;
}

uint32_t crc8(const uint8_t *data, uint32_t length) {
    uint32_t crc = kCrc8Init;
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t v = (crc ^ data[i]) & 0xFF;
        crc = static_cast<uint32_t>(gCrc8_high[v >> 4] ^ gCrc8_low[v & 0x0F]);
    }
    return crc;
}

namespace quor::afs {

uint16_t crc14_of_page(uint16_t page) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8)};
    return static_cast<uint16_t>(crc14(bytes, 2));
}

uint16_t crc16_of_record_from(uint16_t dataCrc, uint16_t page) {
    uint32_t crc = quor::crc::crc16_byte(dataCrc, static_cast<uint8_t>(page));
    crc = quor::crc::crc16_byte(crc, static_cast<uint8_t>(page >> 8));
    return static_cast<uint16_t>(crc);
}

namespace {

// The page number follows the data low byte first; a tail is taken high byte
// first.
uint16_t tail_of(uint16_t page) {
    return static_cast<uint16_t>((page << 8) | (page >> 8));
}

constexpr uint32_t kTailBatch = 64;

}  // namespace

// One page through the kernel of many: on wide registers it is quicker than
// the byte tables even for a single record.
uint16_t crc16_of_record(const uint8_t *data64, uint16_t page) {
    const uint16_t tail = tail_of(page);
    uint16_t crc = 0;
    quor::crc::crc16_each64_tailed(kCrc16Init, data64, 64, 1, &tail, &crc);
    return crc;
}

void crc16_of_records(const uint8_t *data, size_t stride, uint32_t count, const uint16_t *pages,
                      uint16_t *out) {
    uint16_t tails[kTailBatch];
    for (uint32_t done = 0; done < count; done += kTailBatch) {
        const uint32_t n = count - done < kTailBatch ? count - done : kTailBatch;
        for (uint32_t i = 0; i < n; ++i) {
            tails[i] = tail_of(pages[done + i]);
        }
        quor::crc::crc16_each64_tailed(kCrc16Init, data + done * stride, stride, n, tails,
                                       out + done);
    }
}

uint32_t first_unmatched_record(const uint8_t *records, size_t stride, uint32_t count,
                                const uint16_t *pages) {
    return static_cast<uint32_t>(
        quor::crc::crc16_first_bad_record(kCrc16Init, records, stride, count, pages, 0));
}

uint32_t first_unmatched_record(const uint8_t *records, size_t stride, uint32_t count,
                                uint16_t first) {
    return static_cast<uint32_t>(
        quor::crc::crc16_first_bad_record(kCrc16Init, records, stride, count, nullptr, first));
}

}  // namespace quor::afs
