#include "interface/kamfs.h"

#include <cstdio>
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

// A lower layer's status about one NVAR, file or piece: the usual status
// detail followed by what it concerns, " Library status code: 5 (/home/x)".
void reportStatusOf(ImageToolsErrorName code, uint32_t status, const std::string &subject) {
    const std::string detail =
        kLibStatusDetailPrefix + std::to_string(asStatus(status)) + " (" + subject + ")";
    report(code, detail.c_str());
}

std::string hexOf(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// "/home/x, DFS file 0x1003".
std::string fileOf(const char *name, uint32_t number) {
    return std::string(name) + ", DFS file " + hexOf(number);
}

StorageSession &session() {
    return storageSession();
}

// An open over a session that was not closed first ends the earlier one
// without a commit, so nothing leaks and no stale entry survives.
void releaseEarlierStorage() {
    session().release(StorageSession::Built::kRelease, StorageSession::Efs::kDetach,
                      StorageSession::OnUnmountFailure::kGoOn);
}

// Copies `size` bytes at `source` into a new buffer of `table` and loads it.
bool loadTableFromBytes(FcsTable *table, const char *piece, const uint8_t *source, uint32_t size) {
    kaMfsResetFcsTable(table, 0);
    table->size = size;
    table->buffer = static_cast<uint8_t *>(quor::heap_fault::allocate(size));
    if (table->buffer == nullptr) {
        report(TAV_ERR_OUT_OF_MEMORY, piece);
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

// Open, vendor defaults: the vendor table, copied and loaded.
bool loadVendorTable(const QuorBuffer &ostra) {
    return loadTableFromBytes(&s_ostraCfgTable, "Ostra.cfg table", ostra.data, ostra.size);
}

// Open, tool configuration: the tool's partition (16-byte header, then an FCS
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
    return loadTableFromBytes(&s_tavCfgTable, "tavc.cfg", tavc.data + QUOR_TAVC_HEADER_SIZE,
                              length);
}

// Open, values from files: the value length of a file whose attributes mark a
// trailer (the trailer is not part of the value).
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

// Open, values from files: one vendor NVAR's current value from its file, if
// it has one.
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

// On failure `failed` names the NVAR whose file could not be read.
bool loadCurrentValuesFromFiles(std::string *failed) {
    const KamfsFileNumbers numbers;
    for (const FcsFileEntry *e = s_ostraCfgTable.head; e != nullptr; e = e->next) {
        if (e->hasValue != 0 && !loadNvarFromFile(e, numbers)) {
            *failed = e->name;
            return false;
        }
    }
    return true;
}

// What a failed EFS mount concerns: the SKU, its layout or the region.
std::string efsFailureDetail(const QuorBuffer &efs, uint32_t mountStatus) {
    const std::string sku = "SKU " + std::to_string(s_quorAfsSkuId);
    if (g_dfs_sku != s_quorAfsSkuId) {
        return sku + " is not in the file table";
    }
    if (g_efs_autogen_data_loaded == 0 || g_efs_sku_id != (s_quorAfsSkuId & 0xFFu)) {
        return sku + " has no EFS layout in the file table";
    }
    if (efs.size < EFS_get_efs_size()) {
        return "EFS region of " + std::to_string(efs.size) + " bytes; the layout of " + sku +
               " needs " + std::to_string(EFS_get_efs_size());
    }
    return "EFS region of " + sku + " does not mount (status " + std::to_string(mountStatus) + ")";
}

// --- commit -----------------------------------------------------------------

// Abort of a commit: the storage is closed whatever was asked (EFS stays
// attached until the next open), TAV_ERR_FAILED_CREATE_NEW_TAV_CFG_TABLE is the last report, its
// detail naming the NVAR the commit stopped at when there is one. The built table is kept only when
// its store could not be created.
bool abortCommit(StorageSession::Built built, const std::string &failedNvar = std::string()) {
    session().release(built, StorageSession::Efs::kKeepAttached,
                      StorageSession::OnUnmountFailure::kGoOn);
    report(TAV_ERR_FAILED_CREATE_NEW_TAV_CFG_TABLE, failedNvar.c_str());
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

// Commit, building the new configuration: every NVAR of the current values,
// copied into the built table with its size checked against the file's
// maximum. On failure `failed` names the NVAR.
bool fillBuiltTable(std::string *failed) {
    const quor::fcs::FileTableIndex fileTable;
    for (const FcsFileEntry *e = s_currentValuesTable.head; e != nullptr; e = e->next) {
        if (e->hasValue == 0) {
            continue;
        }
        FcsFileEntry *copy = copyFileEntry(e);
        if (copy == nullptr) {
            *failed = e->name;
            return false;
        }
        if (!kaMfsAddNewFileFcsIndexed(&s_builtTavCfgTable, copy, true, fileTable)) {
            kaMfsFreeFileEntry(copy);
            *failed = e->name;
            return false;
        }
    }
    return true;
}

// Commit, writing back: the value of one NVAR into its file.
bool writeNvarFile(const FcsFileEntry *entry, const KamfsFileNumbers &numbers) {
    uint32_t number = 0;
    const uint32_t lookup = numbers.find(entry->name, &number);
    if (lookup != QUOR_VFS_FOUND || number == 0) {
        reportStatusOf(TAV_ERR_ERROR_WRITING_FILE, lookup, entry->name);
        return false;
    }
    uint32_t fileSize = 0;
    const uint32_t sized = dfs_getsize(number, &fileSize);
    if (sized != QUOR_DFS_OK) {
        reportStatusOf(TAV_ERR_FAILED_GET_FILE_SIZE_FROM_MFS, sized, fileOf(entry->name, number));
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
        reportStatusOf(TAV_ERR_ERROR_WRITING_FILE, written, fileOf(entry->name, number));
        return false;
    }
    return true;
}

// Commit, writing back: every NVAR of the built table without a trailer into
// its file. On failure `failed` names the NVAR.
bool writeBuiltTableToFiles(std::string *failed) {
    const KamfsFileNumbers numbers;
    for (const FcsFileEntry *e = s_builtTavCfgTable.head; e != nullptr; e = e->next) {
        if (e->hasValue != 0 && (fcsEntryAttributes(e) & QUOR_ATTR_TRAILER) == 0 &&
            !writeNvarFile(e, numbers)) {
            *failed = e->name;
            return false;
        }
    }
    return true;
}

// A commit that keeps the session open: the built table becomes the tool's
// table and the current values are rebuilt from it.
bool keepStorageOpen() {
    if (!session().promoteBuiltTable()) {
        report(TAV_ERR_FAILED_CREATE_CURRENT_VALUES_TABLE, "");
        return false;
    }
    return true;
}

// A commit that closes: unmount (a failed unmount stops here, with the tables
// kept) and release everything.
bool closeStorage() {
    return session().release(StorageSession::Built::kRelease, StorageSession::Efs::kDetach,
                             StorageSession::OnUnmountFailure::kStopHere);
}

}  // namespace

KamfsFileNumbers::KamfsFileNumbers() {
    if (g_table_num_files < 1 || g_table_buf == nullptr) {
        return;
    }
    const auto *first = reinterpret_cast<const uint8_t *>(g_table_buf);
    records_.reserve(static_cast<size_t>(g_table_num_files));
    for (int32_t i = 0; i < g_table_num_files; ++i) {
        records_.insert(reinterpret_cast<const file_table_entry_t *>(
            first + static_cast<size_t>(i) * quor::fcs::kEntrySize));
    }
}

std::string_view KamfsFileNumbers::RecordName::operator()(const file_table_entry_t *entry) const {
    return boundedName(quor::fcs::entry_name(entry));
}

uint32_t KamfsFileNumbers::find(const char *name, uint32_t *fileNumber) const {
    const file_table_entry_t *entry = records_.find(boundedName(name));
    if (entry == nullptr) {
        return QUOR_VFS_NAME_NOT_IN_TABLE;
    }
    *fileNumber = quor::minivfs::file_number_of(entry);
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
    // The catalogue and the callback first, so that every later failure reports.
    TavErrors::init();
    s_quorStatusCallback = statusCallback;
    releaseEarlierStorage();
    // The vendor table is mandatory (a null record describes no image: refused like one without a
    // vendor table rather than dereferenced).
    if (record == nullptr || record->ostraCfg.size == 0) {
        report(TAV_ERR_FAILED_LOAD_OSTRA_CFG_TABLE,
               "Ostra.cfg table is mandatory for loading by QUOR.");
        return false;
    }
    // No descriptor may give a size without data.
    if (!verifyOstraTable("Ostra.cfg table", &record->ostraCfg) ||
        !verifyOstraTable("tavc.cfg", &record->tavcCfg) ||
        !verifyOstraTable("ftbl.bin", &record->ftbl) || !verifyOstraTable("MFS", &record->mfs) ||
        !verifyOstraTable("EFS", &record->efs)) {
        return false;
    }
    // The file table is mandatory.
    if (record->ftbl.size == 0) {
        report(TAV_ERR_FAILED_LOAD_FTBL_FILE,
               "ftbl data must be defined for flat VFS, but not load by QUOR.");
        return false;
    }
    // An own copy of the file table buffer; selected by the first load.
    // An earlier storage's selection points into the copy replaced here, and a
    // new table without this SKU keeps the selection as it is: drop it first,
    // so that no lookup reads the released copy.
    g_table_buf = nullptr;
    g_table_num_files = 0;
    g_dfs_sku = 0xFFFFFFFFu;
    s_fileTableBuffer.assign(record->ftbl.data, record->ftbl.data + record->ftbl.size);
    s_quorAfsSkuId = record->afsSkuId;
    s_quorLoadFileTable = true;
    // The vendor and tool tables, merged into the current values.
    if (!loadVendorTable(record->ostraCfg) || !loadToolTable(record->tavcCfg)) {
        return false;
    }
    if (!kaMfsGenerateFcsCurrentsTable()) {
        report(TAV_ERR_FAILED_GENERATE_CURRENT_VALUES_TABLE, "");
        return false;
    }
    s_fcsInitialized = true;
    // Mount AFS.
    if (record->mfs.size != 0) {
        const uint32_t status = dfs_init(record->mfs.data, record->mfs.size);
        if (status != QUOR_DFS_OK) {
            setLibError(TAV_ERR_INITIALIZE_ERROR, asStatus(status));
            const std::string detail =
                "MFS region of " + std::to_string(record->mfs.size) + " bytes does not mount";
            report(TAV_ERR_FAILED_INITIALIZE_MFS, detail.c_str());
            return false;
        }
        s_mfsInitialized = true;
    }
    // Attach EFS. The EFS layer addresses EFS_get_efs_size() bytes of the
    // region whatever efs.size says; the safe choice is to refuse a shorter
    // region like a failed mount rather than let EFS read or write past it.
    if (record->efs.size != 0) {
        const uint32_t mounted =
            record->efs.size < EFS_get_efs_size() ? 0 : EFS_init_tools(record->efs.data);
        if (record->efs.size < EFS_get_efs_size() || mounted != 0) {
            session().unmountAfs();
            report(TAV_ERR_FAILED_INITIALIZE_EFS, efsFailureDetail(record->efs, mounted).c_str());
            return false;
        }
    }
    // A deployed file system holds the current value of every NVAR with a file.
    if (!kaMfsIsVfsDeployed()) {
        return true;
    }
    std::string failedFile;
    if (!loadCurrentValuesFromFiles(&failedFile)) {
        session().unmountAfs();
        report(TAV_ERR_FAILED_INITIALIZE_MFS, failedFile.c_str());
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
        report(TAV_ERR_FILE_NOT_FOUND, name);
        return false;
    }
    if (entry->value == nullptr && entry->valueSize != 0) {
        report(TAV_ERR_INVALID_DATA_POINTER, name);
        return false;
    }
    if (entry->hasValue == 0) {
        report(TAV_ERR_NVAR_ACCESS_ERROR, name);
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
        report(TAV_ERR_FILE_NOT_FOUND, name);
        return false;
    }
    if (entry->hasValue == 0) {
        report(TAV_ERR_NVAR_ACCESS_ERROR, name);
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
    auto *resized = static_cast<uint8_t *>(quor::heap_fault::reallocate(entry->value, newSize));
    if (resized == nullptr) {
        report(TAV_ERR_OUT_OF_MEMORY, name);
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
    using Built = StorageSession::Built;
    // Only an open storage commits.
    if (!s_fcsInitialized) {
        report(TAV_ERR_FCS_WAS_NOT_INITIALIZED, "");
        return false;
    }
    // A fresh store for the configuration the commit builds.
    kaMfsFreeFcsTable(&s_builtTavCfgTable);
    kaMfsResetFcsTable(&s_builtTavCfgTable, QUOR_TABLE_TOOL);
    const uint32_t created = createHandle(&s_builtTavCfgTable.handle);
    if (created != QUOR_FCS_OK) {
        setLibError(TAV_ERR_FAILED_CREATE_FCS_HANDLE, asStatus(created));
        return abortCommit(Built::kKeep);
    }
    std::string failed;
    if (!fillBuiltTable(&failed)) {
        return abortCommit(Built::kRelease, failed);
    }
    // Write back into a deployed file system.
    const bool writing = s_mfsInitialized && kaMfsIsVfsDeployed();
    if (writing) {
        const FlagCheck check = recheckCommitFlags(true);
        if (check == FlagCheck::kStop) {
            return false;
        }
        if (check == FlagCheck::kAbort) {
            return abortCommit(Built::kRelease);
        }
        if (!writeBuiltTableToFiles(&failed)) {
            return abortCommit(Built::kRelease, failed);
        }
    }
    // Serialize the built configuration for kaMfsGetBuildTavCfgFcsBuffer.
    const FlagCheck check = recheckCommitFlags(writing);
    if (check == FlagCheck::kStop) {
        return false;
    }
    if (check == FlagCheck::kAbort || !kaMfsSerializeFcsTable(&s_builtTavCfgTable)) {
        return abortCommit(Built::kRelease);
    }
    // Go on with the built configuration, or close.
    return keepOpen ? keepStorageOpen() : closeStorage();
}
