// Input layouts of the region and image fuzz targets, shared by the targets
// (which parse them) and by make_corpus (which writes the seeds), so that the
// two never disagree. All integers are little-endian.
//
//   fuzz_afs_region    8 operation bytes, then the AFS region (its length is
//                      the flash size handed to dfs_init)
//   fuzz_efs_region    u32 SKU, u32 table length T, 8 operation bytes, T bytes
//                      of file table buffer (its EFS layout sets the geometry),
//                      then the EFS region (cut or padded with 0xFF to the
//                      layout's size)
//   fuzz_image_record  u32 SKU, 5 x u32 piece lengths, 8 operation bytes, then
//                      the pieces in the order file table, vendor table, tool
//                      partition, AFS region, EFS region (a length of 0 gives a
//                      null pointer; lengths are cut to the bytes present)
//   fuzz_file_table    u32 SKU, then the file table buffer
//   fuzz_fcs_buffer    the FCS buffer itself
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes.h"

namespace fuzz_inputs {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kOpBytes = 8;
inline constexpr size_t kEfsHeaderSize = 8 + kOpBytes;
inline constexpr size_t kPieceCount = 5;
inline constexpr size_t kRecordHeaderSize = 4 + 4 * kPieceCount + kOpBytes;

// Sequential reader over the fuzzer's bytes; reads past the end give zeros.
class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<uint32_t>(u8()) << (8 * i);
        }
        return v;
    }
    // Up to `n` bytes (fewer when the input ends first).
    Bytes take(size_t n) {
        const size_t start = pos_ < size_ ? pos_ : size_;
        const size_t k = n < size_ - start ? n : size_ - start;
        pos_ = start + k;
        return Bytes(data_ + start, data_ + start + k);
    }
    Bytes rest() { return take(size_); }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

inline void append32(Bytes &out, uint32_t v) {
    uint8_t b[4];
    quor::store_le32(b, v);
    out.insert(out.end(), b, b + 4);
}

inline void append(Bytes &out, const Bytes &piece) {
    out.insert(out.end(), piece.begin(), piece.end());
}

}  // namespace fuzz_inputs
