#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fcs/FCS.h"
#include "tests/fcs/fcs_fixture.h"

using fcs_fixture::Bytes;
using fcs_fixture::file_table;
using fcs_fixture::Sku;

namespace {

class FileTable : public ::testing::Test {
  protected:
    void SetUp() override {
        g_table_num_files = 0;
        g_table_buf = nullptr;
        g_dfs_sku = 0xFFFFFFFFu;
    }
    uint32_t load(const Bytes &buf, uint32_t sku) {
        return load_file_table(buf.data(), sku, static_cast<uint32_t>(buf.size()));
    }
};

TEST_F(FileTable, RefusesShortBuffersBadMagicAndMoreThanTenSkus) {
    Bytes buf = file_table({{7, {{"a", 1}}}}, 1023);
    ASSERT_EQ(buf.size(), 1023u);
    EXPECT_EQ(load(buf, 7), 1u);
    buf.resize(1024, 0);
    EXPECT_EQ(load(buf, 7), 0u);
    EXPECT_EQ(g_table_num_files, 1);
    EXPECT_EQ(g_dfs_sku, 7u);
    buf[0] = 'X';
    EXPECT_EQ(load(buf, 7), 1u);
    EXPECT_EQ(load_file_table(nullptr, 7, 1024), 1u);

    std::vector<Sku> eleven;
    for (uint32_t id = 0; id < 11; ++id) {
        eleven.push_back({id, {{"n" + std::to_string(id), 100 + id}}});
    }
    Bytes many = file_table(eleven);
    EXPECT_EQ(load(many, 3), 1u);
    EXPECT_EQ(g_dfs_sku, 7u) << "a refused buffer changed the selection";
    quor::store_le32(&many[12], 10);  // the tenth record is still searched
    EXPECT_EQ(load(many, 9), 0u);
    EXPECT_STREQ(get_file_entry_by_file_name("n9")->name, "n9");
}

TEST_F(FileTable, UnknownSkuOrNoRecordsKeepThePreviousSelection) {
    const Bytes buf = file_table({{7, {{"alpha", 1}}}, {9, {{"gamma", 2}}}});
    ASSERT_EQ(load(buf, 9), 0u);
    const file_table_entry_t *selected = g_table_buf;
    EXPECT_EQ(load(buf, 1234), 0u);
    EXPECT_EQ(load(file_table({}), 7), 0u);
    EXPECT_EQ(g_table_buf, selected);
    EXPECT_EQ(g_dfs_sku, 9u);
}

TEST_F(FileTable, TableMustStartAndEndInsideTheBuffer) {
    Bytes buf = file_table({{7, {}}});
    const auto size = static_cast<uint32_t>(buf.size());
    quor::store_le32(&buf[20], size);  // starts at the end, no entries: accepted
    EXPECT_EQ(load(buf, 7), 0u);
    EXPECT_EQ(g_dfs_sku, 7u);
    g_dfs_sku = 0;
    quor::store_le32(&buf[20], size + 1);
    EXPECT_EQ(load(buf, 7), 1u);
    // Room for two entries before the end: three run past it and are refused.
    quor::store_le32(&buf[20], size - 2 * 68);
    quor::store_le32(&buf[24], 3);
    EXPECT_EQ(load(buf, 7), 1u);
    EXPECT_EQ(g_dfs_sku, 0u);
    quor::store_le32(&buf[24], 2);
    EXPECT_EQ(load(buf, 7), 0u);
    EXPECT_EQ(g_table_num_files, 2);
}

TEST_F(FileTable, FailedLayoutLoadReturnsOneButKeepsTheNewSelection) {
    Bytes buf = file_table({{7, {{"a", 1}, {"b", 2}}}});
    uint8_t *layout = &buf[32];  // after one SKU record: an EFS layout for SKU 7
    std::memcpy(layout, "EFST", 4);
    quor::store_le32(layout + 12, 1);
    quor::store_le32(layout + 16, 7);
    quor::store_le32(layout + 16 + 12, 60);  // record area larger than its 0 records
    EXPECT_EQ(load(buf, 7), 1u);
    EXPECT_EQ(g_dfs_sku, 7u);
    EXPECT_EQ(g_table_num_files, 2);
}

TEST_F(FileTable, LookupsTakeTheFirstMatch) {
    const Bytes buf = file_table({{7, {{"dup", 0x11, 5, 70}, {"dup", 0x22, 6, 80}, {"x", 0x11}}}});
    ASSERT_EQ(load(buf, 7), 0u);
    EXPECT_EQ(get_file_entry_by_file_name("dup"), g_table_buf);
    fileno_t number = 0;
    EXPECT_EQ(get_fileno_by_file_name("dup", &number), 0);
    EXPECT_EQ(number, 0x11u);
    file_attributes_t attributes = 0;
    unsigned int maxSize = 0;
    EXPECT_EQ(get_file_attributes_by_file_name("dup", &attributes, &maxSize), 0);
    EXPECT_EQ(attributes, 5);
    EXPECT_EQ(maxSize, 70u);
    EXPECT_EQ(get_file_attributes_by_file_name("dup", &attributes, nullptr), -1);
    EXPECT_EQ(get_file_entry_by_fileno(&number), g_table_buf);
    EXPECT_EQ(get_fileno_by_file_name("du", &number), -1);
    EXPECT_EQ(get_fileno_by_file_name(nullptr, &number), -1);
    EXPECT_EQ(get_file_entry_by_file_name(nullptr), nullptr);
}

TEST_F(FileTable, FullLengthNamesMatchOn48BytesAndCopyWithoutTerminator) {
    const std::string full(48, 'N');
    const Bytes buf = file_table({{7, {{full, 0x44}}}});
    ASSERT_EQ(load(buf, 7), 0u);
    EXPECT_NE(get_file_entry_by_file_name((full + "tail").c_str()), nullptr);
    EXPECT_EQ(get_file_entry_by_file_name(full.substr(0, 47).c_str()), nullptr);
    char name[49];
    std::memset(name, 'Z', sizeof name);
    const fileno_t number = 0x44, missing = 0x45;
    EXPECT_EQ(get_file_name_by_fileno(&number, name), 0);
    EXPECT_EQ(std::string(name, 48), full);
    EXPECT_EQ(name[48], 'Z') << "a 49th byte was written";
    EXPECT_EQ(get_file_name_by_fileno(&missing, name), -1);
    EXPECT_EQ(get_file_name_by_fileno(&number, nullptr), -1);
}

TEST_F(FileTable, NothingIsFoundWithoutASelectedTable) {
    const Bytes buf = file_table({{7, {{"alpha", 1}}}});
    fileno_t number = 1;
    EXPECT_EQ(get_fileno_by_file_name("alpha", &number), -1);
    ASSERT_EQ(load(buf, 7), 0u);
    g_table_num_files = -3;  // below 1 means no table, whatever g_table_buf holds
    EXPECT_EQ(get_file_entry_by_file_name("alpha"), nullptr);
    EXPECT_EQ(get_file_entry_by_fileno(&number), nullptr);
    _cfg_file_entry_t entry{};
    EXPECT_TRUE(validateAttributs(&entry));
    EXPECT_FALSE(validateAttributs(nullptr));
}

}  // namespace
