// File-system access shared by every object that has the file systems
// mounted: DFS (AFS and EFS by file number), AFS by index and EFS by index,
// named after the library's entry points. Reads come back as bytes or land
// in a caller's writable buffer; writes take any contiguous buffer and hand
// its memory to the library without a copy.
#pragma once

#include <optional>
#include <string>

#include "pyqs.h"

namespace pyqs {

class FileAccess {
  public:
    virtual ~FileAccess() = default;

    // Statuses the library answers are raised as StorageError subclasses
    // carrying the status; a closed object raises StorageClosedError.
    uint32_t dfs_getsize(uint32_t number);
    py::bytes dfs_read(uint32_t number, uint32_t offset, std::optional<uint32_t> length);
    uint32_t dfs_read_into(uint32_t number, const py::buffer &out, uint32_t offset);
    void dfs_write(uint32_t number, const py::buffer &data, uint32_t offset, uint32_t flags);
    void dfs_delete_file(uint32_t number);
    uint32_t dfs_idle_reclaim();
    bool dfs_idle_reclaim_needed();
    uint32_t path_to_file_number(const std::string &name);

    uint32_t afs_getfilesize(int32_t index);
    py::bytes afs_readfile(int32_t index, int32_t offset, std::optional<int32_t> length);
    void afs_writefile(int32_t index, const py::buffer &data, uint32_t offset, uint32_t flags);
    void afs_deletefile(int32_t index);
    uint32_t afs_file_count();

    uint32_t EFS_get_file_size(uint32_t index);
    py::bytes EFS_read(uint32_t index, uint32_t offset, std::optional<uint32_t> count);
    uint32_t EFS_read_into(uint32_t index, const py::buffer &out, uint32_t offset);
    void EFS_write(uint32_t index, const py::buffer &data, uint32_t offset);
    void EFS_delete(uint32_t index);
    uint32_t EFS_idle_reclaim();
    uint32_t EFS_file_count();

    bool afs_mounted() const { return open_ && afs_mounted_; }
    bool efs_mounted() const { return open_ && efs_mounted_; }
    bool is_open() const { return open_; }

  protected:
    // What the object is, for messages ("Region", "Bundle 'demo-bundle'").
    virtual std::string label() const = 0;
    void require_afs();
    void require_efs();
    void require_open();
    void require_routed(uint32_t dfs_number);

    bool open_ = false;
    bool afs_mounted_ = false;
    bool efs_mounted_ = false;
};

// Registers FileAccess (as _FileAccess) and Region.
void bind_files(py::module_ &m);

}  // namespace pyqs
