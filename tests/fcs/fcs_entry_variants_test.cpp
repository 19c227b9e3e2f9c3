// The indexed variants of getFileAttributes and addNewFile must answer
// exactly what the exported functions answer: same status, same bytes written
// into the caller's info or blob, same store afterwards.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fcs/FCS.h"
#include "tests/fcs/fcs_fixture.h"

using fcs_fixture::Bytes;
using fcs_fixture::TableFile;

namespace {

// A blob of `size` payload bytes of `fill`.
Bytes blob(uint32_t fileno, size_t size, uint8_t fill = 7) {
    return fcs_fixture::blob(fileno, Bytes(size, fill));
}

std::string describe(const Bytes &b) {
    std::string s;
    for (uint8_t v : b) {
        s += std::to_string(v) + " ";
    }
    return s;
}

// Two stores over the same selected table: one driven through the exported
// functions, one through the variants with an index made once for the whole
// sequence, as a table load or a commit does.
class TwinStores {
  public:
    TwinStores() {
        EXPECT_EQ(createHandle(&walked_), 0u);
        EXPECT_EQ(createHandle(&indexed_), 0u);
    }
    ~TwinStores() {
        closeHandle(&walked_);
        closeHandle(&indexed_);
    }
    TwinStores(const TwinStores &) = delete;
    TwinStores &operator=(const TwinStores &) = delete;

    // Adds the same blob to both stores; returns the common status.
    uint32_t add(const std::string &name, const Bytes &original, bool check) {
        Bytes a = original;
        Bytes b = original;
        const auto size = static_cast<uint16_t>(original.size());
        const uint32_t walkedStatus = addNewFile(walked_, "", name.c_str(), a.data(), size, check);
        const uint32_t indexedStatus = quor::fcs::addNewFileWithIndex(
            indexed_, "", name.c_str(), index_, b.data(), size, check);
        EXPECT_EQ(walkedStatus, indexedStatus) << "addNewFile(\"" << name << "\")";
        EXPECT_EQ(a, b) << "blob after addNewFile(\"" << name << "\"): exported " << describe(a)
                        << "/ variant " << describe(b);
        return walkedStatus;
    }

    // Asks both stores for `name`'s attributes; returns the common status.
    uint32_t attributes(const std::string &name) {
        Bytes a(sizeof(cfg_file_info_t), 0xA5);
        Bytes b(sizeof(cfg_file_info_t), 0xA5);
        const uint32_t walkedStatus =
            getFileAttributes(walked_, name.c_str(), reinterpret_cast<cfg_file_info_t *>(a.data()));
        const uint32_t indexedStatus = quor::fcs::getFileAttributesWithIndex(
            indexed_, name.c_str(), index_, reinterpret_cast<cfg_file_info_t *>(b.data()));
        EXPECT_EQ(walkedStatus, indexedStatus) << "getFileAttributes(\"" << name << "\")";
        EXPECT_EQ(a, b) << "info of \"" << name << "\": exported " << describe(a) << "/ variant "
                        << describe(b);
        return walkedStatus;
    }

    void expectSameStores() {
        EXPECT_EQ(flushed(walked_), flushed(indexed_)) << "stores differ after the sequence";
    }

    FcsHandle *walked_ = nullptr;
    FcsHandle *indexed_ = nullptr;
    const quor::fcs::FileTableIndex index_;

  private:
    static Bytes flushed(FcsHandle *handle) {
        uint32_t size = 0;
        flush(handle, nullptr, &size);
        Bytes out(size);
        EXPECT_EQ(flush(handle, out.data(), &size), 0u);
        return out;
    }
};

Bytes select(const std::vector<TableFile> &files) {
    Bytes table = fcs_fixture::file_table({{3, files}});
    EXPECT_EQ(load_file_table(table.data(), 3, static_cast<uint32_t>(table.size())), 0u);
    return table;
}

const std::string kLong48(48, 'L');

TEST(IndexedVariants, AnswerAsTheWalksWithDuplicatedNamesAndNumbers) {
    const Bytes table = select({{"dup", 0x10, 1, 4},
                                {"dup", 0x11, 2, 100},
                                {"same_a", 0x20, 3, 8},
                                {"same_b", 0x20, 4, 200},
                                {"zero", 0, 5, 16},
                                {kLong48, 0x30, 6, 10},
                                {"a", 0x40, 7, 0}});
    TwinStores twins;
    // Number 0 resolved by name: the first "dup" (0x10, max 4) wins.
    EXPECT_EQ(twins.add("dup", blob(0, 5, 1), true), 12u);
    EXPECT_EQ(twins.add("dup", blob(0, 4, 1), true), 0u);
    EXPECT_EQ(twins.add("dup", blob(0x11, 0), false), 11u);
    // Number 0x20: the first record carrying it (max 8) decides the size.
    EXPECT_EQ(twins.add("other", blob(0x20, 9, 2), true), 12u);
    EXPECT_EQ(twins.add("other", blob(0x20, 9, 2), false), 0u);
    EXPECT_EQ(twins.add("missing", blob(0, 0), false), 2u);
    EXPECT_EQ(twins.add("x", blob(0x99, 0), false), 8u);
    EXPECT_EQ(twins.add("zero", blob(0, 1), true), 0u);
    // A query longer than 48 bytes matches the 48-byte name.
    EXPECT_EQ(twins.add(kLong48 + "Q", blob(0, 0), false), 0u);
    EXPECT_EQ(twins.add("a", blob(0x40, 1), true), 12u);
    EXPECT_EQ(twins.add("a", blob(0x40, 0), true), 0u);
    EXPECT_EQ(twins.add("short", Bytes(11, 0), false), 5u);

    EXPECT_EQ(twins.attributes("dup"), 0u);
    EXPECT_EQ(twins.attributes("other"), 8u);  // in the store, not in the table
    EXPECT_EQ(twins.attributes("missing"), 4u);
    EXPECT_EQ(twins.attributes("zero"), 0u);
    EXPECT_EQ(twins.attributes(kLong48), 0u);
    EXPECT_EQ(twins.attributes("a"), 0u);
    twins.expectSameStores();
}

TEST(IndexedVariants, RefuseNullArgumentsAsTheExportedFunctions) {
    const Bytes table = select({{"a", 0x40, 7, 0}});
    const quor::fcs::FileTableIndex index;
    FcsHandle *handle = nullptr;
    ASSERT_EQ(createHandle(&handle), 0u);
    Bytes b = blob(0x40, 0);
    cfg_file_info_t info;
    EXPECT_EQ(quor::fcs::addNewFileWithIndex(nullptr, "", "a", index, b.data(), 12, false),
              addNewFile(nullptr, "", "a", b.data(), 12, false));
    EXPECT_EQ(quor::fcs::addNewFileWithIndex(handle, "", "a", index, nullptr, 12, false),
              addNewFile(handle, "", "a", nullptr, 12, false));
    EXPECT_EQ(quor::fcs::getFileAttributesWithIndex(nullptr, "a", index, &info),
              getFileAttributes(nullptr, "a", &info));
    EXPECT_EQ(quor::fcs::getFileAttributesWithIndex(handle, "a", index, nullptr),
              getFileAttributes(handle, "a", nullptr));
    closeHandle(&handle);
}

TEST(IndexedVariants, AnswerAsTheWalksWhenNoTableIsSelected) {
    const Bytes table = select({{"a", 0x40, 7, 0}});
    g_table_num_files = 0;  // what every lookup reads as "no table"
    TwinStores twins;
    EXPECT_EQ(twins.add("a", blob(0x40, 0), false), 8u);
    EXPECT_EQ(twins.add("a", blob(0, 0), false), 2u);
    twins.expectSameStores();
}

// Random small tables full of duplicated names and numbers, random additions
// and attribute queries: every answer must agree.
TEST(IndexedVariants, AgreeWithTheWalksOnRandomTablesAndRequests) {
    const std::vector<std::string> names = {"a", "b", "ab", "/home/x", kLong48, "q"};
    std::mt19937 rng(20261205);
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<TableFile> files;
        const size_t count = 1 + pick(10);
        for (size_t i = 0; i < count; ++i) {
            files.push_back({names[pick(names.size() - 1)], static_cast<uint32_t>(pick(5)),
                             static_cast<uint16_t>(rng()), static_cast<uint32_t>(pick(8))});
        }
        const Bytes table = select(files);
        TwinStores twins;
        for (int op = 0; op < 12; ++op) {
            const std::string &name = names[pick(names.size())];
            if (pick(3) == 0) {
                twins.attributes(name);
            } else {
                twins.add(name, blob(static_cast<uint32_t>(pick(6)), pick(10)), pick(2) == 0);
            }
        }
        twins.expectSameStores();
        if (HasFailure()) {
            return;
        }
    }
}

}  // namespace
