// The image builder's own encodings; the images it builds are exercised by
// every other storage interface test.
#include <gtest/gtest.h>

#include "common/bytes.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

using imagekit::Bytes;

TEST(KamfsImagekit, FcsBufferPlacesPayloadsBackToBack) {
    const Bytes buffer = imagekit::encodeFcsBuffer({{7, 1, {1, 2, 3}}, {9, 0, {4, 5, 6, 7, 8}}});
    ASSERT_EQ(buffer.size(), 4u + 24u + 8u);
    EXPECT_EQ(quor::load_le32(buffer.data()), 2u);
    EXPECT_EQ(quor::load_le32(buffer.data() + 4 + 4), 28u);   // first data_offset
    EXPECT_EQ(quor::load_le32(buffer.data() + 16 + 4), 31u);  // second data_offset
    EXPECT_EQ(quor::load_le16(buffer.data() + 16 + 8), 5u);
    std::vector<imagekit::FcsFile> files;
    ASSERT_TRUE(imagekit::decodeFcsBuffer(buffer.data(), buffer.size(), files));
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[1].fileno, 9u);
    EXPECT_EQ(hexOf(files[1].payload), "0405060708");
    EXPECT_FALSE(imagekit::decodeFcsBuffer(buffer.data(), buffer.size() - 1, files));
    const Bytes partition = imagekit::wrapToolPartition(buffer, 64);
    ASSERT_EQ(partition.size(), 64u);
    EXPECT_EQ(quor::load_le32(partition.data() + 8), buffer.size());
    EXPECT_EQ(partition[63], 0xFF);
}

TEST(KamfsImagekit, FileTableBufferListsEverySkuAndTheEfsLayout) {
    imagekit::ImageDescription d = standardDescription();
    std::string error;
    const Bytes table = imagekit::encodeFileTableBuffer(d, &error);
    ASSERT_GE(table.size(), 1024u) << error;
    EXPECT_EQ(quor::load_le32(table.data()), 0x4C425446u);
    ASSERT_EQ(quor::load_le32(table.data() + 12), 2u);
    const uint32_t offset = quor::load_le32(table.data() + 16 + 4);
    const uint32_t count = quor::load_le32(table.data() + 16 + 8);
    ASSERT_EQ(count, d.skus[0].files.size() + 1);  // the deploy marker is added
    const uint8_t *last = table.data() + offset + 68 * (count - 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(last), "/home/vex/deploy");
    EXPECT_EQ(quor::load_le16(last + 58), 1u);
    // EFS layout block after the three 16-byte headers: "EFST", two layouts.
    EXPECT_EQ(quor::load_le32(table.data() + 48), 0x54534645u);
    EXPECT_EQ(quor::load_le32(table.data() + 48 + 12), 2u);
    const uint8_t *layout = table.data() + 48 + 16;
    EXPECT_EQ(quor::load_le32(layout), kSku);
    EXPECT_EQ(quor::load_le32(layout + 8), 2u);  // two EFS file records
    const uint8_t *second = table.data() + quor::load_le32(layout + 4) + 60;
    EXPECT_EQ(quor::load_le16(second), kEfsB.index);
    EXPECT_EQ(quor::load_le16(second + 52), 4u + 100u);  // placed after alpha's record
}

TEST(KamfsImagekit, RefusesDescriptionsItCannotEncode) {
    imagekit::ImageDescription d = standardDescription();
    d.skus[0].files[1].fileIndex = kMtu.index;
    imagekit::ImagePieces pieces;
    std::string error;
    EXPECT_FALSE(imagekit::buildImage(d, pieces, &error));
    EXPECT_EQ(error, "AFS file index 3 is used twice (/home/net/host)");
    d = standardDescription();
    d.skus[0].files[0].name = std::string(49, 'n');
    EXPECT_FALSE(imagekit::buildImage(d, pieces, &error));
    d = standardDescription();
    d.buildSku = 99;
    EXPECT_FALSE(imagekit::buildImage(d, pieces, &error));
    EXPECT_EQ(error, "the description has no SKU 99");
}

}  // namespace
}  // namespace kamfs_test
