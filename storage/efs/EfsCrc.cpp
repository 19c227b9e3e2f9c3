// Checksums of EFS: CRC-32 (reflected, 0xEDB88320) of headers, block-map
// entries and data areas, and CRC-16 (0x1021, MSB first) of file records,
// both from the CRC module shared with AFS.
#include <cstdint>

#include "common/crc.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_EFS_CRC_CLMUL_X86 1
#include <immintrin.h>
#endif
#include "efs/EfsBlocks.h"

uint32_t EFS_crc32(uint32_t crc, const uint8_t *data, uint32_t length) {
    return quor::crc::crc32(crc, data, length);
}

uint16_t EFS_crc16(uint16_t crc, const uint8_t *data, uint32_t length) {
    return quor::crc::crc16(crc, data, length);
}

namespace quor::efs::detail {
namespace {

constexpr uint32_t kCrc32Poly = 0xEDB88320u;

// One step of the reflected register: the polynomial times x, reduced.
inline uint32_t times_x(uint32_t v) {
    return (v >> 1) ^ (kCrc32Poly & (0u - (v & 1u)));
}

// x^(8k) mod P for every k up to a data area's size, in the reflected form
// (bit 31 is x^0). Built once, at the first use.
struct ZeroPowers {
    uint32_t power[kDataAreaSize + 1];
    ZeroPowers() {
        power[0] = 0x80000000u;
        for (uint32_t k = 1; k <= kDataAreaSize; ++k) {
            uint32_t v = power[k - 1];
            for (int bit = 0; bit < 8; ++bit) {
                v = times_x(v);
            }
            power[k] = v;
        }
    }
};

// a times b mod P, both reflected; branch-free over the 32 bits of a.
uint32_t multiply_mod(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (int bit = 31; bit >= 0; --bit) {
        product ^= b & (0u - ((a >> bit) & 1u));
        b = times_x(b);
    }
    return product;
}

#ifdef QUOR_EFS_CRC_CLMUL_X86

// multiply_mod by one carry-less product and four table steps. The product
// of two reflected 32-bit values comes out with bit m standing for
// x^(62 - m); shifted up by one, its high half holds a * b's terms below x^32
// in the reflected order, and its low half w the terms from x^32 up: that
// part is W * x^32 for the polynomial W of w, whose remainder is the CRC of
// w's four bytes from a zero register.
__attribute__((target("pclmul,sse2"))) uint32_t multiply_mod_clmul(uint32_t a, uint32_t b) {
    const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(a)),
                                                 _mm_cvtsi32_si128(static_cast<int>(b)), 0x00);
    const uint64_t shifted = static_cast<uint64_t>(_mm_cvtsi128_si64(product)) << 1;
    uint32_t high = static_cast<uint32_t>(shifted);
    for (int i = 0; i < 4; ++i) {
        high = (high >> 8) ^ gCrc32_table[high & 0xFFu];
    }
    return static_cast<uint32_t>(shifted >> 32) ^ high;
}

#endif

}  // namespace

uint32_t crc32_after_zeros(uint32_t crc, uint32_t zeros) {
    static const ZeroPowers table;
    if (zeros == 0) {
        return crc;
    }
#ifdef QUOR_EFS_CRC_CLMUL_X86
    // The tables stay the whole way when the CRC module was told to use them.
    if (crc::active() != crc::Implementation::kTable) {
        return multiply_mod_clmul(crc, table.power[zeros]);
    }
#endif
    return multiply_mod(crc, table.power[zeros]);
}

}  // namespace quor::efs::detail
