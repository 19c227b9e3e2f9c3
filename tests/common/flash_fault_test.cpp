#include "common/flash_fault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/bytes.h"

namespace ff = quor::flash_fault;

namespace {

// Flash bytes plus a program of `data` over them through the seam.
std::vector<uint8_t> programmed(std::vector<uint8_t> flash, const std::vector<uint8_t> &data) {
    EXPECT_TRUE(ff::program(flash.data(), data.data(), data.size()));
    return flash;
}

}  // namespace

TEST(FlashFault, CountsAndRecordsOperationsWhenDisarmed) {
    ff::Guard guard;
    ff::record_operations(true);
    uint8_t flash[16] = {};
    const uint8_t data[16] = {1, 2, 3};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(ff::program(flash, data, 16));
    }
    EXPECT_TRUE(ff::erase(flash, 16, 0xFF));
    EXPECT_EQ(flash[3], 0xFF);
    EXPECT_EQ(ff::operation_count(), 6u);
    ASSERT_EQ(ff::recorded_operations().size(), 6u);
    EXPECT_EQ(ff::recorded_operations()[0].kind, ff::OpKind::kProgram);
    EXPECT_EQ(ff::recorded_operations()[5].kind, ff::OpKind::kErase);
    EXPECT_EQ(ff::recorded_operations()[5].length, 16u);
}

TEST(FlashFault, FailRefusesOnlyTheKthOperation) {
    ff::Guard guard;
    ff::fail_at(3);
    std::vector<uint8_t> flash(8, 0xFF);
    const std::vector<uint8_t> data(8, 0x11);
    EXPECT_TRUE(ff::program(flash.data(), data.data(), 8));
    EXPECT_TRUE(ff::erase(flash.data(), 8, 0xFF));
    EXPECT_FALSE(ff::program(flash.data(), data.data(), 8));
    EXPECT_EQ(flash, std::vector<uint8_t>(8, 0xFF)) << "a refused program changes nothing";
    EXPECT_TRUE(ff::program(flash.data(), data.data(), 8));
    EXPECT_EQ(flash, data);
    EXPECT_FALSE(ff::power_is_cut());
}

TEST(FlashFault, CleanCutAppliesHalfThenDropsEverything) {
    ff::Guard guard;
    ff::cut_at(2);
    std::vector<uint8_t> flash(100, 0xFF);
    const std::vector<uint8_t> data(100, 0x00);
    EXPECT_TRUE(ff::program(flash.data(), data.data(), 100));
    flash.assign(100, 0xFF);
    EXPECT_TRUE(ff::program(flash.data(), data.data(), 100));
    EXPECT_TRUE(ff::power_is_cut());
    EXPECT_EQ(std::count(flash.begin(), flash.begin() + 50, 0x00), 50);
    EXPECT_EQ(std::count(flash.begin() + 50, flash.end(), 0xFF), 50);
    EXPECT_TRUE(ff::erase(flash.data(), 100, 0xFF)) << "powered off: success, nothing done";
    EXPECT_EQ(flash[0], 0x00);
    ff::disarm();
    EXPECT_TRUE(ff::erase(flash.data(), 100, 0xFF));
    EXPECT_EQ(flash[0], 0xFF);
}

// The program cut at every offset with each kind of torn byte: bytes before
// the offset new, after it old, and the byte at it old, new, or with some
// but not all of the bits the program clears cleared (never a bit set).
TEST(FlashFault, ProgramCutTearsTheByteAtTheOffset) {
    ff::Guard guard;
    const std::vector<uint8_t> old = {0xFF, 0xF0, 0x3C, 0xFF, 0xAA, 0xFF};
    const std::vector<uint8_t> data = {0x00, 0x10, 0x00, 0x81, 0x00, 0x7E};
    const ff::TornByte torns[] = {ff::TornByte::kOld, ff::TornByte::kNew, ff::TornByte::kSomeBits};
    for (uint64_t offset = 0; offset < 8; ++offset) {
        for (ff::TornByte torn : torns) {
            ff::cut_at(1, {offset, false, torn, ff::EraseShape::kPrefix, offset * 7 + 1});
            const std::vector<uint8_t> got = programmed(old, data);
            const size_t at = std::min<size_t>(offset, old.size() - 1);
            for (size_t i = 0; i < old.size(); ++i) {
                if (i != at) {
                    EXPECT_EQ(got[i], i < at ? data[i] : old[i])
                        << "offset " << offset << " byte " << i;
                    continue;
                }
                const uint8_t b = got[i];
                switch (torn) {
                    case ff::TornByte::kOld:
                        EXPECT_EQ(b, old[i]);
                        break;
                    case ff::TornByte::kNew:
                        EXPECT_EQ(b, data[i]);
                        break;
                    case ff::TornByte::kSomeBits:
                        EXPECT_EQ(b & ~old[i], 0) << "a stopped program sets no bit";
                        EXPECT_EQ((old[i] & data[i]) & ~b, 0) << "bits kept by the program stay";
                        EXPECT_NE(b, old[i]) << "offset " << offset;
                        EXPECT_NE(b, old[i] & data[i]) << "offset " << offset;
                        break;
                }
            }
            ff::disarm();
        }
    }
}

// The same cut with the same seed gives the same bytes; the offset taken
// modulo the length stays inside the operation.
TEST(FlashFault, CutsAreReproducibleFromTheirSeed) {
    ff::Guard guard;
    const std::vector<uint8_t> old(64, 0xFF);
    std::vector<uint8_t> data(64);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 37);
    }
    const ff::Cut cut{1000, true, ff::TornByte::kSomeBits, ff::EraseShape::kPrefix, 42};
    ff::cut_at(1, cut);
    const std::vector<uint8_t> first = programmed(old, data);
    ff::cut_at(1, cut);
    EXPECT_EQ(programmed(old, data), first);
    EXPECT_EQ(first[1000 % 64 - 1], data[1000 % 64 - 1]);
    EXPECT_EQ(first[1000 % 64 + 1], 0xFF);
}

// Erase shapes: a prefix, a scatter of about half the bytes, all but one to
// four; a torn byte of an erase only gains bits.
TEST(FlashFault, EraseCutShapes) {
    ff::Guard guard;
    std::vector<uint8_t> old(4096);
    for (size_t i = 0; i < old.size(); ++i) {
        old[i] = static_cast<uint8_t>(i % 251 == 0 ? 0xFF : i % 251 & 0x7F);  // bit 7 clear
    }
    auto erased = [&](const ff::Cut &cut) {
        std::vector<uint8_t> flash = old;
        ff::cut_at(1, cut);
        EXPECT_TRUE(ff::erase(flash.data(), flash.size(), 0xFF));
        ff::disarm();
        size_t full = 0;
        for (size_t i = 0; i < flash.size(); ++i) {
            EXPECT_EQ(flash[i] & old[i], old[i]) << "an erase clears no bit, byte " << i;
            full += flash[i] == 0xFF && old[i] != 0xFF ? 1 : 0;
        }
        return std::make_pair(flash, full);
    };
    const size_t notErased =
        old.size() - static_cast<size_t>(std::count(old.begin(), old.end(), 0xFF));
    auto [prefix, prefixFull] =
        erased({100, false, ff::TornByte::kSomeBits, ff::EraseShape::kPrefix, 3});
    EXPECT_EQ(prefix[99], 0xFF);
    EXPECT_NE(prefix[100], 0xFF);
    EXPECT_NE(prefix[100], old[100]);
    EXPECT_EQ(prefix[101], old[101]);
    EXPECT_EQ(prefixFull, 99u);  // byte 0 was erased already
    auto [scatter, scatterFull] =
        erased({0, false, ff::TornByte::kOld, ff::EraseShape::kScatter, 5});
    EXPECT_GT(scatterFull, notErased / 3);
    EXPECT_LT(scatterFull, notErased * 2 / 3);
    EXPECT_GT(scatter.size(), 0u);
    auto [few, fewFull] = erased({0, false, ff::TornByte::kOld, ff::EraseShape::kAllButFew, 9});
    EXPECT_GE(fewFull, notErased - 4);
    EXPECT_LT(fewFull, notErased);
    EXPECT_GT(few.size(), 0u);
}

TEST(FlashFault, ReadFaultsHitOnlyTheirWindowAndLeaveOperationsAlone) {
    ff::Guard guard;
    uint8_t b[2] = {0x10, 0x20};
    EXPECT_FALSE(ff::after_read(b, 2));
    EXPECT_EQ(ff::read_count(), 0u) << "reads are not counted while disarmed";
    ff::fail_at(1);
    ff::corrupt_reads(2, 2);
    const uint8_t want[4] = {0x20, 0x21, 0x21, 0x20};  // last byte after reads 1..4
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(ff::after_read(b, 2));
        EXPECT_EQ(b[1], want[i]) << "read " << i + 1;
        b[1] = 0x20;
        EXPECT_EQ(b[0], 0x10);
    }
    uint8_t flash = 0xFF;
    EXPECT_FALSE(ff::program(&flash, b, 1)) << "read fault reset fail_at";
    ff::fail_reads(1, 1);
    EXPECT_TRUE(ff::after_read(nullptr, 0));
    EXPECT_FALSE(ff::after_read(b, 2));
    EXPECT_EQ(ff::read_count(), 2u);
    ff::disarm();
    EXPECT_FALSE(ff::after_read(b, 2));
    EXPECT_EQ(ff::read_count(), 0u);
}

// The fast path (nothing armed, nothing recorded) and the counted path (a
// fault armed that never fires, reads counted) must copy, fill and count
// alike, for single bytes, records and overlapping programs.
TEST(FlashFault, FastAndCountedPathsCopyAndCountAlike) {
    ff::Guard guard;
    auto run = [](bool counted) {
        ff::disarm();
        if (counted) {
            ff::fail_at(~uint64_t{0});
            ff::corrupt_reads(~uint64_t{0}, 1);
        }
        std::vector<uint8_t> flash(200);
        for (size_t i = 0; i < flash.size(); ++i) {
            flash[i] = static_cast<uint8_t>(i);
        }
        const uint8_t one = 0x5A;
        EXPECT_TRUE(ff::program(flash.data() + 3, &one, 1));
        EXPECT_TRUE(ff::program(flash.data() + 10, flash.data(), 66));  // overlapping
        EXPECT_TRUE(ff::erase(flash.data() + 150, 40, 0xFF));
        EXPECT_TRUE(ff::program(flash.data(), &one, 0));
        uint8_t back[70] = {};
        EXPECT_TRUE(ff::read(back, flash.data() + 3, 1));
        EXPECT_TRUE(ff::read(back + 1, flash.data() + 10, 66));
        EXPECT_TRUE(ff::read(back, flash.data(), 0));
        flash.insert(flash.end(), back, back + sizeof(back));
        EXPECT_EQ(ff::operation_count(), 4u);
        EXPECT_EQ(ff::read_count(), counted ? 3u : 0u);
        return flash;
    };
    const std::vector<uint8_t> fast = run(false);
    const std::vector<uint8_t> counted = run(true);
    EXPECT_EQ(fast, counted);
    EXPECT_EQ(fast[3], 0x5A);
    EXPECT_EQ(fast[10], 0x00);
    EXPECT_EQ(fast[13], 0x5A) << "the overlapping program takes the source as it was";
    EXPECT_EQ(fast[75], 0x41);
    EXPECT_EQ(fast[150], 0xFF);
    EXPECT_EQ(fast[200], 0x5A) << "read of one byte";
    EXPECT_EQ(fast[201 + 65], 0x41) << "read of a record";
}

// Every length the short moves handle and a few past them, with the source
// before, after and away from the target: the result is memmove's.
TEST(FlashFault, ProgramsOfEveryShortLengthMoveLikeMemmove) {
    ff::Guard guard;
    for (size_t length = 0; length <= 140; ++length) {
        for (const int shift : {-7, -1, 1, 16, 300}) {
            std::vector<uint8_t> flash(600);
            for (size_t i = 0; i < flash.size(); ++i) {
                flash[i] = static_cast<uint8_t>(i * 7 + 3);
            }
            std::vector<uint8_t> want = flash;
            uint8_t *target = flash.data() + 150;
            std::memmove(want.data() + 150, want.data() + 150 + shift, length);
            EXPECT_TRUE(ff::program(target, target + shift, length));
            ASSERT_EQ(flash, want) << "length " << length << ", shift " << shift;
        }
    }
}

// The driver's read through the seam obeys the read faults as after_read does.
TEST(FlashFault, ReadsThroughTheSeamObeyReadFaults) {
    ff::Guard guard;
    const uint8_t flash[4] = {1, 2, 3, 4};
    uint8_t out[4] = {};
    ff::corrupt_reads(2, 1);
    EXPECT_TRUE(ff::read(out, flash, 4));
    EXPECT_EQ(out[3], 4);
    EXPECT_TRUE(ff::read(out, flash, 4));
    EXPECT_EQ(out[3], 5) << "bit 0 of the last byte flipped";
    ff::fail_reads(1, 1);
    EXPECT_FALSE(ff::read(out, flash, 4));
    EXPECT_TRUE(ff::read(out, flash, 4));
    EXPECT_EQ(ff::read_count(), 2u);
}

// Recorded calls name the flash bytes each call touched and keep a
// program's bytes as they were at the call; turning recording on again
// forgets them. Faults still apply while recording.
TEST(FlashFault, RecordedCallsKeepPlacesAndProgramBytes) {
    ff::Guard guard;
    std::vector<uint8_t> flash(64, 0xFF);
    uint8_t data[3] = {7, 8, 9};
    uint8_t out[5] = {};
    ff::record_calls(true);
    ff::fail_at(3);
    EXPECT_TRUE(ff::program(flash.data() + 5, data, 3));
    data[0] = 0;
    EXPECT_TRUE(ff::read(out, flash.data() + 4, 5));
    EXPECT_TRUE(ff::erase(flash.data() + 32, 32, 0xFF));
    EXPECT_FALSE(ff::program(flash.data(), data, 2));
    EXPECT_EQ(out[1], 7);
    const std::vector<ff::Call> &calls = ff::recorded_calls();
    ASSERT_EQ(calls.size(), 4u);
    const ff::CallKind kinds[4] = {ff::CallKind::kProgram, ff::CallKind::kRead,
                                   ff::CallKind::kErase, ff::CallKind::kProgram};
    const size_t places[4] = {5, 4, 32, 0};
    const uint32_t lengths[4] = {3, 5, 32, 2};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].kind, kinds[i]) << i;
        EXPECT_EQ(calls[i].place, flash.data() + places[i]) << i;
        EXPECT_EQ(calls[i].length, lengths[i]) << i;
    }
    const std::vector<uint8_t> &bytes = ff::recorded_call_data();
    ASSERT_EQ(bytes.size(), 5u);
    EXPECT_EQ(bytes[calls[0].data], 7) << "the bytes as they were at the call";
    EXPECT_EQ(bytes[calls[3].data], 0);
    ff::record_calls(true);
    EXPECT_TRUE(ff::recorded_calls().empty());
    EXPECT_TRUE(ff::recorded_call_data().empty());
}

TEST(Bytes, LittleEndianRoundTripAndRangeCheck) {
    uint8_t buf[8] = {};
    quor::store_le32(buf + 1, 0x11223344u);
    EXPECT_EQ(buf[1], 0x44);
    EXPECT_EQ(buf[4], 0x11);
    EXPECT_EQ(quor::load_le32(buf + 1), 0x11223344u);
    quor::store_le16(buf + 5, 0xBEEF);
    EXPECT_EQ(quor::load_le16(buf + 5), 0xBEEF);
    EXPECT_TRUE(quor::range_fits(4, 4, 8));
    EXPECT_FALSE(quor::range_fits(5, 4, 8));
    EXPECT_FALSE(quor::range_fits(0xFFFFFFFFull, 2, 8));
}
