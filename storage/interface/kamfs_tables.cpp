#include "interface/kamfs_tables.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/bytes.h"
#include "errors/taverrors.h"
#include "fcs/NameIndex.h"
#include "interface/kamfs_report.h"
#include "interface/kamfs_session.h"

namespace {

// Layout of cfg_file_info_t inside FcsFileEntry::info.
constexpr size_t kInfoFileno = 0;
constexpr size_t kInfoDataSize = 8;
constexpr size_t kInfoFlags = 10;
constexpr size_t kInfoAttributes = 12;
constexpr size_t kInfoMaxSize = 14;

constexpr uint16_t kFlagHasValue = 0x0001;
constexpr char kHomePrefix[] = "/home/";
constexpr size_t kHomePrefixLength = 6;
// getFirstFileInRoot/getNextFile copy names unbounded; the store keeps names
// of at most 48 bytes, so a destination this large is never overrun.
constexpr size_t kNameScratchSize = 1024;

// FCS status codes used here.
constexpr uint32_t kFcsOk = 0;
constexpr uint32_t kFcsNoMoreFiles = 3;
constexpr uint32_t kFcsBufferTooSmall = 5;
constexpr uint32_t kFcsNullHandle = 6;

std::string_view nameKey(const char *name) {
    return std::string_view(name, strnlen(name, kFcsNameSize));
}

struct EntryName {
    std::string_view operator()(const FcsFileEntry *entry) const { return nameKey(entry->name); }
};

// Name index of each table, keyed by the table's address. Names compare over
// kFcsNameSize bytes, so the key is the name up to its NUL or 255 bytes, read
// from the entry itself: an entry's name never changes while it is linked,
// and the index is dropped whenever its entries are released.
using NameIndex = quor::fcs::NameIndex<FcsFileEntry, EntryName>;

// Never destroyed, so that the tables can still be released while the
// process exits (StorageSession gives its tables back then).
std::unordered_map<const FcsTable *, NameIndex> &indexes() {
    static auto *all = new std::unordered_map<const FcsTable *, NameIndex>();
    return *all;
}

void forgetIndex(const FcsTable *table) {
    indexes().erase(table);
}

FcsFileEntry *findByName(const FcsTable *table, std::string_view key) {
    if (table->head == nullptr) {
        return nullptr;
    }
    auto &all = indexes();
    auto it = all.find(table);
    if (it == all.end()) {
        return nullptr;
    }
    return it->second.find(key);
}

// Links `entry` at the tail of `table` and counts it. An empty list (head
// null) starts afresh: the stale tail and index of a released table are
// ignored.
void appendEntry(FcsTable *table, FcsFileEntry *entry) {
    entry->inTable = 1;
    entry->next = nullptr;
    if (table->head == nullptr) {
        forgetIndex(table);
        entry->prev = nullptr;
        table->head = entry;
    } else {
        entry->prev = table->tail;
        table->tail->next = entry;
    }
    table->tail = entry;
    ++table->count;
    indexes()[table].insert(entry);
}

void report(ImageToolsErrorName code, const char *detail) {
    kaMfsLogMessage(kErrorLevelError, code, detail);
}

// A lower layer's status about one file, table or SKU: the usual status
// detail followed by what it concerns, " Library status code: 4 (/home/x)".
void reportStatusOf(ImageToolsErrorName code, uint32_t status, const std::string &subject) {
    const std::string detail = kLibStatusDetailPrefix +
                               std::to_string(static_cast<int32_t>(status)) + " (" + subject + ")";
    report(code, detail.c_str());
}

// Failure of a table load: code TAV_ERR_FAILED_PROCESS_FCS_ENTRIES, false.
bool failLoad() {
    report(TAV_ERR_FAILED_PROCESS_FCS_ENTRIES, "");
    return false;
}

bool selectFileTableOnce() {
    if (!s_quorLoadFileTable) {
        return true;
    }
    const uint32_t status = load_file_table(s_fileTableBuffer.data(), s_quorAfsSkuId,
                                            static_cast<uint32_t>(s_fileTableBuffer.size()));
    if (status != 0) {
        reportStatusOf(TAV_ERR_FAILED_LOAD_FTBL_FILE, status,
                       "SKU " + std::to_string(s_quorAfsSkuId));
        return false;
    }
    s_quorLoadFileTable = false;
    return true;
}

// Fetches the next file name of the store into `entry->name`; kFcsNoMoreFiles
// at the end.
uint32_t fetchNextName(FcsTable *table, FcsFileEntry *entry) {
    char scratch[kNameScratchSize] = {};
    uint32_t status;
    if (table->head == nullptr) {
        status = getFirstFileInRoot(table->handle, scratch);
        table->count = 0;
    } else {
        status = getNextFile(table->handle, scratch);
    }
    if (status == kFcsOk) {
        std::strncpy(entry->name, scratch, kFcsNameSize - 1);
        entry->name[kFcsNameSize - 1] = '\0';
    }
    return status;
}

// Reads the payload of `entry` from the store into a new value buffer.
// Reports and returns false on failure; the entry is left without a value.
bool loadEntryValue(FcsTable *table, FcsFileEntry *entry) {
    const uint32_t blobSize = entry->valueSize + static_cast<uint32_t>(kFcsHeaderSize);
    auto *blob = static_cast<uint8_t *>(quor::heap_fault::allocate(blobSize));
    auto *value = static_cast<uint8_t *>(quor::heap_fault::allocateZero(entry->valueSize, 1));
    if (blob == nullptr || value == nullptr) {
        std::free(blob);
        std::free(value);
        report(TAV_ERR_OUT_OF_MEMORY, entry->name);
        return false;
    }
    uint32_t length = blobSize;
    const uint32_t status = getFileData(table->handle, entry->name, blob, &length);
    if (status != kFcsOk) {
        std::free(blob);
        std::free(value);
        reportStatusOf(TAV_ERR_FAILED_GET_FILE_FROM_FCS, status, entry->name);
        return false;
    }
    if (kaMfsMemCpy(value, entry->valueSize, blob + kFcsHeaderSize, entry->valueSize) != 0) {
        std::free(blob);
        std::free(value);
        return false;
    }
    std::free(blob);
    entry->value = value;
    return true;
}

// kaMfsAddNewFileFcs with the store's addition done by `addToStore(handle,
// name, blob, blobSize)`.
template <class AddToStore>
bool addEntryToTable(FcsTable *table, FcsFileEntry *entry, const AddToStore &addToStore) {
    if (table == nullptr || table->handle == nullptr || entry == nullptr) {
        kaMfsAssert("Invalid FCS handle or fileEntry pointer");
        return false;
    }
    if (entry->inTable != 0) {
        report(TAV_ERR_FILEENTRY_ALREADY_BEING_USED_BY_ANOTHER, entry->name);
        return false;
    }
    if (findByName(table, nameKey(entry->name)) != nullptr) {
        report(TAV_ERR_DETECTED_DUPLICATE_SPECIAL_FILE_LABEL_326, entry->name);
        return false;
    }
    // A blob length does not fit the store's 16-bit length: truncating it
    // would store a cut value, so the file is refused like any other refusal.
    const size_t blobSize = static_cast<size_t>(entry->valueSize) + kFcsHeaderSize;
    if (blobSize > 0xFFFF) {
        return false;
    }
    auto *blob = static_cast<uint8_t *>(quor::heap_fault::allocate(blobSize));
    if (blob == nullptr) {
        report(TAV_ERR_OUT_OF_MEMORY, entry->name);
        return false;
    }
    std::memcpy(blob, entry->info, kFcsHeaderSize);
    if (entry->value != nullptr &&
        kaMfsMemCpy(blob + kFcsHeaderSize, entry->valueSize, entry->value, entry->valueSize) != 0) {
        std::free(blob);
        return false;
    }
    const std::string fileName = std::string(nameKey(entry->name)) + "/";
    const uint32_t status =
        addToStore(table->handle, fileName.c_str(), blob, static_cast<uint16_t>(blobSize));
    std::free(blob);
    // A refused file fails the addition, so that a commit aborts
    // (TAV_ERR_FAILED_CREATE_NEW_TAV_CFG_TABLE) rather than drop an NVAR value that the store would
    // not take (e.g. too long).
    if (status != kFcsOk) {
        return false;
    }
    appendEntry(table, entry);
    return true;
}

}  // namespace

uint32_t fcsEntryFileno(const FcsFileEntry *e) {
    return quor::load_le32(e->info + kInfoFileno);
}
uint16_t fcsEntryDataSize(const FcsFileEntry *e) {
    return quor::load_le16(e->info + kInfoDataSize);
}
uint16_t fcsEntryFlags(const FcsFileEntry *e) {
    return quor::load_le16(e->info + kInfoFlags);
}
uint16_t fcsEntryAttributes(const FcsFileEntry *e) {
    return quor::load_le16(e->info + kInfoAttributes);
}
uint32_t fcsEntryMaxSize(const FcsFileEntry *e) {
    return quor::load_le32(e->info + kInfoMaxSize);
}

void kaMfsResetFcsTable(FcsTable *table, FcsFileName id) {
    forgetIndex(table);
    *table = FcsTable{};
    table->id = id;
}

FcsTable *kaMfsTableById(FcsFileName id) {
    switch (id) {
        case QUOR_TABLE_VENDOR:
            return &s_ostraCfgTable;
        case QUOR_TABLE_TOOL:
            return &s_tavCfgTable;
        case QUOR_TABLE_CURRENT:
            return &s_currentValuesTable;
        default:
            return nullptr;
    }
}

extern "C" bool kaMfsLoadFcsTableFiles(FcsTable *table, bool loadValues) {
    if (!selectFileTableOnce()) {
        return false;
    }
    const uint32_t created = createHandleFromStructure(&table->handle, table->buffer, table->size);
    if (created != kFcsOk) {
        setLibError(TAV_ERR_FAILED_CREATE_FCS_HANDLE, static_cast<int32_t>(created));
        return false;
    }
    // One index of the file table for the whole load, instead of a table walk
    // per file.
    const quor::fcs::FileTableIndex fileTable;
    for (;;) {
        auto *entry =
            static_cast<FcsFileEntry *>(quor::heap_fault::allocateZero(1, sizeof(FcsFileEntry)));
        if (entry == nullptr) {
            report(TAV_ERR_INVALID_DATA_POINTER, "");
            return failLoad();
        }
        const uint32_t next = fetchNextName(table, entry);
        if (next == kFcsNoMoreFiles) {
            kaMfsFreeFileEntry(entry);
            return true;
        }
        if (next != kFcsOk) {
            kaMfsFreeFileEntry(entry);
            setLibError(TAV_ERR_FAILED_GET_FILE_FROM_FCS, static_cast<int32_t>(next));
            return failLoad();
        }
        const uint32_t attributes =
            quor::fcs::getFileAttributesWithIndex(table->handle, entry->name, fileTable,
                                                  reinterpret_cast<cfg_file_info_t *>(entry->info));
        if (attributes != kFcsOk) {
            reportStatusOf(TAV_ERR_FAILED_GET_FILE_FILE_ATTRIBUTES_FROM, attributes, entry->name);
            kaMfsFreeFcsTable(table);
            kaMfsFreeFileEntry(entry);
            return failLoad();
        }
        entry->spareFlag = 0;
        entry->valueSize = fcsEntryDataSize(entry);
        entry->hasValue = (fcsEntryFlags(entry) & kFlagHasValue) != 0 ? 1 : 0;
        if (loadValues && entry->hasValue != 0 && entry->valueSize != 0 &&
            !loadEntryValue(table, entry)) {
            kaMfsFreeFileEntry(entry);
            return failLoad();
        }
        appendEntry(table, entry);
    }
}

extern "C" FcsFileEntry *kaMfsFindFileEntryInTable(FcsFileName id, const char *name) {
    if (name == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "Invalid NVAR path");
        return nullptr;
    }
    const FcsTable *table = kaMfsTableById(id);
    if (table == nullptr) {
        char detail[32];
        std::snprintf(detail, sizeof detail, "table 0x%X", id);
        report(TAV_ERR_INVALID_FCS_FILE, detail);
        return nullptr;
    }
    if (!s_fcsInitialized || table->head == nullptr) {
        return nullptr;
    }
    // The usual full path is looked up as it is, without a copy.
    if (std::strncmp(name, kHomePrefix, kHomePrefixLength) == 0) {
        return findByName(table, nameKey(name));
    }
    const std::string path = std::string(kHomePrefix) + name;
    return findByName(table, nameKey(path.c_str()));
}

extern "C" FcsFileEntry *copyFileEntry(const FcsFileEntry *entry) {
    if (entry == nullptr) {
        return nullptr;
    }
    auto *copy = static_cast<FcsFileEntry *>(quor::heap_fault::allocate(sizeof(FcsFileEntry)));
    // Reported like a failed value copy: unreported, it would let the current
    // values fall back to a vendor value without a trace.
    if (copy == nullptr) {
        report(TAV_ERR_OUT_OF_MEMORY, entry->name);
        return nullptr;
    }
    std::memcpy(copy, entry, sizeof(FcsFileEntry));
    copy->value = nullptr;
    if (entry->value != nullptr && entry->valueSize != 0) {
        auto *value = static_cast<uint8_t *>(quor::heap_fault::allocate(entry->valueSize));
        if (value == nullptr) {
            std::free(copy);
            report(TAV_ERR_OUT_OF_MEMORY, entry->name);
            return nullptr;
        }
        std::memcpy(value, entry->value, entry->valueSize);
        copy->value = value;
    }
    copy->prev = nullptr;
    copy->next = nullptr;
    copy->inTable = 0;
    return copy;
}

extern "C" bool kaMfsAddNewFileFcs(FcsTable *table, FcsFileEntry *entry, bool checkMaxSize) {
    return addEntryToTable(
        table, entry,
        [checkMaxSize](FcsHandle *handle, const char *name, void *blob, uint16_t blobSize) {
            return addNewFile(handle, "", name, blob, blobSize, checkMaxSize);
        });
}

bool kaMfsAddNewFileFcsIndexed(FcsTable *table, FcsFileEntry *entry, bool checkMaxSize,
                               const quor::fcs::FileTableIndex &fileTable) {
    return addEntryToTable(table, entry,
                           [checkMaxSize, &fileTable](FcsHandle *handle, const char *name,
                                                      void *blob, uint16_t blobSize) {
                               return quor::fcs::addNewFileWithIndex(handle, "", name, fileTable,
                                                                     blob, blobSize, checkMaxSize);
                           });
}

extern "C" bool kaMfsGenerateFcsCurrentsTable() {
    kaMfsResetFcsTable(&s_currentValuesTable, QUOR_TABLE_CURRENT);
    const uint32_t created = createHandle(&s_currentValuesTable.handle);
    if (created != kFcsOk) {
        setLibError(TAV_ERR_FAILED_CREATE_FCS_HANDLE, static_cast<int32_t>(created));
        report(TAV_ERR_FAILED_CREATE_CURRENT_VALUES_TABLE, "");
        return false;
    }
    const quor::fcs::FileTableIndex fileTable;
    for (FcsFileEntry *vendor = s_ostraCfgTable.head; vendor != nullptr; vendor = vendor->next) {
        if (vendor->hasValue == 0) {
            continue;
        }
        FcsFileEntry *chosen = copyFileEntry(vendor);
        const FcsFileEntry *tool = findByName(&s_tavCfgTable, nameKey(vendor->name));
        if (tool != nullptr) {
            FcsFileEntry *toolCopy = copyFileEntry(tool);
            if (toolCopy != nullptr) {
                kaMfsFreeFileEntry(chosen);
                chosen = toolCopy;
            }
        }
        // The result is not checked: an entry the store refuses is released
        // here (it would otherwise be lost to everyone).
        if (!kaMfsAddNewFileFcsIndexed(&s_currentValuesTable, chosen, false, fileTable)) {
            kaMfsFreeFileEntry(chosen);
        }
    }
    return true;
}

extern "C" bool kaMfsSerializeFcsTable(FcsTable *table) {
    table->size = 0;
    FcsHandle *handle = table->handle;
    if (handle == nullptr || handle->root == nullptr || handle->iterator == nullptr) {
        setLibError(TAV_ERR_FAILED_FLUSH_FCS_BUFFER_INTO_MEMORY,
                    static_cast<int32_t>(kFcsNullHandle));
        return false;
    }
    // One walk of the store gives the length and the bytes (flush would walk
    // it twice: once for the length, once for the bytes).
    const quor::fcs::StoreImage image(*handle);
    std::free(table->buffer);  // bytes of an earlier serialization are replaced, not leaked
    table->buffer = nullptr;
    if (image.size() > UINT32_MAX) {
        setLibError(TAV_ERR_FAILED_FLUSH_FCS_BUFFER_INTO_MEMORY,
                    static_cast<int32_t>(kFcsBufferTooSmall));
        return false;
    }
    const auto size = static_cast<uint32_t>(image.size());
    table->buffer = static_cast<uint8_t *>(quor::heap_fault::allocate(size));
    if (table->buffer == nullptr) {
        report(TAV_ERR_OUT_OF_MEMORY, "");
        return false;
    }
    image.write(table->buffer);
    table->size = size;
    return true;
}

extern "C" void kaMfsFreeFileEntry(FcsFileEntry *entry) {
    if (entry == nullptr) {
        return;
    }
    std::free(entry->value);
    std::free(entry);
}

extern "C" void kaMfsFreeFcsTable(FcsTable *table) {
    if (table->handle != nullptr) {
        closeHandle(&table->handle);
        table->handle = nullptr;
    }
    std::free(table->buffer);
    table->buffer = nullptr;
    table->size = 0;
    FcsFileEntry *entry = table->head;
    while (entry != nullptr) {
        FcsFileEntry *next = entry->next;
        kaMfsFreeFileEntry(entry);
        entry = next;
    }
    table->head = nullptr;
    forgetIndex(table);
}

void kaMfsMoveFcsTableContent(FcsTable *to, FcsTable *from) {
    forgetIndex(to);
    to->buffer = from->buffer;
    to->size = from->size;
    to->head = from->head;
    to->tail = from->tail;
    to->count = from->count;
    to->id = from->id;
    auto &all = indexes();
    auto it = all.find(from);
    if (it != all.end()) {
        NameIndex moved = std::move(it->second);
        all.erase(it);
        all[to] = std::move(moved);
    }
    from->buffer = nullptr;
    from->head = nullptr;
    from->count = 0;
}
