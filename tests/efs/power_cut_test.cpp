#include <gtest/gtest.h>

#include <iostream>
#include <map>

#include "common/flash_fault.h"
#include "efs_fixture.h"
#include "support/power_cut_plan.h"

using namespace efs_test;
namespace ff = quor::flash_fault;

namespace {

using Content = std::optional<std::vector<uint8_t>>;
using Model = std::map<uint32_t, Content>;

struct Op {
    enum Kind { kWrite, kDelete, kIdle } kind;
    uint32_t file;
    Content data;
};

Op W(uint32_t f, size_t n, uint32_t seed) {
    return {Op::kWrite, f, pattern(n, seed)};
}
Op D(uint32_t f) {
    return {Op::kDelete, f, std::nullopt};
}
const Op kIdle{Op::kIdle, 0, std::nullopt};

// Writes and deletes of every file (continuations included), with idle
// reclaim between them; started with few BME slots left, it crosses a switch.
// With `idleFirst` an idle reclaim pre-erases the retired block map first;
// without it the switch itself must erase that block.
std::vector<Op> workload(bool idleFirst) {
    std::vector<Op> ops = {W(0, 60, 1),   W(3, 8000, 2), D(1),           W(2, 3000, 3),
                           W(4, 900, 4),  W(6, 68, 5),   kIdle,          W(3, 100, 6),
                           D(0),          W(1, 250, 7),  W(0, 0, 8),     kIdle,
                           W(2, 4000, 9), D(3),          W(4, 1000, 10), W(3, 7000, 11),
                           kIdle,         kIdle,         W(6, 5, 12),    D(2)};
    if (idleFirst) {
        ops.insert(ops.begin(), kIdle);
    }
    return ops;
}

const uint8_t kNone = 0;  // a zero-length write still passes a valid pointer

uint32_t run(const Op &op) {
    switch (op.kind) {
        case Op::kWrite:
            return EFS_write(op.file, 0, static_cast<uint32_t>(op.data->size()),
                             op.data->empty() ? &kNone : op.data->data());
        case Op::kDelete:
            return EFS_delete(op.file);
        case Op::kIdle:
            return EFS_idle_reclaim();
    }
    return 99;
}

void apply_op(Model &m, const Op &op) {
    if (op.kind != Op::kIdle) {
        m[op.file] = op.data;
    }
}

// The formatted region, its files written, with the current block map nearly full.
class EfsPowerCutTest : public EfsRegionTest {
  protected:
    void SetUp() override {
        Layout l = default_layout();
        l.threshold = 3;  // low enough that wear levelling moves blocks during the workload
        format(l);
        for (uint32_t f : {0u, 1u, 2u, 3u, 4u, 6u}) {
            const Op op = W(f, f == 3 ? 5000 : 40 + f, 100 + f);
            ASSERT_EQ(run(op), 0u);
            apply_op(initial_, op);
        }
        // Through one switch (block map 0 is retired), then nearly to the end of block map 1.
        while (efs_ctx.current_bm == 0 || efs_ctx.bme_offset < 4064 - 6 * 22) {
            ASSERT_EQ(run(W(0, 40, 200)), 0u);
        }
        apply_op(initial_, W(0, 40, 200));
        snapshot_ = image();
        startBm_ = efs_ctx.current_bm;
    }
    uint32_t mount_snapshot() {
        copy_ = snapshot_;
        return EFS_init_tools(copy_.data());
    }
    // Every file reads as in `a` or in `b`.
    void expect_files(const Model &a, const Model &b, const std::string &where) {
        for (const auto &entry : a) {
            uint32_t st = 0;
            const Content got = read_all(entry.first, &st);
            ASSERT_TRUE(st == 0 || st == 2) << where << " file " << entry.first << " status " << st;
            const Content &other = b.at(entry.first);
            ASSERT_TRUE(got == entry.second || got == other)
                << where << " file " << entry.first << ": got " << describe(got) << ", expected "
                << describe(entry.second) << " or " << describe(other);
        }
    }

    Model initial_;
    std::vector<uint8_t> snapshot_;
    uint32_t startBm_ = 0;
};

}  // namespace

TEST_F(EfsPowerCutTest, EveryCutLeavesAMountableRegionWithOldOrNewFiles) {
    ff::Guard guard;
    ASSERT_EQ(snapshot_[12], 0) << "the next block map starts retired, so it must be erased";
    power_cut::Tally tally;
    for (bool idleFirst : {false, true}) {
        const std::vector<Op> ops = workload(idleFirst);
        ASSERT_EQ(mount_snapshot(), 0u);
        ff::disarm();
        ff::record_operations(true);
        for (const Op &op : ops) {
            ASSERT_EQ(run(op), 0u) << "dry run, file " << op.file;
        }
        ASSERT_NE(+efs_ctx.current_bm, startBm_) << "the workload must cross a block-map switch";
        const std::vector<ff::Operation> recorded = ff::recorded_operations();
        const uint64_t seed = power_cut::mix(power_cut::test_seed(), idleFirst ? 1 : 0);
        for (const power_cut::Point &p : power_cut::plan(recorded, seed, 6)) {
            ASSERT_EQ(mount_snapshot(), 0u);
            power_cut::arm(p);
            Model before = initial_;
            Model after = initial_;
            for (const Op &op : ops) {
                before = after;
                apply_op(after, op);
                (void)run(op);
                if (ff::power_is_cut()) {
                    break;
                }
            }
            ff::disarm();
            const std::string where =
                std::string(idleFirst ? "idle-first " : "") + power_cut::describe(p);
            ASSERT_EQ(EFS_init(false), 0u) << where << ": remount failed";
            expect_files(before, after, where);
            // The volume takes a write and remounts with what it showed.
            Model shown;
            for (const auto &entry : initial_) {
                uint32_t st = 0;
                shown[entry.first] = read_all(entry.first, &st);
            }
            const std::vector<uint8_t> probe = pattern(33, static_cast<uint32_t>(p.k));
            ASSERT_EQ(EFS_write(1, 0, 33, probe.data()), 0u) << where << ": write after remount";
            shown[1] = probe;
            ASSERT_EQ(EFS_init(false), 0u) << where << ": remount after a write";
            expect_files(shown, shown, where + ", remounted after a write");
            tally.add(p, !HasFailure());
        }
    }
    tally.report("EFS files");
}

TEST_F(EfsPowerCutTest, RefusedOperationsKeepTheOldContentAndLaterOnesSucceed) {
    ff::Guard guard;
    ASSERT_EQ(mount_snapshot(), 0u);
    const std::vector<Op> ops = workload(false);
    for (const Op &op : ops) {
        ASSERT_EQ(run(op), 0u);
    }
    const uint64_t total = ff::operation_count();
    for (uint64_t k = 1; k <= total; ++k) {
        ASSERT_EQ(mount_snapshot(), 0u);
        ff::fail_at(k);
        Model model = initial_;
        for (const Op &op : ops) {
            if (run(op) == 0) {
                apply_op(model, op);
            }
            expect_files(model, model, "refused operation " + std::to_string(k));
        }
        ff::disarm();
        ASSERT_EQ(EFS_init(false), 0u) << "refused operation " << k << ": remount failed";
        expect_files(model, model, "after remount, refused operation " + std::to_string(k));
    }
}

// The mount never writes: a block map left with a damaged newest entry is
// switched by the next commit. For every 4th cut of the workload, and every
// cut after which the mount leaves such a switch pending, the recovered
// region runs a short workload with power cut at each of its operations; it
// must mount again with every file as the first recovery showed it, or as
// the interrupted operation leaves it.
TEST_F(EfsPowerCutTest, CutDuringTheFirstWritesAfterARecoveryMountKeepsFilesAsRecovered) {
    ff::Guard guard;
    const std::vector<Op> ops = workload(false);
    const std::vector<Op> resume = {W(2, 100, 60), kIdle, W(3, 4100, 61), D(4), W(6, 9, 62)};
    ASSERT_EQ(mount_snapshot(), 0u);
    ff::record_operations(true);
    for (const Op &op : ops) {
        ASSERT_EQ(run(op), 0u);
    }
    const std::vector<ff::Operation> recorded = ff::recorded_operations();
    const uint64_t seed = power_cut::test_seed();
    power_cut::Tally tally;
    uint64_t cuts = 0;
    uint64_t pairs = 0;
    uint64_t switchesPending = 0;
    for (const power_cut::Point &p : power_cut::plan(recorded, seed, 2)) {
        ++cuts;
        ASSERT_EQ(mount_snapshot(), 0u);
        power_cut::arm(p);
        for (size_t i = 0; i < ops.size() && !ff::power_is_cut(); ++i) {
            (void)run(ops[i]);
        }
        ff::disarm();
        const std::string first = power_cut::describe(p);
        ASSERT_EQ(EFS_init(false), 0u) << first << ": remount failed";
        tally.add(p, true);
        const bool pending = efs_ctx.bm_switch_pending != 0;
        if (cuts % 4 != 0 && !pending) {
            continue;
        }
        switchesPending += pending ? 1 : 0;
        Model settled;
        for (const auto &entry : initial_) {
            uint32_t st = 0;
            settled[entry.first] = read_all(entry.first, &st);
        }
        const std::vector<uint8_t> recovered = copy_;
        // The resume's operations, from an uncut run on the recovered region.
        ff::disarm();
        ASSERT_EQ(EFS_init(false), 0u) << first << ": remount failed";
        // There is nothing to cut in the recovery mount: it never writes.
        ASSERT_EQ(ff::operation_count(), 0u) << first << ": the recovery mount wrote";
        ff::record_operations(true);
        for (const Op &op : resume) {
            (void)run(op);
        }
        const std::vector<ff::Operation> resumed = ff::recorded_operations();
        for (power_cut::Point p2 : power_cut::second_cuts(resumed, power_cut::mix(seed, cuts))) {
            const std::string where = first + ", then at resume " + power_cut::describe(p2);
            copy_ = recovered;  // same size: efs_image still points at it
            ff::disarm();
            ASSERT_EQ(EFS_init(false), 0u) << where;
            power_cut::arm(p2);
            Model before = settled;
            Model after = settled;
            for (size_t i = 0; i < resume.size() && !ff::power_is_cut(); ++i) {
                before = after;
                apply_op(after, resume[i]);
                (void)run(resume[i]);
            }
            const bool reached = ff::power_is_cut();
            ff::disarm();
            ASSERT_TRUE(reached) << where << ": the cut was not reached";
            ++pairs;
            ASSERT_EQ(EFS_init(false), 0u) << where << ": remount failed";
            expect_files(before, after, where);
            tally.add(p2, !HasFailure());
        }
    }
    tally.report("EFS double cuts");
    std::cout << "EFS second cuts: " << pairs << " after " << cuts << " first cuts ("
              << switchesPending << " with a block-map switch pending)\n";
    RecordProperty("second_cuts", static_cast<int>(pairs));
    EXPECT_GT(pairs, cuts);
}
