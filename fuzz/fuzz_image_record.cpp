// Arbitrary pieces of a firmware image opened as storage: kaMfsQuorInit must
// never touch memory outside the pieces whatever their bytes say, reports
// must carry terminated texts, and kaMfsNvarTerm(true) then
// kaMfsNvarTerm(false) must release everything. A commit that succeeds must
// be durable: the image it leaves behind (AFS and EFS regions changed in
// place, the tool partition replaced by the committed configuration) opens
// again with the same value for every NVAR.
//
// Input (fuzz_inputs.h): u32 SKU, five u32 piece lengths, 8 operation bytes,
// then the pieces. Each piece sits in a heap block of its exact size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fcs/FCS.h"
#include "fuzz/fuzz_inputs.h"
#include "interface/kamfs.h"

namespace {

using fuzz_inputs::Bytes;

void check(bool condition, const char *what, const std::string &name = "") {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s %s\n", what, name.c_str());
        std::abort();
    }
}

// Reads both texts to their end, so that an unterminated one is caught.
void on_status(int32_t, int32_t, const char *errorText, const char *detail) {
    volatile size_t sink = 0;
    sink = sink + (errorText != nullptr ? std::strlen(errorText) : 0);
    sink = sink + (detail != nullptr ? std::strlen(detail) : 0);
}

// One piece in a heap block of exact size; null for an empty piece.
struct Piece {
    uint8_t *p = nullptr;
    uint32_t size = 0;
    Piece() = default;
    explicit Piece(const Bytes &b) { assign(b); }
    void assign(const Bytes &b) {
        std::free(p);
        p = nullptr;
        size = static_cast<uint32_t>(b.size());
        if (!b.empty()) {
            p = static_cast<uint8_t *>(std::malloc(b.size()));
            std::memcpy(p, b.data(), b.size());
        }
    }
    ~Piece() { std::free(p); }
    Piece(const Piece &) = delete;
    Piece &operator=(const Piece &) = delete;
};

_commonQuorTable make_record(Piece *pieces, uint32_t sku) {
    _commonQuorTable record{};
    auto set = [](QuorBuffer &buffer, const Piece &piece) {
        buffer.data = piece.p;
        buffer.size = piece.size;
    };
    set(record.ftbl, pieces[0]);
    set(record.ostraCfg, pieces[1]);
    set(record.tavcCfg, pieces[2]);
    set(record.mfs, pieces[3]);
    record.afsSkuId = sku;
    set(record.efs, pieces[4]);
    return record;
}

// The distinct file names of the selected file table, in table order.
std::vector<std::string> table_names() {
    std::vector<std::string> names;
    if (g_table_buf == nullptr || g_table_num_files < 1) {
        return names;
    }
    const auto *first = reinterpret_cast<const char *>(g_table_buf);
    const int32_t count = g_table_num_files < 256 ? g_table_num_files : 256;
    for (int32_t i = 0; i < count; ++i) {
        const char *name = first + 68 * static_cast<size_t>(i);
        const std::string n(name, strnlen(name, 48));
        bool seen = false;
        for (const std::string &m : names) {
            seen = seen || m == n;
        }
        if (!seen && !n.empty()) {
            names.push_back(n);
        }
    }
    return names;
}

// Every NVAR of the current values that kaMfsNvarGet hands out, by name.
std::map<std::string, Bytes> current_nvars(const std::vector<std::string> &names) {
    std::map<std::string, Bytes> values;
    const uint32_t current = kaMfsGetFcsFileNameMapping(2);
    for (const std::string &name : names) {
        uint8_t *value = nullptr;
        uint32_t size = 0;
        if (kaMfsNvarGet(name.c_str(), &value, &size, current, nullptr, nullptr)) {
            check(size == 0 || value != nullptr, "a value of non-zero size has a buffer", name);
            values[name] = size != 0 ? Bytes(value, value + size) : Bytes{};
        }
    }
    return values;
}

void resize(const std::vector<std::string> &names, uint8_t which, uint32_t newSize, uint8_t seed) {
    if (names.empty()) {
        return;
    }
    const std::string &name = names[which % names.size()];
    uint8_t *value = nullptr;
    if (kaMfsNvarResize(name.c_str(), &value, newSize) && value != nullptr) {
        for (uint32_t i = 0; i < newSize; ++i) {
            value[i] = static_cast<uint8_t>(seed + 3 * i);
        }
    }
}

// After a successful commit: the committed image opens with the same NVARs.
void check_reopen(Piece *pieces, uint32_t sku, const std::vector<std::string> &names,
                  const std::map<std::string, Bytes> &committed) {
    uint8_t *config = nullptr;
    uint32_t configSize = 0;
    if (!kaMfsGetBuildTavCfgFcsBuffer(&config, &configSize)) {
        return;
    }
    // The tool's partition: 16-byte header, FCS length at offset 8, the buffer.
    Bytes partition(QUOR_TAVC_HEADER_SIZE, 0);
    quor::store_le32(partition.data() + QUOR_TAVC_LENGTH_OFFSET, configSize);
    partition.insert(partition.end(), config, config + configSize);
    check(kaMfsNvarTerm(false), "a committed storage closes");

    pieces[2].assign(partition);
    const _commonQuorTable record = make_record(pieces, sku);
    check(kaMfsQuorInit(&record, on_status), "the committed image opens again");
    const std::map<std::string, Bytes> reopened = current_nvars(names);
    if (std::getenv("FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "reopened: %zu names, %zu NVARs compared\n", names.size(),
                     committed.size());
    }
    for (const auto &[name, value] : committed) {
        auto it = reopened.find(name);
        check(it != reopened.end(), "a committed NVAR is there after reopening", name);
        check(it->second == value, "a committed NVAR keeps its value", name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < fuzz_inputs::kRecordHeaderSize || size > (4u << 20)) {
        return 0;
    }
    fuzz_inputs::Reader in(data, size);
    const uint32_t sku = in.u32();
    uint32_t lengths[fuzz_inputs::kPieceCount];
    for (uint32_t &length : lengths) {
        length = in.u32();
    }
    const Bytes op = in.take(fuzz_inputs::kOpBytes);
    Piece pieces[fuzz_inputs::kPieceCount];
    for (size_t i = 0; i < fuzz_inputs::kPieceCount; ++i) {
        pieces[i].assign(in.take(lengths[i]));
    }

    const _commonQuorTable record = make_record(pieces, sku);
    if (kaMfsQuorInit(&record, on_status)) {
        const std::vector<std::string> names = table_names();
        if ((op[3] & 0x01) != 0) {
            resize(names, op[0], (op[1] | (op[2] << 8)) % 600, op[5]);
        }
        if ((op[3] & 0x02) != 0) {
            resize(names, op[4], op[6], op[7]);
        }
        if (kaMfsNvarTerm(true)) {
            const std::map<std::string, Bytes> committed = current_nvars(names);
            if ((op[3] & 0x04) == 0) {
                check_reopen(pieces, sku, names, committed);
            }
        }
    }
    kaMfsNvarTerm(false);
    return 0;
}
