// Mount of the AFS file layer: the FTL mount or format, the volume header,
// the volume geometry, and the allocation state rebuilt from the FAT; also
// the cache geometry and the release of everything a mount allocated.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsAllocation.h"
#include "afs/AfsFat.h"
#include "common/bytes.h"

using namespace quor::afs::file_layer;

namespace {

constexpr uint32_t kMinFiles = 65;
constexpr uint32_t kMaxFiles = 2048;
constexpr uint32_t kMinFlashSize = 32768;
constexpr uint32_t kMaxFlashSize = 2097152;
constexpr uint32_t kMinLines = 2;
constexpr uint32_t kMaxLines = 1000;
// cachePageSize is 16 bits wide: 65536 would be stored as 0, so the largest
// page size accepted anywhere is 65472.
constexpr uint32_t kMaxPageSize = 65472;
// FTL slots left free in the dynamic units of a new volume even when every
// FAT page is live, so that a dynamic reclaim always gains space.
constexpr uint32_t kDynamicSlack = 30;

using quor::afs::VolumeGeometry;

// ---- mount --------------------------------------------------------------------

void set_geometry(AfsContext *c, const VolumeGeometry &g) {
    c->fileCount = static_cast<uint16_t>(g.fileCount);
    c->chunkCount = static_cast<uint16_t>(g.chunkCount);
    c->dynamicAreaSize = g.dynamicAreaSize;
    c->volumeSize = g.volumeSize;
}

// Mounts the FTL afresh with the context's current geometry.
uint32_t mount_ftl(AfsContext *c, uint32_t options) {
    afs_physical_ftl_release(c);
    return afs_physical_ftl_init(c, c->flashSize, kFtlMountCreate | options);
}

// Formats the FTL for the context's current geometry and mounts it. A mount
// attempt with that geometry comes first: the format takes the unit count
// and the first reserved unit from it.
uint32_t format_ftl(AfsContext *c, bool erase) {
    mount_ftl(c, 0);
    if (c->ftl == nullptr) {
        return kAfsNoMemory;
    }
    const uint32_t status = afs_physical_ftl_format(c, erase ? 1 : 0);
    if (status != 0) {
        return status;
    }
    return afs_physical_ftl_init(c, c->flashSize, 0);
}

// New volume header in FTL mode. The FTL's own sizing rule gives the most
// reserved units; chunkCount is exactly 122 per reserved unit and the header
// records volumeSize = dynamicAreaSize + 7808 * reserved units, so that the
// geometry recomputed from the header at the next mount is the same one, the
// reserved units, the dynamic units and the spare all fit the partition, and
// no chunk id beyond the reserved units can exist.
void apply_new_volume_geometry(AfsContext *c, uint32_t maxFiles) {
    const uint32_t dataVas = afs_physical_ftl_get_data_vas(c);
    set_geometry(c, quor::afs::new_volume_geometry(c->flashSize, maxFiles, dataVas));
}

// True when the mounted FTL's reserved units carry exactly the runs that the
// context's geometry needs (one unit per 122-chunk group, none missing).
bool ftl_layout_matches(const AfsContext *c) {
    const FtlControl *f = quor::afs::ftl_control(c);
    if (f == nullptr || f->euInfo == nullptr) {
        return false;
    }
    const uint32_t reserved = (c->volumeSize - c->dynamicAreaSize) / kFtlReservedBytesPerUnit;
    const uint32_t base0 = c->dynamicAreaSize / kFtlPageSize;
    bool seen[256] = {};  // unit counts are 8-bit, so at most 255 reserved groups
    uint32_t found = 0;
    for (uint32_t i = 0; i < f->unitCount; ++i) {
        const uint32_t base = f->euInfo[i].reservedBase;
        if (i == f->spareUnit || base == 0) {
            continue;
        }
        if (base < base0 || (base - base0) % kFtlReservedSlots != 0) {
            return false;
        }
        const uint32_t group = (base - base0) / kFtlReservedSlots;
        if (group >= reserved || group >= 256 || seen[group]) {
            return false;
        }
        seen[group] = true;
        ++found;
    }
    return found == reserved;
}

void write_header_bytes(uint8_t *p, uint32_t param1, uint32_t param2, uint32_t volumeSize,
                        uint32_t fileCount) {
    quor::store_le32(p, kAfsVolumeMagic);
    p[4] = static_cast<uint8_t>(param1);
    p[5] = static_cast<uint8_t>(param2);
    p[6] = static_cast<uint8_t>((param2 >> 8) & 0x0F);
    p[7] = 0;
    quor::store_le32(p + 8, volumeSize);
    quor::store_le16(p + 12, static_cast<uint16_t>(fileCount));
}

// Writes a new header into page 0 (the rest of the page zeroed) and flushes.
uint32_t write_new_header(AfsContext *c, uint32_t param1, uint32_t param2, uint8_t *header) {
    uint8_t *p = nullptr;
    uint32_t status = volume_ptr(c, 0, &p);
    if (status != 0) {
        return status;
    }
    const uint32_t zeroed = std::min<uint32_t>(c->cachePageSize, c->dynamicAreaSize);
    std::memset(p, 0, zeroed);
    write_header_bytes(p, param1, param2, c->volumeSize, c->fileCount);
    quor::afs::cache_range_written(c, p, zeroed);
    std::memcpy(header, p, kAfsHeaderSize);
    status = cache_flush(c);
    if (status != 0) {
        cache_invalidate(c);
    }
    return status;
}

// Volume header absent: a new one may be written when the flags allow.
uint32_t create_volume(AfsContext *c, uint32_t flags, uint32_t maxFiles, bool formatted,
                       uint32_t param1, uint32_t param2, uint8_t *header) {
    if ((flags & (kAfsNewHeader | kAfsForceFormat)) == 0) {
        return kAfsIoError;
    }
    if (!formatted) {
        apply_new_volume_geometry(c, maxFiles);
        uint32_t status = 0;
        if ((flags & kAfsMountFtl) != 0 && (flags & (kAfsAllowFormat | kAfsEraseFormat)) != 0) {
            // A partition without a volume header holds no files: it is
            // formatted for the new geometry rather than trusted.
            status = format_ftl(c, (flags & kAfsEraseFormat) != 0);
        } else {
            status = mount_ftl(c, 0);
            if (status == 0 && !ftl_layout_matches(c)) {
                status = kAfsIoError;
            }
        }
        if (status != 0) {
            return status;
        }
        cache_invalidate(c);
    }
    return write_new_header(c, param1, param2, header);
}

// Volume header present: take its geometry and remount the FTL with it.
uint32_t open_volume(AfsContext *c, const uint8_t *header) {
    VolumeGeometry g{};
    if (!quor::afs::geometry_from_header(c->flashSize, quor::load_le16(header + 12),
                                         quor::load_le32(header + 8), &g)) {
        return kAfsIoError;
    }
    set_geometry(c, g);
    const uint32_t status = mount_ftl(c, 0);
    cache_invalidate(c);
    return status;
}

// Mount scan of one file entry: clears zombies, marks the chain's chunks in
// the bitmap and records the size.
uint32_t scan_file(AfsContext *c, uint32_t index) {
    uint16_t entry = 0;
    uint32_t status = read_file_entry(c, index, &entry);
    if (status != 0) {
        return status;
    }
    uint32_t size = 0xFFFFFFFF;
    if (entry == kAfsEntryZombie) {
        status = set_fat_entry(c, index, kAfsEntryNone);
    } else if (entry == kAfsEntryEmpty) {
        size = 0;
    } else if (entry != kAfsEntryNone) {
        size = 0;
        // Only this walk uses the cache until it ends, so consecutive entries
        // of one line are read without a lookup each.
        FatCursor cursor;
        for (uint16_t cid = entry; is_cid(c, cid);) {
            if (c->allocationBitmap != nullptr) {
                const uint32_t j = cid - c->fileCount;
                // A chunk on two chains (or twice on one) is a damaged FAT.
                if (bit_set(c, j)) {
                    return kAfsIoError;
                }
                c->allocationBitmap[j / 32] |= 1u << (j % 32);
            }
            uint16_t next = 0;
            status = get_next_cid(c, cid, &next, &cursor);
            if (status != 0) {
                return status;
            }
            size += std::min<uint32_t>(next, kAfsChunkSize);
            cid = next;
        }
    }
    set_size(c, index, size);
    return status;
}

uint32_t build_allocation_state(AfsContext *c, uint32_t flags) {
    if ((flags & kAfsKeepSizeTable) != 0) {
        c->fileSizeTable = static_cast<uint32_t *>(std::malloc(4u * c->fileCount));
        if (c->fileSizeTable == nullptr) {
            return kAfsNoMemory;
        }
        std::memset(c->fileSizeTable, 0xFF, 4u * c->fileCount);
    }
    if (c->noAllocationBitmap == 0) {
        const size_t words = (size_t{c->chunkCount} + 31) / 32;
        c->allocationBitmap = static_cast<uint32_t *>(std::calloc(words == 0 ? 1 : words, 4));
        if (c->allocationBitmap == nullptr) {
            return kAfsNoMemory;
        }
    } else if (c->fileSizeTable == nullptr) {
        return 0;
    }
    for (uint32_t i = 0; i < c->fileCount; ++i) {
        const uint32_t status = scan_file(c, i);
        if (status != 0) {
            return status;
        }
    }
    if (c->physicalKind == 0 && c->noAllocationBitmap == 0) {
        c->ftlAllocation = 1;
        const uint32_t status = afs_physical_ftl_set_allocation_map(c);
        if (status != 0) {
            return status;
        }
        for (uint32_t x = 0; x <= c->chunkCount; ++x) {
            if (x == c->chunkCount || !bit_set(c, x)) {
                trim_fat_page_if_needed(c, x);
            }
        }
    }
    return 0;
}

void preload_cache(AfsContext *c, uint32_t lines) {
    for (uint32_t t = 0; t < lines && t <= 0xFFFF; ++t) {
        // Only pages inside the volume are loaded.
        if (uint64_t{t} * c->cachePageSize >= c->volumeSize) {
            break;
        }
        uint8_t *p = nullptr;
        cache_ptr(c, static_cast<uint16_t>(t), &p);
    }
}

// Drops what an earlier mount of this context allocated (the FTL state is
// replaced by the next FTL mount). Pending cache lines can only be zombie
// resets of the earlier mount scan, which the new scan repeats.
void drop_previous_mount(AfsContext *c) {
    quor::afs::cache_release(c);
    std::free(c->allocationBitmap);
    std::free(c->fileSizeTable);
    c->allocationBitmap = nullptr;
    c->fileSizeTable = nullptr;
}

bool init_args_valid(uint32_t pageSize, uint32_t cacheLines, uint32_t maxFiles,
                     uint32_t flashOffset, uint32_t flashSize, uint32_t flags) {
    return pageSize >= kAfsChunkSize && pageSize % kAfsChunkSize == 0 && pageSize <= kMaxPageSize &&
           cacheLines >= kMinLines && cacheLines <= kMaxLines && maxFiles >= kMinFiles &&
           maxFiles <= kMaxFiles && flashSize >= kMinFlashSize && flashSize <= kMaxFlashSize &&
           uint64_t{flashOffset} + flashSize <= 0x100000000ull &&
           (flags & (kAfsMustBeClear | kAfsFtlMode)) == kAfsFtlMode;
}

// Step 3 of the mount: mount the FTL, formatting it when asked or allowed.
uint32_t mount_or_format_ftl(AfsContext *c, uint32_t flags, uint32_t maxFiles, bool *formatted) {
    if ((flags & kAfsMountFtl) == 0) {
        return c->ftl != nullptr ? 0 : kAfsIoError;
    }
    const uint32_t status = mount_ftl(c, (flags & kAfsInitDriver) != 0 ? kFtlMountInitDriver : 0);
    if (status == 0 && (flags & kAfsForceFormat) == 0) {
        return 0;
    }
    if ((flags & (kAfsAllowFormat | kAfsEraseFormat)) == 0) {
        return kAfsIoError;
    }
    if ((flags & (kAfsNewHeader | kAfsForceFormat)) != 0) {
        apply_new_volume_geometry(c, maxFiles);
    }
    *formatted = true;
    return format_ftl(c, (flags & kAfsEraseFormat) != 0);
}

}  // namespace

namespace quor::afs {

uint32_t dynamic_area_size(uint32_t fileCount, uint32_t chunkCount) {
    return ((fileCount + chunkCount + 39) * 2 - 1) & ~uint32_t{63};
}

VolumeGeometry new_volume_geometry(uint32_t flashSize, uint32_t fileCount, uint32_t dataVas) {
    const uint32_t units = std::min<uint32_t>(flashSize / kFtlUnitSize, 255);
    uint32_t reserved = dataVas / kFtlReservedBytesPerUnit;
    if (units < 2) {
        reserved = 0;
    } else if (reserved > units - 2) {
        reserved = units - 2;
    }
    // Fewer reserved units until the dynamic area fits the dynamic units
    // (all units but the reserved ones and the spare) with slack to spare.
    while (reserved > 0) {
        const uint32_t dynamicPages =
            dynamic_area_size(fileCount, reserved * kFtlReservedSlots) / kFtlPageSize;
        if (dynamicPages + kDynamicSlack <= (units - 1 - reserved) * kFtlDynamicSlots) {
            break;
        }
        --reserved;
    }
    VolumeGeometry g{};
    g.fileCount = fileCount;
    g.chunkCount = reserved * kFtlReservedSlots;
    g.dynamicAreaSize = dynamic_area_size(fileCount, g.chunkCount);
    g.volumeSize = g.dynamicAreaSize + reserved * kFtlReservedBytesPerUnit;
    return g;
}

bool geometry_from_header(uint32_t flashSize, uint32_t fileCount, uint32_t volumeSize,
                          VolumeGeometry *out) {
    const uint32_t units = flashSize / kFtlUnitSize;
    if (fileCount < kMinFiles || fileCount > kMaxFiles || units < 2 || units > 255 ||
        volumeSize < fat_offset(fileCount)) {
        return false;
    }
    const uint32_t chunks = (volumeSize - fat_offset(fileCount)) / (kAfsChunkSize + 2);
    if (chunks > 0xFFFF || fileCount + chunks > kAfsEntryZombie) {
        return false;
    }
    const uint32_t dynamic = dynamic_area_size(fileCount, chunks);
    if (volumeSize < dynamic) {
        return false;
    }
    const uint32_t reserved = (volumeSize - dynamic) / kFtlReservedBytesPerUnit;
    // At least one dynamic unit and the spare, and a home for every chunk.
    if (reserved + 2 > units || chunks > reserved * kFtlReservedSlots) {
        return false;
    }
    *out = VolumeGeometry{fileCount, chunks, dynamic, volumeSize};
    return true;
}

}  // namespace quor::afs

// ---- exported entries -------------------------------------------------------------

namespace {

// afs_init after the argument checks.
uint32_t mount_volume(AfsContext *context, void *flashBase, uint32_t pageSize, uint32_t cacheLines,
                      uint32_t maxFiles, uint32_t flashOffset, uint32_t flashSize, uint32_t flags,
                      uint32_t headerParam1, uint32_t headerParam2) {
    if ((flags & kAfsZeroContext) != 0) {
        std::memset(context, 0, sizeof(*context));
    } else {
        drop_previous_mount(context);
    }
    context->cachePageSize = static_cast<uint16_t>(pageSize);
    context->ftlAllocation = 0;
    context->noAllocationBitmap = (flags & kAfsNoBitmap) != 0 ? 1 : 0;
    afs_physical_attach_handlers(context);
    context->flashImage = flashBase;
    context->physicalKind = 0;
    context->flashOffset = flashOffset;
    context->flashSize = flashSize;
    context->lastFatPageOffset = 0;
    context->fileCount = 0;
    // Provisional geometry: the whole partition is dynamic until the header is read.
    context->dynamicAreaSize = flashSize;
    context->volumeSize = flashSize;
    context->chunkCount = static_cast<uint16_t>(std::min<uint32_t>(flashSize / 64, 0xFFFF));

    bool formatted = false;
    uint32_t status = mount_or_format_ftl(context, flags, maxFiles, &formatted);
    if (status != 0) {
        return status;
    }
    status = cache_init(context, pageSize, static_cast<uint16_t>(cacheLines));
    uint8_t *page = nullptr;
    if (status == 0) {
        status = cache_ptr(context, 0, &page);
    }
    if (status != 0) {
        return status;
    }
    context->nextChunk = 0;
    uint8_t header[kAfsHeaderSize];
    std::memcpy(header, page, kAfsHeaderSize);
    if (quor::load_le32(header) == kAfsVolumeMagic) {
        status = open_volume(context, header);
    } else {
        status =
            create_volume(context, flags, maxFiles, formatted, headerParam1, headerParam2, header);
    }
    if (status != 0) {
        return status;
    }
    context->fileCount = quor::load_le16(header + 12);
    context->volumeAttributes = quor::load_le32(header + 4);
    status = build_allocation_state(context, flags);
    if (status != 0) {
        return status;
    }
    if ((flags & kAfsPreloadCache) != 0) {
        preload_cache(context, cacheLines);
    }
    return 0;
}

}  // namespace

extern "C" uint32_t afs_init(AfsContext *context, void *flashBase, uint32_t pageSize,
                             uint32_t cacheLines, uint32_t maxFiles, uint32_t flashOffset,
                             uint32_t flashSize, uint32_t flags, uint32_t headerParam1,
                             uint32_t headerParam2) {
    if (context == nullptr ||
        !init_args_valid(pageSize, cacheLines, maxFiles, flashOffset, flashSize, flags)) {
        return kAfsInvalid;
    }
    const uint32_t status = mount_volume(context, flashBase, pageSize, cacheLines, maxFiles,
                                         flashOffset, flashSize, flags, headerParam1, headerParam2);
    if (status != 0) {
        // A volume that did not mount is left without file slots, so that
        // every file operation on it answers 22 instead of working on a
        // half-built state.
        context->fileCount = 0;
    }
    return status;
}

extern "C" uint32_t afs_setcache(AfsContext *context, uint32_t pageSize, uint32_t lineCount) {
    if (context == nullptr || pageSize < kAfsChunkSize || pageSize % kAfsChunkSize != 0 ||
        pageSize > kMaxPageSize || lineCount < kMinLines || lineCount > kMaxLines) {
        return kAfsInvalid;
    }
    const uint32_t status = cache_init(context, pageSize, static_cast<uint16_t>(lineCount));
    if (status == 0) {
        context->cachePageSize = static_cast<uint16_t>(pageSize);
    }
    return public_status(status);
}

extern "C" void afs_free_file_size_table(AfsContext *context) {
    if (context != nullptr) {
        std::free(context->fileSizeTable);
        context->fileSizeTable = nullptr;
    }
}

extern "C" void afs_free_context(AfsContext *context) {
    if (context == nullptr) {
        return;
    }
    std::free(context->allocationBitmap);
    context->allocationBitmap = nullptr;
    afs_free_file_size_table(context);
    quor::afs::cache_release(context);
    if (context->physicalKind == 0) {
        afs_physical_ftl_release(context);
    }
}
