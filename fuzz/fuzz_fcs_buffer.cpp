// Arbitrary bytes as an FCS buffer: createHandleFromStructure must take it in
// or refuse it with 10 exactly as a plain model of the format says, never
// read outside it, getFileData must hand out each file's header and payload,
// and a buffer that is taken in must flush back to the
// canonical buffer of the same files (name order, payloads back to back),
// which itself loads and flushes back unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fcs/FCS.h"
#include "tests/fcs/fcs_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

// Numbers 1..12 named n1..n12; number 99 shares the name n3 (3 and 99
// together clash); number 50 twice (the first name, "fifty", wins); number 0
// named "zero" while the first entry named "zero" carries 0x70, so a file
// numbered 0 is renumbered 0x70; and a name of all 48 bytes.
const std::vector<fcs_fixture::TableFile> &table_files() {
    static const std::vector<fcs_fixture::TableFile> files = [] {
        std::vector<fcs_fixture::TableFile> f;
        for (uint32_t i = 1; i <= 12; ++i) {
            f.push_back({"n" + std::to_string(i), i});
        }
        f.push_back({"n3", 99});
        f.push_back({"fifty", 50});
        f.push_back({"fifty-too", 50});
        f.push_back({"zero", 0x70});
        f.push_back({"zero", 0});
        f.push_back({std::string(48, 'L'), 0xFFFFFFFFu});
        return f;
    }();
    return files;
}

const fcs_fixture::TableFile *first_where(bool (*match)(const fcs_fixture::TableFile &,
                                                        const void *),
                                          const void *key) {
    for (const auto &f : table_files()) {
        if (match(f, key)) {
            return &f;
        }
    }
    return nullptr;
}

const fcs_fixture::TableFile *by_number(uint32_t fileno) {
    return first_where([](const fcs_fixture::TableFile &f,
                          const void *k) { return f.fileno == *static_cast<const uint32_t *>(k); },
                       &fileno);
}

const fcs_fixture::TableFile *by_name(const std::string &name) {
    return first_where([](const fcs_fixture::TableFile &f,
                          const void *k) { return f.name == *static_cast<const std::string *>(k); },
                       &name);
}

struct Expected {
    uint32_t fileno;
    uint16_t flags;
    Bytes payload;
};

// The model: true when the buffer is to be taken in; `files` by name.
bool model(const uint8_t *buf, size_t size, std::map<std::string, Expected> &files) {
    if (size < 4) {
        return false;
    }
    const uint64_t count = quor::load_le32(buf);
    if (4 + 12 * count > size) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t *e = buf + 4 + 12 * i;
        const uint32_t fileno = quor::load_le32(e);
        const uint64_t offset = quor::load_le32(e + 4);
        const uint16_t dataSize = quor::load_le16(e + 8);
        if (dataSize != 0 && offset + dataSize > size) {
            return false;
        }
        const auto *entry = by_number(fileno);
        if (entry == nullptr) {
            continue;
        }
        if (12u + dataSize > 0xFFFFu || files.count(entry->name) != 0) {
            return false;
        }
        Bytes payload(buf + (dataSize != 0 ? offset : 0),
                      buf + (dataSize != 0 ? offset : 0) + dataSize);
        // A file numbered 0 takes the number of the first entry of its name.
        const uint32_t stored = fileno == 0 ? by_name(entry->name)->fileno : fileno;
        files[entry->name] = Expected{stored, quor::load_le16(e + 10), payload};
    }
    return true;
}

Bytes flush_all(FcsHandle *handle) {
    uint32_t size = 0;
    check(flush(handle, nullptr, &size) == 5, "size query answers 5");
    Bytes out(size);
    check(flush(handle, out.data(), &size) == 0 && size == out.size(), "flush writes");
    return out;
}

// getFileData hands out the 12-byte header then the payload, and refuses a
// buffer one byte short with 5 and the needed length.
void check_file_data(FcsHandle *handle, const std::string &name, const Expected &f) {
    const uint32_t length = static_cast<uint32_t>(12 + f.payload.size());
    Bytes blob(length + 1);
    uint32_t size = length - 1;
    check(getFileData(handle, name.c_str(), blob.data(), &size) == 5 && size == length,
          "a short buffer is refused with the needed length");
    size = length + 1;
    check(getFileData(handle, name.c_str(), blob.data(), &size) == 0 && size == length,
          "getFileData hands out header and payload");
    check(quor::load_le32(blob.data()) == f.fileno, "blob header carries the number");
    check(quor::load_le16(blob.data() + 10) == f.flags, "blob header carries the flags");
    check(std::equal(f.payload.begin(), f.payload.end(), blob.begin() + 12),
          "blob carries the payload");
    cfg_file_info_t info{};
    check(getFileAttributes(handle, name.c_str(), &info) == 0, "attributes of a listed file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const Bytes table = fcs_fixture::file_table({{1, table_files()}});
    if (size > (1u << 20)) {
        return 0;
    }
    if (load_file_table(table.data(), 1, static_cast<uint32_t>(table.size())) != 0) {
        std::abort();
    }
    auto *buffer = static_cast<uint8_t *>(std::malloc(size == 0 ? 1 : size));
    if (size != 0) {
        std::memcpy(buffer, data, size);
    }
    std::map<std::string, Expected> files;
    const bool accept = model(buffer, size, files);

    FcsHandle *handle = nullptr;
    const uint32_t status = createHandleFromStructure(&handle, buffer, static_cast<uint32_t>(size));
    std::free(buffer);
    if (!accept) {
        check(status == 10 && handle == nullptr, "refused with 10 and no handle");
        return 0;
    }
    check(status == 0 && handle != nullptr, "taken in");

    std::vector<std::string> listed;
    char name[64];
    for (uint32_t rc = getFirstFileInRoot(handle, name); rc == 0; rc = getNextFile(handle, name)) {
        listed.emplace_back(name);
        check(listed.size() <= files.size(), "listing ends");
    }
    std::vector<std::string> names;
    std::vector<fcs_fixture::FcsFile> canonical;
    for (const auto &[fileName, f] : files) {  // std::map orders names by bytes
        names.push_back(fileName);
        canonical.push_back({f.fileno, f.payload, f.flags});
    }
    check(listed == names, "listing is every file in name order");
    for (const auto &[fileName, f] : files) {
        check_file_data(handle, fileName, f);
    }

    const Bytes out = flush_all(handle);
    check(out == fcs_fixture::fcs_buffer(canonical), "flush gives the canonical buffer");
    closeHandle(&handle);

    check(createHandleFromStructure(&handle, out.data(), static_cast<uint32_t>(out.size())) == 0,
          "a flushed buffer is taken in");
    check(flush_all(handle) == out, "and flushes back unchanged");
    closeHandle(&handle);
    return 0;
}
