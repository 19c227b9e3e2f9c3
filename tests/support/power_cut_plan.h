// Where the power-cut tests cut: for each flash operation of a workload's
// uncut run (recorded by the fault seam), the cuts worth trying inside it.
//
// An operation of up to kSmallOperation bytes is cut at every byte offset,
// a larger one at offsets 0, 1, half, last and three random ones; the byte at
// the cut holds its old value, its new value or some of the bits the
// operation changes. An erase is also cut with a random scatter of erased
// bytes and with all but a few bytes erased. Every cut's seed derives from
// the test's name, the operation and the cut, so a failure message names
// everything needed to replay it.
//
// How many of an operation's cuts a run tries depends on the level:
//   quick   - one per operation (sanitizer builds: QUOR_POWERCUT_QUICK);
//   default - the count the test asks for, chosen at random per program,
//             and every cut of an erase;
//   long    - all of them (make powercut-long).
// Second cuts (second_cuts) take one cut of any shape per operation, and all
// of them at the long level.
// The environment variable QUOR_POWERCUT=quick|default|long overrides the
// build's level, and QUOR_POWERCUT_SEED changes the seed of every test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/flash_fault.h"

namespace power_cut {

namespace ff = quor::flash_fault;

enum class Level { kQuick, kDefault, kLong };

// Operations up to this many bytes are cut at every byte.
inline constexpr uint32_t kSmallOperation = 32;

inline Level level() {
    const char *env = std::getenv("QUOR_POWERCUT");
    if (env != nullptr && std::strcmp(env, "quick") == 0) {
        return Level::kQuick;
    }
    if (env != nullptr && std::strcmp(env, "long") == 0) {
        return Level::kLong;
    }
    if (env != nullptr && std::strcmp(env, "default") == 0) {
        return Level::kDefault;
    }
#ifdef QUOR_POWERCUT_QUICK
    return Level::kQuick;
#else
    return Level::kDefault;
#endif
}

inline uint64_t mix(uint64_t a, uint64_t b) {
    uint64_t z = a ^ (b + 0x9E3779B97F4A7C15ull + (a << 6) + (a >> 2));
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The seed of the running test: its full name, or QUOR_POWERCUT_SEED mixed in.
inline uint64_t test_seed() {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info != nullptr) {
        for (const char *s : {info->test_suite_name(), ".", info->name()}) {
            for (; *s != '\0'; ++s) {
                h = (h ^ static_cast<uint8_t>(*s)) * 1099511628211ull;
            }
        }
    }
    const char *env = std::getenv("QUOR_POWERCUT_SEED");
    return env == nullptr ? h : mix(h, std::strtoull(env, nullptr, 0));
}

inline const char *name_of(ff::TornByte t) {
    switch (t) {
        case ff::TornByte::kOld:
            return "old";
        case ff::TornByte::kNew:
            return "new";
        case ff::TornByte::kSomeBits:
            return "some bits";
    }
    return "?";
}

inline const char *name_of(ff::EraseShape e) {
    switch (e) {
        case ff::EraseShape::kPrefix:
            return "prefix";
        case ff::EraseShape::kScatter:
            return "scatter";
        case ff::EraseShape::kAllButFew:
            return "all but a few";
    }
    return "?";
}

// One cut: operation k (1-based, counted from where the test arms it).
struct Point {
    uint64_t k = 0;
    ff::Operation op{ff::OpKind::kProgram, 0};
    ff::Cut cut;
};

// The policy class of a point, for the per-policy counts.
inline std::string policy_of(const Point &p) {
    if (p.op.kind == ff::OpKind::kErase && p.cut.erase != ff::EraseShape::kPrefix) {
        return std::string("erase ") + name_of(p.cut.erase) + ", " + name_of(p.cut.torn);
    }
    return std::string(p.op.kind == ff::OpKind::kErase ? "erase prefix, " : "program, ") +
           name_of(p.cut.torn) + " byte";
}

inline std::string describe(const Point &p) {
    char text[200];
    std::snprintf(
        text, sizeof(text),
        "cut at operation %llu (%s of %u bytes: %s, offset %llu%s, seed 0x%llx)",
        static_cast<unsigned long long>(p.k), p.op.kind == ff::OpKind::kErase ? "erase" : "program",
        p.op.length, policy_of(p).c_str(), static_cast<unsigned long long>(p.cut.offset),
        p.cut.wrapOffset ? " modulo the length" : "", static_cast<unsigned long long>(p.cut.seed));
    return text;
}

inline void arm(const Point &p) {
    ff::cut_at(p.k, p.cut);
}

// Byte offsets at which an operation of `length` bytes is cut.
inline std::vector<uint64_t> offsets_of(uint32_t length, uint64_t seed) {
    std::vector<uint64_t> out;
    if (length <= kSmallOperation) {
        for (uint32_t i = 0; i < length; ++i) {
            out.push_back(i);
        }
        return out;
    }
    out = {0, 1, length / 2, length - 1};
    for (int i = 0; i < 3; ++i) {
        seed = mix(seed, 0x0FF5E7);
        out.push_back(2 + seed % (length - 3));
    }
    return out;
}

// Every cut of one operation (the full cross product for it).
inline std::vector<ff::Cut> cuts_of(const ff::Operation &op, uint64_t seed) {
    std::vector<ff::Cut> out;
    const ff::TornByte torns[] = {ff::TornByte::kOld, ff::TornByte::kNew, ff::TornByte::kSomeBits};
    for (uint64_t offset : offsets_of(op.length, seed)) {
        for (ff::TornByte t : torns) {
            out.push_back({offset, false, t, ff::EraseShape::kPrefix, 0});
        }
    }
    if (op.kind == ff::OpKind::kErase) {
        for (ff::EraseShape e : {ff::EraseShape::kScatter, ff::EraseShape::kAllButFew}) {
            for (ff::TornByte t : {ff::TornByte::kOld, ff::TornByte::kSomeBits}) {
                for (int i = 0; i < 2; ++i) {
                    out.push_back({0, false, t, e, 0});
                }
            }
        }
    }
    for (size_t i = 0; i < out.size(); ++i) {
        out[i].seed = mix(seed, i);
    }
    return out;
}

// The points of a workload whose uncut run made `ops`: `perOperation` of
// each operation's cuts at the default level, one at quick, all at long.
inline std::vector<Point> plan(const std::vector<ff::Operation> &ops, uint64_t seed,
                               uint32_t perOperation, Level lvl = level()) {
    std::vector<Point> out;
    for (size_t i = 0; i < ops.size(); ++i) {
        const uint64_t opSeed = mix(seed, i + 1);
        std::vector<ff::Cut> cuts = cuts_of(ops[i], opSeed);
        size_t take = cuts.size();
        // Erases are few and their cuts the richest: the default level
        // takes all of them.
        const bool all =
            lvl == Level::kLong || (lvl == Level::kDefault && ops[i].kind == ff::OpKind::kErase);
        if (!all) {
            take = std::min<size_t>(take, lvl == Level::kQuick ? 1 : perOperation);
            // A seeded partial shuffle picks which.
            uint64_t r = opSeed;
            for (size_t j = 0; j < take; ++j) {
                r = mix(r, j);
                std::swap(cuts[j], cuts[j + r % (cuts.size() - j)]);
            }
        }
        for (size_t j = 0; j < take; ++j) {
            out.push_back({i + 1, ops[i], cuts[j]});
        }
    }
    return out;
}

// One cut of any operation, for the second cuts, whose operations are not
// recorded first: a random offset taken modulo the operation's length, a
// random torn byte and a random erase shape.
inline Point any_cut(uint64_t k, uint64_t seed) {
    const uint64_t r = mix(seed, k);
    ff::Cut c;
    c.offset = mix(r, 1);
    c.wrapOffset = true;
    c.torn = static_cast<ff::TornByte>(r % 3);
    c.erase = static_cast<ff::EraseShape>((r >> 8) % 3);
    c.seed = mix(r, 2);
    Point p;
    p.k = k;
    p.cut = c;
    return p;
}

// The second cuts after one first cut, in the `resume` operations that an
// uncut run after the recovery made: at the long level every cut of every
// operation (the cross product, as plan() makes it), else one cut of any
// shape at each operation.
inline std::vector<Point> second_cuts(const std::vector<ff::Operation> &resume, uint64_t seed,
                                      Level lvl = level()) {
    if (lvl == Level::kLong) {
        return plan(resume, seed, 0, lvl);
    }
    std::vector<Point> out;
    for (size_t i = 0; i < resume.size(); ++i) {
        out.push_back(any_cut(i + 1, seed));
        out.back().op = resume[i];
    }
    return out;
}

// Fills in the operation a cut from any_cut() fell in: the last one the
// seam recorded (record_operations(true) before the replay).
inline void note_operation(Point &p) {
    const std::vector<ff::Operation> &ops = ff::recorded_operations();
    if (!ops.empty()) {
        p.op = ops.back();
    }
}

// Cut points tried and passed, per policy.
class Tally {
  public:
    void add(const Point &p, bool passed) {
        ++tried_;
        passed_ += passed ? 1 : 0;
        const std::string policy = policy_of(p);
        auto it = std::find_if(byPolicy_.begin(), byPolicy_.end(),
                               [&](const auto &e) { return e.first == policy; });
        if (it == byPolicy_.end()) {
            byPolicy_.emplace_back(policy, 0);
            it = byPolicy_.end() - 1;
        }
        ++it->second;
    }
    uint64_t tried() const { return tried_; }
    uint64_t passed() const { return passed_; }

    // The line every power-cut test prints, then the split by policy.
    void report(const std::string &workload) const {
        std::printf("power cuts: %s: %llu cut points\n", workload.c_str(),
                    static_cast<unsigned long long>(tried_));
        std::string split;
        for (const auto &e : byPolicy_) {
            split += (split.empty() ? "" : "; ") + e.first + " " + std::to_string(e.second);
        }
        std::printf("  by policy: %s\n", split.c_str());
        ::testing::Test::RecordProperty("cut_points", std::to_string(tried_));
    }

  private:
    uint64_t tried_ = 0;
    uint64_t passed_ = 0;
    std::vector<std::pair<std::string, uint64_t>> byPolicy_;
};

}  // namespace power_cut
