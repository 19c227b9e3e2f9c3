#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fcs/FCS.h"
#include "tests/fcs/fcs_fixture.h"

using fcs_fixture::blob;
using fcs_fixture::fcs_buffer;
using fcs_fixture::FcsFile;
using fcs_fixture::TableFile;
using Bytes = std::vector<uint8_t>;

namespace {

// A store over a table of five named files; closes the handle at the end.
class FcsStore : public ::testing::Test {
  protected:
    void SetUp() override {
        table_ = fcs_fixture::file_table({{7,
                                           {{"b", 0xB0, 0x1, 10},
                                            {"a", 0xA0, 0x2, 20},
                                            {"B", 0xB1, 0x3, 30},
                                            {"big", 0xB2, 0x4, 5},
                                            {"z", 0xF0, 0x5, 40}}}});
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
    // Every name of the listing, in order.
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
        EXPECT_EQ(size, out.size());
        return out;
    }

    Bytes table_;
    FcsHandle *handle_ = nullptr;
};

// Reports the first differing byte of two buffers.
::testing::AssertionResult SameBytes(const Bytes &expected, const Bytes &got) {
    if (expected == got) {
        return ::testing::AssertionSuccess();
    }
    const size_t n = std::min(expected.size(), got.size());
    size_t i = 0;
    while (i < n && expected[i] == got[i]) {
        ++i;
    }
    auto result = ::testing::AssertionFailure()
                  << "sizes " << expected.size() << " / " << got.size()
                  << ", first difference at offset " << i;
    if (i < n) {
        result << ": expected " << int(expected[i]) << ", got " << int(got[i]);
    }
    return result;
}

TEST(FcsHandleLifecycle, CreateAndCloseReportNullPointers) {
    FcsHandle *handle = nullptr;
    EXPECT_EQ(createHandle(nullptr), 1u);
    ASSERT_EQ(createHandle(&handle), 0u);
    EXPECT_EQ(closeHandle(nullptr), 1u);
    EXPECT_EQ(closeHandle(&handle), 0u);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(closeHandle(&handle), 6u);
    char name[8];
    uint32_t size = 0;
    cfg_file_info_t info;
    Bytes b = blob(1, {});
    EXPECT_EQ(getFirstFileInRoot(nullptr, name), 6u);
    EXPECT_EQ(getNextFile(nullptr, name), 6u);
    EXPECT_EQ(getFileData(nullptr, "a", name, &size), 6u);
    EXPECT_EQ(getFileAttributes(nullptr, "a", &info), 6u);
    EXPECT_EQ(addNewFile(nullptr, "", "a", b.data(), 12, false), 6u);
    EXPECT_EQ(deleteFile(nullptr, "a"), 6u);
    EXPECT_EQ(flush(nullptr, name, &size), 6u);
    EXPECT_FALSE(loadDataFromFcsBuffer(nullptr, b.data(), 12));
}

TEST_F(FcsStore, FlushOfAnEmptyStoreNeedsFourBytesAndWritesCountZero) {
    uint32_t size = 0;
    EXPECT_EQ(flush(handle_, nullptr, &size), 5u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(flush(handle_, nullptr, &size), 1u);
    EXPECT_EQ(flush(handle_, nullptr, nullptr), 1u);
    Bytes out(4, 0xEE);
    EXPECT_EQ(flush(handle_, out.data(), &size), 0u);
    EXPECT_TRUE(SameBytes(Bytes{0, 0, 0, 0}, out));
}

TEST_F(FcsStore, FlushPlacesPayloadsBackToBackInByteOrderOfNames) {
    ASSERT_EQ(add("b", blob(0xB0, {1, 2, 3}, 0x8001)), 0u);
    ASSERT_EQ(add("a", blob(0xA0, {4, 5, 6, 7, 8})), 0u);
    ASSERT_EQ(add("B", blob(0xB1, {})), 0u);
    const Bytes out = flushed();
    // Entries B, a, b (upper case first); data area at 4 + 3 * 12 = 40.
    Bytes expected = {3, 0, 0, 0};
    auto entry = [&](uint32_t fileno, uint32_t offset, uint16_t size, uint16_t flags) {
        Bytes e(12);
        quor::store_le32(&e[0], fileno);
        quor::store_le32(&e[4], offset);
        quor::store_le16(&e[8], size);
        quor::store_le16(&e[10], flags);
        expected.insert(expected.end(), e.begin(), e.end());
    };
    entry(0xB1, 40, 0, 0);
    entry(0xA0, 40, 5, 0);
    entry(0xB0, 45, 3, 0x8001);
    expected.insert(expected.end(), {4, 5, 6, 7, 8, 1, 2, 3});
    EXPECT_TRUE(SameBytes(expected, out));

    // The nodes' own headers now hold their data-area offsets.
    Bytes data(15);
    uint32_t size = 15;
    ASSERT_EQ(getFileData(handle_, "b", data.data(), &size), 0u);
    EXPECT_EQ(quor::load_le32(&data[4]), 5u);
}

TEST_F(FcsStore, TwoPayloadsOfThreeAndFiveBytesStartAt28And31) {
    ASSERT_EQ(add("a", blob(0xA0, {1, 2, 3})), 0u);
    ASSERT_EQ(add("b", blob(0xB0, {4, 5, 6, 7, 8})), 0u);
    const Bytes out = flushed();
    ASSERT_EQ(out.size(), 36u);
    EXPECT_EQ(quor::load_le32(&out[4 + 4]), 28u);
    EXPECT_EQ(quor::load_le32(&out[16 + 4]), 31u);
}

TEST_F(FcsStore, AddNewFileChecksInTheDocumentedOrder) {
    Bytes b = blob(0, {});
    EXPECT_EQ(addNewFile(handle_, "", "a", b.data(), 11, false), 5u);
    g_table_num_files = 0;  // the size check comes before any table lookup
    EXPECT_EQ(addNewFile(handle_, "", "a", b.data(), 11, false), 5u);
    g_table_num_files = 5;
    EXPECT_EQ(addNewFile(handle_, "", "a", nullptr, 12, false), 1u);
    EXPECT_EQ(addNewFile(handle_, "", nullptr, b.data(), 12, false), 1u);
    EXPECT_EQ(addNewFile(handle_, nullptr, "a", b.data(), 12, false), 1u);
    EXPECT_EQ(add("nobody", blob(0, {})), 2u);
    EXPECT_EQ(add("a", blob(0x999, {})), 8u);

    // File number 0: looked up by name and written back into the caller's blob.
    ASSERT_EQ(addNewFile(handle_, "", "a", b.data(), 12, false), 0u);
    EXPECT_EQ(quor::load_le32(b.data()), 0xA0u);
    EXPECT_EQ(add("a", blob(0xA0, {9})), 11u);
    EXPECT_EQ(listing(), std::vector<std::string>{"a"});

    // "big" allows 5 bytes.
    EXPECT_EQ(add("big", blob(0xB2, Bytes(6)), true), 12u);
    EXPECT_EQ(add("big", blob(0xB2, Bytes(5)), true), 0u);
    EXPECT_EQ(add("z", blob(0xB2, Bytes(600)), false), 0u) << "size compared without checkMaxSize";
}

TEST_F(FcsStore, ListingRunsInNameOrderAndRestartsAfterEveryChange) {
    char name[64] = "untouched";
    EXPECT_EQ(getFirstFileInRoot(handle_, name), 3u);
    EXPECT_STREQ(name, "untouched");
    ASSERT_EQ(add("b", blob(0xB0, {})), 0u);
    ASSERT_EQ(add("a", blob(0xA0, {})), 0u);
    EXPECT_EQ(getFirstFileInRoot(handle_, nullptr), 1u);
    EXPECT_EQ(getFirstFileInRoot(handle_, name), 0u);
    EXPECT_STREQ(name, "a");
    EXPECT_EQ(getNextFile(handle_, name), 0u);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(getNextFile(handle_, name), 3u);
    EXPECT_STREQ(name, "b");

    EXPECT_EQ(deleteFile(handle_, "q"), 4u);
    EXPECT_EQ(deleteFile(handle_, nullptr), 1u);
    EXPECT_EQ(deleteFile(handle_, "a"), 0u);
    EXPECT_EQ(listing(), std::vector<std::string>{"b"});
}

TEST_F(FcsStore, GetFileDataNeedsRoomForTheWholeBlob) {
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
    EXPECT_EQ(getFileData(handle_, "b", out.data(), nullptr), 1u);
    EXPECT_EQ(getFileData(handle_, nullptr, out.data(), &size), 1u);
}

TEST_F(FcsStore, GetFileAttributesJoinsHeaderAndTableEntry) {
    ASSERT_EQ(add("a", blob(0xA0, {1, 2}, 0x7)), 0u);
    cfg_file_info_t info;
    ASSERT_EQ(getFileAttributes(handle_, "a", &info), 0u);
    const auto *raw = reinterpret_cast<const uint8_t *>(&info);
    EXPECT_EQ(quor::load_le32(raw), 0xA0u);
    EXPECT_EQ(quor::load_le16(raw + 8), 2u);
    EXPECT_EQ(quor::load_le16(raw + 10), 7u);
    EXPECT_EQ(quor::load_le16(raw + 12), 2u);
    EXPECT_EQ(quor::load_le32(raw + 14), 20u);
    EXPECT_EQ(getFileAttributes(handle_, "b", &info), 4u);
    EXPECT_EQ(getFileAttributes(handle_, "a", nullptr), 1u);

    // A node whose name is not in the table: header copied, then 8.
    ASSERT_EQ(add("a/", blob(0xB0, {}, 0x9)), 0u);
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(getFileAttributes(handle_, "a/", &info), 8u);
    EXPECT_EQ(quor::load_le32(raw), 0xB0u);
    EXPECT_EQ(quor::load_le16(raw + 10), 9u);
}

TEST(FcsBuffer, ShortOrOverrunningBuffersAreRefusedWith10) {
    Bytes table = fcs_fixture::file_table({{1, {{"a", 0xA0}, {"b", 0xB0}}}});
    ASSERT_EQ(load_file_table(table.data(), 1, static_cast<uint32_t>(table.size())), 0u);
    FcsHandle *handle = reinterpret_cast<FcsHandle *>(&table);  // must be cleared
    const Bytes empty = {0, 0, 0, 0};
    EXPECT_EQ(createHandleFromStructure(&handle, empty.data(), 3), 10u);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(createHandleFromStructure(nullptr, empty.data(), 4), 1u);
    EXPECT_EQ(createHandleFromStructure(&handle, nullptr, 4), 1u);

    Bytes buf = fcs_buffer({{0xA0, {1, 2, 3}}});
    const auto size = static_cast<uint32_t>(buf.size());
    EXPECT_EQ(createHandleFromStructure(&handle, buf.data(), size - 1), 10u);
    EXPECT_EQ(createHandleFromStructure(&handle, buf.data(), 15), 10u) << "entries cut short";
    Bytes huge = buf;
    quor::store_le32(huge.data(), 0xFFFFFFFFu);
    EXPECT_EQ(createHandleFromStructure(&handle, huge.data(), size), 10u);
    Bytes offsetPastEnd = buf;
    quor::store_le32(&offsetPastEnd[8], 0xFFFFFFFEu);
    EXPECT_EQ(createHandleFromStructure(&handle, offsetPastEnd.data(), size), 10u);

    // An empty payload is accepted whatever its offset.
    Bytes emptyPayload = fcs_buffer({{0xA0, {}}});
    quor::store_le32(&emptyPayload[8], 0xFFFFFFFFu);
    ASSERT_EQ(createHandleFromStructure(&handle, emptyPayload.data(), 16), 0u);
    EXPECT_EQ(closeHandle(&handle), 0u);

    ASSERT_EQ(createHandleFromStructure(&handle, buf.data(), size), 0u)
        << "ends exactly at the end";
    EXPECT_EQ(closeHandle(&handle), 0u);
    ASSERT_EQ(createHandleFromStructure(&handle, empty.data(), 4), 0u);
    char name[64];
    EXPECT_EQ(getFirstFileInRoot(handle, name), 3u);
    EXPECT_EQ(closeHandle(&handle), 0u);
}

TEST(FcsBuffer, UnknownNumbersAreDroppedAndRefusalsKeepEarlierFiles) {
    Bytes table = fcs_fixture::file_table({{1, {{"a", 0xA0}, {"b", 0xB0}, {"c", 0xC0}}}});
    ASSERT_EQ(load_file_table(table.data(), 1, static_cast<uint32_t>(table.size())), 0u);
    FcsHandle *handle = nullptr;
    const Bytes withStranger = fcs_buffer({{0xB0, {2}}, {0x123, {9, 9}}, {0xA0, {1}}});
    ASSERT_EQ(createHandleFromStructure(&handle, withStranger.data(),
                                        static_cast<uint32_t>(withStranger.size())),
              0u);
    uint32_t size = 0;
    ASSERT_EQ(flush(handle, nullptr, &size), 5u);
    EXPECT_EQ(size, 4u + 2 * 12 + 2) << "the unknown file was not dropped";

    // Loading into a store that already holds "a": "c" is taken, then "a" is
    // refused and the load stops; "c" stays and "b" is never reached.
    const Bytes clash = fcs_buffer({{0xC0, {3}}, {0xA0, {1}}, {0xB0, {2}}});
    ASSERT_EQ(deleteFile(handle, "b"), 0u);
    EXPECT_FALSE(loadDataFromFcsBuffer(handle, clash.data(), static_cast<uint32_t>(clash.size())));
    char name[64];
    ASSERT_EQ(getFirstFileInRoot(handle, name), 0u);
    EXPECT_STREQ(name, "a");
    ASSERT_EQ(getNextFile(handle, name), 0u);
    EXPECT_STREQ(name, "c");
    EXPECT_EQ(getNextFile(handle, name), 3u);
    EXPECT_EQ(closeHandle(&handle), 0u);

    // Two entries with one number make the same name twice: refused.
    const Bytes twice = fcs_buffer({{0xA0, {1}}, {0xA0, {2}}});
    EXPECT_EQ(createHandleFromStructure(&handle, twice.data(), static_cast<uint32_t>(twice.size())),
              10u);
    // A payload of 0xFFF4 bytes wraps the 16-bit blob length: refused.
    const Bytes wrap = fcs_buffer({{0xA0, Bytes(0xFFF4, 1)}});
    EXPECT_EQ(createHandleFromStructure(&handle, wrap.data(), static_cast<uint32_t>(wrap.size())),
              10u);
    const Bytes largest = fcs_buffer({{0xA0, Bytes(0xFFF3, 1)}});
    EXPECT_EQ(
        createHandleFromStructure(&handle, largest.data(), static_cast<uint32_t>(largest.size())),
        0u);
    EXPECT_EQ(closeHandle(&handle), 0u);
}

TEST(FcsBuffer, RoundTripGivesCanonicalBufferInNameOrder) {
    const std::vector<TableFile> files = fcs_fixture::numbered_files(500);
    Bytes table = fcs_fixture::file_table({{1, files}});
    ASSERT_EQ(load_file_table(table.data(), 1, static_cast<uint32_t>(table.size())), 0u);
    std::vector<FcsFile> stored;
    std::mt19937 rng(5);
    for (const TableFile &f : files) {  // table order is scrambled
        stored.push_back({f.fileno, Bytes(rng() % 7, static_cast<uint8_t>(f.fileno)),
                          static_cast<uint16_t>(rng())});
    }
    Bytes input = fcs_buffer(stored);
    FcsHandle *handle = nullptr;
    ASSERT_EQ(createHandleFromStructure(&handle, input.data(), static_cast<uint32_t>(input.size())),
              0u);
    uint32_t size = 0;
    ASSERT_EQ(flush(handle, nullptr, &size), 5u);
    Bytes out(size);
    ASSERT_EQ(flush(handle, out.data(), &size), 0u);

    // Expected: the same files, sorted by name ("f00000" < "f00001" ...,
    // which is fileno order here), laid out back to back.
    std::sort(stored.begin(), stored.end(),
              [](const FcsFile &x, const FcsFile &y) { return x.fileno < y.fileno; });
    EXPECT_TRUE(SameBytes(fcs_buffer(stored), out));

    // The same files added one by one in a random order list identically.
    FcsHandle *oneByOne = nullptr;
    ASSERT_EQ(createHandle(&oneByOne), 0u);
    std::shuffle(stored.begin(), stored.end(), rng);
    for (const FcsFile &f : stored) {
        Bytes b = blob(f.fileno, f.payload, f.flags);
        char name[49] = {};
        ASSERT_EQ(get_file_name_by_fileno(&f.fileno, name), 0);
        ASSERT_EQ(addNewFile(oneByOne, "", name, b.data(), static_cast<uint16_t>(b.size()), false),
                  0u);
    }
    Bytes again(size);
    ASSERT_EQ(flush(oneByOne, again.data(), &size), 0u);
    EXPECT_TRUE(SameBytes(out, again));
    EXPECT_EQ(closeHandle(&oneByOne), 0u);
    EXPECT_EQ(closeHandle(&handle), 0u);
}

}  // namespace
