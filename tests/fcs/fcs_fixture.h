// Builders of file table buffers and FCS buffers for the store's tests,
// benchmarks and fuzz targets (header only).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"

namespace fcs_fixture {

struct TableFile {
    std::string name;  // up to 48 bytes kept
    uint32_t fileno;
    uint16_t attributes = 0;
    uint32_t maxSize = 0xFFFF;
};

struct Sku {
    uint32_t id;
    std::vector<TableFile> files;
};

// A file table buffer of at least `minSize` bytes: "FTBL", the SKU records,
// no EFS layout block, then each SKU's 68-byte entries.
inline std::vector<uint8_t> file_table(const std::vector<Sku> &skus, uint32_t minSize = 1024) {
    const uint32_t tablesStart =
        16 * (static_cast<uint32_t>(skus.size()) + 1) + 128;  // room for a layout block
    uint32_t end = tablesStart;
    for (const Sku &sku : skus) {
        end += 68 * static_cast<uint32_t>(sku.files.size());
    }
    std::vector<uint8_t> buf(end > minSize ? end : minSize, 0);
    std::memcpy(buf.data(), "FTBL", 4);
    quor::store_le32(&buf[12], static_cast<uint32_t>(skus.size()));
    uint32_t offset = tablesStart;
    for (size_t s = 0; s < skus.size(); ++s) {
        uint8_t *record = &buf[16 + 16 * s];
        quor::store_le32(record, skus[s].id);
        quor::store_le32(record + 4, offset);
        quor::store_le32(record + 8, static_cast<uint32_t>(skus[s].files.size()));
        for (const TableFile &f : skus[s].files) {
            uint8_t *e = &buf[offset];
            std::memcpy(e, f.name.data(), f.name.size() < 48 ? f.name.size() : 48);
            quor::store_le32(e + 48, f.fileno);
            quor::store_le16(e + 52, f.attributes);
            quor::store_le32(e + 64, f.maxSize);
            offset += 68;
        }
    }
    return buf;
}

// A blob: 12-byte header (fileno, data_offset 0, data_size, flags) then payload.
inline std::vector<uint8_t> blob(uint32_t fileno, const std::vector<uint8_t> &payload,
                                 uint16_t flags = 0) {
    std::vector<uint8_t> b(12 + payload.size(), 0);
    quor::store_le32(&b[0], fileno);
    quor::store_le16(&b[8], static_cast<uint16_t>(payload.size()));
    quor::store_le16(&b[10], flags);
    for (size_t i = 0; i < payload.size(); ++i) {
        b[12 + i] = payload[i];
    }
    return b;
}

struct FcsFile {
    uint32_t fileno;
    std::vector<uint8_t> payload;
    uint16_t flags = 0;
};

// An FCS buffer laid out as flush lays it out, entries in the given order.
inline std::vector<uint8_t> fcs_buffer(const std::vector<FcsFile> &files) {
    const uint32_t dataStart = 4 + 12 * static_cast<uint32_t>(files.size());
    std::vector<uint8_t> buf(dataStart, 0);
    quor::store_le32(&buf[0], static_cast<uint32_t>(files.size()));
    for (size_t i = 0; i < files.size(); ++i) {
        uint8_t *e = &buf[4 + 12 * i];
        quor::store_le32(e, files[i].fileno);
        quor::store_le32(e + 4, static_cast<uint32_t>(buf.size()));
        quor::store_le16(e + 8, static_cast<uint16_t>(files[i].payload.size()));
        quor::store_le16(e + 10, files[i].flags);
        buf.insert(buf.end(), files[i].payload.begin(), files[i].payload.end());
    }
    return buf;
}

// Distinct names "f0000".."fNNNN" in a scrambled order, with file numbers.
inline std::vector<TableFile> numbered_files(uint32_t count) {
    std::vector<TableFile> files;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t k =
            (i * 7919u) % count;  // a permutation when count is not a multiple of 7919
        char name[16];
        std::snprintf(name, sizeof name, "f%05u", static_cast<unsigned>(k));
        files.push_back(TableFile{name, 0x10000000u + k, static_cast<uint16_t>(k), 0xFFFF});
    }
    return files;
}

}  // namespace fcs_fixture
