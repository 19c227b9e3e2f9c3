// fsck_bundle: the checks and the repair described in fsck.h. Every check
// runs on copies of the pieces in memory; only a repair writes, through one
// atomic bundle commit.
#include "fsck.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "bundle.h"
#include "errors.h"
#include "fsck_checks.h"
#include "quorstorage/quorstorage.h"
#include "storage_session.h"

namespace quorstore {

namespace fs = std::filesystem;

namespace {

void add(std::vector<FsckFinding> &list, const std::string &where, const std::string &what) {
    list.push_back(FsckFinding{where, what});
}

std::string report_text(const Report &r) {
    return format_report(r).substr(sizeof("error: ") - 1);
}

// The pieces against bundle.json.
void check_pieces(const Bundle &bundle, FsckReport &report) {
    for (const auto &[name, record] : bundle.records) {
        report.pieces.push_back(FsckPiece{name, piece_state_name(record.state), record.size});
        if (record.read_error == EACCES || record.read_error == EPERM) {
            // Not the bundle's fault: the check cannot run on what it may not read.
            report.operational_error =
                name + ": " + record.detail + " (fsck needs to read every piece)";
        } else if (!piece_usable(record.state)) {
            add(report.damage, name, record.detail);
        }
    }
    if (bundle.manifest_version < 2) {
        report.notes.push_back(
            "bundle.json records no checksums (version 1); the next commit adds them");
    }
}

// Copies the findings of a storage check into the report.
void take_check(const StorageCheck &check, FsckReport &report) {
    report.afs = check.afs;
    report.efs = check.efs;
    report.nvars = check.nvars;
    report.trial_commit = check.trial_commit;
    report.damage.insert(report.damage.end(), check.damage.begin(), check.damage.end());
    report.notes.insert(report.notes.end(), check.notes.begin(), check.notes.end());
}

bool region_pieces_only(const std::set<std::string> &names) {
    for (const std::string &n : names) {
        if (n != kPieceAfs && n != kPieceEfs) {
            return false;
        }
    }
    return true;
}

// The repair: fixes what the check found on a copy, checks the copy again,
// and commits it when that check finds nothing. Returns false (leaving the
// report's damage in place) when the copy still has damage.
void repair(Bundle &bundle, const StorageCheck &first, FsckReport &report) {
    Bundle fixed = bundle;
    std::vector<std::string> reset;
    std::vector<FsckFinding> not_repaired;
    if (!first.damage.empty()) {
        repair_storage(fixed, first, reset, not_repaired);
    }
    std::set<std::string> damaged_pieces;
    for (const auto &[name, record] : bundle.records) {
        if (!piece_usable(record.state)) {
            damaged_pieces.insert(name);
        }
    }
    // Only region pieces are accepted after a damaged checksum: their own
    // checks (CRCs of every record and map) vouch for what reads from them.
    // A configuration table has no such checks.
    if (!region_pieces_only(damaged_pieces)) {
        for (const std::string &name : damaged_pieces) {
            if (name != kPieceAfs && name != kPieceEfs) {
                add(not_repaired, name,
                    "cannot be repaired (it has no checks of its own): restore it from the "
                    "image it came from");
            }
        }
        report.damage.insert(report.damage.end(), not_repaired.begin(), not_repaired.end());
        report.damage.insert(report.damage.end(), first.damage.begin(), first.damage.end());
        return;
    }
    for (const std::string &name : damaged_pieces) {
        if (bundle.records.at(name).state != PieceState::kDamaged) {
            add(not_repaired, name, "cannot be repaired: " + bundle.records.at(name).detail);
        }
    }
    const StorageCheck again = check_storage(fixed, /*trial_commit=*/true);
    if (!again.damage.empty() || !not_repaired.empty()) {
        report.damage.insert(report.damage.end(), not_repaired.begin(), not_repaired.end());
        report.damage.insert(report.damage.end(), again.damage.begin(), again.damage.end());
        report.notes.push_back("the repair left damage; nothing was written");
        return;
    }
    std::set<std::string> changed;
    for (const auto &[name, bytes] : fixed.pieces) {
        const Bytes *old = bundle.find(name);
        if (old == nullptr || *old != bytes || damaged_pieces.count(name) != 0) {
            changed.insert(name);
        }
    }
    const CommitResult result = commit_bundle(fixed, changed);
    if (!result.complete) {
        report.notes.push_back(result.note);
    }
    for (const FsckFinding &f : first.damage) {
        report.repaired.push_back(f);
    }
    for (const std::string &name : damaged_pieces) {
        add(report.repaired, name,
            "checksum renewed after every file and NVAR of it read back and a trial commit "
            "succeeded");
    }
    report.reset = reset;
    report.written.assign(changed.begin(), changed.end());
    report.afs = again.afs;
    report.efs = again.efs;
    report.nvars = again.nvars;
    report.trial_commit = again.trial_commit;
    bundle = fixed;
}

}  // namespace

int FsckReport::exit_status() const {
    if (!operational_error.empty()) {
        return kFsckOperational;
    }
    if (!damage.empty()) {
        return kFsckDamageLeft;
    }
    return repaired.empty() ? kFsckClean : kFsckRepaired;
}

FsckReport fsck_bundle(const fs::path &folder, const FsckOptions &options) {
    FsckReport report;
    report.bundle = folder.string();
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        report.operational_error = not_a_folder_detail(folder);
        return report;
    }
    Bundle bundle;
    try {
        bundle =
            open_bundle(folder, options.repair ? Access::kWrite : Access::kRead, Damage::kTolerate);
    } catch (const ToolError &error) {
        const std::string detail =
            error.reports().empty() ? error.context() : error.reports().front().detail;
        if (error.exit_status() == kExitBusy || detail.find(kBundleLockFile) != std::string::npos) {
            report.operational_error =
                error.reports().empty() ? detail : report_text(error.reports().front());
            return report;
        }
        // A missing or malformed bundle.json is damage of the bundle.
        add(report.damage, kBundleJson, detail);
        return report;
    }
    report.recovered = bundle.recovered;
    check_pieces(bundle, report);
    if (!report.operational_error.empty()) {
        return report;  // what follows would blame the bundle for the unread piece
    }
    if (!bundle.has(kPieceFileTable) || !bundle.has(kPieceVendorCfg)) {
        return report;  // nothing opens without both tables
    }
    const size_t piece_damage = report.damage.size();
    StorageCheck check = check_storage(bundle, /*trial_commit=*/true);
    if (!options.repair || (check.damage.empty() && piece_damage == 0)) {
        take_check(check, report);
        return report;
    }
    report.damage.clear();
    try {
        repair(bundle, check, report);
    } catch (const ToolError &error) {
        report.operational_error = "repair not written: " + report_text(error.reports().front());
    }
    return report;
}

}  // namespace quorstore
