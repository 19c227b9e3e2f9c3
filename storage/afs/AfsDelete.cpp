// Deletion of AFS files and zombie marking of free file slots.
#include "afs/Afs.h"
#include "afs/AfsAllocation.h"
#include "afs/AfsFat.h"

using namespace quor::afs::file_layer;

extern "C" uint32_t afs_deletefile(AfsContext *context, int32_t index) {
    if (!valid_file(context, index)) {
        return kAfsInvalid;
    }
    const auto file = static_cast<uint32_t>(index);
    uint16_t entry = 0;
    uint32_t status = read_file_entry(context, file, &entry);
    if (status != 0) {
        return status;
    }
    if (entry == kAfsEntryNone) {
        return kAfsNotFound;
    }
    status = commit_file_entry(context, file, kAfsEntryNone);
    if (status != 0) {
        return public_status(status);
    }
    set_size(context, file, 0xFFFFFFFF);
    if (is_cid(context, entry)) {
        // The entry is cleared on flash, so the whole chain is walked from the FAT.
        status = release_resources(context, entry, context->chunkCount, nullptr, false);
    }
    return status;
}

extern "C" uint32_t afs_mark_zombie_file(AfsContext *context, int32_t index) {
    if (!valid_file(context, index)) {
        return kAfsInvalid;
    }
    uint16_t entry = 0;
    const uint32_t status = read_file_entry(context, static_cast<uint32_t>(index), &entry);
    if (status != 0) {
        return status;
    }
    if (entry != kAfsEntryNone) {
        return kAfsWrongState;
    }
    return public_status(commit_file_entry(context, static_cast<uint32_t>(index), kAfsEntryZombie));
}
