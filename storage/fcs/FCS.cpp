#include "fcs/FCS.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "efs/efs_tools_utils.h"
#include "image_editor/Directory.h"
#include "image_editor/File.h"

using image_editor::Directory;
using image_editor::File;
using image_editor::IFile;
using quor::load_le16;
using quor::load_le32;
using quor::range_fits;
using quor::store_le16;
using quor::store_le32;
using namespace quor::fcs;

static_assert(sizeof(file_table_entry_t) == kEntrySize, "file_table_entry_t is 68 bytes");
static_assert(sizeof(_cfg_file_entry_t) == kFcsEntrySize, "_cfg_file_entry_t is 12 bytes");
static_assert(sizeof(cfg_file_info_t) == 18, "cfg_file_info_t is 18 bytes");
static_assert(offsetof(cfg_file_info_t, max_size) == kInfoMaxSize, "max_size at 14");

int32_t g_table_num_files = 0;
file_table_entry_t *g_table_buf = nullptr;
uint32_t g_dfs_sku = 0xFFFFFFFFu;

namespace {

// ---- the selected file table ---------------------------------------------

bool table_selected() {
    return g_table_num_files >= 1 && g_table_buf != nullptr;
}

const file_table_entry_t *table_entry(int32_t index) {
    const auto *base = reinterpret_cast<const uint8_t *>(g_table_buf);
    return reinterpret_cast<const file_table_entry_t *>(base +
                                                        static_cast<size_t>(index) * kEntrySize);
}

// A name as the table compares it: up to the first NUL, at most 48 bytes.
std::string_view bounded_name(const char *name) {
    size_t length = 0;
    while (length < kEntryNameSize && name[length] != '\0') {
        ++length;
    }
    return std::string_view(name, length);
}

// The lookups of the file table as linear walks in record order (first match wins).
struct TableWalk {
    const file_table_entry_t *by_name(const char *name) const {
        if (!table_selected()) {
            return nullptr;
        }
        for (int32_t i = 0; i < g_table_num_files; ++i) {
            const file_table_entry_t *e = table_entry(i);
            if (std::strncmp(entry_name(e), name, kEntryNameSize) == 0) {
                return e;
            }
        }
        return nullptr;
    }
    const file_table_entry_t *by_fileno(uint32_t fileno) const {
        if (!table_selected()) {
            return nullptr;
        }
        for (int32_t i = 0; i < g_table_num_files; ++i) {
            const file_table_entry_t *e = table_entry(i);
            if (entry_fileno(e) == fileno) {
                return e;
            }
        }
        return nullptr;
    }
};

// ---- load_file_table steps -----------------------------------------------

// The table record of `skuId` among the first `count` SKU records, or null.
const uint8_t *find_sku_record(const uint8_t *buffer, uint32_t count, uint32_t skuId) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *record = buffer + kSkuRecordsOffset + i * kSkuRecordSize;
        if (load_le32(record + kSkuId) == skuId) {
            return record;
        }
    }
    return nullptr;
}

// Makes the table of `record` the selected one; false (nothing changed) when
// the table does not lie inside the buffer.
bool select_table(const uint8_t *buffer, uint32_t size, const uint8_t *record, uint32_t skuId) {
    const uint32_t offset = load_le32(record + kSkuTableOffset);
    const uint32_t count = load_le32(record + kSkuEntryCount);
    if (offset > size) {
        return false;
    }
    // Entries running past the end of the buffer: the table is refused rather
    // than cut to its readable records, since a silently shortened table would
    // make the store drop the files it no longer lists.
    if (!range_fits(offset, static_cast<uint64_t>(count) * kEntrySize, size)) {
        return false;
    }
    g_table_num_files = static_cast<int32_t>(count);  // count <= size / 68 fits
    g_table_buf = reinterpret_cast<file_table_entry_t *>(const_cast<uint8_t *>(buffer + offset));
    g_dfs_sku = skuId;
    return true;
}

// File tables usually list their files in number (and often name) order: a
// check that costs one pass spares the sort then.
template <class Items>
void sort_unless_sorted(Items &items) {
    if (!std::is_sorted(items.begin(), items.end())) {
        std::sort(items.begin(), items.end());
    }
}

// ---- FCS handle helpers ----------------------------------------------------

// A handle whose construction completed (a failed createHandle may leave one
// without root or iterator; it is treated as no handle).
bool usable(const FcsHandle *handle) {
    return handle != nullptr && handle->root != nullptr && handle->iterator != nullptr;
}

// Steps 2 to 4 of adding a file: resolve and check the blob's file number.
template <class Lookup>
uint32_t check_file_number(const Lookup &table, const char *name, uint8_t *blob, uint16_t blobSize,
                           bool checkMaxSize) {
    if (load_le32(blob + image_editor::kHeaderFileno) == 0) {
        const file_table_entry_t *named = table.by_name(name);
        if (named == nullptr) {
            return kNameNotInTable;
        }
        store_le32(blob + image_editor::kHeaderFileno, entry_fileno(named));
    }
    const file_table_entry_t *entry =
        table.by_fileno(load_le32(blob + image_editor::kHeaderFileno));
    if (entry == nullptr) {
        return kNotInTable;
    }
    if (checkMaxSize &&
        static_cast<uint64_t>(entry_max_size(entry)) + image_editor::kHeaderSize < blobSize) {
        return kTooLarge;
    }
    return kOk;
}

// getFileAttributes once the handle and `info` are checked: `find_entry()`
// gives the file-table entry of `name` (a walk or a caller's index).
template <class FindEntry>
uint32_t file_attributes(FcsHandle *handle, const char *name, cfg_file_info_t *info,
                         const FindEntry &find_entry) {
    std::shared_ptr<IFile> node;
    if (!handle->root->getFile(name, &node)) {
        return kNotFound;
    }
    if (node->data.size() < image_editor::kHeaderSize) {
        return kNotInTable;
    }
    auto *out = reinterpret_cast<uint8_t *>(info);
    std::memcpy(out, node->data.data(), image_editor::kHeaderSize);
    const file_table_entry_t *entry = find_entry();
    if (entry == nullptr) {
        return kNotInTable;
    }
    store_le16(out + kInfoAttributes, entry_attributes(entry));
    store_le32(out + kInfoMaxSize, entry_max_size(entry));
    return kOk;
}

// addNewFile with the file table searched through `table` (a walk or a
// caller's index).
template <class Lookup>
uint32_t add_new_file(FcsHandle *handle, const char *dirPath, const char *name, const Lookup &table,
                      void *blob, uint16_t blobSize, bool checkMaxSize) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (blobSize < image_editor::kHeaderSize) {
        return kSize;
    }
    // Null name and directory path are refused like a null blob rather than
    // dereferenced.
    if (blob == nullptr || name == nullptr || dirPath == nullptr) {
        return kNullArgument;
    }
    auto *bytes = static_cast<uint8_t *>(blob);
    const uint32_t checked = check_file_number(table, name, bytes, blobSize, checkMaxSize);
    if (checked != kOk) {
        return checked;
    }
    try {
        std::string path =
            dirPath[0] == '\0' ? std::string(name) : std::string(dirPath) + "/" + name;
        std::shared_ptr<IFile> existing;
        if (handle->root->getFile(path, &existing)) {
            return kExists;
        }
        auto node = std::make_shared<File>(bytes, blobSize, name);
        if (!handle->root->addFile(dirPath, node)) {
            return kNotFound;
        }
        handle->iterator->firstFile();
    } catch (const std::bad_alloc &) {
        return kOutOfMemory;
    }
    return kOk;
}

uint32_t copy_name_out(const std::string &result, char *name) {
    if (result.empty()) {
        return kNoMoreFiles;
    }
    std::memcpy(name, result.c_str(), result.size() + 1);
    return kOk;
}

// Takes in the files of an FCS buffer. Files are checked one by one exactly as
// addNewFile checks them, but kept aside and merged into the root once, so
// that n files cost O(n log n) rather than one sorted insert and one name
// search per file.
class FcsBufferLoader {
  public:
    FcsBufferLoader(FcsHandle &handle, Directory &root) : handle_(handle), root_(root) {
        for (const auto &child : root_.children) {
            names_.insert(child.get());
        }
    }

    // Takes in entries 0..count-1; false at the first one that fails.
    bool take_all(const uint8_t *buffer, uint32_t size, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            if (!take_entry(buffer, size, buffer + kFcsCountSize + i * kFcsEntrySize)) {
                return false;
            }
        }
        return true;
    }

    // Adds the files taken so far to the root, then restarts the listing as
    // every successful addNewFile does.
    void commit() {
        if (staged_.empty()) {
            return;
        }
        root_.addFiles(std::move(staged_));
        staged_.clear();
        handle_.iterator->firstFile();
    }

  private:
    bool take_entry(const uint8_t *buffer, uint32_t size, const uint8_t *header) {
        const uint32_t fileno = load_le32(header + image_editor::kHeaderFileno);
        const uint32_t offset = load_le32(header + image_editor::kHeaderDataOffset);
        const uint16_t dataSize = load_le16(header + image_editor::kHeaderDataSize);
        if (dataSize != 0 && !range_fits(offset, dataSize, size)) {
            return false;
        }
        const file_table_entry_t *entry = table_.by_fileno(fileno);
        if (entry == nullptr) {
            return true;  // not in the table: skipped without report
        }
        const std::string tableName(bounded_name(entry_name(entry)));
        // 12 + data_size cut to 16 bits: a payload of 0xFFF4 bytes or more wraps
        // below the header size and is refused below, as addNewFile would.
        const auto blobLength = static_cast<uint16_t>(image_editor::kHeaderSize + dataSize);
        if (blobLength < image_editor::kHeaderSize) {
            return false;
        }
        std::vector<uint8_t> blob(header, header + image_editor::kHeaderSize);
        if (dataSize != 0) {
            blob.insert(blob.end(), buffer + offset, buffer + offset + dataSize);
        }
        if (check_file_number(table_, tableName.c_str(), blob.data(), blobLength, false) != kOk) {
            return false;
        }
        if (names_.find(tableName) != nullptr) {
            return false;  // a file of that name exists
        }
        try {
            auto node = std::make_shared<File>(blob.data(), blobLength, tableName.c_str());
            staged_.push_back(node);
            names_.insert(node.get());
        } catch (const std::bad_alloc &) {
            return false;
        }
        return true;
    }

    FcsHandle &handle_;
    Directory &root_;
    FileTableIndex table_;
    struct NodeName {
        std::string_view operator()(const IFile *node) const { return node->nameView(); }
    };

    NameIndex<const IFile, NodeName> names_;  // the root's children and the staged nodes
    std::vector<std::shared_ptr<IFile>> staged_;
};

}  // namespace

// ---- file table ------------------------------------------------------------

uint32_t load_file_table(const void *buffer, uint32_t skuId, uint32_t size) {
    // The size is checked before the magic is read: a buffer below 1024 bytes
    // is refused either way, and this never reads past a short buffer.
    if (buffer == nullptr || size < kTableMinSize) {
        return 1;
    }
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    if (load_le32(bytes) != kTableMagic) {
        return 1;
    }
    const uint32_t count = load_le32(bytes + kTableSkuCountOffset);
    if (count > kTableMaxSkus) {
        return 1;
    }
    const uint8_t *record = find_sku_record(bytes, count, skuId);
    if (record != nullptr && !select_table(bytes, size, record, skuId)) {
        return 1;
    }
    return load_autogen_data(buffer, skuId, size) != 0 ? 1 : 0;
}

const file_table_entry_t *get_file_entry_by_file_name(const char *name) {
    if (name == nullptr) {
        return nullptr;
    }
    return TableWalk().by_name(name);
}

int get_fileno_by_file_name(const char *name, fileno_t *fileno) {
    if (name == nullptr || fileno == nullptr) {
        return -1;
    }
    const file_table_entry_t *entry = TableWalk().by_name(name);
    if (entry == nullptr) {
        return -1;
    }
    *fileno = entry_fileno(entry);
    return 0;
}

const file_table_entry_t *get_file_entry_by_fileno(const fileno_t *fileno) {
    if (fileno == nullptr) {
        return nullptr;
    }
    return TableWalk().by_fileno(*fileno);
}

int get_file_name_by_fileno(const fileno_t *fileno, char *name) {
    if (fileno == nullptr || name == nullptr) {
        return -1;
    }
    const file_table_entry_t *entry = TableWalk().by_fileno(*fileno);
    if (entry == nullptr) {
        return -1;
    }
    std::memcpy(name, entry_name(entry), kEntryNameSize);
    return 0;
}

int get_file_attributes_by_file_name(const char *name, file_attributes_t *attributes,
                                     unsigned int *maxSize) {
    if (name == nullptr) {
        return -1;
    }
    const file_table_entry_t *entry = TableWalk().by_name(name);
    if (entry == nullptr || maxSize == nullptr || attributes == nullptr) {
        return -1;
    }
    *attributes = entry_attributes(entry);
    *maxSize = entry_max_size(entry);
    return 0;
}

bool validateAttributs(_cfg_file_entry_t *entry) {
    return entry != nullptr;
}

// ---- FCS handles -------------------------------------------------------------

uint32_t createHandle(FcsHandle **handle) {
    if (handle == nullptr) {
        return kNullArgument;
    }
    FcsHandle *created = new (std::nothrow) FcsHandle();
    *handle = created;
    if (created == nullptr) {
        return kOutOfMemory;
    }
    try {
        created->root = std::make_shared<Directory>();
        created->iterator = std::make_shared<image_editor::FileIterator>(created->root);
    } catch (const std::bad_alloc &) {
        return kOutOfMemory;
    }
    return kOk;
}

uint32_t createHandleFromStructure(FcsHandle **handle, const void *buffer, uint32_t size) {
    if (handle == nullptr || buffer == nullptr) {
        return kNullArgument;
    }
    const uint32_t created = createHandle(handle);
    if (created != kOk) {
        return created;
    }
    if (!loadDataFromFcsBuffer(*handle, buffer, size)) {
        closeHandle(handle);
        return kBufferRefused;
    }
    return kOk;
}

uint32_t closeHandle(FcsHandle **handle) {
    if (handle == nullptr) {
        return kNullArgument;
    }
    if (*handle == nullptr) {
        return kNullHandle;
    }
    FcsHandle *closing = *handle;
    closing->iterator.reset();
    closing->root.reset();
    delete closing;
    *handle = nullptr;
    return kOk;
}

uint32_t getFirstFileInRoot(FcsHandle *handle, char *name) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (name == nullptr) {
        return kNullArgument;
    }
    return copy_name_out(handle->iterator->firstFile(), name);
}

uint32_t getNextFile(FcsHandle *handle, char *name) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (name == nullptr) {
        return kNullArgument;
    }
    return copy_name_out(handle->iterator->nextFile(), name);
}

uint32_t getFileData(FcsHandle *handle, const char *name, void *buffer, uint32_t *size) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (name == nullptr || buffer == nullptr || size == nullptr) {
        return kNullArgument;
    }
    std::shared_ptr<IFile> node;
    if (!handle->root->getFile(name, &node)) {
        return kNotFound;
    }
    const uint32_t capacity = *size;
    const auto length = static_cast<uint32_t>(node->data.size());
    *size = length;
    if (capacity < length) {
        return kSize;
    }
    if (length != 0) {
        std::memcpy(buffer, node->data.data(), length);
    }
    return kOk;
}

uint32_t getFileAttributes(FcsHandle *handle, const char *name, cfg_file_info_t *info) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (name == nullptr || info == nullptr) {
        return kNullArgument;
    }
    return file_attributes(handle, name, info, [name] { return TableWalk().by_name(name); });
}

uint32_t addNewFile(FcsHandle *handle, const char *dirPath, const char *name, void *blob,
                    uint16_t blobSize, bool checkMaxSize) {
    return add_new_file(handle, dirPath, name, TableWalk(), blob, blobSize, checkMaxSize);
}

uint32_t deleteFile(FcsHandle *handle, const char *name) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (name == nullptr) {
        return kNullArgument;
    }
    if (!handle->root->deleteFile(name)) {
        return kNotFound;
    }
    handle->iterator->firstFile();
    return kOk;
}

uint32_t flush(FcsHandle *handle, void *buffer, uint32_t *size) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (size == nullptr) {
        return kNullArgument;
    }
    const StoreImage image(*handle);
    // A store whose FCS buffer would not fit 32-bit offsets can never be
    // written: report the largest length, which no capacity exceeds.
    if (image.size() > UINT32_MAX) {
        *size = UINT32_MAX;
        return kSize;
    }
    if (*size < image.size()) {
        *size = static_cast<uint32_t>(image.size());
        return kSize;
    }
    if (buffer == nullptr) {
        return kNullArgument;
    }
    image.write(static_cast<uint8_t *>(buffer));
    *size = static_cast<uint32_t>(image.size());
    return kOk;
}

bool loadDataFromFcsBuffer(void *handle, const void *buffer, uint32_t size) {
    auto *store = static_cast<FcsHandle *>(handle);
    if (!usable(store) || buffer == nullptr) {
        return false;
    }
    auto *root = dynamic_cast<Directory *>(store->root.get());
    if (root == nullptr) {
        return false;  // createHandle always makes a Directory root
    }
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    if (size < kFcsCountSize) {
        return false;
    }
    const uint32_t count = load_le32(bytes);
    if (!range_fits(kFcsCountSize, static_cast<uint64_t>(count) * kFcsEntrySize, size)) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    // Memory exhaustion while reading the buffer refuses it (createHandleFromStructure
    // then answers 10) instead of letting an exception cross the C interface.
    try {
        FcsBufferLoader loader(*store, *root);
        const bool whole = loader.take_all(bytes, size, count);
        loader.commit();
        return whole;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// ---- variants for callers that index the selected table ---------------------

namespace quor::fcs {

FileTableIndex::FileTableIndex() {
    if (table_selected()) {
        first_ = g_table_buf;
        count_ = g_table_num_files;
    }
}

const file_table_entry_t *FileTableIndex::entry(int32_t index) const {
    const auto *base = reinterpret_cast<const uint8_t *>(first_);
    return reinterpret_cast<const file_table_entry_t *>(base +
                                                        static_cast<size_t>(index) * kEntrySize);
}

std::string_view FileTableIndex::RecordName::operator()(const file_table_entry_t *entry) const {
    return bounded_name(entry_name(entry));
}

// Bounded comparison of two names over 48 bytes is equality of their bounded
// forms, so an index of the bounded names answers it; records go in in table
// order and the first of equal names stays, as the walk's first match.
const file_table_entry_t *FileTableIndex::by_name(const char *name) const {
    if (count_ < 1) {
        return nullptr;
    }
    if (names_.size() == 0) {
        names_.reserve(static_cast<size_t>(count_));
        for (int32_t i = 0; i < count_; ++i) {
            names_.insert(entry(i));
        }
    }
    return names_.find(bounded_name(name));
}

const file_table_entry_t *FileTableIndex::by_fileno(uint32_t fileno) const {
    if (count_ < 1) {
        return nullptr;
    }
    if (numbers_.empty()) {
        numbers_.reserve(static_cast<size_t>(count_));
        for (int32_t i = 0; i < count_; ++i) {
            numbers_.emplace_back(entry_fileno(entry(i)), entry(i));
        }
        sort_unless_sorted(numbers_);
    }
    const auto found =
        std::lower_bound(numbers_.begin(), numbers_.end(), fileno,
                         [](const auto &item, uint32_t k) { return item.first < k; });
    if (found == numbers_.end() || found->first != fileno) {
        return nullptr;
    }
    return found->second;
}

StoreImage::StoreImage(FcsHandle &handle) {
    // Room for a flat store's headers and payloads (the payloads are at most
    // the blobs), so that neither vector is regrown and copied on the way.
    if (auto *root = dynamic_cast<Directory *>(handle.root.get())) {
        entries_.reserve(root->children.size());
    }
    dataArea_.reserve(handle.root->getSize());
    handle.root->serialize(entries_, dataArea_);
}

uint64_t StoreImage::size() const {
    return data_start() + dataArea_.size();
}

uint64_t StoreImage::data_start() const {
    return kFcsCountSize + static_cast<uint64_t>(entries_.size()) * kFcsEntrySize;
}

void StoreImage::write(uint8_t *out) const {
    const uint64_t dataStart = data_start();
    store_le32(out, static_cast<uint32_t>(entries_.size()));
    uint8_t *slot = out + kFcsCountSize;
    for (const _cfg_file_entry_t &e : entries_) {
        store_le32(slot + image_editor::kHeaderFileno, e.fileno);
        store_le32(slot + image_editor::kHeaderDataOffset,
                   static_cast<uint32_t>(e.data_offset + dataStart));
        store_le16(slot + image_editor::kHeaderDataSize, e.data_size);
        store_le16(slot + image_editor::kHeaderFlags, e.flags);
        slot += kFcsEntrySize;
    }
    if (!dataArea_.empty()) {
        std::memcpy(slot, dataArea_.data(), dataArea_.size());
    }
}

uint32_t getFileAttributesWithIndex(FcsHandle *handle, const char *name,
                                    const FileTableIndex &table, cfg_file_info_t *info) {
    if (!usable(handle)) {
        return kNullHandle;
    }
    if (name == nullptr || info == nullptr) {
        return kNullArgument;
    }
    return file_attributes(handle, name, info, [&table, name] { return table.by_name(name); });
}

uint32_t addNewFileWithIndex(FcsHandle *handle, const char *dirPath, const char *name,
                             const FileTableIndex &table, void *blob, uint16_t blobSize,
                             bool checkMaxSize) {
    return add_new_file(handle, dirPath, name, table, blob, blobSize, checkMaxSize);
}

}  // namespace quor::fcs
