// A generated image of many NVARs (most in the tables only, some in AFS and
// EFS files, some with a tool value, some not NVARs at all), every NVAR
// changed and committed twice keeping the storage open, then closed.
//
// The configuration bytes of each commit are checked against a buffer built
// here from the expected values alone (files by name, payloads back to back),
// and the bytes of the configuration and of both file-system regions are
// pinned by their digests: the way the storage finds and orders its files may
// be made faster, but never changes a byte of what it produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "interface/kamfs.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

// 64-bit FNV-1a.
uint64_t fnv(const Bytes &bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) {
        h = (h ^ b) * 0x100000001b3ull;
    }
    return h;
}

std::string nvarName(size_t i) {
    // Names of different lengths, so that the name order is not the number order.
    return "/home/bulk/" + std::string(i % 3, 'x') + "n" + std::to_string(i);
}

bool isNvar(size_t i) {
    return i % 23 != 5;
}

bool hasToolValue(size_t i) {
    return i % 5 == 2;
}

Bytes valueOf(size_t i, uint32_t round) {
    Bytes value(1 + (i * 37 + round * 11) % 180);
    for (size_t k = 0; k < value.size(); ++k) {
        value[k] = static_cast<uint8_t>(i * 13 + k + round * 101);
    }
    return value;
}

imagekit::ImageDescription describe(size_t count) {
    imagekit::SkuSpec sku{7, {}};
    uint16_t afsIndex = 1;  // index 0 holds the deploy marker
    uint16_t efsIndex = 0;
    for (size_t i = 0; i < count; ++i) {
        imagekit::FileSpec f;
        f.name = nvarName(i);
        f.fileno = 0x10000000u + static_cast<uint32_t>(i) * 3 + 1;
        f.maxSize = 200;
        f.vendorValue = valueOf(i, 0);
        if (hasToolValue(i)) {
            f.toolValue = valueOf(i, 9);
        }
        if (!isNvar(i)) {
            f.flags = 0;
        }
        if (i % 8 == 0) {
            f.storage = imagekit::kStorageAfs;
            f.fileIndex = afsIndex++;
        } else if (i % 16 == 1) {
            f.storage = imagekit::kStorageEfs;
            f.fileIndex = efsIndex++;
        } else {
            f.attributes = QUOR_ATTR_TRAILER | QUOR_ATTR_NOT_LOADED;
            f.inFileSystem = false;
        }
        sku.files.push_back(std::move(f));
    }
    imagekit::ImageDescription d;
    d.skus.push_back(sku);
    d.buildSku = 7;
    d.afs.regionSize = 1024 * 1024;
    d.afs.fileCount = 512;
    d.efs.present = true;
    return d;
}

// The configuration a commit must produce: every NVAR with its value, in
// the order of the names the store keeps (the name and a closing "/").
Bytes expectedConfiguration(size_t count, uint32_t round) {
    std::vector<std::pair<std::string, imagekit::FcsFile>> files;
    for (size_t i = 0; i < count; ++i) {
        if (isNvar(i)) {
            files.push_back({nvarName(i) + "/",
                             {0x10000000u + static_cast<uint32_t>(i) * 3 + 1, imagekit::kFlagNvar,
                              valueOf(i, round)}});
        }
    }
    std::sort(files.begin(), files.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<imagekit::FcsFile> ordered;
    for (auto &named : files) {
        ordered.push_back(std::move(named.second));
    }
    return imagekit::encodeFcsBuffer(ordered);
}

// Digests taken from the storage as it was before its lookups were reworked.
struct Pins {
    size_t count;
    uint64_t firstConfiguration;
    uint64_t secondConfiguration;
    uint64_t afs;
    uint64_t efs;
};

class KamfsBulkImage : public KamfsTest, public ::testing::WithParamInterface<Pins> {
  protected:
    void changeEverything(size_t count, uint32_t round) {
        for (size_t i = 0; i < count; ++i) {
            if (!isNvar(i)) {
                continue;
            }
            const Bytes value = valueOf(i, round);
            uint8_t *data = nullptr;
            ASSERT_TRUE(
                kaMfsNvarResize(nvarName(i).c_str(), &data, static_cast<uint32_t>(value.size())))
                << nvarName(i);
            std::memcpy(data, value.data(), value.size());
        }
    }
    Bytes builtConfiguration() {
        uint8_t *buffer = nullptr;
        uint32_t size = 0;
        EXPECT_TRUE(kaMfsGetBuildTavCfgFcsBuffer(&buffer, &size));
        return buffer == nullptr ? Bytes{} : Bytes(buffer, buffer + size);
    }
};

TEST_P(KamfsBulkImage, EveryNvarChangedAndCommittedTwiceGivesThePinnedBytes) {
    const Pins &pins = GetParam();
    imagekit::ImagePieces pieces = build(describe(pins.count));
    _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(pieces);
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));

    changeEverything(pins.count, 1);
    ASSERT_TRUE(kaMfsNvarTerm(true));
    const Bytes first = builtConfiguration();
    EXPECT_TRUE(first == expectedConfiguration(pins.count, 1));

    changeEverything(pins.count, 2);
    ASSERT_TRUE(kaMfsNvarTerm(true));
    const Bytes second = builtConfiguration();
    EXPECT_TRUE(second == expectedConfiguration(pins.count, 2));
    ASSERT_TRUE(kaMfsNvarTerm(false));
    EXPECT_TRUE(reportsAre({}));

    EXPECT_EQ(fnv(first), pins.firstConfiguration) << std::hex << fnv(first);
    EXPECT_EQ(fnv(second), pins.secondConfiguration) << std::hex << fnv(second);
    EXPECT_EQ(fnv(pieces.afs), pins.afs) << std::hex << fnv(pieces.afs);
    EXPECT_EQ(fnv(pieces.efs), pins.efs) << std::hex << fnv(pieces.efs);
}

INSTANTIATE_TEST_SUITE_P(Sizes, KamfsBulkImage,
                         ::testing::Values(Pins{40, 0x8d6134ff8f2e2106, 0x780c925856b532ce,
                                                0x75e676f45f7c2a7a, 0xf0768b52c15bc334},
                                           Pins{1500, 0x6d9164f52f929a35, 0x48dd6896f6e8f410,
                                                0xc51f8fef93830a22, 0x27b1879e7dcad72c}),
                         [](const auto &info) { return std::to_string(info.param.count); });

}  // namespace
}  // namespace kamfs_test
