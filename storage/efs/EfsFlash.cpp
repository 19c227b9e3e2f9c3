// Verified writes and erase of EFS data blocks.
#include <cstring>

#include "efs/EfsBlocks.h"

using namespace quor;
using namespace quor::efs;
using namespace quor::efs::detail;

// ---------------------------------------------------------------------------
// Verified writes and block erase
// ---------------------------------------------------------------------------
uint32_t EFS_write_with_read_check(uint32_t address, uint32_t length, const void *data,
                                   bool requireErased) {
    if (data == nullptr || length == 0 || length > kEfsBlockSize) {
        return EFS_ERR_INVALID;
    }
    uint8_t *check = efs_ctx.check_buf;
    bool ok = false;
    uint32_t st = EFS_OK;
    if (requireErased) {
        st = retry_read(
            [&](bool *erased) {
                return physical_read_all(address, length, check, kErasedByte, erased);
            },
            &ok);
        if (st != EFS_OK) {
            return st;
        }
        // A target that never reads erased is refused without writing: the
        // state is inconsistent and programming over data would corrupt it.
        if (!ok) {
            return EFS_ERR_CHECK;
        }
    }
    st = EFS_physical_write(address, length, data);
    if (st != EFS_OK) {
        return st;
    }
    const auto *expected = static_cast<const uint8_t *>(data);
    st = retry_read(
        [&](bool *equal) { return physical_read_equal(address, length, check, expected, equal); },
        &ok);
    if (st != EFS_OK) {
        return st;
    }
    return ok ? EFS_OK : EFS_ERR_CHECK;
}

namespace {

uint32_t write_footer(uint32_t physicalBlock, uint32_t areaCrc) {
    uint8_t footer[kFooterSize];
    store_le32(footer, areaCrc);
    // The footer must land on erased bytes like the data area: never program over a footer.
    return EFS_write_with_read_check(data_address(physicalBlock) + kFooterOffset, kFooterSize,
                                     footer, true);
}

uint32_t area_crc(const void *dataArea) {
    return EFS_crc32(0, static_cast<const uint8_t *>(dataArea), kDataAreaSize);
}

}  // namespace

uint32_t EFS_write_data_footer(uint32_t physicalBlock, const void *dataArea) {
    if (dataArea == nullptr || physicalBlock >= data_blocks()) {
        return EFS_ERR_INVALID;
    }
    return write_footer(physicalBlock, area_crc(dataArea));
}

uint32_t EFS_write_data_block(uint32_t physicalBlock, const void *dataArea) {
    if (dataArea == nullptr || physicalBlock >= data_blocks()) {
        return EFS_ERR_INVALID;
    }
    return write_data_block(physicalBlock, dataArea, area_crc(dataArea));
}

uint32_t quor::efs::detail::write_data_block(uint32_t physicalBlock, const void *dataArea,
                                             uint32_t areaCrc) {
    if (dataArea == nullptr || physicalBlock >= data_blocks()) {
        return EFS_ERR_INVALID;
    }
    const uint32_t st = EFS_write_with_read_check(data_address(physicalBlock) + kDataAreaOffset,
                                                  kDataAreaSize, dataArea, true);
    if (st != EFS_OK) {
        return st;
    }
    return write_footer(physicalBlock, areaCrc);
}

namespace {

uint32_t erase_data_block_steps(uint32_t p, uint32_t eraseCount) {
    if (p >= data_blocks()) {
        return EFS_ERR_INVALID;
    }
    const uint32_t base = data_address(p);
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    uint32_t st = EFS_physical_write(base + kHdrCrc, 4, zeros);
    if (st != EFS_OK) {
        return st;
    }
    bool ok = false;
    st = read_until(
        base + kHdrCrc, 4, efs_ctx.check_buf, [](const uint8_t *b) { return all_bytes(b, 4, 0); },
        &ok);
    if (st != EFS_OK) {
        return st;
    }
    if (!ok) {
        return EFS_ERR_CHECK;
    }
    st = EFS_physical_erase(base, kEfsBlockSize);
    if (st != EFS_OK) {
        return st;
    }
    uint8_t header[kHeaderSize];
    build_data_header(header, eraseCount + 1);
    return EFS_write_with_read_check(base, kHeaderSize, header, true);
}

}  // namespace

uint32_t EFS_erase_data_block(uint32_t physicalBlock, uint32_t eraseCount) {
    const uint32_t st = erase_data_block_steps(physicalBlock, eraseCount);
    if (st != EFS_OK) {
        efs_ctx.scanned = 0;
        return st;
    }
    if (efs_ctx.erase_counts != nullptr) {
        efs_ctx.erase_counts[physicalBlock] = eraseCount + 1;
    }
    return EFS_OK;
}
