#include "efs/EFS_phy_win32.h"

#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "common/flash_fault.h"
#include "efs/efs_tools_utils.h"

namespace quor::efs {
namespace {

// The image EFS allocated itself; an image attached by the caller is never freed here.
uint8_t *s_owned_image = nullptr;

bool access_fits(uint32_t address, uint32_t length) {
    return efs_image != nullptr && length != 0 && address < efs_size &&
           range_fits(address, length, efs_size);
}

// Applies the fault seam's decision for a program or erase of `length` bytes:
// returns the number of bytes to apply, or sets *status and returns 0.
size_t bytes_to_apply(uint32_t length, uint32_t *status) {
    const flash_fault::Decision d = flash_fault::before_operation(length);
    *status = kPhyOk;
    switch (d.action) {
        case flash_fault::Action::kProceed:
            return length;
        case flash_fault::Action::kPartial:
            return d.applied < length ? d.applied : length;
        case flash_fault::Action::kFail:
            *status = kPhyIoError;
            return 0;
        case flash_fault::Action::kDrop:
            return 0;
    }
    return 0;
}

}  // namespace

void release_owned_image() {
    if (s_owned_image == nullptr) {
        return;
    }
    if (efs_image == s_owned_image) {
        efs_image = nullptr;
    }
    std::free(s_owned_image);
    s_owned_image = nullptr;
}

}  // namespace quor::efs

using namespace quor::efs;

uint32_t EFS_physical_read(uint32_t address, uint32_t length, void *out) {
    if (out == nullptr || !access_fits(address, length)) {
        return kPhyInvalid;
    }
    std::memcpy(out, efs_image + address, length);
    if (quor::flash_fault::after_read(out, length)) {
        return kPhyIoError;
    }
    return kPhyOk;
}

uint32_t EFS_physical_write(uint32_t address, uint32_t length, const void *data) {
    if (data == nullptr || !access_fits(address, length)) {
        return kPhyInvalid;
    }
    uint32_t status = kPhyOk;
    const size_t n = bytes_to_apply(length, &status);
    if (n != 0) {
        std::memcpy(efs_image + address, data, n);
    }
    return status;
}

uint32_t EFS_physical_erase(uint32_t address, uint32_t length) {
    if (!access_fits(address, length)) {
        return kPhyInvalid;
    }
    // EFS only erases whole blocks; anything else is a programming error and is refused.
    if (address % kEfsBlockSize != 0 || length % kEfsBlockSize != 0) {
        return kPhyInvalid;
    }
    uint32_t status = kPhyOk;
    const size_t n = bytes_to_apply(length, &status);
    if (n != 0) {
        std::memset(efs_image + address, kErasedByte, n);
    }
    return status;
}

uint32_t EFS_physical_init(bool allocate) {
    const uint64_t blocks =
        uint64_t{g_efs_valid_block_num} + g_efs_bm_num + g_efs_non_valid_block_num;
    const uint64_t size = blocks * kEfsBlockSize;
    // A region larger than 32-bit addressing can describe is refused rather than truncated.
    if (size > 0xFFFFFFFFull) {
        efs_size = 0;
        return kPhyInvalid;
    }
    efs_size = static_cast<uint32_t>(size);
    if (!allocate) {
        return efs_image != nullptr ? kPhyOk : kPhyNoImage;
    }
    // Only an image EFS allocated itself is freed; a caller's attached buffer is just detached.
    release_owned_image();
    efs_image = nullptr;
    auto *image = static_cast<uint8_t *>(std::malloc(size == 0 ? 1 : size));
    if (image == nullptr) {
        return kPhyNoMemory;
    }
    if (size != 0) {
        std::memset(image, kErasedByte, size);
    }
    s_owned_image = image;
    efs_image = image;
    return kPhyOk;
}
