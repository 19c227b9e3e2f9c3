// Runs the quorstore tool on real bundles in temporary folders: each
// command's output and exit status, JSON output parsed back, the guarantee
// that a failed change leaves the bundle byte for byte as it was, and the
// round trip mkimage -> set -> get -> fsck.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "cli_run_fixture.h"
#include "quorstorage/quorstorage.h"

namespace {

using namespace quorstore_cli;

TEST_F(QuorstoreCli, RoundTripMkimageSetGetFsck) {
    make_demo();
    const json info = ok_json({"info", bundle_, "--json"});
    EXPECT_EQ(info["sku"], 17);
    EXPECT_EQ(info["deployed"], true);
    EXPECT_EQ(info["nvars"], 39);
    EXPECT_EQ(info["afs"]["files"], 29) << info.dump(2);  // 28 NVAR files + deploy marker
    EXPECT_EQ(info["efs"]["files"], 10) << info.dump(2);
    EXPECT_EQ(info["afs"]["chunks_used"].get<int>() + info["afs"]["chunks_free"].get<int>(),
              info["afs"]["chunks"].get<int>());

    const json list = ok_json({"nvar", "list", bundle_, "--json"});
    ASSERT_EQ(list["nvars"].size(), 39u);
    std::map<std::string, json> by_name;
    for (const json &row : list["nvars"]) {
        by_name[row["name"]] = row;
    }
    EXPECT_EQ(by_name["/home/net/hostname"]["stored"]["file_system"], "AFS");
    EXPECT_EQ(by_name["/home/net/hostname"]["stored"]["index"], 16);
    EXPECT_EQ(by_name["/home/mfg/serial"]["stored"]["file_system"], "EFS");
    EXPECT_EQ(by_name["/home/sys/model_family"]["stored"]["file_system"], "table");
    EXPECT_EQ(by_name["/home/sys/model_family"]["modifiable"], false);
    // The tool's value wins over the vendor default in the current table.
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/hostname", "--text"}), "quor-gw-lab\n");
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/hostname", "--table", "vendor", "--text"}),
              "quor-gw\n");

    // Two values, one on AFS and one on EFS, in one commit.
    ok({"nvar", "set", bundle_, "/home/net/hostname=gw-7", "/home/mfg/region:hex=4a50"});
    const json host = ok_json({"nvar", "get", bundle_, "net/hostname", "--json"});
    EXPECT_EQ(host["text"], "gw-7");
    EXPECT_EQ(host["size"], 4);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/mfg/region"}), "4a50\n");
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/mfg/region", "--table", "tool", "--text"}),
              "JP\n");
    // The values reached the files themselves, not only the tool's table.
    EXPECT_EQ(ok({"afs", "cat", bundle_, "16"}), "gw-7");
    EXPECT_EQ(ok({"efs", "cat", bundle_, "/home/mfg/region", "--hex"}), "4a50\n");

    const json fsck = ok_json({"fsck", bundle_, "--json"});
    EXPECT_EQ(fsck["clean"], true) << fsck.dump(2);
    EXPECT_EQ(fsck["afs"]["files"], 29);
    EXPECT_EQ(fsck["efs"]["files"], 10);
}

TEST_F(QuorstoreCli, FailedCommitLeavesTheBundleByteForByte) {
    make_demo();
    const auto before = snapshot();
    // 65 bytes into a 64-byte NVAR: the library refuses the commit.
    const Result r =
        run({"nvar", "set", bundle_, "/home/net/hostname", "--hex", std::string(130, 'a')});
    EXPECT_EQ(r.status, 1);
    // The cause alone: the value is refused before anything is committed.
    EXPECT_EQ(r.err,
              "error: Invalid NVAR size.: /home/net/hostname: 65 bytes is longer "
              "than its maximum size 64\n");
    for (std::istringstream lines(r.err); !lines.eof();) {
        std::string line;
        std::getline(lines, line);
        EXPECT_TRUE(line.empty() || line.rfind("error: ", 0) == 0) << "stray line: " << line;
    }
    expect_unchanged(before);

    // A pair that names no NVAR fails the whole call, including the valid pair.
    const Result missing =
        run({"nvar", "set", bundle_, "/home/net/mtu:hex=00010000", "/home/net/nothing=1"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("error: File not found.: /home/net/nothing"), std::string::npos)
        << missing.err;
    expect_unchanged(before);

    // A read-only NVAR (attribute bit 0 in a deployed image) is refused.
    const Result ro = run({"nvar", "set", bundle_, "/home/sys/model_family=router"});
    EXPECT_EQ(ro.status, 1);
    EXPECT_NE(ro.err.find("error: NVAR Access error.: /home/sys/model_family"), std::string::npos)
        << ro.err;
    expect_unchanged(before);

    // Raw writes the file system refuses: an AFS file above 262144 bytes, an
    // EFS file above its maximum size.
    std::ofstream(root_ / "big.bin") << std::string(262145, 'x');
    const Result big = run({"afs", "put", bundle_, "100", "--file", (root_ / "big.bin").string()});
    EXPECT_EQ(big.status, 1);
    EXPECT_NE(big.err.find("error: Error writing to file.: AFS file 100: status 27"),
              std::string::npos)
        << big.err;
    const Result efs = run({"efs", "put", bundle_, "/home/mfg/region", "--text", "TOOLONG"});
    EXPECT_EQ(efs.status, 1);
    EXPECT_NE(efs.err.find("EFS file 6 (/home/mfg/region): 7 bytes is longer than its maximum "
                           "size 4"),
              std::string::npos)
        << efs.err;
    // AFS takes any size up to its limit, but an NVAR's file keeps its maximum:
    // the next commit would fail on it.
    const Result afs = run({"afs", "put", bundle_, "/home/net/dhcp", "--hex", "0102"});
    EXPECT_EQ(afs.status, 1);
    EXPECT_NE(afs.err.find("error: Invalid NVAR size.: AFS file 19 (/home/net/dhcp): 2 bytes is "
                           "longer than its maximum size 1"),
              std::string::npos)
        << afs.err;
    expect_unchanged(before);
}

TEST_F(QuorstoreCli, BrokenPiecesAndWrongSkuAreNamedPrecisely) {
    make_demo();
    const fs::path folder(bundle_);
    fs::resize_file(folder / "mfs.bin", 4096);
    Result r = run({"info", bundle_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: Error reading input file.: " + (folder / "mfs.bin").string() +
                         ": truncated: 4096 of 131072 bytes\n");

    fs::remove_all(folder);
    make_demo();
    fs::remove(folder / "ostra.cfg");
    r = run({"nvar", "list", bundle_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find((folder / "ostra.cfg").string() + ": missing"), std::string::npos)
        << r.err;

    fs::remove(folder / "ostra.cfg");
    fs::create_symlink(root_ / "nowhere.cfg", folder / "ostra.cfg");
    r = run({"nvar", "list", bundle_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find((folder / "ostra.cfg").string() + ": a link to " +
                         (root_ / "nowhere.cfg").string() + ", which does not exist"),
              std::string::npos)
        << r.err;

    fs::remove_all(folder);
    make_demo();
    std::string meta = slurp(folder / "bundle.json");
    meta.replace(meta.find("\"sku\": 17"), 9, "\"sku\": 153");
    std::ofstream(folder / "bundle.json") << meta;
    r = run({"info", bundle_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("SKU 0x00000099 of bundle.json is not in the file table (0x00000011, "
                         "0x00000022)"),
              std::string::npos)
        << r.err;

    std::ofstream(root_ / "bad.json") << "{\n  \"sku\": 17,\n  \"skus\": [}\n";
    r = run({"mkimage", (root_ / "bad.json").string(), "-o", (root_ / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.json:3:"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(root_ / "out"));
    r = run({"mkimage", root_.string(), "-o", (root_ / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(root_.string() + ": a folder, not a description file"), std::string::npos)
        << r.err;

    // A broken bundle.json in the words of a broken description.
    for (const auto &[text, said] : std::vector<std::pair<std::string, std::string>>{
             {"", "bundle.json: empty, not a JSON document"},
             {"{\n  \"sku\": 17,\n", "bundle.json:3:1: syntax error"}}) {
        std::ofstream(folder / "bundle.json") << text;
        r = run({"info", bundle_});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("json.exception"), std::string::npos) << r.err;
    }
}

TEST_F(QuorstoreCli, MkimageRefusesToOverwriteWithoutForce) {
    make_demo();
    const Result again =
        run({"mkimage", std::string(QUORSTORE_SOURCE_DIR) + "/examples/demo.json", "-o", bundle_});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already holds a bundle"), std::string::npos) << again.err;
    ok({"mkimage", std::string(QUORSTORE_SOURCE_DIR) + "/examples/demo.json", "-o", bundle_,
        "--sku", "34", "--force"});
    EXPECT_EQ(ok_json({"info", bundle_, "--json"})["sku"], 34);
}

TEST_F(QuorstoreCli, RawFilesPutCatRmThroughTheFileSystems) {
    make_demo();
    ok({"afs", "put", bundle_, "100", "--text", "hello raw"});
    EXPECT_EQ(ok({"afs", "cat", bundle_, "100"}), "hello raw");
    const json ls = ok_json({"afs", "ls", bundle_, "--json"});
    bool listed = false;
    for (const json &row : ls["files"]) {
        listed = listed || (row["index"] == 100 && row["size"] == 9);
    }
    EXPECT_TRUE(listed) << ls.dump(2);
    ok({"afs", "rm", bundle_, "100"});
    const Result gone = run({"afs", "cat", bundle_, "100"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("error: File not found.: AFS file 100: status 2"), std::string::npos)
        << gone.err;

    ok({"efs", "put", bundle_, "0", "--hex", "51 47 57"});
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/mfg/serial", "--text"}), "QGW\n");
    // A file that holds an NVAR goes only with --force, and the refusal says why.
    const Result refused = run({"efs", "rm", bundle_, "/home/mfg/serial"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("EFS file 0 holds /home/mfg/serial of the file table; without it "
                               "the storage no longer opens"),
              std::string::npos)
        << refused.err;
    ok({"efs", "rm", bundle_, "/home/mfg/serial", "--force"});
    EXPECT_EQ(run({"efs", "cat", bundle_, "0"}).status, 1);
    // A name of the other file system says which command reaches it.
    const Result other = run({"efs", "cat", bundle_, "/home/net/hostname"});
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("not a file of EFS in the file table (it is AFS file 16: use "
                             "`quorstore afs`)"),
              std::string::npos)
        << other.err;
}

TEST_F(QuorstoreCli, FsckReportsDamageAndNeverWritesWithoutRepair) {
    make_demo();
    // Wreck the data area of every EFS data block (2 block maps first).
    const size_t efs_size = fs::file_size(fs::path(bundle_) / "efs.bin");
    for (size_t block = 2 * 4096; block < efs_size; block += 4096) {
        write_bytes("efs.bin", block + 20, std::string(16, '\x5a'));
    }
    const auto before = snapshot();
    const Result r = run({"fsck", bundle_});
    EXPECT_EQ(r.status, 4) << r.out << r.err;
    EXPECT_NE(r.out.find("damage: "), std::string::npos) << r.out;
    expect_unchanged(before);

    // An AFS region whose unit headers are all gone does not mount.
    fs::remove_all(bundle_);
    make_demo();
    for (size_t unit = 0; unit < 131072; unit += 8192) {
        write_bytes("mfs.bin", unit, std::string(18, '\0'));
    }
    const Result afs = run({"fsck", bundle_, "--json"});
    EXPECT_EQ(afs.status, 4) << afs.out << afs.err;
    const json report = json::parse(afs.out);
    EXPECT_EQ(report["clean"], false);
    EXPECT_EQ(report["afs"]["mounted"], false);
    EXPECT_EQ(report["efs"]["mounted"], true) << report.dump(2);
}

// Marks AFS file `index` of the bundle's region as a zombie through the
// library, as an interrupted creation would leave it.
void mark_zombie(const fs::path &region_path, uint32_t index) {
    std::string region = slurp(region_path);
    std::vector<uint8_t> bytes(region.begin(), region.end());
    ASSERT_EQ(dfs_init(bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
    ASSERT_EQ(dfs_mark_zombie_file(index), 0u);
    std::ofstream(region_path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

TEST_F(QuorstoreCli, RepairWritesBackWhatTheMountCleansUpAndCheckAloneDoesNot) {
    make_demo();
    // A region that came with an interrupted operation, sealed as it is.
    mark_zombie(fs::path(bundle_) / "mfs.bin", 200);
    reseal("mfs.bin");
    const auto before = snapshot();
    const Result check = run({"fsck", bundle_});
    EXPECT_EQ(check.status, 4) << check.out;
    EXPECT_NE(check.out.find("damage: mfs.bin: mounting changes it"), std::string::npos)
        << check.out;
    expect_unchanged(before);
    const Result repaired = run({"fsck", bundle_, "--repair", "--json"});
    EXPECT_EQ(repaired.status, 1) << repaired.out;
    const json report = json::parse(repaired.out);
    EXPECT_EQ(report["written"], json::array({"mfs.bin"})) << report.dump(2);
    EXPECT_FALSE(slurp(fs::path(bundle_) / "mfs.bin") == before.at("mfs.bin"));
    // The cleaned region needs nothing more, a repair of a clean bundle
    // writes nothing, and the values survived.
    const auto cleaned = snapshot();
    const json again = ok_json({"fsck", bundle_, "--repair", "--json"});
    EXPECT_EQ(again["written"], json::array()) << again.dump(2);
    EXPECT_EQ(again["clean"], true);
    expect_unchanged(cleaned);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/hostname", "--text"}), "quor-gw-lab\n");
}

TEST_F(QuorstoreCli, RepairOnACleanBundleKeepsItClean) {
    make_demo();
    ok({"nvar", "set", bundle_, "/home/net/hostname=a", "/home/net/domain=b"});
    ok({"fsck", bundle_, "--repair"});
    const json after = ok_json({"fsck", bundle_, "--json"});
    EXPECT_EQ(after["clean"], true) << after.dump(2);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/domain", "--text"}), "b\n");
}

// An image without configuration partition, EFS or deployed file system.
const char kPlainImage[] = R"({
  "sku": 5, "deployed": false, "tool_partition": false,
  "afs": {"size": 32768, "files": 65},
  "skus": [{"id": 5, "files": [
    {"name": "/home/a/name", "fileno": 257, "index": 1, "storage": "afs", "max_size": 16},
    {"name": "/home/a/blob", "fileno": 258, "index": 2, "storage": "afs", "max_size": 300}]}],
  "nvars": [{"name": "/home/a/name", "default": "plain"},
            {"name": "/home/a/blob", "default": {"hex": "00ff"}}]
})";

TEST_F(QuorstoreCli, FirstCommitCreatesTheToolPartitionAndLeavesAnUndeployedRegion) {
    std::ofstream(root_ / "plain.json") << kPlainImage;
    ok({"mkimage", (root_ / "plain.json").string(), "-o", bundle_});
    EXPECT_FALSE(fs::exists(fs::path(bundle_) / "tavc.cfg"));
    const json info = ok_json({"info", bundle_, "--json"});
    EXPECT_EQ(info["deployed"], false);
    EXPECT_TRUE(info["efs"].is_null());
    EXPECT_TRUE(info["tool_partition_bytes"].is_null());
    const std::string region = slurp(fs::path(bundle_) / "mfs.bin");

    std::ofstream(root_ / "blob.bin", std::ios::binary) << std::string(300, '\x07');
    ok({"nvar", "set", bundle_, "/home/a/blob:file=" + (root_ / "blob.bin").string(),
        "/home/a/name="});
    // Not deployed: the values live in the new tool partition only.
    EXPECT_TRUE(slurp(fs::path(bundle_) / "mfs.bin") == region) << "mfs.bin changed";
    const std::string partition = slurp(fs::path(bundle_) / "tavc.cfg");
    ASSERT_GE(partition.size(), 16u);
    const uint32_t length =
        static_cast<uint8_t>(partition[8]) | static_cast<uint8_t>(partition[9]) << 8 |
        static_cast<uint8_t>(partition[10]) << 16 | static_cast<uint8_t>(partition[11]) << 24;
    EXPECT_EQ(length, partition.size() - 16);
    const json manifest = json::parse(slurp(fs::path(bundle_) / "bundle.json"));
    EXPECT_EQ(manifest["pieces"]["tavc.cfg"]["size"], partition.size()) << manifest.dump(2);
    const json blob = ok_json({"nvar", "get", bundle_, "/home/a/blob", "--json"});
    std::string sevens;
    for (int i = 0; i < 300; ++i) {
        sevens += "07";
    }
    EXPECT_EQ(blob["size"], 300);
    EXPECT_EQ(blob["hex"], sevens);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/a/name", "--hex"}), "\n");
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/a/name", "--table", "vendor", "--text"}),
              "plain\n");
}

TEST_F(QuorstoreCli, UsageErrorsExitTwoWithTheirCause) {
    make_demo();
    const Result help = run({"nvar", "set", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Example:"), std::string::npos) << help.out;
    // The example names NVARs the demo has.
    EXPECT_NE(help.out.find("/home/sys/led_mode:hex=01"), std::string::npos) << help.out;
    const Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("quorstore ", 0), 0u) << version.out;
    const Result help_word = run({"help", "nvar", "get"});
    EXPECT_EQ(help_word.status, 0);
    EXPECT_NE(help_word.out.find("--table"), std::string::npos) << help_word.out;
    // Usage lines name the tool and the whole command, however help is asked for.
    EXPECT_NE(help_word.out.find("\nUsage: quorstore nvar get [OPTIONS] BUNDLE NAME"),
              std::string::npos)
        << help_word.out;
    EXPECT_NE(help.out.find("\nUsage: quorstore nvar set [OPTIONS]"), std::string::npos)
        << help.out;
    // Help asked for goes to stdout; the tool without a command is a usage
    // error like the others (the table below).
    for (const std::vector<std::string> &asked :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"help"}}) {
        const Result r = run(asked);
        EXPECT_EQ(r.status, 0) << asked[0];
        EXPECT_NE(r.out.find("\nUsage: quorstore [OPTIONS] SUBCOMMAND"), std::string::npos)
            << asked[0] << ": " << r.out;
        EXPECT_EQ(r.err, "") << asked[0];
    }

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{}, "quorstore needs a command: mkimage, "},
        {{"--wait", "1"}, "quorstore needs a command: mkimage, "},
        {{"frobnicate"}, "unknown command \"frobnicate\" (commands: mkimage, "},
        {{"nvar"}, "nvar needs a command: list, export, get, set (quorstore help nvar"},
        {{"efs", "--wait", "1"}, "efs needs a command: ls, cat, put, rm"},
        {{"nvar", "set", bundle_, "n", "--hex", "00", "--text", "a"}, "excludes"},
        {{"nvar", "set", bundle_, "/home/net/mtu", "--hex", "zz"},
         "--hex: \"zz\": 'z' at position 1 is not a hex digit"},
        {{"nvar", "set", bundle_, "/home/net/mtu", "--hex", "abc"}, "an odd number of hex digits"},
        {{"nvar", "set", bundle_, "/home/net/dhcp:hex=01", "/home/net/dhcp=x"},
         "/home/net/dhcp: given twice in one call"},
        {{"nvar", "set", bundle_, "/home/net/dhcp"}, "expected NAME=VALUE"},
        {{"nvar", "set", bundle_, "/home/net/mtu:u8=256"}, "256 is outside the u8 range 0 to 255"},
        {{"afs", "put", bundle_, "256", "--text", "x"}, "256: AFS has files 0 to 255"},
        {{"nvar", "set", bundle_, "/home/net/mtu:float=1"},
         "\"float\" is not a value type (text, hex, file, u8, u16, u32, u64, i32)"},
        {{"info", bundle_, "--wait", "abc"}, "\"abc\" is not a number of seconds from 0 to 86400"},
        {{"info", bundle_, "--wait", "-1"}, "\"-1\" is not a number of seconds"},
    };
    for (const Case &c : cases) {
        const Result r = run(c.args);
        const std::string shown = c.args.empty() ? "(no arguments)" : c.args.back();
        EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("error: Bad command line options.: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

}  // namespace
