// The tool as several users meet it at once and on hostile disks: writers in
// parallel, a full file system, a read-only one, standard output on a full
// device, pieces gone missing, and damage fsck must name and repair.
#include <sys/mount.h>

#include "cli_fixture.h"
#include "piece_checksum.h"

namespace quorstore_test {
namespace {

constexpr int kExitBusy = 75;

// NVARs of the demo image that parallel writers own, one each (AFS and EFS).
const std::vector<std::string> kWriterNvars = {"/home/net/hostname", "/home/net/domain",
                                               "/home/sec/admin_user", "/home/mfg/product"};
constexpr int kRounds = 4;

class ToolBundles : public ToolFixture {
  protected:
    void TearDown() override {
        if (!mounted_.empty()) {
            ::umount2(mounted_.c_str(), MNT_DETACH);
        }
        ToolFixture::TearDown();
    }

    // A tmpfs of `bytes` at root_/mnt; false when this process may not mount.
    bool mount_tmpfs(size_t bytes) {
        const fs::path at = root_ / "mnt";
        fs::create_directories(at);
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return false;
        }
        mounted_ = at.string();
        return true;
    }

    bool remount_read_only() const {
        return ::mount("tmpfs", mounted_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

    std::vector<std::string> staged_files(const std::string &folder) const {
        std::vector<std::string> found;
        for (const auto &entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".new") != std::string::npos || name.find(".tmp") != std::string::npos) {
                found.push_back(name);
            }
        }
        return found;
    }

    // Records a piece's current bytes in bundle.json: damage that predates
    // the bundle, which only the checks inside the pieces can find.
    void reseal(const std::string &piece) const {
        const fs::path manifest = fs::path(bundle_) / "bundle.json";
        json doc = json::parse(slurp(manifest));
        const std::string bytes = slurp(fs::path(bundle_) / piece);
        doc["pieces"][piece]["sha256"] =
            quorstore::sha256_hex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        std::ofstream(manifest) << doc.dump(2);
    }

    // Each writer sets its own NVAR kRounds times, all writers at once;
    // `last_ok` gets the last round each writer was told it committed.
    void run_writers(const std::string &wait, std::vector<int> &last_ok, int &refused) const {
        last_ok.assign(kWriterNvars.size(), -1);
        for (int round = 0; round < kRounds; ++round) {
            std::vector<pid_t> pids;
            for (size_t w = 0; w < kWriterNvars.size(); ++w) {
                const std::string value = "w" + std::to_string(w) + "r" + std::to_string(round);
                pids.push_back(
                    start({"--wait", wait, "nvar", "set", bundle_, kWriterNvars[w] + "=" + value},
                          "w" + std::to_string(w)));
            }
            for (size_t w = 0; w < pids.size(); ++w) {
                const Result r = finish(pids[w], "w" + std::to_string(w));
                if (r.status == 0) {
                    last_ok[w] = round;
                    continue;
                }
                EXPECT_EQ(r.status, kExitBusy) << r.err;
                EXPECT_NE(r.err.find("the bundle is in use by another process"), std::string::npos)
                    << r.err;
                ++refused;
            }
        }
    }

    std::string mounted_;
};

TEST_F(ToolBundles, ParallelWritersNeverLoseAnUpdateSilently) {
    make_demo();
    for (const std::string wait : {"60", "0"}) {
        SCOPED_TRACE("--wait " + wait);
        std::vector<int> last_ok;
        int refused = 0;
        run_writers(wait, last_ok, refused);
        if (wait == "60") {
            EXPECT_EQ(refused, 0) << "a writer gave up although it could wait";
        }
        for (size_t w = 0; w < kWriterNvars.size(); ++w) {
            if (last_ok[w] < 0) {
                continue;
            }
            EXPECT_EQ(ok({"nvar", "get", bundle_, kWriterNvars[w], "--text"}),
                      "w" + std::to_string(w) + "r" + std::to_string(last_ok[w]) + "\n")
                << kWriterNvars[w];
        }
        const json report = ok_json({"fsck", bundle_, "--json"});
        EXPECT_EQ(report["clean"], true) << report.dump(2);
    }
}

TEST_F(ToolBundles, ALockHeldElsewhereMakesWritersWaitThenGiveUp) {
    make_demo();
    // flock(1) holds the bundle's lock like another quorstore would.
    const std::string lock = (fs::path(bundle_) / ".bundle.lock").string();
    const pid_t flock_pid = ::fork();
    if (flock_pid == 0) {
        ::execlp("flock", "flock", "-x", lock.c_str(), "sleep", "3", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::usleep(300 * 1000);
    const auto before = snapshot();
    const Result busy =
        run({"nvar", "set", bundle_, "/home/net/mtu:hex=dc050000", "--wait", "0.5"});
    if (busy.status == 127 || (busy.status == 0 && before == snapshot())) {
        GTEST_SKIP() << "flock(1) is not available";
    }
    EXPECT_EQ(busy.status, kExitBusy) << busy.err;
    EXPECT_NE(busy.err.find("the bundle is in use by another process (waited 0.5 s for its lock; "
                            "--wait SECONDS waits longer)"),
              std::string::npos)
        << busy.err;
    EXPECT_EQ(snapshot(), before);
    const Result fsck = run({"fsck", bundle_, "--json", "--wait", "0"});
    EXPECT_EQ(fsck.status, 8) << fsck.out;
    EXPECT_NE(json::parse(fsck.out)["error"].get<std::string>().find("in use by another process"),
              std::string::npos)
        << fsck.out;
    // Waiting long enough gets the lock once the holder is gone.
    ok({"nvar", "set", bundle_, "/home/net/mtu:hex=dc050000", "--wait", "30"});
    ::waitpid(flock_pid, nullptr, 0);
}

TEST_F(ToolBundles, DiskFullLeavesNothingBehindAndRetriesSucceed) {
    if (!mount_tmpfs(400 * 1024)) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    const std::string bundle = mounted_ + "/b";
    make_demo(bundle);
    // Fill the file system up to the last few bytes.
    {
        std::ofstream filler(mounted_ + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    const auto before = snapshot(bundle);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Result r = run({"nvar", "set", bundle, "/home/net/hostname=full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("No space left on device; the bundle is unchanged"), std::string::npos)
            << r.err;
        EXPECT_EQ(staged_files(bundle), std::vector<std::string>());
        EXPECT_EQ(snapshot(bundle), before);
    }
    const Result build = run({"mkimage", std::string(QUORSTORE_SOURCE_DIR) + "/examples/demo.json",
                              "-o", mounted_ + "/second"});
    EXPECT_EQ(build.status, 1) << build.err;
    // Outputs that fail leave no folder behind, and say why.
    EXPECT_FALSE(fs::exists(mounted_ + "/second"));
    const Result dump = run({"dump", bundle, "-o", mounted_ + "/dump"});
    EXPECT_EQ(dump.status, 1) << dump.err;
    EXPECT_NE(dump.err.find("No space left on device"), std::string::npos) << dump.err;
    EXPECT_FALSE(fs::exists(mounted_ + "/dump"));
    fs::remove(mounted_ + "/filler");
    ok({"nvar", "set", bundle, "/home/net/hostname=roomy"});
    EXPECT_EQ(ok({"nvar", "get", bundle, "/home/net/hostname", "--text"}), "roomy\n");
    make_demo(mounted_ + "/second");
    ok({"dump", bundle, "-o", mounted_ + "/dump"});
}

TEST_F(ToolBundles, AReadOnlyFileSystemReadsChecksAndRefusesChanges) {
    if (!mount_tmpfs(1024 * 1024)) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    const std::string bundle = mounted_ + "/b";
    make_demo(bundle);
    fs::remove(fs::path(bundle) / ".bundle.lock");  // as a bundle copied onto read-only media
    ASSERT_TRUE(remount_read_only());
    EXPECT_EQ(ok({"nvar", "get", bundle, "/home/net/hostname", "--text"}), "quor-gw-lab\n");
    EXPECT_EQ(ok_json({"fsck", bundle, "--json"})["clean"], true);
    const Result set = run({"nvar", "set", bundle, "/home/net/hostname=x"});
    EXPECT_EQ(set.status, 1);
    EXPECT_NE(
        set.err.find(".bundle.lock: cannot open the bundle's lock file: Read-only file system"),
        std::string::npos)
        << set.err;
    const Result repair = run({"fsck", bundle, "--repair"});
    EXPECT_EQ(repair.status, 8) << repair.out;
}

TEST_F(ToolBundles, OutputToAFullDeviceIsAFailure) {
    make_demo();
    const auto full = [this](const std::vector<std::string> &args) {
        return finish(start(args, "full", "/dev/full"), "full");
    };
    const Result get = full({"nvar", "get", bundle_, "/home/net/hostname", "--raw"});
    EXPECT_EQ(get.status, 1);
    EXPECT_NE(get.err.find("standard output: No space left on device"), std::string::npos)
        << get.err;
    EXPECT_EQ(full({"nvar", "list", bundle_, "--json"}).status, 1);
    EXPECT_EQ(full({"fsck", bundle_}).status, 8);
}

TEST_F(ToolBundles, FsckReportsMissingAndTruncatedPiecesAsOneJsonDocument) {
    struct Case {
        const char *what;
        std::function<void(const fs::path &)> damage;
        std::string where;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"missing region", [](const fs::path &b) { fs::remove(b / "efs.bin"); }, "efs.bin",
         "missing (bundle.json lists it with 28672 bytes)"},
        {"truncated table", [](const fs::path &b) { fs::resize_file(b / "ftbl.bin", 100); },
         "ftbl.bin", "truncated: 100 of 6852 bytes"},
        {"missing manifest", [](const fs::path &b) { fs::remove(b / "bundle.json"); },
         "bundle.json", "missing (not a bundle folder?)"},
        {"malformed manifest", [](const fs::path &b) { std::ofstream(b / "bundle.json") << "{"; },
         "bundle.json", "bundle.json:1:2: syntax error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(bundle_);
        make_demo();
        c.damage(bundle_);
        const Result r = run({"fsck", bundle_, "--json"});
        EXPECT_EQ(r.status, 4) << r.out << r.err;
        const json report = json::parse(r.out);
        EXPECT_EQ(report["clean"], false);
        bool named = false;
        for (const json &d : report["damage"]) {
            named = named || (d["where"] == c.where &&
                              d["what"].get<std::string>().find(c.text) != std::string::npos);
        }
        EXPECT_TRUE(named) << report.dump(2);
    }
    const Result nowhere = run({"fsck", (root_ / "nowhere").string(), "--json"});
    EXPECT_EQ(nowhere.status, 8);
    EXPECT_NE(json::parse(nowhere.out)["error"].get<std::string>().find("no such bundle folder"),
              std::string::npos);
}

// Damage inside the pieces that their own checks must find (the manifest is
// resealed over it), and the repair that gives the bundle back.
TEST_F(ToolBundles, FsckFindsAndRepairsDamageInsideTheRegions) {
    make_demo();
    ok({"nvar", "set", bundle_, "/home/mfg/region:hex=4a50", "/home/net/hostname=gw-9"});
    const fs::path efs = fs::path(bundle_) / "efs.bin";
    const std::string region = slurp(efs);
    const std::string serial = ok({"nvar", "get", bundle_, "/home/mfg/serial", "--text"});
    // Find the serial's bytes in the region: the copy the newest map names is
    // the one a mount reads; flip every copy so that whichever it is, it fails.
    const std::string needle = serial.substr(0, serial.size() - 1);
    size_t flipped = 0;
    for (size_t at = region.find(needle); at != std::string::npos;
         at = region.find(needle, at + 1)) {
        flip("efs.bin", at + 2, 0x40);
        ++flipped;
    }
    ASSERT_GT(flipped, 0u);
    reseal("efs.bin");

    // Every command names the file and its file system.
    const Result get = run({"nvar", "get", bundle_, "/home/net/hostname"});
    EXPECT_EQ(get.status, 1);
    EXPECT_NE(get.err.find("EFS file 0 (/home/mfg/serial) in efs.bin: status 41"),
              std::string::npos)
        << get.err;
    const Result check = run({"fsck", bundle_, "--json"});
    EXPECT_EQ(check.status, 4);
    const json damage = json::parse(check.out)["damage"];
    EXPECT_NE(damage.dump().find("EFS file 0 (/home/mfg/serial)"), std::string::npos) << damage;

    const Result repair = run({"fsck", bundle_, "--repair", "--json"});
    EXPECT_EQ(repair.status, 1) << repair.out;
    const json repaired = json::parse(repair.out);
    EXPECT_EQ(repaired["reset"],
              json::array({"/home/mfg/serial: EFS file 0 given its last committed value from "
                           "tavc.cfg"}))
        << repaired.dump(2);
    EXPECT_EQ(repaired["written"], json::array({"efs.bin"}));
    EXPECT_EQ(ok_json({"fsck", bundle_, "--json"})["clean"], true);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/mfg/serial", "--text"}), serial);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/mfg/region"}), "4a50\n");
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/hostname", "--text"}), "gw-9\n");
}

TEST_F(ToolBundles, AForcedRemovalOfAnNvarFileIsRepairedFromTheStoredValue) {
    make_demo();
    ok({"nvar", "set", bundle_, "/home/net/domain=lab.example"});
    ok({"afs", "rm", bundle_, "/home/net/domain", "--force"});
    const Result get = run({"nvar", "get", bundle_, "/home/net/hostname"});
    EXPECT_EQ(get.status, 1);
    EXPECT_NE(get.err.find("AFS file 17 (/home/net/domain) in mfs.bin: missing"), std::string::npos)
        << get.err;
    const json repaired = json::parse(run({"fsck", bundle_, "--repair", "--json"}).out);
    EXPECT_EQ(repaired["exit_status"], 1) << repaired.dump(2);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/net/domain", "--text"}), "lab.example\n");
}

// A flipped byte in the newest EFS block-map entry makes a mount use the
// entry before it: the last commit into efs.bin rolls back.
TEST_F(ToolBundles, AnUnusableNewestBlockMapIsReportedAndRepaired) {
    make_demo();
    ok({"nvar", "set", bundle_, "/home/mfg/region:hex=4a50"});
    const std::string region = slurp(fs::path(bundle_) / "efs.bin");
    // Header: V at 9, N at 10; entries of V + N + 12 bytes from 16.
    const size_t slot = static_cast<uint8_t>(region[9]) + static_cast<uint8_t>(region[10]) + 12;
    size_t block = 0;
    for (size_t b = 0; b < 2; ++b) {
        const std::string header = region.substr(b * 4096, 16);
        if (header != std::string(16, '\xff') && header != std::string(16, '\0') &&
            static_cast<uint8_t>(region[b * 4096 + 4]) >
                static_cast<uint8_t>(region[block * 4096 + 4])) {
            block = b;
        }
    }
    size_t newest = 16;
    for (size_t at = 16 + slot; at + slot <= 4095; at += slot) {
        if (region.substr(block * 4096 + at, slot) == std::string(slot, '\xff')) {
            break;
        }
        newest = at;
    }
    ASSERT_GT(newest, 16u) << "the commit appended no entry";
    flip("efs.bin", block * 4096 + newest + slot - 1, 0x10);  // its CRC
    reseal("efs.bin");
    const json check = json::parse(run({"fsck", bundle_, "--json"}).out);
    EXPECT_EQ(check["exit_status"], 4) << check.dump(2);
    EXPECT_NE(check["damage"].dump().find("may have rolled back"), std::string::npos)
        << check.dump(2);
    // A commit appends one entry per file it writes: when the lost entry
    // changed a value, fsck names the NVAR; otherwise the value still reads.
    if (check["damage"].dump().find("NVAR /home/mfg/region: rolled back") == std::string::npos) {
        EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/mfg/region"}), "4a50\n");
    }
    const json repaired = json::parse(run({"fsck", bundle_, "--repair", "--json"}).out);
    EXPECT_EQ(repaired["exit_status"], 1) << repaired.dump(2);
    EXPECT_EQ(ok_json({"fsck", bundle_, "--json"})["clean"], true);
    EXPECT_EQ(ok({"nvar", "get", bundle_, "/home/mfg/region"}), "4a50\n");
}

}  // namespace
}  // namespace quorstore_test
