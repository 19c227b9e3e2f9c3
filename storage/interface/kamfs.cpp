#include "interface/kamfs.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/bytes.h"
#include "efs/EFS.h"
#include "errors/taverrors.h"
#include "interface/dfs.h"
#include "interface/miniVfs.h"

namespace {

constexpr size_t kTableNameSize = 48;

std::string_view boundedName(const char *name) {
    return std::string_view(name, strnlen(name, kTableNameSize));
}

constexpr uint32_t kMinTavcPartition = QUOR_TAVC_HEADER_SIZE;

void report(ImageToolsErrorName code, const char *detail) {
    kaMfsLogMessage(kErrorLevelError, code, detail);
}

int32_t asStatus(uint32_t status) {
    return static_cast<int32_t>(status);
}

// Unmounts AFS after a failure that follows the mount (init steps 11 and 13).
// The FCS tables and s_fcsInitialized are left as they are.
void undoAfsMount() {
    if (!s_mfsInitialized) {
        return;
    }
    s_mfsInitialized = false;
    const uint32_t status = dfs_terminate();
    if (status != QUOR_DFS_OK) {
        setLibError(TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY, asStatus(status));
    }
}

// Drops the EFS mount that a storage leaves in the EFS layer's process-wide
// context. It points at a region the tool may free once the storage is closed;
// kept, a later storage without an EFS region (and any DFS request for an EFS
// file) would read that region through it. Forgetting the image as well makes
// the EFS entry points answer "no image" instead of touching it.
void detachEfs() {
    efs_ctx.mounted = 0;
    efs_image = nullptr;
}

void releaseAllTables() {
    kaMfsFreeFcsTable(&s_builtTavCfgTable);
    kaMfsFreeFcsTable(&s_tavCfgTable);
    kaMfsFreeFcsTable(&s_ostraCfgTable);
    kaMfsFreeFcsTable(&s_currentValuesTable);
}

// A second initialisation on a storage that was not closed releases what the
// first one left (tables, AFS mount), so nothing leaks and no stale entry
// survives into the new storage.
void releaseEarlierStorage() {
    releaseAllTables();
    s_fcsInitialized = false;
    undoAfsMount();
    detachEfs();
}

// Copies `size` bytes at `source` into a new buffer of `table` and loads it.
bool loadTableFromBytes(FcsTable *table, const uint8_t *source, uint32_t size) {
    kaMfsResetFcsTable(table, 0);
    table->size = size;
    table->buffer = static_cast<uint8_t *>(quor::kamfs_heap::allocate(size));
    if (table->buffer == nullptr) {
        report(TAV_ERR_OUT_OF_MEMORY, "");
        return false;
    }
    if (kaMfsMemCpy(table->buffer, size, source, size) != 0) {
        return false;
    }
    if (!kaMfsLoadFcsTableFiles(table, true)) {
        kaMfsFreeFcsTable(table);
        return false;
    }
    return true;
}

bool createEmptyTable(FcsTable *table, FcsFileName id) {
    kaMfsResetFcsTable(table, id);
    const uint32_t status = createHandle(&table->handle);
    if (status != QUOR_FCS_OK) {
        setLibError(TAV_ERR_FAILED_CREATE_FCS_HANDLE, asStatus(status));
        return false;
    }
    return true;
}

// Step 6: the vendor defaults.
bool loadVendorTable(const QuorBuffer &ostra) {
    return loadTableFromBytes(&s_ostraCfgTable, ostra.data, ostra.size);
}

// Step 7: the tool's configuration partition (16-byte header, then an FCS
// buffer of the header's length).
bool loadToolTable(const QuorBuffer &tavc) {
    if (tavc.size == 0) {
        return createEmptyTable(&s_tavCfgTable, QUOR_TABLE_TOOL);
    }
    if (tavc.size < kMinTavcPartition) {
        report(TAV_ERR_DETECTED_ERROR_IN_BUFFER_PARSING_OPERATION, "Invalid TAVC partition length");
        return false;
    }
    const uint32_t length = quor::load_le32(tavc.data + QUOR_TAVC_LENGTH_OFFSET);
    if (length > tavc.size - QUOR_TAVC_HEADER_SIZE) {
        report(TAV_ERR_FAILED_INITIALIZE_MFS, "Invalid TAVC partition size.");
        return false;
    }
    // A header length of 0 holds no FCS buffer at all: the tool's table is
    // then an empty store, exactly as when the image has no partition.
    if (length == 0) {
        return createEmptyTable(&s_tavCfgTable, QUOR_TABLE_TOOL);
    }
    return loadTableFromBytes(&s_tavCfgTable, tavc.data + QUOR_TAVC_HEADER_SIZE, length);
}

// Step 13.4: the value length of a file whose attributes mark a trailer.
bool valueLengthOfFile(uint16_t attributes, uint32_t fileSize, uint32_t *length) {
    if ((attributes & QUOR_ATTR_TRAILER) == 0) {
        *length = fileSize;
        return true;
    }
    const uint32_t trailer = (attributes & QUOR_ATTR_LONG_TRAILER) != 0 ? QUOR_TRAILER_LONG_SIZE
                                                                        : QUOR_TRAILER_SHORT_SIZE;
    if (fileSize < trailer) {
        return false;
    }
    *length = fileSize - trailer;
    return true;
}

// Step 13 for one vendor NVAR: its current value from its file, if it has one.
bool loadNvarFromFile(const FcsFileEntry *entry, const KamfsFileNumbers &numbers) {
    const uint16_t attributes = fcsEntryAttributes(entry);
    if ((attributes & QUOR_ATTR_NOT_LOADED) != 0) {
        return true;
    }
    uint32_t number = 0;
    if (numbers.find(entry->name, &number) != QUOR_VFS_FOUND || number == 0) {
        return true;
    }
    uint32_t fileSize = 0;
    if (dfs_getsize(number, &fileSize) != QUOR_DFS_OK) {
        return false;
    }
    uint32_t length = 0;
    if (!valueLengthOfFile(attributes, fileSize, &length)) {
        return false;
    }
    uint8_t *value = nullptr;
    if (!kaMfsNvarResize(entry->name, &value, length)) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    uint32_t count = length;
    return dfs_read(number, 0, &count, value) == QUOR_DFS_OK && count == length;
}

bool loadCurrentValuesFromFiles() {
    const KamfsFileNumbers numbers;
    for (const FcsFileEntry *e = s_ostraCfgTable.head; e != nullptr; e = e->next) {
        if (e->hasValue != 0 && !loadNvarFromFile(e, numbers)) {
            return false;
        }
    }
    return true;
}

// --- commit -----------------------------------------------------------------

// Abort of a commit: the storage is closed whatever was asked, 345 is the last
// report. The built table is kept only when its store could not be created.
bool abortCommit(bool releaseBuilt) {
    if (releaseBuilt) {
        kaMfsFreeFcsTable(&s_builtTavCfgTable);
    }
    kaMfsFreeFcsTable(&s_tavCfgTable);
    kaMfsFreeFcsTable(&s_ostraCfgTable);
    kaMfsFreeFcsTable(&s_currentValuesTable);
    s_fcsInitialized = false;
    undoAfsMount();
    report(TAV_ERR_FAILED_CREATE_NEW_TAV_CFG_TABLE, "");
    return false;
}

enum class FlagCheck { kOk, kAbort, kStop };

// Re-check of the commit's flags before it writes to the file systems and
// before it serializes. The AFS check applies only when the commit writes
// (`writing`): a storage without an AFS region commits without one.
FlagCheck recheckCommitFlags(bool writing) {
    if (writing && !s_mfsInitialized) {
        kaMfsAssert("MFS not initialzied");
        report(TAV_ERR_MFS_WAS_NOT_INITIALIZED, "");
        return FlagCheck::kAbort;
    }
    if (!s_fcsInitialized) {
        kaMfsAssert("FCS not initialzied");
        report(TAV_ERR_FCS_WAS_NOT_INITIALIZED, "");
        return FlagCheck::kStop;
    }
    return FlagCheck::kOk;
}

// Step 3: every NVAR of the current values, copied into the built table with
// its size checked against the file's maximum.
bool fillBuiltTable() {
    const quor::fcs::FileTableIndex fileTable;
    for (const FcsFileEntry *e = s_currentValuesTable.head; e != nullptr; e = e->next) {
        if (e->hasValue == 0) {
            continue;
        }
        FcsFileEntry *copy = copyFileEntry(e);
        if (copy == nullptr) {
            return false;
        }
        if (!kaMfsAddNewFileFcsIndexed(&s_builtTavCfgTable, copy, true, fileTable)) {
            kaMfsFreeFileEntry(copy);
            return false;
        }
    }
    return true;
}

// Step 4 for one NVAR: write its value into its file.
bool writeNvarFile(const FcsFileEntry *entry, const KamfsFileNumbers &numbers) {
    uint32_t number = 0;
    const uint32_t lookup = numbers.find(entry->name, &number);
    if (lookup != QUOR_VFS_FOUND || number == 0) {
        setLibError(TAV_ERR_ERROR_WRITING_FILE, asStatus(lookup));
        return false;
    }
    uint32_t fileSize = 0;
    const uint32_t sized = dfs_getsize(number, &fileSize);
    if (sized != QUOR_DFS_OK) {
        setLibError(TAV_ERR_FAILED_GET_FILE_SIZE_FROM_MFS, asStatus(sized));
        return false;
    }
    if (entry->valueSize == 0 && fileSize == 0) {
        return true;
    }
    // An emptied NVAR has no value buffer; EFS refuses a null data pointer
    // even for 0 bytes, so an empty value is written from a valid address.
    static const uint8_t kNoBytes = 0;
    const void *data = entry->value != nullptr ? entry->value : &kNoBytes;
    const uint32_t flags = entry->valueSize < fileSize ? QUOR_WRITE_TRUNCATE : 0;
    const uint32_t written = dfs_write(number, 0, entry->valueSize, data, flags);
    if (written != QUOR_DFS_OK) {
        setLibError(TAV_ERR_ERROR_WRITING_FILE, asStatus(written));
        return false;
    }
    return true;
}

bool writeBuiltTableToFiles() {
    const KamfsFileNumbers numbers;
    for (const FcsFileEntry *e = s_builtTavCfgTable.head; e != nullptr; e = e->next) {
        if (e->hasValue != 0 && (fcsEntryAttributes(e) & QUOR_ATTR_TRAILER) == 0 &&
            !writeNvarFile(e, numbers)) {
            return false;
        }
    }
    return true;
}

// Step 6: the built table becomes the tool's table; the current values are
// rebuilt from it.
bool keepStorageOpen() {
    kaMfsFreeFcsTable(&s_currentValuesTable);
    kaMfsFreeFcsTable(&s_tavCfgTable);
    kaMfsMoveFcsTableContent(&s_tavCfgTable, &s_builtTavCfgTable);
    if (s_builtTavCfgTable.handle != nullptr) {
        closeHandle(&s_builtTavCfgTable.handle);
    }
    s_builtTavCfgTable.handle = nullptr;
    s_tavCfgTable.handle = nullptr;
    if (!kaMfsGenerateFcsCurrentsTable()) {
        report(TAV_ERR_FAILED_CREATE_CURRENT_VALUES_TABLE, "");
        return false;
    }
    return true;
}

// Step 7: unmount and release everything.
bool closeStorage() {
    if (s_mfsInitialized) {
        s_mfsInitialized = false;
        const uint32_t status = dfs_terminate();
        if (status != QUOR_DFS_OK) {
            setLibError(TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY, asStatus(status));
            return false;
        }
    }
    releaseAllTables();
    s_fcsInitialized = false;
    detachEfs();
    return true;
}

}  // namespace

KamfsFileNumbers::KamfsFileNumbers() {
    if (g_table_num_files < 1 || g_table_buf == nullptr) {
        return;
    }
    const auto *first = reinterpret_cast<const uint8_t *>(g_table_buf);
    numbers_.reserve(static_cast<size_t>(g_table_num_files));
    for (int32_t i = 0; i < g_table_num_files; ++i) {
        const auto *entry = reinterpret_cast<const file_table_entry_t *>(
            first + static_cast<size_t>(i) * quor::fcs::kEntrySize);
        numbers_.emplace(boundedName(quor::fcs::entry_name(entry)),
                         quor::minivfs::file_number_of(entry));
    }
}

uint32_t KamfsFileNumbers::find(const char *name, uint32_t *fileNumber) const {
    const auto found = numbers_.find(boundedName(name));
    if (found == numbers_.end()) {
        return QUOR_VFS_NAME_NOT_IN_TABLE;
    }
    *fileNumber = found->second;
    return QUOR_VFS_FOUND;
}

extern "C" bool verifyOstraTable(const char *name, const QuorBuffer *buffer) {
    if (buffer->size != 0 && buffer->data == nullptr) {
        const std::string detail =
            std::string("Invalid table ") + name + ". The table is loaded but data is empty.";
        report(TAV_ERR_FAILED_INITIALIZE_MFS, detail.c_str());
        return false;
    }
    return true;
}

QUOR_C_API bool kaMfsQuorInit(const _commonQuorTable *record, QuorStatusCallback statusCallback) {
    // Step 1: catalogue and callback.
    TavErrors::init();
    s_quorStatusCallback = statusCallback;
    releaseEarlierStorage();
    // Step 2 (a null record describes no image: refused like one without a
    // vendor table rather than dereferenced).
    if (record == nullptr || record->ostraCfg.size == 0) {
        report(TAV_ERR_FAILED_LOAD_OSTRA_CFG_TABLE,
               "Ostra.cfg table is mandatory for loading by QUOR.");
        return false;
    }
    // Step 3: the buffer descriptors.
    if (!verifyOstraTable("Ostra.cfg table", &record->ostraCfg) ||
        !verifyOstraTable("tavc.cfg", &record->tavcCfg) ||
        !verifyOstraTable("ftbl.bin", &record->ftbl) || !verifyOstraTable("MFS", &record->mfs) ||
        !verifyOstraTable("EFS", &record->efs)) {
        return false;
    }
    // Step 4: the file table is mandatory.
    if (record->ftbl.size == 0) {
        report(TAV_ERR_FAILED_LOAD_FTBL_FILE,
               "ftbl data must be defined for flat VFS, but not load by QUOR.");
        return false;
    }
    // Step 5: own copy of the file table buffer; selected by the first load.
    // An earlier storage's selection points into the copy replaced here, and a
    // new table without this SKU keeps the selection as it is: drop it first,
    // so that no lookup reads the released copy.
    g_table_buf = nullptr;
    g_table_num_files = 0;
    g_dfs_sku = 0xFFFFFFFFu;
    s_fileTableBuffer.assign(record->ftbl.data, record->ftbl.data + record->ftbl.size);
    s_quorAfsSkuId = record->afsSkuId;
    s_quorLoadFileTable = true;
    // Steps 6 to 8: the three tables.
    if (!loadVendorTable(record->ostraCfg) || !loadToolTable(record->tavcCfg)) {
        return false;
    }
    if (!kaMfsGenerateFcsCurrentsTable()) {
        report(TAV_ERR_FAILED_GENERATE_CURRENT_VALUES_TABLE, "");
        return false;
    }
    s_fcsInitialized = true;
    // Step 10: AFS.
    if (record->mfs.size != 0) {
        const uint32_t status = dfs_init(record->mfs.data, record->mfs.size);
        if (status != QUOR_DFS_OK) {
            setLibError(TAV_ERR_INITIALIZE_ERROR, asStatus(status));
            report(TAV_ERR_FAILED_INITIALIZE_MFS, "");
            return false;
        }
        s_mfsInitialized = true;
    }
    // Step 11: EFS. The EFS layer addresses EFS_get_efs_size() bytes of the
    // region whatever efs.size says; the safe choice is to refuse a shorter
    // region like a failed mount rather than let EFS read or write past it.
    if (record->efs.size != 0 &&
        (record->efs.size < EFS_get_efs_size() || EFS_init_tools(record->efs.data) != 0)) {
        undoAfsMount();
        report(TAV_ERR_FAILED_INITIALIZE_EFS, "");
        return false;
    }
    // Steps 12 and 13: values of a deployed file system.
    if (!kaMfsIsVfsDeployed()) {
        return true;
    }
    if (!loadCurrentValuesFromFiles()) {
        undoAfsMount();
        report(TAV_ERR_FAILED_INITIALIZE_MFS, "");
        return false;
    }
    return true;
}

QUOR_C_API bool kaMfsIsInitialized(void) {
    return s_mfsInitialized;
}

QUOR_C_API bool kaFcsIsInitialized(void) {
    return s_fcsInitialized;
}

QUOR_C_API bool kaMfsIsVfsDeployed(void) {
    if (!s_mfsInitialized) {
        return false;
    }
    uint32_t number = 0;
    if (pathToFileNumber(QUOR_DEPLOY_MARKER_PATH, &number) != QUOR_VFS_FOUND) {
        return false;
    }
    uint32_t size = 0;
    return dfs_getsize(number, &size) == QUOR_DFS_OK && size != 0;
}

QUOR_C_API bool kaMfsNvarGet(const char *name, uint8_t **value, uint32_t *size, uint32_t table,
                             bool *modifiable, uint32_t *maxSize) {
    if (name == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "Null NVAR path");
        return false;
    }
    if (value == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "Null data");
        return false;
    }
    if (size == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "Null data size");
        return false;
    }
    *value = nullptr;
    *size = 0;
    const FcsFileEntry *entry = kaMfsFindFileEntryInTable(table, name);
    if (entry == nullptr) {
        report(TAV_ERR_FILE_NOT_FOUND, "");
        return false;
    }
    if (entry->value == nullptr && entry->valueSize != 0) {
        report(TAV_ERR_INVALID_DATA_POINTER, "");
        return false;
    }
    if (entry->hasValue == 0) {
        report(TAV_ERR_NVAR_ACCESS_ERROR, "");
        return false;
    }
    *value = entry->value;
    *size = entry->valueSize;
    if (modifiable != nullptr) {
        *modifiable =
            !(kaMfsIsVfsDeployed() && (fcsEntryAttributes(entry) & QUOR_ATTR_TRAILER) != 0);
    }
    if (maxSize != nullptr) {
        *maxSize = fcsEntryMaxSize(entry);
    }
    return true;
}

QUOR_C_API bool kaMfsNvarResize(const char *name, uint8_t **value, uint32_t newSize) {
    if (name == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "Null NVAR path");
        return false;
    }
    if (value == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "Null New NVAR data");
        return false;
    }
    FcsFileEntry *entry = kaMfsFindFileEntryInTable(QUOR_TABLE_CURRENT, name);
    if (entry == nullptr) {
        report(TAV_ERR_FILE_NOT_FOUND, "");
        return false;
    }
    if (entry->hasValue == 0) {
        report(TAV_ERR_NVAR_ACCESS_ERROR, "");
        return false;
    }
    if (newSize == entry->valueSize) {
        *value = entry->value;
        return true;
    }
    if (newSize == 0) {
        std::free(entry->value);
        entry->value = nullptr;
        entry->valueSize = 0;
        *value = nullptr;
        return true;
    }
    auto *resized = static_cast<uint8_t *>(quor::kamfs_heap::reallocate(entry->value, newSize));
    if (resized == nullptr) {
        report(TAV_ERR_OUT_OF_MEMORY, "");
        return false;
    }
    entry->value = resized;
    entry->valueSize = newSize;
    *value = resized;
    return true;
}

QUOR_C_API bool kamfsCheckNvarExists(const char *name, uint32_t table) {
    if (name == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "Null NVAR path");
        return false;
    }
    return kaMfsFindFileEntryInTable(table, name) != nullptr;
}

QUOR_C_API uint32_t kaMfsGetFcsFileNameMapping(uint32_t index) {
    static const FcsFileName kMap[] = {QUOR_TABLE_VENDOR, QUOR_TABLE_TOOL, QUOR_TABLE_CURRENT};
    if (index < sizeof(kMap) / sizeof(kMap[0])) {
        return kMap[index];
    }
    report(TAV_ERR_NO_ERROR, "Invalid fcsFileNameMap value");
    return QUOR_TABLE_CURRENT;
}

QUOR_C_API bool kaMfsGetBuildTavCfgFcsBuffer(uint8_t **buffer, uint32_t *size) {
    if (buffer == nullptr) {
        report(TAV_ERR_CORRUPTED_BUFFER_DETECTED, "TAV CFG buffer");
        return false;
    }
    if (size == nullptr) {
        return false;
    }
    if (s_tavCfgTable.buffer == nullptr || s_tavCfgTable.size == 0) {
        return false;
    }
    *buffer = s_tavCfgTable.buffer;
    *size = s_tavCfgTable.size;
    return true;
}

QUOR_C_API uint32_t kaMfsGetEfsSize(void) {
    return EFS_get_efs_size();
}

QUOR_C_API bool kaMfsNvarTerm(bool keepOpen) {
    // Step 1.
    if (!s_fcsInitialized) {
        report(TAV_ERR_FCS_WAS_NOT_INITIALIZED, "");
        return false;
    }
    // Step 2: a fresh built table.
    kaMfsFreeFcsTable(&s_builtTavCfgTable);
    kaMfsResetFcsTable(&s_builtTavCfgTable, QUOR_TABLE_TOOL);
    const uint32_t created = createHandle(&s_builtTavCfgTable.handle);
    if (created != QUOR_FCS_OK) {
        setLibError(TAV_ERR_FAILED_CREATE_FCS_HANDLE, asStatus(created));
        return abortCommit(false);
    }
    // Step 3.
    if (!fillBuiltTable()) {
        return abortCommit(true);
    }
    // Step 4: write back into a deployed file system.
    const bool writing = s_mfsInitialized && kaMfsIsVfsDeployed();
    if (writing) {
        const FlagCheck check = recheckCommitFlags(true);
        if (check == FlagCheck::kStop) {
            return false;
        }
        if (check == FlagCheck::kAbort || !writeBuiltTableToFiles()) {
            return abortCommit(true);
        }
    }
    // Step 5.
    const FlagCheck check = recheckCommitFlags(writing);
    if (check == FlagCheck::kStop) {
        return false;
    }
    if (check == FlagCheck::kAbort || !kaMfsSerializeFcsTable(&s_builtTavCfgTable)) {
        return abortCommit(true);
    }
    // Steps 6 and 7.
    return keepOpen ? keepStorageOpen() : closeStorage();
}
