// Power loss at an arbitrary instruction of a commit: a child process opens
// the standard image, whose pieces live in shared memory, and commits new
// values of AFS and EFS NVARs round after round (each commit closes the
// storage, the next round reopens it); the parent kills it with SIGKILL at
// random instants. The parent then opens what the pieces hold: every NVAR
// must hold its value from before the commit under way or from after it,
// and the image must take a further commit and reopen with it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "interface/kamfs.h"
#include "kamfs_fixture.h"
#include "support/kill_harness.h"
#include "support/power_cut_plan.h"

namespace kamfs_test {
namespace {

using Clock = std::chrono::steady_clock;
using Values = std::map<std::string, Bytes>;
using Round = std::vector<std::pair<std::string, Bytes>>;

// Rounds of the workload; fewer in sanitizer builds, where a round is about
// a hundred times slower.
uint32_t rounds_for_level() {
    return power_cut::level() == power_cut::Level::kQuick ? 30 : 300;
}
const char *const kNames[] = {kMtu.name, kHost.name, kEmptied.name, kEfsA.name, kEfsB.name};

// The pieces of an image laid end to end in one buffer, and a record whose
// pointers lead into a copy of that buffer.
class PackedPieces {
  public:
    explicit PackedPieces(const imagekit::ImagePieces &p) : skuId_(p.skuId) {
        for (const Bytes *piece : {&p.fileTable, &p.vendorCfg, &p.toolPartition, &p.afs, &p.efs}) {
            spans_.push_back({bytes_.size(), piece->size()});
            bytes_.insert(bytes_.end(), piece->begin(), piece->end());
        }
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

    _commonQuorTable recordOver(uint8_t *base) const {
        _commonQuorTable r{};
        auto set = [&](auto &buffer, size_t i) {
            buffer.data = spans_[i].second == 0 ? nullptr : base + spans_[i].first;
            buffer.size = static_cast<uint32_t>(spans_[i].second);
        };
        set(r.ftbl, 0);
        set(r.ostraCfg, 1);
        set(r.tavcCfg, 2);
        set(r.mfs, 3);
        set(r.efs, 4);
        r.afsSkuId = skuId_;
        return r;
    }

  private:
    std::vector<uint8_t> bytes_;
    std::vector<std::pair<size_t, size_t>> spans_;  // offset, size
    uint32_t skuId_;
};

// Three seeded changes per round, values of up to 16 bytes (the smallest
// maximum of these NVARs).
std::vector<Round> random_rounds(uint64_t seed) {
    std::vector<Round> rounds(rounds_for_level());
    for (Round &round : rounds) {
        for (int c = 0; c < 3; ++c) {
            seed = power_cut::mix(seed, c);
            Bytes v((seed >> 8) % 17);
            for (size_t b = 0; b < v.size(); ++b) {
                v[b] = static_cast<uint8_t>('a' + (seed >> 16) % 26 + b % 3);
            }
            round.emplace_back(kNames[seed % 5], v);
        }
    }
    return rounds;
}

bool set_value(const std::string &name, const Bytes &v) {
    uint8_t *data = nullptr;
    if (!kaMfsNvarResize(name.c_str(), &data, static_cast<uint32_t>(v.size()))) {
        return false;
    }
    if (!v.empty()) {
        std::memcpy(data, v.data(), v.size());
    }
    return true;
}

Bytes current_value(const char *name) {
    uint8_t *data = nullptr;
    uint32_t size = 0;
    if (!kaMfsNvarGet(name, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr)) {
        return bytesOf("<unreadable>");
    }
    return data == nullptr ? Bytes{} : Bytes(data, data + size);
}

std::string all_reports() {
    std::string all;
    for (const Report &r : reports()) {
        all += " [" + r.text + r.detail + "]";
    }
    return all;
}

// The child's work: opens the image over `base` and commits the rounds,
// reopening after each; each round is one operation.
void commit_rounds(const PackedPieces &packed, uint8_t *base, const std::vector<Round> &rounds,
                   kill_harness::Progress *progress) {
    const _commonQuorTable record = packed.recordOver(base);
    if (!kaMfsQuorInit(&record, recordReport)) {
        return;
    }
    for (uint32_t i = 0; i < rounds.size(); ++i) {
        if (progress != nullptr) {
            kill_harness::begin_operation(*progress, i);
        }
        for (const auto &change : rounds[i]) {
            set_value(change.first, change.second);
        }
        kaMfsNvarTerm(false);
        kaMfsQuorInit(&record, recordReport);
        if (progress != nullptr) {
            kill_harness::end_operation(*progress, i);
        }
    }
    if (kaFcsIsInitialized()) {
        kaMfsNvarTerm(false);
    }
}

// "" when every NVAR of the open storage holds its value in `want`.
std::string differs(const Values &want) {
    for (const auto &e : want) {
        const Bytes got = current_value(e.first.c_str());
        if (got != e.second) {
            return e.first + " holds " + hexOf(got) + ", expected " + hexOf(e.second);
        }
    }
    return "";
}

class KamfsPowerCutKill : public KamfsTest {};

TEST_F(KamfsPowerCutKill, EveryNvarIsOldOrNewAfterASigkillDuringCommits) {
    imagekit::ImagePieces pieces = build(standardDescription());
    const PackedPieces packed(pieces);
    const std::vector<Round> rounds = random_rounds(power_cut::test_seed());

    // The values after each round, starting from those the image holds.
    std::vector<Values> states(1);
    std::vector<uint8_t> uncut = packed.bytes();
    {
        const _commonQuorTable record = packed.recordOver(uncut.data());
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport)) << all_reports();
        for (const char *name : kNames) {
            states[0][name] = current_value(name);
        }
        kaMfsNvarTerm(false);
    }
    for (const Round &round : rounds) {
        states.push_back(states.back());
        for (const auto &change : round) {
            states.back()[change.first] = change.second;
        }
    }
    const auto t0 = Clock::now();
    commit_rounds(packed, uncut.data(), rounds, nullptr);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
    {
        const _commonQuorTable record = packed.recordOver(uncut.data());
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport)) << "uncut run:" << all_reports();
        ASSERT_EQ(differs(states.back()), "") << "uncut run";
        kaMfsNvarTerm(false);
    }

    kill_harness::SharedRegion region(packed.bytes().size());
    ASSERT_TRUE(region.ok());
    kill_harness::Campaign c;
    c.initial = packed.bytes();
    c.operations = static_cast<uint32_t>(rounds.size());
    c.span = span;
    c.seed = power_cut::test_seed();
    c.work = [&](kill_harness::Progress &p) { commit_rounds(packed, region.flash(), rounds, &p); };
    uint32_t n = 0;
    c.check = [&](const kill_harness::Result &r, const std::string &where) {
        reports().clear();
        const _commonQuorTable record = packed.recordOver(region.flash());
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport))
            << where << ": the image no longer opens:" << all_reports();
        // Each NVAR on its own is old or new: the commit writes its files one
        // after the other.
        Values shown;
        for (const char *name : kNames) {
            const Bytes got = current_value(name);
            const Bytes &old = states[r.finished].at(name);
            const Bytes &now = states[r.started > r.finished ? r.started : r.finished].at(name);
            EXPECT_TRUE(got == old || got == now)
                << where << ": " << name << " holds " << hexOf(got) << ", neither " << hexOf(old)
                << " nor " << hexOf(now);
            shown[name] = got;
        }
        const Bytes probe = bytesOf("probe" + std::to_string(++n % 1000));
        shown[kHost.name] = probe;
        ASSERT_TRUE(set_value(kHost.name, probe)) << where;
        ASSERT_TRUE(kaMfsNvarTerm(false)) << where << ": commit after the kill:" << all_reports();
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport))
            << where << ": reopening after a commit:" << all_reports();
        EXPECT_EQ(differs(shown), "") << where << ", recommitted";
        kaMfsNvarTerm(false);
    };
    kill_harness::report("commit with AFS and EFS NVARs, SIGKILL",
                         kill_harness::run_campaign(region, c), span);
}

}  // namespace
}  // namespace kamfs_test
