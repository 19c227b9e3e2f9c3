// The tool in scripts: typed values, NAME=VALUE export and batch import,
// text output of UTF-8 and NUL-terminated values, the deploy marker by name.
#include <algorithm>
#include <set>

#include "cli_run_fixture.h"

namespace {

using namespace quorstore_cli;

TEST_F(QuorstoreCli, TypedValuesAreLittleEndianAndRangeChecked) {
    make_demo();
    struct Case {
        std::string assignment;  // NAME:kind=NUMBER
        std::string name;
        std::string hex;  // what get prints; "" = refused
        int status;
    };
    const Case cases[] = {
        {"/home/net/mtu:u32=1500", "/home/net/mtu", "dc050000", 0},
        {"/home/net/mtu:u32=0xFFFFFFFF", "/home/net/mtu", "ffffffff", 0},
        {"/home/net/mtu:i32=-2", "/home/net/mtu", "feffffff", 0},
        {"/home/net/mtu:i32=-2147483648", "/home/net/mtu", "00000080", 0},
        {"/home/sys/boot_timeout:u16=65535", "/home/sys/boot_timeout", "ffff", 0},
        {"/home/net/dhcp:u8=0x7f", "/home/net/dhcp", "7f", 0},
        {"/home/sys/boot_order:u64=0x0102030405060708", "/home/sys/boot_order", "0807060504030201",
         0},
        // Out of the kind's range, or not a number: usage errors.
        {"/home/net/mtu:u32=4294967296", "", "", 2},
        {"/home/net/mtu:i32=2147483648", "", "", 2},
        {"/home/net/mtu:u32=-1", "", "", 2},
        {"/home/net/mtu:u32=12ab", "", "", 2},
        {"/home/net/dhcp:u8=", "", "", 2},
        // Longer than the NVAR's maximum size (1 byte): a failure, not usage.
        {"/home/net/dhcp:u16=1", "", "", 1},
        // Shorter than the 4-byte value it replaces.
        {"/home/net/mtu:u16=1500", "", "", 2},
    };
    for (const Case &c : cases) {
        const Result r = run({"nvar", "set", bundle_, c.assignment});
        EXPECT_EQ(r.status, c.status) << c.assignment << ": " << r.err;
        if (c.status == 0) {
            EXPECT_EQ(ok({"nvar", "get", bundle_, c.name}), c.hex + "\n") << c.assignment;
        }
    }
    const Result short_value = run({"nvar", "set", bundle_, "/home/net/mtu:u16=1500"});
    EXPECT_NE(short_value.err.find("/home/net/mtu: 2 bytes (u16) is shorter than its 4-byte "
                                   "field; --allow-short stores it anyway"),
              std::string::npos)
        << short_value.err;
    ok({"nvar", "set", bundle_, "/home/net/mtu:u16=1500", "--allow-short"});
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/mtu"}), "dc05\n");
    // A value that does not fill its maximum size is not a fixed-width field.
    ok({"nvar", "set", bundle_, "/home/net/hostname:hex=00"});
    ok({"nvar", "set", bundle_, "/home/net/mtu:u8=1"});
    // Text counts as well: a fixed-width field cut short is cut short.
    ok({"nvar", "set", bundle_, "/home/net/dhcp:u8=1"});
    EXPECT_EQ(run({"nvar", "set", bundle_, "/home/net/dhcp="}).status, 2);
}

TEST_F(QuorstoreCli, ExportAppliesBackThroughSetFromInOneCommit) {
    make_demo();
    const std::string other = (root_ / "other").string();
    ok({"mkimage", std::string(QUORSTORE_SOURCE_DIR) + "/examples/demo.json", "-o", other});
    // Values that need hex: a NUL inside, a blank at the end, a newline.
    ok({"nvar", "set", bundle_, "/home/net/hostname:hex=61006200", "/home/net/domain=trailing ",
        "/home/sec/banner=line one\nline two", "/home/net/mtu:u32=9000"});
    const std::string exported = ok({"nvar", "export", bundle_});
    EXPECT_NE(exported.find("/home/net/hostname:hex=61006200\n"), std::string::npos) << exported;
    EXPECT_NE(exported.find("/home/net/domain:hex=747261696c696e6720\n"), std::string::npos);
    EXPECT_NE(exported.find("/home/net/ntp_server=pool.ntp.example.net\n"), std::string::npos);
    EXPECT_EQ(exported, ok({"nvar", "list", bundle_, "--values"}));
    // The whole export, read-only NVARs included, applies back to its own
    // bundle: lines that change nothing are accepted, named as unchanged,
    // and nothing is committed.
    std::string whole = exported;
    const size_t lines_exported = static_cast<size_t>(std::count(whole.begin(), whole.end(), '\n'));
    const auto unchanged_bundle = snapshot();
    const std::string applied_back = ok({"nvar", "set", bundle_, "--from", "-"}, &whole);
    EXPECT_EQ(applied_back.find("set "), std::string::npos) << applied_back;
    EXPECT_NE(applied_back.find("unchanged /home/net/mtu (same value)\n"), std::string::npos);
    EXPECT_NE(applied_back.find("\n0 changed, " + std::to_string(lines_exported) + " unchanged\n"),
              std::string::npos)
        << applied_back;
    expect_unchanged(unchanged_bundle);
    EXPECT_EQ(ok({"nvar", "export", bundle_}), exported);

    // Read-only NVARs cannot be set: apply every other line from standard input.
    std::set<std::string> read_only;
    const json listed = ok_json({"nvar", "list", bundle_, "--json"});
    for (const json &row : listed["nvars"]) {
        if (!row["modifiable"].get<bool>()) {
            read_only.insert(row["name"].get<std::string>());
        }
    }
    EXPECT_EQ(read_only.count("/home/sys/model_family"), 1u);
    std::string input = "# values of " + bundle_ + "\n\n";
    size_t applied = 0;
    std::istringstream lines(exported);
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(0, line.find_first_of(":="));
        if (read_only.count(name) == 0) {
            input += line + "\r\n";
            ++applied;
        }
    }
    const json set = ok_json({"nvar", "set", other, "--from", "-", "--json"}, &input);
    EXPECT_EQ(set["set"].size(), applied) << set.dump(2);
    // The four values set above differ from the fresh bundle's; the rest do not.
    std::set<std::string> changed;
    for (const json &row : set["set"]) {
        if (row["changed"].get<bool>()) {
            changed.insert(row["name"].get<std::string>());
        }
    }
    EXPECT_EQ(changed, (std::set<std::string>{"/home/net/hostname", "/home/net/domain",
                                              "/home/sec/banner", "/home/net/mtu"}))
        << set.dump(2);
    EXPECT_EQ(set["changed"], 4);
    EXPECT_EQ(set["unchanged"], applied - 4);
    EXPECT_EQ(ok({"nvar", "export", other}), exported);

    // One bad line refuses the whole file, naming its line.
    std::ofstream(root_ / "values.txt") << "/home/net/dhcp:hex=00\n/home/net/mtu:hex=0g\n";
    const auto before = snapshot();
    const Result bad = run({"nvar", "set", bundle_, "--from", (root_ / "values.txt").string()});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("values.txt:2: /home/net/mtu: \"0g\": 'g' at position 2 is not a hex "
                           "digit"),
              std::string::npos)
        << bad.err;
    expect_unchanged(before);

    // NAME:file=PATH in a values file is relative to that file.
    std::ofstream(root_ / "banner.txt") << "from a file";
    std::ofstream(root_ / "values.txt") << "/home/sec/banner:file=banner.txt\n";
    ok({"nvar", "set", bundle_, "--from", (root_ / "values.txt").string()});
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/sec/banner", "--text"}), "from a file\n");
}

TEST_F(QuorstoreCli, SetSaysWhichValuesChanged) {
    make_demo();
    const std::string hostname =
        "/home/net/hostname=" + ok({"nvar", "get", bundle_, "/home/net/hostname", "--text"});
    const std::string same = hostname.substr(0, hostname.size() - 1);  // without the newline
    struct Case {
        std::vector<std::string> assignments;
        std::string out;
    };
    const Case cases[] = {
        {{"/home/net/mtu:u32=1400"}, "set /home/net/mtu (4 bytes)\n"},
        {{"/home/net/mtu:u32=1400"}, "unchanged /home/net/mtu (same value)\n"},
        {{same, "/home/net/mtu:u32=1500"},
         "unchanged /home/net/hostname (same value)\nset /home/net/mtu (4 bytes)\n"
         "1 changed, 1 unchanged\n"},
        {{same, "/home/net/mtu:u32=1500"},
         "unchanged /home/net/hostname (same value)\nunchanged /home/net/mtu (same value)\n"
         "0 changed, 2 unchanged\n"},
    };
    for (const Case &c : cases) {
        const auto before = snapshot();
        std::vector<std::string> args = {"nvar", "set", bundle_};
        args.insert(args.end(), c.assignments.begin(), c.assignments.end());
        EXPECT_EQ(ok(args), c.out) << c.assignments.back();
        if (c.out.find("set ") == std::string::npos) {
            expect_unchanged(before);  // nothing to store: no commit
        }
    }
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/mtu"}), "dc050000\n");
}

TEST_F(QuorstoreCli, FoldersAndEmptyInputAreNoValues) {
    make_demo();
    const std::string folder = root_.string();
    const std::string comments = "# nothing here\n\n";
    struct Case {
        std::vector<std::string> args;
        const std::string *input;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"nvar", "set", bundle_, "/home/net/hostname", "--file", folder},
         nullptr,
         1,
         folder + ": a folder, not a value file"},
        {{"nvar", "set", bundle_, "/home/sec/banner:file=" + folder},
         nullptr,
         1,
         folder + ": a folder, not a value file"},
        {{"afs", "put", bundle_, "16", "--file", folder},
         nullptr,
         1,
         folder + ": a folder, not a value file"},
        {{"nvar", "set", bundle_, "--from", folder},
         nullptr,
         1,
         folder + ": a folder, not a values file"},
        {{"nvar", "set", bundle_, "--from", "-"},
         &comments,
         2,
         "standard input: no NAME=VALUE lines, nothing to set"},
    };
    const auto before = snapshot();
    for (const Case &c : cases) {
        const Result r = run(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    expect_unchanged(before);
}

TEST_F(QuorstoreCli, TextOutputTakesUtf8AndNulTerminatedValues) {
    make_demo();
    ok({"nvar", "set", bundle_, "/home/net/hostname=gr\xc3\xbc\xc3\x9f-\xe2\x82\xac"});
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/hostname", "--text"}),
              "gr\xc3\xbc\xc3\x9f-\xe2\x82\xac\n");
    ok({"nvar", "set", bundle_, "/home/net/hostname:hex=67770000"});
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/hostname", "--text"}), "gw\n");
    // Raw file text ends with a newline like NVAR text.
    EXPECT_EQ(ok({"afs", "cat", bundle_, "16", "--text"}), "gw\n");
    // Not text: a broken UTF-8 sequence, a control character.
    for (const std::string hex : {"67c3", "6701", "ff"}) {
        ok({"nvar", "set", bundle_, "/home/net/hostname:hex=" + hex});
        const Result r = run({"nvar", "get", bundle_, "/home/net/hostname", "--text"});
        EXPECT_EQ(r.status, 1) << hex;
        EXPECT_NE(r.err.find("/home/net/hostname: holds bytes that are not text"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(QuorstoreCli, DeployMarkerHasItsNameInListingsAndLookups) {
    make_demo();
    const json ls = ok_json({"afs", "ls", bundle_, "--json"});
    bool named = false;
    for (const json &row : ls["files"]) {
        named = named || row["name"] == "/home/vex/deploy";
    }
    EXPECT_TRUE(named) << ls.dump(2);
    EXPECT_EQ(ok({"afs", "cat", bundle_, "/home/vex/deploy"}), "1");
    EXPECT_EQ(ok({"afs", "put", bundle_, "/home/vex/deploy", "--text", "1"}),
              "wrote 1 byte to AFS file 1\n");
}

TEST_F(QuorstoreCli, ManPageAndCompletionCoverEveryCommand) {
    const std::string man = ok({"--man"});
    const std::string completion = ok({"--bash-completion"});
    for (const std::string command :
         {"mkimage", "dump", "diff", "map", "info", "nvar list", "nvar export", "nvar get",
          "nvar set", "afs ls", "afs put", "efs rm", "fsck"}) {
        EXPECT_NE(man.find(".SS \"" + command + "\""), std::string::npos) << command;
        EXPECT_NE(completion.find("\"" + command + "\") words="), std::string::npos) << command;
    }
    EXPECT_NE(man.find("\\-\\-allow\\-short"), std::string::npos);
    EXPECT_NE(completion.find("--from"), std::string::npos);
    // The script is valid bash and completes a command's options.
    const fs::path script = root_ / "completion.bash";
    std::ofstream(script) << completion;
    const std::string probe =
        "bash -c 'source " + script.string() +
        " && COMP_WORDS=(quorstore nvar set --al) && COMP_CWORD=3 && _quorstore && "
        "echo \"${COMPREPLY[*]}\"' > " +
        (root_ / "probe").string();
    ASSERT_EQ(std::system(probe.c_str()), 0);
    EXPECT_EQ(slurp(root_ / "probe"), "--allow-short\n");
}

}  // namespace
