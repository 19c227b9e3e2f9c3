// Little-endian field access for on-flash and in-buffer records.
//
// Every packed or unaligned field of an untrusted buffer is read and written
// through these helpers (memcpy-free byte assembly), never by casting a
// pointer to a wider type. Callers are responsible for the bounds check; the
// helpers touch exactly 2 or 4 bytes at `p`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

inline uint16_t load_le16(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t load_le32(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

inline void store_le16(void *p, uint16_t v) {
    auto *b = static_cast<uint8_t *>(p);
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
}

inline void store_le32(void *p, uint32_t v) {
    auto *b = static_cast<uint8_t *>(p);
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
    b[2] = static_cast<uint8_t>(v >> 16);
    b[3] = static_cast<uint8_t>(v >> 24);
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes,
// computed without overflow whatever the operands.
inline bool range_fits(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

}  // namespace quor
