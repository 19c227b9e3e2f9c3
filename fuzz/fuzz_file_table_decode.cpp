// Arbitrary bytes as a file table buffer read back by the image builder
// (imagekit::decodeFileTableBuffer, what `quorstore dump` describes a bundle
// with): it must never read outside the buffer, a refusal must say why, and
// what it accepts must be what the buffer holds: every SKU's entries are the
// entries the library selects for that SKU (load_file_table), name, number,
// attributes, index, storage and maximum size alike.
//
// Input: the buffer itself, in a heap block of its exact size; a buffer
// shorter than the library's minimum of 1024 bytes is also tried padded
// with zeros to it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fcs/FCS.h"
#include "imagekit/imagekit.h"

namespace {

constexpr size_t kEntrySize = 68;
constexpr size_t kEfsRecordSize = 60;
constexpr size_t kLibraryMinimum = 1024;

void check(bool condition, const char *what, uint32_t sku = 0) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s (SKU %u)\n", what, sku);
        std::abort();
    }
}

// The decoded entries of `sku` against the table the library selects for it.
void compare_with_library(const imagekit::Bytes &buffer, const imagekit::SkuSpec &sku) {
    g_table_num_files = 0;
    g_table_buf = nullptr;
    g_dfs_sku = 0xFFFFFFFFu;
    // The status also covers the EFS layout, which the decoder reads its own
    // way: only the table selection is compared.
    load_file_table(buffer.data(), sku.skuId, static_cast<uint32_t>(buffer.size()));
    if (g_dfs_sku != sku.skuId || g_table_buf == nullptr) {
        return;  // the library refused the table
    }
    check(static_cast<size_t>(g_table_num_files) == sku.files.size(),
          "the decoder and the library see as many entries", sku.skuId);
    const auto *first = reinterpret_cast<const uint8_t *>(g_table_buf);
    for (size_t i = 0; i < sku.files.size(); ++i) {
        const uint8_t *e = first + i * kEntrySize;
        const imagekit::FileSpec &f = sku.files[i];
        const auto *name = reinterpret_cast<const char *>(e);
        check(f.name == std::string(name, strnlen(name, 48)), "entry names agree", sku.skuId);
        check(f.fileno == quor::load_le32(e + 48), "entry numbers agree", sku.skuId);
        check(f.attributes == quor::load_le16(e + 52), "entry attributes agree", sku.skuId);
        check(f.fileIndex == quor::load_le16(e + 58), "entry indexes agree", sku.skuId);
        check(f.storage == e[63], "entry storage agrees", sku.skuId);
        check(f.maxSize == quor::load_le32(e + 64), "entry maximum sizes agree", sku.skuId);
    }
}

void try_buffer(const uint8_t *bytes, size_t length) {
    // A heap copy of exact size (a vector), so that any overread is caught.
    const imagekit::Bytes buffer(bytes, bytes + length);
    imagekit::DecodedFileTable table;
    std::string error;
    if (!imagekit::decodeFileTableBuffer(buffer, table, &error)) {
        check(!error.empty(), "a refusal says why");
        return;
    }
    check(!table.skus.empty() && table.skus.size() <= 10, "1 to 10 SKUs");
    std::set<uint32_t> seen;
    for (const imagekit::SkuSpec &sku : table.skus) {
        check(sku.files.size() * kEntrySize <= buffer.size(), "entries fit the buffer", sku.skuId);
        // The library takes the first record of an SKU id; so does the comparison.
        if (seen.insert(sku.skuId).second && buffer.size() >= kLibraryMinimum) {
            compare_with_library(buffer, sku);
        }
    }
    for (const imagekit::DecodedEfsLayout &layout : table.efsLayouts) {
        check(layout.placements.size() * kEfsRecordSize <= buffer.size(),
              "EFS records fit the buffer", layout.skuId);
    }
    g_table_num_files = 0;  // the buffer goes away
    g_table_buf = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    try_buffer(data, size);
    if (size < kLibraryMinimum) {
        std::vector<uint8_t> padded(data, data + size);
        padded.resize(kLibraryMinimum, 0);
        try_buffer(padded.data(), padded.size());
    }
    return 0;
}
