// quorstore nvar list|get|set: NVAR access through the storage interface.
#include <algorithm>
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
namespace fs = std::filesystem;

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

}  // namespace

void print_value(const Bytes &value, ValueFormat format, const std::string &label) {
    switch (format) {
        case ValueFormat::kRaw:
            std::cout.write(reinterpret_cast<const char *>(value.data()),
                            static_cast<std::streamsize>(value.size()));
            return;
        case ValueFormat::kText:
            if (auto text = readable_text(value)) {
                std::cout << *text << "\n";
                return;
            }
            throw ToolError(kCodeReadNvar,
                            label + ": holds bytes that are not text; use --hex or --raw");
        case ValueFormat::kHex:
            std::cout << to_hex(value) << "\n";
            return;
    }
}

std::string assignment_line(const std::string &name, const Bytes &value) {
    if (is_line_text(value)) {
        return name + "=" + std::string(value.begin(), value.end());
    }
    return name + ":hex=" + to_hex(value);
}

namespace {

struct Assignment {
    std::string name;
    Bytes value;
    ValueKind kind = ValueKind::kText;
};

// A folder opens as a file but reads nothing: refused by name, so that a
// mistyped path never stores an empty value.
void refuse_folder(const std::string &path, const char *what) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        throw ToolError(kCodeReadingInput, path + ": a folder, not " + what);
    }
}

Bytes read_file_value(const std::string &path) {
    refuse_folder(path, "a value file");
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(kCodeReadingInput, path + ": cannot read the value file");
    }
    Bytes value((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw ToolError(kCodeReadingInput, path + ": reading the value file failed");
    }
    return value;
}

// A malformed command line: exit status 2.
[[noreturn]] void usage_error(const std::string &detail) {
    throw ToolError(kCodeBadOptions, detail, kExitUsage);
}

// The bytes of VALUE written as `kind`; file paths are taken relative to
// `base` (empty: the current folder).
Bytes encode_value(ValueKind kind, const std::string &value, const std::string &where,
                   const fs::path &base) {
    std::string problem;
    switch (kind) {
        case ValueKind::kText:
            return text_bytes(value);
        case ValueKind::kHex: {
            auto bytes = parse_hex(value, &problem);
            if (!bytes) {
                usage_error(where + ": \"" + value + "\": " + problem);
            }
            return *bytes;
        }
        case ValueKind::kFile:
            return read_file_value((base / value).string());
        default: {
            auto bytes = encode_integer(kind, value, &problem);
            if (!bytes) {
                usage_error(where + ": " + problem);
            }
            return *bytes;
        }
    }
}

// NAME=TEXT, NAME:text=TEXT, NAME:hex=HEX, NAME:file=PATH or NAME:u32=NUMBER
// (and the other integer kinds).
Assignment parse_assignment(const std::string &arg, const std::string &where,
                            const fs::path &base) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
        usage_error(where + "\"" + arg +
                    "\": expected NAME=VALUE (or give one NAME with --hex, --text or --file)");
    }
    const std::string written = arg.substr(0, eq);
    auto [name, kind] = split_value_kind(written);
    // "NAME:float=1": a mistyped type, not an NVAR whose name ends in ":float".
    const auto colon = written.rfind(':');
    if (name == written && colon != std::string::npos &&
        written.find('/', colon) == std::string::npos) {
        usage_error(where + "\"" + written.substr(colon + 1) +
                    "\" is not a value type (text, hex, file, u8, u16, u32, u64, i32); for a name "
                    "that holds ':' write NAME:text=VALUE");
    }
    const std::string label = where + name;
    return Assignment{name, encode_value(kind, arg.substr(eq + 1), label, base), kind};
}

// The assignments of a --from file (or standard input for "-"): one per
// line, blank lines and lines starting with '#' skipped.
std::vector<Assignment> read_assignment_file(const std::string &path) {
    std::ifstream file;
    std::istream *in = &std::cin;
    fs::path base;
    const std::string label = path == "-" ? "standard input" : path;
    if (path != "-") {
        refuse_folder(path, "a values file");
        file.open(path, std::ios::binary);
        if (!file) {
            throw ToolError(kCodeReadingInput, path + ": cannot read the values file");
        }
        in = &file;
        base = fs::path(path).parent_path();
    }
    std::vector<Assignment> out;
    std::string line;
    for (size_t number = 1; std::getline(*in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        out.push_back(parse_assignment(line, label + ":" + std::to_string(number) + ": ", base));
    }
    if (in->bad()) {
        throw ToolError(kCodeReadingInput, label + ": reading the values file failed");
    }
    if (out.empty()) {
        usage_error(label + ": no NAME=VALUE lines, nothing to set");
    }
    return out;
}

std::vector<Assignment> parse_assignments(const NvarSetOptions &options) {
    std::vector<Assignment> out;
    if (options.source.given()) {
        if (options.assignments.size() != 1 || options.from) {
            usage_error("--hex, --text and --file take exactly one NAME");
        }
        out.push_back(Assignment{options.assignments[0], read_value(options.source),
                                 options.source.hex    ? ValueKind::kHex
                                 : options.source.file ? ValueKind::kFile
                                                       : ValueKind::kText});
    } else {
        for (const std::string &arg : options.assignments) {
            out.push_back(parse_assignment(arg, "", fs::path()));
        }
    }
    if (options.from) {
        for (Assignment &a : read_assignment_file(*options.from)) {
            out.push_back(std::move(a));
        }
    }
    if (out.empty()) {
        usage_error("nothing to set: give NAME=VALUE pairs or --from FILE");
    }
    std::map<std::string, int> seen;
    for (const Assignment &a : out) {
        if (seen[a.name]++ != 0) {
            usage_error(a.name + ": given twice in one call");
        }
    }
    return out;
}

// Checks an assignment against its NVAR before anything is stored: it must
// exist and be modifiable and fit its maximum size. An NVAR whose value fills
// its maximum size is a fixed-width field (an integer, an address): a shorter
// value is refused unless `allow_short`, as it would leave the field's
// reader a cut value.
// Returns false for an assignment that leaves the value as it is: it changes
// nothing, so it is accepted even for a read-only NVAR (a file written by
// `nvar export` applies cleanly to the bundle it came from).
bool check_assignment(const Assignment &a, bool allow_short) {
    NvarInfo info;
    if (!get_nvar(a.name, NvarTable::kCurrent, info)) {
        fail_with_reports(a.name, kCodeFileNotFound);
    }
    if (a.value == info.value) {
        return false;
    }
    if (!info.modifiable) {
        throw ToolError(kCodeNvarAccess,
                        a.name + ": read-only while the file system is deployed (attribute bit 0)");
    }
    if (a.value.size() > info.max_size) {
        throw ToolError(kCodeInvalidNvarSize,
                        a.name + ": " + plural(a.value.size(), "byte", "bytes") +
                            " is longer than its maximum size " + std::to_string(info.max_size));
    }
    const bool fixed_width = info.max_size != 0 && info.value.size() == info.max_size;
    if (fixed_width && !allow_short && a.value.size() < info.max_size) {
        throw ToolError(kCodeInvalidNvarSize,
                        a.name + ": " + plural(a.value.size(), "byte", "bytes") + " (" +
                            value_kind_name(a.kind) + ") is shorter than its " +
                            std::to_string(info.max_size) +
                            "-byte field; --allow-short stores it anyway",
                        kExitUsage);
    }
    return true;
}

// Stores one checked assignment in the current values table.
void assign(const Assignment &a) {
    uint8_t *buffer = nullptr;
    if (!kaMfsNvarResize(a.name.c_str(), &buffer, static_cast<uint32_t>(a.value.size()))) {
        fail_with_reports(a.name, kCodeFailWriteNvar);
    }
    if (!a.value.empty()) {
        std::memcpy(buffer, a.value.data(), a.value.size());
    }
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
        usage_error("give the value with exactly one of --hex, --text, --file");
    }
    if (source.hex) {
        return encode_value(ValueKind::kHex, *source.hex, "--hex", fs::path());
    }
    if (source.text) {
        return text_bytes(*source.text);
    }
    return encode_value(ValueKind::kFile, *source.file, "--file", fs::path());
}

std::vector<NvarRow> list_nvars(NvarTable table) {
    std::vector<NvarRow> rows;
    for (const FileTableEntry &entry : file_table_entries()) {
        NvarInfo info;
        // Configuration files without a value are not NVARs: the library
        // refuses them with a report, which the listing leaves out.
        if (!kamfsCheckNvarExists(entry.name.c_str(), static_cast<uint32_t>(table)) ||
            !get_nvar(entry.name, table, info)) {
            take_reports();
            continue;
        }
        rows.push_back(NvarRow{info.name, std::move(info.value), info.max_size, info.modifiable,
                               entry.dfs_number});
    }
    return rows;
}

int run_nvar_list(const std::string &folder, NvarTable table, const NvarListOptions &options) {
    Bundle bundle = load_bundle(folder);
    StorageCloser closer;
    open_storage(bundle);
    const std::vector<NvarRow> found = list_nvars(table);
    if (options.json) {
        json rows = json::array();
        for (const NvarRow &row : found) {
            json j = {{"name", row.name},
                      {"size", row.value.size()},
                      {"max_size", row.max_size},
                      {"modifiable", row.modifiable},
                      {"stored", storage_json(row.dfs_number)}};
            if (options.values) {
                j["value"] = value_json(row.value);
            }
            rows.push_back(j);
        }
        std::cout << json{{"table", table_name(table)}, {"nvars", rows}}.dump(2) << "\n";
        return kExitOk;
    }
    if (options.values) {
        for (const NvarRow &row : found) {
            std::cout << assignment_line(row.name, row.value) << "\n";
        }
        return kExitOk;
    }
    size_t width = 4;
    for (const NvarRow &row : found) {
        width = std::max(width, row.name.size());
    }
    std::printf("%-*s %6s %6s %-10s %s\n", static_cast<int>(width), "NAME", "SIZE", "MAX",
                "MODIFIABLE", "STORED");
    for (const NvarRow &row : found) {
        std::printf("%-*s %6zu %6u %-10s %s\n", static_cast<int>(width), row.name.c_str(),
                    row.value.size(), row.max_size, row.modifiable ? "yes" : "no",
                    where_stored(row.dfs_number).c_str());
    }
    std::printf("%s in the %s table\n", plural(found.size(), "NVAR", "NVARs").c_str(),
                table_name(table));
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
        if (auto text = readable_text(info.value)) {
            j["text"] = *text;
        }
        std::cout << j.dump(2) << "\n";
        return kExitOk;
    }
    print_value(info.value, format, name);
    return kExitOk;
}

namespace {

// One line per assignment ("set NAME (N bytes)" or "unchanged NAME"), and
// for several a count of both; JSON: every assignment with "changed".
void print_set_result(const std::string &folder, const std::vector<Assignment> &assignments,
                      const std::vector<bool> &changes, bool as_json) {
    const size_t changed = static_cast<size_t>(std::count(changes.begin(), changes.end(), true));
    const size_t unchanged = assignments.size() - changed;
    if (as_json) {
        json rows = json::array();
        for (size_t i = 0; i < assignments.size(); ++i) {
            rows.push_back({{"name", assignments[i].name},
                            {"size", assignments[i].value.size()},
                            {"changed", static_cast<bool>(changes[i])}});
        }
        std::cout << json{{"bundle", folder},
                          {"set", rows},
                          {"changed", changed},
                          {"unchanged", unchanged}}
                         .dump(2)
                  << "\n";
        return;
    }
    for (size_t i = 0; i < assignments.size(); ++i) {
        const Assignment &a = assignments[i];
        if (changes[i]) {
            std::cout << "set " << a.name << " (" << plural(a.value.size(), "byte", "bytes")
                      << ")\n";
        } else {
            std::cout << "unchanged " << a.name << " (same value)\n";
        }
    }
    if (assignments.size() > 1) {
        std::cout << changed << " changed, " << unchanged << " unchanged\n";
    }
}

}  // namespace

int run_nvar_set(const std::string &folder, const NvarSetOptions &options) {
    const std::vector<Assignment> assignments = parse_assignments(options);
    Bundle bundle = load_bundle_for_change(folder);
    const Bundle original = bundle;
    StorageCloser closer;
    open_storage(bundle);
    // Whether each assignment changes its NVAR; one that does not is accepted
    // (even for a read-only NVAR) and reported as unchanged.
    std::vector<bool> changes;
    for (const Assignment &a : assignments) {
        changes.push_back(check_assignment(a, options.allow_short));
    }
    if (std::find(changes.begin(), changes.end(), true) == changes.end()) {
        // Nothing to store: no commit, the bundle stays byte for byte as it was.
        print_set_result(folder, assignments, changes, options.json);
        return kExitOk;
    }
    for (size_t i = 0; i < assignments.size(); ++i) {
        if (changes[i]) {
            assign(assignments[i]);
        }
    }
    // One commit for every assignment; the storage stays open so that the
    // built configuration bytes can be fetched (closing would commit again).
    bool committed_ok = false;
    {
        Progress progress("committing into " + folder);
        committed_ok = kaMfsNvarTerm(true);
    }
    if (!committed_ok) {
        throw ToolError(take_reports(), "commit failed; the bundle is unchanged");
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
    print_set_result(folder, assignments, changes, options.json);
    return kExitOk;
}

}  // namespace quorstore
