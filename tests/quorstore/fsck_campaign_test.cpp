// The corruption campaign: one flipped byte at a time in every piece of a
// sample bundle (after one commit), then fsck in this process. For every
// flip, fsck reports damage, or every NVAR and every file reads back as
// before and the trial commit succeeds; never "clean" with a changed value
// or a failing commit.
//
// Two kinds of flip: on the disk after the commit (bundle.json unchanged),
// and inside a region before it was sealed (bundle.json resealed over it),
// which only the file systems' own checks and fsck's storage checks can
// find (and, for the configuration tables, fsck's cross-check of their
// entries against the file table). Offsets are sampled with a stride; QUOR_CAMPAIGN_STRIDE=1 flips
// every byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "bundle.h"
#include "file_bytes.h"
#include "fsck.h"
#include "piece_checksum.h"
#include "quorstorage/quorstorage.h"
#include "storage_session.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUOR_CAMPAIGN_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUOR_CAMPAIGN_SANITIZED 1
#endif

namespace quorstore {
namespace {

namespace fs = std::filesystem;

// Sanitizers make every fsck several times slower: sample a third as much.
#ifdef QUOR_CAMPAIGN_SANITIZED
constexpr size_t kStrideFactor = 3;
#else
constexpr size_t kStrideFactor = 1;
#endif
using nlohmann::json;
using Values = std::map<std::string, Bytes>;

// Every NVAR of the current table and every file of both file systems.
Values read_everything(const fs::path &folder) {
    Values values;
    Bundle bundle = load_bundle(folder);
    StorageCloser closer;
    open_storage(bundle);
    for (const FileTableEntry &e : file_table_entries()) {
        uint8_t *value = nullptr;
        uint32_t size = 0;
        const uint32_t table = static_cast<uint32_t>(NvarTable::kCurrent);
        if (kamfsCheckNvarExists(e.name.c_str(), table) &&
            kaMfsNvarGet(e.name.c_str(), &value, &size, table, nullptr, nullptr)) {
            values["nvar " + e.name].assign(value, value + (value != nullptr ? size : 0));
        }
    }
    for (uint32_t i = 0; dfs_context != nullptr && i < dfs_context->fileCount; ++i) {
        Bytes bytes;
        if (read_dfs_file(dfs_number(FileSystem::kAfs, i), bytes) == 0) {
            values["afs " + std::to_string(i)] = bytes;
        }
    }
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        Bytes bytes;
        if (read_efs_file(i, bytes) == 0) {
            values["efs " + std::to_string(i)] = bytes;
        }
    }
    take_reports();
    return values;
}

struct Counts {
    int flips = 0;
    int damage = 0;    // fsck reported damage
    int harmless = 0;  // clean, and everything reads back as before
    int lying = 0;     // clean, but a value changed or the commit failed
};

class FsckCampaign : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/quorstore-campaign-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        const std::string tool = QUORSTORE_BINARY;
        const std::string sample = (root_ / "sample").string();
        const std::string build = tool + " mkimage " + QUORSTORE_SOURCE_DIR +
                                  "/examples/demo.json -o " + sample + " >/dev/null && " + tool +
                                  " nvar set " + sample +
                                  " /home/net/hostname=gw-c /home/mfg/region:hex=4a50 >/dev/null";
        ASSERT_EQ(std::system(build.c_str()), 0);
        baseline_ = new Values(read_everything(sample));
    }
    static void TearDownTestSuite() {
        delete baseline_;
        fs::remove_all(root_);
    }

    void SetUp() override {
        const char *stride = std::getenv("QUOR_CAMPAIGN_STRIDE");
        stride_ = stride != nullptr ? std::max(1, std::atoi(stride)) : 0;
        work_ = root_ / "work";
        fs::remove_all(work_);
        fs::copy(root_ / "sample", work_);
    }

    void reseal(const std::string &piece, const Bytes &bytes) const {
        json doc = json::parse(read_bytes(work_ / kBundleJson));
        doc["pieces"][piece]["sha256"] = sha256_hex(bytes);
        const std::string text = doc.dump(2);
        write_bytes(work_ / kBundleJson, Bytes(text.begin(), text.end()));
    }

    // Flips byte `offset` of `piece` (resealed or not), runs fsck, sorts the
    // outcome, and puts the piece back.
    void flip(const std::string &piece, size_t offset, bool sealed, Counts &counts) {
        const Bytes original = read_bytes(root_ / "sample" / piece);
        Bytes damaged = original;
        damaged[offset] ^= 0xFF;
        write_bytes(work_ / piece, damaged);
        if (sealed) {
            reseal(piece, damaged);
        }
        ++counts.flips;
        const FsckReport report = fsck_bundle(work_, FsckOptions{});
        if (!report.damage.empty() || !report.operational_error.empty()) {
            ++counts.damage;
        } else {
            Values now;
            try {
                now = read_everything(work_);
            } catch (const std::exception &) {
            }
            if (report.trial_commit && now == *baseline_) {
                ++counts.harmless;
            } else {
                ++counts.lying;
                ADD_FAILURE() << piece << " offset " << offset << (sealed ? " (sealed)" : "")
                              << ": fsck says clean, but "
                              << (report.trial_commit ? "a value changed" : "a commit fails");
            }
        }
        write_bytes(work_ / piece, original);
        write_bytes(work_ / kBundleJson, read_bytes(root_ / "sample" / kBundleJson));
    }

    // Flips bytes `begin` to `end` of `piece` (to its end when `end` is 0).
    void campaign(const std::string &piece, size_t default_stride, bool sealed, size_t begin = 0,
                  size_t end = 0) {
        const size_t size = end != 0 ? end : fs::file_size(root_ / "sample" / piece);
        const size_t stride =
            stride_ != 0 ? static_cast<size_t>(stride_) : default_stride * kStrideFactor;
        Counts counts;
        for (size_t offset = begin; offset < size; offset += stride) {
            flip(piece, offset, sealed, counts);
        }
        RecordProperty("flips", counts.flips);
        RecordProperty("damage", counts.damage);
        RecordProperty("harmless", counts.harmless);
        std::printf("%s%s: %d flips, %d damage reported, %d harmless, %d lying\n", piece.c_str(),
                    sealed ? " (sealed)" : "", counts.flips, counts.damage, counts.harmless,
                    counts.lying);
        EXPECT_EQ(counts.lying, 0);
        EXPECT_GT(counts.flips, 0);
    }

    static fs::path root_;
    static Values *baseline_;
    fs::path work_;
    int stride_ = 0;
};

fs::path FsckCampaign::root_;
Values *FsckCampaign::baseline_ = nullptr;

TEST_F(FsckCampaign, FlipsOnDiskInEveryPieceAreDamage) {
    campaign(kBundleJson, 7, false);
    campaign(kPieceFileTable, 211, false);
    campaign(kPieceVendorCfg, 53, false);
    campaign(kPieceToolCfg, 53, false);
    campaign(kPieceAfs, 4099, false);
    campaign(kPieceEfs, 997, false);
}

TEST_F(FsckCampaign, FlipsSealedIntoTheEfsRegionAreFoundOrHarmless) {
    campaign(kPieceEfs, 97, true);
}

TEST_F(FsckCampaign, FlipsSealedIntoTheAfsRegionAreFoundOrHarmless) {
    campaign(kPieceAfs, 521, true);
}

// The count and entries of both configuration tables (file numbers, payload
// offsets and sizes, flags): no checksum covers them, so a flip sealed into
// them must break what the tables agree on with the file table and each
// other. (Payload bytes are values: a changed value of an NVAR kept in the
// tables alone cannot be told from a set one.) A stride of 7 reaches every
// byte of the 12-byte entries in some entry.
TEST_F(FsckCampaign, FlipsSealedIntoTheConfigurationTableEntriesAreFoundOrHarmless) {
    const Bytes vendor = read_bytes(root_ / "sample" / kPieceVendorCfg);
    const Bytes tool = read_bytes(root_ / "sample" / kPieceToolCfg);
    ASSERT_GE(tool.size(), 20u);
    auto entries_end = [](const Bytes &b, size_t start) {
        const size_t count = b[start] | b[start + 1] << 8 | b[start + 2] << 16;
        return start + 4 + 12 * count;
    };
    campaign(kPieceVendorCfg, 7, true, 0, entries_end(vendor, 0));
    campaign(kPieceToolCfg, 7, true, 8, entries_end(tool, 16));
}

}  // namespace
}  // namespace quorstore
