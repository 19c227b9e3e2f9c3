// The page-operation table through which the page cache and the file layer
// reach the flash translation layer (AfsContext::handlers).
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"

// Entries, in this order. read/write/trim move exactly one 64-byte page at
// `va`; `length` and `flashOffset` are kept for the calling convention only.
struct AfsPhysicalHandler {
    uint32_t (*read_page)(AfsContext *context, uint32_t va, uint32_t length, void *buffer,
                          uint32_t flashOffset);
    uint32_t (*write_page)(AfsContext *context, uint32_t va, uint32_t length, const void *data,
                           uint32_t flashOffset);
    uint32_t (*trim_page)(AfsContext *context, uint32_t va, uint32_t length, uint32_t flashOffset);
    uint32_t (*force_full_reclaim)(AfsContext *context);
    uint32_t (*force_dirty_erase)(AfsContext *context);
};

// The table of the FTL (AfsFtl): read_page, write_page, trim_page,
// force_full_reclaim, force_dirty_erase.
extern "C" const AfsPhysicalHandler afs_physical_spi_handler;

// 20 zero bytes kept as a symbol only; nothing reads or writes them.
extern "C" uint8_t afs_physical_context[20];

// Installs afs_physical_spi_handler as the context's table.
inline void afs_physical_attach_handlers(AfsContext *context) {
    context->handlers = const_cast<AfsPhysicalHandler *>(&afs_physical_spi_handler);
}

// The context's page-operation table (null when none is attached).
inline const AfsPhysicalHandler *afs_physical_handlers(const AfsContext *context) {
    return static_cast<const AfsPhysicalHandler *>(context->handlers);
}
