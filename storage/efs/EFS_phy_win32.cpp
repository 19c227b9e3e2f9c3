#include "efs/EFS_phy_win32.h"

#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "common/crc.h"
#include "common/flash_fault.h"
#include "efs/EfsBlocks.h"
#include "efs/efs_tools_utils.h"

namespace quor::efs {
namespace {

// The image EFS allocated itself; an image attached by the caller is never freed here.
uint8_t *s_owned_image = nullptr;

bool access_fits(uint32_t address, uint32_t length) {
    return efs_image != nullptr && length != 0 && address < efs_size &&
           range_fits(address, length, efs_size);
}

// True while the seam has no read fault armed and keeps no calls: a read is
// then a plain copy of the image and may be fused with the test of its bytes.
bool reads_plain() {
    return flash_fault::detail::g_plainReads;
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

uint32_t physical_read_equal(uint32_t address, uint32_t length, uint8_t *out,
                             const uint8_t *expected, bool *equal) {
    if (out == nullptr || !access_fits(address, length) || !reads_plain()) {
        const uint32_t st = EFS_physical_read(address, length, out);
        if (st == kPhyOk) {
            *equal = std::memcmp(out, expected, length) == 0;
        }
        return st;
    }
    *equal = detail::copy_equal(out, efs_image + address, expected, length);
    return kPhyOk;
}

uint32_t physical_read_all(uint32_t address, uint32_t length, uint8_t *out, uint8_t value,
                           bool *all) {
    if (out == nullptr || !access_fits(address, length) || !reads_plain()) {
        const uint32_t st = EFS_physical_read(address, length, out);
        if (st == kPhyOk) {
            *all = detail::all_bytes(out, length, value);
        }
        return st;
    }
    *all = detail::copy_all(out, efs_image + address, length, value);
    return kPhyOk;
}

uint32_t physical_read_crc16(uint32_t address, uint32_t length, uint8_t *out, uint32_t crc,
                             uint16_t *result) {
    if (out == nullptr || !access_fits(address, length) || !reads_plain()) {
        const uint32_t st = EFS_physical_read(address, length, out);
        if (st == kPhyOk) {
            *result = crc::crc16(crc, out, length);
        }
        return st;
    }
    *result = crc::crc16_copy(crc, out, efs_image + address, length);
    return kPhyOk;
}

uint32_t physical_read_crc32(uint32_t address, uint32_t length, uint8_t *out, uint32_t from,
                             uint32_t count, uint32_t *result) {
    if (out == nullptr || !access_fits(address, length) || !reads_plain()) {
        const uint32_t st = EFS_physical_read(address, length, out);
        if (st == kPhyOk) {
            *result = crc::crc32(0, out + from, count);
        }
        return st;
    }
    const uint8_t *flash = efs_image + address;
    std::memcpy(out, flash, from);
    *result = crc::crc32_copy(0, out + from, flash + from, count);
    std::memcpy(out + from + count, flash + from + count, length - from - count);
    return kPhyOk;
}

}  // namespace quor::efs

using namespace quor::efs;

uint32_t EFS_physical_read(uint32_t address, uint32_t length, void *out) {
    if (out == nullptr || !access_fits(address, length)) {
        return kPhyInvalid;
    }
    const bool delivered =
        quor::flash_fault::read(static_cast<uint8_t *>(out), efs_image + address, length);
    return delivered ? kPhyOk : kPhyIoError;
}

uint32_t EFS_physical_write(uint32_t address, uint32_t length, const void *data) {
    if (data == nullptr || !access_fits(address, length)) {
        return kPhyInvalid;
    }
    const bool done =
        quor::flash_fault::program(efs_image + address, static_cast<const uint8_t *>(data), length);
    return done ? kPhyOk : kPhyIoError;
}

uint32_t EFS_physical_erase(uint32_t address, uint32_t length) {
    if (!access_fits(address, length)) {
        return kPhyInvalid;
    }
    // EFS only erases whole blocks; anything else is a programming error and is refused.
    if (address % kEfsBlockSize != 0 || length % kEfsBlockSize != 0) {
        return kPhyInvalid;
    }
    const bool done = quor::flash_fault::erase(efs_image + address, length, kErasedByte);
    return done ? kPhyOk : kPhyIoError;
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
