// Byte checks of EFS: the erased check (every byte 0xFF) and the other
// all-one-value checks, and the checks of bytes as they are copied (the
// driver's reads fused with the test of what they read), on 512-bit
// registers where the CPU has AVX-512BW.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "efs/EfsBlocks.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_EFS_BYTES_X86 1
#include <immintrin.h>
#endif

namespace quor::efs::detail {
namespace {

// Every byte equals the first one exactly when the buffer equals itself
// shifted by one byte: one memcmp call, which is already vectorised.
bool all_bytes_memcmp(const uint8_t *p, uint32_t n, uint8_t value) {
    return p[0] == value && std::memcmp(p, p + 1, n - 1) == 0;
}

#ifdef QUOR_EFS_BYTES_X86

#define QUOR_EFS_WIDE_TARGET __attribute__((target("avx512f,avx512bw")))

// The differences from `value` ORed together, 256 bytes per step (four
// independent accumulators), the last partial register by a masked load
// that reads nothing past the end; no early exit: the checked areas are
// almost always all `value`, and a branch per register would cost more than
// it saves. A check reads every byte once, where memcmp with itself reads
// each twice.
QUOR_EFS_WIDE_TARGET bool all_bytes_wide(const uint8_t *p, uint32_t n, uint8_t value) {
    constexpr int kOrXor = 0xF6;  // truth table of a | (b ^ c)
    const __m512i v = _mm512_set1_epi8(static_cast<char>(value));
    __m512i a0 = _mm512_setzero_si512();
    __m512i a1 = a0;
    __m512i a2 = a0;
    __m512i a3 = a0;
    uint32_t i = 0;
    for (; i + 256 <= n; i += 256) {
        a0 = _mm512_ternarylogic_epi64(a0, _mm512_loadu_si512(p + i), v, kOrXor);
        a1 = _mm512_ternarylogic_epi64(a1, _mm512_loadu_si512(p + i + 64), v, kOrXor);
        a2 = _mm512_ternarylogic_epi64(a2, _mm512_loadu_si512(p + i + 128), v, kOrXor);
        a3 = _mm512_ternarylogic_epi64(a3, _mm512_loadu_si512(p + i + 192), v, kOrXor);
    }
    for (; i + 64 <= n; i += 64) {
        a0 = _mm512_ternarylogic_epi64(a0, _mm512_loadu_si512(p + i), v, kOrXor);
    }
    if (i < n) {
        const __mmask64 rest = ~uint64_t{0} >> (64 - (n - i));
        a1 = _mm512_ternarylogic_epi64(a1, _mm512_mask_loadu_epi8(v, rest, p + i), v, kOrXor);
    }
    const __m512i all = _mm512_or_si512(_mm512_or_si512(a0, a1), _mm512_or_si512(a2, a3));
    return _mm512_test_epi64_mask(all, all) == 0;
}

// Mask of the first n (1..64) bytes of a register.
inline __mmask64 first_bytes(uint32_t n) {
    return ~uint64_t{0} >> (64 - n);
}

// Bytes before `to` reaches a 64-byte boundary (0..63). The copies store
// whole registers from there on: a store that splits over two cache lines
// costs more than a load that does (the EFS buffers sit at odd offsets).
inline uint32_t unaligned_head(const uint8_t *to) {
    return static_cast<uint32_t>(-reinterpret_cast<uintptr_t>(to) & 63u);
}

// copy_equal, 128 bytes per step: each register of `from` is stored to `to`
// and its difference from `expected` ORed into an accumulator.
QUOR_EFS_WIDE_TARGET bool copy_equal_wide(uint8_t *to, const uint8_t *from, const uint8_t *expected,
                                          uint32_t n) {
    constexpr int kOrXor = 0xF6;
    __m512i a0 = _mm512_setzero_si512();
    __m512i a1 = a0;
    uint32_t i = 0;
    const uint32_t head = std::min(n, unaligned_head(to));
    if (head != 0) {
        const __mmask64 m = first_bytes(head);
        const __m512i x = _mm512_maskz_loadu_epi8(m, from);
        _mm512_mask_storeu_epi8(to, m, x);
        a0 = _mm512_ternarylogic_epi64(a0, x, _mm512_maskz_loadu_epi8(m, expected), kOrXor);
        i = head;
    }
    for (; i + 128 <= n; i += 128) {
        const __m512i x0 = _mm512_loadu_si512(from + i);
        const __m512i x1 = _mm512_loadu_si512(from + i + 64);
        _mm512_store_si512(to + i, x0);
        _mm512_store_si512(to + i + 64, x1);
        a0 = _mm512_ternarylogic_epi64(a0, x0, _mm512_loadu_si512(expected + i), kOrXor);
        a1 = _mm512_ternarylogic_epi64(a1, x1, _mm512_loadu_si512(expected + i + 64), kOrXor);
    }
    for (; i < n; i += 64) {
        const __mmask64 m = n - i >= 64 ? ~__mmask64{0} : first_bytes(n - i);
        const __m512i x = _mm512_maskz_loadu_epi8(m, from + i);
        _mm512_mask_storeu_epi8(to + i, m, x);
        a0 = _mm512_ternarylogic_epi64(a0, x, _mm512_maskz_loadu_epi8(m, expected + i), kOrXor);
    }
    const __m512i all = _mm512_or_si512(a0, a1);
    return _mm512_test_epi64_mask(all, all) == 0;
}

// copy_all: the same against one value.
QUOR_EFS_WIDE_TARGET bool copy_all_wide(uint8_t *to, const uint8_t *from, uint32_t n,
                                        uint8_t value) {
    constexpr int kOrXor = 0xF6;
    const __m512i v = _mm512_set1_epi8(static_cast<char>(value));
    __m512i a0 = _mm512_setzero_si512();
    __m512i a1 = a0;
    uint32_t i = 0;
    const uint32_t head = std::min(n, unaligned_head(to));
    if (head != 0) {
        const __mmask64 m = first_bytes(head);
        const __m512i x = _mm512_mask_loadu_epi8(v, m, from);
        _mm512_mask_storeu_epi8(to, m, x);
        a0 = _mm512_ternarylogic_epi64(a0, x, v, kOrXor);
        i = head;
    }
    for (; i + 128 <= n; i += 128) {
        const __m512i x0 = _mm512_loadu_si512(from + i);
        const __m512i x1 = _mm512_loadu_si512(from + i + 64);
        _mm512_store_si512(to + i, x0);
        _mm512_store_si512(to + i + 64, x1);
        a0 = _mm512_ternarylogic_epi64(a0, x0, v, kOrXor);
        a1 = _mm512_ternarylogic_epi64(a1, x1, v, kOrXor);
    }
    for (; i < n; i += 64) {
        const __mmask64 m = n - i >= 64 ? ~__mmask64{0} : first_bytes(n - i);
        const __m512i x = _mm512_mask_loadu_epi8(v, m, from + i);
        _mm512_mask_storeu_epi8(to + i, m, x);
        a0 = _mm512_ternarylogic_epi64(a0, x, v, kOrXor);
    }
    const __m512i all = _mm512_or_si512(a0, a1);
    return _mm512_test_epi64_mask(all, all) == 0;
}

bool cpu_has_avx512bw() {
    // The compilers' CPU test also checks that the OS saves the 512-bit registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

#endif

// True when the 512-bit forms run here (decided once).
bool wide() {
#ifdef QUOR_EFS_BYTES_X86
    static const bool yes = cpu_has_avx512bw();
    return yes;
#else
    return false;
#endif
}

}  // namespace

bool all_bytes_long(const uint8_t *p, uint32_t n, uint8_t value) {
#ifdef QUOR_EFS_BYTES_X86
    if (wide()) {
        return all_bytes_wide(p, n, value);
    }
#endif
    return all_bytes_memcmp(p, n, value);
}

bool copy_equal(uint8_t *to, const uint8_t *from, const uint8_t *expected, uint32_t n) {
#ifdef QUOR_EFS_BYTES_X86
    if (wide()) {
        return copy_equal_wide(to, from, expected, n);
    }
#endif
    if (n == 0) {
        return true;
    }
    std::memcpy(to, from, n);
    return std::memcmp(to, expected, n) == 0;
}

bool copy_all(uint8_t *to, const uint8_t *from, uint32_t n, uint8_t value) {
#ifdef QUOR_EFS_BYTES_X86
    if (wide()) {
        return copy_all_wide(to, from, n, value);
    }
#endif
    if (n == 0) {
        return true;
    }
    std::memcpy(to, from, n);
    return all_bytes(to, n, value);
}

}  // namespace quor::efs::detail
