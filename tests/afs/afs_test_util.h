// Shared helpers for the AFS tests: an in-memory partition with a context
// wired to the flash emulation, and page patterns.
//
// Stable interface: only additive changes.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "afs/AfsContext.h"
#include "afs/AfsFtl.h"
#include "afs/AfsPhysical.h"
#include "afs/AfsPhysicalWin32Spi.h"

namespace afs_test {

// 64 bytes derived from `tag` (tag 0 gives all zeros, the content of a page
// that was never written).
inline void fill_page(uint8_t *out, uint32_t tag) {
    for (uint32_t i = 0; i < kFtlPageSize; ++i) {
        out[i] = tag == 0 ? 0 : static_cast<uint8_t>((tag * 2654435761u + i * 40503u) >> 11);
    }
}

inline std::vector<uint8_t> page_of(uint32_t tag) {
    std::vector<uint8_t> page(kFtlPageSize);
    fill_page(page.data(), tag);
    return page;
}

// Geometry of a test partition (the whole image is the partition).
struct Geometry {
    uint32_t units = 8;            // erase units of 8192 bytes
    uint32_t reservedUnits = 2;    // units holding data chunks
    uint32_t dynamicBytes = 4096;  // VA bytes of the dynamic area

    static Geometry of(uint32_t units, uint32_t reserved, uint32_t dynamicBytes = 4096) {
        return Geometry{units, reserved, dynamicBytes};
    }
};

// An erased flash image plus a context describing one FTL volume on it.
// The context's FTL state is released on destruction.
class FtlRegion {
  public:
    explicit FtlRegion(Geometry g = Geometry())
        : geometry_(g), image_(static_cast<size_t>(g.units) * kFtlUnitSize, 0xFF) {
        std::memset(&ctx_, 0, sizeof(ctx_));
        ctx_.flashOffset = 0;
        ctx_.flashSize = g.units * kFtlUnitSize;
        ctx_.dynamicAreaSize = g.dynamicBytes;
        ctx_.volumeSize = g.dynamicBytes + g.reservedUnits * kFtlReservedBytesPerUnit;
        ctx_.chunkCount = static_cast<uint16_t>(g.reservedUnits * kFtlReservedSlots);
        ctx_.fileCount = 0;
        bitmap_.assign((ctx_.chunkCount + 31u) / 32u + 1u, 0);
        ctx_.allocationBitmap = bitmap_.data();
        ctx_.flashImage = image_.data();
        afs_physical_attach_handlers(&ctx_);
        SpiFlashDrvInitialize(image_.data());
    }
    ~FtlRegion() {
        afs_physical_ftl_release(&ctx_);
        if (gpBuffer == image_.data()) {
            SpiFlashDrvInitialize(nullptr);
        }
    }
    FtlRegion(const FtlRegion &) = delete;
    FtlRegion &operator=(const FtlRegion &) = delete;

    AfsContext *ctx() { return &ctx_; }
    FtlControl *ftl() { return static_cast<FtlControl *>(ctx_.ftl); }
    std::vector<uint8_t> &image() { return image_; }
    std::vector<uint32_t> &bitmap() { return bitmap_; }
    const Geometry &geometry() const { return geometry_; }
    uint8_t *unit(uint32_t u) { return image_.data() + static_cast<size_t>(u) * kFtlUnitSize; }

    // Mounts (creating a new FtlControl, initialising the driver) and, on
    // success, rebuilds the allocation state from the bitmap.
    uint32_t mount() {
        const uint32_t status =
            afs_physical_ftl_init(&ctx_, ctx_.flashSize, kFtlMountCreate | kFtlMountInitDriver);
        if (status != kFtlOk) {
            return status;
        }
        return afs_physical_ftl_set_allocation_map(&ctx_);
    }

    // Mounts only (no allocation map), keeping the mount status.
    uint32_t mount_only() {
        return afs_physical_ftl_init(&ctx_, ctx_.flashSize, kFtlMountCreate | kFtlMountInitDriver);
    }

    // Format (erasing first) after a failed mount attempt, then mount.
    uint32_t format_and_mount() {
        afs_physical_ftl_init(&ctx_, ctx_.flashSize, kFtlMountCreate | kFtlMountInitDriver);
        const uint32_t status = afs_physical_ftl_format(&ctx_, 1);
        if (status != kFtlOk) {
            return status;
        }
        afs_physical_ftl_release(&ctx_);
        return mount();
    }

    uint32_t dynamic_va(uint32_t page) const { return page * kFtlPageSize; }
    uint32_t chunk_va(uint32_t chunk) const {
        return geometry_.dynamicBytes + chunk * kFtlPageSize;
    }

    // One page read back at `va` (a failed read is a test failure).
    std::vector<uint8_t> read(uint32_t va) {
        std::vector<uint8_t> got(kFtlPageSize);
        EXPECT_EQ(afs_physical_ftl_read_page(&ctx_, va, kFtlPageSize, got.data(), 0), 0u)
            << "va " << va;
        return got;
    }
    // Writes the page of `tag` at `va`; the FTL status.
    uint32_t write(uint32_t va, uint32_t tag) {
        const std::vector<uint8_t> data = page_of(tag);
        return afs_physical_ftl_write_page(&ctx_, va, kFtlPageSize, data.data(), 0);
    }
    // Allocates (asking again when told to) and writes one chunk; its index.
    uint32_t allocate_and_write(uint32_t tag) {
        uint16_t id = 0;
        uint32_t status = afs_physical_ftl_allocate_page(&ctx_, &id);
        if (status == kFtlOutOfSlots) {
            status = afs_physical_ftl_allocate_page(&ctx_, &id);
        }
        EXPECT_EQ(status, 0u);
        const uint32_t x = id - ctx_.fileCount;
        EXPECT_EQ(write(chunk_va(x), tag), 0u) << "chunk " << x;
        return x;
    }

  private:
    Geometry geometry_;
    std::vector<uint8_t> image_;
    std::vector<uint32_t> bitmap_;
    AfsContext ctx_;
};

}  // namespace afs_test
