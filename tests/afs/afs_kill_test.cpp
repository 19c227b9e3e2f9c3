// Power loss at an arbitrary instruction of the AFS file layer: the file
// workload runs in a child process on a flash region in shared memory and is
// killed with SIGKILL at random instants. The parent then mounts a copy of
// what the flash holds: every file must be as before the operation that was
// under way or as after it, and the volume must take a write and remount
// with it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "afs_model.h"
#include "afs_test_util.h"
#include "support/kill_harness.h"
#include "support/power_cut_plan.h"

namespace {

using namespace afs_test;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kFlash = 4 * 8192;
constexpr uint32_t kFiles = 65;
constexpr int32_t kUsedFiles = 12;
constexpr uint32_t kMaxSize = 900;
constexpr uint32_t kOps = 800;

uint32_t run_op(AfsContext &ctx, const Op &op) {
    if (op.kind == OpKind::kDelete) {
        return afs_deletefile(&ctx, op.file);
    }
    const std::vector<uint8_t> data =
        pattern(op.length, static_cast<uint32_t>(op.file), op.version);
    return afs_writefile(&ctx, op.file, op.offset, op.length, data.empty() ? nullptr : data.data(),
                         op.kind == OpKind::kTruncatingWrite ? kAfsWriteTruncate : 0);
}

// Mounts `flash` in place and runs the operations, marking each.
void workload(uint8_t *flash, const std::vector<Op> &ops, kill_harness::Progress *progress) {
    std::vector<uint8_t> work(kAfsWorkBufferSize);
    AfsContext ctx{};
    ctx.workBuffer = work.data();
    if (afs_init(&ctx, flash, 64, 10, kFiles, 0, kFlash, kAfsDfsMountFlags, 0, 0) != 0) {
        return;
    }
    for (uint32_t i = 0; i < ops.size(); ++i) {
        if (progress != nullptr) {
            kill_harness::begin_operation(*progress, i);
        }
        run_op(ctx, ops[i]);
        if (progress != nullptr) {
            kill_harness::end_operation(*progress, i);
        }
    }
    afs_free_context(&ctx);
}

TEST(AfsPowerCutKill, EveryFileIsOldOrNewAfterASigkillAtARandomInstant) {
    Volume formatted(kFlash, kFiles);
    ASSERT_EQ(formatted.format(), 0u);
    std::vector<Op> ops;
    std::vector<Model> states(1);
    {
        Rng rng(11);
        for (uint32_t i = 0; i < kOps; ++i) {
            ops.push_back(random_op(rng, states.back(), kUsedFiles, kMaxSize, i + 1));
            states.push_back(states.back());
            afs_test::apply(states.back(), ops.back());
        }
    }
    // The uncut run, timed: the kills fall anywhere in that time.
    std::vector<uint8_t> uncut = formatted.flash();
    const auto t0 = Clock::now();
    workload(uncut.data(), ops, nullptr);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
    {
        Volume check(kFlash, kFiles);
        check.flash() = uncut;
        ASSERT_EQ(check.mount(), 0u);
        ASSERT_EQ(check_volume(check, states.back(), kUsedFiles), "") << "uncut run";
    }

    kill_harness::SharedRegion region(kFlash);
    ASSERT_TRUE(region.ok());
    kill_harness::Campaign c;
    c.initial = formatted.flash();
    c.operations = kOps;
    c.span = span;
    c.seed = power_cut::test_seed();
    c.work = [&](kill_harness::Progress &p) { workload(region.flash(), ops, &p); };
    uint32_t n = 0;
    c.check = [&](const kill_harness::Result &r, const std::string &where) {
        Volume vol(kFlash, kFiles);
        vol.flash() = region.image();
        ASSERT_EQ(vol.mount(), 0u) << where << ": mount";
        const std::string before = check_volume(vol, states[r.finished], kUsedFiles);
        const std::string after =
            r.started > r.finished ? check_volume(vol, states[r.started], kUsedFiles) : before;
        ASSERT_TRUE(before.empty() || after.empty())
            << where << ": not the old state (" << before << ") nor the new one (" << after << ")";
        Model model = before.empty() ? states[r.finished] : states[r.started];
        const std::vector<uint8_t> probe = pattern(200, 77, ++n);
        ASSERT_EQ(vol.write(kUsedFiles, 0, probe, kAfsWriteTruncate), 0u) << where;
        model[kUsedFiles] = probe;
        ASSERT_EQ(vol.mount(), 0u) << where << ": remount";
        ASSERT_EQ(check_volume(vol, model, kUsedFiles + 1), "") << where << ", remounted";
    };
    kill_harness::report("AFS files, SIGKILL", kill_harness::run_campaign(region, c), span);
}

// The FTL alone: dynamic page writes with a forced full reclaim every 40th
// step, killed at random instants; every page must read its last completed
// write or, for the write under way, the new value.
constexpr uint32_t kFtlSteps = 30000;
constexpr uint32_t kFtlPages = 24;

uint32_t page_of_step(uint32_t i) {
    return (i * 7 + i / 5) % kFtlPages;
}

void ftl_workload(FtlRegion &r, kill_harness::Progress *progress) {
    for (uint32_t i = 0; i < kFtlSteps; ++i) {
        if (progress != nullptr) {
            kill_harness::begin_operation(*progress, i);
        }
        if (i % 40 == 39) {
            afs_physical_ftl_force_full_reclaim(r.ctx());
        } else {
            r.write(r.dynamic_va(page_of_step(i)), i + 1);
        }
        if (progress != nullptr) {
            kill_harness::end_operation(*progress, i);
        }
    }
}

// The tag page p holds after the first `steps` steps (0: never written).
uint32_t tag_after(uint32_t p, uint32_t steps) {
    for (uint32_t i = steps; i-- > 0;) {
        if (i % 40 != 39 && page_of_step(i) == p) {
            return i + 1;
        }
    }
    return 0;
}

TEST(FtlPowerCutKill, EveryPageIsOldOrNewAfterASigkillAtARandomInstant) {
    const Geometry g = Geometry::of(5, 2, kFtlPages * 64);
    std::vector<uint8_t> formatted;
    {
        FtlRegion r(g);
        ASSERT_EQ(r.format_and_mount(), 0u);
        formatted = r.image();
    }
    Clock::duration span{};
    {
        FtlRegion r(g);
        r.image() = formatted;
        ASSERT_EQ(r.mount(), 0u);
        const auto t0 = Clock::now();
        ftl_workload(r, nullptr);
        span = Clock::now() - t0;
        for (uint32_t p = 0; p < kFtlPages; ++p) {
            ASSERT_EQ(r.read(r.dynamic_va(p)), page_of(tag_after(p, kFtlSteps)))
                << "uncut, page " << p;
        }
    }
    kill_harness::SharedRegion region(formatted.size());
    ASSERT_TRUE(region.ok());
    kill_harness::Campaign c;
    c.initial = formatted;
    c.operations = kFtlSteps;
    c.span = std::chrono::duration_cast<std::chrono::microseconds>(span);
    c.seed = power_cut::test_seed();
    c.work = [&](kill_harness::Progress &progress) {
        FtlRegion r(g);
        r.ctx()->flashImage = region.flash();
        SpiFlashDrvInitialize(region.flash());
        if (r.mount() == 0) {
            ftl_workload(r, &progress);
        }
    };
    c.check = [&](const kill_harness::Result &k, const std::string &where) {
        const std::vector<uint8_t> after = region.image();
        FtlRegion r(g);
        r.image() = after;  // copied into the region's own buffer, which the driver uses
        ASSERT_EQ(r.mount(), 0u) << where << ": mount";
        std::vector<uint32_t> shown(kFtlPages);
        for (uint32_t p = 0; p < kFtlPages; ++p) {
            const std::vector<uint8_t> got = r.read(r.dynamic_va(p));
            const uint32_t old = tag_after(p, k.finished);
            const uint32_t now = k.started > k.finished ? tag_after(p, k.started) : old;
            ASSERT_TRUE(got == page_of(old) || got == page_of(now))
                << where << ": page " << p << " is neither tag " << old << " nor " << now;
            shown[p] = got == page_of(old) ? old : now;
        }
        // Further writes (which reclaim) and a remount keep every page.
        for (uint32_t p = 0; p < kFtlPages; p += 3) {
            ASSERT_EQ(r.write(r.dynamic_va(p), 100000 + p), 0u) << where;
            shown[p] = 100000 + p;
        }
        ASSERT_EQ(r.mount(), 0u) << where << ": remount";
        for (uint32_t p = 0; p < kFtlPages; ++p) {
            ASSERT_EQ(r.read(r.dynamic_va(p)), page_of(shown[p]))
                << where << ", remounted: page " << p;
        }
    };
    kill_harness::report("AFS FTL, SIGKILL", kill_harness::run_campaign(region, c), c.span);
}

}  // namespace
