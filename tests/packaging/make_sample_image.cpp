// Writes the pieces of a small image (one SKU, NVARs on AFS and EFS, a
// deployed file system) into a folder, for the installed-package consumers:
// ftbl.bin, ostra.cfg, tavc.cfg, mfs.bin, efs.bin and sku.txt.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "imagekit/imagekit.h"

namespace {

imagekit::Bytes text(const std::string &s) {
    return imagekit::Bytes(s.begin(), s.end());
}

bool writeFile(const std::string &path, const imagekit::Bytes &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::error_code made;
    std::filesystem::create_directories(dir, made);

    imagekit::SkuSpec sku;
    sku.skuId = 7;
    imagekit::FileSpec greeting;
    greeting.name = "/home/sample/greeting";
    greeting.fileno = 0x00010001;
    greeting.fileIndex = 3;
    greeting.maxSize = 64;
    greeting.vendorValue = text("vendor");
    greeting.toolValue = text("hello");
    imagekit::FileSpec serial;
    serial.name = "/home/sample/serial";
    serial.fileno = 0x00010002;
    serial.fileIndex = 1;
    serial.storage = imagekit::kStorageEfs;
    serial.maxSize = 32;
    serial.vendorValue = text("SN-0001");
    sku.files = {greeting, serial};

    imagekit::ImageDescription description;
    description.skus = {sku};
    description.buildSku = 7;
    description.afs.regionSize = 64 * 1024;
    description.afs.fileCount = 128;
    description.efs.present = true;

    imagekit::ImagePieces pieces;
    std::string error;
    if (!imagekit::buildImage(description, pieces, &error)) {
        std::fprintf(stderr, "image build failed: %s\n", error.c_str());
        return 1;
    }
    const bool ok = writeFile(dir + "/ftbl.bin", pieces.fileTable) &&
                    writeFile(dir + "/ostra.cfg", pieces.vendorCfg) &&
                    writeFile(dir + "/tavc.cfg", pieces.toolPartition) &&
                    writeFile(dir + "/mfs.bin", pieces.afs) &&
                    writeFile(dir + "/efs.bin", pieces.efs) &&
                    writeFile(dir + "/sku.txt", text(std::to_string(pieces.skuId)));
    return ok ? 0 : 1;
}
