// In-memory model of AFS file contents and a generator of file operations,
// shared by the power-cut and randomized tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "afs/Afs.h"
#include "afs_volume_fixture.h"

namespace afs_test {

enum class OpKind { kWrite, kTruncatingWrite, kDelete };

struct Op {
    OpKind kind;
    int32_t file;
    uint32_t offset;
    uint32_t length;
    uint32_t version;  // seeds the data pattern
};

inline std::string describe(const Op &op) {
    const char *names[] = {"write", "truncating write", "delete"};
    return std::string(names[static_cast<int>(op.kind)]) + " file " + std::to_string(op.file) +
           " offset " + std::to_string(op.offset) + " length " + std::to_string(op.length);
}

// Expected contents: file index -> bytes; absent files are not in the map.
using Model = std::map<int32_t, std::vector<uint8_t>>;

inline void apply(Model &model, const Op &op) {
    if (op.kind == OpKind::kDelete) {
        model.erase(op.file);
        return;
    }
    std::vector<uint8_t> &f = model[op.file];
    const std::vector<uint8_t> data =
        pattern(op.length, static_cast<uint32_t>(op.file), op.version);
    if (op.kind == OpKind::kTruncatingWrite) {
        f.resize(op.offset, 0);
        f.resize(op.offset + op.length, 0);
    } else if (op.length == 0) {
        return;
    } else if (f.size() < op.offset + op.length) {
        f.resize(op.offset + op.length, 0);
    }
    std::copy(data.begin(), data.end(), f.begin() + op.offset);
}

inline uint32_t run(Volume &vol, const Op &op) {
    switch (op.kind) {
        case OpKind::kDelete:
            return afs_deletefile(&vol.ctx(), op.file);
        case OpKind::kTruncatingWrite:
            return vol.write(op.file, op.offset,
                             pattern(op.length, static_cast<uint32_t>(op.file), op.version),
                             kAfsWriteTruncate);
        case OpKind::kWrite:
            break;
    }
    return vol.write(op.file, op.offset,
                     pattern(op.length, static_cast<uint32_t>(op.file), op.version));
}

// Small deterministic generator (no global state).
class Rng {
  public:
    explicit Rng(uint64_t seed) : s_(seed * 6364136223846793005ull + 1442695040888963407ull) {}
    uint32_t next() {
        s_ = s_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s_ >> 33);
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : next() % n; }

  private:
    uint64_t s_;
};

// A random operation on one of `files` files, keeping files below maxSize.
inline Op random_op(Rng &rng, const Model &model, int32_t files, uint32_t maxSize,
                    uint32_t version) {
    Op op{};
    op.file = static_cast<int32_t>(rng.below(static_cast<uint32_t>(files)));
    op.version = version;
    const auto it = model.find(op.file);
    const uint32_t size = it == model.end() ? 0 : static_cast<uint32_t>(it->second.size());
    const uint32_t pick = rng.below(10);
    if (pick < 2 && it != model.end()) {
        op.kind = OpKind::kDelete;
        return op;
    }
    op.kind = pick < 5 ? OpKind::kTruncatingWrite : OpKind::kWrite;
    op.offset = rng.below(std::min(size + 100, maxSize));
    op.length = rng.below(maxSize - op.offset);
    if (pick == 9) {
        op.offset = op.offset / 64 * 64;  // chunk boundaries get their share
    }
    return op;
}

// Compares every file of the volume with the model; empty string when equal,
// else a description of the first difference.
inline std::string check_volume(Volume &vol, const Model &model, int32_t files) {
    for (int32_t i = 0; i < files; ++i) {
        const auto it = model.find(i);
        if (it != model.end()) {
            const std::string difference = vol.differs(i, it->second);
            if (!difference.empty()) {
                return difference;
            }
            continue;
        }
        std::vector<uint8_t> got;
        const uint32_t status = vol.read_all(i, &got);
        if (status != kAfsNotFound) {
            return "file " + std::to_string(i) + " should be absent, status " +
                   std::to_string(status);
        }
    }
    return "";
}

}  // namespace afs_test
