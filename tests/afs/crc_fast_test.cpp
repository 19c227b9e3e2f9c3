// crc16 (sixteen bytes per step) against a bit-by-bit CRC-16 of polynomial
// 0x1021, MSB first, over random data of every length 0..300 at every
// alignment, with random tails and random starting values.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "afs/AfsCrc.h"
#include "common/bytes.h"
#include "common/crc_slicing.h"
#include "support/bitwise_crc.h"

namespace {

using quor_test::bitwise_crc16;

uint32_t bitwise_crc16_with_tail(const uint8_t *data, int32_t length, const uint8_t *tail) {
    uint32_t crc = bitwise_crc16(0xFFFF, data, length > 0 ? static_cast<size_t>(length) : 0);
    return bitwise_crc16(crc, tail, 2);
}

TEST(AfsCrcFast, Crc16EqualsTheBitwiseCrcForEveryLengthAndAlignment) {
    std::mt19937 rng(0xAF5C);
    std::vector<uint8_t> buffer(300 + 8);
    for (int round = 0; round < 4; ++round) {
        for (auto &b : buffer) {
            b = static_cast<uint8_t>(rng());
        }
        for (int32_t length = 0; length <= 300; ++length) {
            const size_t shift = rng() % 8;
            const uint8_t tail[2] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
            const uint8_t *data = buffer.data() + shift;
            ASSERT_EQ(crc16(data, length, tail), bitwise_crc16_with_tail(data, length, tail))
                << "length " << length << ", offset " << shift << ", round " << round;
        }
    }
    // A negative length takes the tail alone.
    const uint8_t tail[2] = {0x12, 0x34};
    EXPECT_EQ(crc16(buffer.data(), -5, tail), bitwise_crc16_with_tail(buffer.data(), 0, tail));
}

TEST(AfsCrcFast, SlicedUpdateContinuesFromAnyStartingValue) {
    constexpr auto tables = quor::crc_slicing::msb16_tables([](uint32_t i) {
        uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000u) != 0 ? ((crc << 1) ^ 0x1021u) : (crc << 1);
        }
        return static_cast<uint16_t>(crc);
    });
    std::mt19937 rng(0x5EED);
    std::vector<uint8_t> data(300);
    for (int round = 0; round < 2000; ++round) {
        for (auto &b : data) {
            b = static_cast<uint8_t>(rng());
        }
        const size_t length = rng() % 301;
        const uint32_t seed = rng() & 0xFFFFu;
        ASSERT_EQ(quor::crc_slicing::msb16_update(tables, seed, data.data(), length),
                  bitwise_crc16(seed, data.data(), length))
            << "length " << length << ", seed " << seed;
    }
}

// Page records as the FTL checks them: 64 data bytes and the page number.
TEST(AfsCrcFast, RecordCrcMatchesTheBitwiseCrc) {
    std::mt19937 rng(64);
    uint8_t page[64];
    for (int round = 0; round < 200; ++round) {
        for (auto &b : page) {
            b = static_cast<uint8_t>(rng());
        }
        const auto number = static_cast<uint16_t>(rng());
        const uint8_t tail[2] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8)};
        ASSERT_EQ(quor::afs::crc16_of_record(page, number), bitwise_crc16_with_tail(page, 64, tail))
            << "page " << number;
    }
}

// Many records at once (the FTL's check-ahead) give what one record at a
// time gives, for runs shorter and longer than a batch of 64, records 66
// bytes apart at any alignment, and any page numbers.
TEST(AfsCrcFast, RecordsAtOnceEqualOneRecordAtATime) {
    std::mt19937 rng(0x66);
    std::vector<uint8_t> buffer(200 * 66 + 8);
    for (auto &b : buffer) {
        b = static_cast<uint8_t>(rng());
    }
    for (uint32_t count : {1u, 2u, 7u, 8u, 9u, 61u, 64u, 65u, 122u, 200u}) {
        const size_t shift = rng() % 8;
        std::vector<uint16_t> pages(count);
        for (auto &p : pages) {
            p = static_cast<uint16_t>(rng());
        }
        std::vector<uint16_t> out(count);
        quor::afs::crc16_of_records(buffer.data() + shift, 66, count, pages.data(), out.data());
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_EQ(out[i], quor::afs::crc16_of_record(buffer.data() + shift + 66 * i, pages[i]))
                << "record " << i << " of " << count << ", offset " << shift;
        }
    }
}

// The records of a bulk read checked in one pass: for listed and for
// consecutive page numbers (across the wrap past 0xFFFF), the first record
// whose stored CRC (bytes 64 and 65, low byte first) disagrees with
// crc16_of_record, wherever it is, or the count when all agree.
TEST(AfsCrcFast, FirstUnmatchedRecordFindsTheFirstBadRecord) {
    std::mt19937 rng(0xBAD);
    for (uint32_t count : {1u, 7u, 8u, 9u, 61u, 64u}) {
        std::vector<uint8_t> records(count * 66 + 3);
        for (auto &b : records) {
            b = static_cast<uint8_t>(rng());
        }
        uint8_t *base = records.data() + 3;  // any alignment
        const auto first = static_cast<uint16_t>(0x10000 - count / 2);
        std::vector<uint16_t> pages(count);
        for (uint32_t i = 0; i < count; ++i) {
            pages[i] = static_cast<uint16_t>(first + i);
            quor::store_le16(base + 66 * i + 64,
                             quor::afs::crc16_of_record(base + 66 * i, pages[i]));
        }
        EXPECT_EQ(quor::afs::first_unmatched_record(base, 66, count, pages.data()), count);
        EXPECT_EQ(quor::afs::first_unmatched_record(base, 66, count, first), count);
        for (uint32_t bad = 0; bad < count; ++bad) {
            const auto flip = static_cast<uint8_t>(1u << (rng() % 8));
            base[66 * bad + 64 + rng() % 2] ^= flip;
            ASSERT_EQ(quor::afs::first_unmatched_record(base, 66, count, pages.data()), bad)
                << "record " << bad << " of " << count;
            ASSERT_EQ(quor::afs::first_unmatched_record(base, 66, count, first), bad)
                << "consecutive record " << bad << " of " << count;
            // Its page number, not its bytes, wrong.
            quor::store_le16(base + 66 * bad + 64,
                             quor::afs::crc16_of_record(base + 66 * bad, pages[bad]));
            pages[bad] ^= 1;
            ASSERT_EQ(quor::afs::first_unmatched_record(base, 66, count, pages.data()), bad);
            pages[bad] ^= 1;
        }
    }
}

}  // namespace
