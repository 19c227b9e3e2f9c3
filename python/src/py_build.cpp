// build() and fsck(): the quorstore tool's mkimage and fsck, without output.
#include "py_build.h"

#include <filesystem>
#include <memory>

#include "commands.h"
#include "description.h"
#include "fsck.h"

namespace pyqs {

namespace {

namespace fs = std::filesystem;

constexpr int32_t kCodeReadingInput = 34;

// Builds a bundle from a description given as JSON text or a file path.
std::string build(const py::object &description, const std::string &out,
                  std::optional<uint32_t> sku, bool force) {
    const bool is_text = py::isinstance<py::dict>(description);
    std::string source;
    if (is_text) {
        source = py::module_::import("json").attr("dumps")(description).cast<std::string>();
    } else {
        source = py::module_::import("os").attr("fspath")(description).cast<std::string>();
    }
    const Claim claim("qs.build(" + out + ")");
    call_library([&] {
        const quorstore::ImageDescription image =
            is_text ? quorstore::parse_description(source, "<description dict>", sku)
                    : quorstore::load_description(source, sku);
        quorstore::build_bundle(image, source, fs::path(out), force);
    });
    return out;
}

py::list findings(const std::vector<quorstore::FsckFinding> &found) {
    py::list out;
    for (const quorstore::FsckFinding &f : found) {
        out.append(py::make_tuple(f.where, f.what));
    }
    return out;
}

py::dict file_system(const quorstore::FsckFileSystem &fsys) {
    py::dict d;
    d["present"] = fsys.present;
    d["mounted"] = fsys.mounted;
    d["files"] = fsys.files;
    d["unreadable"] = fsys.unreadable;
    return d;
}

// Checks (and with `repair` repairs) a bundle; the report as a dict.
py::dict fsck(const std::string &folder, bool repair) {
    const Claim claim("qs.fsck(" + folder + ")");
    quorstore::FsckOptions options;
    options.repair = repair;
    const quorstore::FsckReport report =
        call_library([&] { return quorstore::fsck_bundle(fs::path(folder), options); });
    forward_reports(true);
    if (!report.operational_error.empty()) {
        fail(kCodeReadingInput, report.operational_error);
    }
    py::dict d;
    d["bundle"] = report.bundle;
    py::list pieces;
    for (const quorstore::FsckPiece &p : report.pieces) {
        pieces.append(py::make_tuple(p.name, p.state, p.size));
    }
    d["pieces"] = pieces;
    d["afs"] = file_system(report.afs);
    d["efs"] = file_system(report.efs);
    d["nvars"] = report.nvars;
    d["trial_commit"] = report.trial_commit;
    d["damage"] = findings(report.damage);
    d["repaired"] = findings(report.repaired);
    d["reset"] = report.reset;
    d["notes"] = report.notes;
    d["written"] = report.written;
    d["recovered"] = report.recovered;
    d["clean"] = report.clean();
    d["exit_status"] = report.exit_status();
    return d;
}

}  // namespace

void bind_build(py::module_ &m) {
    using py::arg;
    m.def("_build", &build, arg("description"), arg("out"), arg("sku") = py::none(),
          arg("force") = false);
    m.def("_fsck", &fsck, arg("folder"), arg("repair") = false);
}

}  // namespace pyqs
