// Power cut during a commit: at every flash write and erase of a commit that
// changes NVARs on AFS and on EFS, the image must open again afterwards with
// every NVAR holding its old or its new value. Run on the standard image and
// on one whose AFS is as full as the commit allows, there also with a second
// cut: the file systems finish an interrupted reclaim or block-map switch at
// their first write after the mount, so a cut during the next commit
// interrupts that recovery.
#include <gtest/gtest.h>

#include <cstring>

#include "common/flash_fault.h"
#include "interface/kamfs.h"
#include "kamfs_fixture.h"
#include "support/power_cut_plan.h"

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
    if (!kaMfsNvarGet(name, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr)) {
        return bytesOf("<unreadable>");
    }
    return data == nullptr ? Bytes{} : Bytes(data, data + size);
}

// The standard image, the skipped NVAR loaded so that its file's value is
// observed; with a filler, the AFS region is 32 KiB and a plain file of
// `filler` bytes takes most of its chunks.
imagekit::ImageDescription description(uint32_t filler = 0) {
    imagekit::ImageDescription d = standardDescription();
    d.skus[0].files[4].attributes = 0;
    if (filler != 0) {
        d.afs.regionSize = 32768;
        d.afs.fileCount = 65;
        imagekit::FileSpec f = d.skus[0].files[6];  // a plain file, not an NVAR
        f.name = "/home/sys/filler";
        f.fileno = 0x1000010C;
        f.fileIndex = 12;
        f.inFileSystem = true;
        f.fsContent = Bytes(filler, 0x5A);
        f.maxSize = filler;
        d.skus[0].files.push_back(f);
    }
    return d;
}

// The largest filler (in whole chunks) with which the changes still commit:
// the commit then runs with the fewest free chunks it can do with.
uint32_t nearlyFullFiller() {
    // The region's chunks hold well under 20 KiB; larger fillers only make
    // the builder refuse.
    for (uint32_t filler = 20480; filler >= 64; filler -= 64) {
        imagekit::ImagePieces pieces;
        if (!imagekit::buildImage(description(filler), pieces, nullptr)) {
            continue;
        }
        _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(pieces);
        if (!kaMfsQuorInit(&record, recordReport)) {
            continue;
        }
        const bool committed = applyChanges(changes()) && kaMfsNvarTerm(false);
        if (kaFcsIsInitialized()) {
            kaMfsNvarTerm(false);
        }
        reports().clear();
        if (committed) {
            return filler;
        }
    }
    return 0;
}

struct Tally {
    uint64_t first = 0;   // cut points of the first commit tried
    uint64_t second = 0;  // pairs (first cut, cut during the next commit) tried
    uint64_t failed = 0;  // of all of them, those that left a bad image
    power_cut::Tally cuts;
};

// Opens `record`, expects every NVAR to hold one of `allowed[i]` or the new
// value; records what it holds into `seen`. False on any mismatch.
bool reopenAndCheck(_commonQuorTable &record, const std::vector<Change> &list,
                    const std::vector<Bytes> &allowed, std::vector<Bytes> *seen,
                    const std::string &where) {
    reports().clear();
    const bool opened = kaMfsQuorInit(&record, recordReport);
    EXPECT_TRUE(opened) << where << ": the image no longer opens";
    if (!opened) {
        return false;
    }
    EXPECT_TRUE(kaMfsIsVfsDeployed()) << where;
    bool allGood = true;
    for (size_t i = 0; i < list.size(); ++i) {
        const Change &c = list[i];
        const Bytes got = currentValue(c.name);
        const bool ok = got == allowed[i] || got == c.newValue;
        EXPECT_TRUE(ok) << where << ": " << c.name << " got " << hexOf(got) << ", expected "
                        << hexOf(allowed[i]) << " or new " << hexOf(c.newValue);
        allGood = allGood && ok;
        if (seen != nullptr) {
            seen->push_back(got);
        }
    }
    return allGood;
}

// Cuts power at every flash operation k of the commit (and, with
// `secondStride`, for every secondStride-th k, at every operation of the next
// commit made after reopening); then the image must open with old or new
// values, and after a second cut a value seen new stays new. The recovered
// image must commit once more and show the new values.
Tally cutEveryCommitOperation(const imagekit::ImageDescription &d, uint64_t secondStride,
                              const std::string &workload) {
    Tally t;
    const imagekit::ImagePieces pristine = build(d);
    const std::vector<Change> list = changes();
    std::vector<Bytes> oldValues;
    for (const Change &c : list) {
        oldValues.push_back(c.oldValue);
    }

    // Count the flash operations of an uninterrupted commit.
    imagekit::ImagePieces run = pristine;
    _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(run);
    EXPECT_TRUE(reopenAndCheck(record, list, oldValues, nullptr, "pristine image"));
    EXPECT_TRUE(applyChanges(list));
    ff::disarm();
    ff::record_operations(true);
    EXPECT_TRUE(kaMfsNvarTerm(false)) << "the uninterrupted commit failed";
    const std::vector<ff::Operation> operations = ff::recorded_operations();
    EXPECT_GT(operations.size(), 0u);
    const uint64_t seed = power_cut::test_seed();

    auto commitWithCut = [&](const power_cut::Point &p) {
        EXPECT_TRUE(applyChanges(list));
        ff::record_operations(true);
        power_cut::arm(p);
        kaMfsNvarTerm(false);  // may fail or report success: the power is gone
        const bool reached = ff::power_is_cut();
        ff::disarm();
        return reached;
    };
    for (const power_cut::Point &p : power_cut::plan(operations, seed, 6)) {
        const uint64_t k = p.k;
        const std::string where =
            power_cut::describe(p) + " of " + std::to_string(operations.size());
        ++t.first;
        run = pristine;
        record = imagekit::makeRecord<_commonQuorTable>(run);
        ff::disarm();
        if (!kaMfsQuorInit(&record, recordReport) || !commitWithCut(p)) {
            ADD_FAILURE() << where << ": the cut was not reached";
            ++t.failed;
            continue;
        }
        std::vector<Bytes> seen;
        bool good = reopenAndCheck(record, list, oldValues, &seen, where);
        if (secondStride != 0 && k % secondStride == 0 && good) {
            const imagekit::ImagePieces afterFirst = run;
            kaMfsNvarTerm(false);
            // The next commit's operations, from an uncut run on the reopened image.
            run = afterFirst;
            record = imagekit::makeRecord<_commonQuorTable>(run);
            ff::disarm();
            EXPECT_TRUE(kaMfsQuorInit(&record, recordReport)) << where << ": reopening failed";
            EXPECT_TRUE(applyChanges(list)) << where;
            ff::record_operations(true);
            EXPECT_TRUE(kaMfsNvarTerm(false)) << where << ": the next commit failed";
            const std::vector<ff::Operation> next = ff::recorded_operations();
            for (power_cut::Point p2 :
                 power_cut::second_cuts(next, power_cut::mix(seed, t.first))) {
                const std::string where2 =
                    where + ", then in the next commit at " + power_cut::describe(p2);
                run = afterFirst;
                record = imagekit::makeRecord<_commonQuorTable>(run);
                if (!kaMfsQuorInit(&record, recordReport)) {
                    ADD_FAILURE() << where2 << ": reopening failed";
                    break;
                }
                if (!commitWithCut(p2)) {
                    ADD_FAILURE() << where2 << ": the cut was not reached";
                    break;
                }
                ++t.second;
                const bool good2 = reopenAndCheck(record, list, seen, nullptr, where2);
                t.failed += good2 ? 0 : 1;
                t.cuts.add(p2, good2);
                kaMfsNvarTerm(false);
            }
            run = afterFirst;
            record = imagekit::makeRecord<_commonQuorTable>(run);
            good = reopenAndCheck(record, list, seen, nullptr, where + ", reopened");
        }
        t.failed += good ? 0 : 1;
        t.cuts.add(p, good);
        // The recovered image keeps working: a further commit and a reopen.
        EXPECT_TRUE(applyChanges(list)) << where;
        EXPECT_TRUE(kaMfsNvarTerm(false)) << where << ": commit after recovery";
        std::vector<Bytes> newValues;
        for (const Change &c : list) {
            newValues.push_back(c.newValue);
        }
        EXPECT_TRUE(reopenAndCheck(record, list, newValues, nullptr, where + ", recommitted"));
        EXPECT_TRUE(kaMfsNvarTerm(false));
        EXPECT_TRUE(reportsAre({})) << where;
        if (::testing::Test::HasFatalFailure()) {
            break;
        }
    }
    t.cuts.report(workload);
    std::printf("[ power-cut ] commit: %llu single cuts, %llu double cuts tried, %llu failed\n",
                static_cast<unsigned long long>(t.first), static_cast<unsigned long long>(t.second),
                static_cast<unsigned long long>(t.failed));
    return t;
}

class KamfsPowerCut : public KamfsTest {};

TEST_F(KamfsPowerCut, EveryCutDuringCommitLeavesOldOrNewValues) {
    const Tally t = cutEveryCommitOperation(description(), 0, "commit with AFS and EFS NVARs");
    EXPECT_EQ(t.failed, 0u);
}

// On a nearly full AFS, at every cut of the commit; every 10th first cut is
// followed by a cut at every operation of the next commit, whose first
// writes finish the recovery the reopening found.
TEST_F(KamfsPowerCut, CutsDuringTwoCommitsOnANearlyFullAfsLeaveOldOrNewValues) {
    const uint32_t filler = nearlyFullFiller();
    ASSERT_GT(filler, 0u) << "no filler size lets the commit succeed";
    std::printf("[ power-cut ] AFS filler of %u bytes\n", filler);
    const Tally t =
        cutEveryCommitOperation(description(filler), 10, "commit twice on a nearly full AFS");
    EXPECT_GT(t.second, t.first);
    EXPECT_EQ(t.failed, 0u);
}

// One chunk more filler and the commit runs out of AFS space part-way: it
// fails, and the image still opens with every NVAR old or new.
TEST_F(KamfsPowerCut, CommitThatRunsOutOfAfsSpaceLeavesOldOrNewValues) {
    const uint32_t filler = nearlyFullFiller();
    ASSERT_GT(filler, 0u) << "no filler size lets the commit succeed";
    imagekit::ImagePieces pieces = build(description(filler + 64));
    _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(pieces);
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    const std::vector<Change> list = changes();
    ASSERT_TRUE(applyChanges(list));
    EXPECT_FALSE(kaMfsNvarTerm(false)) << "the commit should run out of space";
    if (kaFcsIsInitialized()) {
        kaMfsNvarTerm(false);
    }
    std::vector<Bytes> oldValues;
    for (const Change &c : list) {
        oldValues.push_back(c.oldValue);
    }
    EXPECT_TRUE(reopenAndCheck(record, list, oldValues, nullptr, "after the failed commit"));
    kaMfsNvarTerm(false);  // closed while the image pieces still exist
}

}  // namespace
}  // namespace kamfs_test
