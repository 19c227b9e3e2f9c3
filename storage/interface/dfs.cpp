// DFS front end: routing of file numbers to AFS and EFS, status folding, and
// ownership of the process's AFS context.
#include "interface/dfs.h"

#include <cstdlib>

#include "afs/Afs.h"
#include "efs/EFS.h"

AfsContext *dfs_context = nullptr;
uint32_t dfs_reset_needed = 0;

namespace {

uint32_t s_failAllocationAt = 0;  // test seam, see quor::dfs::fail_allocation_at

// The context that dfs_init allocated (DFS releases this one, never whatever the
// exported dfs_context may have been set to) and whether AFS mounted it.
AfsContext *s_ownedContext = nullptr;
bool s_ownedContextMounted = false;

// The context that requests may be handed to AFS with, or null. A context whose
// mount failed is refused like a missing one: AFS would otherwise work on a
// region that holds no volume (a forced dirty erase on such a context writes
// unit headers into it), and a pointer put into dfs_context from outside is
// never used, so a released record cannot come back through it.
AfsContext *mounted_context() {
    if (dfs_context == nullptr || dfs_context != s_ownedContext || !s_ownedContextMounted) {
        return nullptr;
    }
    return dfs_context;
}

// One allocation of dfs_init, failing on request of the test seam.
void *allocate(bool zeroFilled, size_t size) {
    if (s_failAllocationAt != 0 && --s_failAllocationAt == 0) {
        return nullptr;
    }
    return zeroFilled ? std::calloc(1, size) : std::malloc(size);
}

uint32_t selector_of(uint32_t fileNumber) {
    return (fileNumber & QUOR_DFS_SELECTOR_MASK) >> QUOR_DFS_SELECTOR_SHIFT;
}

// The index a file system receives for read, write and size requests.
uint32_t strip_routing_bits(uint32_t fileNumber) {
    return fileNumber & QUOR_DFS_FS_NUMBER_MASK;
}

// AFS takes indices as signed values; numbers from 2^31 up arrive negative
// (two's complement) and are refused by AFS as out of range.
int32_t as_afs_index(uint32_t fileNumber) {
    return static_cast<int32_t>(fileNumber);
}

// Releases a context made by dfs_init: what AFS allocated, then the work
// buffer and the record, which belong to DFS.
void release_context(AfsContext *context) {
    if (context == nullptr) {
        return;
    }
    afs_free_context(context);
    std::free(context->workBuffer);
    std::free(context);
}

// A zero-filled record with its work buffer, or null when either allocation fails.
AfsContext *allocate_context() {
    auto *context = static_cast<AfsContext *>(allocate(true, sizeof(AfsContext)));
    if (context == nullptr) {
        return nullptr;
    }
    // Without a work buffer AFS reads and writes would run into a null pointer,
    // so the whole context is refused rather than mounted half-equipped.
    auto *workBuffer = static_cast<uint8_t *>(allocate(false, kDfsWorkBufferSize));
    if (workBuffer == nullptr) {
        std::free(context);
        return nullptr;
    }
    context->workBuffer = workBuffer;
    return context;
}

// A null pointer that the file system would write through or read from.
bool bad_read_arguments(const uint32_t *length, const void *buffer) {
    return length == nullptr || (buffer == nullptr && *length != 0);
}

// Data to be written that is not there.
bool bad_write_arguments(uint32_t length, const void *data) {
    return data == nullptr && length != 0;
}

// AFS read with DFS's unsigned count; AFS counts in signed 32-bit values.
uint32_t read_from_afs(uint32_t index, uint32_t offset, uint32_t *length, void *buffer) {
    AfsContext *const context = mounted_context();
    if (context == nullptr || bad_read_arguments(length, buffer)) {
        return QUOR_DFS_INVALID;
    }
    int32_t count = static_cast<int32_t>(*length);
    const uint32_t status =
        afs_readfile(context, as_afs_index(index), static_cast<int32_t>(offset), &count, buffer);
    *length = static_cast<uint32_t>(count);
    return status;
}

}  // namespace

namespace quor::dfs {

void fail_allocation_at(uint32_t n) {
    s_failAllocationAt = n;
}

uint32_t fold_lookup_status(uint32_t status) {
    if (status == QUOR_DFS_OK || status == QUOR_DFS_NOT_FOUND || status == QUOR_DFS_INVALID) {
        return status;
    }
    return QUOR_DFS_IO_ERROR;
}

uint32_t fold_write_status(uint32_t status) {
    switch (status) {
        case QUOR_DFS_OK:
        case QUOR_DFS_INVALID:
        case QUOR_DFS_TOO_BIG:
        case QUOR_DFS_NO_SPACE:
        case QUOR_DFS_PASS_THROUGH:
            return status;
        default:
            return QUOR_DFS_IO_ERROR;
    }
}

}  // namespace quor::dfs

uint32_t dfs_init(void *flashBase, uint32_t flashSize) {
    // The replaced context is released here: its volume is about to be mounted
    // afresh, and every operation reaches AFS through mounted_context(), which
    // never yields a released record.
    release_context(s_ownedContext);
    s_ownedContext = nullptr;
    s_ownedContextMounted = false;
    dfs_context = allocate_context();
    if (dfs_context == nullptr) {
        return QUOR_DFS_NO_MEMORY;
    }
    s_ownedContext = dfs_context;
    const uint32_t status = afs_init(dfs_context, flashBase, kDfsPageSize, kDfsCacheLines,
                                     kDfsMaxFiles, 0, flashSize, kDfsMountFlags, 0, 0);
    s_ownedContextMounted = status == QUOR_DFS_OK;
    return status;
}

uint32_t dfs_terminate(void) {
    return QUOR_DFS_OK;
}

uint32_t dfs_is_fs_erased(void) {
    return 0;
}

uint32_t dfs_read(uint32_t fileNumber, uint32_t offset, uint32_t *length, void *buffer) {
    const uint32_t index = strip_routing_bits(fileNumber);
    switch (selector_of(fileNumber)) {
        case QUOR_DFS_SELECTOR_AFS:
            return quor::dfs::fold_lookup_status(read_from_afs(index, offset, length, buffer));
        case QUOR_DFS_SELECTOR_EFS:
            if (!EFS_is_initialized()) {
                return QUOR_DFS_NOT_FOUND;
            }
            if (bad_read_arguments(length, buffer)) {
                return QUOR_DFS_INVALID;
            }
            return quor::dfs::fold_lookup_status(EFS_read(index, offset, length, buffer));
        default:
            return QUOR_DFS_INVALID;
    }
}

uint32_t dfs_write(uint32_t fileNumber, uint32_t offset, uint32_t length, const void *data,
                   uint32_t flags) {
    AfsContext *const context = mounted_context();
    const uint32_t index = strip_routing_bits(fileNumber);
    switch (selector_of(fileNumber)) {
        case QUOR_DFS_SELECTOR_AFS:
            if (context == nullptr || bad_write_arguments(length, data)) {
                return QUOR_DFS_INVALID;
            }
            return quor::dfs::fold_write_status(
                afs_writefile(context, as_afs_index(index), offset, length, data, flags));
        case QUOR_DFS_SELECTOR_EFS:
            if (bad_write_arguments(length, data)) {
                return QUOR_DFS_INVALID;
            }
            return quor::dfs::fold_write_status(EFS_write(index, offset, length, data));
        default:
            return QUOR_DFS_INVALID;
    }
}

uint32_t dfs_getsize(uint32_t fileNumber, uint32_t *size) {
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return QUOR_DFS_NOT_FOUND;
    }
    if (size == nullptr) {
        return QUOR_DFS_INVALID;
    }
    const uint32_t index = strip_routing_bits(fileNumber);
    switch (selector_of(fileNumber)) {
        case QUOR_DFS_SELECTOR_AFS:
            return quor::dfs::fold_lookup_status(
                afs_getfilesize(context, as_afs_index(index), size));
        case QUOR_DFS_SELECTOR_EFS:
            return quor::dfs::fold_lookup_status(EFS_get_file_size(index, size));
        default:
            return QUOR_DFS_INVALID;
    }
}

uint32_t dfs_delete_file(uint32_t fileNumber) {
    if ((fileNumber & QUOR_DFS_SELECTOR_MASK) != 0) {
        return QUOR_DFS_INVALID;
    }
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return QUOR_DFS_NOT_FOUND;
    }
    return quor::dfs::fold_lookup_status(afs_deletefile(context, as_afs_index(fileNumber)));
}

uint32_t dfs_mark_zombie_file(uint32_t fileNumber) {
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return QUOR_DFS_INVALID;
    }
    return afs_mark_zombie_file(context, as_afs_index(fileNumber));
}

uint32_t dfs_set_page_size(uint32_t pageSize) {
    // A page size of 0 would divide by zero; it is refused like every size below 64.
    AfsContext *const context = mounted_context();
    if (context == nullptr || pageSize == 0) {
        return QUOR_DFS_INVALID;
    }
    return afs_setcache(context, pageSize, kDfsCacheBytes / pageSize);
}

uint32_t dfs_idle_reclaim(void) {
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return QUOR_DFS_INVALID;
    }
    return afs_idle_reclaim(context);
}

uint32_t dfs_idle_reclaim_needed(void) {
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return 0;
    }
    return afs_idle_reclaim_needed(context);
}

uint32_t dfs_get_idle_reclaim_enabled(void) {
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return 0;
    }
    return afs_get_idle_reclaim_enabled(context);
}

void dfs_set_idle_reclaim_enabled(void) {
    AfsContext *const context = mounted_context();
    if (context != nullptr) {
        afs_set_idle_reclaim_enabled(context);
    }
}

uint32_t dfs_force_full_reclaim(void) {
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return QUOR_DFS_INVALID;
    }
    return afs_force_full_reclaim(context);
}

uint32_t dfs_force_dirty_erase(void) {
    AfsContext *const context = mounted_context();
    if (context == nullptr) {
        return QUOR_DFS_INVALID;
    }
    return afs_force_dirty_erase(context);
}
