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
    kill_harness::Campaign c;
    c.initial = formatted;
    c.operations = static_cast<uint32_t>(ops.size());
    c.span = span;
    c.seed = power_cut::test_seed();
    c.work = [&](kill_harness::Progress &p) { workload(region.flash(), ops, &p); };
    uint32_t n = 0;
    c.check = [&](const kill_harness::Result &r, const std::string &where) {
        copy_ = region.image();
        ASSERT_EQ(EFS_init_tools(copy_.data()), 0u) << where << ": mount";
        const std::string before = differs(states[r.finished]);
        const std::string after = r.started > r.finished ? differs(states[r.started]) : before;
        ASSERT_TRUE(before.empty() || after.empty())
            << where << ": not the old state (" << before << ") nor the new one (" << after << ")";
        Files shown = before.empty() ? states[r.finished] : states[r.started];
        const std::vector<uint8_t> probe = pattern(50, ++n);
        ASSERT_EQ(EFS_write(1, 0, 50, probe.data()), 0u) << where << ": write";
        shown[1] = probe;
        ASSERT_EQ(EFS_init(false), 0u) << where << ": remount";
        ASSERT_EQ(differs(shown), "") << where << ", remounted";
    };
    kill_harness::report("EFS files, SIGKILL", kill_harness::run_campaign(region, c), span);
}

}  // namespace
