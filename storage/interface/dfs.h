// DFS: the numbered-file front end over the two flash file systems.
//
// A 32-bit DFS file number routes a request to AFS or EFS:
//   bits 0-10   file index inside its file system
//   bits 11-12  selector: 0 AFS, 2 EFS; 1 and 3 are refused (22)
//   bits 13-27  normally 0; kept, so that a set bit makes the index out of range
//   bits 28-31  tag nibble; stripped before read, write and size requests
// The file system receives the number ANDed with QUOR_DFS_FS_NUMBER_MASK
// (quorstorage.h names every field).
//
// Statuses (POSIX errno numbering): 0 ok, 2 not found / file system not
// mounted, 5 any other file-system failure, 22 bad argument, 27 file too large,
// 28 no space, 562 passed through by dfs_write; dfs_init alone returns
// 0xFFFFFFFF when it cannot allocate the context or its work buffer. Each file
// operation folds the statuses of its file system into this set.
//
// Owns: dfs_context, the one AFS context of the process (record and its
// 4096-byte work buffer), allocated by dfs_init and released by the next
// dfs_init. Requests reach AFS only through the context that dfs_init
// allocated and AFS mounted: with no context, a context whose mount failed, or
// a pointer stored into dfs_context from outside, every operation answers as
// before the first dfs_init. EFS is mounted elsewhere; DFS only asks whether
// it is mounted. Not thread-safe.
#pragma once

#include <cstdint>

#include "common/export.h"
#include "include/quorstorage/quorstorage.h"

// File-number fields (QUOR_DFS_SELECTOR_*, QUOR_DFS_FS_NUMBER_MASK) and the
// statuses (QUOR_DFS_*) are those of the published C header.

// Mount parameters of the AFS region.
constexpr uint32_t kDfsWorkBufferSize = 4096;
constexpr uint32_t kDfsPageSize = 64;
constexpr uint32_t kDfsCacheLines = 10;
constexpr uint32_t kDfsMaxFiles = 1024;
constexpr uint32_t kDfsMountFlags = 0x20025;  // size table, FTL mode, FTL mount, driver init
constexpr uint32_t kDfsCacheBytes = 8192;     // dfs_set_page_size keeps this many cache bytes

// The AFS context; null until dfs_init has run.
QUOR_C_DATA AfsContext *dfs_context;
// Exported for the tool; no operation of the library sets or reads it.
QUOR_C_DATA uint32_t dfs_reset_needed;

// Releases the context of an earlier dfs_init, allocates a fresh zero-filled
// one with a 4096-byte work buffer and mounts the AFS region without ever
// formatting it. 0, the AFS mount status (dfs_context then holds the unmounted
// context, which no operation uses), or 0xFFFFFFFF when either allocation
// fails (dfs_context is then null).
QUOR_C_API uint32_t dfs_init(void *flashBase, uint32_t flashSize);
// Always 0. The context and its volume stay in place until the next dfs_init.
QUOR_C_API uint32_t dfs_terminate(void);
// Always 0.
QUOR_C_API uint32_t dfs_is_fs_erased(void);

// Reads up to *length bytes at `offset`; *length returns the bytes read.
// 0, 2 (no such file, EFS not mounted), 22 (also AFS not mounted), else 5.
QUOR_C_API uint32_t dfs_read(uint32_t fileNumber, uint32_t offset, uint32_t *length, void *buffer);
// Writes `length` bytes at `offset`; `flags` (bit 0: truncate after the write)
// goes to AFS only. 0, 22, 27, 28, 562, else 5 (2 included).
QUOR_C_API uint32_t dfs_write(uint32_t fileNumber, uint32_t offset, uint32_t length,
                              const void *data, uint32_t flags);
// Size of a file in *size. 2 without a mounted AFS context (any selector);
// else 0, 2, 22 or 5.
QUOR_C_API uint32_t dfs_getsize(uint32_t fileNumber, uint32_t *size);
// Deletes an AFS file; the number is passed on unstripped. 22 for EFS and
// refused selectors, 2 without a mounted AFS context; else 0, 2, 22 or 5.
QUOR_C_API uint32_t dfs_delete_file(uint32_t fileNumber);

// AFS-only operations on dfs_context, with the AFS result unchanged. Without a
// mounted context they answer 22 (or 0 for the two queries) and touch nothing.
QUOR_C_API uint32_t dfs_mark_zombie_file(uint32_t fileNumber);
// Cache of 8192 bytes in lines of `pageSize` bytes; 22 for 0 and for sizes
// AFS refuses (not a multiple of 64, or fewer than 2 lines).
QUOR_C_API uint32_t dfs_set_page_size(uint32_t pageSize);
QUOR_C_API uint32_t dfs_idle_reclaim(void);
QUOR_C_API uint32_t dfs_idle_reclaim_needed(void);
QUOR_C_API uint32_t dfs_get_idle_reclaim_enabled(void);
QUOR_C_API void dfs_set_idle_reclaim_enabled(void);
QUOR_C_API uint32_t dfs_force_full_reclaim(void);
QUOR_C_API uint32_t dfs_force_dirty_erase(void);

namespace quor::dfs {

// Status folding of read, size and delete: 0, 2 and 22 pass, anything else is 5.
uint32_t fold_lookup_status(uint32_t status);
// Status folding of write: 0, 22, 27, 28 and 562 pass, anything else (2 included) is 5.
uint32_t fold_write_status(uint32_t status);

// Test seam: the `n`-th allocation of the following dfs_init calls fails
// (1 = the context record, 2 = its work buffer, counted across calls); 0 disarms.
void fail_allocation_at(uint32_t n);

}  // namespace quor::dfs
