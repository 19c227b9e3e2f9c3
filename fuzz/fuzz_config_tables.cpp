// Arbitrary bytes as the two configuration tables fsck cross-checks
// (tools/quorstore/config_tables.cpp): input = u16 length of ostra.cfg, its
// bytes, then tavc.cfg (the tool partition with its 16-byte header). The
// check must never read outside either buffer, a table it accepts must keep
// every payload inside it, and every finding names one of the two pieces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config_tables.h"

namespace {

using quorstore::Bytes;
using quorstore::FileTableEntry;

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

FileTableEntry entry(const char *name, uint32_t fileno, uint32_t max_size) {
    FileTableEntry e;
    e.name = name;
    e.fileno = fileno;
    e.max_size = max_size;
    return e;
}

// The files of the seed bundle, plus a name outside /home/, a name listed
// twice and a number listed twice (the first entry wins a lookup).
const std::vector<FileTableEntry> &file_table() {
    static const std::vector<FileTableEntry> table = {
        entry("/home/a/one", 0x01000010, 8),   entry("/home/a/two", 0x01000011, 4),
        entry("/home/a/three", 0x00000100, 8), entry("/home/a/spare", 0x01000012, 8),
        entry("a/outside", 0x01000013, 64),    entry("/home/a/one", 0x01000014, 0xFFFF),
        entry("/home/a/dup", 0x01000011, 1),
    };
    return table;
}

void payloads_inside(const Bytes &buffer, size_t start) {
    const quorstore::FcsBuffer parsed =
        start == 0 ? quorstore::parse_fcs_buffer(buffer.data(), buffer.size())
                   : quorstore::parse_tool_partition(buffer);
    if (!parsed.problem.empty()) {
        return;
    }
    const size_t size = buffer.size() - start;
    for (const quorstore::FcsEntry &e : parsed.entries) {
        if (e.data_size != 0) {
            check(uint64_t{e.data_offset} + e.data_size <= size, "an accepted payload ends inside");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t vendor_size = std::min<size_t>(size - 2, data[0] | data[1] << 8);
    // Exact-size copies, so that the sanitizer sees any read past their ends.
    const Bytes vendor(data + 2, data + 2 + vendor_size);
    const Bytes tool(data + 2 + vendor_size, data + size);
    payloads_inside(vendor, 0);
    if (tool.size() >= 16) {
        payloads_inside(tool, 16);
    }
    for (const quorstore::FsckFinding &f :
         quorstore::check_config_tables(&vendor, tool.empty() ? nullptr : &tool, file_table(), 5)) {
        const bool named = f.where.rfind("ostra.cfg", 0) == 0 || f.where.rfind("tavc.cfg", 0) == 0;
        check(named, "a finding names its piece");
        check(!f.what.empty(), "a finding says what");
    }
    return 0;
}
