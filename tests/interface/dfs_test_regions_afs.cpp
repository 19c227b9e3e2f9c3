// AFS helpers of the DFS tests.
#include <algorithm>
#include <cstdlib>

#include "afs/Afs.h"
#include "dfs_test_regions.h"
#include "interface/dfs.h"

namespace dfs_test {

namespace {
// Mount flags plus: write a volume header when none is found, and format the
// FTL with every unit erased when it does not mount.
constexpr uint32_t kAfsFormatFlags = kDfsMountFlags | kAfsNewHeader | kAfsEraseFormat;
}  // namespace

uint32_t format_afs(std::vector<uint8_t> &region) {
    std::fill(region.begin(), region.end(), 0xFF);
    auto *context = static_cast<AfsContext *>(std::calloc(1, sizeof(AfsContext)));
    context->workBuffer = static_cast<uint8_t *>(std::malloc(kDfsWorkBufferSize));
    const uint32_t status =
        afs_init(context, region.data(), kDfsPageSize, kDfsCacheLines, kDfsMaxFiles, 0,
                 static_cast<uint32_t>(region.size()), kAfsFormatFlags, 0, 0);
    afs_free_context(context);
    std::free(context->workBuffer);
    std::free(context);
    return status;
}

std::vector<uint8_t> &afs_region() {
    static std::vector<uint8_t> region(kAfsRegionSize);
    return region;
}

}  // namespace dfs_test
