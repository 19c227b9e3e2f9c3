// Storage (pieces in memory) and the bundle session behind quorstorage.Bundle.
#include "py_storage.h"

#include <cstring>

#include "commands.h"
#include "quorstorage/quorstorage.h"
#include "storage_session.h"

namespace pyqs {

namespace {

using quorstore::Bytes;

constexpr int32_t kCodeFileNotFound = 38;
constexpr int32_t kCodeInvalidNvarSize = 217;
constexpr int32_t kCodeFailWriteNvar = 266;
constexpr int32_t kCodeReadNvar = 267;
constexpr int32_t kCodeNvarAccess = 346;

// One NVAR as the library answers it, copied out under the library lock.
struct NvarValue {
    std::string value;
    uint32_t max_size = 0;
    bool modifiable = false;
};

// Reads an NVAR; false (reports left in the collector) when the library refuses.
bool get_nvar(const std::string &name, uint32_t table, NvarValue &out) {
    uint8_t *value = nullptr;
    uint32_t size = 0;
    bool modifiable = false;
    uint32_t max_size = 0;
    if (!kaMfsNvarGet(name.c_str(), &value, &size, table, &modifiable, &max_size)) {
        return false;
    }
    out.value.assign(reinterpret_cast<const char *>(value), value != nullptr ? size : 0);
    out.max_size = max_size;
    out.modifiable = modifiable;
    return true;
}

// Raises the reports the library made for a refused call, or one report of
// `fallback_code` when it made none.
[[noreturn]] void fail_with_library_reports(const std::string &context, int32_t fallback_code) {
    quorstore::fail_with_reports(context, fallback_code);
}

QuorBuffer quor_buffer(Bytes *bytes) {
    if (bytes == nullptr || bytes->empty()) {
        return QuorBuffer{nullptr, 0};
    }
    return QuorBuffer{bytes->data(), static_cast<uint32_t>(bytes->size())};
}

QuorBuffer quor_buffer(const HeldBuffer &buffer) {
    if (buffer.empty()) {
        return QuorBuffer{nullptr, 0};
    }
    return QuorBuffer{buffer.data(), static_cast<uint32_t>(buffer.size())};
}

Bytes copy_bytes(const py::buffer &buffer, const char *what) {
    HeldBuffer held(buffer, false, what);
    return Bytes(held.data(), held.data() + held.size());
}

}  // namespace

StorageBase::~StorageBase() {
    try {
        close();
    } catch (...) {
        // The close of a dropped storage has no one to report to.
    }
}

void StorageBase::open_on(const _commonQuorTable &record) {
    call_library([&record] {
        quorstore::take_reports();
        const bool opened = kaMfsQuorInit(&record, quorstore::collect_report);
        if (!opened) {
            fail_with_library_reports("the library refuses to open the storage", 34);
        }
    });
    open_ = true;
    afs_mounted_ = record.mfs.size != 0;
    efs_mounted_ = record.efs.size != 0;
    forward_reports();
}

void StorageBase::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    afs_mounted_ = efs_mounted_ = false;
    // kaMfsNvarTerm(false) is the library's only close; it commits the
    // current values into the regions once more, which a caller that did
    // not commit simply does not keep.
    call_library([] {
        if (kaFcsIsInitialized()) {
            kaMfsNvarTerm(false);
        }
    });
    forward_reports(true);
    release_pieces();
    claim_.reset();
}

py::bytes StorageBase::nvar_get(const std::string &name, uint32_t table) {
    return std::get<0>(nvar_info(name, table));
}

std::tuple<py::bytes, uint32_t, bool> StorageBase::nvar_info(const std::string &name,
                                                             uint32_t table) {
    require_open();
    NvarValue nvar;
    call_library([&] {
        if (!kamfsCheckNvarExists(name.c_str(), table)) {
            quorstore::take_reports();
            fail(kCodeFileNotFound,
                 name + ": no such NVAR in table " + quorstore::hex_number(table));
        }
        if (!get_nvar(name, table, nvar)) {
            fail_with_library_reports(name, kCodeReadNvar);
        }
    });
    return {py::bytes(nvar.value), nvar.max_size, nvar.modifiable};
}

bool StorageBase::nvar_exists(const std::string &name, uint32_t table) {
    require_open();
    const bool exists = call_library([&] { return kamfsCheckNvarExists(name.c_str(), table); });
    forward_reports(true);
    return exists;
}

std::vector<std::string> StorageBase::nvar_names(uint32_t table) {
    require_open();
    std::vector<std::string> names = call_library([table] {
        std::vector<std::string> found;
        for (const quorstore::FileTableEntry &entry : quorstore::file_table_entries()) {
            // Configuration files without a value are not NVARs: the library
            // refuses them with a report, which the listing leaves out.
            NvarValue nvar;
            if (kamfsCheckNvarExists(entry.name.c_str(), table) &&
                get_nvar(entry.name, table, nvar)) {
                found.push_back(entry.name);
            }
        }
        return found;
    });
    forward_reports(true);
    return names;
}

void StorageBase::nvar_set(const std::string &name, const py::buffer &value) {
    require_open();
    const HeldBuffer source(value, false, "value");
    call_library([&] {
        NvarValue current;
        if (!kamfsCheckNvarExists(name.c_str(),
                                  static_cast<uint32_t>(quorstore::NvarTable::kCurrent)) ||
            !get_nvar(name, static_cast<uint32_t>(quorstore::NvarTable::kCurrent), current)) {
            quorstore::take_reports();
            fail(kCodeFileNotFound, name + ": no such NVAR");
        }
        if (!current.modifiable) {
            fail(kCodeNvarAccess,
                 name + ": read-only while the file system is deployed (attribute bit 0)");
        }
        // Refused here rather than at commit, where the library would name
        // no NVAR: the value never reaches the tables.
        if (source.size() > current.max_size) {
            fail(kCodeInvalidNvarSize, name + ": " + std::to_string(source.size()) +
                                           " bytes is longer than its maximum size " +
                                           std::to_string(current.max_size));
        }
        uint8_t *buffer = nullptr;
        if (!kaMfsNvarResize(name.c_str(), &buffer, static_cast<uint32_t>(source.size()))) {
            fail_with_library_reports(name, kCodeFailWriteNvar);
        }
        if (!source.empty()) {
            std::memcpy(buffer, source.data(), source.size());
        }
    });
}

Bytes StorageBase::commit_tables(const Bytes *old_partition) {
    require_open();
    bool closed_by_failure = false;
    try {
        Bytes partition = call_library([&] {
            if (!kaMfsNvarTerm(true)) {
                closed_by_failure = !kaFcsIsInitialized();
                fail_with_library_reports("commit failed", kCodeFailWriteNvar);
            }
            uint8_t *cfg = nullptr;
            uint32_t cfg_size = 0;
            if (!kaMfsGetBuildTavCfgFcsBuffer(&cfg, &cfg_size) || cfg == nullptr) {
                fail_with_library_reports("no configuration bytes after the commit",
                                          kCodeFailWriteNvar);
            }
            return quorstore::make_tool_partition(old_partition, cfg, cfg_size);
        });
        forward_reports();
        return partition;
    } catch (const FailureError &) {
        if (closed_by_failure) {
            // The library released the storage: this object is closed now.
            open_ = false;
            afs_mounted_ = efs_mounted_ = false;
            release_pieces();
            claim_.reset();
        }
        throw;
    }
}

// ---- Storage over pieces in memory ------------------------------------------

namespace {

class Storage : public StorageBase {
  public:
    Storage(const py::buffer &file_table, const py::buffer &vendor_cfg, uint32_t sku,
            std::optional<py::buffer> tool_cfg, std::optional<py::buffer> afs,
            std::optional<py::buffer> efs) {
        claim_ = std::make_unique<Claim>("a Storage");
        // The tables are small and the library copies them anyway; the
        // regions are used in place.
        pieces_.folder = "<memory>";
        pieces_.sku = sku;
        pieces_.at(quorstore::kPieceFileTable) = copy_bytes(file_table, "file_table");
        pieces_.at(quorstore::kPieceVendorCfg) = copy_bytes(vendor_cfg, "vendor_cfg");
        if (tool_cfg) {
            pieces_.at(quorstore::kPieceToolCfg) = copy_bytes(*tool_cfg, "tool_cfg");
        }
        if (afs) {
            afs_ = HeldBuffer(*afs, true, "afs");
        }
        if (efs) {
            efs_ = HeldBuffer(*efs, true, "efs");
        }
        call_library([this] { quorstore::check_bundle_pieces(pieces_); });
        _commonQuorTable record{};
        record.ostraCfg = quor_buffer(&pieces_.at(quorstore::kPieceVendorCfg));
        record.tavcCfg = quor_buffer(pieces_.has(quorstore::kPieceToolCfg)
                                         ? &pieces_.at(quorstore::kPieceToolCfg)
                                         : nullptr);
        record.mfs = quor_buffer(afs_);
        record.ftbl = quor_buffer(&pieces_.at(quorstore::kPieceFileTable));
        record.afsSkuId = sku;
        record.efs = quor_buffer(efs_);
        open_on(record);
    }

    ~Storage() override {
        try {
            close();
        } catch (...) {
            // See StorageBase.
        }
    }

    py::bytes commit() {
        const Bytes partition = commit_tables(pieces_.find(quorstore::kPieceToolCfg));
        pieces_.at(quorstore::kPieceToolCfg) = partition;
        return py::bytes(reinterpret_cast<const char *>(partition.data()), partition.size());
    }

  protected:
    std::string label() const override { return "Storage"; }
    void release_pieces() override {
        afs_ = HeldBuffer();
        efs_ = HeldBuffer();
    }

  private:
    quorstore::Bundle pieces_;
    HeldBuffer afs_;
    HeldBuffer efs_;
};

// ---- the session of a bundle folder -------------------------------------------

class BundleSession : public StorageBase {
  public:
    explicit BundleSession(const std::string &folder) {
        claim_ = std::make_unique<Claim>("bundle " + folder);
        // The exclusive lock of the bundle is held until the session closes.
        bundle_ = call_library([&folder] { return quorstore::load_bundle_for_change(folder); });
        original_ = bundle_;
        call_library([this] { quorstore::check_bundle_pieces(bundle_); });
        _commonQuorTable record{};
        record.ostraCfg = quor_buffer(&bundle_.at(quorstore::kPieceVendorCfg));
        record.tavcCfg = quor_buffer(bundle_.has(quorstore::kPieceToolCfg)
                                         ? &bundle_.at(quorstore::kPieceToolCfg)
                                         : nullptr);
        record.mfs = quor_buffer(
            bundle_.has(quorstore::kPieceAfs) ? &bundle_.at(quorstore::kPieceAfs) : nullptr);
        record.ftbl = quor_buffer(&bundle_.at(quorstore::kPieceFileTable));
        record.afsSkuId = bundle_.sku;
        record.efs = quor_buffer(
            bundle_.has(quorstore::kPieceEfs) ? &bundle_.at(quorstore::kPieceEfs) : nullptr);
        open_on(record);
    }

    ~BundleSession() override {
        try {
            close();
        } catch (...) {
            // See StorageBase.
        }
    }

    // Commits the NVAR changes and writes every changed piece into the
    // folder (temporary files renamed into place after all are written).
    std::vector<std::string> commit() {
        const Bytes partition = commit_tables(bundle_.find(quorstore::kPieceToolCfg));
        // The committed pieces are copied now: closing the storage commits
        // into the live regions once more.
        quorstore::Bundle committed = bundle_;
        committed.pieces[quorstore::kPieceToolCfg] = partition;
        std::set<std::string> changed;
        for (const char *piece :
             {quorstore::kPieceToolCfg, quorstore::kPieceAfs, quorstore::kPieceEfs}) {
            const Bytes *old = original_.find(piece);
            if (committed.has(piece) && (old == nullptr || *old != committed.at(piece))) {
                changed.insert(piece);
            }
        }
        const quorstore::CommitResult result =
            call_library([&] { return quorstore::commit_bundle(committed, changed); });
        bundle_.pieces[quorstore::kPieceToolCfg] = partition;
        original_ = committed;
        if (!result.complete) {
            // Committed all the same: the next open of the bundle finishes it.
            py::module_::import("logging")
                .attr("getLogger")("quorstorage")
                .attr("warning")("%s", result.note);
        }
        return std::vector<std::string>(changed.begin(), changed.end());
    }

    std::string folder() const { return bundle_.folder.string(); }
    uint32_t sku() const { return bundle_.sku; }

  protected:
    std::string label() const override { return "bundle " + bundle_.folder.string(); }
    // Lets go of the bundle's lock with the storage.
    void release_pieces() override {
        bundle_.lock.reset();
        original_.lock.reset();
    }

  private:
    quorstore::Bundle bundle_;    // the live pieces the library works on
    quorstore::Bundle original_;  // the pieces as the folder holds them
};

}  // namespace

void bind_storage(py::module_ &m) {
    using py::arg;
    const uint32_t current = static_cast<uint32_t>(quorstore::NvarTable::kCurrent);
    m.attr("TABLE_VENDOR") = static_cast<uint32_t>(quorstore::NvarTable::kVendor);
    m.attr("TABLE_TOOL") = static_cast<uint32_t>(quorstore::NvarTable::kTool);
    m.attr("TABLE_CURRENT") = current;

    py::class_<StorageBase, FileAccess>(m, "_StorageBase", "NVAR access of an open storage.")
        .def("nvar_get", &StorageBase::nvar_get, arg("name"), arg("table") = current,
             "The value of an NVAR; StorageNotFoundError when there is none.")
        .def("nvar_info", &StorageBase::nvar_info, arg("name"), arg("table") = current,
             "(value, max_size, modifiable) of an NVAR.")
        .def("nvar_exists", &StorageBase::nvar_exists, arg("name"), arg("table") = current)
        .def("nvar_names", &StorageBase::nvar_names, arg("table") = current,
             "Names of the NVARs of a table, in file-table order.")
        .def("nvar_set", &StorageBase::nvar_set, arg("name"), arg("value"),
             "Replaces the current value of an NVAR (resize and write).")
        .def("close", &StorageBase::close,
             "Closes the storage; changes not committed are not kept.");

    py::class_<Storage, StorageBase>(m, "Storage", R"(A storage over image pieces kept in memory.

    Storage(file_table, vendor_cfg, sku, tool_cfg=None, afs=None, efs=None)

The tables (ftbl.bin, ostra.cfg, tavc.cfg) are copied; the `afs` and `efs`
regions must be writable buffers and are mounted and changed in place.
commit() writes the NVAR changes into the regions and returns the new tool
configuration partition. Closing commits the current values into the
regions once more (the library has no other close), so keep a copy of the
regions if uncommitted changes must not reach them.)")
        .def(py::init<const py::buffer &, const py::buffer &, uint32_t, std::optional<py::buffer>,
                      std::optional<py::buffer>, std::optional<py::buffer>>(),
             arg("file_table"), arg("vendor_cfg"), arg("sku"), arg("tool_cfg") = py::none(),
             arg("afs") = py::none(), arg("efs") = py::none())
        .def("commit", &Storage::commit,
             "Commits the NVAR changes; returns the new tool configuration partition.")
        .def("__enter__", [](Storage &s) -> Storage & { return s; })
        .def("__exit__", [](Storage &s, py::args) { s.close(); });

    py::class_<BundleSession, StorageBase>(m, "_BundleSession")
        .def(py::init<const std::string &>(), arg("folder"))
        .def("commit", &BundleSession::commit)
        .def_property_readonly("folder", &BundleSession::folder)
        .def_property_readonly("sku", &BundleSession::sku);
}

}  // namespace pyqs
