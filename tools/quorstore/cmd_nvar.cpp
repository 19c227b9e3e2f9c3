// quorstore nvar list|get|set: NVAR access through the storage interface.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "progress.h"
#include "quorstorage/quorstorage.h"
#include "wire.h"

namespace quorstore {

namespace {

using nlohmann::json;

// The tool's configuration partition: 16-byte header, FCS buffer length at 8.
constexpr size_t kPartitionHeader = QUOR_TAVC_HEADER_SIZE;
constexpr uint8_t kErasedByte = 0xFF;

const char *table_name(NvarTable table) {
    switch (table) {
        case NvarTable::kVendor:
            return "vendor";
        case NvarTable::kTool:
            return "tool";
        case NvarTable::kCurrent:
            return "current";
    }
    return "?";
}

struct NvarInfo {
    std::string name;
    Bytes value;
    uint32_t max_size = 0;
    bool modifiable = false;
};

// Reads an NVAR of `table`; false (reports left for the caller) when the
// library refuses.
bool get_nvar(const std::string &name, NvarTable table, NvarInfo &out) {
    uint8_t *value = nullptr;
    uint32_t size = 0;
    bool modifiable = false;
    uint32_t max_size = 0;
    if (!kaMfsNvarGet(name.c_str(), &value, &size, static_cast<uint32_t>(table), &modifiable,
                      &max_size)) {
        return false;
    }
    out.name = name;
    out.value.assign(value, value + (value != nullptr ? size : 0));
    out.max_size = max_size;
    out.modifiable = modifiable;
    return true;
}

std::string where_stored(uint32_t number) {
    if (number == 0) {
        return "table only";
    }
    const uint32_t selector = (number & QUOR_DFS_SELECTOR_MASK) >> QUOR_DFS_SELECTOR_SHIFT;
    const std::string index = std::to_string(number & QUOR_DFS_INDEX_MASK);
    if (selector == 0) {
        return "AFS " + index;
    }
    if (selector == 2) {
        return "EFS " + index;
    }
    return "invalid selector " + std::to_string(selector);
}

json storage_json(uint32_t number) {
    const uint32_t selector = (number & QUOR_DFS_SELECTOR_MASK) >> QUOR_DFS_SELECTOR_SHIFT;
    json j = {{"dfs_number", number}};
    if (number == 0) {
        j["file_system"] = "table";
    } else {
        j["file_system"] = selector == 0 ? "AFS" : selector == 2 ? "EFS" : "invalid";
        j["index"] = number & QUOR_DFS_INDEX_MASK;
    }
    return j;
}

void print_value(const Bytes &value, ValueFormat format) {
    switch (format) {
        case ValueFormat::kRaw:
            std::cout.write(reinterpret_cast<const char *>(value.data()),
                            static_cast<std::streamsize>(value.size()));
            return;
        case ValueFormat::kText:
            if (!is_printable_text(value)) {
                throw ToolError(kCodeReadNvar,
                                "the value holds bytes that are not text; use --hex or --raw");
            }
            std::cout << std::string(value.begin(), value.end()) << "\n";
            return;
        case ValueFormat::kHex:
            std::cout << to_hex(value) << "\n";
            return;
    }
}

struct Assignment {
    std::string name;
    Bytes value;
};

Bytes read_file_value(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(kCodeBadOptions, path + ": cannot read the value file");
    }
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// NAME=TEXT, NAME:text=TEXT, NAME:hex=HEX or NAME:file=PATH.
Assignment parse_assignment(const std::string &arg) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
        throw ToolError(kCodeBadOptions, "\"" + arg +
                                             "\": expected NAME=VALUE (or give one NAME "
                                             "with --hex, --text or --file)");
    }
    std::string name = arg.substr(0, eq);
    const std::string value = arg.substr(eq + 1);
    ValueSource source;
    const auto colon = name.rfind(':');
    const std::string kind = colon == std::string::npos ? "" : name.substr(colon + 1);
    if (kind == "hex") {
        source.hex = value;
    } else if (kind == "file") {
        source.file = value;
    } else {
        source.text = value;
    }
    if (kind == "hex" || kind == "file" || kind == "text") {
        name.resize(colon);
    }
    return Assignment{name, read_value(source)};
}

std::vector<Assignment> parse_assignments(const std::vector<std::string> &args,
                                          const ValueSource &source) {
    std::vector<Assignment> out;
    if (source.given()) {
        if (args.size() != 1) {
            throw ToolError(kCodeBadOptions, "--hex, --text and --file take exactly one NAME");
        }
        out.push_back(Assignment{args[0], read_value(source)});
    } else {
        for (const std::string &arg : args) {
            out.push_back(parse_assignment(arg));
        }
    }
    std::map<std::string, int> seen;
    for (const Assignment &a : out) {
        if (seen[a.name]++ != 0) {
            throw ToolError(kCodeBadOptions, a.name + ": given twice in one call");
        }
    }
    return out;
}

// Stores one assignment in the current values table; returns the NVAR's
// maximum size.
uint32_t assign(const Assignment &a) {
    NvarInfo info;
    if (!get_nvar(a.name, NvarTable::kCurrent, info)) {
        fail_with_reports(a.name, kCodeFileNotFound);
    }
    if (!info.modifiable) {
        throw ToolError(kCodeNvarAccess,
                        a.name + ": read-only while the file system is deployed (attribute bit 0)");
    }
    uint8_t *buffer = nullptr;
    if (!kaMfsNvarResize(a.name.c_str(), &buffer, static_cast<uint32_t>(a.value.size()))) {
        fail_with_reports(a.name, kCodeFailWriteNvar);
    }
    if (!a.value.empty()) {
        std::memcpy(buffer, a.value.data(), a.value.size());
    }
    return info.max_size;
}

}  // namespace

Bytes make_tool_partition(const Bytes *old, const uint8_t *fcs, uint32_t length) {
    Bytes out(kPartitionHeader + length, 0);
    if (old != nullptr && old->size() >= kPartitionHeader) {
        std::memcpy(out.data(), old->data(), kPartitionHeader);
    }
    wire::store_le32(out.data() + QUOR_TAVC_LENGTH_OFFSET, length);
    std::copy(fcs, fcs + length, out.begin() + kPartitionHeader);
    if (old != nullptr && old->size() > out.size()) {
        out.resize(old->size(), kErasedByte);
    }
    return out;
}

Bytes read_value(const ValueSource &source) {
    const int given = (source.hex ? 1 : 0) + (source.text ? 1 : 0) + (source.file ? 1 : 0);
    if (given != 1) {
        throw ToolError(kCodeBadOptions,
                        "give the value with exactly one of --hex, --text, --file");
    }
    if (source.hex) {
        auto bytes = parse_hex(*source.hex);
        if (!bytes) {
            throw ToolError(kCodeBadOptions,
                            "\"" + *source.hex + "\": not an even number of hex digits");
        }
        return *bytes;
    }
    if (source.text) {
        return text_bytes(*source.text);
    }
    return read_file_value(*source.file);
}

int run_nvar_list(const std::string &folder, NvarTable table, bool as_json) {
    Bundle bundle = load_bundle(folder);
    StorageCloser closer;
    open_storage(bundle);
    json rows = json::array();
    std::vector<std::pair<NvarInfo, uint32_t>> found;
    for (const FileTableEntry &entry : file_table_entries()) {
        NvarInfo info;
        // Configuration files without a value are not NVARs: the library
        // refuses them with a report, which the listing leaves out.
        if (!kamfsCheckNvarExists(entry.name.c_str(), static_cast<uint32_t>(table)) ||
            !get_nvar(entry.name, table, info)) {
            take_reports();
            continue;
        }
        found.emplace_back(std::move(info), entry.dfs_number);
    }
    if (as_json) {
        for (const auto &[info, number] : found) {
            rows.push_back({{"name", info.name},
                            {"size", info.value.size()},
                            {"max_size", info.max_size},
                            {"modifiable", info.modifiable},
                            {"stored", storage_json(number)}});
        }
        std::cout << json{{"table", table_name(table)}, {"nvars", rows}}.dump(2) << "\n";
        return kExitOk;
    }
    size_t width = 4;
    for (const auto &row : found) {
        width = std::max(width, row.first.name.size());
    }
    std::printf("%-*s %6s %6s %-10s %s\n", static_cast<int>(width), "NAME", "SIZE", "MAX",
                "MODIFIABLE", "STORED");
    for (const auto &[info, number] : found) {
        std::printf("%-*s %6zu %6u %-10s %s\n", static_cast<int>(width), info.name.c_str(),
                    info.value.size(), info.max_size, info.modifiable ? "yes" : "no",
                    where_stored(number).c_str());
    }
    std::printf("%zu NVARs in the %s table\n", found.size(), table_name(table));
    return kExitOk;
}

int run_nvar_get(const std::string &folder, const std::string &name, NvarTable table,
                 ValueFormat format, bool as_json) {
    Bundle bundle = load_bundle(folder);
    StorageCloser closer;
    open_storage(bundle);
    NvarInfo info;
    if (!get_nvar(name, table, info)) {
        fail_with_reports(name, kCodeReadNvar);
    }
    if (as_json) {
        json j = {{"name", name},
                  {"table", table_name(table)},
                  {"size", info.value.size()},
                  {"max_size", info.max_size},
                  {"modifiable", info.modifiable},
                  {"hex", to_hex(info.value)}};
        if (is_printable_text(info.value)) {
            j["text"] = std::string(info.value.begin(), info.value.end());
        }
        std::cout << j.dump(2) << "\n";
        return kExitOk;
    }
    print_value(info.value, format);
    return kExitOk;
}

int run_nvar_set(const std::string &folder, const std::vector<std::string> &args,
                 const ValueSource &source, bool as_json) {
    const std::vector<Assignment> assignments = parse_assignments(args, source);
    Bundle bundle = load_bundle_for_change(folder);
    const Bundle original = bundle;
    StorageCloser closer;
    open_storage(bundle);
    std::vector<uint32_t> max_sizes;
    for (const Assignment &a : assignments) {
        max_sizes.push_back(assign(a));
    }
    // One commit for every assignment; the storage stays open so that the
    // built configuration bytes can be fetched (closing would commit again).
    bool committed_ok = false;
    {
        Progress progress("committing into " + folder);
        committed_ok = kaMfsNvarTerm(true);
    }
    if (!committed_ok) {
        std::vector<Report> reports = take_reports();
        for (size_t i = 0; i < assignments.size(); ++i) {
            const Assignment &a = assignments[i];
            if (a.value.size() > max_sizes[i]) {
                reports.push_back(Report{kCodeInvalidNvarSize, catalogue_text(kCodeInvalidNvarSize),
                                         a.name + ": " + std::to_string(a.value.size()) +
                                             " bytes is longer than its maximum size " +
                                             std::to_string(max_sizes[i])});
            }
        }
        throw ToolError(std::move(reports), "commit failed; the bundle is unchanged");
    }
    uint8_t *cfg = nullptr;
    uint32_t cfg_size = 0;
    if (!kaMfsGetBuildTavCfgFcsBuffer(&cfg, &cfg_size) || cfg == nullptr) {
        fail_with_reports("no configuration bytes after the commit", kCodeFailWriteNvar);
    }
    // The committed pieces are copied out now: closing the storage commits
    // into the live regions once more.
    Bundle committed = bundle;
    committed.pieces[kPieceToolCfg] =
        make_tool_partition(bundle.find(kPieceToolCfg), cfg, cfg_size);
    std::set<std::string> changed;
    for (const char *piece : {kPieceToolCfg, kPieceAfs, kPieceEfs}) {
        const Bytes *old = original.find(piece);
        if (committed.has(piece) && (old == nullptr || *old != committed.at(piece))) {
            changed.insert(piece);
        }
    }
    save_bundle(committed, changed);
    if (as_json) {
        json names = json::array();
        for (const Assignment &a : assignments) {
            names.push_back({{"name", a.name}, {"size", a.value.size()}});
        }
        std::cout << json{{"bundle", folder}, {"set", names}}.dump(2) << "\n";
        return kExitOk;
    }
    for (const Assignment &a : assignments) {
        std::cout << "set " << a.name << " (" << a.value.size() << " bytes)\n";
    }
    return kExitOk;
}

}  // namespace quorstore
