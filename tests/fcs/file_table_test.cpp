#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fcs/FCS.h"
#include "tests/fcs/fcs_fixture.h"

using fcs_fixture::file_table;
using fcs_fixture::Sku;
using fcs_fixture::TableFile;

namespace {

class FileTable : public ::testing::Test {
  protected:
    void SetUp() override {
        g_table_num_files = 0;
        g_table_buf = nullptr;
        g_dfs_sku = 0xFFFFFFFFu;
    }

    // Selects `skus`' table for `id` in a buffer kept by the fixture.
    void select(const std::vector<Sku> &skus, uint32_t id) {
        buffer_ = file_table(skus);
        ASSERT_EQ(load_file_table(buffer_.data(), id, static_cast<uint32_t>(buffer_.size())), 0u);
    }

    std::vector<uint8_t> buffer_;
};

const std::vector<Sku> kTwoSkus = {
    {7, {{"alpha", 0x101, 0x1, 40}, {"beta", 0x102, 0x2, 50}}},
    {9, {{"gamma", 0x201, 0x3, 60}}},
};

TEST_F(FileTable, RefusesBuffersBelow1024BytesBadMagicAndMoreThanTenSkus) {
    std::vector<uint8_t> buf = file_table({{7, {{"a", 1}}}}, 1023);
    ASSERT_EQ(buf.size(), 1023u);
    EXPECT_EQ(load_file_table(buf.data(), 7, 1023), 1u);
    EXPECT_EQ(g_table_num_files, 0);
    buf.resize(1024, 0);
    EXPECT_EQ(load_file_table(buf.data(), 7, 1024), 0u);
    EXPECT_EQ(g_table_num_files, 1);
    EXPECT_EQ(g_dfs_sku, 7u);

    std::vector<uint8_t> bad = buf;
    bad[0] = 'X';
    EXPECT_EQ(load_file_table(bad.data(), 7, 1024), 1u);
    EXPECT_EQ(load_file_table(nullptr, 7, 1024), 1u);

    std::vector<Sku> eleven;
    for (uint32_t id = 0; id < 11; ++id) {
        eleven.push_back({id, {{"n" + std::to_string(id), 100 + id}}});
    }
    std::vector<uint8_t> many = file_table(eleven);
    EXPECT_EQ(load_file_table(many.data(), 3, static_cast<uint32_t>(many.size())), 1u);
    EXPECT_EQ(g_dfs_sku, 7u) << "a refused buffer changed the selection";
    quor::store_le32(&many[12], 10);  // the tenth record is still searched
    EXPECT_EQ(load_file_table(many.data(), 9, static_cast<uint32_t>(many.size())), 0u);
    EXPECT_EQ(g_dfs_sku, 9u);
    EXPECT_STREQ(get_file_entry_by_file_name("n9")->name, "n9");
}

TEST_F(FileTable, UnknownSkuOrNoRecordsKeepThePreviousSelection) {
    select(kTwoSkus, 9);
    const file_table_entry_t *selected = g_table_buf;
    std::vector<uint8_t> other = file_table(kTwoSkus);
    EXPECT_EQ(load_file_table(other.data(), 1234, static_cast<uint32_t>(other.size())), 0u);
    std::vector<uint8_t> none = file_table({});
    EXPECT_EQ(load_file_table(none.data(), 9, static_cast<uint32_t>(none.size())), 0u);
    EXPECT_EQ(g_table_buf, selected);
    EXPECT_EQ(g_table_num_files, 1);
    EXPECT_EQ(g_dfs_sku, 9u);
}

TEST_F(FileTable, TableOffsetAtBufferEndIsAcceptedButNotBeyondOrOverrunning) {
    std::vector<uint8_t> buf = file_table({{7, {}}});
    const auto size = static_cast<uint32_t>(buf.size());
    quor::store_le32(&buf[16 + 4], size);
    EXPECT_EQ(load_file_table(buf.data(), 7, size), 0u);
    EXPECT_EQ(g_dfs_sku, 7u);
    EXPECT_EQ(g_table_buf, reinterpret_cast<file_table_entry_t *>(buf.data() + size));

    g_dfs_sku = 0xFFFFFFFFu;
    quor::store_le32(&buf[16 + 4], size + 1);
    EXPECT_EQ(load_file_table(buf.data(), 7, size), 1u);
    EXPECT_EQ(g_dfs_sku, 0xFFFFFFFFu);

    // Two records fit before the end; a third would run past it: refused.
    quor::store_le32(&buf[16 + 4], size - 2 * 68);
    quor::store_le32(&buf[16 + 8], 3);
    EXPECT_EQ(load_file_table(buf.data(), 7, size), 1u);
    EXPECT_EQ(g_dfs_sku, 0xFFFFFFFFu);
    quor::store_le32(&buf[16 + 8], 2);
    EXPECT_EQ(load_file_table(buf.data(), 7, size), 0u);
    EXPECT_EQ(g_table_num_files, 2);
}

TEST_F(FileTable, FailedLayoutLoadReturnsOneButKeepsTheNewSelection) {
    std::vector<uint8_t> buf = file_table(kTwoSkus);
    // An EFS layout for SKU 7 whose record area is larger than its records.
    uint8_t *layout = &buf[16 * 3];
    std::memcpy(layout, "EFST", 4);
    quor::store_le32(layout + 12, 1);
    quor::store_le32(layout + 16, 7);      // sku
    quor::store_le32(layout + 16 + 8, 0);  // no records
    quor::store_le32(layout + 16 + 12, 60);
    EXPECT_EQ(load_file_table(buf.data(), 7, static_cast<uint32_t>(buf.size())), 1u);
    EXPECT_EQ(g_dfs_sku, 7u);
    EXPECT_EQ(g_table_num_files, 2);
}

TEST_F(FileTable, NameLookupsReturnTheFirstOfTwoEqualNames) {
    select({{7, {{"dup", 0x11, 0x5, 70}, {"dup", 0x22, 0x6, 80}, {"x", 0x33}}}}, 7);
    EXPECT_EQ(get_file_entry_by_file_name("dup"), g_table_buf);
    fileno_t number = 0;
    EXPECT_EQ(get_fileno_by_file_name("dup", &number), 0);
    EXPECT_EQ(number, 0x11u);
    file_attributes_t attributes = 0;
    unsigned int maxSize = 0;
    EXPECT_EQ(get_file_attributes_by_file_name("dup", &attributes, &maxSize), 0);
    EXPECT_EQ(attributes, 0x5);
    EXPECT_EQ(maxSize, 70u);
    EXPECT_EQ(get_file_attributes_by_file_name("dup", &attributes, nullptr), -1);
    EXPECT_EQ(get_file_attributes_by_file_name("none", &attributes, &maxSize), -1);
    const fileno_t x = 0x33;
    EXPECT_STREQ(get_file_entry_by_fileno(&x)->name, "x");
    EXPECT_EQ(get_fileno_by_file_name("du", &number), -1);
    EXPECT_EQ(get_fileno_by_file_name(nullptr, &number), -1);
    EXPECT_EQ(get_file_entry_by_file_name(nullptr), nullptr);
}

TEST_F(FileTable, FullLengthNamesMatchOn48BytesAndCopyWithoutTerminator) {
    const std::string full(48, 'N');
    select({{7, {{full, 0x44}}}}, 7);
    EXPECT_NE(get_file_entry_by_file_name((full + "tail").c_str()), nullptr);
    EXPECT_EQ(get_file_entry_by_file_name(full.substr(0, 47).c_str()), nullptr);
    char name[49];
    std::memset(name, 'Z', sizeof name);
    const fileno_t number = 0x44;
    EXPECT_EQ(get_file_name_by_fileno(&number, name), 0);
    EXPECT_EQ(std::string(name, 48), full);
    EXPECT_EQ(name[48], 'Z') << "a 49th byte was written";
    const fileno_t missing = 0x45;
    EXPECT_EQ(get_file_name_by_fileno(&missing, name), -1);
    EXPECT_EQ(get_file_name_by_fileno(nullptr, name), -1);
    EXPECT_EQ(get_file_name_by_fileno(&number, nullptr), -1);
}

TEST_F(FileTable, LookupsWithoutASelectedTableFindNothing) {
    fileno_t number = 1;
    EXPECT_EQ(get_file_entry_by_file_name("alpha"), nullptr);
    EXPECT_EQ(get_fileno_by_file_name("alpha", &number), -1);
    EXPECT_EQ(get_file_entry_by_fileno(&number), nullptr);
    select(kTwoSkus, 7);
    g_table_num_files = -3;  // below 1 means no table, whatever g_table_buf holds
    EXPECT_EQ(get_file_entry_by_file_name("alpha"), nullptr);
    _cfg_file_entry_t entry{};
    EXPECT_TRUE(validateAttributs(&entry));
    EXPECT_FALSE(validateAttributs(nullptr));
}

}  // namespace
