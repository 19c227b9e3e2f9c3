#include "afs/AfsFrameworkWin32.h"

#include <cstring>

uint32_t mg_copyfrom(void *context, const void *base, uint32_t offset, void *destination,
                     uint32_t reserved, uint32_t length) {
    (void)context;
    (void)reserved;
    if (length != 0) {
        std::memcpy(destination, static_cast<const uint8_t *>(base) + offset, length);
    }
    return 0;
}

uint32_t mg_copyto(void *context, void *base, uint32_t offset, const void *source,
                   uint32_t reserved, uint32_t length) {
    (void)context;
    (void)reserved;
    if (length != 0) {
        std::memcpy(static_cast<uint8_t *>(base) + offset, source, length);
    }
    return 0;
}
