// quorstore map: the state of every AFS unit and EFS block, checked against
// what the test knows from elsewhere (geometry of the description, `info`,
// the effect of a change), and the SVG parsed as XML.
#include <set>

#include "cli_run_fixture.h"

namespace {

using namespace quorstore_cli;

constexpr size_t kAfsUnit = 8192;
constexpr size_t kEfsBlock = 4096;

class QuorstoreMap : public QuorstoreCli {
  protected:
    json demo_description() const {
        return json::parse(slurp(fs::path(QUORSTORE_SOURCE_DIR) / "examples/demo.json"));
    }

    size_t piece_size(const std::string &piece) const {
        return fs::file_size(fs::path(bundle_) / piece);
    }

    // Facts every map holds whatever the bundle went through.
    void expect_consistent(const json &map) const {
        const json &afs = map["afs"];
        const json &efs = map["efs"];
        ASSERT_EQ(afs["units"].size(), piece_size("mfs.bin") / kAfsUnit);
        ASSERT_EQ(efs["blocks"].size(), piece_size("efs.bin") / kEfsBlock);
        // The summary counts are the cells' states.
        for (const json *section : {&afs["units"], &efs["blocks"]}) {
            const json &counts = section == &afs["units"] ? afs["counts"] : efs["counts"];
            std::map<std::string, int> tally;
            for (const json &cell : *section) {
                ++tally[cell["state"].get<std::string>()];
            }
            int total = 0;
            for (const auto &[state, n] : counts.items()) {
                EXPECT_EQ(n.get<int>(), tally[state]) << state;
                total += n.get<int>();
            }
            EXPECT_EQ(total, static_cast<int>(section->size()));
        }
        // AFS: one spare; every other unit's slots are live, stale or free.
        EXPECT_EQ(afs["counts"]["spare"], 1) << afs.dump(1);
        int write_units = 0;
        for (const json &u : afs["units"]) {
            if (u["state"] == "spare") {
                continue;
            }
            const json &s = u["slots"];
            EXPECT_EQ(s["live"].get<int>() + s["stale"].get<int>() + s["free"].get<int>(),
                      s["total"].get<int>())
                << u.dump();
            EXPECT_EQ(s["total"], u["kind"] == "reserved" ? 122 : 120) << u.dump();
            write_units += u["write_unit"].get<bool>() ? 1 : 0;
        }
        EXPECT_LE(write_units, 1);
        // EFS: the block maps first, one of them current; every logical block
        // in exactly one physical block; the rest are spares, erased or stale.
        const json description = demo_description();
        const int maps = description["efs"]["block_maps"];
        const int spares = description["efs"]["spares"];
        const int data = static_cast<int>(efs["blocks"].size()) - maps;
        const std::string bytes = slurp(fs::path(bundle_) / "efs.bin");
        std::set<int> logical;
        int current = 0;
        for (const json &b : efs["blocks"]) {
            const int index = b["index"];
            if (b["state"] == "spare" || b["state"] == "stale") {
                // A free spare's data area is erased; a stale one still holds data.
                const std::string area = bytes.substr(index * kEfsBlock + 16, kEfsBlock - 16);
                EXPECT_EQ(area.find_first_not_of('\xff') == std::string::npos,
                          b["state"] == "spare")
                    << b.dump();
            }
            EXPECT_EQ(b["state"] == "block map", index < maps) << b.dump();
            current += b.value("current", false) ? 1 : 0;
            if (b.contains("logical_block")) {
                EXPECT_EQ(b["state"], "live");
                EXPECT_TRUE(logical.insert(b["logical_block"].get<int>()).second) << b.dump();
            }
            if (index >= maps) {
                EXPECT_FALSE(b["erase_count"].is_null()) << b.dump();
            }
        }
        EXPECT_EQ(current, 1);
        EXPECT_EQ(static_cast<int>(logical.size()), data - spares);
        EXPECT_EQ(efs["counts"]["live"], data - spares);
        EXPECT_EQ(efs["counts"]["spare"].get<int>() + efs["counts"]["stale"].get<int>(), spares);
        EXPECT_FALSE(afs.contains("problem")) << afs["problem"];
        EXPECT_FALSE(efs.contains("problem")) << efs["problem"];
    }

    static uint64_t erase_sum(const json &cells) {
        uint64_t sum = 0;
        for (const json &c : cells) {
            sum += c["erase_count"].is_null() ? 0 : c["erase_count"].get<uint64_t>();
        }
        return sum;
    }

    // Parses an SVG file as XML (python3's parser) and returns, per cell
    // (<g class="cell">), its tooltip, plus the document's texts.
    json parse_svg(const fs::path &svg) const {
        if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
            return json();
        }
        const fs::path script = root_ / "svg.py";
        std::ofstream(script) << R"(import json, sys
import xml.etree.ElementTree as ET
ns = "{http://www.w3.org/2000/svg}"
root = ET.parse(sys.argv[1]).getroot()
cells = [g.find(ns + "title").text for g in root.iter(ns + "g") if g.get("class") == "cell"]
texts = [t.text for t in root.iter(ns + "text")]
print(json.dumps({"root": root.tag, "title": root.find(ns + "title").text,
                  "cells": cells, "texts": texts}))
)";
        const Result r =
            run_command("python3 " + quote(script.string()) + " " + quote(svg.string()));
        EXPECT_EQ(r.status, 0) << "the SVG is not well-formed XML:\n" << r.err;
        return r.status == 0 ? json::parse(r.out) : json();
    }

    Result run_command(const std::string &command) const {
        const fs::path out = root_ / "cmd.out";
        const fs::path err = root_ / "cmd.err";
        const int raw = std::system(
            (command + " >" + quote(out.string()) + " 2>" + quote(err.string())).c_str());
        return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    }
};

TEST_F(QuorstoreMap, DemoMapAgreesWithGeometryAndInfo) {
    make_demo();
    const json map = ok_json({"map", bundle_, "--json"});
    expect_consistent(map);
    // `info` reads erase counts and chunk use its own way.
    const json info = ok_json({"info", bundle_, "--json"});
    EXPECT_EQ(map["afs"]["erase_counts"], info["afs"]["erase_counts"]);
    EXPECT_EQ(map["efs"]["erase_counts"], info["efs"]["erase_counts"]);
    int reserved_live = 0;
    for (const json &u : map["afs"]["units"]) {
        reserved_live += u.value("kind", "") == "reserved" ? u["slots"]["live"].get<int>() : 0;
    }
    EXPECT_EQ(reserved_live, info["afs"]["chunks_used"]);
    // The text form says the same.
    const std::string text = ok({"map", bundle_});
    EXPECT_NE(text.find("AFS: 16 erase units of 8192 bytes: "), std::string::npos) << text;
    EXPECT_NE(text.find("  unit 15: spare, erase count "), std::string::npos) << text;
    EXPECT_NE(text.find("  block 0: block map (current)"), std::string::npos) << text;
}

TEST_F(QuorstoreMap, ChangesMoveBlocksAndReclaimsRaiseEraseCounts) {
    make_demo();
    const json before = ok_json({"map", bundle_, "--json"});
    // An EFS change writes logical block 0 into an erased spare: that block
    // was erased once more, and the block that held it becomes a spare.
    ok({"efs", "put", bundle_, "0", "--text", "changed"});
    const json after = ok_json({"map", bundle_, "--json"});
    expect_consistent(after);
    auto holder = [](const json &map, int logical) {
        for (const json &b : map["efs"]["blocks"]) {
            if (b.value("logical_block", -1) == logical) {
                return b;
            }
        }
        return json();
    };
    const json old_home = holder(before, 0);
    const json new_home = holder(after, 0);
    ASSERT_FALSE(old_home.is_null() || new_home.is_null());
    ASSERT_NE(old_home["index"], new_home["index"]);
    const json &was = before["efs"]["blocks"][new_home["index"].get<size_t>()];
    EXPECT_NE(was["state"], "live");
    EXPECT_EQ(new_home["erase_count"].get<int>(), was["erase_count"].get<int>() + 1);
    EXPECT_NE(after["efs"]["blocks"][old_home["index"].get<size_t>()]["state"], "live");
    EXPECT_EQ(holder(after, 1), holder(before, 1));

    // Many AFS writes fill the dynamic area; reclaims erase units.
    for (int i = 0; i < 12; ++i) {
        const std::string lines = "/home/net/hostname=gw-" + std::to_string(i) +
                                  "\n/home/sys/log_level:u8=" + std::to_string(i % 8) + "\n";
        ok({"nvar", "set", bundle_, "--from", "-"}, &lines);
    }
    const json worn = ok_json({"map", bundle_, "--json"});
    expect_consistent(worn);
    EXPECT_GT(erase_sum(worn["afs"]["units"]), erase_sum(before["afs"]["units"]));
    EXPECT_GT(worn["afs"]["erase_counts"]["max"].get<int>(),
              before["afs"]["erase_counts"]["max"].get<int>());
}

TEST_F(QuorstoreMap, SvgIsWellFormedWithOneCellPerUnitAndBlock) {
    make_demo();
    const fs::path svg = root_ / "map.svg";
    const json map = ok_json({"map", bundle_, "--svg", svg.string(), "--json"});
    const json doc = parse_svg(svg);
    if (doc.is_null()) {
        GTEST_SKIP() << "python3 is not installed: the SVG was not parsed";
    }
    EXPECT_EQ(doc["root"], "{http://www.w3.org/2000/svg}svg");
    EXPECT_EQ(doc["title"], "Flash map of " + bundle_);
    const json &cells = doc["cells"];
    const size_t units = map["afs"]["units"].size();
    ASSERT_EQ(cells.size(), units + map["efs"]["blocks"].size());
    // In order: the AFS units, then the EFS blocks, each with its state and erase count.
    for (size_t i = 0; i < cells.size(); ++i) {
        const bool afs = i < units;
        const json &cell = afs ? map["afs"]["units"][i] : map["efs"]["blocks"][i - units];
        const std::string expected = (afs ? "AFS unit " : "EFS block ") +
                                     std::to_string(cell["index"].get<int>()) + ": " +
                                     cell["state"].get<std::string>();
        const std::string tooltip = cells[i];
        EXPECT_EQ(tooltip.rfind(expected, 0), 0u) << tooltip;
        if (!cell["erase_count"].is_null()) {
            EXPECT_NE(tooltip.find("erase count " + std::to_string(cell["erase_count"].get<int>())),
                      std::string::npos)
                << tooltip;
        }
    }
    // The legend names every state.
    const std::set<std::string> texts(doc["texts"].begin(), doc["texts"].end());
    for (const char *state : {"live", "free", "stale", "spare", "block map", "unknown"}) {
        EXPECT_EQ(texts.count(state), 1u) << state;
    }

    // "-" writes the same picture to standard output, and nothing else.
    EXPECT_EQ(ok({"map", bundle_, "--svg", "-"}), slurp(svg));
}

TEST_F(QuorstoreMap, BadInputFailsWithoutLeavingFiles) {
    make_demo();
    fs::create_directories(root_ / "out");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::string missing_dir = (root_ / "out" / "no-such-folder" / "map.svg").string();
    const Case cases[] = {
        {{"map", (root_ / "nowhere").string()}, 1, "nowhere"},
        {{"map", bundle_, "--svg", missing_dir}, 1, "no-such-folder"},
        // A folder in the way: the picture cannot replace it.
        {{"map", bundle_, "--svg", (root_ / "out").string()}, 1, "out"},
        {{"map", bundle_, "--svg", "-", "--json"}, 2, "standard output"},
        {{"map"}, 2, "BUNDLE"},
        {{"map", bundle_, "--svg"}, 2, "svg"},
    };
    for (const Case &c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_TRUE(fs::is_empty(root_ / "out"));
}

TEST_F(QuorstoreMap, UnreadableBlockMapsLeaveDataBlocksUnknown) {
    make_demo();
    const size_t maps = demo_description()["efs"]["block_maps"];
    for (size_t i = 0; i < maps; ++i) {
        write_bytes("efs.bin", i * kEfsBlock + 12, std::string(4, '\0'));  // header CRC
    }
    reseal("efs.bin");
    const json map = ok_json({"map", bundle_, "--json"});
    const json &efs = map["efs"];
    ASSERT_TRUE(efs.contains("problem")) << efs.dump(1);
    EXPECT_NE(efs["problem"].get<std::string>().find("does not mount"), std::string::npos);
    EXPECT_EQ(efs["counts"]["block map"], maps);
    EXPECT_EQ(efs["counts"]["unknown"].get<size_t>(), efs["blocks"].size() - maps);
    // The data blocks' own headers still give their erase counts.
    const std::string bytes = slurp(fs::path(bundle_) / "efs.bin");
    uint32_t low = UINT32_MAX;
    uint32_t high = 0;
    for (size_t at = maps * kEfsBlock; at + kEfsBlock <= bytes.size(); at += kEfsBlock) {
        uint32_t count = 0;
        for (int i = 3; i >= 0; --i) {
            count = count << 8 | static_cast<uint8_t>(bytes[at + i]);
        }
        low = std::min(low, count);
        high = std::max(high, count);
    }
    EXPECT_EQ(efs["erase_counts"], json({{"min", low}, {"max", high}}));
    // AFS is untouched by the EFS damage.
    EXPECT_FALSE(map["afs"].contains("problem"));
}

}  // namespace
