// Open storages: Storage, over pieces the caller keeps in memory, and the
// session behind quorstorage.Bundle, over a bundle folder. Both open the
// library through kaMfsQuorInit, give NVAR access by name and commit.
#pragma once

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bundle.h"
#include "py_files.h"
#include "quorstorage/quorstorage.h"

namespace pyqs {

// NVAR access and commit of an open storage.
class StorageBase : public FileAccess {
  public:
    ~StorageBase() override;

    // The value of an NVAR in `table` (vendor, tool or current table id).
    py::bytes nvar_get(const std::string &name, uint32_t table);
    // (value, max_size, modifiable) of an NVAR.
    std::tuple<py::bytes, uint32_t, bool> nvar_info(const std::string &name, uint32_t table);
    bool nvar_exists(const std::string &name, uint32_t table);
    // Names of the NVARs of `table`, in file-table order.
    std::vector<std::string> nvar_names(uint32_t table);
    // Resizes the current value and writes `value` into it; refuses read-only
    // NVARs (346) and values longer than the NVAR's maximum size (217).
    void nvar_set(const std::string &name, const py::buffer &value);
    // Closes the storage without saving anything; closing twice is fine.
    void close();

  protected:
    // Opens the storage on `record` (the pieces must outlive the storage).
    void open_on(const _commonQuorTable &record);
    // Commits every NVAR change into the file systems and returns the new
    // tool configuration partition built on `old_partition`'s header.
    quorstore::Bytes commit_tables(const quorstore::Bytes *old_partition);

    // Lets go of pieces held for the library once it no longer uses them.
    virtual void release_pieces() {}

    std::unique_ptr<Claim> claim_;
};

void bind_storage(py::module_ &m);

}  // namespace pyqs
