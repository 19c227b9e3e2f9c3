// The bytes EFS writes, pinned against a reference: after every step of a
// fixed workload each logical block's data area equals the one a plain
// model builds (record = length field, data, CRC-16 computed bit by bit),
// and its footer equals the CRC-32 of the whole area computed bit by bit.
// Footers of small records are derived from the old footer (EfsCrc.cpp);
// this is what keeps them equal to a CRC over the whole area.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "efs/EfsBlocks.h"
#include "efs_fixture.h"
#include "support/bitwise_crc.h"

using namespace efs_test;

namespace {

constexpr uint32_t kArea = 4076;
constexpr uint32_t kRoom = 4072;
using Area = std::array<uint8_t, kArea>;

using quor_test::bitwise_crc32;

using quor_test::bitwise_crc16;

class EfsWriteImage : public EfsRegionTest {
  protected:
    void SetUp() override {
        EfsRegionTest::SetUp();
        model_.resize(layout_.v);
        for (uint32_t b = 0; b < layout_.v; ++b) {
            std::copy_n(data_block(efs_ctx.valid_map[b]) + 16, kArea, model_[b].begin());
        }
    }

    // The record at offset `o` of block `b` as the model builds it.
    void model_record(uint32_t b, uint32_t o, uint16_t lengthField, const uint8_t *data,
                      uint32_t n) {
        uint8_t *rec = model_[b].data() + o;
        quor::store_le16(rec, lengthField);
        std::copy_n(data, n, rec + 4);
        const uint16_t crc = bitwise_crc16(bitwise_crc16(b, rec, 2), rec + 4, n);
        quor::store_le16(rec + 2, crc);
    }

    void model_write(const FilePlace &f, const std::vector<uint8_t> &data) {
        uint32_t placed = 0;
        for (uint32_t b = f.block;; ++b) {
            const uint32_t at = b == f.block ? f.offset : 0;
            const uint32_t n =
                std::min<uint32_t>(static_cast<uint32_t>(data.size()) - placed, kRoom - at);
            const uint16_t field = b == f.block ? static_cast<uint16_t>(data.size()) : 0xFFFF;
            model_record(b, at, field, data.data() + placed, n);
            placed += n;
            if (placed >= data.size()) {
                return;
            }
        }
    }

    const FilePlace &place(uint32_t index) const {
        return *std::find_if(layout_.places.begin(), layout_.places.end(),
                             [index](const FilePlace &f) { return f.index == index; });
    }

    void write_both(uint32_t index, const std::vector<uint8_t> &data) {
        write_ok(index, data);
        model_write(place(index), data);
    }

    void delete_both(uint32_t index) {
        ASSERT_EQ(EFS_delete(index), 0u) << "file " << index;
        const FilePlace &f = place(index);
        model_record(f.block, f.offset, 0xFFFF, nullptr, 0);
    }

    void expect_image_matches_model(const char *step) {
        for (uint32_t b = 0; b < layout_.v; ++b) {
            const uint8_t *block = data_block(efs_ctx.valid_map[b]);
            ASSERT_TRUE(std::equal(model_[b].begin(), model_[b].end(), block + 16))
                << step << ": data area of logical block " << b;
            ASSERT_EQ(quor::load_le32(block + 4092), bitwise_crc32(0, block + 16, kArea))
                << step << ": footer of logical block " << b;
        }
    }

    std::vector<Area> model_;
};

TEST_F(EfsWriteImage, EveryBlockEqualsTheModelAfterEachWriteAndDelete) {
    struct Step {
        uint32_t index;
        uint32_t size;  // bytes written; kDelete deletes
    };
    constexpr uint32_t kDelete = 0xFFFFFFFFu;
    // Small and large records, at offset 0, in mid-block and at 4072; whole
    // blocks and continuations; empty contents; rewrites of the same files.
    const Step steps[] = {{0, 100},  {1, 300},  {2, 4000},    {6, 68},      {3, 8000},    {4, 1000},
                          {0, 7},    {2, 1},    {3, 72},      {1, 0},       {4, 0},       {6, 1},
                          {3, 4145}, {2, 1100}, {0, 100},     {0, kDelete}, {3, kDelete}, {1, 299},
                          {4, 999},  {2, 4000}, {6, kDelete}, {3, 1}};
    uint32_t seed = 1;
    for (const Step &s : steps) {
        const std::string what =
            "file " + std::to_string(s.index) + " step " + std::to_string(seed);
        if (s.size == kDelete) {
            delete_both(s.index);
        } else {
            write_both(s.index, pattern(s.size, seed));
        }
        expect_image_matches_model(what.c_str());
        ++seed;
    }
    ASSERT_EQ(remount_copy(), 0u);
}

// x^(8k) applied to a register equals running the register over k zero bytes.
TEST(EfsCrcAfterZeros, EqualsTheCrcOverThatManyZeroBytes) {
    std::mt19937 rng(17);
    const std::vector<uint8_t> zeros(kArea, 0);
    std::vector<uint32_t> counts = {0, 1, 2, 3, 4, 7, 8, 15, 16, 63, 64, 4047, 4072, kArea};
    for (int i = 0; i < 40; ++i) {
        counts.push_back(rng() % (kArea + 1));
    }
    for (uint32_t k : counts) {
        for (uint32_t crc : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, static_cast<uint32_t>(rng())}) {
            ASSERT_EQ(quor::efs::detail::crc32_after_zeros(crc, k),
                      bitwise_crc32(crc, zeros.data(), k))
                << "register " << crc << ", " << k << " zero bytes";
        }
    }
}

}  // namespace
