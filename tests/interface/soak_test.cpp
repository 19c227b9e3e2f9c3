// Soak: randomized operations on AFS, EFS and the configuration store,
// checked against a model, with remounts and power cuts of every shape
// (support/power_cut_plan.h) at random flash operations.
//
// In `make test` each runs a fixed number of rounds. With QUOR_SOAK_SECONDS
// set (make soak), each runs for that many seconds instead. Each prints
// "soak: <store>: <operations> operations, <remounts> remounts, <cuts> cuts,
// <mismatches> mismatches". A mismatch stops that soak: the model can no
// longer say what the store should hold. A failure in round i replays with
// QUOR_SOAK_ROUNDS=i+1 (and the same QUOR_POWERCUT_SEED, if one was set).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "afs/afs_model.h"
#include "common/flash_fault.h"
#include "efs/efs_fixture.h"
#include "interface/kamfs.h"
#include "kamfs_fixture.h"
#include "support/power_cut_plan.h"

namespace {

namespace ff = quor::flash_fault;
using Clock = std::chrono::steady_clock;

struct Counts {
    uint64_t operations = 0;
    uint64_t remounts = 0;
    uint64_t cuts = 0;
    uint64_t mismatches = 0;

    void report(const char *store) const {
        std::printf(
            "soak: %s: %llu operations, %llu remounts, %llu cuts, %llu mismatches\n", store,
            static_cast<unsigned long long>(operations), static_cast<unsigned long long>(remounts),
            static_cast<unsigned long long>(cuts), static_cast<unsigned long long>(mismatches));
        ::testing::Test::RecordProperty("operations", std::to_string(operations));
        ::testing::Test::RecordProperty("cuts", std::to_string(cuts));
    }
};

// Runs `round` until it returns false, for QUOR_SOAK_SECONDS or `rounds` rounds.
// The rounds draw from one seeded sequence (QUOR_POWERCUT_SEED varies it), so
// QUOR_SOAK_ROUNDS=<failing round + 1> replays a failure whatever the speed.
void soak(uint32_t rounds, const std::function<bool(uint32_t)> &round) {
    if (const char *fixed = std::getenv("QUOR_SOAK_ROUNDS")) {
        rounds = static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10));
    }
    const char *env = std::getenv("QUOR_SOAK_SECONDS");
    if (env == nullptr || std::getenv("QUOR_SOAK_ROUNDS") != nullptr) {
        for (uint32_t i = 0; i < rounds && round(i); ++i) {
        }
        return;
    }
    const auto end = Clock::now() + std::chrono::seconds(std::strtoul(env, nullptr, 10));
    for (uint32_t i = 0; Clock::now() < end && round(i); ++i) {
    }
}

// Arms a cut of any shape at one of the next `within` flash operations.
power_cut::Point arm_random_cut(uint64_t &seed, uint32_t within) {
    seed = power_cut::mix(seed, within);
    power_cut::Point p = power_cut::any_cut(1 + seed % within, seed);
    ff::record_operations(true);
    power_cut::arm(p);
    return p;
}

// AFS: random writes, truncating writes and deletes; every 8th operation runs
// with a cut armed, every 50th is followed by a plain remount.
TEST(Soak, AfsFilesMatchTheModelThroughRemountsAndCuts) {
    using namespace afs_test;
    ff::Guard guard;
    constexpr int32_t kUsed = 14;
    Volume vol(6 * 8192, 65);
    ASSERT_EQ(vol.format(), 0u);
    Rng rng(power_cut::test_seed());
    uint64_t seed = power_cut::test_seed();
    Model model;
    Counts n;
    soak(3000, [&](uint32_t i) {
        const Op op = random_op(rng, model, kUsed, 1500, i + 1);
        Model after = model;
        afs_test::apply(after, op);
        ++n.operations;
        if (i % 8 != 7) {
            const uint32_t status = run(vol, op);
            if (status == 0) {
                model = after;
            } else if (status != kAfsNoSpace) {
                ADD_FAILURE() << "op " << i << " " << describe(op) << ": status " << status;
                ++n.mismatches;
                return false;
            }
        } else {
            const power_cut::Point p = arm_random_cut(seed, 40);
            run(vol, op);
            const bool cut = ff::power_is_cut();
            ff::disarm();
            n.cuts += cut ? 1 : 0;
            ++n.remounts;
            if (vol.mount() != 0) {
                ADD_FAILURE() << "op " << i << ", " << power_cut::describe(p) << ": mount";
                ++n.mismatches;
                return false;
            }
            if (check_volume(vol, after, kUsed).empty()) {
                model = after;
            } else if (!check_volume(vol, model, kUsed).empty()) {
                ADD_FAILURE() << "op " << i << " " << describe(op) << ", " << power_cut::describe(p)
                              << ": " << check_volume(vol, model, kUsed);
                ++n.mismatches;
                return false;
            }
        }
        if (i % 50 == 49) {
            ++n.remounts;
            const std::string diff = vol.mount() == 0 ? check_volume(vol, model, kUsed) : "mount";
            if (!diff.empty()) {
                ADD_FAILURE() << "remount after op " << i << ": " << diff;
                ++n.mismatches;
                return false;
            }
        }
        return true;
    });
    n.report("AFS");
    EXPECT_EQ(n.mismatches, 0u);
}

// EFS: random whole-file writes, deletes and idle reclaims on the default
// layout; every 6th operation with a cut armed, every 40th a remount.
class SoakEfs : public efs_test::EfsRegionTest {};

TEST_F(SoakEfs, EfsFilesMatchTheModelThroughRemountsAndCuts) {
    using Content = std::optional<std::vector<uint8_t>>;
    ff::Guard guard;
    const std::pair<uint32_t, uint32_t> files[] = {{0, 100}, {1, 300},  {2, 4000},
                                                   {6, 68},  {3, 8000}, {4, 1000}};
    std::map<uint32_t, Content> model;
    for (const auto &f : files) {
        uint32_t st = 0;
        model[f.first] = efs_test::read_all(f.first, &st);
    }
    copy_ = image();
    ASSERT_EQ(EFS_init_tools(copy_.data()), 0u);
    auto differs = [](const std::map<uint32_t, Content> &want) {
        for (const auto &e : want) {
            uint32_t st = 0;
            if (efs_test::read_all(e.first, &st) != e.second) {
                return "file " + std::to_string(e.first);
            }
        }
        return std::string();
    };
    uint64_t seed = power_cut::test_seed();
    Counts n;
    soak(3000, [&](uint32_t i) {
        seed = power_cut::mix(seed, i);
        const auto &f = files[seed % 6];
        std::map<uint32_t, Content> after = model;
        const uint32_t pick = (seed >> 8) % 10;
        std::function<uint32_t()> op;
        if (pick == 0) {
            op = [] { return EFS_idle_reclaim(); };
        } else if (pick == 1) {
            after[f.first] = std::nullopt;
            op = [&f] { return EFS_delete(f.first); };
        } else {
            after[f.first] = efs_test::pattern((seed >> 16) % (f.second + 1), i);
            op = [&f, &after] {
                static const uint8_t none = 0;
                const std::vector<uint8_t> &d = *after[f.first];
                return EFS_write(f.first, 0, static_cast<uint32_t>(d.size()),
                                 d.empty() ? &none : d.data());
            };
        }
        ++n.operations;
        if (i % 6 != 5) {
            const uint32_t status = op();
            const bool absent = pick == 1 && !model[f.first];  // deleting nothing: "no content"
            if (status != 0 && !(absent && status == 2)) {
                ADD_FAILURE() << "op " << i << ": status " << status;
                ++n.mismatches;
                return false;
            }
            model = after;
        } else {
            const power_cut::Point p = arm_random_cut(seed, 30);
            op();
            n.cuts += ff::power_is_cut() ? 1 : 0;
            ff::disarm();
            ++n.remounts;
            if (EFS_init(false) != 0) {
                ADD_FAILURE() << "op " << i << ", " << power_cut::describe(p) << ": mount";
                ++n.mismatches;
                return false;
            }
            if (differs(after).empty()) {
                model = after;
            } else if (!differs(model).empty()) {
                ADD_FAILURE() << "op " << i << ", " << power_cut::describe(p) << ": "
                              << differs(model) << " is neither old nor new";
                ++n.mismatches;
                return false;
            }
        }
        if (i % 40 == 39) {
            ++n.remounts;
            if (EFS_init(false) != 0 || !differs(model).empty()) {
                ADD_FAILURE() << "remount after op " << i << ": " << differs(model);
                ++n.mismatches;
                return false;
            }
        }
        return true;
    });
    n.report("EFS");
    EXPECT_EQ(n.mismatches, 0u);
}

// The configuration store: random new values of AFS and EFS NVARs, each
// round committed (every third with a cut armed) and the image reopened;
// every NVAR must hold its committed value, or after a cut its old or new one.
class SoakFcs : public kamfs_test::KamfsTest {};

// Every report since the last clear, for failure messages.
std::string all_reports() {
    std::string all;
    for (const kamfs_test::Report &r : kamfs_test::reports()) {
        all += " [" + r.text + r.detail + "]";
    }
    return all;
}

TEST_F(SoakFcs, NvarsMatchTheModelThroughCommitsAndCuts) {
    using kamfs_test::Bytes;
    imagekit::ImagePieces pieces = kamfs_test::build(kamfs_test::standardDescription());
    _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(pieces);
    ASSERT_TRUE(kaMfsQuorInit(&record, kamfs_test::recordReport));
    const char *names[] = {kamfs_test::kMtu.name, kamfs_test::kHost.name, kamfs_test::kEmptied.name,
                           kamfs_test::kEfsA.name, kamfs_test::kEfsB.name};
    auto value = [](const char *name) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        if (!kaMfsNvarGet(name, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr)) {
            return kamfs_test::bytesOf("<unreadable>");
        }
        return data == nullptr ? Bytes{} : Bytes(data, data + size);
    };
    std::map<std::string, Bytes> model;
    for (const char *name : names) {
        model[name] = value(name);
    }
    uint64_t seed = power_cut::test_seed();
    std::string lastCut = "none";
    Counts n;
    soak(150, [&](uint32_t i) {
        kamfs_test::reports().clear();
        std::map<std::string, Bytes> after = model;
        for (int c = 0; c < 3; ++c) {
            seed = power_cut::mix(seed, c);
            const char *name = names[seed % 5];
            Bytes v((seed >> 8) % 17);  // the smallest maximum of these files is 16
            for (size_t b = 0; b < v.size(); ++b) {
                v[b] = static_cast<uint8_t>('a' + (seed >> 16) % 26 + b % 3);
            }
            uint8_t *data = nullptr;
            if (!kaMfsNvarResize(name, &data, static_cast<uint32_t>(v.size()))) {
                ADD_FAILURE() << "round " << i << ": resizing " << name;
                ++n.mismatches;
                return false;
            }
            if (!v.empty()) {
                std::memcpy(data, v.data(), v.size());
            }
            after[name] = v;
            ++n.operations;
        }
        const bool withCut = i % 3 == 2;
        power_cut::Point p;
        if (withCut) {
            p = arm_random_cut(seed, 60);
        }
        const bool committed = kaMfsNvarTerm(false);
        if (withCut && ff::power_is_cut()) {
            power_cut::note_operation(p);
            lastCut = "in round " + std::to_string(i) + ": " + power_cut::describe(p);
        }
        n.cuts += ff::power_is_cut() ? 1 : 0;
        ff::disarm();
        if (!withCut && !committed) {
            std::string all;
            for (const kamfs_test::Report &r : kamfs_test::reports()) {
                all += " [" + r.text + r.detail + "]";
            }
            ADD_FAILURE() << "round " << i << ": the commit failed:" << all << "; the last cut was "
                          << lastCut;
            ++n.mismatches;
            return false;
        }
        if (kaFcsIsInitialized()) {
            kaMfsNvarTerm(false);
        }
        ++n.remounts;
        if (!kaMfsQuorInit(&record, kamfs_test::recordReport)) {
            ADD_FAILURE() << "round " << i << (withCut ? ", " + power_cut::describe(p) : "")
                          << ": the image no longer opens:" << all_reports()
                          << "; the last cut was " << lastCut;
            ++n.mismatches;
            return false;
        }
        for (const char *name : names) {
            const Bytes got = value(name);
            if (got == after[name]) {
                model[name] = got;
            } else if (!withCut || got != model[name]) {
                ADD_FAILURE() << "round " << i << (withCut ? ", " + power_cut::describe(p) : "")
                              << ": " << name << " holds " << kamfs_test::hexOf(got);
                ++n.mismatches;
                return false;
            }
        }
        return true;
    });
    if (kaFcsIsInitialized()) {
        kaMfsNvarTerm(false);
    }
    kamfs_test::reports().clear();
    n.report("FCS");
    EXPECT_EQ(n.mismatches, 0u);
}

}  // namespace
