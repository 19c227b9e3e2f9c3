// Configuration file store (FCS): the file table and FCS handles.
//
// Owns the selection of one SKU's file table (g_table_buf, g_table_num_files,
// g_dfs_sku; the table itself stays in the caller's buffer) and the FCS
// handles, each an in-memory store of configuration files: a tree of
// image_editor nodes under an unnamed root Directory, with a FileIterator.
// The C records (file_table_entry_t, _cfg_file_entry_t, cfg_file_info_t,
// FcsHandle) are those of the published C interface.
//
// File table buffer (little-endian, packed, at least 1024 bytes):
//   0        4   magic "FTBL" (0x4C425446)
//   4        8   not read, preserved
//   12       4   count of SKU records, 0..10
//   16    16*count SKU records: +0 sku_id, +4 table_offset, +8 entry_count, +12 not read
//   16*(count+1)   EFS layout block (read by load_autogen_data)
//   table_offset   entry_count file_table_entry_t of 68 bytes:
//                    +0 name[48] NUL-padded, +48 fileno, +52 attributes (u16),
//                    +54 4 bytes not read, +58 file_index (u16), +60 3 bytes not
//                    read, +63 storage (u8), +64 max_size
//
// FCS buffer (little-endian, packed):
//   0        4   N, number of entries
//   4      12*N  _cfg_file_entry_t: +0 fileno, +4 data_offset (from buffer start),
//                +8 data_size (u16), +10 flags (u16)
//   4+12*N       data area: the payloads, concatenated in entry order by flush
//
// The table buffer and every FCS buffer are untrusted: nothing is read outside
// them whatever their fields say.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/export.h"
#include "fcs/NameIndex.h"
#include "image_editor/FileIterator.h"
#include "image_editor/IFile.h"
#include "include/quorstorage/quorstorage.h"

// An in-memory configuration file store.
struct FcsHandle {
    std::shared_ptr<image_editor::IFile> root;             // unnamed Directory
    std::shared_ptr<image_editor::FileIterator> iterator;  // over `root`
};

namespace quor::fcs {

// ---- file table buffer ----
inline constexpr uint32_t kTableMagic = QUOR_FILE_TABLE_MAGIC;  // "FTBL"
inline constexpr uint32_t kTableMinSize = 1024;
inline constexpr uint32_t kTableSkuCountOffset = 12;
inline constexpr uint32_t kTableMaxSkus = 10;
inline constexpr uint32_t kSkuRecordsOffset = 16;
inline constexpr uint32_t kSkuRecordSize = 16;
inline constexpr uint32_t kSkuId = 0;
inline constexpr uint32_t kSkuTableOffset = 4;
inline constexpr uint32_t kSkuEntryCount = 8;

// ---- file_table_entry_t ----
inline constexpr uint32_t kEntrySize = 68;
inline constexpr uint32_t kEntryNameSize = 48;
inline constexpr uint32_t kEntryFileno = 48;
inline constexpr uint32_t kEntryAttributes = 52;
inline constexpr uint32_t kEntryFileIndex = 58;
inline constexpr uint32_t kEntryStorage = 63;
inline constexpr uint32_t kEntryMaxSize = 64;

// ---- FCS buffer ----
inline constexpr uint32_t kFcsCountSize = 4;
inline constexpr uint32_t kFcsEntrySize = 12;

// ---- cfg_file_info_t ----
inline constexpr uint32_t kInfoAttributes = 12;
inline constexpr uint32_t kInfoMaxSize = 14;

// FCS status codes (QUOR_FCS_* of the published C header).
inline constexpr uint32_t kOk = QUOR_FCS_OK;
inline constexpr uint32_t kNullArgument = QUOR_FCS_NULL_ARGUMENT;
inline constexpr uint32_t kNameNotInTable = QUOR_FCS_NAME_NOT_IN_TABLE;
inline constexpr uint32_t kNoMoreFiles = QUOR_FCS_NO_MORE_FILES;
inline constexpr uint32_t kNotFound = QUOR_FCS_NOT_FOUND;
inline constexpr uint32_t kSize = QUOR_FCS_SIZE;
inline constexpr uint32_t kNullHandle = QUOR_FCS_NULL_HANDLE;
inline constexpr uint32_t kNotInTable = QUOR_FCS_NOT_IN_TABLE;
inline constexpr uint32_t kOutOfMemory = QUOR_FCS_OUT_OF_MEMORY;
inline constexpr uint32_t kBufferRefused = QUOR_FCS_BUFFER_REFUSED;
inline constexpr uint32_t kExists = QUOR_FCS_EXISTS;
inline constexpr uint32_t kTooLarge = QUOR_FCS_TOO_LARGE;

// Fields of a file table entry, which may sit at any address in the caller's
// buffer: read them only through these.
inline const uint8_t *entry_bytes(const file_table_entry_t *e) {
    return reinterpret_cast<const uint8_t *>(e);
}
inline const char *entry_name(const file_table_entry_t *e) {
    return reinterpret_cast<const char *>(e);  // 48 bytes, maybe unterminated
}
inline uint32_t entry_fileno(const file_table_entry_t *e) {
    return load_le32(entry_bytes(e) + kEntryFileno);
}
inline uint16_t entry_attributes(const file_table_entry_t *e) {
    return load_le16(entry_bytes(e) + kEntryAttributes);
}
inline uint16_t entry_file_index(const file_table_entry_t *e) {
    return load_le16(entry_bytes(e) + kEntryFileIndex);
}
inline uint8_t entry_storage(const file_table_entry_t *e) {
    return entry_bytes(e)[kEntryStorage];
}
inline uint32_t entry_max_size(const file_table_entry_t *e) {
    return load_le32(entry_bytes(e) + kEntryMaxSize);
}

}  // namespace quor::fcs

// ---- file table ----

// Number of entries of the selected file table; below 1 means none selected.
QUOR_C_DATA int32_t g_table_num_files;
// First entry of the selected table, inside the caller's buffer; null at load.
QUOR_C_DATA file_table_entry_t *g_table_buf;
// SKU whose table is selected; 0xFFFFFFFF at load. Published with the DFS
// front end's data, defined here because this loader is its only writer.
QUOR_C_DATA uint32_t g_dfs_sku;

// Selects the file table of `skuId` in `buffer` (`size` bytes), then loads the
// EFS layout of that SKU with load_autogen_data. 0 success (also when the SKU
// has no table: the selection is kept); 1 bad magic, size below 1024, more
// than 10 SKU records, a selected table starting or ending beyond the buffer
// (globals unchanged), or a failed layout load (the new selection is kept).
QUOR_C_API uint32_t load_file_table(const void *buffer, uint32_t skuId, uint32_t size);

// First entry whose name equals `name` over at most 48 bytes; null when none
// or no table (or `name` null).
QUOR_C_API const file_table_entry_t *get_file_entry_by_file_name(const char *name);
// 0 and `*fileno` set when `name` is in the table; -1 otherwise or on a null argument.
QUOR_API int get_fileno_by_file_name(const char *name, fileno_t *fileno);
// First entry carrying `*fileno`; null when none, no table or `fileno` null.
QUOR_API const file_table_entry_t *get_file_entry_by_fileno(const fileno_t *fileno);
// Copies the 48 name bytes of the entry of `*fileno` (no terminator added): 0;
// -1 when not found, no table or a null argument.
QUOR_API int get_file_name_by_fileno(const fileno_t *fileno, char *name);
// Stores the attributes and max_size of `name`'s entry: 0; -1 when not found,
// no table, or a null argument.
QUOR_API int get_file_attributes_by_file_name(const char *name, file_attributes_t *attributes,
                                              unsigned int *maxSize);
// True when `entry` is not null; nothing else is checked.
QUOR_API bool validateAttributs(_cfg_file_entry_t *entry);

// ---- FCS handles ----

// Stores a new empty store in `*handle`: 0; 1 `handle` null; 9 out of memory
// (`*handle` then holds the partly built store, which closeHandle releases).
QUOR_C_API uint32_t createHandle(FcsHandle **handle);
// A new store filled from the FCS buffer: 0; 1 null argument; 9 out of
// memory; 10 buffer refused (`*handle` then null).
QUOR_C_API uint32_t createHandleFromStructure(FcsHandle **handle, const void *buffer,
                                              uint32_t size);
// Releases the store and clears `*handle`: 0; 1 `handle` null; 6 `*handle` null.
QUOR_C_API uint32_t closeHandle(FcsHandle **handle);
// Restarts the listing; copies the first name with its NUL into `name`, which
// must hold the longest name or path in the tree plus 1 (49 bytes for stores
// built by these functions): 0; 1 `name` null; 3 empty store; 6 null handle.
QUOR_C_API uint32_t getFirstFileInRoot(FcsHandle *handle, char *name);
// Copies the next path of the listing: 0; 1 `name` null; 3 end; 6 null handle.
QUOR_C_API uint32_t getNextFile(FcsHandle *handle, char *name);
// Copies the file's blob (header then payload) into `buffer`; `*size` is the
// capacity in, the blob length out: 0; 1 null argument; 4 no such file; 5
// capacity too small (nothing copied); 6 null handle.
QUOR_C_API uint32_t getFileData(FcsHandle *handle, const char *name, void *buffer, uint32_t *size);
// Fills `info` with the file's header and its table entry's attributes and
// max_size: 0; 1 null argument; 4 no such file; 6 null handle; 8 blob shorter
// than the header or name not in the table (the header is copied already).
QUOR_C_API uint32_t getFileAttributes(FcsHandle *handle, const char *name, cfg_file_info_t *info);
// Adds a file from its blob (header then payload); a fileno of 0 is looked up
// by name and written back into `blob`: 0; 1 null argument; 2 fileno 0 and
// name not in the table; 4 refused by the root; 5 blob shorter than 12 bytes;
// 6 null handle; 8 fileno not in the table; 9 out of memory; 11 name exists;
// 12 payload above max_size (only with `checkMaxSize`).
QUOR_C_API uint32_t addNewFile(FcsHandle *handle, const char *dirPath, const char *name, void *blob,
                               uint16_t blobSize, bool checkMaxSize);
// Deletes a file by name or "dir/name" path: 0; 1 `name` null; 4 not found; 6 null handle.
QUOR_C_API uint32_t deleteFile(FcsHandle *handle, const char *name);
// Writes the store as an FCS buffer; `*size` is the capacity in, the needed
// or written length out: 0; 1 `size` null, or `buffer` null with enough
// capacity; 5 capacity too small (needed length stored); 6 null handle.
QUOR_C_API uint32_t flush(FcsHandle *handle, void *buffer, uint32_t *size);
// Adds every file of an FCS buffer whose fileno is in the file table (others
// are skipped). True when the whole buffer was taken in; false for a buffer
// too short for its count and entries, a payload outside the buffer, or a file
// the store refuses (files added before that one stay).
QUOR_API bool loadDataFromFcsBuffer(void *handle, const void *buffer, uint32_t size);

// ---- variants for callers that index the selected table (not exported) ----
//
// The exported lookups walk the file table on every call, so a caller that
// resolves every file of a store in one operation (a table load, a commit)
// would walk it once per file. Such a caller builds one FileTableIndex for
// that operation and uses the variants below, which share their code with
// the exported functions and differ only in how the table is searched.
namespace quor::fcs {

// Index of the selected file table as it stands at construction, answering
// exactly what the walks answer: names compared over at most 48 bytes, the
// first record winning among equal names or numbers. Built on first use.
// Valid only while that table stays selected and unchanged: make one per
// operation and never keep it across calls.
class FileTableIndex {
  public:
    FileTableIndex();
    FileTableIndex(const FileTableIndex &) = delete;
    FileTableIndex &operator=(const FileTableIndex &) = delete;

    // First entry named `name`; null when none or no table.
    const file_table_entry_t *by_name(const char *name) const;
    // First entry carrying `fileno`; null when none or no table.
    const file_table_entry_t *by_fileno(uint32_t fileno) const;

  private:
    const file_table_entry_t *entry(int32_t index) const;

    struct RecordName {  // a record's name over at most 48 bytes
        std::string_view operator()(const file_table_entry_t *entry) const;
    };

    const file_table_entry_t *first_ = nullptr;
    int32_t count_ = 0;
    mutable NameIndex<const file_table_entry_t, RecordName> names_;
    mutable std::vector<std::pair<uint32_t, const file_table_entry_t *>> numbers_;
};

// The FCS buffer of a store, serialized once: flush writes it, and a caller
// that needs its length before it has a buffer (to allocate one) takes both
// from one walk of the store instead of flushing twice. The walk stores each
// file's data offset into its blob, as flush does. Throws std::bad_alloc.
class StoreImage {
  public:
    // `handle` must be usable (root and iterator made).
    explicit StoreImage(FcsHandle &handle);
    // Length of the buffer; above UINT32_MAX for a store flush refuses.
    uint64_t size() const;
    // Writes the buffer into `out`, which holds size() bytes.
    void write(uint8_t *out) const;

  private:
    uint64_t data_start() const;

    std::vector<_cfg_file_entry_t> entries_;
    std::vector<uint8_t> dataArea_;
};

// getFileAttributes with the name looked up in `table`: same statuses and
// results as getFileAttributes while `table` indexes the selected table.
uint32_t getFileAttributesWithIndex(FcsHandle *handle, const char *name,
                                    const FileTableIndex &table, cfg_file_info_t *info);
// addNewFile with the name and number looked up in `table`: same statuses,
// results and blob update as addNewFile while `table` indexes the selected table.
uint32_t addNewFileWithIndex(FcsHandle *handle, const char *dirPath, const char *name,
                             const FileTableIndex &table, void *blob, uint16_t blobSize,
                             bool checkMaxSize);

}  // namespace quor::fcs
