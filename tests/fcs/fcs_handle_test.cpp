#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fcs/FCS.h"
#include "tests/fcs/fcs_fixture.h"

using fcs_fixture::blob;
using fcs_fixture::Bytes;
using fcs_fixture::fcs_buffer;
using fcs_fixture::FcsFile;

namespace {

// Names the first differing byte of two buffers.
::testing::AssertionResult SameBytes(const Bytes &expected, const Bytes &got) {
    if (expected == got) {
        return ::testing::AssertionSuccess();
    }
    size_t i = 0;
    while (i < expected.size() && i < got.size() && expected[i] == got[i]) {
        ++i;
    }
    return ::testing::AssertionFailure()
           << "sizes " << expected.size() << "/" << got.size() << ", first difference at offset "
           << i << " (expected " << (i < expected.size() ? int(expected[i]) : -1) << ", got "
           << (i < got.size() ? int(got[i]) : -1) << ")";
}

// A store over a selected table of five files.
class FcsStore : public ::testing::Test {
  protected:
    void SetUp() override {
        table_ = fcs_fixture::file_table({{7,
                                           {{"b", 0xB0, 1, 10},
                                            {"a", 0xA0, 2, 20},
                                            {"B", 0xB1},
                                            {"big", 0xB2, 4, 5},
                                            {"z", 0xF0}}}});
        ASSERT_EQ(load_file_table(table_.data(), 7, static_cast<uint32_t>(table_.size())), 0u);
        ASSERT_EQ(createHandle(&handle_), 0u);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(closeHandle(&handle_), 0u);
        }
    }
    uint32_t add(const char *name, Bytes b, bool check = false) {
        return addNewFile(handle_, "", name, b.data(), static_cast<uint16_t>(b.size()), check);
    }
    uint32_t load(const Bytes &buf) {
        if (handle_ != nullptr) {
            closeHandle(&handle_);
        }
        return createHandleFromStructure(&handle_, buf.data(), static_cast<uint32_t>(buf.size()));
    }
    std::vector<std::string> listing() {
        std::vector<std::string> names;
        char name[64];
        for (uint32_t rc = getFirstFileInRoot(handle_, name); rc == 0;
             rc = getNextFile(handle_, name)) {
            names.emplace_back(name);
        }
        return names;
    }
    Bytes flushed() {
        uint32_t size = 0;
        EXPECT_EQ(flush(handle_, nullptr, &size), 5u);
        Bytes out(size);
        EXPECT_EQ(flush(handle_, out.data(), &size), 0u);
        return out;
    }

    Bytes table_;
    FcsHandle *handle_ = nullptr;
};

TEST_F(FcsStore, NullHandlesAndPointersAreRefused) {
    char name[8];
    uint32_t size = 0;
    cfg_file_info_t info;
    Bytes b = blob(0xA0, {});
    EXPECT_EQ(createHandle(nullptr), 1u);
    EXPECT_EQ(closeHandle(nullptr), 1u);
    EXPECT_EQ(getFirstFileInRoot(nullptr, name), 6u);
    EXPECT_EQ(getNextFile(nullptr, name), 6u);
    EXPECT_EQ(getFileData(nullptr, "a", name, &size), 6u);
    EXPECT_EQ(getFileAttributes(nullptr, "a", &info), 6u);
    EXPECT_EQ(addNewFile(nullptr, "", "a", b.data(), 12, false), 6u);
    EXPECT_EQ(deleteFile(nullptr, "a"), 6u);
    EXPECT_EQ(flush(nullptr, name, &size), 6u);
    EXPECT_FALSE(loadDataFromFcsBuffer(nullptr, b.data(), 12));
    EXPECT_EQ(getFirstFileInRoot(handle_, nullptr), 1u);
    EXPECT_EQ(getFileData(handle_, nullptr, name, &size), 1u);
    EXPECT_EQ(getFileAttributes(handle_, nullptr, &info), 1u);
    EXPECT_EQ(deleteFile(handle_, nullptr), 1u);
    EXPECT_EQ(flush(handle_, nullptr, nullptr), 1u);
    EXPECT_EQ(closeHandle(&handle_), 0u);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(closeHandle(&handle_), 6u);
}

TEST_F(FcsStore, FlushOfAnEmptyStoreNeedsFourBytes) {
    uint32_t size = 0;
    EXPECT_EQ(flush(handle_, nullptr, &size), 5u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(flush(handle_, nullptr, &size), 1u);
    Bytes out(4, 0xEE);
    EXPECT_EQ(flush(handle_, out.data(), &size), 0u);
    EXPECT_TRUE(SameBytes(Bytes{0, 0, 0, 0}, out));
}

TEST_F(FcsStore, FlushPlacesPayloadsBackToBackInByteOrderOfNames) {
    ASSERT_EQ(add("b", blob(0xB0, {1, 2, 3}, 0x8001)), 0u);
    ASSERT_EQ(add("a", blob(0xA0, {4, 5, 6, 7, 8})), 0u);
    EXPECT_TRUE(
        SameBytes(fcs_buffer({{0xA0, {4, 5, 6, 7, 8}}, {0xB0, {1, 2, 3}, 0x8001}}), flushed()));
    ASSERT_EQ(add("B", blob(0xB1, {})), 0u);
    const Bytes out = flushed();  // B (upper case first), a, b
    EXPECT_TRUE(SameBytes(
        fcs_buffer({{0xB1, {}}, {0xA0, {4, 5, 6, 7, 8}}, {0xB0, {1, 2, 3}, 0x8001}}), out));
    EXPECT_EQ(quor::load_le32(&out[16 + 4]), 40u) << "first payload at 4 + 3 * 12";
    // The nodes' own headers now hold their offsets inside the data area.
    Bytes data(15);
    uint32_t size = 15;
    ASSERT_EQ(getFileData(handle_, "b", data.data(), &size), 0u);
    EXPECT_EQ(quor::load_le32(&data[4]), 5u);
}

TEST_F(FcsStore, AddNewFileChecksInTheDocumentedOrder) {
    Bytes b = blob(0, {});
    g_table_num_files = 0;  // the size is checked before any table lookup
    EXPECT_EQ(addNewFile(handle_, "", "a", b.data(), 11, false), 5u);
    g_table_num_files = 5;
    EXPECT_EQ(addNewFile(handle_, "", "a", nullptr, 12, false), 1u);
    EXPECT_EQ(addNewFile(handle_, "", nullptr, b.data(), 12, false), 1u);
    EXPECT_EQ(addNewFile(handle_, nullptr, "a", b.data(), 12, false), 1u);
    EXPECT_EQ(add("nobody", blob(0, {})), 2u);
    EXPECT_EQ(add("a", blob(0x999, {})), 8u);
    ASSERT_EQ(addNewFile(handle_, "", "a", b.data(), 12, false), 0u);
    EXPECT_EQ(quor::load_le32(b.data()), 0xA0u) << "number not written back";
    EXPECT_EQ(add("a", blob(0xA0, {9})), 11u);
    EXPECT_EQ(listing(), std::vector<std::string>{"a"});
    EXPECT_EQ(add("big", blob(0xB2, Bytes(6)), true), 12u);  // max_size 5
    EXPECT_EQ(add("big", blob(0xB2, Bytes(5)), true), 0u);
    EXPECT_EQ(add("z", blob(0xB2, Bytes(600)), false), 0u);
}

TEST_F(FcsStore, ListingRunsInNameOrderAndRestartsAfterEveryChange) {
    char name[64] = "untouched";
    EXPECT_EQ(getFirstFileInRoot(handle_, name), 3u);
    EXPECT_STREQ(name, "untouched");
    ASSERT_EQ(add("b", blob(0xB0, {})), 0u);
    ASSERT_EQ(add("a", blob(0xA0, {})), 0u);
    EXPECT_EQ(listing(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(getNextFile(handle_, name), 3u);
    EXPECT_EQ(deleteFile(handle_, "q"), 4u);
    EXPECT_EQ(deleteFile(handle_, "a"), 0u);
    EXPECT_EQ(getFirstFileInRoot(handle_, name), 0u);
    EXPECT_STREQ(name, "b");
}

TEST_F(FcsStore, ReadingAFileNeedsRoomForTheBlobAndATableEntry) {
    const Bytes b = blob(0xB0, {1, 2, 3}, 0x42);
    ASSERT_EQ(add("b", b), 0u);
    Bytes out(b.size(), 0xEE);
    uint32_t size = static_cast<uint32_t>(b.size()) - 1;
    EXPECT_EQ(getFileData(handle_, "b", out.data(), &size), 5u);
    EXPECT_EQ(size, b.size());
    EXPECT_EQ(out[0], 0xEE) << "copied although too small";
    EXPECT_EQ(getFileData(handle_, "b", out.data(), &size), 0u);
    EXPECT_TRUE(SameBytes(b, out));
    EXPECT_EQ(getFileData(handle_, "a", out.data(), &size), 4u);
    EXPECT_EQ(getFileData(handle_, "b", nullptr, &size), 1u);

    cfg_file_info_t info;
    const auto *raw = reinterpret_cast<const uint8_t *>(&info);
    ASSERT_EQ(getFileAttributes(handle_, "b", &info), 0u);
    EXPECT_TRUE(SameBytes(Bytes(b.begin(), b.begin() + 12), Bytes(raw, raw + 12)));
    EXPECT_EQ(quor::load_le16(raw + 12), 1u);
    EXPECT_EQ(quor::load_le32(raw + 14), 10u);
    EXPECT_EQ(getFileAttributes(handle_, "a", &info), 4u);
    // A node whose name is not in the table: header copied, then 8.
    ASSERT_EQ(add("b/", blob(0xA0, {}, 0x9)), 0u);
    EXPECT_EQ(getFileAttributes(handle_, "b/", &info), 8u);
    EXPECT_EQ(quor::load_le32(raw), 0xA0u);
}

TEST_F(FcsStore, BuffersTooShortForTheirEntriesOrPayloadsAreRefused) {
    EXPECT_EQ(load({0, 0, 0}), 10u);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(createHandleFromStructure(nullptr, table_.data(), 4), 1u);
    EXPECT_EQ(createHandleFromStructure(&handle_, nullptr, 4), 1u);
    const Bytes one = fcs_buffer({{0xA0, {1, 2, 3}}});
    EXPECT_EQ(load(Bytes(one.begin(), one.end() - 1)), 10u) << "payload one byte past the end";
    EXPECT_EQ(load(Bytes(one.begin(), one.begin() + 15)), 10u) << "entry cut short";
    Bytes bad = one;
    quor::store_le32(bad.data(), 0xFFFFFFFFu);
    EXPECT_EQ(load(bad), 10u);
    bad = one;
    quor::store_le32(&bad[8], 0xFFFFFFFEu);
    EXPECT_EQ(load(bad), 10u);
    bad = fcs_buffer({{0xA0, {}}});  // an empty payload may point anywhere
    quor::store_le32(&bad[8], 0xFFFFFFFFu);
    EXPECT_EQ(load(bad), 0u);
    EXPECT_EQ(load(one), 0u) << "payload ending exactly at the end";
    EXPECT_EQ(load({0, 0, 0, 0}), 0u);
    EXPECT_TRUE(listing().empty());
    EXPECT_EQ(load(fcs_buffer({{0xA0, Bytes(0xFFF4, 1)}})), 10u) << "blob length wraps";
    EXPECT_EQ(load(fcs_buffer({{0xA0, Bytes(0xFFF3, 1)}})), 0u);
}

TEST_F(FcsStore, LoadingDropsUnknownNumbersAndStopsAtAClash) {
    ASSERT_EQ(load(fcs_buffer({{0xB0, {2}}, {0x123, {9, 9}}, {0xA0, {1}}})), 0u);
    EXPECT_TRUE(SameBytes(fcs_buffer({{0xA0, {1}}, {0xB0, {2}}}), flushed()));
    // Into a store holding a and b: z is taken, a clashes, B is never reached.
    const Bytes clash = fcs_buffer({{0xF0, {3}}, {0xA0, {1}}, {0xB1, {}}});
    EXPECT_FALSE(loadDataFromFcsBuffer(handle_, clash.data(), static_cast<uint32_t>(clash.size())));
    EXPECT_EQ(listing(), (std::vector<std::string>{"a", "b", "z"}));
    EXPECT_EQ(load(fcs_buffer({{0xA0, {1}}, {0xA0, {2}}})), 10u) << "one number twice";
}

TEST_F(FcsStore, RoundTripMatchesAddingOneByOne) {
    const auto files = fcs_fixture::numbered_files(500);
    table_ = fcs_fixture::file_table({{1, files}});
    ASSERT_EQ(load_file_table(table_.data(), 1, static_cast<uint32_t>(table_.size())), 0u);
    std::mt19937 rng(5);
    std::vector<FcsFile> stored;
    for (const auto &f : files) {  // in the table's scrambled order
        stored.push_back(
            {f.fileno, Bytes(rng() % 7, static_cast<uint8_t>(f.fileno)), uint16_t(rng())});
    }
    ASSERT_EQ(load(fcs_buffer(stored)), 0u);
    const Bytes out = flushed();
    std::sort(stored.begin(), stored.end(),
              [](const FcsFile &x, const FcsFile &y) { return x.fileno < y.fileno; });
    EXPECT_TRUE(SameBytes(fcs_buffer(stored), out));

    ASSERT_EQ(load({0, 0, 0, 0}), 0u);
    std::shuffle(stored.begin(), stored.end(), rng);
    for (const FcsFile &f : stored) {
        char name[49] = {};
        ASSERT_EQ(get_file_name_by_fileno(&f.fileno, name), 0);
        ASSERT_EQ(add(name, blob(f.fileno, f.payload, f.flags)), 0u);
    }
    EXPECT_TRUE(SameBytes(out, flushed()));
}

}  // namespace
