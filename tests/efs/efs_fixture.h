// Builds EFS layout tables and regions for the EFS tests and benchmarks.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "common/bytes.h"

#include "efs/EFS.h"

namespace efs_test {

// Byte counts around the vector steps and tails of the byte checks and fused
// reads (every length to 300, the 512-byte step), and the block sizes.
inline std::vector<uint32_t> vector_step_lengths() {
    std::vector<uint32_t> lengths;
    for (uint32_t n = 1; n <= 300; ++n) {
        lengths.push_back(n);
    }
    for (uint32_t n : {511u, 512u, 513u, 1000u, 4072u, 4076u, 4096u}) {
        lengths.push_back(n);
    }
    return lengths;
}

struct FilePlace {
    uint16_t index;
    uint16_t block;
    uint16_t offset;
    uint16_t maxSize;
};

struct Layout {
    uint32_t sku = 0x1234;
    uint32_t bm = 2, v = 7, n = 3, files = 16, threshold = 100, layoutId = 5;
    std::vector<FilePlace> places;
};

// Files of the default test layout: two sharing block 0, one filling block 1
// next to a small one, one running from block 2 into blocks 3 and 4, one whose
// first record sits at offset 4072 of block 5, and a record outside the table.
inline Layout default_layout() {
    Layout l;
    l.places = {{0, 0, 0, 100},     {1, 0, 200, 300},   {2, 1, 0, 4000}, {6, 1, 4004, 68},
                {3, 2, 4000, 8000}, {4, 5, 4072, 1000}, {40, 6, 0, 10}};
    return l;
}

// Configuration file table buffer: outer header with one SKU entry, then the
// EFS layout header, one layout entry and the file records.
inline std::vector<uint8_t> make_table(const Layout &l) {
    const uint32_t h = 32;
    const uint32_t records = h + 16 + 40;
    std::vector<uint8_t> t(records + 60 * l.places.size(), 0);
    quor::store_le32(&t[0], 0x4C425446u);
    quor::store_le32(&t[12], 1);
    quor::store_le32(&t[h], 0x54534645u);
    quor::store_le32(&t[h + 12], 1);
    const uint32_t fields[10] = {l.sku,
                                 records,
                                 static_cast<uint32_t>(l.places.size()),
                                 static_cast<uint32_t>(60 * l.places.size()),
                                 l.bm,
                                 l.v,
                                 l.n,
                                 l.files,
                                 l.threshold,
                                 l.layoutId};
    for (int i = 0; i < 10; ++i) {
        quor::store_le32(&t[h + 16 + 4 * i], fields[i]);
    }
    for (size_t i = 0; i < l.places.size(); ++i) {
        uint8_t *r = &t[records + 60 * i];
        quor::store_le16(r, l.places[i].index);
        quor::store_le16(r + 50, l.places[i].block);
        quor::store_le16(r + 52, l.places[i].offset);
        quor::store_le16(r + 54, l.places[i].maxSize);
    }
    return t;
}

inline uint32_t load_layout(const Layout &l) {
    const std::vector<uint8_t> t = make_table(l);
    return load_autogen_data(t.data(), l.sku, static_cast<uint32_t>(t.size()));
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>((i * 31u + seed * 7u + (i >> 8)) & 0xFF);
    }
    return v;
}

// Whole content of a file, or nullopt when EFS answers "no content".
inline std::optional<std::vector<uint8_t>> read_all(uint32_t index, uint32_t *status) {
    std::vector<uint8_t> buf(70000, 0xEE);
    uint32_t count = static_cast<uint32_t>(buf.size());
    *status = EFS_read(index, 0, &count, buf.data());
    if (*status != 0) {
        return std::nullopt;
    }
    buf.resize(count);
    return buf;
}

inline std::string describe(const std::optional<std::vector<uint8_t>> &c) {
    return c ? "content of " + std::to_string(c->size()) + " bytes" : std::string("no content");
}

}  // namespace efs_test

namespace efs_test {

// A freshly formatted and mounted region of `layout` (the default test layout unless changed).
class EfsRegionTest : public ::testing::Test {
  protected:
    void SetUp() override { format(default_layout()); }

    void format(const Layout &l) {
        layout_ = l;
        ASSERT_EQ(load_layout(l), 0u);
        ASSERT_EQ(EFS_init(true), 0u);
    }
    uint8_t *bm_block(uint32_t i) { return efs_image + i * 4096; }
    uint8_t *data_block(uint32_t p) { return efs_image + (layout_.bm + p) * 4096; }
    std::vector<uint8_t> image() { return std::vector<uint8_t>(efs_image, efs_image + efs_size); }
    // Remounts the current bytes from a copy the test owns.
    uint32_t remount_copy() {
        copy_ = image();
        return EFS_init_tools(copy_.data());
    }
    void expect_content(uint32_t index, const std::vector<uint8_t> &want) {
        uint32_t st = 0;
        const auto got = read_all(index, &st);
        ASSERT_EQ(st, 0u) << "file " << index;
        ASSERT_TRUE(got && *got == want)
            << "file " << index << ": expected " << want.size() << " bytes, got " << describe(got);
    }
    void write_ok(uint32_t index, const std::vector<uint8_t> &data) {
        static const uint8_t none = 0;  // a zero-length write still passes a valid pointer
        const uint8_t *bytes = data.empty() ? &none : data.data();
        ASSERT_EQ(EFS_write(index, 0, static_cast<uint32_t>(data.size()), bytes), 0u)
            << "file " << index << " length " << data.size();
    }

    Layout layout_;
    std::vector<uint8_t> copy_;
};

// (Tests compare packed efs_ctx fields as +efs_ctx.x: a value, never a misaligned reference.)

// Rewrites the header of block-map block `i` with `sequence` and a fresh CRC.
inline void set_bm_sequence(uint8_t *block, uint32_t sequence) {
    quor::store_le32(block + 4, sequence);
    quor::store_le32(block + 12, EFS_crc32(0, block, 12));
}

}  // namespace efs_test
