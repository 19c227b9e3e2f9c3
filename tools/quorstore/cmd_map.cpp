// quorstore map: every AFS erase unit and EFS block with its state and erase
// count, as text, JSON or an SVG picture (region_map.h computes the map).
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "bundle_io.h"
#include "commands.h"
#include "region_map.h"

namespace quorstore {

using nlohmann::json;

namespace {

// ---- Summaries

struct Summary {
    std::map<CellState, uint32_t> counts;
    std::optional<uint32_t> low;  // erase counts
    std::optional<uint32_t> high;
};

void add_erase_count(Summary &s, uint32_t count) {
    s.low = std::min(s.low.value_or(count), count);
    s.high = std::max(s.high.value_or(count), count);
}

Summary summarize(const std::vector<AfsUnitCell> &cells) {
    Summary s;
    for (const AfsUnitCell &c : cells) {
        ++s.counts[c.state];
        add_erase_count(s, c.erase_count);
    }
    return s;
}

Summary summarize(const std::vector<EfsBlockCell> &cells) {
    Summary s;
    for (const EfsBlockCell &c : cells) {
        ++s.counts[c.state];
        if (c.erase_count) {
            add_erase_count(s, *c.erase_count);
        }
    }
    return s;
}

// "9 live, 6 free, 1 spare; erase counts 1 to 3"
std::string summary_text(const Summary &s) {
    std::string text;
    for (CellState state : all_cell_states()) {
        const auto it = s.counts.find(state);
        if (it != s.counts.end()) {
            text += (text.empty() ? "" : ", ") + std::to_string(it->second) + " " +
                    cell_state_name(state);
        }
    }
    return text + "; erase counts " +
           (s.low ? std::to_string(*s.low) + " to " + std::to_string(*s.high) : "unknown");
}

json summary_json(const Summary &s) {
    json counts = json::object();
    for (CellState state : all_cell_states()) {
        const auto it = s.counts.find(state);
        counts[cell_state_name(state)] = it == s.counts.end() ? 0 : it->second;
    }
    json erases = nullptr;
    if (s.low) {
        erases = {{"min", *s.low}, {"max", *s.high}};
    }
    return {{"counts", counts}, {"erase_counts", erases}};
}

// ---- JSON

json cell_json(const AfsUnitCell &c) {
    json j = {{"index", c.index},
              {"state", cell_state_name(c.state)},
              {"erase_count", c.erase_count},
              {"sequence", c.sequence}};
    if (c.state != CellState::kSpare) {
        j["kind"] = c.reserved ? "reserved" : "dynamic";
        j["write_unit"] = c.write_unit;
        j["slots"] = {{"total", c.slots},
                      {"live", c.live_slots},
                      {"stale", c.stale_slots},
                      {"free", c.free_slots}};
    }
    return j;
}

json cell_json(const EfsBlockCell &c) {
    json j = {{"index", c.index},
              {"state", cell_state_name(c.state)},
              {"erase_count", c.erase_count ? json(*c.erase_count) : json(nullptr)}};
    if (c.logical) {
        j["logical_block"] = *c.logical;
    }
    if (c.state == CellState::kBlockMap) {
        j["current"] = c.current_map;
    }
    return j;
}

template <class Cell>
json section_json(bool present, const std::vector<Cell> &cells, const char *size_key, uint32_t size,
                  const char *cells_key, const std::string &problem) {
    if (!present) {
        return nullptr;
    }
    json list = json::array();
    for (const Cell &c : cells) {
        list.push_back(cell_json(c));
    }
    json j = summary_json(summarize(cells));
    j[size_key] = size;
    j[cells_key] = list;
    if (!problem.empty()) {
        j["problem"] = problem;
    }
    return j;
}

json map_json(const std::string &bundle, const RegionMap &map) {
    return {{"bundle", bundle},
            {"afs", section_json(map.has_afs, map.afs, "unit_size", map.afs_unit_size, "units",
                                 map.afs_problem)},
            {"efs", section_json(map.has_efs, map.efs, "block_size", map.efs_block_size, "blocks",
                                 map.efs_problem)}};
}

// ---- Text

std::string erase_text(const std::optional<uint32_t> &count) {
    return count ? std::to_string(*count) : "-";
}

std::string afs_row(const AfsUnitCell &c) {
    std::ostringstream row;
    row << "  unit " << c.index << ": " << cell_state_name(c.state) << ", erase count "
        << c.erase_count;
    if (c.state != CellState::kSpare) {
        row << ", " << (c.reserved ? "reserved" : "dynamic")
            << (c.write_unit ? " (write unit)" : "") << ", slots: " << c.live_slots << " live, "
            << c.stale_slots << " stale, " << c.free_slots << " free";
    }
    return row.str();
}

std::string efs_row(const EfsBlockCell &c) {
    std::ostringstream row;
    row << "  block " << c.index << ": " << cell_state_name(c.state);
    if (c.state == CellState::kBlockMap) {
        row << (c.current_map ? " (current)" : "");
    } else {
        row << ", erase count " << erase_text(c.erase_count);
    }
    if (c.logical) {
        row << ", logical block " << *c.logical;
    }
    return row.str();
}

template <class Cell, class Row>
void print_section(std::ostream &out, const char *fs, bool present, const std::vector<Cell> &cells,
                   const std::string &noun, uint32_t size, const std::string &problem, Row row) {
    if (!present) {
        out << fs << ": none\n";
        return;
    }
    out << fs << ": " << plural(cells.size(), noun, noun + "s") << " of " << size
        << " bytes: " << summary_text(summarize(cells)) << "\n";
    if (!problem.empty()) {
        out << "  " << problem << "\n";
    }
    for (const Cell &c : cells) {
        out << row(c) << "\n";
    }
}

// ---- SVG

constexpr int kCellWidth = 76;
constexpr int kCellHeight = 52;
constexpr int kGap = 4;
constexpr int kPerRow = 16;
constexpr int kMargin = 16;
constexpr int kTitleHeight = 30;
constexpr int kLegendHeight = 34;
constexpr int kSectionTitle = 28;
constexpr int kLegendStep = 110;

const char *fill_colour(CellState state) {
    switch (state) {
        case CellState::kFree:
            return "#e6e6e6";
        case CellState::kLive:
            return "#2e7d32";
        case CellState::kStale:
            return "#e65100";
        case CellState::kSpare:
            return "#64b5f6";
        case CellState::kBlockMap:
            return "#6a1b9a";
        case CellState::kUnknown:
            return "#9e9e9e";
    }
    return "#000000";
}

const char *ink_colour(CellState state) {
    return state == CellState::kFree || state == CellState::kSpare ? "#1a1a1a" : "#ffffff";
}

std::string xml_escaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                // Control characters are not allowed in XML 1.0 text.
                out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return out;
}

struct SvgCell {
    CellState state = CellState::kFree;
    std::string label;    // first line
    std::string detail;   // second line: the erase count
    std::string tooltip;  // <title>: everything the map knows
    uint32_t slots = 0;   // AFS units: a bar of live / stale / free slots
    uint32_t live = 0;
    uint32_t stale = 0;
};

SvgCell svg_cell(const AfsUnitCell &c) {
    SvgCell s;
    s.state = c.state;
    s.label = "unit " + std::to_string(c.index) + (c.write_unit ? " W" : "");
    s.detail = "erases " + std::to_string(c.erase_count);
    s.tooltip = "AFS " + afs_row(c).substr(2);
    s.slots = c.slots;
    s.live = c.live_slots;
    s.stale = c.stale_slots;
    return s;
}

SvgCell svg_cell(const EfsBlockCell &c) {
    SvgCell s;
    s.state = c.state;
    s.label = "block " + std::to_string(c.index);
    s.detail = c.state == CellState::kBlockMap ? (c.current_map ? "map, current" : "map")
                                               : "erases " + erase_text(c.erase_count);
    s.tooltip = "EFS " + efs_row(c).substr(2);
    return s;
}

int rows_of(size_t cells) {
    return static_cast<int>((cells + kPerRow - 1) / kPerRow);
}

int section_height(size_t cells) {
    return kSectionTitle + rows_of(cells) * (kCellHeight + kGap) + kGap;
}

void svg_slot_bar(std::ostream &out, const SvgCell &c, int x, int y) {
    // How the unit's slots are used, as a bar along its bottom edge.
    const int width = kCellWidth - 8;
    const int live = static_cast<int>(static_cast<uint64_t>(width) * c.live / c.slots);
    const int stale = static_cast<int>(static_cast<uint64_t>(width) * c.stale / c.slots);
    const int top = y + kCellHeight - 9;
    out << "<rect x=\"" << x + 4 << "\" y=\"" << top << "\" width=\"" << width
        << "\" height=\"5\" fill=\"#ffffff\"/>";
    out << "<rect x=\"" << x + 4 << "\" y=\"" << top << "\" width=\"" << live
        << "\" height=\"5\" fill=\"#fdd835\"/>";
    out << "<rect x=\"" << x + 4 + live << "\" y=\"" << top << "\" width=\"" << stale
        << "\" height=\"5\" fill=\"#212121\"/>";
}

void svg_section(std::ostream &out, int top, const std::string &title,
                 const std::vector<SvgCell> &cells) {
    out << "<text x=\"" << kMargin << "\" y=\"" << top + 20
        << "\" font-size=\"15\" font-weight=\"bold\">" << xml_escaped(title) << "</text>\n";
    for (size_t i = 0; i < cells.size(); ++i) {
        const SvgCell &c = cells[i];
        const int x = kMargin + static_cast<int>(i % kPerRow) * (kCellWidth + kGap);
        const int y = top + kSectionTitle + static_cast<int>(i / kPerRow) * (kCellHeight + kGap);
        out << "<g class=\"cell\"><title>" << xml_escaped(c.tooltip) << "</title><rect x=\"" << x
            << "\" y=\"" << y << "\" width=\"" << kCellWidth << "\" height=\"" << kCellHeight
            << "\" rx=\"4\" fill=\"" << fill_colour(c.state) << "\"/>";
        if (c.slots != 0) {
            svg_slot_bar(out, c, x, y);
        }
        const int middle = x + kCellWidth / 2;
        out << "<text x=\"" << middle << "\" y=\"" << y + 17
            << "\" font-size=\"12\" text-anchor=\"middle\" fill=\"" << ink_colour(c.state) << "\">"
            << xml_escaped(c.label) << "</text><text x=\"" << middle << "\" y=\"" << y + 33
            << "\" font-size=\"11\" text-anchor=\"middle\" fill=\"" << ink_colour(c.state) << "\">"
            << xml_escaped(c.detail) << "</text></g>\n";
    }
}

void svg_legend(std::ostream &out, int top) {
    int x = kMargin;
    for (CellState state : all_cell_states()) {
        out << "<rect x=\"" << x << "\" y=\"" << top << "\" width=\"14\" height=\"14\" rx=\"2\" "
            << "fill=\"" << fill_colour(state) << "\"/><text x=\"" << x + 20 << "\" y=\""
            << top + 12 << "\" font-size=\"13\">" << cell_state_name(state) << "</text>\n";
        x += kLegendStep;
    }
    out << "<rect x=\"" << x << "\" y=\"" << top + 4 << "\" width=\"14\" height=\"5\" "
        << "fill=\"#fdd835\"/><rect x=\"" << x + 14 << "\" y=\"" << top + 4
        << "\" width=\"8\" height=\"5\" fill=\"#212121\"/><text x=\"" << x + 28 << "\" y=\""
        << top + 12 << "\" font-size=\"13\">AFS slots: live, stale (W: write unit)</text>\n";
}

std::string map_svg(const std::string &bundle, const RegionMap &map) {
    std::vector<SvgCell> afs;
    for (const AfsUnitCell &c : map.afs) {
        afs.push_back(svg_cell(c));
    }
    std::vector<SvgCell> efs;
    for (const EfsBlockCell &c : map.efs) {
        efs.push_back(svg_cell(c));
    }
    const int width = 2 * kMargin + kPerRow * (kCellWidth + kGap);
    const int height = kMargin + kTitleHeight + kLegendHeight + section_height(afs.size()) +
                       section_height(efs.size()) + kMargin;
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height << "\" font-family=\"sans-serif\">\n"
        << "<title>Flash map of " << xml_escaped(bundle) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << "<text x=\"" << kMargin << "\" y=\"" << kMargin + 16 << "\" font-size=\"20\">"
        << "Flash map of " << xml_escaped(bundle) << "</text>\n";
    int top = kMargin + kTitleHeight;
    svg_legend(out, top);
    top += kLegendHeight;
    auto heading = [](const char *fs, bool present, const Summary &s, size_t cells,
                      const std::string &noun, uint32_t size, const std::string &problem) {
        if (!present) {
            return std::string(fs) + ": none";
        }
        return std::string(fs) + ": " + plural(cells, noun, noun + "s") + " of " +
               std::to_string(size) + " bytes: " + summary_text(s) +
               (problem.empty() ? "" : " (" + problem + ")");
    };
    svg_section(out, top,
                heading("AFS", map.has_afs, summarize(map.afs), map.afs.size(), "erase unit",
                        map.afs_unit_size, map.afs_problem),
                afs);
    top += section_height(afs.size());
    svg_section(out, top,
                heading("EFS", map.has_efs, summarize(map.efs), map.efs.size(), "block",
                        map.efs_block_size, map.efs_problem),
                efs);
    out << "</svg>\n";
    return out.str();
}

// Writes the picture beside `path` and renames it into place, so that a
// failure leaves no partial file behind.
void write_picture(const std::string &path, const std::string &svg) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path staged = bundle_io::staged_path(target);
    const Bytes bytes(svg.begin(), svg.end());
    int error = bundle_io::write_synced(staged, bytes, bundle_io::mode_of(target, 0644));
    if (error == 0) {
        error = bundle_io::rename_file(staged, target);
        if (error != 0) {
            bundle_io::unlink_file(staged);
        }
    }
    if (error != 0) {
        throw ToolError(kCodeWritingFile, path + ": " + std::strerror(error));
    }
}

}  // namespace

int run_map(const MapOptions &options) {
    const bool svg_to_stdout = options.svg && *options.svg == "-";
    if (svg_to_stdout && options.json) {
        throw ToolError(kCodeBadOptions, "--svg - and --json both want standard output",
                        kExitUsage);
    }
    Bundle bundle = load_bundle(options.bundle);
    const RegionMap map = map_regions(bundle);
    if (options.svg) {
        const std::string svg = map_svg(options.bundle, map);
        if (svg_to_stdout) {
            std::cout << svg;
            return kExitOk;
        }
        write_picture(*options.svg, svg);
    }
    if (options.json) {
        std::cout << map_json(options.bundle, map).dump(2) << "\n";
        return kExitOk;
    }
    if (options.svg) {
        std::cout << "wrote " << *options.svg << "\n";
    }
    print_section(std::cout, "AFS", map.has_afs, map.afs, "erase unit", map.afs_unit_size,
                  map.afs_problem, afs_row);
    print_section(std::cout, "EFS", map.has_efs, map.efs, "block", map.efs_block_size,
                  map.efs_problem, efs_row);
    return kExitOk;
}

}  // namespace quorstore
