// fsck against configuration tables that disagree with the file table or
// with each other, each sealed into bundle.json (every checksum matches), so
// only the cross-check can find it. Plus: what mkimage and a commit write is
// clean.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "bundle.h"
#include "file_bytes.h"
#include "fsck.h"
#include "piece_checksum.h"
#include "wire.h"

namespace quorstore {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

uint32_t get32(const Bytes &b, size_t at) {
    return wire::le32(b.data() + at);
}

void put32(Bytes &b, size_t at, uint32_t v) {
    wire::store_le32(b.data() + at, v);
}

// A configuration table as entries with their payloads; encoded with the
// payloads one after the other, as mkimage and a commit write them.
struct Table {
    struct Entry {
        uint32_t fileno;
        uint16_t flags;
        Bytes payload;
    };
    std::vector<Entry> entries;

    static Table decode(const Bytes &b, size_t start) {
        Table t;
        const uint32_t count = get32(b, start);
        for (uint32_t i = 0; i < count; ++i) {
            const size_t e = start + 4 + 12 * i;
            const size_t offset = start + get32(b, e + 4);
            const size_t size = wire::le16(b.data() + e + 8);
            t.entries.push_back({get32(b, e), wire::le16(b.data() + e + 10),
                                 Bytes(b.begin() + offset, b.begin() + offset + size)});
        }
        return t;
    }

    Bytes encode() const {
        Bytes out(4 + 12 * entries.size());
        put32(out, 0, static_cast<uint32_t>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry &e = entries[i];
            const size_t at = 4 + 12 * i;
            put32(out, at, e.fileno);
            put32(out, at + 4, static_cast<uint32_t>(out.size()));
            out[at + 8] = static_cast<uint8_t>(e.payload.size());
            out[at + 9] = static_cast<uint8_t>(e.payload.size() >> 8);
            out[at + 10] = static_cast<uint8_t>(e.flags);
            out[at + 11] = static_cast<uint8_t>(e.flags >> 8);
            out.insert(out.end(), e.payload.begin(), e.payload.end());
        }
        return out;
    }
};

constexpr uint32_t kUnlisted = 0x0badf00d;
constexpr uint32_t kSpareFile = 0x01000012;  // listed in the file table, in no table

// SKU 5: NVARs one (AFS, tool value), two (AFS), three (table only, tool
// value); "spare" is in the file table only. ostra.cfg holds one, two,
// three; tavc.cfg one, three.
const char kDescription[] = R"({
  "sku": 5, "deployed": true, "afs": {"size": 65536, "files": 128},
  "skus": [{"id": 5, "files": [
    {"name": "/home/a/one", "fileno": "0x01000010", "index": 16, "storage": "afs", "max_size": 8},
    {"name": "/home/a/two", "fileno": "0x01000011", "index": 17, "storage": "afs", "max_size": 4},
    {"name": "/home/a/three", "fileno": "0x00000100", "storage": "table", "attributes": 1,
     "max_size": 8},
    {"name": "/home/a/spare", "fileno": "0x01000012", "index": 18, "storage": "afs",
     "max_size": 8}]}],
  "nvars": [
    {"name": "/home/a/one", "default": "abc", "tool": "xyz"},
    {"name": "/home/a/two", "default": {"hex": "01020304"}},
    {"name": "/home/a/three", "default": "t", "tool": "tt"}]
})";

class FsckConfigTables : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/quorstore-cfgtables-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::ofstream(root_ / "d.json") << kDescription;
        ASSERT_EQ(tool("mkimage " + (root_ / "d.json").string() + " -o " + sample().string()), 0);
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }

    static int tool(const std::string &args) {
        return std::system((std::string(QUORSTORE_BINARY) + " " + args + " >/dev/null").c_str());
    }
    static fs::path sample() { return root_ / "sample"; }

    // A fresh copy of the sample in which `piece` is replaced by what `change`
    // makes of it, sealed into bundle.json.
    fs::path damaged(const std::string &piece, const std::function<void(Bytes &)> &change) {
        const fs::path work = root_ / "work";
        fs::remove_all(work);
        fs::copy(sample(), work);
        Bytes bytes = read_bytes(work / piece);
        change(bytes);
        write_bytes(work / piece, bytes);
        json doc = json::parse(read_bytes(work / kBundleJson));
        doc["pieces"][piece]["sha256"] = sha256_hex(bytes);
        doc["pieces"][piece]["size"] = bytes.size();
        const std::string text = doc.dump(2);
        write_bytes(work / kBundleJson, Bytes(text.begin(), text.end()));
        return work;
    }

    static fs::path root_;
};

fs::path FsckConfigTables::root_;

// Changes the vendor table (all of ostra.cfg) or the tool's (after the
// 16-byte partition header), keeping the rest of the piece.
std::function<void(Bytes &)> vendor(const std::function<void(Table &)> &change) {
    return [change](Bytes &b) {
        Table t = Table::decode(b, 0);
        change(t);
        b = t.encode();
    };
}

std::function<void(Bytes &)> tool_table(const std::function<void(Table &)> &change) {
    return [change](Bytes &b) {
        Table t = Table::decode(b, 16);
        change(t);
        const Bytes fcs = t.encode();
        b.resize(16);
        put32(b, 8, static_cast<uint32_t>(fcs.size()));
        b.insert(b.end(), fcs.begin(), fcs.end());
    };
}

TEST_F(FsckConfigTables, DisagreementsSealedIntoThePiecesAreDamage) {
    struct Case {
        std::string name;
        std::string piece;
        std::function<void(Bytes &)> change;
        std::string where;
        std::string what;
    };
    const std::vector<Case> cases = {
        {"vendor entry with a number the file table does not list", kPieceVendorCfg,
         vendor([](Table &t) { t.entries[1].fileno = kUnlisted; }), "ostra.cfg entry 1",
         "file number 0x0badf00d is not in the file table of SKU 5: opening drops this entry"},
        {"tool entry with a number the file table does not list", kPieceToolCfg,
         tool_table([](Table &t) { t.entries[0].fileno = kUnlisted; }), "tavc.cfg entry 0",
         "file number 0x0badf00d is not in the file table"},
        {"tool value for a file the vendor table has no NVAR of", kPieceToolCfg,
         tool_table([](Table &t) { t.entries[0].fileno = kSpareFile; }),
         "tavc.cfg entry 0 (/home/a/spare)",
         "a value for a file that ostra.cfg does not list as an NVAR: opening ignores it"},
        {"tool entry that is not an NVAR where the vendor's is", kPieceToolCfg,
         tool_table([](Table &t) { t.entries[0].flags = 0; }), "tavc.cfg entry 0 (/home/a/one)",
         "not marked as an NVAR, although ostra.cfg lists it as one"},
        {"vendor default longer than its maximum size", kPieceVendorCfg,
         vendor([](Table &t) { t.entries[1].payload.push_back(5); }),
         "ostra.cfg entry 1 (/home/a/two)",
         "payload of 5 bytes is longer than its maximum size 4 (ftbl.bin)"},
        {"tool value longer than its maximum size", kPieceToolCfg,
         tool_table([](Table &t) { t.entries[1].payload.resize(9, 'x'); }),
         "tavc.cfg entry 1 (/home/a/three)",
         "payload of 9 bytes is longer than its maximum size 8"},
        {"one file twice in a table", kPieceVendorCfg,
         vendor([](Table &t) { t.entries[2].fileno = t.entries[0].fileno; }),
         "ostra.cfg entry 2 (/home/a/one)", "holds the same file as entry 0"},
        {"a payload moved by a damaged offset", kPieceVendorCfg,
         [](Bytes &b) { put32(b, 4 + 12 + 4, get32(b, 4 + 12 + 4) + 1); },
         "ostra.cfg entry 1 (/home/a/two)", "payload at offset"},
        {"a byte after the last payload", kPieceVendorCfg, [](Bytes &b) { b.push_back(0); },
         "ostra.cfg", "the payloads end at byte"},
        {"entry count beyond the table", kPieceVendorCfg, [](Bytes &b) { put32(b, 0, 1000); },
         "ostra.cfg", "not a configuration table: 1000 entries do not fit"},
        {"tool partition header longer than the partition", kPieceToolCfg,
         [](Bytes &b) { put32(b, 8, static_cast<uint32_t>(b.size())); }, "tavc.cfg",
         "longer than the partition's"},
        {"an NVAR's file-table name outside /home/", kPieceFileTable,
         [](Bytes &b) {
             const std::string name = "/home/a/two";
             auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
             ASSERT_NE(at, b.end());
             at[5] = 'X';
         },
         "ostra.cfg entry 1 (/homeXa/two)", "does not start with /home/: no lookup reaches it"},
    };
    for (const Case &c : cases) {
        const FsckReport report = fsck_bundle(damaged(c.piece, c.change), FsckOptions{});
        bool found = false;
        std::string all;
        for (const FsckFinding &f : report.damage) {
            found = found || (f.where == c.where && f.what.find(c.what) != std::string::npos);
            all += "  " + f.where + ": " + f.what + "\n";
        }
        EXPECT_TRUE(found) << c.name << ": expected " << c.where << ": " << c.what << "\nfound:\n"
                           << all;
        EXPECT_EQ(report.exit_status() & 4, 4) << c.name;
    }
}

TEST_F(FsckConfigTables, CommandLineNamesTheEntryInTextAndJson) {
    const fs::path work =
        damaged(kPieceVendorCfg, vendor([](Table &t) { t.entries[1].fileno = kUnlisted; }));
    const std::string out = (root_ / "out").string();
    const std::string cmd = std::string(QUORSTORE_BINARY) + " fsck " + work.string();
    EXPECT_EQ(WEXITSTATUS(std::system((cmd + " >" + out).c_str())), 4);
    const Bytes text = read_bytes(out);
    EXPECT_NE(
        std::string(text.begin(), text.end()).find("ostra.cfg entry 1: file number 0x0badf00d"),
        std::string::npos)
        << std::string(text.begin(), text.end());
    EXPECT_EQ(WEXITSTATUS(std::system((cmd + " --json >" + out).c_str())), 4);
    const json doc = json::parse(read_bytes(out));
    bool listed = false;
    for (const json &f : doc["damage"]) {
        listed = listed || f["where"] == "ostra.cfg entry 1";
    }
    EXPECT_TRUE(listed) << doc.dump(2);
}

// What mkimage writes, and what a commit through the library writes, agree.
TEST_F(FsckConfigTables, BuiltAndCommittedTablesAreClean) {
    EXPECT_TRUE(fsck_bundle(sample(), FsckOptions{}).clean());
    const fs::path work = root_ / "committed";
    fs::remove_all(work);
    fs::copy(sample(), work);
    ASSERT_EQ(
        tool("nvar set " + work.string() + " /home/a/two:hex=0a0b /home/a/one= --allow-short"), 0);
    const FsckReport report = fsck_bundle(work, FsckOptions{});
    std::string all;
    for (const FsckFinding &f : report.damage) {
        all += f.where + ": " + f.what + "\n";
    }
    EXPECT_TRUE(report.clean()) << all;
}

}  // namespace
}  // namespace quorstore
