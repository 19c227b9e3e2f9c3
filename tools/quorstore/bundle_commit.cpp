// The commit of a bundle: staged pieces, the manifest as commit record, then
// the renames (the protocol and its crash states: bundle.h).
#include "bundle_commit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

#include "bundle_io.h"
#include "errors.h"
#include "piece_checksum.h"

namespace quorstore {

namespace fs = std::filesystem;

namespace {

// Files a commit has staged and not yet handed over. A signal that ends the
// process before the commit point removes them (an async-signal-safe unlink
// of paths kept in fixed buffers); after the commit point they are the
// commit and stay.
class StagedFiles {
  public:
    static constexpr int kMaxFiles = 8;
    static constexpr size_t kMaxPath = 4096;

    StagedFiles() {
        g_active.store(this);
        for (int sig : kSignals) {
            struct sigaction action {};
            action.sa_handler = &StagedFiles::on_signal;
            sigemptyset(&action.sa_mask);
            ::sigaction(sig, &action, &saved_[index_of(sig)]);
        }
    }
    ~StagedFiles() {
        remove_all();
        for (int sig : kSignals) {
            ::sigaction(sig, &saved_[index_of(sig)], nullptr);
        }
        g_active.store(nullptr);
    }
    StagedFiles(const StagedFiles &) = delete;
    StagedFiles &operator=(const StagedFiles &) = delete;

    // Records a path before the file is created, so that no instant exists in
    // which the file is there and nobody would remove it.
    void add(const fs::path &path) {
        const std::string text = path.string();
        if (count_.load() >= kMaxFiles || text.size() >= kMaxPath) {
            throw ToolError(kCodeWriteOutput, text + ": path too long for a staged piece");
        }
        const int slot = count_.load();
        std::memcpy(paths_[slot], text.c_str(), text.size() + 1);
        count_.store(slot + 1);
    }
    // The commit point passed: the staged files are the bundle's now.
    void keep() { count_.store(0); }

  private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

    static int index_of(int sig) {
        for (int i = 0; i < static_cast<int>(std::size(kSignals)); ++i) {
            if (kSignals[i] == sig) {
                return i;
            }
        }
        return 0;
    }

    void remove_all() {
        const int count = count_.exchange(0);
        for (int i = 0; i < count; ++i) {
            ::unlink(paths_[i]);
        }
    }

    static void on_signal(int sig) {
        if (StagedFiles *self = g_active.load()) {
            self->remove_all();
        }
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    }

    static std::atomic<StagedFiles *> g_active;
    char paths_[kMaxFiles][kMaxPath] = {};
    std::atomic<int> count_{0};
    struct sigaction saved_[std::size(kSignals)] = {};
};

std::atomic<StagedFiles *> StagedFiles::g_active{nullptr};

std::mutex g_notes_mutex;
std::vector<std::string> g_notes;

unsigned default_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}

[[noreturn]] void fail_before_commit(const fs::path &path, int error) {
    throw ToolError(kCodeWriteOutput,
                    path.string() + ": " + std::strerror(error) + "; the bundle is unchanged");
}

struct StagedPiece {
    std::string name;
    fs::path target;
    fs::path staged;
};

// Step 1: every changed piece staged and synced, with its folder.
std::vector<StagedPiece> stage_pieces(const Bundle &bundle, const std::set<std::string> &changed,
                                      StagedFiles &files) {
    std::vector<StagedPiece> staged;
    std::set<fs::path> folders;
    for (const std::string &name : changed) {
        const Bytes *bytes = bundle.find(name);
        if (bytes == nullptr) {
            continue;
        }
        StagedPiece piece{name, bundle_io::resolve_target(bundle.folder / name), {}};
        piece.staged = bundle_io::staged_path(piece.target);
        files.add(piece.staged);
        const unsigned mode = bundle_io::mode_of(piece.target, default_mode());
        if (int error = bundle_io::write_synced(piece.staged, *bytes, mode)) {
            fail_before_commit(piece.target, error);
        }
        folders.insert(piece.staged.parent_path());
        staged.push_back(std::move(piece));
    }
    for (const fs::path &folder : folders) {
        if (int error = bundle_io::sync_folder(folder)) {
            fail_before_commit(folder, error);
        }
    }
    return staged;
}

// Step 2: the manifest; its rename is the commit point.
void write_manifest(const Bundle &bundle, StagedFiles &files) {
    const fs::path target = bundle_io::resolve_target(bundle.folder / kBundleJson);
    const fs::path temp = bundle_io::staged_path(target);
    const std::string text = bundle_json_text(bundle);
    files.add(temp);
    const unsigned mode = bundle_io::mode_of(target, default_mode());
    if (int error = bundle_io::write_synced(temp, Bytes(text.begin(), text.end()), mode)) {
        fail_before_commit(target, error);
    }
    if (int error = bundle_io::rename_file(temp, target)) {
        fail_before_commit(target, error);
    }
    files.keep();
}

void note(CommitResult &result, const std::string &what) {
    result.complete = false;
    result.note += (result.note.empty() ? "" : "; ") + what;
}

}  // namespace

int finish_piece(const fs::path & /*folder*/, const fs::path &staged, const fs::path &target) {
    if (int error = bundle_io::rename_file(staged, target)) {
        return error;
    }
    return bundle_io::sync_folder(target.parent_path());
}

void remove_leftovers(Bundle &bundle) {
    std::set<fs::path> keep;
    for (const auto &[name, record] : bundle.records) {
        if (record.state == PieceState::kCommitted) {
            keep.insert(bundle_io::staged_path(bundle_io::resolve_target(bundle.folder / name)));
        }
    }
    std::set<fs::path> candidates;
    candidates.insert(bundle_io::staged_path(bundle.folder / kBundleJson));
    for (const std::string &name : known_pieces()) {
        candidates.insert(bundle_io::staged_path(bundle.folder / name));
        candidates.insert(bundle_io::staged_path(bundle_io::resolve_target(bundle.folder / name)));
    }
    std::error_code ec;
    for (const fs::path &path : candidates) {
        if (keep.count(path) == 0 && fs::exists(fs::symlink_status(path, ec)) &&
            bundle_io::unlink_file(path) == 0) {
            bundle.recovered.push_back(path.filename().string() +
                                       ": removed (left by a commit that never finished)");
        }
    }
}

CommitResult commit_bundle(Bundle &bundle, const std::set<std::string> &changed,
                           bool remove_stale) {
    std::error_code ec;
    fs::create_directories(bundle.folder, ec);
    if (ec) {
        throw ToolError(kCodeWriteOutput, bundle.folder.string() + ": " + ec.message());
    }
    // A bundle that was not opened (mkimage) is locked for the commit only.
    std::shared_ptr<BundleLock> own_lock;
    if (!bundle.lock) {
        own_lock = std::make_shared<BundleLock>(bundle.folder, LockMode::kExclusive);
    } else if (bundle.lock->mode() != LockMode::kExclusive) {
        throw ToolError(kCodeWriteOutput,
                        bundle.folder.string() + ": opened for reading, cannot commit");
    }
    Bundle next = bundle;
    next.generation = bundle.generation + 1;
    CommitResult result;
    std::vector<StagedPiece> staged;
    {
        StagedFiles files;
        staged = stage_pieces(next, changed, files);
        write_manifest(next, files);
    }
    if (int error = bundle_io::sync_folder(bundle.folder)) {
        note(result, bundle.folder.string() + ": " + std::strerror(error));
    }
    for (const StagedPiece &piece : staged) {
        if (int error = finish_piece(bundle.folder, piece.staged, piece.target)) {
            note(result, piece.target.string() + ": " + std::strerror(error) +
                             " (committed; the next command finishes it)");
        }
    }
    if (remove_stale) {
        for (const std::string &name : known_pieces()) {
            if (!bundle.has(name) && fs::exists(fs::symlink_status(bundle.folder / name, ec))) {
                bundle_io::unlink_file(bundle.folder / name);
            }
        }
    }
    bundle.generation = next.generation;
    bundle.manifest_version = 2;
    bundle.records.clear();
    for (const auto &[name, bytes] : bundle.pieces) {
        PieceRecord &record = bundle.records[name];
        record.size = bytes.size();
        record.sha256 = sha256_hex(bytes);
        record.actual_sha = record.sha256;
        record.state = PieceState::kIntact;
    }
    return result;
}

void save_bundle(Bundle &bundle, const std::set<std::string> &changed, bool remove_stale) {
    const CommitResult result = commit_bundle(bundle, changed, remove_stale);
    if (!result.complete) {
        std::lock_guard<std::mutex> lock(g_notes_mutex);
        g_notes.push_back(result.note);
    }
}

std::vector<std::string> take_commit_notes() {
    std::lock_guard<std::mutex> lock(g_notes_mutex);
    std::vector<std::string> out;
    out.swap(g_notes);
    return out;
}

}  // namespace quorstore
