#include "config_tables.h"

#include <cstdio>
#include <map>
#include <optional>

#include "quorstorage/quorstorage.h"
#include "wire.h"

namespace quorstore {

namespace {

constexpr size_t kCountSize = 4;
constexpr size_t kEntrySize = 12;
constexpr char kHomePrefix[] = "/home/";

std::string hex32(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// The file-table entry a lookup by number finds: the first that carries it.
class FileNumbers {
  public:
    explicit FileNumbers(const std::vector<FileTableEntry> &table) {
        for (const FileTableEntry &e : table) {
            by_number_.emplace(e.fileno, &e);  // keeps the first
        }
    }
    const FileTableEntry *find(uint32_t fileno) const {
        auto it = by_number_.find(fileno);
        return it == by_number_.end() ? nullptr : it->second;
    }

  private:
    std::map<uint32_t, const FileTableEntry *> by_number_;
};

// One table under check: its piece name, entries and what the file table
// says of each (null: not listed).
struct TableView {
    const char *piece = nullptr;
    FcsBuffer buffer;
    std::vector<const FileTableEntry *> files;
};

std::string where(const TableView &t, size_t i) {
    const std::string at = std::string(t.piece) + " entry " + std::to_string(i);
    return t.files[i] != nullptr ? at + " (" + t.files[i]->name + ")" : at;
}

void add(std::vector<FsckFinding> &out, std::string where, std::string what) {
    out.push_back(FsckFinding{std::move(where), std::move(what)});
}

TableView view_of(const char *piece, FcsBuffer buffer, const FileNumbers &numbers) {
    TableView t;
    t.piece = piece;
    t.buffer = std::move(buffer);
    for (const FcsEntry &e : t.buffer.entries) {
        t.files.push_back(numbers.find(e.fileno));
    }
    return t;
}

// Payloads one after the other from the end of the entries, ending at the
// end of the buffer. Reports the first place that breaks it.
void check_layout(const TableView &t, size_t size, std::vector<FsckFinding> &out) {
    size_t expected = kCountSize + kEntrySize * t.buffer.entries.size();
    for (size_t i = 0; i < t.buffer.entries.size(); ++i) {
        const FcsEntry &e = t.buffer.entries[i];
        if (e.data_size == 0) {
            continue;  // a reader takes any offset for an empty payload
        }
        if (e.data_offset != expected) {
            add(out, where(t, i),
                "payload at offset " + std::to_string(e.data_offset) +
                    ", where the one before "
                    "it ends at " +
                    std::to_string(expected) +
                    ": the table is not laid out as a commit writes it (a damaged offset or size)");
            return;
        }
        expected += e.data_size;
    }
    if (expected != size) {
        add(out, t.piece,
            "the payloads end at byte " + std::to_string(expected) + " of a " +
                std::to_string(size) +
                "-byte table: the table is not laid out as a commit writes it (a damaged size)");
    }
}

// Each entry against the file table: listed, once, under /home/ when an
// NVAR, within its maximum size.
void check_against_file_table(const TableView &t, uint32_t sku, std::vector<FsckFinding> &out) {
    std::map<std::string, size_t> first_of_name;
    for (size_t i = 0; i < t.files.size(); ++i) {
        const FcsEntry &e = t.buffer.entries[i];
        const FileTableEntry *file = t.files[i];
        if (file == nullptr) {
            add(out, where(t, i),
                "file number " + hex32(e.fileno) + " is not in the file table of SKU " +
                    std::to_string(sku) + ": opening drops this entry without a word");
            continue;
        }
        const auto [seen, inserted] = first_of_name.emplace(file->name, i);
        if (!inserted) {
            add(out, where(t, i),
                "holds the same file as entry " + std::to_string(seen->second) +
                    ": the table does not load");
        }
        if (e.nvar() && file->name.rfind(kHomePrefix, 0) != 0) {
            add(out, where(t, i),
                "an NVAR whose file-table name does not start with /home/: no lookup reaches it");
        }
        if (e.data_size > file->max_size) {
            add(out, where(t, i),
                "payload of " + std::to_string(e.data_size) +
                    " bytes is longer than its maximum size " + std::to_string(file->max_size) +
                    " (ftbl.bin): a commit refuses it");
        }
    }
}

// The tool's NVARs against the vendor's: the vendor table decides which
// NVARs exist, the tool's entry only replaces a value.
void check_tool_against_vendor(const TableView &vendor, const TableView &tool,
                               std::vector<FsckFinding> &out) {
    std::map<std::string, bool> vendor_nvar;  // name -> NVAR flag
    for (size_t i = 0; i < vendor.files.size(); ++i) {
        if (vendor.files[i] != nullptr) {
            vendor_nvar.emplace(vendor.files[i]->name, vendor.buffer.entries[i].nvar());
        }
    }
    for (size_t i = 0; i < tool.files.size(); ++i) {
        if (tool.files[i] == nullptr) {
            continue;
        }
        auto it = vendor_nvar.find(tool.files[i]->name);
        const bool in_vendor = it != vendor_nvar.end() && it->second;
        if (tool.buffer.entries[i].nvar() && !in_vendor) {
            add(out, where(tool, i),
                "a value for a file that ostra.cfg does not list as an NVAR: opening ignores it");
        } else if (!tool.buffer.entries[i].nvar() && in_vendor) {
            add(out, where(tool, i),
                "not marked as an NVAR, although ostra.cfg lists it as one: opening takes this "
                "entry over without its value and the NVAR cannot be read");
        }
    }
}

std::optional<TableView> parsed(const char *piece, FcsBuffer buffer, const FileNumbers &numbers,
                                std::vector<FsckFinding> &out) {
    if (!buffer.problem.empty()) {
        add(out, piece, buffer.problem);
        return std::nullopt;
    }
    return view_of(piece, std::move(buffer), numbers);
}

}  // namespace

bool FcsEntry::nvar() const {
    return (flags & QUOR_FCS_FLAG_NVAR) != 0;
}

FcsBuffer parse_fcs_buffer(const uint8_t *data, size_t size) {
    FcsBuffer out;
    if (size < kCountSize) {
        out.problem = "not a configuration table: " + std::to_string(size) +
                      " bytes, shorter than its entry count";
        return out;
    }
    const uint64_t count = wire::le32(data);
    if (kCountSize + kEntrySize * count > size) {
        out.problem = "not a configuration table: " + std::to_string(count) +
                      " entries do not fit its " + std::to_string(size) + " bytes";
        return out;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *p = data + kCountSize + kEntrySize * i;
        FcsEntry e;
        e.fileno = wire::le32(p);
        e.data_offset = wire::le32(p + 4);
        e.data_size = wire::le16(p + 8);
        e.flags = wire::le16(p + 10);
        if (e.data_size != 0 && uint64_t{e.data_offset} + e.data_size > size) {
            out.problem = "not a configuration table: the payload of entry " + std::to_string(i) +
                          " ends past its " + std::to_string(size) + " bytes";
            out.entries.clear();
            return out;
        }
        out.entries.push_back(e);
    }
    return out;
}

FcsBuffer parse_tool_partition(const Bytes &partition) {
    if (partition.size() < QUOR_TAVC_HEADER_SIZE) {
        FcsBuffer out;
        out.problem = "a tool partition of " + std::to_string(partition.size()) +
                      " bytes, shorter than its 16-byte header";
        return out;
    }
    const uint32_t length = wire::le32(partition.data() + QUOR_TAVC_LENGTH_OFFSET);
    if (length > partition.size() - QUOR_TAVC_HEADER_SIZE) {
        FcsBuffer out;
        out.problem = "its header gives a table of " + std::to_string(length) +
                      " bytes, longer than the partition's " +
                      std::to_string(partition.size() - QUOR_TAVC_HEADER_SIZE);
        return out;
    }
    return parse_fcs_buffer(partition.data() + QUOR_TAVC_HEADER_SIZE, length);
}

std::vector<FsckFinding> check_config_tables(const Bytes *vendor, const Bytes *tool,
                                             const std::vector<FileTableEntry> &table,
                                             uint32_t sku) {
    std::vector<FsckFinding> out;
    const FileNumbers numbers(table);
    std::optional<TableView> vendor_view;
    std::optional<TableView> tool_view;
    if (vendor != nullptr) {
        vendor_view =
            parsed(kPieceVendorCfg, parse_fcs_buffer(vendor->data(), vendor->size()), numbers, out);
    }
    // An empty tavc.cfg is an image without a tool partition.
    if (tool != nullptr && !tool->empty()) {
        tool_view = parsed(kPieceToolCfg, parse_tool_partition(*tool), numbers, out);
    }
    if (vendor_view) {
        check_layout(*vendor_view, vendor->size(), out);
        check_against_file_table(*vendor_view, sku, out);
    }
    if (tool_view) {
        check_layout(*tool_view, wire::le32(tool->data() + QUOR_TAVC_LENGTH_OFFSET), out);
        check_against_file_table(*tool_view, sku, out);
    }
    if (vendor_view && tool_view) {
        check_tool_against_vendor(*vendor_view, *tool_view, out);
    }
    return out;
}

}  // namespace quorstore
