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

int main() {
    return kaMfsGetEfsSize() == EFS_get_efs_size() ? 0 : 1;
}
