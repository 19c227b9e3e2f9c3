// The public header as C++17: its records must have the published layout.
#include <quorstorage/quorstorage.h>

#include <cstddef>

static_assert(sizeof(QuorBuffer) == 16, "QuorBuffer");
static_assert(offsetof(_commonQuorTable, afsSkuId) == 64, "_commonQuorTable.afsSkuId");
static_assert(offsetof(_commonQuorTable, efs) == 72, "_commonQuorTable.efs");
static_assert(sizeof(_commonQuorTable) == 88, "_commonQuorTable");
static_assert(offsetof(AfsContext, ftl) == 32, "AfsContext.ftl");
static_assert(offsetof(AfsContext, cacheHead) == 64, "AfsContext.cacheHead");
static_assert(offsetof(AfsContext, fileSizeTable) == 72, "AfsContext.fileSizeTable");
static_assert(offsetof(AfsContext, chunkCount) == 96, "AfsContext.chunkCount");
static_assert(offsetof(AfsContext, physicalKind) == 104, "AfsContext.physicalKind");
static_assert(offsetof(AfsContext, flashImage) == 112, "AfsContext.flashImage");
static_assert(sizeof(AfsContext) == 120, "AfsContext");
static_assert(sizeof(file_table_entry_t) == 68, "file_table_entry_t");
static_assert(offsetof(file_table_entry_t, file_index) == 58, "file_table_entry_t.file_index");
static_assert(offsetof(file_table_entry_t, storage) == 63, "file_table_entry_t.storage");
static_assert(offsetof(file_table_entry_t, max_size) == 64, "file_table_entry_t.max_size");
static_assert(sizeof(_cfg_file_entry_t) == 12, "_cfg_file_entry_t");
static_assert(sizeof(cfg_file_info_t) == 18, "cfg_file_info_t");
static_assert(offsetof(cfg_file_info_t, max_size) == 14, "cfg_file_info_t.max_size");

// The named numbers are part of the binary interface too: their values are
// pinned here as literals.
static_assert(QUOR_TABLE_VENDOR == 0x10000006u && QUOR_TABLE_TOOL == 0x10000007u &&
                  QUOR_TABLE_CURRENT == 0x10000008u,
              "table ids");
static_assert(QUOR_DFS_NUMBER(QUOR_DFS_SELECTOR_EFS, 5) == 0x1005u, "EFS file 5");
static_assert(QUOR_DFS_NUMBER(QUOR_DFS_SELECTOR_AFS, 0x805) == 0x005u, "index keeps 11 bits");
static_assert(QUOR_DFS_FS_NUMBER_MASK == 0x0FFFE7FFu, "what a file system receives");
static_assert((0xF0000000u >> QUOR_DFS_TAG_SHIFT) == 0xFu, "tag nibble");
static_assert(QUOR_TAVC_HEADER_SIZE == 16 && QUOR_TAVC_LENGTH_OFFSET == 8, "partition header");
static_assert(QUOR_ATTR_TRAILER == 1 && QUOR_ATTR_NOT_LOADED == 2 && QUOR_ATTR_LONG_TRAILER == 0x40,
              "attribute bits");
static_assert(QUOR_FILE_TABLE_MAGIC == 0x4C425446u, "\"FTBL\"");
static_assert(QUOR_WRITE_TRUNCATE == 1 && QUOR_LEVEL_ERROR == 4, "write flag, level");
static_assert(sizeof(QUOR_DEPLOY_MARKER_PATH) == 17, "/home/vex/deploy");

int main() {
    return kaMfsGetEfsSize() == EFS_get_efs_size() ? 0 : 1;
}
