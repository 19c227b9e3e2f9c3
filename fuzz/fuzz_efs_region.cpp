// Arbitrary bytes as an EFS layout and region: load_autogen_data and
// EFS_init_tools must never touch memory outside the table or the region, and
// a region that mounts must remount to the same file contents after a few
// writes, a delete and idle reclaims, with every successful change applied
// and nothing else changed.
//
// Input (fuzz_inputs.h): u32 SKU, u32 table length, 8 operation bytes, the
// file table buffer, then the region (cut or padded with 0xFF to the size the
// layout gives). Table and region each sit in a heap block of exact size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include "efs/EFS.h"
#include "efs/efs_tools_utils.h"
#include "fuzz/fuzz_inputs.h"

namespace {

using fuzz_inputs::Bytes;
using namespace quor::efs;

// Regions above this size are skipped: they only slow the fuzzer down.
constexpr uint32_t kMaxRegion = 256 * 1024;

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

// A heap copy of exact size, so that any access past it is caught.
struct HeapCopy {
    uint8_t *p;
    explicit HeapCopy(const Bytes &b, size_t size) : p(static_cast<uint8_t *>(std::malloc(size))) {
        std::memset(p, kErasedByte, size);
        if (!b.empty()) {
            std::memcpy(p, b.data(), b.size() < size ? b.size() : size);
        }
    }
    ~HeapCopy() { std::free(p); }
    HeapCopy(const HeapCopy &) = delete;
    HeapCopy &operator=(const HeapCopy &) = delete;
};

// What a file reads as: no content (status 2) or its bytes.
using FileState = std::optional<Bytes>;

// The state of a file, or nothing when the region does not let it be read
// consistently (such a file is left out of the comparison).
std::optional<FileState> read_file(uint32_t index) {
    uint32_t size = 0;
    const uint32_t status = EFS_get_file_size(index, &size);
    if (status == EFS_ERR_NO_CONTENT) {
        return FileState{};
    }
    if (status != EFS_OK) {
        return std::nullopt;
    }
    Bytes content(size + 1);
    uint32_t count = size;
    if (EFS_read(index, 0, &count, content.data()) != EFS_OK) {
        return std::nullopt;
    }
    check(count == size, "a read of the whole file delivers its size", index);
    content.resize(size);
    // A read from the middle delivers the tail.
    Bytes tail(size + 1);
    count = size;
    if (EFS_read(index, size / 2, &count, tail.data()) == EFS_OK) {
        check(count == size - size / 2 &&
                  std::memcmp(tail.data(), content.data() + size / 2, count) == 0,
              "a read from the middle delivers the tail", index);
    }
    return FileState{content};
}

// Where a file may keep its records, as a range over the data areas laid end
// to end: its first record's place, 4 + maximum bytes, and a 4-byte header in
// each further block it may run into.
struct Extent {
    uint64_t begin;
    uint64_t end;
};

Extent extent_of(uint32_t index) {
    const FilePlacement file = file_placement(index);
    const uint64_t begin = uint64_t{file.block} * kDataAreaSize + file.offset;
    const uint64_t max = file.maxSize;
    return {begin, begin + kRecordHeaderSize + max + kRecordHeaderSize * (max / kRecordRoom + 1)};
}

struct Model {
    std::map<uint32_t, FileState> files;

    // A fuzzed layout may let files share bytes: a change of one then
    // legitimately changes the other, which is left out of the comparison.
    void forget_overlapping(uint32_t index) {
        const Extent e = extent_of(index);
        for (auto it = files.begin(); it != files.end();) {
            const Extent o = extent_of(it->first);
            const bool overlaps = it->first != index && o.begin < e.end && e.begin < o.end;
            it = overlaps ? files.erase(it) : std::next(it);
        }
    }

    void write(uint32_t index, const Bytes &data) {
        static const uint8_t kNothing = 0;
        const uint32_t status = EFS_write(index, 0, static_cast<uint32_t>(data.size()),
                                          data.empty() ? &kNothing : data.data());
        if (verbose()) {
            std::fprintf(stderr, "write file %u, %zu bytes: %u\n", index, data.size(), status);
        }
        forget_overlapping(index);
        if (status == EFS_OK && files.count(index) != 0) {
            files[index] = FileState{data};
        } else {
            files.erase(index);
        }
    }

    void remove(uint32_t index) {
        const uint32_t status = EFS_delete(index);
        if (verbose()) {
            std::fprintf(stderr, "delete file %u: %u\n", index, status);
        }
        forget_overlapping(index);
        if (status == EFS_OK && files.count(index) != 0) {
            files[index] = FileState{};
        } else {
            files.erase(index);
        }
    }
};

Bytes pattern(uint32_t length, uint8_t seed) {
    Bytes out(length);
    for (uint32_t i = 0; i < length; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    }
    return out;
}

// A length around the file's maximum, so that too-long writes are tried too.
uint32_t length_for(uint32_t index, uint32_t wanted) {
    return wanted % (file_placement(index).maxSize + 8);
}

void apply_operations(Model &model, const uint8_t *op) {
    const uint32_t count = g_efs_files_num;
    const uint32_t a = op[0] % count;
    model.write(a, pattern(length_for(a, op[1] | (op[2] << 8)), op[6]));
    if ((op[3] & 0x01) != 0) {
        const uint32_t b = op[5] % count;
        model.write(b, pattern(length_for(b, op[6] * 17u), static_cast<uint8_t>(op[6] ^ 0xA5)));
    }
    if ((op[3] & 0x02) != 0) {
        model.remove((a + 1) % count);
    }
    if ((op[3] & 0x04) != 0) {
        // A write at a non-zero offset is refused and changes nothing.
        const uint8_t byte = 0;
        check(EFS_write(a, 1, 1, &byte) != EFS_OK, "a write at offset 1 is refused", a);
    }
    for (uint32_t i = 0; i < op[7] % 8u; ++i) {
        const uint32_t status = EFS_idle_reclaim();
        if (verbose()) {
            std::fprintf(stderr, "idle reclaim: %u\n", status);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < fuzz_inputs::kEfsHeaderSize || size > (1u << 20)) {
        return 0;
    }
    fuzz_inputs::Reader in(data, size);
    const uint32_t sku = in.u32();
    const uint32_t tableLength = in.u32();
    const Bytes op = in.take(fuzz_inputs::kOpBytes);
    const Bytes tableBytes = in.take(tableLength);
    const Bytes regionBytes = in.rest();

    HeapCopy table(tableBytes, tableBytes.empty() ? 1 : tableBytes.size());
    // A rejected table may leave layout globals half-set and a table without
    // a layout leaves them alone, so "loaded" is cleared first: set afterwards,
    // it means this input's layout was taken in whole.
    g_efs_autogen_data_loaded = 0;
    const uint32_t loaded =
        load_autogen_data(table.p, sku, static_cast<uint32_t>(tableBytes.size()));
    check(loaded == kLayoutOk || loaded == kLayoutMalformed, "layout status is 0 or 1");
    if (loaded != kLayoutOk || g_efs_autogen_data_loaded == 0 || g_efs_files_num == 0) {
        return 0;
    }
    for (uint32_t i = 0; i < g_efs_files_num + 4; ++i) {
        check((file_entry(i) != nullptr) == (i < g_efs_files_num), "file entries end at filesNum",
              i);
    }
    const uint32_t regionSize = EFS_get_efs_size();
    if (regionSize == 0 || regionSize > kMaxRegion) {
        return 0;
    }
    HeapCopy region(regionBytes, regionSize);
    if (EFS_init_tools(region.p) != EFS_OK) {
        return 0;
    }
    check(EFS_is_initialized() == 1, "a mounted region says so");
    Model model;
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        if (auto state = read_file(i)) {
            model.files[i] = *state;
        }
    }
    if (verbose()) {
        std::fprintf(stderr, "mounted: %u files (BM %u, V %u, N %u), %zu readable\n",
                     g_efs_files_num, g_efs_bm_num, g_efs_valid_block_num,
                     g_efs_non_valid_block_num, model.files.size());
    }
    apply_operations(model, op.data());

    const uint32_t remount = EFS_init_tools(region.p);
    if (verbose()) {
        std::fprintf(stderr, "remount: %u\n", remount);
    }
    check(remount == EFS_OK, "a mounted region mounts again after the changes", remount);
    for (const auto &[index, expected] : model.files) {
        const std::optional<FileState> got = read_file(index);
        check(got.has_value(), "a readable file stays readable", index);
        check(got->has_value() == expected.has_value(), "content presence survives the remount",
              index);
        check(!expected || **got == *expected, "content survives the remount", index);
    }
    return 0;
}
