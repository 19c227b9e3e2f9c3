// Maintenance entry points of the AFS file layer: forced and idle reclaims
// (passed to the FTL) and raw access to the partition for the embedding
// framework.
#include "afs/Afs.h"
#include "afs/AfsFat.h"
#include "afs/AfsPhysicalWin32Spi.h"

using namespace quor::afs::file_layer;

extern "C" uint32_t afs_force_full_reclaim(AfsContext *context) {
    if (context == nullptr || context->handlers == nullptr) {
        return kAfsInvalid;
    }
    return ops(context)->force_full_reclaim(context);
}

extern "C" uint32_t afs_force_dirty_erase(AfsContext *context) {
    if (context == nullptr) {
        return kAfsInvalid;
    }
    if (context->physicalKind != 0) {
        return context->physicalKind == 2 ? 0 : kAfsWrongState;
    }
    if (context->handlers == nullptr) {
        return kAfsInvalid;
    }
    return ops(context)->force_dirty_erase(context);
}

extern "C" uint32_t afs_idle_reclaim(AfsContext *context) {
    if (context == nullptr || context->physicalKind != 0 || context->ftl == nullptr) {
        return 0;
    }
    return afs_physical_ftl_idle_reclaim(context);
}

extern "C" uint32_t afs_idle_reclaim_needed(AfsContext *context) {
    if (context == nullptr || context->physicalKind != 0 || context->ftl == nullptr) {
        return 0;
    }
    return afs_physical_ftl_idle_reclaim_needed(context, nullptr, nullptr);
}

extern "C" uint32_t afs_get_idle_reclaim_enabled(AfsContext *context) {
    return (context != nullptr && context->idleReclaimEnabled != 0) ? 1 : 0;
}

extern "C" void afs_set_idle_reclaim_enabled(AfsContext *context) {
    if (context != nullptr) {
        context->idleReclaimEnabled = 1;
    }
}

extern "C" uint32_t afs_sub_pt_read(AfsContext *context, uint32_t offset, uint32_t length,
                                    void *destination) {
    if (uint64_t{context->flashOffset} + offset > 0xFFFFFFFFull) {
        return kSpiFailure;
    }
    return SpiDrvRead(context->flashOffset + offset, length, destination);
}

extern "C" uint32_t afs_sub_pt_write(AfsContext *context, uint32_t offset, uint32_t length,
                                     const void *source) {
    if (uint64_t{context->flashOffset} + offset > 0xFFFFFFFFull) {
        return kSpiFailure;
    }
    return SpiDrvWrite(context->flashOffset + offset, length, source);
}

extern "C" uint32_t afs_sub_pt_trim(AfsContext *, uint32_t, uint32_t) {
    return 0;
}
