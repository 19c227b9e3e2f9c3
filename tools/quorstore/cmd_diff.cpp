// quorstore diff: what differs between two bundles, as their descriptions
// say it.
#include <iostream>
#include <map>

#include "commands.h"
#include "image_build.h"

namespace quorstore {

using nlohmann::json;

namespace {

// Contents are shown up to this size; larger ones by size only.
constexpr size_t kShownContent = 256;

json content_json(const Bytes &content) {
    json j = {{"size", content.size()}};
    if (content.size() <= kShownContent) {
        j["value"] = value_json(content);
    }
    return j;
}

// Content for comparing: the shown form plus every byte.
json compared_json(const Bytes &content) {
    json j = content_json(content);
    j["hex"] = to_hex(content);
    return j;
}

// Compares two maps of keyed JSON values into `out`.
void diff_maps(const std::string &section, const std::map<std::string, json> &a,
               const std::map<std::string, json> &b, std::vector<Difference> &out) {
    for (const auto &[key, value] : a) {
        auto other = b.find(key);
        if (other == b.end()) {
            out.push_back(Difference{section, key, value, std::nullopt});
        } else if (other->second != value) {
            out.push_back(Difference{section, key, value, other->second});
        }
    }
    for (const auto &[key, value] : b) {
        if (a.count(key) == 0) {
            out.push_back(Difference{section, key, std::nullopt, value});
        }
    }
}

// The current value of every NVAR (the tool's value, else the default): a
// commit that copies defaults into the tool's table changes none of them.
std::map<std::string, json> nvars_of(const ImageDescription &image) {
    std::map<std::string, json> out;
    for (const NvarDescription &n : image.nvars) {
        out[n.name] = compared_json(n.tool_value ? *n.tool_value : n.default_value);
    }
    return out;
}

std::map<std::string, json> defaults_of(const ImageDescription &image) {
    std::map<std::string, json> out;
    for (const NvarDescription &n : image.nvars) {
        out[n.name] = compared_json(n.default_value);
    }
    return out;
}

std::map<std::string, json> files_of(const ImageDescription &image) {
    std::map<std::string, json> out;
    for (const RawFileDescription &f : image.files) {
        out[std::string(storage_name(f.fs)) + " " + std::to_string(f.index)] =
            compared_json(f.content);
    }
    return out;
}

std::map<std::string, json> file_tables_of(const json &doc) {
    std::map<std::string, json> out;
    for (const json &sku : doc["skus"]) {
        const std::string id = hex_number(sku["id"].get<uint32_t>());
        out["SKU " + id] = json::object();  // an empty SKU still differs from none
        for (const json &file : sku["files"]) {
            out["SKU " + id + " " + file["name"].get<std::string>()] = file;
        }
    }
    return out;
}

std::map<std::string, json> geometry_of(const json &doc) {
    std::map<std::string, json> out;
    for (const auto &item : doc.items()) {
        if (item.key() != "skus" && item.key() != "nvars" && item.key() != "files" &&
            item.key() != "version") {
            out[item.key()] = item.value();
        }
    }
    return out;
}

const char *mark(const Difference &d) {
    return !d.old_value ? "+" : !d.new_value ? "-" : "~";
}

bool is_content(const json &value) {
    return value.is_object() && value.contains("hex") && value.contains("size");
}

// What the JSON output holds: contents without the bytes kept for comparing.
json shown_json(const json &value) {
    if (!is_content(value)) {
        return value;
    }
    json copy = value;
    copy.erase("hex");
    return copy;
}

// What the text output prints: a content's value, or its size when long.
std::string shown(const json &value) {
    if (!is_content(value)) {
        return value.dump();
    }
    if (value.contains("value")) {
        return value["value"].dump();
    }
    return "(" + plural(value["size"].get<uint64_t>(), "byte", "bytes") + ")";
}

}  // namespace

std::vector<Difference> diff_images(const ImageDescription &a, const ImageDescription &b) {
    auto inline_file = [](const RawFileDescription &f) { return content_json(f.content); };
    const json doc_a = description_json(a, inline_file);
    const json doc_b = description_json(b, inline_file);
    std::vector<Difference> out;
    diff_maps("nvar", nvars_of(a), nvars_of(b), out);
    diff_maps("default", defaults_of(a), defaults_of(b), out);
    diff_maps("file", files_of(a), files_of(b), out);
    diff_maps("file_table", file_tables_of(doc_a), file_tables_of(doc_b), out);
    diff_maps("geometry", geometry_of(doc_a), geometry_of(doc_b), out);
    return out;
}

int run_diff(const std::string &a, const std::string &b, bool as_json) {
    std::vector<Difference> differences;
    try {
        Bundle bundle_a = load_bundle(a);
        const ImageDescription image_a = describe_bundle(bundle_a).image;
        Bundle bundle_b = load_bundle(b);
        const ImageDescription image_b = describe_bundle(bundle_b).image;
        differences = diff_images(image_a, image_b);
    } catch (const ToolError &error) {
        // 1 means "different": trouble is 2, as for diff(1) and cmp(1).
        throw ToolError(error.reports(), error.context(), kExitUsage);
    }
    if (as_json) {
        json rows = json::array();
        for (const Difference &d : differences) {
            json row = {{"section", d.section}, {"key", d.key}};
            row["change"] = !d.old_value ? "added" : !d.new_value ? "removed" : "changed";
            if (d.old_value) {
                row["old"] = shown_json(*d.old_value);
            }
            if (d.new_value) {
                row["new"] = shown_json(*d.new_value);
            }
            rows.push_back(row);
        }
        std::cout << json{{"a", a}, {"b", b}, {"equal", differences.empty()}, {"differences", rows}}
                         .dump(2)
                  << "\n";
    } else {
        for (const Difference &d : differences) {
            std::cout << mark(d) << " " << d.section << " " << d.key << ": ";
            if (d.old_value && d.new_value) {
                std::cout << shown(*d.old_value) << " -> " << shown(*d.new_value);
            } else {
                std::cout << shown(d.old_value ? *d.old_value : *d.new_value);
            }
            std::cout << "\n";
        }
    }
    return differences.empty() ? kExitOk : kExitFailure;
}

}  // namespace quorstore
