#include "common/crc_clmul.h"

// How the folding works. Read the data as one polynomial over GF(2), its
// first byte carrying the highest powers. The CRC register after the data is
// (I * x^(8n) + M * x^w) mod P for initial register I, data M of n bytes and
// a generator P of degree w. Only M's remainder modulo P matters, so a
// 128-bit accumulator S standing for the blocks read so far can absorb the
// next block B as S * x^128 + B, and S * x^d = H * x^(d+64) + L * x^d (H, L
// the high and low halves of S) is replaced by H * (x^(d+64) mod P) + L *
// (x^d mod P): two 64 x 64 carry-less products whose sum fits in 128 bits
// again. Four accumulators 64 bytes apart (d = 512) keep the multiplier busy;
// they are then folded into one (d = 128).
//
// MSB-first CRC (CRC-16): each block is loaded byte-reversed, so bit i of the
// 128-bit value is the coefficient of x^i, as the multiplier expects.
// Reflected CRC (CRC-32): blocks are loaded as they are, so bit i is the
// coefficient of x^(127-i); a product of two such (bit-reversed) halves comes
// out one place short, x^-1 times the true product, so its constants are
// x^(e-1) mod P bit-reversed, and the low half is the one with the high
// powers.

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_CRC_CLMUL_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <cstring>

namespace quor::crc::clmul {
namespace {

// x^e mod P for a generator of degree `width` whose lower terms are `low`
// (bit i = coefficient of x^i).
constexpr uint64_t xpow_mod(unsigned e, unsigned width, uint64_t low) {
    const uint64_t top = uint64_t{1} << width;
    uint64_t r = 1;
    for (unsigned i = 0; i < e; ++i) {
        r <<= 1;
        if ((r & top) != 0) {
            r ^= top | low;
        }
    }
    return r;
}

constexpr uint64_t reflect64(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 64; ++i) {
        r |= ((v >> i) & 1u) << (63 - i);
    }
    return r;
}

// Multipliers {for the low half, for the high half} of a fold over d bits.
struct Fold {
    uint64_t low;
    uint64_t high;
};

constexpr uint64_t kPoly16 = 0x1021;      // x^16 + x^12 + x^5 + 1, without x^16
constexpr uint64_t kPoly32 = 0x04C11DB7;  // 0xEDB88320 bit-reversed, without x^32

constexpr Fold msb16_fold(unsigned d) {
    return {xpow_mod(d, 16, kPoly16), xpow_mod(d + 64, 16, kPoly16)};
}
// In the reflected order the low half holds the high powers.
constexpr Fold reflected32_fold(unsigned d) {
    return {reflect64(xpow_mod(d + 63, 32, kPoly32)), reflect64(xpow_mod(d - 1, 32, kPoly32))};
}

// floor(x^80 / P) for the CRC-16 generator, without its x^64 term: the
// Barrett multiplier that reduces a product of up to 80 bits to 16.
constexpr uint64_t barrett16_mu() {
    uint32_t window = 1u << 16;  // the dividend's top 17 coefficients, x^80 at bit 16
    uint64_t quotient = 0;
    for (int k = 64; k >= 0; --k) {
        if ((window & (1u << 16)) != 0) {
            if (k < 64) {
                quotient |= uint64_t{1} << k;
            }
            window ^= (1u << 16) | static_cast<uint32_t>(kPoly16);
        }
        window <<= 1;
    }
    return quotient;
}

// The published 128-bit fold constants of this CRC-32 (x^160 and x^96 mod P,
// bit-reversed over 33 bits): a check on xpow_mod and reflect64.
static_assert(reflect64(xpow_mod(160, 32, kPoly32)) >> 31 == 0x1751997d0, "x^160 mod P");
static_assert(reflect64(xpow_mod(96, 32, kPoly32)) >> 31 == 0x0ccaa009e, "x^96 mod P");

#ifdef QUOR_CRC_CLMUL_X86

#define QUOR_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))

QUOR_CLMUL_TARGET inline __m128i fold(__m128i s, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(s, k, 0x00), _mm_clmulepi64_si128(s, k, 0x11));
}

QUOR_CLMUL_TARGET inline __m128i constants(Fold f) {
    return _mm_set_epi64x(static_cast<long long>(f.high), static_cast<long long>(f.low));
}

// Loads and stores of one block in the bit order of each kind.
struct Msb16 {
    QUOR_CLMUL_TARGET static __m128i order(__m128i raw) {
        const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        return _mm_shuffle_epi8(raw, reverse);
    }
    QUOR_CLMUL_TARGET static __m128i load(const uint8_t *p) {
        return order(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    }
    QUOR_CLMUL_TARGET static void store(__m128i s, uint8_t *p) {
        const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm_shuffle_epi8(s, reverse));
    }
    // The register meets the first 16 bits of the data.
    QUOR_CLMUL_TARGET static __m128i initial(uint32_t crc) {
        return _mm_set_epi64x(static_cast<long long>(uint64_t{crc & 0xFFFFu} << 48), 0);
    }
    static constexpr Fold k128 = msb16_fold(128);
    static constexpr Fold k256 = msb16_fold(256);
    static constexpr Fold k384 = msb16_fold(384);
    static constexpr Fold k512 = msb16_fold(512);
    static constexpr Fold k2048 = msb16_fold(2048);
};

struct Reflected32 {
    QUOR_CLMUL_TARGET static __m128i order(__m128i raw) { return raw; }
    QUOR_CLMUL_TARGET static __m128i load(const uint8_t *p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
    QUOR_CLMUL_TARGET static void store(__m128i s, uint8_t *p) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), s);
    }
    // The register meets the first 32 bits of the data.
    QUOR_CLMUL_TARGET static __m128i initial(uint32_t crc) {
        return _mm_cvtsi32_si128(static_cast<int>(crc));
    }
    static constexpr Fold k128 = reflected32_fold(128);
    static constexpr Fold k256 = reflected32_fold(256);
    static constexpr Fold k384 = reflected32_fold(384);
    static constexpr Fold k512 = reflected32_fold(512);
    static constexpr Fold k2048 = reflected32_fold(2048);
};

// The data being folded and, when kCopy, where each loaded block is also
// stored (the same offset in `to`): the copy costs a store per block, not a
// second pass over the bytes.
template <class Kind, bool kCopy>
struct Source {
    const uint8_t *from;
    uint8_t *to;

    QUOR_CLMUL_TARGET __m128i block(std::size_t at) const {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + at));
        if (kCopy) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(to + at), raw);
        }
        return Kind::order(raw);
    }
    void advance(std::size_t n) {
        from += n;
        if (kCopy) {
            to += n;
        }
    }
};

// Folds the remaining `blocks` one at a time into `s` and stores the residue.
template <class Kind, bool kCopy>
QUOR_CLMUL_TARGET void finish(__m128i s, Source<Kind, kCopy> src, std::size_t blocks,
                              uint8_t residue[16]) {
    const __m128i k128 = constants(Kind::k128);
    for (; blocks > 0; --blocks, src.advance(16)) {
        s = _mm_xor_si128(fold(s, k128), src.block(0));
    }
    Kind::store(s, residue);
}

template <class Kind, bool kCopy>
QUOR_CLMUL_TARGET void fold_blocks(uint32_t crc, Source<Kind, kCopy> src, std::size_t blocks,
                                   uint8_t residue[16]) {
    const __m128i k128 = constants(Kind::k128);
    __m128i s;
    if (blocks >= 8) {
        const __m128i k512 = constants(Kind::k512);
        __m128i a0 = _mm_xor_si128(src.block(0), Kind::initial(crc));
        __m128i a1 = src.block(16);
        __m128i a2 = src.block(32);
        __m128i a3 = src.block(48);
        src.advance(64);
        blocks -= 4;
        for (; blocks >= 4; blocks -= 4, src.advance(64)) {
            a0 = _mm_xor_si128(fold(a0, k512), src.block(0));
            a1 = _mm_xor_si128(fold(a1, k512), src.block(16));
            a2 = _mm_xor_si128(fold(a2, k512), src.block(32));
            a3 = _mm_xor_si128(fold(a3, k512), src.block(48));
        }
        s = _mm_xor_si128(fold(a0, k128), a1);
        s = _mm_xor_si128(fold(s, k128), a2);
        s = _mm_xor_si128(fold(s, k128), a3);
    } else {
        s = _mm_xor_si128(src.block(0), Kind::initial(crc));
        src.advance(16);
        blocks -= 1;
    }
    finish<Kind, kCopy>(s, src, blocks, residue);
}

// ---- CRC-16 of many 64-byte pieces ----------------------------------------
//
// A 64-byte piece D (register I folded into its first 16 bits) has the CRC
// D * x^16 mod P. Each of its eight 64-bit words w_i (the first the highest)
// is multiplied by x^(64 (7 - i) + 16) mod P, a 16-bit constant: the eight
// products, each under 80 bits, XOR into one value V of the same remainder.
// A Barrett step reduces V: q = floor(V / x^16) * floor(x^80 / P) / x^64
// is V's quotient by P, and V + q * P its remainder.
//
// The constants are taken times x^48 (a 16-bit constant in the top of its
// 64-bit word), so the sum holds V * x^48: floor(V / x^16) is its high word
// as it stands and V's low 16 bits are bits 48..63. Only the low 16 bits
// of q * P are wanted, and P's low terms are x^12 + x^5 + 1: two shifts
// instead of a second product (the multiplier bounds this loop).

// With a two-byte tail T after the piece the CRC is D * x^32 + T * x^16 mod
// P: the constants carry x^16 more, and T * x^16 (times x^48: T in the high
// word) joins V as it is.

constexpr unsigned kLift = 48;

// Multipliers of block j (j = 0..3) of a 64-byte piece followed by `tail`
// bytes (0 or 2), times x^48.
constexpr Fold piece_fold(unsigned block, unsigned tail) {
    const Fold f = msb16_fold(128 * (3 - block) + 16 + 8 * tail);
    return {f.low << kLift, f.high << kLift};
}

constexpr uint64_t kBarrett16Mu = barrett16_mu();

// The remainder by P of V, given as V * x^48 (under 128 bits).
QUOR_CLMUL_TARGET inline uint16_t reduce16(__m128i lifted) {
    const __m128i mu = _mm_set_epi64x(0, static_cast<long long>(kBarrett16Mu));
    // The high word: t + floor(t * mu / x^64) for t = floor(V / x^16).
    const __m128i sum = _mm_xor_si128(lifted, _mm_clmulepi64_si128(lifted, mu, 0x01));
    const auto q = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum)));
    const auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(lifted)) >> kLift;
    return static_cast<uint16_t>(low ^ q ^ (q << 5) ^ (q << 12));
}

// V * x^48 of one piece: the products of its eight words summed.
template <unsigned kTail>
QUOR_CLMUL_TARGET inline __m128i piece_sum(__m128i init, const uint8_t *p) {
    const __m128i k0 = constants(piece_fold(0, kTail));
    const __m128i k1 = constants(piece_fold(1, kTail));
    const __m128i k2 = constants(piece_fold(2, kTail));
    const __m128i k3 = constants(piece_fold(3, kTail));
    const __m128i s =
        _mm_xor_si128(fold(_mm_xor_si128(Msb16::load(p), init), k0), fold(Msb16::load(p + 16), k1));
    return _mm_xor_si128(
        s, _mm_xor_si128(fold(Msb16::load(p + 32), k2), fold(Msb16::load(p + 48), k3)));
}

// T * x^16 * x^48 of tail i, T in the high word (nothing without tails).
QUOR_CLMUL_TARGET inline __m128i tail_term(const uint16_t *tails, std::size_t i) {
    return _mm_set_epi64x(tails == nullptr ? 0 : static_cast<long long>(tails[i]), 0);
}

template <unsigned kTail>
QUOR_CLMUL_TARGET void crc16_pieces(uint32_t crc, const uint8_t *data, std::size_t stride,
                                    std::size_t count, const uint16_t *tails, uint16_t *out) {
    const __m128i init = Msb16::initial(crc);
    for (std::size_t i = 0; i < count; ++i, data += stride) {
        out[i] = reduce16(_mm_xor_si128(piece_sum<kTail>(init, data), tail_term(tails, i)));
    }
}

// The same folding on 512-bit registers (VPCLMULQDQ with AVX-512): each
// register holds four consecutive blocks, four registers 256 bytes apart.
#define QUOR_CLMUL_WIDE_TARGET __attribute__((target("pclmul,ssse3,avx512f,avx512bw,vpclmulqdq")))

// The masked (zeroing) forms of broadcast and extract: the plain ones start
// from an undefined register that g++ 12 takes for an uninitialised read.
QUOR_CLMUL_WIDE_TARGET inline __m512i broadcast_lane(__m128i v) {
    return _mm512_maskz_broadcast_i32x4(0xFFFF, v);
}

template <int kLane>
QUOR_CLMUL_WIDE_TARGET inline __m128i lane(__m512i z) {
    return _mm512_maskz_extracti32x4_epi32(0xF, z, kLane);
}

// fold(s, k) in each 128-bit lane, XORed with `next`.
QUOR_CLMUL_WIDE_TARGET inline __m512i fold_wide(__m512i s, __m512i k, __m512i next) {
    constexpr int kXor3 = 0x96;  // truth table of a ^ b ^ c
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(s, k, 0x00),
                                     _mm512_clmulepi64_epi128(s, k, 0x11), next, kXor3);
}

QUOR_CLMUL_WIDE_TARGET inline __m512i constants_wide(Fold f) {
    return broadcast_lane(constants(f));
}

QUOR_CLMUL_WIDE_TARGET inline __m512i order_wide(Msb16, __m512i raw) {
    const __m512i reverse =
        broadcast_lane(_mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    return _mm512_shuffle_epi8(raw, reverse);
}

QUOR_CLMUL_WIDE_TARGET inline __m512i order_wide(Reflected32, __m512i raw) {
    return raw;
}

// Four blocks of `src` at `at`, stored to the copy too when it is kept.
template <class Kind, bool kCopy>
QUOR_CLMUL_WIDE_TARGET inline __m512i four_blocks(const Source<Kind, kCopy> &src, std::size_t at) {
    const __m512i raw = _mm512_loadu_si512(src.from + at);
    if (kCopy) {
        _mm512_storeu_si512(src.to + at, raw);
    }
    return order_wide(Kind{}, raw);
}

template <class Kind, bool kCopy>
QUOR_CLMUL_WIDE_TARGET void fold_blocks_wide(uint32_t crc, Source<Kind, kCopy> src,
                                             std::size_t blocks, uint8_t residue[16]) {
    if (blocks < 16) {
        fold_blocks<Kind, kCopy>(crc, src, blocks, residue);
        return;
    }
    const __m512i k2048 = constants_wide(Kind::k2048);
    __m512i z0 = _mm512_xor_si512(four_blocks(src, 0), _mm512_zextsi128_si512(Kind::initial(crc)));
    __m512i z1 = four_blocks(src, 64);
    __m512i z2 = four_blocks(src, 128);
    __m512i z3 = four_blocks(src, 192);
    src.advance(256);
    blocks -= 16;
    for (; blocks >= 16; blocks -= 16, src.advance(256)) {
        z0 = fold_wide(z0, k2048, four_blocks(src, 0));
        z1 = fold_wide(z1, k2048, four_blocks(src, 64));
        z2 = fold_wide(z2, k2048, four_blocks(src, 128));
        z3 = fold_wide(z3, k2048, four_blocks(src, 192));
    }
    const __m512i k512 = constants_wide(Kind::k512);
    z0 = fold_wide(z0, k512, z1);
    z0 = fold_wide(z0, k512, z2);
    z0 = fold_wide(z0, k512, z3);
    for (; blocks >= 4; blocks -= 4, src.advance(64)) {
        z0 = fold_wide(z0, k512, four_blocks(src, 0));
    }
    // The four lanes hold consecutive blocks: each is folded over the ones after it.
    __m128i s = lane<3>(z0);
    s = _mm_xor_si128(s, fold(lane<2>(z0), constants(Kind::k128)));
    s = _mm_xor_si128(s, fold(lane<1>(z0), constants(Kind::k256)));
    s = _mm_xor_si128(s, fold(lane<0>(z0), constants(Kind::k384)));
    finish<Kind, kCopy>(s, src, blocks, residue);
}

bool cpu_has_clmul() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    constexpr unsigned kPclmulqdq = 1u << 1;
    constexpr unsigned kSsse3 = 1u << 9;
    return (ecx & kPclmulqdq) != 0 && (ecx & kSsse3) != 0;
}

// VPCLMULQDQ with AVX-512F/BW, and the operating system saving the
// 512-bit registers (XCR0: SSE, AVX, opmask, upper ZMM and high ZMM state).
bool cpu_has_wide_clmul() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    constexpr unsigned kOsxsave = 1u << 27;
    if (!cpu_has_clmul() || __get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & kOsxsave) == 0) {
        return false;
    }
    unsigned xcr0 = 0;
    unsigned xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    constexpr unsigned kZmmState = 0xE6;
    if ((xcr0 & kZmmState) != kZmmState || __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    constexpr unsigned kAvx512f = 1u << 16;
    constexpr unsigned kAvx512bw = 1u << 30;
    constexpr unsigned kVpclmulqdq = 1u << 10;
    return (ebx & kAvx512f) != 0 && (ebx & kAvx512bw) != 0 && (ecx & kVpclmulqdq) != 0;
}

#endif  // QUOR_CRC_CLMUL_X86

}  // namespace

#ifdef QUOR_CRC_CLMUL_X86

bool supported() {
    static const bool yes = cpu_has_clmul();
    return yes;
}

// The folds with and without the copy are separate instances: the loop
// that does not copy has no store and no test for one.
template <class Kind>
void fold_narrow(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                 uint8_t *copy) {
    if (copy != nullptr) {
        fold_blocks<Kind, true>(crc, {data, copy}, blocks, residue);
    } else {
        fold_blocks<Kind, false>(crc, {data, nullptr}, blocks, residue);
    }
}

template <class Kind>
void fold_wide(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
               uint8_t *copy) {
    if (copy != nullptr) {
        fold_blocks_wide<Kind, true>(crc, {data, copy}, blocks, residue);
    } else {
        fold_blocks_wide<Kind, false>(crc, {data, nullptr}, blocks, residue);
    }
}

void fold_crc16(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                uint8_t *copy) {
    fold_narrow<Msb16>(crc, data, blocks, residue, copy);
}

void fold_crc32(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                uint8_t *copy) {
    fold_narrow<Reflected32>(crc, data, blocks, residue, copy);
}

bool supported_wide() {
    static const bool yes = cpu_has_wide_clmul();
    return yes;
}

void fold_crc16_wide(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                     uint8_t *copy) {
    fold_wide<Msb16>(crc, data, blocks, residue, copy);
}

void fold_crc32_wide(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                     uint8_t *copy) {
    fold_wide<Reflected32>(crc, data, blocks, residue, copy);
}

void crc16_each64(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                  const uint16_t *tails, uint16_t *out) {
    if (tails != nullptr) {
        crc16_pieces<2>(crc, data, stride, count, tails, out);
    } else {
        crc16_pieces<0>(crc, data, stride, count, nullptr, out);
    }
}

#else

// Without the folding code every caller stays on the tables; these are never
// reached because supported() is false.
bool supported() {
    return false;
}

void fold_crc16(uint32_t, const uint8_t *, std::size_t, uint8_t residue[16], uint8_t *) {
    std::memset(residue, 0, 16);
}

void fold_crc32(uint32_t, const uint8_t *, std::size_t, uint8_t residue[16], uint8_t *) {
    std::memset(residue, 0, 16);
}

bool supported_wide() {
    return false;
}

void fold_crc16_wide(uint32_t, const uint8_t *, std::size_t, uint8_t residue[16], uint8_t *) {
    std::memset(residue, 0, 16);
}

void fold_crc32_wide(uint32_t, const uint8_t *, std::size_t, uint8_t residue[16], uint8_t *) {
    std::memset(residue, 0, 16);
}

void crc16_each64(uint32_t, const uint8_t *, std::size_t, std::size_t count, const uint16_t *,
                  uint16_t *out) {
    std::memset(out, 0, count * sizeof *out);
}

#endif

}  // namespace quor::crc::clmul
