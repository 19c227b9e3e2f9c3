// Mini VFS: configuration files by name on top of DFS.
//
// A name is turned into a DFS file number through the selected file table
// (get_file_entry_by_file_name): the tag nibble comes from the high nibble of
// the top byte of the entry's fileno, the index from the low 11 bits of its
// file_index, and the selector from its storage byte (1 adds nothing; any
// other value is shifted left by 11 and ORed in). Owns no state.
#pragma once

#include <cstdint>

#include "common/export.h"
#include "include/quorstorage/quorstorage.h"

// Statuses: QUOR_VFS_* of the published C header.

// Mounts the AFS region through dfs_init: 0 on success, 1 on any failure.
QUOR_C_API uint32_t mini_vfs_init(void *flashBase, uint32_t flashSize);

// DFS file number of `name` in *fileNumber: 0 found, 1 `fileNumber` null,
// 2 name not in the table (or no table selected).
QUOR_C_API uint32_t pathToFileNumber(const char *name, uint32_t *fileNumber);

// Reads `length` bytes at `offset` of the named file into `buffer`: 0, 2 name
// not in the table (nothing read), 6 the DFS read failed. The number of bytes
// actually read is not reported.
QUOR_C_API uint32_t readVfs(const char *name, uint32_t offset, void *buffer, uint32_t length);

struct file_table_entry_t;

namespace quor::minivfs {

// The DFS file number of a file table entry (the rule described above). The
// storage interface uses it to index a whole table at once.
uint32_t file_number_of(const file_table_entry_t *entry);

}  // namespace quor::minivfs
