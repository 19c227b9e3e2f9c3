// Arbitrary bytes as an AFS region mounted through DFS: dfs_init must never
// touch memory outside the region whatever its bytes say, and a volume that
// mounts must remount to the same file contents after a few writes, a delete
// and reclaims, with every successful change applied and nothing else changed.
//
// Input (fuzz_inputs.h): 8 operation bytes, then the region. The region is
// copied into a heap block of its exact size so that any overread is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "afs/AfsContext.h"
#include "fuzz/fuzz_inputs.h"
#include "interface/dfs.h"

namespace {

using fuzz_inputs::Bytes;

// FUZZ_VERBOSE=1 traces each step, for triage of a saved input.
bool verbose() {
    static const bool on = std::getenv("FUZZ_VERBOSE") != nullptr;
    return on;
}

void check(bool condition, const char *what, uint32_t file = 0) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s (file or status %u)\n", what, file);
        std::abort();
    }
}

// What a file reads as: absent (dfs_getsize answers 2) or its bytes.
using FileState = std::optional<Bytes>;

// The state of a file, or nothing when it cannot be read consistently (the
// region damages it): such a file is left out of the comparison.
std::optional<FileState> read_file(uint32_t index) {
    uint32_t size = 0;
    const uint32_t status = dfs_getsize(index, &size);
    if (status == QUOR_DFS_NOT_FOUND) {
        return FileState{};
    }
    if (status != QUOR_DFS_OK) {
        return std::nullopt;
    }
    Bytes content(size);
    uint32_t length = size;
    uint8_t spare = 0;
    if (dfs_read(index, 0, &length, size == 0 ? &spare : content.data()) != QUOR_DFS_OK) {
        return std::nullopt;
    }
    check(length == size, "a read of the whole file delivers its size", index);
    return FileState{content};
}

uint32_t file_count() {
    return dfs_context != nullptr ? dfs_context->fileCount : 0;
}

// Expected contents: files the region lets us read, updated by each change.
struct Model {
    std::map<uint32_t, FileState> files;
    // An operation answered 5: the volume is damaged beyond what it can
    // repair, and a later mount may refuse it.
    bool damaged = false;

    void note(uint32_t status) { damaged = damaged || status == QUOR_DFS_IO_ERROR; }

    void forget(uint32_t index) { files.erase(index); }

    // dfs_write of `data` at `offset`; the file is unknown after a failure.
    void write(uint32_t index, uint32_t offset, const Bytes &data, bool truncate) {
        auto it = files.find(index);
        const bool known = it != files.end();
        static const uint8_t kNothing = 0;
        const uint32_t status =
            dfs_write(index, offset, static_cast<uint32_t>(data.size()),
                      data.empty() ? &kNothing : data.data(), truncate ? 1u : 0u);
        if (verbose()) {
            std::fprintf(stderr, "write file %u at %u, %zu bytes%s: %u\n", index, offset,
                         data.size(), truncate ? ", truncating" : "", status);
        }
        note(status);
        if (status != QUOR_DFS_OK || !known) {
            forget(index);
            return;
        }
        Bytes content = it->second ? *it->second : Bytes{};
        check(offset <= content.size(), "harness writes inside or at the end of a file", index);
        Bytes next(content.begin(), content.begin() + offset);
        next.insert(next.end(), data.begin(), data.end());
        if (!truncate && content.size() > next.size()) {
            next.insert(next.end(), content.begin() + next.size(), content.end());
        }
        it->second = next;
    }

    void remove(uint32_t index) {
        const uint32_t status = dfs_delete_file(index);
        if (verbose()) {
            std::fprintf(stderr, "delete file %u: %u\n", index, status);
        }
        note(status);
        if (status == QUOR_DFS_OK) {
            files[index] = FileState{};
        } else {
            forget(index);
        }
    }
};

Bytes pattern(uint32_t length, uint8_t seed) {
    Bytes out(length);
    for (uint32_t i = 0; i < length; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return out;
}

// An offset inside or at the end of the file, so the model stays exact.
uint32_t offset_within(const Model &model, uint32_t index, uint32_t wanted) {
    auto it = model.files.find(index);
    const size_t size = it != model.files.end() && it->second ? it->second->size() : 0;
    return static_cast<uint32_t>(wanted % (size + 1));
}

void apply_operations(Model &model, const uint8_t *op) {
    const uint32_t count = file_count();
    const uint32_t a = op[0] % count;
    const uint32_t b = op[6] % count;
    const uint32_t lengthA = (op[1] | (op[2] << 8)) % 3000;
    const uint32_t offsetA = offset_within(model, a, op[3] | (op[4] << 8));
    model.write(a, offsetA, pattern(lengthA, op[7]), (op[5] & 0x01) != 0);
    if ((op[5] & 0x02) != 0) {
        model.write(b, 0, pattern(op[7] * 5u, static_cast<uint8_t>(op[7] ^ 0x5A)), true);
    }
    if ((op[5] & 0x04) != 0) {
        model.remove((a + 1) % count);
    }
    if ((op[5] & 0x08) != 0) {
        const uint32_t status = dfs_idle_reclaim();
        model.note(status);
        if (verbose()) {
            std::fprintf(stderr, "idle reclaim: %u\n", status);
        }
    }
    if ((op[5] & 0x10) != 0) {
        const uint32_t status = dfs_force_full_reclaim();
        model.note(status);
        if (verbose()) {
            std::fprintf(stderr, "full reclaim: %u\n", status);
        }
    }
    if ((op[5] & 0x20) != 0) {
        model.write(a, 0, pattern(op[1], op[2]), true);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < fuzz_inputs::kOpBytes || size > (1u << 20)) {
        return 0;
    }
    const uint8_t *op = data;
    const size_t regionSize = size - fuzz_inputs::kOpBytes;
    auto *region = static_cast<uint8_t *>(std::malloc(regionSize == 0 ? 1 : regionSize));
    if (regionSize != 0) {
        std::memcpy(region, data + fuzz_inputs::kOpBytes, regionSize);
    }
    if (dfs_init(region, static_cast<uint32_t>(regionSize)) == QUOR_DFS_OK && file_count() != 0) {
        Model model;
        const uint32_t count = file_count();
        for (uint32_t i = 0; i < count; ++i) {
            if (auto state = read_file(i)) {
                model.files[i] = *state;
            }
        }
        if (verbose()) {
            std::fprintf(stderr, "mounted: %u slots, %zu files readable\n", count,
                         model.files.size());
        }
        apply_operations(model, op);

        const uint32_t remount = dfs_init(region, static_cast<uint32_t>(regionSize));
        if (verbose()) {
            std::fprintf(stderr, "remount: %u\n", remount);
        }
        // Left to judgement: once an operation reported damage (5), the
        // volume may no longer mount; everything else must still hold.
        check(remount == QUOR_DFS_OK || model.damaged,
              "a mounted volume mounts again after the changes", remount);
        check(remount != QUOR_DFS_OK || file_count() == count,
              "the remount has the same file count");
        for (const auto &[index, expected] : model.files) {
            if (remount != QUOR_DFS_OK) {
                break;
            }
            const std::optional<FileState> got = read_file(index);
            check(got.has_value(), "a readable file stays readable", index);
            check(got->has_value() == expected.has_value(), "presence survives the remount", index);
            check(!expected || **got == *expected, "content survives the remount", index);
        }
    }
    // Drop the context that points into the region before the region goes:
    // a failed mount leaves nothing usable, so this mount of nothing is cheap.
    dfs_init(nullptr, 0);
    std::free(region);
    return 0;
}
