// File table and EFS helpers of the DFS tests.
#include "dfs_test_regions.h"

#include "common/bytes.h"
#include "efs/EFS.h"
#include "fcs/FCS.h"

namespace dfs_test {

namespace {
constexpr uint32_t kEfsFileSlots = 8;
}  // namespace

std::vector<uint8_t> build_file_table(const std::vector<TableRow> &rows) {
    constexpr uint32_t kLayoutHeader = 32, kLayoutEntry = 48, kEfsRecords = 128;
    constexpr uint32_t kRows = 512, kEntrySize = 68, kEfsRecordSize = 60;
    std::vector<uint8_t> table(1024, 0);
    uint8_t *t = table.data();
    quor::store_le32(t + 0, 0x4C425446);  // "FTBL"
    quor::store_le32(t + 12, 1);
    quor::store_le32(t + 16, kSku);
    quor::store_le32(t + 20, kRows);
    quor::store_le32(t + 24, static_cast<uint32_t>(rows.size()));

    quor::store_le32(t + kLayoutHeader, 0x54534645);  // "EFST"
    quor::store_le32(t + kLayoutHeader + 12, 1);
    const uint32_t layout[10] = {kSku,          kEfsRecords, 2, 2 * kEfsRecordSize, 2, 3, 2,
                                 kEfsFileSlots, 100,         1};
    for (uint32_t i = 0; i < 10; ++i) {
        quor::store_le32(t + kLayoutEntry + 4 * i, layout[i]);
    }
    // {file index, logical block, offset, maximum size}
    const uint16_t records[2][4] = {{1, 0, 0, 100}, {5, 1, 0, 300}};
    for (uint32_t r = 0; r < 2; ++r) {
        uint8_t *record = t + kEfsRecords + r * kEfsRecordSize;
        quor::store_le16(record + 0, records[r][0]);
        quor::store_le16(record + 50, records[r][1]);
        quor::store_le16(record + 52, records[r][2]);
        quor::store_le16(record + 54, records[r][3]);
    }

    for (size_t i = 0; i < rows.size(); ++i) {
        uint8_t *entry = t + kRows + i * kEntrySize;
        rows[i].name.copy(reinterpret_cast<char *>(entry), 48);
        quor::store_le32(entry + 48, rows[i].fileno);
        quor::store_le16(entry + 58, rows[i].fileIndex);
        entry[63] = rows[i].storage;
        quor::store_le32(entry + 64, 4096);
    }
    return table;
}

uint32_t select_table_and_format_efs(std::vector<uint8_t> &table) {
    if (load_file_table(table.data(), kSku, static_cast<uint32_t>(table.size())) != 0) {
        return 1;
    }
    return EFS_init(true);
}

}  // namespace dfs_test
