// Power loss at an arbitrary instruction of EFS: a workload of writes,
// deletes and idle reclaims runs in a child process on a region in shared
// memory and is killed with SIGKILL at random instants. The parent mounts a
// copy: every file must be as before the operation under way or as after it,
// and the region must take a write and remount with it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "efs_fixture.h"
#include "support/kill_harness.h"
#include "support/power_cut_plan.h"

using namespace efs_test;

namespace {

using Clock = std::chrono::steady_clock;
using Content = std::optional<std::vector<uint8_t>>;
using Files = std::map<uint32_t, Content>;

struct Op {
    enum Kind { kWrite, kDelete, kIdle } kind;
    uint32_t file;
    Content data;
};

// Files of the default layout and their largest sizes.
const std::pair<uint32_t, uint32_t> kFiles[] = {{0, 100}, {1, 300},  {2, 4000},
                                                {6, 68},  {3, 8000}, {4, 1000}};

std::vector<Op> random_ops(uint32_t count, uint32_t seed) {
    std::vector<Op> ops;
    uint64_t x = seed;
    auto next = [&x](uint32_t n) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(x >> 33) % n;
    };
    for (uint32_t i = 0; i < count; ++i) {
        const auto &f = kFiles[next(6)];
        const uint32_t pick = next(10);
        if (pick == 0) {
            ops.push_back({Op::kIdle, 0, std::nullopt});
        } else if (pick == 1) {
            ops.push_back({Op::kDelete, f.first, std::nullopt});
        } else {
            ops.push_back({Op::kWrite, f.first, pattern(next(f.second + 1), i + 1)});
        }
    }
    return ops;
}

uint32_t run_op(const Op &op) {
    static const uint8_t none = 0;
    switch (op.kind) {
        case Op::kWrite:
            return EFS_write(op.file, 0, static_cast<uint32_t>(op.data->size()),
                             op.data->empty() ? &none : op.data->data());
        case Op::kDelete:
            return EFS_delete(op.file);
        case Op::kIdle:
            return EFS_idle_reclaim();
    }
    return 99;
}

void workload(uint8_t *image, const std::vector<Op> &ops, kill_harness::Progress *progress) {
    if (EFS_init_tools(image) != 0) {
        return;
    }
    for (uint32_t i = 0; i < ops.size(); ++i) {
        if (progress != nullptr) {
            kill_harness::begin_operation(*progress, i);
        }
        run_op(ops[i]);
        if (progress != nullptr) {
            kill_harness::end_operation(*progress, i);
        }
    }
}

// "" when every file reads as in `want`.
std::string differs(const Files &want) {
    for (const auto &entry : want) {
        uint32_t st = 0;
        const Content got = read_all(entry.first, &st);
        if (got != entry.second) {
            return "file " + std::to_string(entry.first) + ": " + describe(got) + " (status " +
                   std::to_string(st) + "), expected " + describe(entry.second);
        }
    }
    return "";
}

uint32_t kills_for_level() {
    switch (power_cut::level()) {
        case power_cut::Level::kQuick:
            return 10;
        case power_cut::Level::kDefault:
            return 40;
        case power_cut::Level::kLong:
            return 400;
    }
    return 40;
}

class EfsPowerCutKill : public EfsRegionTest {};

TEST_F(EfsPowerCutKill, EveryFileIsOldOrNewAfterASigkillAtARandomInstant) {
    const std::vector<uint8_t> formatted = image();
    const std::vector<Op> ops = random_ops(1200, 5);
    std::vector<Files> states(1);
    for (const auto &f : kFiles) {
        uint32_t st = 0;
        states[0][f.first] = read_all(f.first, &st);
    }
    for (const Op &op : ops) {
        states.push_back(states.back());
        if (op.kind != Op::kIdle) {
            states.back()[op.file] = op.data;
        }
    }
    std::vector<uint8_t> uncut = formatted;
    const auto t0 = Clock::now();
    workload(uncut.data(), ops, nullptr);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
    ASSERT_EQ(EFS_init_tools(uncut.data()), 0u);
    ASSERT_EQ(differs(states.back()), "") << "uncut run";

    kill_harness::SharedRegion region(formatted.size());
    ASSERT_TRUE(region.ok());
    uint64_t seed = power_cut::test_seed();
    const uint32_t kills = kills_for_level();
    uint32_t midOperation = 0;
    uint32_t completed = 0;
    auto limit = static_cast<uint64_t>(span.count());  // shortened by kills that came too late
    for (uint32_t n = 0; n < kills; ++n) {
        region.reset(formatted);
        seed = power_cut::mix(seed, n);
        const auto delay = std::chrono::microseconds(seed % (limit + 1));
        const kill_harness::Result r = kill_harness::run_and_kill(
            region, [&](kill_harness::Progress &p) { workload(region.flash(), ops, &p); }, delay);
        ASSERT_TRUE(r.killed || r.exitedOk) << "kill " << n << ": the child failed";
        const std::string where = "kill " + std::to_string(n) + " after " +
                                  std::to_string(delay.count()) + " us, " +
                                  std::to_string(r.finished) + " operations done";
        midOperation += r.started > r.finished ? 1 : 0;
        completed += r.finished == ops.size() ? 1 : 0;
        limit = r.finished == ops.size() ? limit * 3 / 4 : limit;
        copy_ = region.image();
        ASSERT_EQ(EFS_init_tools(copy_.data()), 0u) << where << ": mount";
        const std::string before = differs(states[r.finished]);
        const std::string after = r.started > r.finished ? differs(states[r.started]) : before;
        ASSERT_TRUE(before.empty() || after.empty())
            << where << ": not the old state (" << before << ") nor the new one (" << after << ")";
        Files shown = before.empty() ? states[r.finished] : states[r.started];
        const std::vector<uint8_t> probe = pattern(50, n);
        ASSERT_EQ(EFS_write(1, 0, 50, probe.data()), 0u) << where << ": write";
        shown[1] = probe;
        ASSERT_EQ(EFS_init(false), 0u) << where << ": remount";
        ASSERT_EQ(differs(shown), "") << where << ", remounted";
    }
    std::printf("power cuts: EFS files, SIGKILL: %u cut points\n", kills);
    std::printf("  %u kills inside an operation, %u after the last; the uncut run took %lld us\n",
                midOperation, completed, static_cast<long long>(span.count()));
    RecordProperty("cut_points", std::to_string(kills));
}

}  // namespace
