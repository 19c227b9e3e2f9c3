// dump -> mkimage -> dump gives the same description and raw files, on the
// demo after changes and on randomly generated descriptions; diff sees the
// changes and nothing else.
#include <random>
#include <set>

#include "cli_run_fixture.h"

namespace {

using namespace quorstore_cli;

// Every file of a dump folder (description.json and files/...) with its bytes.
std::map<std::string, std::string> dump_files(const fs::path &folder) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] = slurp(entry.path());
        }
    }
    return files;
}

class QuorstoreRoundTrip : public QuorstoreCli {
  protected:
    // Dumps `bundle`, rebuilds it, dumps the rebuild and checks that both
    // dumps are equal; returns the first dump's description.
    json round_trip(const std::string &bundle, const std::string &tag) const {
        const fs::path first = root_ / (tag + "-dump1");
        const fs::path rebuilt = root_ / (tag + "-rebuilt");
        const fs::path second = root_ / (tag + "-dump2");
        ok({"dump", bundle, "-o", first.string()});
        ok({"mkimage", (first / "description.json").string(), "-o", rebuilt.string()});
        ok({"dump", rebuilt.string(), "-o", second.string()});
        const auto a = dump_files(first);
        const auto b = dump_files(second);
        EXPECT_EQ(a.size(), b.size()) << tag;
        for (const auto &[name, bytes] : a) {
            auto it = b.find(name);
            EXPECT_TRUE(it != b.end() && it->second == bytes) << tag << ": " << name << " differs";
        }
        // What mkimage and a commit write is clean, configuration tables included.
        for (const std::string &built : {bundle, rebuilt.string()}) {
            const Result fsck = run({"fsck", built});
            EXPECT_EQ(fsck.status, 0) << tag << ": " << built << "\n" << fsck.out << fsck.err;
        }
        const Result diff = run({"diff", bundle, rebuilt.string()});
        EXPECT_EQ(diff.status, 0) << tag << ":\n" << diff.out << diff.err;
        return json::parse(slurp(first / "description.json"));
    }
};

TEST_F(QuorstoreRoundTrip, DemoWithChangedValuesAndRawFilesRebuildsTheSame) {
    make_demo();
    ok({"nvar", "set", bundle_, "/home/net/hostname=gw-7", "/home/mfg/region=JP",
        "/home/net/mtu:u32=9000"});
    ok({"afs", "put", bundle_, "100", "--text", "raw afs"});
    ok({"afs", "put", bundle_, "/home/net/dhcp", "--hex", "00"});  // NVAR file behind the table
    ok({"efs", "put", bundle_, "/home/mfg/serial", "--text", "S-1"});
    const json d = round_trip(bundle_, "demo");
    EXPECT_EQ(d["version"], 1);
    EXPECT_EQ(d["sku"], 17);
    EXPECT_EQ(d["deployed"], true);
    EXPECT_EQ(d["skus"].size(), 2u);
    std::set<std::string> raw;
    for (const json &f : d["files"]) {
        raw.insert(f["fs"].get<std::string>() + " " + std::to_string(f["index"].get<int>()));
    }
    EXPECT_EQ(raw, (std::set<std::string>{"afs 100", "afs 19", "efs 0"})) << d["files"].dump();
    const std::string rebuilt = (root_ / "demo-rebuilt").string();
    EXPECT_EQ(ok({"nvar", "export", rebuilt}), ok({"nvar", "export", bundle_}));
    EXPECT_EQ(ok({"afs", "cat", rebuilt, "100"}), "raw afs");
    EXPECT_EQ(ok({"efs", "cat", rebuilt, "/home/mfg/serial"}), "S-1");

    // diff names exactly what changed, and exits 1.
    const std::string fresh = (root_ / "fresh").string();
    ok({"mkimage", std::string(QUORSTORE_SOURCE_DIR) + "/examples/demo.json", "-o", fresh});
    const Result diff = run({"diff", fresh, bundle_, "--json"});
    EXPECT_EQ(diff.status, 1) << diff.err;
    std::set<std::string> changed;
    const json report = json::parse(diff.out);
    for (const json &row : report["differences"]) {
        changed.insert(row["section"].get<std::string>() + " " + row["key"].get<std::string>() +
                       " " + row["change"].get<std::string>());
    }
    EXPECT_EQ(changed, (std::set<std::string>{"nvar /home/net/hostname changed",
                                              "nvar /home/mfg/region changed",
                                              "nvar /home/net/mtu changed", "file AFS 100 added",
                                              "file AFS 19 added", "file EFS 0 added"}))
        << diff.out;
    const Result text = run({"diff", fresh, bundle_});
    EXPECT_NE(text.out.find("~ nvar /home/net/hostname: \"quor-gw-lab\" -> \"gw-7\"\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(run({"diff", fresh, (root_ / "missing").string()}).status, 2);
}

// A random valid description: 1 to 3 SKUs, AFS always, EFS sometimes, NVARs
// of text and binary values, raw files on both file systems.
class DescriptionGenerator {
  public:
    explicit DescriptionGenerator(uint32_t seed) : rng_(seed) {}

    json make() {
        const bool efs = coin();
        const uint32_t afs_files = pick(65, 300);
        json d = {{"version", 1},
                  {"deployed", coin()},
                  {"afs", {{"size", 8192 * pick(4, 24)}, {"files", afs_files}}},
                  {"tool_partition", pick(0, 3) != 0}};
        if (efs) {
            d["efs"] = {{"spares", pick(1, 4)}, {"wear_threshold", pick(1, 500)}};
        }
        if (d["tool_partition"] && coin()) {
            d["tool_partition_size"] = 8192;
        }
        const uint32_t sku_count = pick(1, 3);
        json skus = json::array();
        for (uint32_t s = 0; s < sku_count; ++s) {
            skus.push_back({{"id", 10 + s}, {"files", files(afs_files, efs, s)}});
        }
        const uint32_t built = 10 + pick(0, sku_count - 1);
        d["sku"] = built;
        d["skus"] = skus;
        d["nvars"] = nvars(skus[built - 10]["files"], d["deployed"], d["tool_partition"]);
        d["files"] = raw_files(skus[built - 10]["files"], afs_files);
        return d;
    }

  private:
    uint32_t pick(uint32_t low, uint32_t high) {
        return std::uniform_int_distribution<uint32_t>(low, high)(rng_);
    }
    bool coin() { return pick(0, 1) == 1; }

    json value(uint32_t max) {
        const uint32_t size = pick(0, max);
        std::string bytes;
        const bool text = coin();
        for (uint32_t i = 0; i < size; ++i) {
            bytes += static_cast<char>(text ? pick('a', 'z') : pick(0, 255));
        }
        if (text) {
            return bytes;
        }
        std::string hex;
        for (unsigned char c : bytes) {
            static const char kDigits[] = "0123456789abcdef";
            hex += kDigits[c >> 4];
            hex += kDigits[c & 15];
        }
        return {{"hex", hex}};
    }

    json files(uint32_t afs_files, bool efs, uint32_t sku) {
        json out = json::array();
        const uint32_t count = pick(1, 12);
        std::set<uint32_t> afs_used{0};  // AFS 0: the deploy marker
        std::set<uint32_t> efs_used;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t kind = pick(0, efs ? 2 : 1);
            json f = {{"name", "/home/s" + std::to_string(sku) + "/f" + std::to_string(i)},
                      {"max_size", pick(1, 120)}};
            if (kind == 0) {
                uint32_t index = pick(1, afs_files - 1);
                while (!afs_used.insert(index).second) {
                    index = pick(1, afs_files - 1);
                }
                f["storage"] = "afs";
                f["index"] = index;
                f["fileno"] = 0x10000000u + i + 1;
                f["attributes"] = pick(0, 3) == 0 ? 1 : 0;
            } else if (kind == 1) {
                f["storage"] = "table";
                f["fileno"] = 0x00000100u + i;
                f["attributes"] = 1;
            } else {
                uint32_t index = pick(0, 40);
                while (!efs_used.insert(index).second) {
                    index = pick(0, 40);
                }
                f["storage"] = "efs";
                f["index"] = index;
                f["fileno"] = 0x20000000u + i + 1;
            }
            out.push_back(f);
        }
        return out;
    }

    // Tool values only where the image has a tool partition to hold them.
    json nvars(const json &files, bool deployed, bool tool_partition) {
        json out = json::array();
        for (const json &f : files) {
            if (!coin() && !deployed) {
                continue;
            }
            const uint32_t max = f["max_size"];
            json n = {{"name", f["name"]}, {"default", value(max)}};
            if (tool_partition && coin()) {
                n["tool"] = value(max);
            }
            out.push_back(n);
        }
        return out;
    }

    json raw_files(const json &files, uint32_t afs_files) {
        json out = json::array();
        std::set<uint32_t> used;
        for (const json &f : files) {
            if (f["storage"] == "efs" && coin()) {
                out.push_back({{"fs", "efs"},
                               {"index", f["index"]},
                               {"content", {{"text", std::string(pick(1, f["max_size"]), 'e')}}}});
            }
        }
        for (uint32_t i = pick(0, 3); i > 0; --i) {
            const uint32_t index = pick(1, afs_files - 1);
            if (used.insert(index).second) {
                out.push_back({{"fs", "afs"},
                               {"index", index},
                               {"content", {{"hex", std::string(2 * pick(1, 300), 'a')}}}});
            }
        }
        return out;
    }

    std::mt19937 rng_;
};

// The NVARs of a description as name -> [default, tool], values as bytes.
std::map<std::string, std::pair<json, json>> nvar_values(const json &d) {
    std::map<std::string, std::pair<json, json>> out;
    auto bytes = [](const json &v) -> json {
        if (v.is_string()) {
            std::string hex;
            for (unsigned char c : v.get<std::string>()) {
                static const char kDigits[] = "0123456789abcdef";
                hex += kDigits[c >> 4];
                hex += kDigits[c & 15];
            }
            return hex;
        }
        return v["hex"];
    };
    for (const json &n : d["nvars"]) {
        out[n["name"]] = {bytes(n["default"]), n.contains("tool") ? bytes(n["tool"]) : json()};
    }
    return out;
}

TEST_F(QuorstoreRoundTrip, RandomDescriptionsRebuildTheSame) {
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        const json d = DescriptionGenerator(seed).make();
        const fs::path path = root_ / ("random-" + std::to_string(seed) + ".json");
        std::ofstream(path) << d.dump(2);
        const std::string bundle = (root_ / ("random-" + std::to_string(seed))).string();
        const Result made = run({"mkimage", path.string(), "-o", bundle});
        ASSERT_EQ(made.status, 0) << "seed " << seed << ": " << made.err << d.dump(2);
        const json dumped = round_trip(bundle, "seed" + std::to_string(seed));
        // The dump says what the description said.
        EXPECT_EQ(dumped["sku"], d["sku"]) << seed;
        EXPECT_EQ(dumped["deployed"], d["deployed"]) << seed;
        EXPECT_EQ(dumped["afs"], d["afs"]) << seed;
        EXPECT_EQ(dumped["tool_partition"], d["tool_partition"]) << seed;
        EXPECT_EQ(dumped["skus"].size(), d["skus"].size()) << seed;
        EXPECT_EQ(nvar_values(dumped), nvar_values(d)) << "seed " << seed;
        EXPECT_EQ(dumped["files"].size(), d["files"].size()) << "seed " << seed << "\n"
                                                             << dumped["files"].dump();
    }
}

}  // namespace
