// Carry-less multiplication folding for the CRCs of common/crc.h.
//
// Folding reduces whole 16-byte blocks to one 16-byte residue that has the
// same CRC: the CRC, from a zero register, of the residue equals the CRC of
// the blocks continued from `crc`. The caller finishes with the table code
// over the residue and the bytes after the last whole block. Only the
// multiplications are done here, so every result still comes out of the
// same table definition.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::crc::clmul {

// True when this build has the folding code and the CPU runs it.
bool supported();

// Folds `blocks` (>= 1) 16-byte blocks of CRC-16 (0x1021, MSB-first) data
// into `residue`, starting from register `crc`. With `copy` not null the
// blocks are also copied there as they are read (copy must not overlap data).
void fold_crc16(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                uint8_t *copy);
// The same for the reflected CRC-32 (0xEDB88320).
void fold_crc32(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                uint8_t *copy);

// The same on 512-bit registers (VPCLMULQDQ, AVX-512), four blocks per
// register; same results. supported_wide() implies supported().
bool supported_wide();
void fold_crc16_wide(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                     uint8_t *copy);
void fold_crc32_wide(uint32_t crc, const uint8_t *data, std::size_t blocks, uint8_t residue[16],
                     uint8_t *copy);

// CRC-16 of each of `count` 64-byte pieces `stride` bytes apart, each
// continued from register `crc` (and over two bytes tails[i] >> 8, tails[i]
// & 0xFF when `tails` is not null): out[i] = CRC of data + i * stride. Only
// the multiplications and one Barrett reduction per piece, no tables.
void crc16_each64(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                  const uint16_t *tails, uint16_t *out);
// The same, eight pieces per step on 512-bit registers by bit-matrix
// products (GFNI with AVX-512; crc_pages_wide.cpp), for callers that checked
// supported_wide(); where the CPU lacks GFNI it is crc16_each64.
void crc16_each64_wide(uint32_t crc, const uint8_t *data, std::size_t stride, std::size_t count,
                       const uint16_t *tails, uint16_t *out);

// True when crc16_each64_wide runs on bit-matrix products (the CPU has GFNI);
// only then is first_bad_record_wide there to call.
bool pages_by_matrices();
// crc16_first_bad_record of common/crc.h on bit-matrix products, eight
// records per step, each CRC compared with the stored one in its register.
std::size_t first_bad_record_wide(uint32_t crc, const uint8_t *data, std::size_t stride,
                                  std::size_t count, const uint16_t *numbers, uint16_t first);

}  // namespace quor::crc::clmul
