// A formatted AFS volume on an in-memory flash region, for the file-layer
// tests: format, remount, and small read/write helpers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsCache.h"
#include "afs/AfsContext.h"
#include "common/bytes.h"

namespace afs_test {

inline constexpr uint32_t kFormatFlags = kAfsDfsMountFlags | kAfsNewHeader | kAfsAllowFormat;

class Volume {
  public:
    Volume(uint32_t flashSize, uint32_t files) : flash_(flashSize, 0xFF), files_(files) {}
    ~Volume() { afs_free_context(&ctx_); }
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    uint32_t format() { return init(kFormatFlags, 64); }
    uint32_t mount(uint32_t flags = kAfsDfsMountFlags, uint32_t pageSize = 64) {
        return init(flags, pageSize);
    }

    uint32_t write(int32_t index, uint32_t offset, const std::vector<uint8_t> &data,
                   uint32_t flags = 0) {
        return afs_writefile(&ctx_, index, offset, static_cast<uint32_t>(data.size()),
                             data.empty() ? nullptr : data.data(), flags);
    }

    // Whole file, or the status when it cannot be read.
    uint32_t read_all(int32_t index, std::vector<uint8_t> *out) {
        uint32_t size = 0;
        uint32_t status = afs_getfilesize(&ctx_, index, &size);
        if (status != 0) {
            return status;
        }
        out->assign(size, 0xEE);
        int32_t length = static_cast<int32_t>(size);
        status = afs_readfile(&ctx_, index, 0, &length, out->data());
        if (status == 0 && static_cast<uint32_t>(length) != size) {
            return 1000;  // delivered count disagrees with the size
        }
        return status;
    }

    // "" when file `index` holds exactly `want`, else what differs (the read
    // status, the size, or the first differing offset).
    std::string differs(int32_t index, const std::vector<uint8_t> &want) {
        std::vector<uint8_t> got;
        const std::string file = "file " + std::to_string(index);
        const uint32_t status = read_all(index, &got);
        if (status != 0) {
            return file + " read status " + std::to_string(status);
        }
        if (got.size() != want.size()) {
            return file + " size expected " + std::to_string(want.size()) + " got " +
                   std::to_string(got.size());
        }
        const auto at = std::mismatch(want.begin(), want.end(), got.begin());
        if (at.first == want.end()) {
            return "";
        }
        return file + " offset " + std::to_string(at.first - want.begin()) + " expected " +
               std::to_string(*at.first) + " got " + std::to_string(*at.second);
    }

    // FAT entry k read through the cache.
    uint16_t fat(uint32_t k) {
        const uint32_t va = kAfsHeaderSize + 2 * k;
        uint8_t *line = nullptr;
        if (cache_ptr(&ctx_, static_cast<uint16_t>(va / ctx_.cachePageSize), &line) != 0) {
            return 0xDEAD;
        }
        return quor::load_le16(line + va % ctx_.cachePageSize);
    }
    void set_fat(uint32_t k, uint16_t value) {
        const uint32_t va = kAfsHeaderSize + 2 * k;
        uint8_t *line = nullptr;
        cache_ptr(&ctx_, static_cast<uint16_t>(va / ctx_.cachePageSize), &line);
        quor::store_le16(line + va % ctx_.cachePageSize, value);
        cache_line_written(&ctx_, line + va % ctx_.cachePageSize);
        cache_flush(&ctx_);
    }
    bool chunk_allocated(uint32_t cid) const {
        const uint32_t j = cid - ctx_.fileCount;
        return (ctx_.allocationBitmap[j / 32] >> (j % 32)) & 1u;
    }

    AfsContext &ctx() { return ctx_; }
    std::vector<uint8_t> &flash() { return flash_; }

  private:
    uint32_t init(uint32_t flags, uint32_t pageSize) {
        afs_free_context(&ctx_);
        ctx_ = AfsContext{};
        ctx_.workBuffer = work_.data();
        return afs_init(&ctx_, flash_.data(), pageSize, 10, files_, 0,
                        static_cast<uint32_t>(flash_.size()), flags, 0, 0);
    }

    std::vector<uint8_t> flash_;
    std::vector<uint8_t> work_ = std::vector<uint8_t>(kAfsWorkBufferSize);
    uint32_t files_;
    AfsContext ctx_{};
};

// Deterministic bytes for file `file`, version `version`.
inline std::vector<uint8_t> pattern(uint32_t size, uint32_t file, uint32_t version) {
    std::vector<uint8_t> out(size);
    uint32_t x = file * 2654435761u + version * 40503u + 1;
    for (auto &b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

}  // namespace afs_test
