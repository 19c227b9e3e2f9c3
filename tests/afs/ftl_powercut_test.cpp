// Power loss at every flash operation of FTL workloads.
//
// Each test runs a deterministic workload of dynamic page writes and trims,
// data chunk allocations, writes and trims and forced/idle reclaims on a
// small partition, records its program and erase operations, and then
// replays it with power cut inside each of them (support/power_cut_plan.h:
// torn bytes at several offsets, half-programmed bits, part-done erases).
// A copy of the region must then mount, and every page must read the value
// of its last completed write or, for the interrupted operation, the value
// it had before. After further writes (which include reclaims) the copy is
// mounted a second time and checked again.
//
// The mount itself never writes: it finds an interrupted reclaim and leaves
// its completion to the first write after it. With a second cut, for a
// sample of first cuts, the recovered image is replayed through a short
// reclaim-heavy workload with power cut at each of its operations, and must
// mount again with every page as the first recovery showed it or as later
// completed writes left it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "afs_test_util.h"
#include "common/flash_fault.h"
#include "support/power_cut_plan.h"

namespace {

using afs_test::FtlRegion;
using afs_test::Geometry;
using afs_test::page_of;
namespace fault = quor::flash_fault;

struct Rng {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 16);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Expected contents. A dynamic trim is not persistent in the FTL, so after a
// remount a trimmed page may show any value it ever had, or zeros.
struct Model {
    std::vector<uint32_t> dynTag;
    std::vector<bool> dynTrimmed;
    std::vector<std::vector<uint32_t>> dynHistory;
    std::vector<std::vector<uint32_t>> dynUncertain;  // failed writes since the last success
    std::vector<uint32_t> chunkTag;                   // 0 = not allocated
    std::vector<uint32_t> liveChunks;
    uint32_t nextTag = 1;

    Model(uint32_t dynPages, uint32_t chunks)
        : dynTag(dynPages, 0),
          dynTrimmed(dynPages, false),
          dynHistory(dynPages),
          dynUncertain(dynPages),
          chunkTag(chunks, 0) {}
};

struct InFlight {
    enum Kind { kNone, kDynamic, kChunk } kind = kNone;
    uint32_t index = 0;
    uint32_t tag = 0;
};

struct Mix {
    uint32_t dynWrite;
    uint32_t dynTrim;
    uint32_t chunkWrite;
    uint32_t chunkTrim;
    uint32_t fullReclaim;
    uint32_t idleReclaim;
    uint32_t maxLiveChunks;
};

struct Counters {
    uint32_t dynamicReclaims = 0;
    uint32_t reservedReclaims = 0;
    uint64_t forcedReclaimOps = 0;  // flash operations inside forced full reclaims
    uint64_t idleReclaimOps = 0;    // and inside idle reclaims
};

// Notes which kind of reclaim ran when the spare moved.
void count_reclaims(FtlRegion &r, uint16_t spareBefore, uint32_t seqBefore, Counters &n) {
    const FtlControl *c = r.ftl();
    if (c->maxSequence == seqBefore) {
        return;
    }
    // The unit that was the spare received the victim's role.
    if (c->euInfo[spareBefore].reservedBase != 0) {
        ++n.reservedReclaims;
    } else {
        ++n.dynamicReclaims;
    }
}

bool write_chunk(FtlRegion &r, Model &m, uint32_t tag, InFlight &f) {
    uint16_t id = 0;
    uint32_t status = afs_physical_ftl_allocate_page(r.ctx(), &id);
    if (status == kFtlOutOfSlots) {
        status = afs_physical_ftl_allocate_page(r.ctx(), &id);
    }
    if (status != kFtlOk) {
        return false;
    }
    const uint32_t x = id - r.ctx()->fileCount;
    f = {InFlight::kChunk, x, tag};
    const auto data = page_of(tag);
    if (afs_physical_ftl_write_page(r.ctx(), r.chunk_va(x), 64, data.data(), 0) != kFtlOk) {
        return false;
    }
    m.chunkTag[x] = tag;
    m.liveChunks.push_back(x);
    return true;
}

void trim_chunk(FtlRegion &r, Model &m, Rng &rng) {
    const uint32_t i = rng.below(static_cast<uint32_t>(m.liveChunks.size()));
    const uint32_t x = m.liveChunks[i];
    m.liveChunks.erase(m.liveChunks.begin() + i);
    afs_physical_ftl_trim_page(r.ctx(), r.chunk_va(x), 64, 0);
    m.chunkTag[x] = 0;
}

// One step of the workload. False when an operation failed (f names the
// write that was under way, if any).
bool run_step(FtlRegion &r, Model &m, Rng &rng, const Mix &mix, InFlight &f, Counters *n) {
    f = InFlight();
    const uint32_t total = mix.dynWrite + mix.dynTrim + mix.chunkWrite + mix.chunkTrim +
                           mix.fullReclaim + mix.idleReclaim;
    uint32_t pick = rng.below(total);
    const auto dynPages = static_cast<uint32_t>(m.dynTag.size());
    if (pick < mix.dynWrite) {
        const uint32_t p = rng.below(dynPages);
        const uint32_t tag = m.nextTag++;
        f = {InFlight::kDynamic, p, tag};
        const auto data = page_of(tag);
        if (afs_physical_ftl_write_page(r.ctx(), r.dynamic_va(p), 64, data.data(), 0) != 0) {
            return false;
        }
        m.dynTag[p] = tag;
        m.dynTrimmed[p] = false;
        m.dynHistory[p].push_back(tag);
        m.dynUncertain[p].clear();
        return true;
    }
    pick -= mix.dynWrite;
    if (pick < mix.dynTrim) {
        const uint32_t p = rng.below(dynPages);
        afs_physical_ftl_trim_page(r.ctx(), r.dynamic_va(p), 64, 0);
        m.dynTag[p] = 0;
        m.dynTrimmed[p] = true;
        return true;
    }
    pick -= mix.dynTrim;
    if (pick < mix.chunkWrite) {
        if (m.liveChunks.size() >= mix.maxLiveChunks) {
            trim_chunk(r, m, rng);
        }
        return write_chunk(r, m, m.nextTag++, f);
    }
    pick -= mix.chunkWrite;
    if (pick < mix.chunkTrim) {
        if (!m.liveChunks.empty()) {
            trim_chunk(r, m, rng);
        }
        return true;
    }
    pick -= mix.chunkTrim;
    const uint64_t opsBefore = fault::operation_count();
    if (pick < mix.fullReclaim) {
        const uint32_t status = afs_physical_ftl_force_full_reclaim(r.ctx());
        if (n != nullptr) {
            n->forcedReclaimOps += fault::operation_count() - opsBefore;
        }
        return status == kFtlOk || status == kFtlAgain;
    }
    const uint32_t status = afs_physical_ftl_idle_reclaim(r.ctx());
    if (n != nullptr) {
        n->idleReclaimOps += fault::operation_count() - opsBefore;
    }
    return status == kFtlOk || status == kFtlNoGain;
}

// Runs the workload; stops at the first failure unless `keepGoing`, in
// which case a failed dynamic write leaves its page either way and the
// workload goes on. False when any step failed.
bool run_steps(FtlRegion &r, Model &m, Rng &rng, const Mix &mix, uint32_t steps, InFlight &f,
               Counters *counters, bool keepGoing = false) {
    bool allOk = true;
    for (uint32_t i = 0; i < steps; ++i) {
        const uint16_t spare = r.ftl()->spareUnit;
        const uint32_t seq = r.ftl()->maxSequence;
        const bool ok = run_step(r, m, rng, mix, f, counters);
        if (counters != nullptr) {
            count_reclaims(r, spare, seq, *counters);
        }
        if (!ok) {
            allOk = false;
            if (!keepGoing) {
                return false;
            }
            if (f.kind == InFlight::kDynamic) {
                m.dynUncertain[f.index].push_back(f.tag);
            }
        }
    }
    f = InFlight();
    return allOk;
}

void load_bitmap(FtlRegion &r, const Model &m) {
    std::fill(r.bitmap().begin(), r.bitmap().end(), 0u);
    for (uint32_t x = 0; x < m.chunkTag.size(); ++x) {
        if (m.chunkTag[x] != 0) {
            r.bitmap()[x / 32] |= 1u << (x % 32);
        }
    }
}

std::string describe(const std::vector<uint8_t> &got) {
    char text[64];
    std::snprintf(text, sizeof(text), "%02x %02x %02x %02x ...", got[0], got[1], got[2], got[3]);
    return text;
}

// Checks every page against the model; the in-flight write may be either way.
void expect_matches(FtlRegion &r, const Model &m, const InFlight &f, const std::string &where) {
    std::vector<uint8_t> got(64);
    for (uint32_t p = 0; p < m.dynTag.size(); ++p) {
        ASSERT_EQ(afs_physical_ftl_read_page(r.ctx(), r.dynamic_va(p), 64, got.data(), 0), 0u)
            << where << ": reading dynamic page " << p;
        std::vector<uint32_t> allowed{m.dynTag[p]};
        if (m.dynTrimmed[p]) {
            allowed = m.dynHistory[p];
            allowed.push_back(0);
        }
        if (f.kind == InFlight::kDynamic && f.index == p) {
            allowed.push_back(f.tag);
        }
        allowed.insert(allowed.end(), m.dynUncertain[p].begin(), m.dynUncertain[p].end());
        const bool ok = std::any_of(allowed.begin(), allowed.end(), [&](uint32_t tag) {
            uint8_t expected[64];
            afs_test::fill_page(expected, tag);
            return std::memcmp(expected, got.data(), 64) == 0;
        });
        ASSERT_TRUE(ok) << where << ": dynamic page " << p << " expected tag " << m.dynTag[p]
                        << " got " << describe(got);
    }
    for (uint32_t x = 0; x < m.chunkTag.size(); ++x) {
        ASSERT_EQ(afs_physical_ftl_read_page(r.ctx(), r.chunk_va(x), 64, got.data(), 0), 0u)
            << where << ": reading chunk " << x;
        uint8_t expected[64];
        afs_test::fill_page(expected, m.chunkTag[x]);
        ASSERT_TRUE(std::memcmp(expected, got.data(), 64) == 0)
            << where << ": chunk " << x << " expected tag " << m.chunkTag[x] << " got "
            << describe(got);
    }
}

// Writes after a recovery mount that are sure to reclaim: every dynamic page
// once, chunk churn, a full forced reclaim of the reserved units and idle
// reclaims until none is due.
void further_writes(FtlRegion &r, Model &m, const std::string &where) {
    InFlight f;
    for (uint32_t p = 0; p < m.dynTag.size(); ++p) {
        const uint32_t tag = m.nextTag++;
        const auto data = page_of(tag);
        ASSERT_EQ(afs_physical_ftl_write_page(r.ctx(), r.dynamic_va(p), 64, data.data(), 0), 0u)
            << where << ": further write of page " << p;
        m.dynTag[p] = tag;
        m.dynTrimmed[p] = false;
        m.dynHistory[p].push_back(tag);
        m.dynUncertain[p].clear();
    }
    Rng rng{12345};
    for (int i = 0; i < 6; ++i) {
        if (!m.liveChunks.empty()) {
            trim_chunk(r, m, rng);
        }
        ASSERT_TRUE(write_chunk(r, m, m.nextTag++, f)) << where << ": further chunk write";
    }
    uint32_t status = kFtlAgain;
    for (int i = 0; i < 300 && status == kFtlAgain; ++i) {
        status = afs_physical_ftl_force_full_reclaim(r.ctx());
    }
    ASSERT_EQ(status, kFtlOk) << where << ": forced full reclaim";
    for (int i = 0; i < 50 && afs_physical_ftl_idle_reclaim_needed(r.ctx(), nullptr, nullptr);
         ++i) {
        status = afs_physical_ftl_idle_reclaim(r.ctx());
        ASSERT_TRUE(status == kFtlOk || status == kFtlNoGain) << where << ": idle reclaim";
    }
}

struct Scenario {
    Geometry geometry;
    Mix setupMix;
    uint32_t setupSteps;
    Mix mix;
    uint32_t steps;
    uint64_t seed;
    bool failInsteadOfCut = false;  // fail_at(k) instead of cut_at(k)
    uint32_t cutsPerOperation = 4;  // at the default level
    // Second cuts: for every secondCutStride-th first cut (0: none) and every
    // one whose mount left an interrupted reclaim to finish, a cut at
    // every operation of resumeSteps steps of resumeMix after the recovery.
    uint32_t secondCutStride = 0;
    Mix resumeMix{};
    uint32_t resumeSteps = 0;
};

struct Outcome {
    power_cut::Tally cuts;  // first and second cuts, by policy
    uint64_t tried = 0;
    uint64_t passed = 0;
    uint64_t secondTried = 0;
    uint64_t secondPassed = 0;
    uint64_t pendingRecoveries = 0;  // sampled first cuts whose mount left a reclaim to finish
    Counters counters;
};

int failure_count() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// The recovery mount decided the interrupted write: later cuts must keep
// what it showed, so the model takes the value the page reads now.
void settle_in_flight(FtlRegion &r, Model &m, const InFlight &f) {
    if (f.kind != InFlight::kDynamic) {
        return;  // an interrupted chunk write leaves an unallocated chunk
    }
    std::vector<uint8_t> got(64);
    if (afs_physical_ftl_read_page(r.ctx(), r.dynamic_va(f.index), 64, got.data(), 0) == 0 &&
        got == page_of(f.tag)) {
        m.dynTag[f.index] = f.tag;
        m.dynTrimmed[f.index] = false;
        m.dynHistory[f.index].push_back(f.tag);
        m.dynUncertain[f.index].clear();
    }
}

// Puts `image` into `r` with the model's bitmap and mounts it; returns the
// mount status.
uint32_t load_and_mount(FtlRegion &r, const std::vector<uint8_t> &image, const Model &m) {
    r.image() = image;
    load_bitmap(r, m);
    return r.mount();
}

// Replays the resume workload on `recovered` with power cut at each of its
// operations; each result must mount and match the settled model.
void cut_after_recovery(const Scenario &s, const std::vector<uint8_t> &recovered,
                        const Model &settled, const std::string &first, uint64_t seed,
                        Outcome &out) {
    std::vector<fault::Operation> operations;
    {
        Model m = settled;
        Rng rng{s.seed ^ 0x9E3779B9u};
        InFlight f;
        FtlRegion r(s.geometry);
        fault::Guard guard;
        EXPECT_EQ(load_and_mount(r, recovered, m), 0u) << first;
        // There is nothing to cut in the recovery mount: it never writes.
        EXPECT_EQ(fault::operation_count(), 0u) << first << ": the recovery mount wrote";
        fault::record_operations(true);
        EXPECT_TRUE(run_steps(r, m, rng, s.resumeMix, s.resumeSteps, f, nullptr))
            << first << ": uncut resume failed";
        operations = fault::recorded_operations();
    }
    for (const power_cut::Point &p : power_cut::plan(operations, seed, 1)) {
        const std::string where = first + ", then " + power_cut::describe(p) + " of the resume";
        Model m = settled;
        Rng rng{s.seed ^ 0x9E3779B9u};
        InFlight f;
        std::vector<uint8_t> after;
        {
            FtlRegion r(s.geometry);
            EXPECT_EQ(load_and_mount(r, recovered, m), 0u) << where;
            fault::Guard guard;
            power_cut::arm(p);
            const bool completed = run_steps(r, m, rng, s.resumeMix, s.resumeSteps, f, nullptr);
            // A cut that finishes the last operation leaves nothing to notice.
            EXPECT_TRUE(!completed || p.k == operations.size())
                << where << ": resume did not notice the cut";
            after = r.image();
        }
        ++out.secondTried;
        const int failuresBefore = failure_count();
        FtlRegion copy(s.geometry);
        EXPECT_EQ(load_and_mount(copy, after, m), 0u) << where << ": mount after the second cut";
        expect_matches(copy, m, f, where);
        const bool passed = failure_count() == failuresBefore;
        out.secondPassed += passed ? 1 : 0;
        out.cuts.add(p, passed);
    }
}

Outcome run_scenario(const Scenario &s) {
    Outcome out;
    const uint32_t dynPages = s.geometry.dynamicBytes / 64;
    const uint32_t chunks = s.geometry.reservedUnits * kFtlReservedSlots;

    // Setup (never cut), then a snapshot from which every replay starts.
    Model base(dynPages, chunks);
    Rng baseRng{s.seed};
    std::vector<uint8_t> snapshot;
    {
        FtlRegion r(s.geometry);
        EXPECT_EQ(r.format_and_mount(), 0u);
        InFlight f;
        EXPECT_TRUE(run_steps(r, base, baseRng, s.setupMix, s.setupSteps, f, nullptr));
        snapshot = r.image();
    }

    // Uncut run: counts the operations and the reclaims of the workload.
    std::vector<fault::Operation> operations;
    {
        FtlRegion r(s.geometry);
        EXPECT_EQ(load_and_mount(r, snapshot, base), 0u);
        Model m = base;
        Rng rng = baseRng;
        InFlight f;
        fault::Guard guard;
        fault::record_operations(true);
        EXPECT_TRUE(run_steps(r, m, rng, s.mix, s.steps, f, &out.counters));
        operations = fault::recorded_operations();
    }

    const uint64_t seed = power_cut::test_seed();
    std::vector<power_cut::Point> points;
    if (s.failInsteadOfCut) {
        for (uint64_t k = 1; k <= operations.size(); ++k) {
            points.push_back({k, operations[k - 1], {}});
        }
    } else {
        points = power_cut::plan(operations, seed, s.cutsPerOperation);
    }
    for (const power_cut::Point &p : points) {
        const uint64_t k = p.k;
        const std::string where =
            s.failInsteadOfCut ? "failed operation " + std::to_string(k) : power_cut::describe(p);
        ++out.tried;
        Model m = base;
        Rng rng = baseRng;
        InFlight f;
        std::vector<uint8_t> after;
        {
            FtlRegion r(s.geometry);
            EXPECT_EQ(load_and_mount(r, snapshot, base), 0u) << where;
            fault::Guard guard;
            if (s.failInsteadOfCut) {
                fault::fail_at(k);
            } else {
                power_cut::arm(p);
            }
            const bool completed =
                run_steps(r, m, rng, s.mix, s.steps, f, nullptr, s.failInsteadOfCut);
            EXPECT_TRUE(!completed || p.k == operations.size())
                << where << ": workload did not notice the fault";
            after = r.image();
        }
        FtlRegion copy(s.geometry);
        const uint32_t mounted = load_and_mount(copy, after, m);
        EXPECT_EQ(mounted, 0u) << where << ": recovery mount";
        if (mounted != 0) {
            out.cuts.add(p, false);
            continue;
        }
        const int failuresBefore = failure_count();
        expect_matches(copy, m, f, where + ", first mount");
        // Every mount that left an interrupted reclaim to finish is sampled.
        const bool pending = copy.ftl()->openUnitPending != 0;
        if (s.secondCutStride != 0 && (k % s.secondCutStride == 0 || pending) &&
            failure_count() == failuresBefore) {
            out.pendingRecoveries += pending ? 1 : 0;
            settle_in_flight(copy, m, f);
            f = InFlight();
            cut_after_recovery(s, after, m, where, power_cut::mix(seed, k), out);
            load_bitmap(copy, m);  // the replays moved the driver: mount the copy again
            EXPECT_EQ(copy.mount(), 0u) << where << ": remount after the second cuts";
        }
        further_writes(copy, m, where);
        load_bitmap(copy, m);
        EXPECT_EQ(copy.mount(), 0u) << where << ": second mount after further writes";
        expect_matches(copy, m, InFlight(), where + ", second mount");
        const bool passed = failure_count() == failuresBefore;
        out.passed += passed ? 1 : 0;
        if (!s.failInsteadOfCut) {
            out.cuts.add(p, passed);
        }
    }
    return out;
}

void report(const char *name, const Outcome &o) {
    if (o.cuts.tried() != 0) {
        o.cuts.report(std::string("AFS FTL ") + name);
    }
    std::printf(
        "[ power-cut ] %s: %llu cut points tried, %llu passed (%llu in forced, %llu in idle "
        "reclaims); %llu second cuts tried, %llu passed (%llu after a mount that found an "
        "interrupted reclaim); workload ran %u dynamic and %u reserved reclaims\n",
        name, static_cast<unsigned long long>(o.tried), static_cast<unsigned long long>(o.passed),
        static_cast<unsigned long long>(o.counters.forcedReclaimOps),
        static_cast<unsigned long long>(o.counters.idleReclaimOps),
        static_cast<unsigned long long>(o.secondTried),
        static_cast<unsigned long long>(o.secondPassed),
        static_cast<unsigned long long>(o.pendingRecoveries), o.counters.dynamicReclaims,
        o.counters.reservedReclaims);
    ::testing::Test::RecordProperty("first_cuts_tried", static_cast<int>(o.tried));
    ::testing::Test::RecordProperty("cut_points_passed", static_cast<int>(o.passed));
    ::testing::Test::RecordProperty("second_cuts_tried", static_cast<int>(o.secondTried));
}

// Small partition: dynamic units 0-1, reserved units 2-3, spare 4.
Geometry small_partition() {
    return Geometry::of(5, 2, 24 * 64);
}

Scenario scenario(const Geometry &g, const Mix &setupMix, uint32_t setupSteps, const Mix &mix,
                  uint32_t steps, uint64_t seed) {
    Scenario s;
    s.geometry = g;
    s.setupMix = setupMix;
    s.setupSteps = setupSteps;
    s.mix = mix;
    s.steps = steps;
    s.seed = seed;
    return s;
}

// The mixed workload on the small partition that several tests cut through.
Scenario mixed_scenario() {
    return scenario(small_partition(), {60, 5, 25, 10, 0, 0, 20}, 250, {55, 5, 20, 10, 3, 7, 20},
                    140, 0x5EED);
}

// Runs the scenario, prints its counts and expects every cut point to pass.
Outcome run_and_report(const char *name, const Scenario &s) {
    const Outcome o = run_scenario(s);
    report(name, o);
    EXPECT_EQ(o.passed, o.tried) << name << ": cut points that failed the check";
    return o;
}

TEST(FtlPowerCut, DynamicWritesSurviveCutsThroughSeveralDynamicReclaims) {
    // Many live pages: reclaims come often.
    const Outcome o =
        run_and_report("dynamic", scenario(Geometry::of(5, 2, 140 * 64), {90, 4, 6, 0, 0, 0, 12},
                                           250, {88, 4, 8, 0, 0, 0, 12}, 240, 0x1234567));
    EXPECT_GE(o.counters.dynamicReclaims, 3u);
}

TEST(FtlPowerCut, DataChunksSurviveCutsThroughSeveralReservedReclaims) {
    const Outcome o =
        run_and_report("reserved", scenario(small_partition(), {5, 0, 60, 35, 0, 0, 30}, 330,
                                            {10, 0, 50, 30, 10, 0, 30}, 110, 0xABCDEF));
    EXPECT_GE(o.counters.reservedReclaims, 3u);
}

TEST(FtlPowerCut, MixedWorkloadWithIdleReclaimsSurvivesCuts) {
    const Outcome o = run_and_report("mixed", mixed_scenario());
    EXPECT_GE(o.counters.dynamicReclaims + o.counters.reservedReclaims, 3u);
}

// Idle reclaims of dynamic units with live pages copy them behind the
// current write position and switch write units in the middle of a copy.
TEST(FtlPowerCut, IdleReclaimsCopyingIntoThePartlyFilledWriteUnitSurviveCuts) {
    // Dynamic units 0-3, reserved unit 4, spare 5.
    const Outcome o =
        run_and_report("idle", scenario(Geometry::of(6, 1, 200 * 64), {100, 0, 0, 0, 0, 0, 10}, 440,
                                        {70, 0, 0, 0, 0, 30, 10}, 200, 0xD1CE));
    EXPECT_GE(o.counters.dynamicReclaims, 2u);
}

// Forced full reclaims and idle reclaims make up a third of the steps of a
// workload on a partition with little free dynamic space, so that idle
// reclaims are due and cut points fall inside reclaims of both kinds.
TEST(FtlPowerCut, CutsInsideForcedAndIdleReclaimsLeaveEveryPageOldOrNew) {
    // Dynamic units 0-3, reserved units 4-5, spare 6.
    const Outcome o = run_and_report(
        "forced and idle reclaims", scenario(Geometry::of(7, 2, 200 * 64), {100, 0, 0, 0, 0, 0, 10},
                                             460, {50, 0, 10, 5, 10, 25, 10}, 80, 0xF0CE));
    EXPECT_GE(o.counters.forcedReclaimOps, 20u);
    EXPECT_GE(o.counters.idleReclaimOps, 20u);
}

// Every 4th cut of the mixed workload, and every cut after which the mount
// finds an interrupted reclaim, is followed by a cut at every operation of the
// first steps after the recovery mount (the first write completes that
// reclaim).
TEST(FtlPowerCut, CutDuringTheFirstWritesAfterARecoveryMountKeepsPagesAsRecovered) {
    Scenario s = mixed_scenario();
    s.secondCutStride = 4;
    s.resumeMix = {40, 0, 20, 10, 15, 15, 20};
    s.resumeSteps = 6;
    const Outcome o = run_and_report("second cut after recovery", s);
    EXPECT_GT(o.secondTried, o.tried);
    EXPECT_GT(o.pendingRecoveries, 0u) << "no sampled cut left a reclaim for the next write";
    EXPECT_EQ(o.secondPassed, o.secondTried);
}

}  // namespace

namespace {

// A single refused program or erase (the device stays powered and the
// workload goes on) must leave a volume that mounts with every page old or
// new.
TEST(FtlFailedOperation, RefusedOperationAnywhereLeavesAMountableVolume) {
    Scenario s = mixed_scenario();
    s.failInsteadOfCut = true;
    run_and_report("refused operation", s);
}

}  // namespace
