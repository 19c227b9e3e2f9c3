// Read-back helpers of the storage interface tests, built against the file
// systems' own headers.
#include <cstdlib>

#include "afs/Afs.h"
#include "afs/AfsContext.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "efs/EFS.h"
#include "kamfs_fixture.h"

namespace kamfs_test {

namespace {
constexpr uint32_t kDfsMountFlags = 0x20025;
}

bool readAfsFiles(const Bytes &region, const std::vector<uint16_t> &indexes, uint8_t *restore,
                  std::map<uint16_t, Bytes> &files) {
    files.clear();
    Bytes copy = region;
    auto *ctx = static_cast<AfsContext *>(std::calloc(1, sizeof(AfsContext)));
    ctx->workBuffer = static_cast<uint8_t *>(std::malloc(4096));
    const uint32_t mounted = afs_init(ctx, copy.data(), 64, 10, 1024, 0,
                                      static_cast<uint32_t>(copy.size()), kDfsMountFlags, 0, 0);
    if (mounted == 0) {
        for (uint16_t index : indexes) {
            uint32_t size = 0;
            if (afs_getfilesize(ctx, index, &size) != 0) {
                continue;
            }
            Bytes content(size);
            int32_t length = static_cast<int32_t>(size);
            if (size != 0 && afs_readfile(ctx, index, 0, &length, content.data()) != 0) {
                continue;
            }
            content.resize(static_cast<size_t>(length));
            files[index] = content;
        }
    }
    afs_free_context(ctx);
    std::free(ctx->workBuffer);
    std::free(ctx);
    // The driver must never keep pointing at the released copy.
    SpiFlashDrvInitialize(restore);
    return mounted == 0;
}

bool readEfsFiles(const Bytes &region, const std::vector<uint16_t> &indexes, uint8_t *reattach,
                  std::map<uint16_t, Bytes> &files) {
    files.clear();
    Bytes copy = region;
    const uint32_t mounted = EFS_init_tools(copy.data());
    if (mounted == 0) {
        for (uint16_t index : indexes) {
            uint32_t size = 0;
            if (EFS_get_file_size(index, &size) != 0) {
                continue;
            }
            Bytes content(size);
            uint32_t count = size;
            if (size != 0 && EFS_read(index, 0, &count, content.data()) != 0) {
                continue;
            }
            content.resize(count);
            files[index] = content;
        }
    }
    if (reattach != nullptr) {
        EXPECT_EQ(EFS_init_tools(reattach), 0u) << "EFS does not mount again on the open region";
    } else {
        efs_image = nullptr;  // never leave EFS on the released copy
    }
    return mounted == 0;
}

}  // namespace kamfs_test
