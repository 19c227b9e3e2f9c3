// Running out of memory at every allocation of the storage interface while it
// opens and while it commits: each failure is reported, nothing crashes or
// leaks, and the image opens normally afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "common/heap_fault.h"
#include "interface/kamfs.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

namespace heap = quor::heap_fault;

class KamfsHeap : public KamfsTest {
  protected:
    void SetUp() override {
        KamfsTest::SetUp();
        pristine = build(standardDescription());
    }
    void TearDown() override {
        heap::disarm();
        KamfsTest::TearDown();
    }
    bool openRun() {
        run = pristine;
        record = imagekit::makeRecord<_commonQuorTable>(run);
        return kaMfsQuorInit(&record, recordReport);
    }
    bool change() {
        uint8_t *data = nullptr;
        if (!kaMfsNvarResize(kMtu.name, &data, 10)) {
            return false;
        }
        std::memcpy(data, "0123456789", 10);
        return kaMfsNvarResize(kEfsB.name, &data, 1);
    }
    std::set<int32_t> codes() const {
        std::set<int32_t> out;
        for (const Report &r : reports()) {
            out.insert(r.code);
        }
        return out;
    }
    imagekit::ImagePieces pristine, run;
    _commonQuorTable record{};
};

TEST_F(KamfsHeap, EveryFailedAllocationWhileOpeningIsReported) {
    heap::disarm();
    ASSERT_TRUE(openRun());
    const uint64_t allocations = heap::allocation_count();
    ASSERT_TRUE(kaMfsNvarTerm(false));
    for (uint64_t k = 1; k <= allocations; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(allocations));
        reports().clear();
        heap::fail_at(k);
        const bool opened = openRun();
        heap::disarm();
        ASSERT_FALSE(reports().empty());
        if (opened) {
            // Building the current values ignores a failed copy or addition;
            // each is reported (321, or the assertion of a missing entry).
            for (int32_t code : codes()) {
                EXPECT_TRUE(code == 0 || code == 321) << "report " << code;
            }
        } else {
            const int32_t last = reports().back().code;
            EXPECT_TRUE(last == 321 || last == 325 || last == 339) << "last report " << last;
        }
        if (kaFcsIsInitialized()) {
            ASSERT_TRUE(kaMfsNvarTerm(false));
        }
    }
    // The first allocations: the vendor table's buffer, its first entry, and
    // the read buffer of that entry's value.
    const std::vector<std::vector<Expected>> first = {
        {{321, "Ostra.cfg table"}}, {{320, ""}, {325, ""}}, {{321, "/home/efs/alpha"}, {325, ""}}};
    for (uint64_t k = 1; k <= first.size(); ++k) {
        reports().clear();
        heap::fail_at(k);
        EXPECT_FALSE(openRun());
        heap::disarm();
        EXPECT_TRUE(reportsAre(first[k - 1])) << "allocation " << k;
    }
    reports().clear();
    ASSERT_TRUE(openRun());
    EXPECT_TRUE(reportsAre({}));
}

TEST_F(KamfsHeap, EveryFailedAllocationWhileCommittingAbortsOrIsReported) {
    ASSERT_TRUE(openRun());
    ASSERT_TRUE(change());
    heap::disarm();
    ASSERT_TRUE(kaMfsNvarTerm(true));
    const uint64_t allocations = heap::allocation_count();
    ASSERT_TRUE(kaMfsNvarTerm(false));
    for (uint64_t k = 1; k <= allocations; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(allocations));
        ASSERT_TRUE(openRun());
        ASSERT_TRUE(change());
        reports().clear();
        heap::fail_at(k);
        const bool committed = kaMfsNvarTerm(true);
        heap::disarm();
        ASSERT_FALSE(reports().empty());
        if (committed) {
            EXPECT_TRUE(kaFcsIsInitialized());
            for (int32_t code : codes()) {  // a current value not rebuilt
                EXPECT_TRUE(code == 0 || code == 321) << "report " << code;
            }
        } else {
            EXPECT_EQ(reports().back().code, 345);
            EXPECT_FALSE(kaFcsIsInitialized());
            EXPECT_FALSE(kaMfsIsInitialized());
        }
        if (kaFcsIsInitialized()) {
            ASSERT_TRUE(kaMfsNvarTerm(false));
        }
    }
    // The first allocation copies the first NVAR: the commit aborts.
    ASSERT_TRUE(openRun());
    reports().clear();
    heap::fail_at(1);
    EXPECT_FALSE(kaMfsNvarTerm(true));
    EXPECT_TRUE(reportsAre({{321, kEfsA.name}, {345, kEfsA.name}}));
}

TEST_F(KamfsHeap, FailedResizeLeavesTheNvarAsItWas) {
    ASSERT_TRUE(openRun());
    reports().clear();
    heap::fail_at(1);
    uint8_t *data = nullptr;
    EXPECT_FALSE(kaMfsNvarResize(kHost.name, &data, 100));
    heap::disarm();
    EXPECT_TRUE(reportsAre({{321, kHost.name}}));
    uint32_t size = 0;
    ASSERT_TRUE(kaMfsNvarGet(kHost.name, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "gateway.local");
}

}  // namespace
}  // namespace kamfs_test
