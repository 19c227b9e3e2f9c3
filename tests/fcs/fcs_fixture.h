// Builders of file table buffers and FCS buffers for the store's tests,
// benchmarks and fuzz targets (header only).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace fcs_fixture {

using Bytes = std::vector<uint8_t>;

struct TableFile {
    std::string name;  // first 48 bytes kept
    uint32_t fileno;
    uint16_t attributes = 0;
    uint32_t maxSize = 0xFFFF;
};

struct Sku {
    uint32_t id;
    std::vector<TableFile> files;
};

// "FTBL", the SKU records, room for a layout block (left zero: no EFS
// layout), then each SKU's 68-byte entries; at least `minSize` bytes.
inline Bytes file_table(const std::vector<Sku> &skus, uint32_t minSize = 1024) {
    uint32_t offset = 16 * (static_cast<uint32_t>(skus.size()) + 1) + 128;
    uint32_t end = offset;
    for (const Sku &sku : skus) {
        end += 68 * static_cast<uint32_t>(sku.files.size());
    }
    Bytes buf(end > minSize ? end : minSize, 0);
    std::memcpy(buf.data(), "FTBL", 4);
    quor::store_le32(&buf[12], static_cast<uint32_t>(skus.size()));
    for (size_t s = 0; s < skus.size(); ++s) {
        quor::store_le32(&buf[16 + 16 * s], skus[s].id);
        quor::store_le32(&buf[16 + 16 * s + 4], offset);
        quor::store_le32(&buf[16 + 16 * s + 8], static_cast<uint32_t>(skus[s].files.size()));
        for (const TableFile &f : skus[s].files) {
            std::memcpy(&buf[offset], f.name.data(), f.name.size() < 48 ? f.name.size() : 48);
            quor::store_le32(&buf[offset + 48], f.fileno);
            quor::store_le16(&buf[offset + 52], f.attributes);
            quor::store_le32(&buf[offset + 64], f.maxSize);
            offset += 68;
        }
    }
    return buf;
}

// A blob: header (fileno, data_offset 0, data_size, flags) then the payload.
inline Bytes blob(uint32_t fileno, const Bytes &payload, uint16_t flags = 0) {
    Bytes b(12 + payload.size(), 0);
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
    Bytes payload;
    uint16_t flags = 0;
};

// An FCS buffer laid out as flush lays it out, entries in the given order.
inline Bytes fcs_buffer(const std::vector<FcsFile> &files) {
    Bytes buf(4 + 12 * files.size(), 0);
    quor::store_le32(&buf[0], static_cast<uint32_t>(files.size()));
    for (size_t i = 0; i < files.size(); ++i) {
        quor::store_le32(&buf[4 + 12 * i], files[i].fileno);
        quor::store_le32(&buf[4 + 12 * i + 4], static_cast<uint32_t>(buf.size()));
        quor::store_le16(&buf[4 + 12 * i + 8], static_cast<uint16_t>(files[i].payload.size()));
        quor::store_le16(&buf[4 + 12 * i + 10], files[i].flags);
        buf.insert(buf.end(), files[i].payload.begin(), files[i].payload.end());
    }
    return buf;
}

// `count` files named "f00000".. (name order is number order) listed in a
// scrambled order (a permutation while 7919 does not divide `count`).
inline std::vector<TableFile> numbered_files(uint32_t count) {
    std::vector<TableFile> files;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t k = (i * 7919u) % count;
        char name[16];
        std::snprintf(name, sizeof name, "f%05u", static_cast<unsigned>(k));
        files.push_back(TableFile{name, 0x10000000u + k, static_cast<uint16_t>(k), 0xFFFF});
    }
    return files;
}

}  // namespace fcs_fixture
