// File-system access (DFS, AFS, EFS entry points) and the Region object.
#include "py_files.h"

#include <memory>

#include "quorstorage/quorstorage.h"
#include "storage_session.h"

namespace pyqs {

namespace {

using quorstore::dfs_status_text;
using quorstore::efs_status_text;

// Catalogue codes of failed file operations.
constexpr int32_t kCodeNotInitialized = 323;  // "MFS was not initialized."
constexpr int32_t kCodeGetSize = 336;         // getting a file's size failed
constexpr int32_t kCodeRead = 267;            // a file cannot be read
constexpr int32_t kCodeWrite = 99;            // a file-system write failed
constexpr int32_t kCodeAfsMount = 339;        // AFS does not mount
constexpr int32_t kCodeEfsMount = 340;        // EFS does not mount

constexpr uint32_t kDfsTruncate = 1;  // dfs_write flag: the write ends the file

[[noreturn]] void fail_dfs(int32_t code, const std::string &what, uint32_t status) {
    fail(code, what + ": " + dfs_status_text(status), status, kind_of_dfs_status(status));
}

[[noreturn]] void fail_efs(int32_t code, const std::string &what, uint32_t status) {
    fail(code, what + ": " + efs_status_text(status), status, kind_of_efs_status(status));
}

std::string dfs_label(uint32_t number) {
    return "DFS file " + quorstore::hex_number(number, 4);
}

std::string afs_label(int32_t index) {
    return "AFS file " + std::to_string(index);
}

std::string efs_label(uint32_t index) {
    return "EFS file " + std::to_string(index);
}

// The bytes to hand the library for a write: never a null pointer, even for
// an empty buffer.
const uint8_t *write_source(const HeldBuffer &data) {
    static const uint8_t kNothing = 0;
    return data.empty() ? &kNothing : data.data();
}

uint32_t checked_length(size_t size, const char *what) {
    if (size > 0xFFFFFFFFu) {
        throw py::value_error(std::string(what) + ": longer than 4 GiB");
    }
    return static_cast<uint32_t>(size);
}

}  // namespace

void FileAccess::require_open() {
    if (!open_) {
        fail_rule(ErrorKind::kClosed, label() + " is closed");
    }
}

void FileAccess::require_afs() {
    require_open();
    if (!afs_mounted_) {
        fail(kCodeNotInitialized, label() + " has no mounted AFS region", std::nullopt,
             ErrorKind::kStorage);
    }
}

void FileAccess::require_efs() {
    require_open();
    if (!efs_mounted_) {
        fail(kCodeNotInitialized, label() + " has no mounted EFS region", std::nullopt,
             ErrorKind::kStorage);
    }
}

// ---- DFS --------------------------------------------------------------------

// The library keeps its AFS context and EFS image after the storage that
// mounted them is gone (dfs_terminate releases nothing), so a DFS call is let
// through only when this object has the routed file system mounted.
void FileAccess::require_routed(uint32_t number) {
    switch ((number & QUOR_DFS_SELECTOR_MASK) >> QUOR_DFS_SELECTOR_SHIFT) {
        case QUOR_DFS_SELECTOR_AFS:
            require_afs();
            return;
        case QUOR_DFS_SELECTOR_EFS:
            require_efs();
            return;
        default:
            require_open();  // the library refuses other selectors itself
            return;
    }
}

uint32_t FileAccess::dfs_getsize(uint32_t number) {
    require_routed(number);
    uint32_t size = 0;
    const uint32_t status = call_library([&] { return ::dfs_getsize(number, &size); });
    if (status != 0) {
        fail_dfs(kCodeGetSize, dfs_label(number), status);
    }
    return size;
}

py::bytes FileAccess::dfs_read(uint32_t number, uint32_t offset, std::optional<uint32_t> length) {
    const uint32_t size = dfs_getsize(number);
    const uint32_t wanted = length ? *length : (offset < size ? size - offset : 0);
    std::string out(wanted, '\0');
    uint32_t got = wanted;
    const uint32_t status =
        call_library([&] { return ::dfs_read(number, offset, &got, out.data()); });
    if (status != 0) {
        fail_dfs(kCodeRead, dfs_label(number), status);
    }
    out.resize(std::min(got, wanted));
    return py::bytes(out);
}

uint32_t FileAccess::dfs_read_into(uint32_t number, const py::buffer &out, uint32_t offset) {
    require_routed(number);
    HeldBuffer target(out, true, "dfs_read_into");
    uint32_t got = checked_length(target.size(), "dfs_read_into");
    const uint32_t status =
        call_library([&] { return ::dfs_read(number, offset, &got, target.data()); });
    if (status != 0) {
        fail_dfs(kCodeRead, dfs_label(number), status);
    }
    return got;
}

void FileAccess::dfs_write(uint32_t number, const py::buffer &data, uint32_t offset,
                           uint32_t flags) {
    require_routed(number);
    HeldBuffer source(data, false, "dfs_write");
    const uint32_t length = checked_length(source.size(), "dfs_write");
    const uint32_t status = call_library(
        [&] { return ::dfs_write(number, offset, length, write_source(source), flags); });
    if (status != 0) {
        fail_dfs(kCodeWrite, dfs_label(number), status);
    }
}

void FileAccess::dfs_delete_file(uint32_t number) {
    require_routed(number);
    const uint32_t status = call_library([&] { return ::dfs_delete_file(number); });
    if (status != 0) {
        fail_dfs(kCodeWrite, dfs_label(number), status);
    }
}

uint32_t FileAccess::dfs_idle_reclaim() {
    require_afs();
    return call_library([] { return ::dfs_idle_reclaim(); });
}

bool FileAccess::dfs_idle_reclaim_needed() {
    require_afs();
    return call_library([] { return ::dfs_idle_reclaim_needed(); }) != 0;
}

uint32_t FileAccess::path_to_file_number(const std::string &name) {
    require_open();
    uint32_t number = 0;
    const uint32_t status = call_library([&] { return ::pathToFileNumber(name.c_str(), &number); });
    if (status != 0) {
        fail(38,
             name + ": not a file of the selected file table (status " + std::to_string(status) +
                 ")",
             status, ErrorKind::kNotFound);
    }
    return number;
}

// ---- AFS by index -------------------------------------------------------------

uint32_t FileAccess::afs_file_count() {
    require_afs();
    return call_library([] { return dfs_context != nullptr ? dfs_context->fileCount : 0u; });
}

uint32_t FileAccess::afs_getfilesize(int32_t index) {
    require_afs();
    uint32_t size = 0;
    const uint32_t status =
        call_library([&] { return ::afs_getfilesize(dfs_context, index, &size); });
    if (status != 0) {
        fail_dfs(kCodeGetSize, afs_label(index), status);
    }
    return size;
}

py::bytes FileAccess::afs_readfile(int32_t index, int32_t offset, std::optional<int32_t> length) {
    const uint32_t size = afs_getfilesize(index);
    if (offset < 0 || (length && *length < 0)) {
        throw py::value_error("afs_readfile: offset and length must not be negative");
    }
    const uint32_t from = static_cast<uint32_t>(offset);
    const int32_t wanted = length ? *length : static_cast<int32_t>(from < size ? size - from : 0);
    std::string out(static_cast<size_t>(wanted), '\0');
    int32_t got = wanted;
    const uint32_t status =
        call_library([&] { return ::afs_readfile(dfs_context, index, offset, &got, out.data()); });
    if (status != 0) {
        fail_dfs(kCodeRead, afs_label(index), status);
    }
    out.resize(static_cast<size_t>(std::max(0, std::min(got, wanted))));
    return py::bytes(out);
}

void FileAccess::afs_writefile(int32_t index, const py::buffer &data, uint32_t offset,
                               uint32_t flags) {
    require_afs();
    HeldBuffer source(data, false, "afs_writefile");
    const uint32_t length = checked_length(source.size(), "afs_writefile");
    const uint32_t status = call_library([&] {
        return ::afs_writefile(dfs_context, index, offset, length, write_source(source), flags);
    });
    if (status != 0) {
        fail_dfs(kCodeWrite, afs_label(index), status);
    }
}

void FileAccess::afs_deletefile(int32_t index) {
    require_afs();
    const uint32_t status = call_library([&] { return ::afs_deletefile(dfs_context, index); });
    if (status != 0) {
        fail_dfs(kCodeWrite, afs_label(index), status);
    }
}

// ---- EFS by index -------------------------------------------------------------

uint32_t FileAccess::EFS_file_count() {
    require_efs();
    return call_library([] { return g_efs_files_num; });
}

uint32_t FileAccess::EFS_get_file_size(uint32_t index) {
    require_efs();
    uint32_t size = 0;
    const uint32_t status = call_library([&] { return ::EFS_get_file_size(index, &size); });
    if (status != 0) {
        fail_efs(kCodeGetSize, efs_label(index), status);
    }
    return size;
}

py::bytes FileAccess::EFS_read(uint32_t index, uint32_t offset, std::optional<uint32_t> count) {
    const uint32_t size = EFS_get_file_size(index);
    const uint32_t wanted = count ? *count : (offset < size ? size - offset : 0);
    std::string out(wanted, '\0');
    uint32_t got = wanted;
    const uint32_t status =
        call_library([&] { return ::EFS_read(index, offset, &got, out.data()); });
    if (status != 0) {
        fail_efs(kCodeRead, efs_label(index), status);
    }
    out.resize(std::min(got, wanted));
    return py::bytes(out);
}

uint32_t FileAccess::EFS_read_into(uint32_t index, const py::buffer &out, uint32_t offset) {
    require_efs();
    HeldBuffer target(out, true, "EFS_read_into");
    uint32_t got = checked_length(target.size(), "EFS_read_into");
    const uint32_t status =
        call_library([&] { return ::EFS_read(index, offset, &got, target.data()); });
    if (status != 0) {
        fail_efs(kCodeRead, efs_label(index), status);
    }
    return got;
}

void FileAccess::EFS_write(uint32_t index, const py::buffer &data, uint32_t offset) {
    require_efs();
    HeldBuffer source(data, false, "EFS_write");
    const uint32_t length = checked_length(source.size(), "EFS_write");
    const uint32_t status =
        call_library([&] { return ::EFS_write(index, offset, length, write_source(source)); });
    if (status != 0) {
        fail_efs(kCodeWrite, efs_label(index), status);
    }
}

void FileAccess::EFS_delete(uint32_t index) {
    require_efs();
    const uint32_t status = call_library([&] { return ::EFS_delete(index); });
    if (status != 0) {
        fail_efs(kCodeWrite, efs_label(index), status);
    }
}

uint32_t FileAccess::EFS_idle_reclaim() {
    require_efs();
    return call_library([] { return ::EFS_idle_reclaim(); });
}

// ---- Region -------------------------------------------------------------------

namespace {

// The file systems of an image held in memory by the caller, mounted in
// place: AFS through dfs_init, EFS through EFS_init_tools, with the file
// table selecting the SKU (DFS routing, EFS layout).
class Region : public FileAccess {
  public:
    Region(const py::buffer &file_table, uint32_t sku, std::optional<py::buffer> afs,
           std::optional<py::buffer> efs)
        : claim_(std::make_unique<Claim>("a Region")) {
        table_.folder = "<memory>";
        table_.sku = sku;
        HeldBuffer table(file_table, false, "file_table");
        table_.at(quorstore::kPieceFileTable).assign(table.data(), table.data() + table.size());
        if (afs) {
            afs_ = HeldBuffer(*afs, true, "afs");
        }
        if (efs) {
            efs_ = HeldBuffer(*efs, true, "efs");
        }
        call_library([this] { mount(); });
        open_ = true;
    }

    ~Region() override {
        try {
            close();
        } catch (...) {
            // Closing only unmounts; nothing a destructor could report.
        }
    }

    void close() {
        if (!open_) {
            return;
        }
        open_ = false;
        if (afs_mounted_) {
            call_library([] { ::dfs_terminate(); });
        }
        afs_mounted_ = efs_mounted_ = false;
        afs_ = HeldBuffer();
        efs_ = HeldBuffer();
        claim_.reset();
    }

  protected:
    std::string label() const override { return "Region"; }

  private:
    // Loads the file table (check_bundle_pieces also checks it selects the
    // SKU) and mounts both regions; undoes the AFS mount when EFS fails.
    void mount() {
        quorstore::check_bundle_pieces(table_);
        if (!efs_.empty()) {
            const uint32_t needed = ::EFS_get_efs_size();
            if (g_efs_autogen_data_loaded == 0 || efs_.size() != needed) {
                fail(kCodeEfsMount,
                     "efs: " + std::to_string(efs_.size()) +
                         " bytes, the EFS layout of the SKU needs " + std::to_string(needed),
                     std::nullopt, ErrorKind::kDamaged);
            }
        }
        if (!afs_.empty()) {
            const uint32_t status = ::dfs_init(afs_.data(), static_cast<uint32_t>(afs_.size()));
            if (status != 0) {
                fail_dfs(kCodeAfsMount, "AFS does not mount", status);
            }
            afs_mounted_ = true;
        }
        if (!efs_.empty()) {
            const uint32_t status = ::EFS_init_tools(efs_.data());
            if (status != 0) {
                if (afs_mounted_) {
                    ::dfs_terminate();
                    afs_mounted_ = false;
                }
                fail_efs(kCodeEfsMount, "EFS does not mount", status);
            }
            efs_mounted_ = true;
        }
    }

    std::unique_ptr<Claim> claim_;
    quorstore::Bundle table_;  // the library keeps pointers into the file table
    HeldBuffer afs_;
    HeldBuffer efs_;
};

}  // namespace

void bind_files(py::module_ &m) {
    using py::arg;
    py::class_<FileAccess>(m, "_FileAccess", R"(Reads and writes of the mounted file systems.

Named after the library's entry points: ``dfs_*`` address AFS and EFS files
by DFS file number (AFS file i is i, EFS file i is ``i | 0x1000``), ``afs_*``
and ``EFS_*`` by index within their file system. Failures raise StorageError
subclasses whose ``status`` is the library's status.)")
        .def_property_readonly("afs_mounted", &FileAccess::afs_mounted)
        .def_property_readonly("efs_mounted", &FileAccess::efs_mounted)
        .def_property_readonly("closed", [](const FileAccess &f) { return !f.is_open(); })
        .def("dfs_getsize", &FileAccess::dfs_getsize, arg("file_number"),
             "Size in bytes of a file.")
        .def("dfs_read", &FileAccess::dfs_read, arg("file_number"), arg("offset") = 0,
             arg("length") = py::none(),
             "Reads `length` bytes at `offset` (default: to the end of the file).")
        .def("dfs_read_into", &FileAccess::dfs_read_into, arg("file_number"), arg("buffer"),
             arg("offset") = 0,
             "Reads into a writable buffer without a copy; returns the bytes read.")
        .def("dfs_write", &FileAccess::dfs_write, arg("file_number"), arg("data"),
             arg("offset") = 0, arg("flags") = kDfsTruncate,
             "Writes `data` at `offset`; flags bit 0 (the default) ends the file after it.")
        .def("dfs_delete_file", &FileAccess::dfs_delete_file, arg("file_number"))
        .def("dfs_idle_reclaim", &FileAccess::dfs_idle_reclaim,
             "One step of AFS background reclaim; returns the library's status.")
        .def("dfs_idle_reclaim_needed", &FileAccess::dfs_idle_reclaim_needed)
        .def("path_to_file_number", &FileAccess::path_to_file_number, arg("name"),
             "The DFS file number of a file-table name (0: kept in the tables only).")
        .def("afs_file_count", &FileAccess::afs_file_count)
        .def("afs_getfilesize", &FileAccess::afs_getfilesize, arg("index"))
        .def("afs_readfile", &FileAccess::afs_readfile, arg("index"), arg("offset") = 0,
             arg("length") = py::none())
        .def("afs_writefile", &FileAccess::afs_writefile, arg("index"), arg("data"),
             arg("offset") = 0, arg("flags") = kDfsTruncate)
        .def("afs_deletefile", &FileAccess::afs_deletefile, arg("index"))
        .def("EFS_file_count", &FileAccess::EFS_file_count)
        .def("EFS_get_file_size", &FileAccess::EFS_get_file_size, arg("index"))
        .def("EFS_read", &FileAccess::EFS_read, arg("index"), arg("offset") = 0,
             arg("count") = py::none())
        .def("EFS_read_into", &FileAccess::EFS_read_into, arg("index"), arg("buffer"),
             arg("offset") = 0)
        .def("EFS_write", &FileAccess::EFS_write, arg("index"), arg("data"), arg("offset") = 0,
             "Writes `data` at `offset`; an EFS write replaces the file from there on.")
        .def("EFS_delete", &FileAccess::EFS_delete, arg("index"))
        .def("EFS_idle_reclaim", &FileAccess::EFS_idle_reclaim,
             "One unit of EFS background work; returns the library's status.");

    py::class_<Region, FileAccess>(m, "Region", R"(The file systems of an image kept in memory.

    Region(file_table, sku, afs=None, efs=None)

`file_table` is the file table buffer (ftbl.bin) holding `sku`; `afs` and
`efs` are writable buffers (bytearray, or a memoryview of one) that the
library mounts and changes in place. While the region is open the buffers
stay exported (a bytearray cannot be resized) and no other storage can be
opened in the process. Use it as a context manager, or call close().)")
        .def(py::init<const py::buffer &, uint32_t, std::optional<py::buffer>,
                      std::optional<py::buffer>>(),
             arg("file_table"), arg("sku"), arg("afs") = py::none(), arg("efs") = py::none())
        .def("close", &Region::close, "Unmounts and releases the buffers; closing twice is fine.")
        .def("__enter__", [](Region &r) -> Region & { return r; })
        .def("__exit__", [](Region &r, py::args) { r.close(); });
}

}  // namespace pyqs
