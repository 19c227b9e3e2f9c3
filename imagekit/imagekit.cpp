#include "imagekit/imagekit.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "afs/Afs.h"
#include "afs/AfsContext.h"
#include "common/bytes.h"
#include "efs/EFS.h"
#include "efs/efs_tools_utils.h"

namespace imagekit {
namespace {

// File table buffer ---------------------------------------------------------
//   +0  "FTBL"   +4 8 bytes (zero)   +12 u32 SKU count C
//   +16 C SKU records of 16 bytes: sku_id, table_offset, entry_count, 0
//   +16(C+1) EFS layout block (when present), its file records, then the
//   file tables; the buffer is padded with zeros to at least 1024 bytes.
constexpr uint32_t kOuterHeaderSize = 16;
constexpr uint32_t kSkuCountOffset = 12;
constexpr uint32_t kSkuRecordSize = 16;
constexpr uint32_t kMaxSkus = 10;
constexpr uint32_t kMinFileTableSize = 1024;

// file_table_entry_t, 68 bytes.
constexpr uint32_t kEntrySize = 68;
constexpr uint32_t kEntryNameSize = 48;
constexpr uint32_t kEntryFileno = 48;
constexpr uint32_t kEntryAttributes = 52;
constexpr uint32_t kEntryFileIndex = 58;
constexpr uint32_t kEntryStorage = 63;
constexpr uint32_t kEntryMaxSize = 64;

// EFS layout block: "EFST", two unread words, entry count, then 40-byte
// entries (sku, record offset, record count, record area size, BM, V, N,
// files, threshold, layout id) and 60-byte file records (index, name, block,
// offset, max size).
constexpr uint32_t kEfsLayoutMagic = 0x54534645u;  // "EFST"
constexpr uint32_t kLayoutHeaderSize = 16;
constexpr uint32_t kLayoutEntrySize = 40;
constexpr uint32_t kFileRecordSize = 60;
constexpr uint32_t kRecordName = 2;
constexpr uint32_t kRecordBlock = 50;
constexpr uint32_t kRecordOffset = 52;
constexpr uint32_t kRecordMaxSize = 54;

// EFS data area geometry.
constexpr uint32_t kEfsDataArea = 4076;
constexpr uint32_t kEfsRecordHeader = 4;
constexpr uint32_t kEfsRecordPayload = kEfsDataArea - kEfsRecordHeader;  // 4072
constexpr uint32_t kEfsMinFilesNum = 16;
constexpr uint32_t kFileIndexMask = 0x7FF;

// FCS buffer: u32 count, 12-byte entries, payloads.
constexpr uint32_t kFcsCountSize = 4;
constexpr uint32_t kFcsEntrySize = 12;

// AFS format: size table, FTL mode, new header, FTL mount, driver
// initialisation, format even when it mounts, erase every unit.
constexpr uint32_t kAfsFormatFlags = 0x1 | 0x4 | 0x10 | 0x20 | 0x100 | 0x20000 | 0x80000;
constexpr uint32_t kAfsPageSize = 64;
constexpr uint32_t kAfsCacheLines = 10;
constexpr uint32_t kAfsWorkBufferSize = 4096;
constexpr uint32_t kTruncatingWrite = 1;

constexpr uint8_t kTrailerByte = 0xEE;

void put32(Bytes &b, size_t at, uint32_t v) {
    quor::store_le32(b.data() + at, v);
}
void put16(Bytes &b, size_t at, uint16_t v) {
    quor::store_le16(b.data() + at, v);
}

bool isEfs(const FileSpec &f) {
    return f.storage == kStorageEfs;
}
bool isAfs(const FileSpec &f) {
    return f.storage == 0 || f.storage == kStorageAfs;
}

void fail(std::string *error, const std::string &text) {
    if (error != nullptr) {
        *error = text;
    }
}

const SkuSpec *findSku(const ImageDescription &d, uint32_t skuId) {
    for (const SkuSpec &s : d.skus) {
        if (s.skuId == skuId) {
            return &s;
        }
    }
    return nullptr;
}

struct EfsLayout {
    uint32_t sku = 0;
    uint32_t validBlocks = 0;
    uint32_t filesNum = 0;
    std::vector<EfsPlacement> placements;
};

bool layoutFor(const ImageDescription &d, const SkuSpec &sku, EfsLayout &layout,
               std::string *error) {
    bool ok = true;
    uint32_t used = 0;
    layout.sku = sku.skuId;
    layout.placements = placeEfsFiles(sku, &used, &ok);
    if (!ok) {
        fail(error,
             "an EFS file of SKU " + std::to_string(sku.skuId) + " has a maximum size above 65535");
        return false;
    }
    layout.validBlocks = d.efs.validBlocks != 0 ? d.efs.validBlocks : std::max<uint32_t>(used, 1);
    if (layout.validBlocks < used) {
        fail(error, "the EFS files of SKU " + std::to_string(sku.skuId) + " need " +
                        std::to_string(used) + " logical blocks");
        return false;
    }
    uint32_t highest = 0;
    for (const EfsPlacement &p : layout.placements) {
        highest = std::max<uint32_t>(highest, p.fileIndex + 1u);
    }
    layout.filesNum = d.efs.filesNum != 0 ? d.efs.filesNum : std::max(highest, kEfsMinFilesNum);
    if (layout.filesNum < highest) {
        fail(error, "EFS file index " + std::to_string(highest - 1) + " is not below filesNum");
        return false;
    }
    return true;
}

void writeLayoutEntry(Bytes &b, size_t at, const ImageDescription &d, const EfsLayout &l,
                      uint32_t recordOffset) {
    const uint32_t records = static_cast<uint32_t>(l.placements.size());
    put32(b, at + 0, l.sku);
    put32(b, at + 4, recordOffset);
    put32(b, at + 8, records);
    put32(b, at + 12, records * kFileRecordSize);
    put32(b, at + 16, d.efs.blockMapBlocks);
    put32(b, at + 20, l.validBlocks);
    put32(b, at + 24, d.efs.spareBlocks);
    put32(b, at + 28, l.filesNum);
    put32(b, at + 32, d.efs.wearLevelingThreshold);
    put32(b, at + 36, d.efs.layoutId);
}

void writeFileRecord(Bytes &b, size_t at, const EfsPlacement &p) {
    put16(b, at, p.fileIndex);
    std::memcpy(b.data() + at + kRecordName, p.name.data(),
                std::min<size_t>(p.name.size(), kEntryNameSize));
    put16(b, at + kRecordBlock, p.block);
    put16(b, at + kRecordOffset, p.offset);
    put16(b, at + kRecordMaxSize, p.maxSize);
}

void writeFileTableEntry(Bytes &b, size_t at, const FileSpec &f) {
    std::memcpy(b.data() + at, f.name.data(), f.name.size());
    put32(b, at + kEntryFileno, f.fileno);
    put16(b, at + kEntryAttributes, f.attributes);
    put16(b, at + kEntryFileIndex, f.fileIndex);
    b[at + kEntryStorage] = f.storage;
    put32(b, at + kEntryMaxSize, f.maxSize);
}

// A zero-filled, malloc'ed AFS context with its work buffer, as DFS makes one.
struct AfsVolume {
    AfsContext *ctx = nullptr;
    ~AfsVolume() {
        if (ctx != nullptr) {
            afs_free_context(ctx);
            std::free(ctx->workBuffer);
            std::free(ctx);
        }
    }
    bool allocate() {
        ctx = static_cast<AfsContext *>(std::calloc(1, sizeof(AfsContext)));
        if (ctx == nullptr) {
            return false;
        }
        ctx->workBuffer = static_cast<uint8_t *>(std::malloc(kAfsWorkBufferSize));
        return ctx->workBuffer != nullptr;
    }
};

// What one file system gets, by index, with a name for errors: the files of
// a deployed image, then the raw files (which replace a file at their index).
std::map<uint32_t, std::pair<std::string, Bytes>> contentsOf(const ImageDescription &d,
                                                             const std::vector<FileSpec> &files,
                                                             bool efs) {
    std::map<uint32_t, std::pair<std::string, Bytes>> contents;
    if (d.deployed) {
        for (const FileSpec &f : files) {
            if (f.inFileSystem && isEfs(f) == efs && (efs || isAfs(f))) {
                contents[f.fileIndex & kFileIndexMask] = {f.name, fileSystemContent(f)};
            }
        }
    }
    for (const RawFileSpec &raw : d.rawFiles) {
        if ((raw.storage == kStorageEfs) == efs) {
            const uint32_t index = raw.fileIndex & kFileIndexMask;
            contents[index] = {
                std::string(efs ? "EFS" : "AFS") + " raw file " + std::to_string(index),
                raw.content};
        }
    }
    return contents;
}

bool buildAfs(const ImageDescription &d, const std::vector<FileSpec> &files, Bytes &region,
              std::string *error) {
    region.assign(d.afs.regionSize, 0xFF);
    AfsVolume volume;
    if (!volume.allocate()) {
        fail(error, "out of memory for the AFS context");
        return false;
    }
    const uint32_t status = afs_init(volume.ctx, region.data(), kAfsPageSize, kAfsCacheLines,
                                     d.afs.fileCount, 0, d.afs.regionSize, kAfsFormatFlags, 0, 0);
    if (status != 0) {
        fail(error, "afs_init failed with status " + std::to_string(status));
        return false;
    }
    for (const auto &[index, file] : contentsOf(d, files, false)) {
        static const uint8_t kNothing = 0;
        const uint32_t st = afs_writefile(
            volume.ctx, static_cast<int32_t>(index), 0, static_cast<uint32_t>(file.second.size()),
            file.second.empty() ? &kNothing : file.second.data(), kTruncatingWrite);
        if (st != 0) {
            fail(error,
                 "afs_writefile of " + file.first + " failed with status " + std::to_string(st));
            return false;
        }
    }
    return true;
}

bool buildEfs(const ImageDescription &d, const std::vector<FileSpec> &files, const Bytes &table,
              uint32_t sku, Bytes &region, std::string *error) {
    uint32_t st = load_autogen_data(table.data(), sku, static_cast<uint32_t>(table.size()));
    if (st != 0) {
        fail(error, "load_autogen_data failed with status " + std::to_string(st));
        return false;
    }
    st = EFS_init(true);
    if (st != 0) {
        fail(error, "EFS_init(true) failed with status " + std::to_string(st));
        return false;
    }
    for (const auto &[index, file] : contentsOf(d, files, true)) {
        static const uint8_t kNothing = 0;
        st = EFS_write(index, 0, static_cast<uint32_t>(file.second.size()),
                       file.second.empty() ? &kNothing : file.second.data());
        if (st != 0) {
            fail(error, "EFS_write of " + file.first + " failed with status " + std::to_string(st));
            return false;
        }
    }
    if (efs_image == nullptr || efs_size == 0) {
        fail(error, "EFS has no image after formatting");
        return false;
    }
    region.assign(efs_image, efs_image + efs_size);
    return true;
}

// Two files of one file system written at the same index would overwrite
// each other: refuse the description instead.
bool indexesAreDistinct(const std::vector<FileSpec> &files, std::string *error) {
    std::set<std::pair<bool, uint32_t>> seen;
    for (const FileSpec &f : files) {
        if (!f.inFileSystem) {
            continue;
        }
        if (!seen.emplace(isEfs(f), f.fileIndex & kFileIndexMask).second) {
            fail(error, std::string(isEfs(f) ? "EFS" : "AFS") + " file index " +
                            std::to_string(f.fileIndex & kFileIndexMask) + " is used twice (" +
                            f.name + ")");
            return false;
        }
    }
    return true;
}

}  // namespace

Bytes encodeFcsBuffer(const std::vector<FcsFile> &files) {
    size_t dataSize = 0;
    for (const FcsFile &f : files) {
        if (f.payload.size() > 0xFFFF) {
            return {};
        }
        dataSize += f.payload.size();
    }
    const size_t headerSize = kFcsCountSize + kFcsEntrySize * files.size();
    Bytes out(headerSize + dataSize, 0);
    put32(out, 0, static_cast<uint32_t>(files.size()));
    size_t entry = kFcsCountSize;
    size_t data = headerSize;
    for (const FcsFile &f : files) {
        put32(out, entry + 0, f.fileno);
        put32(out, entry + 4, static_cast<uint32_t>(data));
        put16(out, entry + 8, static_cast<uint16_t>(f.payload.size()));
        put16(out, entry + 10, f.flags);
        if (!f.payload.empty()) {
            std::memcpy(out.data() + data, f.payload.data(), f.payload.size());
        }
        entry += kFcsEntrySize;
        data += f.payload.size();
    }
    return out;
}

bool decodeFcsBuffer(const uint8_t *data, size_t size, std::vector<FcsFile> &files) {
    files.clear();
    if (data == nullptr || size < kFcsCountSize) {
        return false;
    }
    const uint64_t count = quor::load_le32(data);
    if (!quor::range_fits(kFcsCountSize, count * kFcsEntrySize, size)) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t *e = data + kFcsCountSize + i * kFcsEntrySize;
        FcsFile f;
        f.fileno = quor::load_le32(e);
        const uint32_t offset = quor::load_le32(e + 4);
        const uint16_t length = quor::load_le16(e + 8);
        f.flags = quor::load_le16(e + 10);
        if (length != 0) {
            if (!quor::range_fits(offset, length, size)) {
                return false;
            }
            f.payload.assign(data + offset, data + offset + length);
        }
        files.push_back(std::move(f));
    }
    return true;
}

Bytes wrapToolPartition(const Bytes &fcsBuffer, uint32_t partitionSize) {
    constexpr size_t kHeader = QUOR_TAVC_HEADER_SIZE;
    Bytes out(std::max<size_t>(kHeader + fcsBuffer.size(), partitionSize), 0xFF);
    std::fill(out.begin(), out.begin() + kHeader, 0);
    put32(out, QUOR_TAVC_LENGTH_OFFSET, static_cast<uint32_t>(fcsBuffer.size()));
    std::copy(fcsBuffer.begin(), fcsBuffer.end(), out.begin() + kHeader);
    return out;
}

std::vector<EfsPlacement> placeEfsFiles(const SkuSpec &sku, uint32_t *blocksUsed, bool *ok) {
    std::vector<EfsPlacement> out;
    uint32_t block = 0;
    uint32_t offset = 0;
    bool good = true;
    for (const FileSpec &f : sku.files) {
        if (!isEfs(f)) {
            continue;
        }
        if (f.maxSize > 0xFFFF) {
            good = false;
            continue;
        }
        EfsPlacement p;
        p.fileIndex = static_cast<uint16_t>(f.fileIndex & kFileIndexMask);
        p.maxSize = static_cast<uint16_t>(f.maxSize);
        p.name = f.name;
        const uint32_t need = kEfsRecordHeader + f.maxSize;
        if (f.maxSize > kEfsRecordPayload) {
            // Long files start a fresh block and run on into the next ones.
            if (offset != 0) {
                ++block;
                offset = 0;
            }
            p.block = static_cast<uint16_t>(block);
            p.offset = 0;
            block += (f.maxSize + kEfsRecordPayload - 1) / kEfsRecordPayload;
        } else {
            if (offset + need > kEfsDataArea) {
                ++block;
                offset = 0;
            }
            p.block = static_cast<uint16_t>(block);
            p.offset = static_cast<uint16_t>(offset);
            offset += need;
        }
        out.push_back(p);
    }
    if (blocksUsed != nullptr) {
        *blocksUsed = offset != 0 ? block + 1 : block;
    }
    if (ok != nullptr) {
        *ok = good;
    }
    return out;
}

std::vector<FileSpec> effectiveFiles(const ImageDescription &d, const SkuSpec &sku) {
    std::vector<FileSpec> files = sku.files;
    const bool listed = std::any_of(files.begin(), files.end(), [](const FileSpec &f) {
        return f.name == QUOR_DEPLOY_MARKER_PATH;
    });
    if (!listed) {
        FileSpec marker;
        marker.name = QUOR_DEPLOY_MARKER_PATH;
        marker.fileno = d.deployMarker.fileno;
        marker.fileIndex = d.deployMarker.fileIndex;
        marker.storage = kStorageAfs;
        marker.maxSize = static_cast<uint32_t>(d.deployMarker.content.size());
        marker.flags = 0;
        marker.fsContent = d.deployMarker.content;
        files.push_back(std::move(marker));
    }
    return files;
}

Bytes fileSystemContent(const FileSpec &f) {
    if (f.fsContent) {
        return *f.fsContent;
    }
    Bytes content = f.toolValue ? *f.toolValue : f.vendorValue ? *f.vendorValue : Bytes{};
    if ((f.attributes & QUOR_ATTR_TRAILER) != 0) {
        const uint32_t trailer = (f.attributes & QUOR_ATTR_LONG_TRAILER) != 0
                                     ? QUOR_TRAILER_LONG_SIZE
                                     : QUOR_TRAILER_SHORT_SIZE;
        content.insert(content.end(), trailer, kTrailerByte);
    }
    return content;
}

Bytes encodeFileTableBuffer(const ImageDescription &d, std::string *error) {
    const uint32_t skuCount = static_cast<uint32_t>(d.skus.size());
    if (skuCount == 0 || skuCount > kMaxSkus) {
        fail(error, "an image needs 1 to 10 SKUs");
        return {};
    }
    std::vector<std::vector<FileSpec>> tables;
    std::vector<EfsLayout> layouts;
    for (const SkuSpec &sku : d.skus) {
        tables.push_back(effectiveFiles(d, sku));
        for (const FileSpec &f : tables.back()) {
            if (f.name.size() > kEntryNameSize) {
                fail(error, "file name longer than 48 bytes: " + f.name);
                return {};
            }
        }
        if (d.efs.present) {
            EfsLayout layout;
            if (!layoutFor(d, sku, layout, error)) {
                return {};
            }
            layouts.push_back(std::move(layout));
        }
    }

    // Offsets: header and SKU records, EFS layout block, file records, tables.
    size_t at = kOuterHeaderSize * (skuCount + 1);
    const size_t layoutAt = at;
    std::vector<size_t> recordsAt;
    if (d.efs.present) {
        at += kLayoutHeaderSize + kLayoutEntrySize * layouts.size();
        for (const EfsLayout &l : layouts) {
            recordsAt.push_back(at);
            at += kFileRecordSize * l.placements.size();
        }
    } else {
        at += kLayoutHeaderSize;  // room for a word that is not "EFST"
    }
    std::vector<size_t> tableAt;
    for (const auto &t : tables) {
        tableAt.push_back(at);
        at += kEntrySize * t.size();
    }
    Bytes out(std::max<size_t>(at, kMinFileTableSize), 0);

    put32(out, 0, QUOR_FILE_TABLE_MAGIC);
    put32(out, kSkuCountOffset, skuCount);
    for (uint32_t i = 0; i < skuCount; ++i) {
        const size_t rec = kOuterHeaderSize + kSkuRecordSize * i;
        put32(out, rec + 0, d.skus[i].skuId);
        put32(out, rec + 4, static_cast<uint32_t>(tableAt[i]));
        put32(out, rec + 8, static_cast<uint32_t>(tables[i].size()));
        for (size_t j = 0; j < tables[i].size(); ++j) {
            writeFileTableEntry(out, tableAt[i] + kEntrySize * j, tables[i][j]);
        }
    }
    if (d.efs.present) {
        put32(out, layoutAt, kEfsLayoutMagic);
        put32(out, layoutAt + 12, static_cast<uint32_t>(layouts.size()));
        for (size_t i = 0; i < layouts.size(); ++i) {
            writeLayoutEntry(out, layoutAt + kLayoutHeaderSize + kLayoutEntrySize * i, d,
                             layouts[i], static_cast<uint32_t>(recordsAt[i]));
            for (size_t j = 0; j < layouts[i].placements.size(); ++j) {
                writeFileRecord(out, recordsAt[i] + kFileRecordSize * j, layouts[i].placements[j]);
            }
        }
    }
    return out;
}

bool buildImage(const ImageDescription &d, ImagePieces &out, std::string *error) {
    out = ImagePieces{};
    out.skuId = d.buildSku;
    const SkuSpec *sku = findSku(d, d.buildSku);
    if (sku == nullptr) {
        fail(error, "the description has no SKU " + std::to_string(d.buildSku));
        return false;
    }
    out.fileTable = encodeFileTableBuffer(d, error);
    if (out.fileTable.empty()) {
        return false;
    }
    const std::vector<FileSpec> files = effectiveFiles(d, *sku);
    if (!indexesAreDistinct(files, error)) {
        return false;
    }
    std::vector<FcsFile> vendor;
    std::vector<FcsFile> tool;
    for (const FileSpec &f : files) {
        if (f.vendorValue) {
            vendor.push_back({f.fileno, f.flags, *f.vendorValue});
        }
        if (f.toolValue) {
            tool.push_back({f.fileno, f.flags, *f.toolValue});
        }
    }
    out.vendorCfg = encodeFcsBuffer(vendor);
    if (out.vendorCfg.empty()) {
        fail(error, "a vendor value is longer than 65535 bytes");
        return false;
    }
    if (d.toolPartition) {
        const Bytes fcs = encodeFcsBuffer(tool);
        if (fcs.empty()) {
            fail(error, "a tool value is longer than 65535 bytes");
            return false;
        }
        out.toolPartition = wrapToolPartition(fcs, d.toolPartitionSize);
    }
    if (d.afs.regionSize != 0 && !buildAfs(d, files, out.afs, error)) {
        return false;
    }
    if (d.efs.present && !buildEfs(d, files, out.fileTable, d.buildSku, out.efs, error)) {
        return false;
    }
    return true;
}

}  // namespace imagekit
