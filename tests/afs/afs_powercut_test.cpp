// Power cuts at every flash program and erase of a file-level workload.
//
// A workload of creates, overwrites, truncations and deletes of a dozen
// files runs on a four-unit partition (one dynamic unit, two reserved units
// and the spare), so that dynamic and reserved reclaims happen many times.
// The workload is replayed from the same formatted image with power cut
// inside its driver programs and erases (support/power_cut_plan.h); a fresh
// mount must then succeed and show every file as it was before the
// interrupted operation or as it is after it, and the volume must still
// accept writes and remount with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "afs_model.h"
#include "common/flash_fault.h"
#include "support/power_cut_plan.h"

namespace {

using namespace afs_test;
namespace fault = quor::flash_fault;

constexpr uint32_t kFlash = 4 * 8192;
constexpr uint32_t kFiles = 65;
constexpr int32_t kUsedFiles = 12;
constexpr uint32_t kMaxSize = 900;
constexpr uint32_t kOps = 200;
// The workload remounts every kSegment operations; a replay starts from the
// image of the last remount, which rebuilds exactly the RAM state the
// uninterrupted run had there.
constexpr size_t kSegment = 10;

struct Reference {
    std::vector<std::vector<uint8_t>> segmentImages;  // image at each remount
    std::vector<uint64_t> segmentStart;               // driver operations before it
    std::vector<Op> ops;
    std::vector<Model> states;                 // states[i]: after the first i operations
    std::vector<uint64_t> boundaries;          // driver operations done after op i
    std::vector<fault::Operation> operations;  // every driver operation
};

Reference build_reference() {
    Reference ref;
    Volume vol(kFlash, kFiles);
    EXPECT_EQ(vol.format(), 0u);
    Rng rng(7);
    Model model;
    ref.states.push_back(model);
    fault::disarm();
    fault::record_operations(true);
    for (uint32_t i = 0; i < kOps; ++i) {
        if (i % kSegment == 0) {
            ref.segmentImages.push_back(vol.flash());
            ref.segmentStart.push_back(fault::operation_count());
            EXPECT_EQ(vol.mount(), 0u);
        }
        const Op op = random_op(rng, model, kUsedFiles, kMaxSize, i + 1);
        EXPECT_EQ(run(vol, op), 0u) << describe(op);
        apply(model, op);
        ref.ops.push_back(op);
        ref.states.push_back(model);
        ref.boundaries.push_back(fault::operation_count());
    }
    EXPECT_EQ(check_volume(vol, model, kUsedFiles), "");
    ref.operations = fault::recorded_operations();
    fault::record_operations(false);
    return ref;
}

TEST(AfsPowerCut, EveryFileIsOldOrNewAfterACutAtAnyFlashOperation) {
    fault::Guard guard;
    const Reference ref = build_reference();
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(ref.operations.size(), ref.boundaries.back());
    power_cut::Tally tally;
    for (const power_cut::Point &p : power_cut::plan(ref.operations, power_cut::test_seed(), 3)) {
        const std::string where = power_cut::describe(p);
        size_t op = 0;
        while (ref.boundaries[op] < p.k) {
            ++op;
        }
        const size_t segment = op / kSegment;
        Volume vol(kFlash, kFiles);
        vol.flash() = ref.segmentImages[segment];
        ASSERT_EQ(vol.mount(), 0u);
        power_cut::Point local = p;
        local.k -= ref.segmentStart[segment];
        power_cut::arm(local);
        for (size_t i = segment * kSegment; i <= op && !fault::power_is_cut(); ++i) {
            run(vol, ref.ops[i]);
        }
        ASSERT_TRUE(fault::power_is_cut()) << where << " was not reached";
        fault::disarm();
        ASSERT_EQ(vol.mount(), 0u) << where << " in " << describe(ref.ops[op]) << ": mount";
        const std::string before = check_volume(vol, ref.states[op], kUsedFiles);
        const std::string after = check_volume(vol, ref.states[op + 1], kUsedFiles);
        ASSERT_TRUE(before.empty() || after.empty())
            << where << " in op " << op << " (" << describe(ref.ops[op]) << "): not the old state ("
            << before << ") nor the new one (" << after << ")";
        // The recovered volume keeps working and keeps what it showed.
        Model model = before.empty() ? ref.states[op] : ref.states[op + 1];
        const std::vector<uint8_t> probe = pattern(150, 99, static_cast<uint32_t>(p.k));
        ASSERT_EQ(vol.write(kUsedFiles, 0, probe, kAfsWriteTruncate), 0u) << where;
        model[kUsedFiles] = probe;
        ASSERT_EQ(vol.mount(), 0u) << where << ": remount after a further write";
        ASSERT_EQ(check_volume(vol, model, kUsedFiles + 1), "") << where << ", remounted";
        tally.add(p, true);
    }
    tally.report("AFS files");
    std::cout << "  over " << ref.ops.size() << " file operations, " << ref.operations.size()
              << " flash operations\n";
    EXPECT_GT(ref.operations.size(), 1000u) << "the workload should exercise many flash operations";
}

// Recovers from one cut of the reference workload: the image after the cut,
// the index of the interrupted file operation, and the state the mount shows
// (old or new). False when the cut was not reached or the state is neither.
struct Recovered {
    std::vector<uint8_t> image;
    size_t op = 0;
    Model model;
};

bool recover(const Reference &ref, const power_cut::Point &p, Recovered *out) {
    size_t op = 0;
    while (ref.boundaries[op] < p.k) {
        ++op;
    }
    const size_t segment = op / kSegment;
    Volume vol(kFlash, kFiles);
    vol.flash() = ref.segmentImages[segment];
    if (vol.mount() != 0) {
        return false;
    }
    power_cut::Point local = p;
    local.k -= ref.segmentStart[segment];
    power_cut::arm(local);
    for (size_t i = segment * kSegment; i <= op && !fault::power_is_cut(); ++i) {
        run(vol, ref.ops[i]);
    }
    const bool reached = fault::power_is_cut();
    fault::disarm();
    if (!reached || vol.mount() != 0) {
        return false;
    }
    out->op = op;
    out->image = vol.flash();
    if (check_volume(vol, ref.states[op], kUsedFiles).empty()) {
        out->model = ref.states[op];
    } else if (check_volume(vol, ref.states[op + 1], kUsedFiles).empty()) {
        out->model = ref.states[op + 1];
    } else {
        return false;
    }
    return true;
}

// The mount never writes: whatever a cut left half done is finished or
// undone by the writes after it. For a sample of first cuts, the next few
// file operations of the workload run on the recovered volume with power cut
// at each of their flash operations (one cut of any shape each); the volume
// must mount with every file as recovered or as the completed operations
// left it.
TEST(AfsPowerCut, CutDuringTheFirstWritesAfterARecoveryKeepsFilesAsRecovered) {
    fault::Guard guard;
    const Reference ref = build_reference();
    ASSERT_FALSE(HasFailure());
    const uint64_t seed = power_cut::test_seed();
    const power_cut::Level level = power_cut::level();
    const size_t stride = level == power_cut::Level::kLong    ? 1
                          : level == power_cut::Level::kQuick ? 200
                                                              : 24;
    constexpr size_t kResumeOps = 4;
    const std::vector<power_cut::Point> firsts = power_cut::plan(ref.operations, seed, 1);
    power_cut::Tally tally;
    uint64_t sampled = 0;
    for (size_t f = 0; f < firsts.size(); f += stride) {
        const std::string first = power_cut::describe(firsts[f]);
        Recovered rec;
        ASSERT_TRUE(recover(ref, firsts[f], &rec)) << first << ": no old or new state";
        const size_t from = rec.op + 1;
        const size_t to = std::min(ref.ops.size(), from + kResumeOps);
        if (from >= to) {
            continue;
        }
        ++sampled;
        for (uint64_t k2 = 1;; ++k2) {
            power_cut::Point p2 = power_cut::any_cut(k2, power_cut::mix(seed, f));
            Volume vol(kFlash, kFiles);
            vol.flash() = rec.image;
            fault::disarm();
            ASSERT_EQ(vol.mount(), 0u) << first;
            // There is nothing to cut in the recovery mount: it never writes.
            ASSERT_EQ(fault::operation_count(), 0u) << first << ": the recovery mount wrote";
            fault::record_operations(true);
            power_cut::arm(p2);
            Model before = rec.model;
            Model after = rec.model;
            for (size_t i = from; i < to && !fault::power_is_cut(); ++i) {
                before = after;
                afs_test::apply(after, ref.ops[i]);
                run(vol, ref.ops[i]);
            }
            const bool reached = fault::power_is_cut();
            fault::disarm();
            if (!reached) {
                break;  // the resumed operations made fewer than k2 flash operations
            }
            power_cut::note_operation(p2);
            const std::string where = first + ", then at resumed operation " + std::to_string(k2) +
                                      " (" + power_cut::describe(p2) + ")";
            ASSERT_EQ(vol.mount(), 0u) << where << ": mount";
            const std::string old = check_volume(vol, before, kUsedFiles);
            const std::string now = check_volume(vol, after, kUsedFiles);
            ASSERT_TRUE(old.empty() || now.empty())
                << where << ": not the old state (" << old << ") nor the new one (" << now << ")";
            tally.add(p2, true);
        }
    }
    tally.report("AFS files, second cuts");
    std::printf("  after %llu sampled first cuts\n", static_cast<unsigned long long>(sampled));
    EXPECT_GT(tally.tried(), sampled);
}

// A format cut short leaves either no FTL, an FTL without a volume header,
// or a complete volume: the next mount with the format flags always gives a
// working volume, and an FTL whose units already carry the new geometry
// takes a header even when formatting is not allowed.
TEST(AfsPowerCut, InterruptedFormatIsCompletedByTheNextMount) {
    fault::Guard guard;
    std::vector<fault::Operation> operations;
    {
        Volume vol(kFlash, kFiles);
        fault::disarm();
        fault::record_operations(true);
        ASSERT_EQ(vol.format(), 0u);
        operations = fault::recorded_operations();
    }
    uint32_t headerOnly = 0;
    power_cut::Tally tally;
    for (const power_cut::Point &p : power_cut::plan(operations, power_cut::test_seed(), 3)) {
        const std::string where = power_cut::describe(p);
        Volume vol(kFlash, kFiles);
        power_cut::arm(p);
        vol.format();
        fault::disarm();
        const uint32_t status = vol.mount(kAfsDfsMountFlags | kAfsNewHeader);
        if (status == 0) {
            ++headerOnly;
        } else {
            ASSERT_EQ(vol.mount(kFormatFlags), 0u) << where;
        }
        const std::vector<uint8_t> data = pattern(300, 1, static_cast<uint32_t>(p.k));
        ASSERT_EQ(vol.write(1, 0, data), 0u) << where;
        ASSERT_EQ(vol.mount(), 0u) << where;
        std::vector<uint8_t> back;
        ASSERT_EQ(vol.read_all(1, &back), 0u) << where;
        EXPECT_EQ(back, data) << where;
        tally.add(p, !HasFailure());
    }
    tally.report("AFS format");
    // Cuts during the header write leave a formatted FTL without a header.
    EXPECT_GT(headerOnly, 0u);
}

}  // namespace
