// CRC-16 of many 64-byte pages on 512-bit registers, by bit-matrix products
// (GF2P8AFFINEQB) rather than carry-less multiplication.
//
// The CRC of a page is linear in its bytes: byte j of the page (value d,
// bit i the coefficient of x^i) adds d * x^e(j) mod P, e(j) = 16 + 8 (63 -
// j) (32 + 8 (63 - j) when two tail bytes follow), and the register adds
// its own fixed share. For a fixed j, d -> d * x^e(j) mod P is an 8 x 16 bit
// matrix: two 8 x 8 matrices, one for the low byte of the CRC and one for
// the high. GF2P8AFFINEQB multiplies each byte of a register by the 8 x 8
// matrix held in its 64-bit word, so a word must hold bytes that all want
// the same matrix: the bytes at one position j of eight pages. Eight pages
// are therefore transposed first (three rounds of byte, word and doubleword
// interleaves, all within 128-bit lanes), after which each word of the
// eight registers holds one position of the eight pages, byte i for page i.
// Two matrix products per register and an XOR tree give, in every word,
// the low and the high CRC bytes of the eight pages summed over some of
// the positions; the eight words are summed at the end.
//
// Why not carry-less products: a page needs eight 64 x 64 products and a
// reduction (2.5 512-bit multiplications), and this multiplier takes two
// cycles for one; the matrix products, the interleaves and the XORs run
// several per cycle on the other vector units.

#include "common/crc_clmul.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_CRC_PAGES_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <array>
#include <cstring>

namespace quor::crc::clmul {
namespace {

constexpr uint32_t kPoly16 = 0x1021;  // x^16 + x^12 + x^5 + 1, without x^16

// v * x mod P (bit i = coefficient of x^i).
constexpr uint32_t times_x(uint32_t v) {
    v <<= 1;
    return (v & 0x10000u) != 0 ? v ^ (0x10000u | kPoly16) : v;
}

// x^e mod P.
constexpr uint32_t xpow16(unsigned e) {
    uint32_t r = 1;
    for (unsigned i = 0; i < e; ++i) {
        r = times_x(r);
    }
    return r;
}

// The 8 x 8 matrix, as GF2P8AFFINEQB reads it, of d -> byte `half` (0 low,
// 1 high) of d * xe mod P (xe = x^e mod P for the byte's place e): output
// bit k is the parity of d and byte 7 - k of the matrix.
constexpr uint64_t byte_matrix(uint32_t xe, unsigned half) {
    uint32_t column[8] = {};  // column b: bit b of d times xe
    for (unsigned b = 0; b < 8; ++b, xe = times_x(xe)) {
        column[b] = xe;
    }
    uint64_t m = 0;
    for (unsigned k = 0; k < 8; ++k) {
        uint64_t row = 0;
        for (unsigned b = 0; b < 8; ++b) {
            row |= uint64_t{(column[b] >> (8 * half + k)) & 1u} << b;
        }
        m |= row << (8 * (7 - k));
    }
    return m;
}

// The identity: x^0 leaves a byte as it is.
static_assert(byte_matrix(1, 0) == 0x0102040810204080u, "identity matrix");

// The matrices of one layout: word w of register m (w = 2 L + h for lane L,
// half h) multiplies position 16 L + 2 m + h of the pages (see transpose8).
struct PageMatrices {
    std::array<uint64_t, 64> low;
    std::array<uint64_t, 64> high;
    // The two tail bytes: word 0 the first (x^24), word 1 the second (x^16).
    std::array<uint64_t, 2> tailLow;
    std::array<uint64_t, 2> tailHigh;
    // The register's two bytes, high and low, before the n bytes of a page
    // and its tail: x^(8 n + 8) and x^(8 n).
    std::array<uint64_t, 2> registerLow;
    std::array<uint64_t, 2> registerHigh;
};

constexpr unsigned position_of(unsigned reg, unsigned word) {
    return 16 * (word / 2) + 2 * reg + word % 2;
}

// The places of the bytes of a page (and its tail, and the register before
// them) are x^(16 + 8 k) for k = 0.. 8 n: the powers, each from the one before.
struct BytePowers {
    uint32_t of[68];  // of[k] = x^(16 + 8 k) mod P
};

constexpr BytePowers byte_powers() {
    BytePowers p{};
    uint32_t v = xpow16(16);
    for (uint32_t &x : p.of) {
        x = v;
        for (int i = 0; i < 8; ++i) {
            v = times_x(v);
        }
    }
    return p;
}

constexpr PageMatrices page_matrices(unsigned tail) {
    constexpr BytePowers kPowers = byte_powers();
    const auto at = [&](unsigned e) { return kPowers.of[(e - 16) / 8]; };
    PageMatrices pm{};
    for (unsigned reg = 0; reg < 8; ++reg) {
        for (unsigned word = 0; word < 8; ++word) {
            const unsigned e = 16 + 8 * tail + 8 * (63 - position_of(reg, word));
            pm.low[8 * reg + word] = byte_matrix(at(e), 0);
            pm.high[8 * reg + word] = byte_matrix(at(e), 1);
        }
    }
    pm.tailLow = {byte_matrix(at(24), 0), byte_matrix(at(16), 0)};
    pm.tailHigh = {byte_matrix(at(24), 1), byte_matrix(at(16), 1)};
    const unsigned n = 64 + tail;
    pm.registerLow = {byte_matrix(at(8 * n + 8), 0), byte_matrix(at(8 * n), 0)};
    pm.registerHigh = {byte_matrix(at(8 * n + 8), 1), byte_matrix(at(8 * n), 1)};
    return pm;
}

static_assert(byte_powers().of[67] == xpow16(16 + 8 * 67), "byte powers");

#ifdef QUOR_CRC_PAGES_X86

alignas(64) constexpr PageMatrices kUntailed = page_matrices(0);
alignas(64) constexpr PageMatrices kTailed = page_matrices(2);

#define QUOR_PAGES_TARGET __attribute__((target("avx512f,avx512bw,gfni")))

// (The zeroing forms of some intrinsics: the plain ones start from an
// undefined register that g++ 12 takes for an uninitialised read.)

// Eight pages (r0 page 0, ... r7 page 7) interleaved into eight registers
// (in place) in which word w (= 2 L + h) of register m holds byte 16 L +
// 2 m + h of every page, page i in byte i: pairs of pages first (bytes 0..7
// and 8..15 of each lane), then fours (bytes 0..3, 4..7, 8..11, 12..15),
// then all eight (two bytes per register).
struct Eight {
    __m512i r0, r1, r2, r3, r4, r5, r6, r7;
};

QUOR_PAGES_TARGET __attribute__((always_inline)) inline Eight transpose8(const Eight &p) {
    const __m512i u0 = _mm512_unpacklo_epi8(p.r0, p.r1);
    const __m512i u1 = _mm512_unpackhi_epi8(p.r0, p.r1);
    const __m512i u2 = _mm512_unpacklo_epi8(p.r2, p.r3);
    const __m512i u3 = _mm512_unpackhi_epi8(p.r2, p.r3);
    const __m512i u4 = _mm512_unpacklo_epi8(p.r4, p.r5);
    const __m512i u5 = _mm512_unpackhi_epi8(p.r4, p.r5);
    const __m512i u6 = _mm512_unpacklo_epi8(p.r6, p.r7);
    const __m512i u7 = _mm512_unpackhi_epi8(p.r6, p.r7);
    const __m512i v0 = _mm512_unpacklo_epi16(u0, u2);
    const __m512i v1 = _mm512_unpackhi_epi16(u0, u2);
    const __m512i v2 = _mm512_unpacklo_epi16(u1, u3);
    const __m512i v3 = _mm512_unpackhi_epi16(u1, u3);
    const __m512i v4 = _mm512_unpacklo_epi16(u4, u6);
    const __m512i v5 = _mm512_unpackhi_epi16(u4, u6);
    const __m512i v6 = _mm512_unpacklo_epi16(u5, u7);
    const __m512i v7 = _mm512_unpackhi_epi16(u5, u7);
    constexpr __mmask16 kAll = 0xFFFF;
    return {_mm512_maskz_unpacklo_epi32(kAll, v0, v4), _mm512_maskz_unpackhi_epi32(kAll, v0, v4),
            _mm512_maskz_unpacklo_epi32(kAll, v1, v5), _mm512_maskz_unpackhi_epi32(kAll, v1, v5),
            _mm512_maskz_unpacklo_epi32(kAll, v2, v6), _mm512_maskz_unpackhi_epi32(kAll, v2, v6),
            _mm512_maskz_unpacklo_epi32(kAll, v3, v7), _mm512_maskz_unpackhi_epi32(kAll, v3, v7)};
}

// The XOR over m of each register m of `t` times its matrices `m` (eight
// registers of matrices from there on), and `extra`.
QUOR_PAGES_TARGET __attribute__((always_inline)) inline __m512i products(const Eight &t,
                                                                         const uint64_t *m,
                                                                         __m512i extra) {
    constexpr int kXor3 = 0x96;
    const auto product = [m](__m512i v, int reg) QUOR_PAGES_TARGET {
        return _mm512_gf2p8affine_epi64_epi8(v, _mm512_load_si512(m + 8 * reg), 0);
    };
    const __m512i a =
        _mm512_ternarylogic_epi64(product(t.r0, 0), product(t.r1, 1), product(t.r2, 2), kXor3);
    const __m512i b =
        _mm512_ternarylogic_epi64(product(t.r3, 3), product(t.r4, 4), product(t.r5, 5), kXor3);
    const __m512i c = _mm512_ternarylogic_epi64(product(t.r6, 6), product(t.r7, 7), extra, kXor3);
    return _mm512_ternarylogic_epi64(a, b, c, kXor3);
}

// The sum over every word of `lo` and of `hi` (byte i of a word for page i),
// as eight 16-bit CRC terms, page i in element i.
QUOR_PAGES_TARGET __attribute__((always_inline)) inline __m128i sum_words(__m512i lo, __m512i hi) {
    const __m512i both =
        _mm512_xor_si512(_mm512_unpacklo_epi8(lo, hi), _mm512_unpackhi_epi8(lo, hi));
    const __m256i half = _mm256_xor_si256(_mm512_maskz_extracti64x4_epi64(0xF, both, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, both, 1));
    return _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
}

// Two bytes of each of eight pages multiplied by their matrices `low` and
// `high` (two words each, one per byte): `bytes` holds the first byte of
// page i in byte i, the second in byte 8 + i; the results are low and high
// CRC bytes in the same places, to be summed with the rest.
struct Terms {
    __m128i lo;
    __m128i hi;
};

QUOR_PAGES_TARGET __attribute__((always_inline)) inline Terms two_byte_terms(
    __m128i bytes, const std::array<uint64_t, 2> &low, const std::array<uint64_t, 2> &high) {
    return {_mm_gf2p8affine_epi64_epi8(
                bytes, _mm_load_si128(reinterpret_cast<const __m128i *>(low.data())), 0),
            _mm_gf2p8affine_epi64_epi8(
                bytes, _mm_load_si128(reinterpret_cast<const __m128i *>(high.data())), 0)};
}

// The tails' terms (tails[i] >> 8 the first byte of page i, tails[i] & 0xFF
// the second) plus `share`.
QUOR_PAGES_TARGET __attribute__((always_inline)) inline Terms tail_terms(const uint16_t *tails,
                                                                         Terms share) {
    const __m128i split = _mm_set_epi8(14, 12, 10, 8, 6, 4, 2, 0, 15, 13, 11, 9, 7, 5, 3, 1);
    const __m128i bytes =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(tails)), split);
    const Terms t = two_byte_terms(bytes, kTailed.tailLow, kTailed.tailHigh);
    return {_mm_xor_si128(t.lo, share.lo), _mm_xor_si128(t.hi, share.hi)};
}

// The CRCs of `n` (1..8) pages at p, p + stride, ..., page i in element i,
// with `extra` (the register's share, and the tails' when kTail) added;
// pages past n count as zero.
template <bool kTail>
QUOR_PAGES_TARGET __attribute__((always_inline)) inline __m128i crcs_of_eight(const uint8_t *p,
                                                                              std::size_t stride,
                                                                              std::size_t n,
                                                                              Terms extra) {
    const PageMatrices &pm = kTail ? kTailed : kUntailed;
    const auto page = [p, stride, n](std::size_t i) QUOR_PAGES_TARGET {
        return i < n ? _mm512_loadu_si512(p + i * stride) : _mm512_setzero_si512();
    };
    const Eight t =
        transpose8({page(0), page(1), page(2), page(3), page(4), page(5), page(6), page(7)});
    const __m512i sumLo = products(t, pm.low.data(), _mm512_zextsi128_si512(extra.lo));
    const __m512i sumHi = products(t, pm.high.data(), _mm512_zextsi128_si512(extra.hi));
    return sum_words(sumLo, sumHi);
}

// The CRCs of `n` (1..8) pages at p, p + stride, ...: with the register's
// share `share` and the tails tails[0..n) when kTail, into out[0..n).
template <bool kTail>
QUOR_PAGES_TARGET __attribute__((always_inline)) inline void eight_pages(
    const uint8_t *p, std::size_t stride, std::size_t n, const uint16_t *tails, Terms share,
    uint16_t *out) {
    Terms extra = share;
    if (kTail) {
        if (n == 8) {
            extra = tail_terms(tails, share);
        } else {
            uint16_t padded[8] = {};
            std::memcpy(padded, tails, n * sizeof *tails);
            extra = tail_terms(padded, share);
        }
    }
    const __m128i crcs = crcs_of_eight<kTail>(p, stride, n, extra);
    if (n == 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), crcs);
    } else {
        uint16_t all[8];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(all), crcs);
        std::memcpy(out, all, n * sizeof *out);
    }
}

template <bool kTail>
QUOR_PAGES_TARGET void pages_wide(uint32_t crc, const uint8_t *data, std::size_t stride,
                                  std::size_t count, const uint16_t *tails, uint16_t *out) {
    // The register's share, the same for every page: its high byte in
    // bytes 0..7, its low byte in bytes 8..15.
    const PageMatrices &pm = kTail ? kTailed : kUntailed;
    const __m128i reg = _mm_unpacklo_epi64(_mm_set1_epi8(static_cast<char>(crc >> 8)),
                                           _mm_set1_epi8(static_cast<char>(crc)));
    const Terms share = two_byte_terms(reg, pm.registerLow, pm.registerHigh);
    if (count < 8) {
        if (count != 0) {
            eight_pages<kTail>(data, stride, count, tails, share, out);
        }
        return;
    }
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        eight_pages<kTail>(data + i * stride, stride, 8, kTail ? tails + i : nullptr, share,
                           out + i);
    }
    if (i < count) {
        // The last eight again: the ones already done get the same results.
        i = count - 8;
        eight_pages<kTail>(data + i * stride, stride, 8, kTail ? tails + i : nullptr, share,
                           out + i);
    }
}

// The CRC stored after each of the eight records at p, p + stride, ...
// (bytes 64 and 65, low byte first), record i in element i: four to a
// 64-bit word on the scalar units, which are idle here, then two moves.
__attribute__((always_inline)) inline uint64_t four_stored(const uint8_t *p, std::size_t stride) {
    const auto at = [p, stride](std::size_t i) {
        uint16_t v;
        std::memcpy(&v, p + i * stride + 64, sizeof v);  // little-endian x86
        return uint64_t{v};
    };
    return at(0) | at(1) << 16 | at(2) << 32 | at(3) << 48;
}

// The tails of eight records, numbers[i] = number of record i (element i):
// its low byte, the first of the tail, to byte i, its high byte to byte
// 8 + i, as tail_terms takes them.
QUOR_PAGES_TARGET __attribute__((always_inline)) inline __m128i number_bytes(__m128i numbers) {
    const __m128i split = _mm_set_epi8(15, 13, 11, 9, 7, 5, 3, 1, 14, 12, 10, 8, 6, 4, 2, 0);
    return _mm_shuffle_epi8(numbers, split);
}

// A mask of the records among the eight at p, p + stride, ... (eight of
// them, each with its number in `numbers`) whose stored CRC is not the
// computed one: bits 2 i and 2 i + 1 for record i.
QUOR_PAGES_TARGET __attribute__((always_inline)) inline unsigned eight_records_bad(
    const uint8_t *p, std::size_t stride, __m128i numbers, Terms share) {
    const Terms t = two_byte_terms(number_bytes(numbers), kTailed.tailLow, kTailed.tailHigh);
    const __m128i crcs = crcs_of_eight<true>(
        p, stride, 8, {_mm_xor_si128(t.lo, share.lo), _mm_xor_si128(t.hi, share.hi)});
    const __m128i stored =
        _mm_set_epi64x(static_cast<long long>(four_stored(p + 4 * stride, stride)),
                       static_cast<long long>(four_stored(p, stride)));
    return 0xFFFFu & ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(crcs, stored)));
}

// The same for n < 8 records (the numbers of the others are ignored).
QUOR_PAGES_TARGET unsigned few_records_bad(const uint8_t *p, std::size_t stride, std::size_t n,
                                           __m128i numbers, Terms share) {
    const Terms t = two_byte_terms(number_bytes(numbers), kTailed.tailLow, kTailed.tailHigh);
    const __m128i crcs = crcs_of_eight<true>(
        p, stride, n, {_mm_xor_si128(t.lo, share.lo), _mm_xor_si128(t.hi, share.hi)});
    uint16_t computed[8];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(computed), crcs);
    unsigned bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t *stored = p + i * stride + 64;
        if ((stored[0] | stored[1] << 8) != computed[i]) {
            bad |= 3u << (2 * i);
        }
    }
    return bad;
}

// The numbers of records i .. i + 7: numbers[i..] or first + i + 0..7.
template <bool kList>
QUOR_PAGES_TARGET __attribute__((always_inline)) inline __m128i numbers_at(const uint16_t *numbers,
                                                                           uint16_t first,
                                                                           std::size_t i) {
    if (kList) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(numbers + i));
    }
    return _mm_add_epi16(_mm_set1_epi16(static_cast<short>(first + i)),
                         _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
}

template <bool kList>
QUOR_PAGES_TARGET std::size_t records_wide(uint32_t crc, const uint8_t *data, std::size_t stride,
                                           std::size_t count, const uint16_t *numbers,
                                           uint16_t first) {
    const __m128i reg = _mm_unpacklo_epi64(_mm_set1_epi8(static_cast<char>(crc >> 8)),
                                           _mm_set1_epi8(static_cast<char>(crc)));
    const Terms share = two_byte_terms(reg, kTailed.registerLow, kTailed.registerHigh);
    if (count < 8) {
        if (count == 0) {
            return 0;
        }
        __m128i few = numbers_at<false>(nullptr, first, 0);
        if (kList) {
            uint16_t padded[8] = {};
            std::memcpy(padded, numbers, count * sizeof *numbers);
            few = _mm_loadu_si128(reinterpret_cast<const __m128i *>(padded));
        }
        const unsigned bad = few_records_bad(data, stride, count, few, share);
        return bad != 0 ? static_cast<std::size_t>(__builtin_ctz(bad) / 2) : count;
    }
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const unsigned bad = eight_records_bad(data + i * stride, stride,
                                               numbers_at<kList>(numbers, first, i), share);
        if (bad != 0) {
            return i + static_cast<std::size_t>(__builtin_ctz(bad) / 2);
        }
    }
    if (i < count) {
        // The last eight again: those before i are good, so a bad one is at
        // i or after.
        i = count - 8;
        const unsigned bad = eight_records_bad(data + i * stride, stride,
                                               numbers_at<kList>(numbers, first, i), share);
        if (bad != 0) {
            return i + static_cast<std::size_t>(__builtin_ctz(bad) / 2);
        }
    }
    return count;
}

bool cpu_has_gfni() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    constexpr unsigned kGfni = 1u << 8;
    return (ecx & kGfni) != 0;
}

#endif  // QUOR_CRC_PAGES_X86

}  // namespace

#ifdef QUOR_CRC_PAGES_X86

bool pages_by_matrices() {
    static const bool gfni = cpu_has_gfni();
    return gfni;
}

void crc16_each64_wide(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                       const uint16_t *tails, uint16_t *out) {
    if (!pages_by_matrices()) {
        crc16_each64(crc, data, stride, count, tails, out);
    } else if (tails != nullptr) {
        pages_wide<true>(crc, data, stride, count, tails, out);
    } else {
        pages_wide<false>(crc, data, stride, count, nullptr, out);
    }
}

std::size_t first_bad_record_wide(uint32_t crc, const uint8_t *data, std::size_t stride,
                                  std::size_t count, const uint16_t *numbers, uint16_t first) {
    return numbers != nullptr ? records_wide<true>(crc, data, stride, count, numbers, first)
                              : records_wide<false>(crc, data, stride, count, nullptr, first);
}

#else

bool pages_by_matrices() {
    return false;
}

std::size_t first_bad_record_wide(uint32_t, const uint8_t *, std::size_t, std::size_t count,
                                  const uint16_t *, uint16_t) {
    return 0;  // not called (pages_by_matrices() is false); were it, no record would pass
}

void crc16_each64_wide(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                       const uint16_t *tails, uint16_t *out) {
    crc16_each64(crc, data, stride, count, tails, out);
}

#endif

}  // namespace quor::crc::clmul
