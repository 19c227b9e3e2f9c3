// Regions for the DFS and mini VFS tests: a file table buffer with one SKU's
// file table and EFS layout, a formatted AFS region, and a formatted EFS.
// The helpers live in two sources, one that sees the AFS headers and one that
// sees the file table's, so that neither needs both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dfs_test {

constexpr uint32_t kSku = 7;
constexpr uint32_t kAfsRegionSize = 65536;  // 8 erase units: small, and above the 32768 minimum

// One row of the configuration file table.
struct TableRow {
    std::string name;
    uint32_t fileno;
    uint16_t fileIndex;
    uint8_t storage;
};

// File table buffer of 1024 bytes holding `rows` for kSku and an EFS layout of
// 2 block maps, 3 logical and 2 spare blocks and 8 file slots, in which EFS
// files 1 and 5 exist.
std::vector<uint8_t> build_file_table(const std::vector<TableRow> &rows);

// Selects the file table (which also loads the EFS layout) and mounts a freshly
// formatted EFS image. Returns the EFS status (1 when the table is refused).
uint32_t select_table_and_format_efs(std::vector<uint8_t> &table);

// Fills `region` with 0xFF and formats it as an AFS volume through a scratch
// context, released after. Returns the afs_init status.
uint32_t format_afs(std::vector<uint8_t> &region);

// The AFS region of the test process. It lives as long as the process, so a
// context left in dfs_context by one test never points at released memory.
std::vector<uint8_t> &afs_region();

}  // namespace dfs_test
