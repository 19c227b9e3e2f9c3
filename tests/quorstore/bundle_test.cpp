#include "bundle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "errors.h"

namespace quorstore {
namespace {

namespace fs = std::filesystem;

class QuorstoreBundle : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorstore-bundle-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    Bundle sample() const {
        Bundle b;
        b.folder = root_ / "b";
        b.sku = 0x11;
        b.pieces[kPieceFileTable] = Bytes(1024, 0x46);
        b.pieces[kPieceVendorCfg] = Bytes{1, 0, 0, 0};
        b.pieces[kPieceAfs] = Bytes(32768, 0xFF);
        return b;
    }

    static std::string error_of(const fs::path &folder) {
        try {
            load_bundle(folder);
        } catch (const ToolError &e) {
            return e.lines().at(0);
        }
        return "no error";
    }

    fs::path root_;
};

TEST_F(QuorstoreBundle, SavedBundleLoadsBackByteForByte) {
    Bundle b = sample();
    save_bundle(b, {kPieceFileTable, kPieceVendorCfg, kPieceAfs});
    const Bundle loaded = load_bundle(b.folder);
    EXPECT_EQ(loaded.sku, 0x11u);
    EXPECT_EQ(loaded.pieces, b.pieces);
    for (const auto &entry : fs::directory_iterator(b.folder)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
            << "temporary file left: " << entry.path();
    }
}

TEST_F(QuorstoreBundle, TruncatedMissingAndUnlistedPiecesAreNamed) {
    Bundle b = sample();
    save_bundle(b, {kPieceFileTable, kPieceVendorCfg, kPieceAfs});
    fs::resize_file(b.folder / kPieceAfs, 1000);
    EXPECT_NE(error_of(b.folder).find("mfs.bin: truncated: 1000 of 32768 bytes"), std::string::npos)
        << error_of(b.folder);
    fs::remove(b.folder / kPieceAfs);
    EXPECT_NE(error_of(b.folder).find("mfs.bin: missing"), std::string::npos) << error_of(b.folder);
    EXPECT_NE(error_of(root_ / "nowhere").find("no such bundle folder"), std::string::npos);
    EXPECT_NE(error_of(b.folder / kPieceFileTable).find("ftbl.bin: not a folder"),
              std::string::npos)
        << error_of(b.folder / kPieceFileTable);
    std::ofstream(b.folder / kBundleJson) << R"({"format": "quorstore-bundle", "version": 1,
        "sku": 17, "pieces": {"ostra.cfg": 4}})";
    EXPECT_NE(error_of(b.folder).find("required piece ftbl.bin"), std::string::npos)
        << error_of(b.folder);
    std::ofstream(b.folder / kBundleJson) << "{\"format\": ";
    EXPECT_NE(error_of(b.folder).find("Invalid JSON Parameter(s).: "), std::string::npos)
        << error_of(b.folder);
}

TEST_F(QuorstoreBundle, FailedSaveLeavesEveryPieceAsItWas) {
    Bundle b = sample();
    save_bundle(b, {kPieceFileTable, kPieceVendorCfg, kPieceAfs});
    const auto before = load_bundle(b.folder).pieces;  // the lock ends with the statement
    // A folder where ostra.cfg's staged file must go makes its staging fail
    // after mfs.bin's has been staged (pieces are staged in name order).
    b.pieces[kPieceAfs] = Bytes(32768, 0x00);
    b.pieces[kPieceVendorCfg] = Bytes{2, 0, 0, 0};
    fs::create_directory(b.folder / ".ostra.cfg.new");
    try {
        save_bundle(b, {kPieceVendorCfg, kPieceAfs});
        ADD_FAILURE() << "the save succeeded";
    } catch (const ToolError &e) {
        EXPECT_NE(e.lines().at(0).find("ostra.cfg: Is a directory; the bundle is unchanged"),
                  std::string::npos)
            << e.lines().at(0);
    }
    EXPECT_EQ(load_bundle(b.folder).pieces, before);
    EXPECT_FALSE(fs::exists(b.folder / ".mfs.bin.new"));
}

}  // namespace
}  // namespace quorstore
