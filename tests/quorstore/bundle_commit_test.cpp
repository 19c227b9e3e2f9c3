// The bundle commit under faults: every file-system call of a commit fails
// or ends the process in turn, and the bundle must then open as all-old or
// all-new, never mixed, never unopenable. Also: locks between processes,
// signals during staging, symlinked pieces and piece modes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "bundle.h"
#include "errors.h"

namespace quorstore {
namespace {

namespace fs = std::filesystem;

using Pieces = std::map<std::string, Bytes>;

constexpr int kChildCommitted = 0;
constexpr int kChildRefused = 1;
constexpr int kChildKilled = 42;

class BundleCommit : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorstore-commit-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        folder_ = root_ / "b";
        elsewhere_ = root_ / "elsewhere";
        fs::create_directories(elsewhere_);
        old_ = {{kPieceFileTable, Bytes(700, 0x46)},
                {kPieceVendorCfg, Bytes{1, 2, 3, 4}},
                {kPieceAfs, Bytes(8192, 0xFF)},
                {kPieceEfs, Bytes(4096, 0x11)}};
        new_ = old_;
        new_[kPieceVendorCfg] = Bytes{9, 9};
        new_[kPieceAfs] = Bytes(8192, 0x00);
        new_[kPieceEfs] = Bytes(4096, 0x22);
        new_[kPieceToolCfg] = Bytes(300, 0x07);  // a piece the old state lacks
        Bundle b;
        b.folder = folder_;
        b.sku = 5;
        b.pieces = old_;
        save_bundle(b, {kPieceFileTable, kPieceVendorCfg, kPieceAfs, kPieceEfs});
        // efs.bin lives elsewhere, linked from the bundle.
        fs::rename(folder_ / kPieceEfs, elsewhere_ / "region.efs");
        fs::create_symlink(elsewhere_ / "region.efs", folder_ / kPieceEfs);
        fs::permissions(folder_ / kPieceAfs, fs::perms(0640));
        save_pristine();
    }
    void TearDown() override {
        set_fs_fault_hook(nullptr);
        fs::remove_all(root_);
    }

    void save_pristine() {
        const auto options = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
        fs::copy(folder_, root_ / "pristine-b", options);
        fs::copy(elsewhere_, root_ / "pristine-elsewhere", options);
    }
    void restore_pristine() {
        const auto options = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
        fs::remove_all(folder_);
        fs::remove_all(elsewhere_);
        fs::copy(root_ / "pristine-b", folder_, options);
        fs::copy(root_ / "pristine-elsewhere", elsewhere_, options);
    }

    // The commit of new_ over whatever the folder holds.
    void commit_new() {
        Bundle b = load_bundle_for_change(folder_);
        b.pieces = new_;
        commit_bundle(b, {kPieceVendorCfg, kPieceAfs, kPieceEfs, kPieceToolCfg});
    }

    // Runs commit_new in a child whose fault hook acts on call `k` (counted
    // from 0); returns the child's exit code.
    int commit_in_child(int k, bool kill) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int calls = 0;
            set_fs_fault_hook([&calls, k, kill](const char *, const fs::path &) {
                if (calls++ != k) {
                    return 0;
                }
                if (kill) {
                    ::_exit(kChildKilled);
                }
                return EIO;
            });
            try {
                commit_new();
            } catch (const ToolError &) {
                ::_exit(kChildRefused);
            }
            ::_exit(kChildCommitted);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // How many file-system calls a whole commit makes.
    int count_calls() {
        int calls = 0;
        set_fs_fault_hook([&calls](const char *, const fs::path &) {
            ++calls;
            return 0;
        });
        commit_new();
        set_fs_fault_hook(nullptr);
        restore_pristine();
        return calls;
    }

    std::set<std::string> housekeeping_left() const {
        std::set<std::string> left;
        for (const fs::path &dir : {folder_, elsewhere_}) {
            for (const auto &entry : fs::directory_iterator(dir)) {
                const std::string name = entry.path().filename().string();
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0) {
                    left.insert(name);
                }
            }
        }
        return left;
    }

    fs::path root_;
    fs::path folder_;
    fs::path elsewhere_;
    Pieces old_;
    Pieces new_;
};

TEST_F(BundleCommit, EveryFailingOrKilledCallLeavesAllOldOrAllNew) {
    const int calls = count_calls();
    ASSERT_GT(calls, 15);  // 4 staged pieces, manifest, renames, folder syncs
    RecordProperty("file_system_calls", calls);
    int old_seen = 0;
    int new_seen = 0;
    for (int k = 0; k < calls; ++k) {
        for (bool kill : {false, true}) {
            SCOPED_TRACE("call " + std::to_string(k) + (kill ? " killed" : " failed"));
            restore_pristine();
            const int exit_code = commit_in_child(k, kill);
            ASSERT_TRUE(exit_code == kChildCommitted || exit_code == kChildRefused ||
                        (kill && exit_code == kChildKilled))
                << exit_code;
            // A reader sees one state without changing anything, the writer
            // that opens next finishes or cleans up, and both agree.
            const Pieces seen = load_bundle(folder_).pieces;  // its lock ends here
            const Bundle finished = load_bundle_for_change(folder_);
            EXPECT_EQ(seen, finished.pieces);
            const bool is_old = finished.pieces == old_;
            const bool is_new = finished.pieces == new_;
            ASSERT_TRUE(is_old || is_new) << "mixed state";
            if (exit_code == kChildRefused) {
                EXPECT_TRUE(is_old) << "a refused commit changed the bundle";
            }
            if (exit_code == kChildCommitted) {
                EXPECT_TRUE(is_new) << "a commit that reported success is missing";
            }
            EXPECT_EQ(housekeeping_left(), std::set<std::string>());
            EXPECT_TRUE(fs::is_symlink(folder_ / kPieceEfs)) << "the link was replaced";
            EXPECT_EQ(fs::status(folder_ / kPieceAfs).permissions() & fs::perms::all,
                      fs::perms(0640));
            (is_old ? old_seen : new_seen)++;
        }
    }
    // Both outcomes occur: the table covered both sides of the commit point.
    EXPECT_GT(old_seen, 0);
    EXPECT_GT(new_seen, 0);
}

TEST_F(BundleCommit, ASignalWhileStagingRemovesTheStagedFiles) {
    const int calls = count_calls();
    int signalled = 0;
    for (int k = 0; k < calls; ++k) {
        restore_pristine();
        const pid_t pid = ::fork();
        if (pid == 0) {
            int n = 0;
            set_fs_fault_hook([&n, k](const char *, const fs::path &) {
                if (n++ == k) {
                    ::raise(SIGTERM);
                }
                return 0;
            });
            commit_new();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFSIGNALED(status)) {
            continue;  // the signal came after the handler was gone
        }
        ++signalled;
        const Bundle b = load_bundle(folder_);
        if (b.pieces == old_) {
            // Before the commit point: nothing may stay behind.
            EXPECT_EQ(housekeeping_left(), std::set<std::string>()) << "call " << k;
        } else {
            EXPECT_EQ(b.pieces, new_) << "call " << k;
        }
    }
    EXPECT_GT(signalled, 10);
}

TEST_F(BundleCommit, ASecondWriterWaitsThenFailsWithTheBusyStatus) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const Bundle held = load_bundle_for_change(folder_);
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        ::sleep(2);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    try {
        const BundleLock lock(folder_, LockMode::kExclusive, std::chrono::milliseconds(200));
        ADD_FAILURE() << "took the lock another process holds";
    } catch (const ToolError &e) {
        EXPECT_EQ(e.exit_status(), kExitBusy);
        EXPECT_NE(e.lines().at(0).find("the bundle is in use by another process (waited 0.2 s"),
                  std::string::npos)
            << e.lines().at(0);
    }
    // Readers are kept out by a writer too; once it ends, both get in.
    EXPECT_THROW(BundleLock(folder_, LockMode::kShared, std::chrono::milliseconds(50)), ToolError);
    const BundleLock waited(folder_, LockMode::kShared, std::chrono::milliseconds(10000));
    EXPECT_TRUE(waited.held());
    const BundleLock second_reader(folder_, LockMode::kShared, std::chrono::milliseconds(0));
    EXPECT_TRUE(second_reader.held());
    int status = 0;
    ::waitpid(holder, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(BundleCommit, DamagedPiecesAreNamedWithBothChecksums) {
    {
        std::fstream f(folder_ / kPieceAfs, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('\x01');
    }
    try {
        load_bundle(folder_);
        ADD_FAILURE() << "a damaged piece was accepted";
    } catch (const ToolError &e) {
        const std::string line = e.lines().at(0);
        EXPECT_EQ(line.rfind("error: Corrupted Buffer Detected.: ", 0), 0u) << line;
        EXPECT_NE(line.find("mfs.bin: damaged: its SHA-256 is "), std::string::npos) << line;
    }
    const Bundle tolerated = open_bundle(folder_, Access::kRead, Damage::kTolerate);
    EXPECT_EQ(tolerated.records.at(kPieceAfs).state, PieceState::kDamaged);
    EXPECT_EQ(tolerated.records.at(kPieceEfs).state, PieceState::kIntact);
    EXPECT_EQ(tolerated.pieces.at(kPieceAfs).size(), 8192u);
}

TEST_F(BundleCommit, AReadOnlyFolderIsReadableAndRefusesChangesByName) {
    if (::geteuid() == 0) {
        // root ignores permissions; a read-only bind mount would be needed.
        GTEST_SKIP() << "permissions do not bind root";
    }
    fs::remove(folder_ / kBundleLockFile);
    fs::permissions(folder_, fs::perms(0555));
    EXPECT_EQ(load_bundle(folder_).pieces, old_);
    try {
        commit_new();
        ADD_FAILURE() << "committed into a read-only folder";
    } catch (const ToolError &e) {
        EXPECT_NE(e.lines().at(0).find(".bundle.lock: cannot open the bundle's lock file"),
                  std::string::npos)
            << e.lines().at(0);
    }
    fs::permissions(folder_, fs::perms(0755));
}

}  // namespace
}  // namespace quorstore
