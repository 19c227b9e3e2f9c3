// Writes the seed inputs of the fuzz targets into <dir>/<target>/: valid
// images built by the image builder, each in the layout its target reads
// (fuzz_inputs.h), plus copies with one byte changed in the places the
// readers look at first (headers) and at a few fixed pseudo-random places.
//
// Usage: make_corpus <corpus-dir>   (the committed seeds are in fuzz/corpus)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_inputs.h"
#include "imagekit/imagekit.h"

namespace {

using fuzz_inputs::Bytes;
using imagekit::FileSpec;

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 7));
    }
    return out;
}

FileSpec afs_file(const std::string &name, uint16_t index, uint32_t maxSize, Bytes vendor) {
    FileSpec f;
    f.name = name;
    f.fileno = 0x10000100u + index;
    f.fileIndex = index;
    f.storage = imagekit::kStorageAfs;
    f.maxSize = maxSize;
    f.vendorValue = std::move(vendor);
    return f;
}

FileSpec efs_file(const std::string &name, uint16_t index, uint32_t maxSize, Bytes vendor) {
    FileSpec f = afs_file(name, index, maxSize, std::move(vendor));
    f.fileno = 0x20000200u + index;
    f.storage = imagekit::kStorageEfs;
    return f;
}

// Small image: 32 KiB AFS with files of 0 to 1500 bytes (one with a
// trailer, one plain file outside the file system), three EFS files, one of
// them spanning two blocks.
imagekit::ImageDescription small_image() {
    std::vector<FileSpec> files;
    FileSpec mtu = afs_file("/home/net/mtu", 3, 16, text("1500"));
    mtu.toolValue = text("9000");
    files.push_back(mtu);
    files.push_back(afs_file("/home/net/host", 4, 64, text("gateway.local")));
    files.push_back(afs_file("/home/sys/blob", 5, 2000, pattern(1500, 7)));
    FileSpec serial = afs_file("/home/sys/serial", 6, 64, text("SN-0"));
    serial.attributes = QUOR_ATTR_TRAILER;
    files.push_back(serial);
    FileSpec emptied = afs_file("/home/sys/empty", 7, 16, text("e"));
    emptied.fsContent = Bytes{};
    files.push_back(emptied);
    FileSpec plain = afs_file("/home/sys/plain", 8, 16, text("plain"));
    plain.flags = 0;
    plain.inFileSystem = false;
    files.push_back(plain);
    files.push_back(efs_file("/home/efs/alpha", 1, 100, text("alpha")));
    FileSpec beta = efs_file("/home/efs/beta", 2, 300, text("beta"));
    beta.toolValue = text("beta-tool");
    files.push_back(beta);
    files.push_back(efs_file("/home/efs/long", 3, 5000, pattern(4500, 3)));

    imagekit::ImageDescription d;
    d.skus.push_back({7, files});
    d.buildSku = 7;
    d.afs.regionSize = 32768;
    d.afs.fileCount = 65;
    d.efs.present = true;
    d.deployMarker.fileIndex = 1;
    return d;
}

// Medium image: 64 KiB AFS with twenty files, two SKUs, EFS with three
// block-map blocks, two spares and a wear-levelling threshold of 1.
imagekit::ImageDescription medium_image() {
    std::vector<FileSpec> files;
    for (uint16_t i = 0; i < 20; ++i) {
        files.push_back(afs_file("/home/f" + std::to_string(i), static_cast<uint16_t>(10 + i), 2048,
                                 pattern(1 + i * 97u % 1200u, static_cast<uint8_t>(i))));
    }
    for (uint16_t i = 0; i < 4; ++i) {
        files.push_back(efs_file("/home/efs/e" + std::to_string(i), i, 900,
                                 pattern(100u + 200u * i, static_cast<uint8_t>(i + 40))));
    }
    imagekit::ImageDescription d;
    d.skus.push_back({0x51, files});
    d.skus.push_back({0x52, {afs_file("/home/other", 2, 16, text("other"))}});
    d.buildSku = 0x51;
    d.afs.regionSize = 65536;
    d.afs.fileCount = 128;
    d.efs.present = true;
    d.efs.blockMapBlocks = 3;
    d.efs.spareBlocks = 2;
    d.efs.wearLevelingThreshold = 1;
    d.deployMarker.fileIndex = 2;
    return d;
}

// AFS only, formatted but not deployed (no files written).
imagekit::ImageDescription bare_image() {
    imagekit::ImageDescription d;
    d.skus.push_back({1, {afs_file("/home/a", 3, 32, text("value"))}});
    d.buildSku = 1;
    d.afs.regionSize = 32768;
    d.afs.fileCount = 65;
    d.deployed = false;
    return d;
}

struct Writer {
    std::filesystem::path dir;
    size_t files = 0;
    size_t bytes = 0;

    void put(const std::string &target, const std::string &name, const Bytes &input) {
        const std::filesystem::path folder = dir / target;
        std::filesystem::create_directories(folder);
        std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(input.data()),
                  static_cast<std::streamsize>(input.size()));
        ++files;
        bytes += input.size();
    }

    // The input itself and copies with one byte changed at each of `places`
    // (offsets inside the input; those past its end are skipped).
    void put_with_mutations(const std::string &target, const std::string &name, const Bytes &input,
                            const std::vector<size_t> &places) {
        put(target, name, input);
        for (size_t place : places) {
            if (place >= input.size()) {
                continue;
            }
            Bytes changed = input;
            changed[place] = static_cast<uint8_t>(changed[place] ^ 0x5A);
            put(target, name + "_x" + std::to_string(place), changed);
        }
    }
};

// A few fixed pseudo-random offsets below `limit`, after `base`.
std::vector<size_t> scattered(size_t base, size_t limit, uint32_t seed, int count) {
    std::vector<size_t> out;
    uint32_t x = seed;
    for (int i = 0; i < count && limit != 0; ++i) {
        x = x * 1664525u + 1013904223u;
        out.push_back(base + (x >> 8) % limit);
    }
    return out;
}

const Bytes kAfsOps = {3, 0x40, 0x01, 10, 0, 0x3F, 5, 0x33};
const Bytes kEfsOps = {1, 0x20, 0x00, 0x07, 0, 2, 0x44, 3};
const Bytes kRecordOps = {0, 0x05, 0x00, 0x03, 1, 0x21, 4, 9};

void write_seeds(Writer &w, const std::string &name, const imagekit::ImageDescription &d) {
    imagekit::ImagePieces p;
    std::string error;
    if (!imagekit::buildImage(d, p, &error)) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
        std::exit(1);
    }
    // File table: the built SKU and, when present, another one.
    Bytes table;
    fuzz_inputs::append32(table, p.skuId);
    fuzz_inputs::append(table, p.fileTable);
    w.put_with_mutations("fuzz_file_table", name, table, {4 + 12, 4 + 20, 4 + 48, 4 + 68});
    if (d.skus.size() > 1) {
        Bytes other = table;
        quor::store_le32(other.data(), d.skus[1].skuId);
        w.put("fuzz_file_table", name + "_other_sku", other);
    }
    // The same buffers for the image builder's reader, without the SKU id.
    w.put_with_mutations("fuzz_file_table_decode", name, p.fileTable, {12, 20, 48, 68});
    if (!p.afs.empty()) {
        Bytes afs = kAfsOps;
        fuzz_inputs::append(afs, p.afs);
        std::vector<size_t> places = {8 + 5, 8 + 8192 + 2};
        const std::vector<size_t> more = scattered(8, p.afs.size(), 11, 1);
        places.insert(places.end(), more.begin(), more.end());
        w.put_with_mutations("fuzz_afs_region", name, afs, places);
    }
    if (!p.efs.empty()) {
        Bytes efs;
        fuzz_inputs::append32(efs, p.skuId);
        fuzz_inputs::append32(efs, static_cast<uint32_t>(p.fileTable.size()));
        fuzz_inputs::append(efs, kEfsOps);
        fuzz_inputs::append(efs, p.fileTable);
        const size_t region = efs.size();
        fuzz_inputs::append(efs, p.efs);
        std::vector<size_t> places = {region + 4, region + 9, region + 20, region + 4096 * 2 + 16};
        const std::vector<size_t> more = scattered(region, p.efs.size(), 5, 1);
        places.insert(places.end(), more.begin(), more.end());
        w.put_with_mutations("fuzz_efs_region", name, efs, places);
    }
    Bytes record;
    fuzz_inputs::append32(record, p.skuId);
    const Bytes *pieces[] = {&p.fileTable, &p.vendorCfg, &p.toolPartition, &p.afs, &p.efs};
    for (const Bytes *piece : pieces) {
        fuzz_inputs::append32(record, static_cast<uint32_t>(piece->size()));
    }
    fuzz_inputs::append(record, kRecordOps);
    for (const Bytes *piece : pieces) {
        fuzz_inputs::append(record, *piece);
    }
    const size_t vendorAt = fuzz_inputs::kRecordHeaderSize + p.fileTable.size();
    const size_t afsAt = vendorAt + p.vendorCfg.size() + p.toolPartition.size();
    w.put_with_mutations("fuzz_image_record", name, record,
                         {fuzz_inputs::kRecordHeaderSize + 16, afsAt + 3});
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
        return 2;
    }
    Writer w{argv[1]};
    write_seeds(w, "small", small_image());
    write_seeds(w, "medium", medium_image());
    write_seeds(w, "bare", bare_image());
    std::printf("%zu seed files, %zu bytes\n", w.files, w.bytes);
    return 0;
}
