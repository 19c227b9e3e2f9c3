// Reading a file table buffer back into SKU descriptions and EFS layouts: the
// inverse of encodeFileTableBuffer, for tools that describe a built image.
// Every offset read from the buffer is checked against its size.
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "imagekit/imagekit.h"

namespace imagekit {
namespace {

constexpr uint32_t kFileTableMagic = 0x4C425446u;  // "FTBL"
constexpr uint32_t kEfsLayoutMagic = 0x54534645u;  // "EFST"
constexpr size_t kOuterHeaderSize = 16;
constexpr size_t kSkuCountOffset = 12;
constexpr size_t kSkuRecordSize = 16;
constexpr uint32_t kMaxSkus = 10;
constexpr size_t kEntrySize = 68;
constexpr size_t kEntryNameSize = 48;
constexpr size_t kLayoutHeaderSize = 16;
constexpr size_t kLayoutCountOffset = 12;
constexpr size_t kLayoutEntrySize = 40;
constexpr size_t kFileRecordSize = 60;
constexpr size_t kRecordName = 2;
constexpr size_t kRecordBlock = 50;
constexpr size_t kRecordOffset = 52;
constexpr size_t kRecordMaxSize = 54;

bool refuse(std::string *error, const std::string &why) {
    if (error != nullptr) {
        *error = why;
    }
    return false;
}

std::string fixed_string(const uint8_t *p, size_t size) {
    const auto *c = reinterpret_cast<const char *>(p);
    return std::string(c, strnlen(c, size));
}

FileSpec decode_entry(const uint8_t *e) {
    FileSpec f;
    f.name = fixed_string(e, kEntryNameSize);
    f.fileno = quor::load_le32(e + 48);
    f.attributes = quor::load_le16(e + 52);
    f.fileIndex = quor::load_le16(e + 58);
    f.storage = e[63];
    f.maxSize = quor::load_le32(e + 64);
    return f;
}

bool decode_layouts(const Bytes &b, size_t at, std::vector<DecodedEfsLayout> &out,
                    std::string *error) {
    if (!quor::range_fits(at, kLayoutHeaderSize, b.size()) ||
        quor::load_le32(b.data() + at) != kEfsLayoutMagic) {
        return true;  // no EFS layout block
    }
    const uint32_t count = quor::load_le32(b.data() + at + kLayoutCountOffset);
    if (count > kMaxSkus ||
        !quor::range_fits(at + kLayoutHeaderSize, uint64_t{count} * kLayoutEntrySize, b.size())) {
        return refuse(error, "the EFS layout block holds more entries than the buffer");
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *e = b.data() + at + kLayoutHeaderSize + i * kLayoutEntrySize;
        DecodedEfsLayout l;
        l.skuId = quor::load_le32(e);
        const uint32_t records = quor::load_le32(e + 4);
        const uint32_t recordCount = quor::load_le32(e + 8);
        l.blockMapBlocks = quor::load_le32(e + 16);
        l.validBlocks = quor::load_le32(e + 20);
        l.spareBlocks = quor::load_le32(e + 24);
        l.filesNum = quor::load_le32(e + 28);
        l.wearLevelingThreshold = quor::load_le32(e + 32);
        l.layoutId = quor::load_le32(e + 36);
        if (!quor::range_fits(records, uint64_t{recordCount} * kFileRecordSize, b.size())) {
            return refuse(error, "the EFS file records of SKU " + std::to_string(l.skuId) +
                                     " lie outside the buffer");
        }
        for (uint32_t r = 0; r < recordCount; ++r) {
            const uint8_t *p = b.data() + records + r * kFileRecordSize;
            EfsPlacement placement;
            placement.fileIndex = quor::load_le16(p);
            placement.name = fixed_string(p + kRecordName, kEntryNameSize);
            placement.block = quor::load_le16(p + kRecordBlock);
            placement.offset = quor::load_le16(p + kRecordOffset);
            placement.maxSize = quor::load_le16(p + kRecordMaxSize);
            l.placements.push_back(placement);
        }
        out.push_back(std::move(l));
    }
    return true;
}

}  // namespace

bool decodeFileTableBuffer(const Bytes &buffer, DecodedFileTable &out, std::string *error) {
    out = DecodedFileTable{};
    if (buffer.size() < kOuterHeaderSize || quor::load_le32(buffer.data()) != kFileTableMagic) {
        return refuse(error, "not a file table buffer (no \"FTBL\" magic)");
    }
    const uint32_t count = quor::load_le32(buffer.data() + kSkuCountOffset);
    if (count == 0 || count > kMaxSkus ||
        !quor::range_fits(kOuterHeaderSize, uint64_t{count} * kSkuRecordSize, buffer.size())) {
        return refuse(error, "the SKU count " + std::to_string(count) + " is not 1 to 10");
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *rec = buffer.data() + kOuterHeaderSize + i * kSkuRecordSize;
        SkuSpec sku;
        sku.skuId = quor::load_le32(rec);
        const uint32_t table = quor::load_le32(rec + 4);
        const uint32_t entries = quor::load_le32(rec + 8);
        if (!quor::range_fits(table, uint64_t{entries} * kEntrySize, buffer.size())) {
            return refuse(error, "the file table of SKU " + std::to_string(sku.skuId) +
                                     " lies outside the buffer");
        }
        for (uint32_t e = 0; e < entries; ++e) {
            sku.files.push_back(decode_entry(buffer.data() + table + e * kEntrySize));
        }
        out.skus.push_back(std::move(sku));
    }
    return decode_layouts(buffer, kOuterHeaderSize * (count + 1), out.efsLayouts, error);
}

}  // namespace imagekit
