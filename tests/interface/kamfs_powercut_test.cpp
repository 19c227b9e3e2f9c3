// Power cut during a commit: at every flash write and erase of a commit that
// changes NVARs on AFS and on EFS, the image must open again afterwards with
// every NVAR holding its old or its new value.
#include <gtest/gtest.h>

#include <cstring>

#include "common/flash_fault.h"
#include "interface/kamfs.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

namespace ff = quor::flash_fault;
using imagekit::Bytes;

struct Change {
    const char *name;
    Bytes oldValue;
    Bytes newValue;
};

std::vector<Change> changes() {
    Bytes longer(200);
    for (size_t i = 0; i < longer.size(); ++i) {
        longer[i] = static_cast<uint8_t>(0x30 + i % 70);
    }
    return {{kMtu.name, bytesOf("9000"), bytesOf("1234567890123456")},
            {kHost.name, bytesOf("gateway.local"), bytesOf("h")},
            {kEmptied.name, bytesOf("filled"), {}},
            {kSkip.name, bytesOf("file"), bytesOf("table")},
            {kEfsA.name, bytesOf("alpha-tool"), bytesOf("A")},
            {kEfsB.name, bytesOf("beta"), longer}};
}

bool applyChanges(const std::vector<Change> &list) {
    for (const Change &c : list) {
        uint8_t *data = nullptr;
        if (!kaMfsNvarResize(c.name, &data, static_cast<uint32_t>(c.newValue.size()))) {
            return false;
        }
        if (!c.newValue.empty()) {
            std::memcpy(data, c.newValue.data(), c.newValue.size());
        }
    }
    return true;
}

Bytes currentValue(const char *name) {
    uint8_t *data = nullptr;
    uint32_t size = 0;
    if (!kaMfsNvarGet(name, &data, &size, kFcsCurrentValues, nullptr, nullptr)) {
        return bytesOf("<unreadable>");
    }
    return data == nullptr ? Bytes{} : Bytes(data, data + size);
}

class KamfsPowerCut : public KamfsTest {};

TEST_F(KamfsPowerCut, EveryCutDuringCommitLeavesOldOrNewValues) {
    imagekit::ImageDescription d = standardDescription();
    // The skipped NVAR is loaded here, so that its file's value is observed.
    d.skus[0].files[4].attributes = 0;
    const imagekit::ImagePieces pristine = build(d);
    const std::vector<Change> list = changes();

    // Count the flash operations of an uninterrupted commit.
    imagekit::ImagePieces run = pristine;
    _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(run);
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    for (const Change &c : list) {
        ASSERT_EQ(hexOf(currentValue(c.name)), hexOf(c.oldValue)) << c.name;
    }
    ASSERT_TRUE(applyChanges(list));
    ff::disarm();
    ASSERT_TRUE(kaMfsNvarTerm(false));
    const uint64_t operations = ff::operation_count();
    ASSERT_GT(operations, 0u);

    uint64_t passed = 0;
    for (uint64_t k = 1; k <= operations; ++k) {
        SCOPED_TRACE("power cut at operation " + std::to_string(k) + " of " +
                     std::to_string(operations));
        run = pristine;
        record = imagekit::makeRecord<_commonQuorTable>(run);
        ff::disarm();
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
        ASSERT_TRUE(applyChanges(list));
        ff::cut_at(k);
        kaMfsNvarTerm(false);  // may fail or report success: the power is gone
        ff::disarm();

        reports().clear();
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport)) << "the image no longer opens";
        ASSERT_TRUE(kaMfsIsVfsDeployed());
        bool allGood = true;
        for (const Change &c : list) {
            const Bytes got = currentValue(c.name);
            const bool oldOrNew = got == c.oldValue || got == c.newValue;
            EXPECT_TRUE(oldOrNew) << c.name << ": got " << hexOf(got) << ", expected old "
                                  << hexOf(c.oldValue) << " or new " << hexOf(c.newValue);
            allGood = allGood && oldOrNew;
        }
        // The recovered image keeps working: a further commit and a reopen.
        ASSERT_TRUE(applyChanges(list));
        ASSERT_TRUE(kaMfsNvarTerm(false));
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
        for (const Change &c : list) {
            EXPECT_EQ(hexOf(currentValue(c.name)), hexOf(c.newValue))
                << c.name << " after recovery";
        }
        ASSERT_TRUE(kaMfsNvarTerm(false));
        EXPECT_TRUE(reportsAre({}));
        if (allGood) {
            ++passed;
        }
    }
    EXPECT_EQ(passed, operations);
    std::printf("power cuts tried: %llu, passed: %llu\n",
                static_cast<unsigned long long>(operations),
                static_cast<unsigned long long>(passed));
}

}  // namespace
}  // namespace kamfs_test
