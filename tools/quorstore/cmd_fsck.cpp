// quorstore fsck: renders the report of fsck_bundle (fsck.h) as text or as
// one JSON document, also when the bundle is damaged beyond opening.
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "fsck.h"
#include "progress.h"

namespace quorstore {

namespace {

using nlohmann::json;

json findings_json(const std::vector<FsckFinding> &findings) {
    json out = json::array();
    for (const FsckFinding &f : findings) {
        out.push_back({{"where", f.where}, {"what", f.what}});
    }
    return out;
}

json file_system_json(const FsckFileSystem &fs) {
    if (!fs.present) {
        return nullptr;
    }
    return {{"mounted", fs.mounted}, {"files", fs.files}, {"unreadable", fs.unreadable}};
}

json report_json(const FsckReport &r) {
    json pieces = json::object();
    for (const FsckPiece &p : r.pieces) {
        pieces[p.name] = {{"state", p.state}, {"size", p.size}};
    }
    json j = {{"bundle", r.bundle},
              {"clean", r.clean()},
              {"exit_status", r.exit_status()},
              {"pieces", pieces},
              {"afs", file_system_json(r.afs)},
              {"efs", file_system_json(r.efs)},
              {"nvars", r.nvars},
              {"trial_commit", r.trial_commit},
              {"damage", findings_json(r.damage)},
              {"repaired", findings_json(r.repaired)},
              {"reset", r.reset},
              {"written", r.written},
              {"recovered", r.recovered},
              {"notes", r.notes}};
    if (!r.operational_error.empty()) {
        j["error"] = r.operational_error;
    }
    return j;
}

void print_file_system(const char *name, const FsckFileSystem &fs) {
    if (!fs.present) {
        return;
    }
    std::cout << name << ": " << (fs.mounted ? "mounted" : "not mounted") << ", " << fs.files
              << " files read";
    if (fs.unreadable != 0) {
        std::cout << ", " << fs.unreadable << " unreadable";
    }
    std::cout << "\n";
}

void print_text(const FsckReport &r) {
    if (!r.operational_error.empty()) {
        std::cout << "error: " << r.operational_error << "\n";
        return;
    }
    print_file_system("AFS", r.afs);
    print_file_system("EFS", r.efs);
    if (r.nvars != 0) {
        std::cout << "NVARs: " << r.nvars << " read"
                  << (r.trial_commit ? ", trial commit succeeded" : "") << "\n";
    }
    for (const std::string &line : r.recovered) {
        std::cout << "recovered: " << line << "\n";
    }
    for (const FsckFinding &f : r.damage) {
        std::cout << "damage: " << f.where << ": " << f.what << "\n";
    }
    for (const FsckFinding &f : r.repaired) {
        std::cout << "repaired: " << f.where << ": " << f.what << "\n";
    }
    for (const std::string &nvar : r.reset) {
        std::cout << "reset: " << nvar << "\n";
    }
    for (const std::string &n : r.notes) {
        std::cout << "note: " << n << "\n";
    }
    if (!r.written.empty()) {
        std::cout << "repaired: wrote";
        for (const std::string &piece : r.written) {
            std::cout << " " << piece;
        }
        std::cout << "\n";
    }
    if (!r.damage.empty()) {
        std::cout << plural(r.damage.size(), "problem", "problems") << " left\n";
    } else if (!r.repaired.empty()) {
        std::cout << r.repaired.size() << " problems repaired\n";
    } else {
        std::cout << "clean\n";
    }
}

}  // namespace

int run_fsck(const std::string &folder, bool do_repair, bool as_json) {
    FsckReport report;
    {
        Progress progress("checking " + folder);
        report = fsck_bundle(folder, FsckOptions{do_repair});
    }
    if (as_json) {
        std::cout << report_json(report).dump(2) << "\n";
    } else {
        print_text(report);
    }
    return report.exit_status();
}

}  // namespace quorstore
