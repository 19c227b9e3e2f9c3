#include "afs/AfsCrc.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

uint16_t crc16_of_record(const uint8_t *data64, uint16_t page) {
    const uint8_t tail[2] = {static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8)};
    return static_cast<uint16_t>(crc16(data64, 64, tail));
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

// The tails of `n` consecutive pages from `page` on, several a step while
// the page numbers do not wrap. The CRC code reads the tails eight at a time,
// right after they are written: stores of the same eight let those reads
// take the bytes straight from the stores.
void consecutive_tails(uint16_t page, uint32_t n, uint16_t *tails) {
    uint32_t i = 0;
    if (uint32_t{page} + n <= 0x10000) {
#ifdef __SSE2__
        // Lane j holds page + j; swapping the bytes of each lane makes eight tails.
        __m128i pages = _mm_add_epi16(_mm_set1_epi16(static_cast<int16_t>(page)),
                                      _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
        for (; i + 8 <= n; i += 8) {
            const __m128i swapped =
                _mm_or_si128(_mm_slli_epi16(pages, 8), _mm_srli_epi16(pages, 8));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(tails + i), swapped);
            pages = _mm_add_epi16(pages, _mm_set1_epi16(8));
        }
#else
        // Lane j of the word holds page + j, four tails a step.
        constexpr uint64_t kLanes = 0x0001000100010001;
        constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FF;
        uint64_t pages = page * kLanes + 0x0003000200010000;
        for (; i + 4 <= n; i += 4) {
            const uint64_t swapped = ((pages & kLowBytes) << 8) | ((pages >> 8) & kLowBytes);
            for (uint32_t j = 0; j < 4; ++j) {
                tails[i + j] = static_cast<uint16_t>(swapped >> (16 * j));
            }
            pages += 4 * kLanes;
        }
#endif
    }
    for (; i < n; ++i) {
        tails[i] = tail_of(static_cast<uint16_t>(page + i));
    }
}

template <class Tails>
void records_crcs(const uint8_t *data, size_t stride, uint32_t count, Tails tails_of,
                  uint16_t *out) {
    uint16_t tails[kTailBatch];
    for (uint32_t done = 0; done < count; done += kTailBatch) {
        const uint32_t n = count - done < kTailBatch ? count - done : kTailBatch;
        tails_of(done, n, tails);
        quor::crc::crc16_each64_tailed(kCrc16Init, data + done * stride, stride, n, tails,
                                       out + done);
    }
}

}  // namespace

void crc16_of_records(const uint8_t *data, size_t stride, uint32_t count, const uint16_t *pages,
                      uint16_t *out) {
    records_crcs(
        data, stride, count,
        [pages](uint32_t done, uint32_t n, uint16_t *tails) {
            for (uint32_t i = 0; i < n; ++i) {
                tails[i] = tail_of(pages[done + i]);
            }
        },
        out);
}

void crc16_of_records(const uint8_t *data, size_t stride, uint32_t count, uint16_t first,
                      uint16_t *out) {
    records_crcs(
        data, stride, count,
        [first](uint32_t done, uint32_t n, uint16_t *tails) {
            consecutive_tails(static_cast<uint16_t>(first + done), n, tails);
        },
        out);
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

bool record_is_good(const uint8_t *record, uint16_t page) {
    const uint16_t tail = tail_of(page);
    uint16_t crc = 0;
    quor::crc::crc16_each64_tailed(kCrc16Init, record, 64, 1, &tail, &crc);
    return quor::load_le16(record + 64) == crc;
}

}  // namespace quor::afs
