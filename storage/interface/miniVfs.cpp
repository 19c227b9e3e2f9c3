// Mini VFS: name-to-number translation through the file table, and reads by name.
#include "interface/miniVfs.h"

#include "fcs/FCS.h"
#include "interface/dfs.h"

namespace {

constexpr uint32_t kTagShift = 28;
constexpr uint32_t kTopByteShift = 24;
constexpr uint32_t kFileIndexMask = 0x7FF;  // bits 0-10
constexpr uint8_t kStorageAfs = 1;          // adds no selector bits

}  // namespace

uint32_t quor::minivfs::file_number_of(const file_table_entry_t *entry) {
    const uint32_t topByte = quor::fcs::entry_fileno(entry) >> kTopByteShift;
    const uint32_t tag = (topByte >> 4) << kTagShift;
    const uint32_t index = quor::fcs::entry_file_index(entry) & kFileIndexMask;
    const uint32_t storage = quor::fcs::entry_storage(entry);
    const uint32_t selector = storage == kStorageAfs ? 0 : storage << QUOR_DFS_SELECTOR_SHIFT;
    return tag | index | selector;
}

uint32_t mini_vfs_init(void *flashBase, uint32_t flashSize) {
    return dfs_init(flashBase, flashSize) == QUOR_DFS_OK ? 0 : 1;
}

uint32_t pathToFileNumber(const char *name, uint32_t *fileNumber) {
    if (fileNumber == nullptr) {
        return QUOR_VFS_NULL_RESULT;
    }
    const file_table_entry_t *entry = get_file_entry_by_file_name(name);
    if (entry == nullptr) {
        return QUOR_VFS_NAME_NOT_IN_TABLE;
    }
    *fileNumber = quor::minivfs::file_number_of(entry);
    return QUOR_VFS_FOUND;
}

uint32_t readVfs(const char *name, uint32_t offset, void *buffer, uint32_t length) {
    const file_table_entry_t *entry = get_file_entry_by_file_name(name);
    if (entry == nullptr) {
        return QUOR_VFS_NAME_NOT_IN_TABLE;
    }
    uint32_t count = length;
    if (dfs_read(quor::minivfs::file_number_of(entry), offset, &count, buffer) != QUOR_DFS_OK) {
        return QUOR_VFS_READ_FAILED;
    }
    return QUOR_VFS_FOUND;
}
