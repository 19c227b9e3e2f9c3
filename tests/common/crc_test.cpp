// Every CRC implementation (tables, carry-less folding, and whichever the
// dispatcher picked) against the bit-by-bit definition of its polynomial, on
// random data of random lengths, alignments and starting registers; and the
// choice of implementation at the first call.
#include "common/crc.h"
#include "support/bitwise_crc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using quor::crc::Implementation;

using quor_test::bitwise_crc16;

using quor_test::bitwise_crc32;

struct Case {
    const char *name;
    // The implementation under test; the active one when `dispatched`.
    Implementation impl;
    bool dispatched;
};

uint32_t run16(const Case &c, uint32_t crc, const uint8_t *data, size_t length) {
    return c.dispatched ? quor::crc::crc16(crc, data, length)
                        : quor::crc::crc16_with(c.impl, crc, data, length);
}

uint32_t run32(const Case &c, uint32_t crc, const uint8_t *data, size_t length) {
    return c.dispatched ? quor::crc::crc32(crc, data, length)
                        : quor::crc::crc32_with(c.impl, crc, data, length);
}

class CrcImplementation : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (!quor::crc::available(GetParam().impl)) {
            GTEST_SKIP() << "this CPU cannot run " << GetParam().name;
        }
        std::mt19937 rng(0xC12C);
        for (auto &b : buffer_) {
            b = static_cast<uint8_t>(rng());
        }
    }

    // Lengths: every one up to 600 (the short paths, every tail, every count
    // of single folds around the four-way loops of 64 and 256 bytes), then
    // random ones up to 9000 and the sizes the file systems use. Offsets 0..15 vary the
    // alignment; registers are random.
    template <class Fast, class Slow>
    void expect_equal(Fast fast, Slow slow, uint32_t registerMask) {
        std::mt19937 rng(0x5EED);
        std::vector<size_t> lengths;
        for (size_t n = 0; n <= 600; ++n) {
            lengths.push_back(n);
        }
        for (int i = 0; i < 200; ++i) {
            lengths.push_back(rng() % 9000);
        }
        for (size_t n : {4076u, 4092u, 8192u, 8999u}) {
            lengths.push_back(n);
        }
        for (size_t length : lengths) {
            const size_t offset = rng() % 16;
            const uint32_t seed = rng() & registerMask;
            const uint8_t *data = buffer_.data() + offset;
            ASSERT_EQ(fast(seed, data, length), slow(seed, data, length))
                << GetParam().name << ": length " << length << ", offset " << offset
                << ", register " << seed;
        }
    }

    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(9000 + 16);
};

TEST_P(CrcImplementation, Crc16EqualsTheBitwiseDefinition) {
    const Case c = GetParam();
    expect_equal([&](uint32_t crc, const uint8_t *d, size_t n) { return run16(c, crc, d, n); },
                 bitwise_crc16, 0xFFFFu);
}

TEST_P(CrcImplementation, Crc32EqualsTheBitwiseDefinition) {
    const Case c = GetParam();
    expect_equal([&](uint32_t crc, const uint8_t *d, size_t n) { return run32(c, crc, d, n); },
                 bitwise_crc32, 0xFFFFFFFFu);
}

// A 4 KiB block fed in random pieces (each piece folded or not on its own)
// gives the CRC of the whole.
TEST_P(CrcImplementation, PiecesGiveTheCrcOfTheWhole) {
    const Case c = GetParam();
    std::mt19937 rng(4096);
    const uint8_t *data = buffer_.data() + 3;
    const size_t total = 4092;
    uint32_t crc16 = 0xFFFF;
    uint32_t crc32 = 0;
    for (size_t at = 0; at < total;) {
        const size_t n = std::min<size_t>(1 + rng() % 300, total - at);
        crc16 = run16(c, crc16, data + at, n);
        crc32 = run32(c, crc32, data + at, n);
        at += n;
    }
    EXPECT_EQ(crc16, bitwise_crc16(0xFFFF, data, total));
    EXPECT_EQ(crc32, bitwise_crc32(0, data, total));
}

// The copying CRCs as the case calls them: the CRC of `from`, which lands in `to`.
uint32_t run_copy(const Case &c, bool crc32, uint32_t crc, uint8_t *to, const uint8_t *from,
                  size_t length) {
    if (c.dispatched) {
        return crc32 ? quor::crc::crc32_copy(crc, to, from, length)
                     : quor::crc::crc16_copy(crc, to, from, length);
    }
    return crc32 ? quor::crc::crc32_copy_with(c.impl, crc, to, from, length)
                 : quor::crc::crc16_copy_with(c.impl, crc, to, from, length);
}

// Copying while computing: the same CRC as the bitwise definition, every
// byte copied and nothing written before or after the copy, for every
// length around the folds' steps, random longer ones and both alignments of
// source and destination.
TEST_P(CrcImplementation, CopyingGivesTheCrcAndAnExactCopy) {
    const Case c = GetParam();
    std::mt19937 rng(0xC0B1);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) {
        lengths.push_back(n);
    }
    for (int i = 0; i < 60; ++i) {
        lengths.push_back(rng() % 9000);
    }
    lengths.push_back(4072);
    lengths.push_back(4076);
    std::vector<uint8_t> to(9000 + 64);
    for (bool crc32 : {false, true}) {
        for (size_t length : lengths) {
            const size_t from = rng() % 16;
            const size_t at = 16 + rng() % 16;
            const uint32_t seed = rng() & (crc32 ? 0xFFFFFFFFu : 0xFFFFu);
            std::fill(to.begin(), to.end(), 0xA5);
            const uint8_t *data = buffer_.data() + from;
            const uint32_t want =
                crc32 ? bitwise_crc32(seed, data, length) : bitwise_crc16(seed, data, length);
            ASSERT_EQ(run_copy(c, crc32, seed, to.data() + at, data, length), want)
                << GetParam().name << (crc32 ? " crc32" : " crc16") << ": length " << length;
            ASSERT_TRUE(std::equal(data, data + length, to.begin() + static_cast<long>(at)))
                << GetParam().name << ": copy of " << length << " bytes differs";
            ASSERT_TRUE(std::all_of(to.begin(), to.begin() + static_cast<long>(at),
                                    [](uint8_t b) { return b == 0xA5; }));
            ASSERT_TRUE(std::all_of(to.begin() + static_cast<long>(at + length), to.end(),
                                    [](uint8_t b) { return b == 0xA5; }))
                << GetParam().name << ": written past a copy of " << length << " bytes";
        }
    }
}

// crc16_each64 or, with tails, crc16_each64_tailed, as the case calls them.
void run_each64(const Case &c, uint32_t crc, const uint8_t *data, size_t stride, size_t count,
                const uint16_t *tails, uint16_t *out) {
    if (c.dispatched) {
        if (tails != nullptr) {
            quor::crc::crc16_each64_tailed(crc, data, stride, count, tails, out);
        } else {
            quor::crc::crc16_each64(crc, data, stride, count, out);
        }
    } else if (tails != nullptr) {
        quor::crc::crc16_each64_tailed_with(c.impl, crc, data, stride, count, tails, out);
    } else {
        quor::crc::crc16_each64_with(c.impl, crc, data, stride, count, out);
    }
}

// The bitwise CRC of a piece followed by its tail, if any.
uint32_t bitwise_piece(uint32_t crc, const uint8_t *piece, const uint16_t *tail) {
    crc = bitwise_crc16(crc, piece, 64);
    if (tail != nullptr) {
        const uint8_t bytes[2] = {static_cast<uint8_t>(*tail >> 8), static_cast<uint8_t>(*tail)};
        crc = bitwise_crc16(crc, bytes, 2);
    }
    return crc;
}

// Many 64-byte pieces at once, with and without tails: every piece's CRC
// equals the bitwise CRC of that piece (and tail), for counts around the
// eight-piece steps, strides from packed to the 66 of the AFS page records
// and beyond, every alignment and random registers; nothing is written past
// the last result.
TEST_P(CrcImplementation, EachPieceOf64BytesEqualsItsBitwiseCrc) {
    const Case c = GetParam();
    std::mt19937 rng(0x6464);
    for (bool withTails : {false, true}) {
        for (size_t count : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 13u, 15u, 16u, 17u, 23u, 24u,
                             25u, 61u, 122u}) {
            for (size_t stride : {64u, 65u, 66u, 80u, 130u}) {
                if (count * stride + 16 > buffer_.size()) {
                    continue;
                }
                const size_t offset = rng() % 16;
                const uint32_t seed = rng() & 0xFFFFu;
                const uint8_t *data = buffer_.data() + offset;
                std::vector<uint16_t> tails(count);
                for (auto &t : tails) {
                    t = static_cast<uint16_t>(rng());
                }
                std::vector<uint16_t> out(count + 1, 0xBEEF);
                run_each64(c, seed, data, stride, count, withTails ? tails.data() : nullptr,
                           out.data());
                for (size_t i = 0; i < count; ++i) {
                    ASSERT_EQ(out[i], bitwise_piece(seed, data + i * stride,
                                                    withTails ? &tails[i] : nullptr))
                        << GetParam().name << ": piece " << i << " of " << count << ", stride "
                        << stride << ", offset " << offset << ", register " << seed
                        << (withTails ? ", with tails" : "");
                }
                EXPECT_EQ(out[count], 0xBEEF) << "written past the last piece";
            }
        }
    }
}

// The pieces and tails read are exactly the ones asked for: each run lies at
// the very end of its own allocation (and the tails in theirs), so a read
// past the last piece's 64 bytes or the last tail is out of bounds (which
// the sanitizer builds report); a piece's CRC does not depend on the bytes
// between pieces.
TEST_P(CrcImplementation, EachPieceOf64BytesReadsOnlyItsPieces) {
    const Case c = GetParam();
    std::mt19937 rng(0x6565);
    for (bool withTails : {false, true}) {
        for (size_t count : {1u, 5u, 8u, 11u, 64u}) {
            for (size_t stride : {64u, 66u, 100u}) {
                const size_t bytes = (count - 1) * stride + 64;
                std::vector<uint8_t> data(bytes);
                for (auto &b : data) {
                    b = static_cast<uint8_t>(rng());
                }
                std::vector<uint16_t> tails(count);
                for (auto &t : tails) {
                    t = static_cast<uint16_t>(rng());
                }
                std::vector<uint16_t> out(count);
                run_each64(c, 0xFFFF, data.data(), stride, count,
                           withTails ? tails.data() : nullptr, out.data());
                // The same pieces with other bytes between them.
                std::vector<uint8_t> spread(count * 130);
                for (size_t i = 0; i < count; ++i) {
                    std::copy_n(data.data() + i * stride, 64, spread.data() + i * 130);
                    std::fill_n(spread.data() + i * 130 + 64, 66, static_cast<uint8_t>(i + 1));
                }
                std::vector<uint16_t> again(count);
                run_each64(c, 0xFFFF, spread.data(), 130, count, withTails ? tails.data() : nullptr,
                           again.data());
                for (size_t i = 0; i < count; ++i) {
                    ASSERT_EQ(out[i], bitwise_piece(0xFFFF, data.data() + i * stride,
                                                    withTails ? &tails[i] : nullptr))
                        << GetParam().name << ": piece " << i << " of " << count << ", stride "
                        << stride << (withTails ? ", with tails" : "");
                    ASSERT_EQ(again[i], out[i]) << GetParam().name << ": piece " << i;
                }
            }
        }
    }
}

// The reduction of the folded sum is exact for every value the products can
// take: pieces of all ones, all zeros, single set bits in each word, tails
// at both ends and the registers at both ends.
TEST_P(CrcImplementation, EachPieceOf64BytesAtTheEdges) {
    const Case c = GetParam();
    std::vector<uint8_t> pieces;
    for (uint8_t fill : {0x00, 0xFF, 0x80, 0x01}) {
        pieces.insert(pieces.end(), 64, fill);
    }
    for (size_t bit = 0; bit < 512; bit += 7) {
        std::vector<uint8_t> one(64, 0);
        one[bit / 8] = static_cast<uint8_t>(0x80u >> (bit % 8));
        pieces.insert(pieces.end(), one.begin(), one.end());
    }
    const size_t count = pieces.size() / 64;
    std::vector<uint16_t> tails(count);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t edge[] = {0x0000, 0xFFFF, 0x8000, 0x0001};
        tails[i] = edge[i % 4];
    }
    for (uint32_t seed : {0x0000u, 0xFFFFu, 0x8000u, 0x0001u}) {
        for (bool withTails : {false, true}) {
            std::vector<uint16_t> out(count);
            run_each64(c, seed, pieces.data(), 64, count, withTails ? tails.data() : nullptr,
                       out.data());
            for (size_t i = 0; i < count; ++i) {
                ASSERT_EQ(out[i], bitwise_piece(seed, pieces.data() + 64 * i,
                                                withTails ? &tails[i] : nullptr))
                    << GetParam().name << ": piece " << i << ", register " << seed;
            }
        }
    }
}

size_t run_first_bad(const Case &c, uint32_t crc, const uint8_t *data, size_t stride, size_t count,
                     const uint16_t *numbers, uint16_t first) {
    return c.dispatched
               ? quor::crc::crc16_first_bad_record(crc, data, stride, count, numbers, first)
               : quor::crc::crc16_first_bad_record_with(c.impl, crc, data, stride, count, numbers,
                                                        first);
}

// Records of 64 bytes, each followed by the bitwise CRC of its bytes and its
// number (low byte first), packed `stride` apart so that the last record
// ends exactly at the end of its allocation: a read past its 66 bytes is out
// of bounds (the sanitizer builds report it).
struct Records {
    std::vector<uint8_t> bytes;
    std::vector<uint16_t> numbers;

    Records(std::mt19937 &rng, uint32_t seed, size_t count, size_t stride, bool consecutive,
            uint16_t first)
        : bytes(count == 0 ? 0 : (count - 1) * stride + 66), numbers(count) {
        for (auto &b : bytes) {
            b = static_cast<uint8_t>(rng());
        }
        for (size_t i = 0; i < count; ++i) {
            numbers[i] =
                consecutive ? static_cast<uint16_t>(first + i) : static_cast<uint16_t>(rng());
            uint8_t *record = bytes.data() + i * stride;
            const uint8_t tail[2] = {static_cast<uint8_t>(numbers[i]),
                                     static_cast<uint8_t>(numbers[i] >> 8)};
            const uint32_t crc = bitwise_crc16(bitwise_crc16(seed, record, 64), tail, 2);
            record[64] = static_cast<uint8_t>(crc);
            record[65] = static_cast<uint8_t>(crc >> 8);
        }
    }
};

// The first record whose stored CRC is not its CRC: none for good records,
// and with one record spoilt (a bit of its data, its stored CRC or its
// number), that one, wherever it is among counts around the eight-record
// steps, with a later record spoilt too; numbers listed or consecutive
// (wrapping past 0xFFFF), any stride from packed on, random registers.
TEST_P(CrcImplementation, FirstBadRecordIsTheFirstWhoseCrcDiffers) {
    const Case c = GetParam();
    std::mt19937 rng(0xF1B);
    for (size_t count : {0u, 1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 23u, 61u, 64u, 65u, 130u}) {
        for (size_t stride : {66u, 67u, 80u}) {
            for (bool consecutive : {false, true}) {
                const uint32_t seed = rng() & 0xFFFFu;
                const auto first = static_cast<uint16_t>(
                    consecutive && (rng() & 1) != 0 ? 0x10000 - count / 2 : rng());
                Records r(rng, seed, count, stride, consecutive, first);
                const uint16_t *numbers = consecutive ? nullptr : r.numbers.data();
                const auto where = [&] {
                    return run_first_bad(c, seed, r.bytes.data(), stride, count, numbers, first);
                };
                ASSERT_EQ(where(), count) << GetParam().name << ": " << count << " good records";
                for (size_t bad = 0; bad < count; ++bad) {
                    // A data bit, a stored CRC bit, or (listed) the number.
                    const unsigned kind = static_cast<unsigned>(rng() % (consecutive ? 2 : 3));
                    uint8_t *record = r.bytes.data() + bad * stride;
                    const size_t byte = kind == 0 ? rng() % 64 : 64 + rng() % 2;
                    const auto bit = static_cast<uint8_t>(1u << (rng() % 8));
                    const auto numberBit = static_cast<uint16_t>(1u << (rng() % 16));
                    if (kind == 2) {
                        r.numbers[bad] ^= numberBit;
                    } else {
                        record[byte] ^= bit;
                    }
                    // A later one spoilt too (its stored CRC: a bit there always shows).
                    uint8_t *later = r.bytes.data() + (count - 1) * stride + 64 + rng() % 2;
                    if (bad + 1 < count) {
                        *later ^= 0x10;
                    }
                    ASSERT_EQ(where(), bad)
                        << GetParam().name << ": record " << bad << " of " << count << ", stride "
                        << stride << (consecutive ? ", consecutive" : ", listed") << ", kind "
                        << kind;
                    if (kind == 2) {
                        r.numbers[bad] ^= numberBit;
                    } else {
                        record[byte] ^= bit;
                    }
                    if (bad + 1 < count) {
                        *later ^= 0x10;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Crc, CrcImplementation,
                         testing::Values(Case{"tables", Implementation::kTable, false},
                                         Case{"clmul", Implementation::kClmul, false},
                                         Case{"clmul_wide", Implementation::kClmulWide, false},
                                         Case{"dispatched", Implementation::kTable, true}),
                         [](const testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

TEST(CrcByteTables, EachEntryIsTheCrcOfItsByte) {
    for (uint32_t i = 0; i < 256; ++i) {
        const auto byte = static_cast<uint8_t>(i);
        EXPECT_EQ(gCrc16_table[i], bitwise_crc16(0, &byte, 1)) << "entry " << i;
        EXPECT_EQ(gCrc32_table[i], bitwise_crc32(0, &byte, 1)) << "entry " << i;
        EXPECT_EQ(quor::crc::crc16_byte(0x1234, byte), bitwise_crc16(0x1234, &byte, 1));
    }
}

// Each test runs in its own process, so the first CRC call below is the
// first of the process and makes the choice.
TEST(CrcDispatch, EnvironmentKeepsTheTablesAtTheFirstCall) {
    ASSERT_EQ(setenv("QUOR_CRC", "table", 1), 0);
    const uint8_t data[64] = {1, 2, 3};
    EXPECT_EQ(quor::crc::crc32(0, data, sizeof data), bitwise_crc32(0, data, sizeof data));
    EXPECT_EQ(quor::crc::active(), Implementation::kTable);
}

TEST(CrcDispatch, WithoutTheEnvironmentTheFastestAvailableIsChosen) {
    ASSERT_EQ(unsetenv("QUOR_CRC"), 0);
    Implementation expected = Implementation::kTable;
    if (quor::crc::available(Implementation::kClmulWide)) {
        expected = Implementation::kClmulWide;
    } else if (quor::crc::available(Implementation::kClmul)) {
        expected = Implementation::kClmul;
    }
    EXPECT_EQ(quor::crc::active(), expected);
}

TEST(CrcDispatch, SelectSwitchesOnlyToAnAvailableImplementation) {
    ASSERT_TRUE(quor::crc::select(Implementation::kTable));
    EXPECT_EQ(quor::crc::active(), Implementation::kTable);
    for (Implementation impl : {Implementation::kClmul, Implementation::kClmulWide}) {
        ASSERT_TRUE(quor::crc::select(Implementation::kTable));
        const bool there = quor::crc::available(impl);
        EXPECT_EQ(quor::crc::select(impl), there);
        EXPECT_EQ(quor::crc::active(), there ? impl : Implementation::kTable);
    }
}

}  // namespace
