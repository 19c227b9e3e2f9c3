// quorstore afs|efs ls|cat|put|rm: raw numbered files through the library's
// file operations (DFS for AFS; the EFS entry points for EFS, whose statuses
// DFS would fold together).
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "description.h"
#include "quorstorage/quorstorage.h"

namespace quorstore {

namespace {

using nlohmann::json;

// Which names of the file table live in `fs`, by index.
std::map<uint32_t, std::string> names_by_index(FileSystem fs) {
    std::map<uint32_t, std::string> names;
    for (const FileTableEntry &e : file_table_entries()) {
        // The deploy marker lives at AFS file number 0, which name lookups
        // answer as "no file": place it by its entry instead.
        if (e.name == QUOR_DEPLOY_MARKER_PATH && fs == FileSystem::kAfs) {
            names.emplace(e.file_index & QUOR_DFS_INDEX_MASK, e.name);
            continue;
        }
        if (e.dfs_number == 0) {
            continue;
        }
        const uint32_t selector =
            (e.dfs_number & QUOR_DFS_SELECTOR_MASK) >> QUOR_DFS_SELECTOR_SHIFT;
        const bool in_fs =
            selector == (fs == FileSystem::kEfs ? QUOR_DFS_SELECTOR_EFS : QUOR_DFS_SELECTOR_AFS);
        if (in_fs) {
            names.emplace(e.dfs_number & QUOR_DFS_INDEX_MASK, e.name);
        }
    }
    return names;
}

// Mounts the file system the command works on; throws when the bundle has no
// such region or it does not mount.
void mount_for(FileSystem fs, Bundle &bundle) {
    const MountStatus mounted = mount_file_systems(bundle);
    const std::optional<uint32_t> &status = fs == FileSystem::kEfs ? mounted.efs : mounted.afs;
    const std::string piece = fs == FileSystem::kEfs ? kPieceEfs : kPieceAfs;
    if (!status) {
        throw ToolError(kCodeReadingInput, bundle.folder.string() + ": the bundle has no " + piece);
    }
    if (*status != 0) {
        throw ToolError(
            kCodeReadingInput,
            (bundle.folder / piece).string() + ": " + file_system_name(fs) + " does not mount: " +
                (fs == FileSystem::kEfs ? efs_status_text(*status) : dfs_status_text(*status)));
    }
}

uint32_t file_count(FileSystem fs) {
    if (fs == FileSystem::kEfs) {
        return g_efs_files_num;
    }
    return dfs_context != nullptr ? dfs_context->fileCount : 0;
}

// A file given as an index or as a file-table name.
uint32_t resolve_file(FileSystem fs, const std::string &file) {
    uint32_t index = 0;
    if (auto n = parse_u32(file)) {
        index = *n;
    } else {
        bool found = false;
        for (const auto &[i, name] : names_by_index(fs)) {
            if (name == file) {
                index = i;
                found = true;
            }
        }
        if (!found) {
            // The other file system's name: say which command reaches it.
            const FileSystem other = fs == FileSystem::kEfs ? FileSystem::kAfs : FileSystem::kEfs;
            std::string hint;
            for (const auto &[i, name] : names_by_index(other)) {
                if (name == file) {
                    hint = " (it is " + std::string(file_system_name(other)) + " file " +
                           std::to_string(i) + ": use `quorstore " +
                           (other == FileSystem::kEfs ? "efs" : "afs") + "`)";
                }
            }
            throw ToolError(kCodeFileNotFound, file + ": not a file of " + file_system_name(fs) +
                                                   " in the file table" + hint);
        }
    }
    if (index >= file_count(fs)) {
        const std::string range = file_count(fs) == 0
                                      ? " has no file slots"
                                      : " has files 0 to " + std::to_string(file_count(fs) - 1);
        throw ToolError(kCodeBadOptions, file + ": " + file_system_name(fs) + range, kExitUsage);
    }
    return index;
}

uint32_t read_file(FileSystem fs, uint32_t index, Bytes &out) {
    return fs == FileSystem::kEfs ? read_efs_file(index, out)
                                  : read_dfs_file(dfs_number(fs, index), out);
}

std::string status_text(FileSystem fs, uint32_t status) {
    return fs == FileSystem::kEfs ? efs_status_text(status) : dfs_status_text(status);
}

std::string file_label(FileSystem fs, uint32_t index) {
    return std::string(file_system_name(fs)) + " file " + std::to_string(index);
}

// A file of the file table holds at most its entry's maximum size: EFS
// refuses more itself, and for AFS the next commit would fail on it.
void check_entry_size(FileSystem fs, uint32_t index, size_t size) {
    for (const FileTableEntry &e : file_table_entries()) {
        const bool efs_entry = ((e.dfs_number & QUOR_DFS_SELECTOR_MASK) >>
                                QUOR_DFS_SELECTOR_SHIFT) == QUOR_DFS_SELECTOR_EFS;
        const bool marker = fs == FileSystem::kAfs && e.name == QUOR_DEPLOY_MARKER_PATH;
        const bool same_fs = fs == FileSystem::kEfs ? efs_entry : (!efs_entry && e.dfs_number != 0);
        if (((same_fs && (e.dfs_number & QUOR_DFS_INDEX_MASK) == index) ||
             (marker && (e.file_index & QUOR_DFS_INDEX_MASK) == index)) &&
            size > e.max_size) {
            throw ToolError(kCodeInvalidNvarSize, file_label(fs, index) + " (" + e.name +
                                                      "): " + plural(size, "byte", "bytes") +
                                                      " is longer than its maximum size " +
                                                      std::to_string(e.max_size) +
                                                      "; the bundle is unchanged");
        }
    }
}

void save_region(Bundle &bundle, FileSystem fs) {
    save_bundle(bundle, {fs == FileSystem::kEfs ? kPieceEfs : kPieceAfs});
}

}  // namespace

int run_files_ls(FileSystem fs, const std::string &folder, bool as_json) {
    Bundle bundle = load_bundle(folder);
    mount_for(fs, bundle);
    const auto names = names_by_index(fs);
    json rows = json::array();
    if (!as_json) {
        std::printf("%6s %8s  %s\n", "INDEX", "SIZE", "NAME");
    }
    size_t count = 0;
    for (uint32_t i = 0; i < file_count(fs); ++i) {
        uint32_t size = 0;
        const uint32_t status = fs == FileSystem::kEfs ? EFS_get_file_size(i, &size)
                                                       : dfs_getsize(dfs_number(fs, i), &size);
        if (status == 2 || (fs == FileSystem::kEfs && status == 22)) {
            continue;  // no file (or not in the EFS layout)
        }
        auto name = names.find(i);
        const std::string label = name != names.end() ? name->second : "";
        ++count;
        if (as_json) {
            json row = {{"index", i}, {"name", label}};
            if (status == 0) {
                row["size"] = size;
            } else {
                row["error"] = status_text(fs, status);
            }
            rows.push_back(row);
        } else if (status == 0) {
            std::printf("%6u %8u  %s\n", i, size, label.c_str());
        } else {
            std::printf("%6u %8s  %s  (%s)\n", i, "?", label.c_str(),
                        status_text(fs, status).c_str());
        }
    }
    if (as_json) {
        std::cout << json{{"file_system", file_system_name(fs)}, {"files", rows}}.dump(2) << "\n";
    } else {
        std::printf("%zu files\n", count);
    }
    return kExitOk;
}

int run_files_cat(FileSystem fs, const std::string &folder, const std::string &file,
                  ValueFormat format) {
    Bundle bundle = load_bundle(folder);
    mount_for(fs, bundle);
    const uint32_t index = resolve_file(fs, file);
    Bytes bytes;
    const uint32_t status = read_file(fs, index, bytes);
    if (status != 0) {
        throw ToolError(status == 2 ? kCodeFileNotFound : kCodeReadNvar,
                        file_label(fs, index) + ": " + status_text(fs, status));
    }
    print_value(bytes, format, file_label(fs, index));
    return kExitOk;
}

int run_files_put(FileSystem fs, const std::string &folder, const std::string &file,
                  const ValueSource &source) {
    const Bytes value = read_value(source);
    Bundle bundle = load_bundle_for_change(folder);
    mount_for(fs, bundle);
    const uint32_t index = resolve_file(fs, file);
    check_entry_size(fs, index, value.size());
    // Writes replace the whole file: AFS with the truncating write (flag 1),
    // EFS by its nature.
    const uint8_t empty = 0;
    const uint8_t *data = value.empty() ? &empty : value.data();
    const uint32_t length = static_cast<uint32_t>(value.size());
    const uint32_t status = fs == FileSystem::kEfs ? EFS_write(index, 0, length, data)
                                                   : dfs_write(dfs_number(fs, index), 0, length,
                                                               data, QUOR_WRITE_TRUNCATE);
    if (status != 0) {
        throw ToolError(kCodeWritingFile, file_label(fs, index) + ": " + status_text(fs, status) +
                                              "; the bundle is unchanged");
    }
    save_region(bundle, fs);
    std::cout << "wrote " << plural(value.size(), "byte", "bytes") << " to "
              << file_label(fs, index) << "\n";
    return kExitOk;
}

int run_files_rm(FileSystem fs, const std::string &folder, const std::string &file, bool force) {
    Bundle bundle = load_bundle_for_change(folder);
    mount_for(fs, bundle);
    const uint32_t index = resolve_file(fs, file);
    const auto names = names_by_index(fs);
    auto holder = names.find(index);
    if (holder != names.end() && !force) {
        // Opening the storage reads every NVAR from its file: without it no
        // command would open the bundle.
        throw ToolError(kCodeNvarAccess,
                        file_label(fs, index) + " holds " + holder->second +
                            " of the file table; without it the storage no longer opens. "
                            "Change the value with `quorstore nvar set`, or give --force "
                            "(then `quorstore fsck --repair` gives it its value back)");
    }
    const uint32_t status =
        fs == FileSystem::kEfs ? EFS_delete(index) : dfs_delete_file(dfs_number(fs, index));
    if (status != 0) {
        throw ToolError(
            status == 2 ? kCodeFileNotFound : kCodeWritingFile,
            file_label(fs, index) + ": " + status_text(fs, status) + "; the bundle is unchanged");
    }
    save_region(bundle, fs);
    std::cout << "removed " << file_label(fs, index) << "\n";
    return kExitOk;
}

}  // namespace quorstore
