// File table and EFS helpers of the DFS tests.
#include "dfs_test_regions.h"

#include "common/bytes.h"
#include "efs/EFS.h"
#include "fcs/FCS.h"
#include "tests/efs/efs_fixture.h"

namespace dfs_test {

std::vector<uint8_t> build_file_table(const std::vector<TableRow> &rows) {
    constexpr uint32_t kRows = 512, kEntrySize = 68;
    efs_test::Layout layout;  // 2 block maps, 3 logical and 2 spare blocks, 8 file slots
    layout.sku = kSku;
    layout.v = 3;
    layout.n = 2;
    layout.files = 8;
    layout.layoutId = 1;
    layout.places = {{1, 0, 0, 100}, {5, 1, 0, 300}};
    std::vector<uint8_t> table = efs_test::make_table(layout);
    table.resize(1024, 0);
    uint8_t *t = table.data();
    quor::store_le32(t + 16, kSku);  // the SKU record
    quor::store_le32(t + 20, kRows);
    quor::store_le32(t + 24, static_cast<uint32_t>(rows.size()));
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
