// Storage interface: the exported kaMfs…/kaFcs… functions through which the
// image tool opens storage on the pieces of a firmware image, reads and
// resizes NVARs, commits them back and closes the storage.
//
// kaMfsQuorInit copies the vendor configuration table, the tool's
// configuration partition and the file table buffer, loads the two
// configuration tables (kamfs_tables.h), merges them into the current values,
// mounts AFS through DFS and EFS on the tool's regions in place and, when the
// AFS holds a non-empty "/home/vex/deploy", loads every NVAR's value from its
// file. kaMfsNvarTerm builds a new configuration from the current values,
// writes every NVAR into its file, serializes the configuration for the tool
// and either keeps the storage open or closes it.
//
// One open storage per process; every failure returns false (or its documented
// result) after reporting through the status callback (kamfs_report.h).
// Value buffers handed out stay owned by the storage until the next resize of
// that NVAR, the next commit or the end of the storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/export.h"
#include "fcs/NameIndex.h"
#include "include/quorstorage/quorstorage.h"
#include "interface/kamfs_report.h"
#include "interface/kamfs_session.h"
#include "interface/kamfs_tables.h"

// The context record (_commonQuorTable, QuorBuffer) and the callback type
// are those of the published C interface.

static_assert(sizeof(QuorBuffer) == 16, "QuorBuffer layout");
static_assert(sizeof(_commonQuorTable) == 88, "_commonQuorTable layout");
static_assert(offsetof(_commonQuorTable, afsSkuId) == 64, "_commonQuorTable layout");
static_assert(offsetof(_commonQuorTable, efs) == 72, "_commonQuorTable layout");

// The configuration partition header (QUOR_TAVC_*), the deploy marker
// (QUOR_DEPLOY_MARKER_PATH) and the attribute bits read here (QUOR_ATTR_*,
// QUOR_TRAILER_*) are those of the published C header.

// Answers pathToFileNumber for many names in one operation (an NVAR walk of
// initialisation or commit) without a walk of the file table per name: an
// index of the selected table, by name over at most 48 bytes, first record
// winning, exactly as the mini VFS looks names up. Valid while the selected
// table does not change; build one per operation.
class KamfsFileNumbers {
  public:
    KamfsFileNumbers();
    // 0 (QUOR_VFS_FOUND) with the DFS file number stored, or 2 (QUOR_VFS_NAME_NOT_IN_TABLE).
    uint32_t find(const char *name, uint32_t *fileNumber) const;

  private:
    struct RecordName {
        std::string_view operator()(const file_table_entry_t *entry) const;
    };
    quor::fcs::NameIndex<const file_table_entry_t, RecordName> records_;
};

// Checks one buffer descriptor: size not 0 with a null pointer reports
// TAV_ERR_FAILED_INITIALIZE_MFS "Invalid table <name>. The table is loaded but
// data is empty." and fails.
extern "C" bool verifyOstraTable(const char *name, const QuorBuffer *buffer);

// Opens the storage on `record`; true when it is open. Every failure reports
// (TAV_ERR_INITIALIZE_ERROR, TAV_ERR_DETECTED_ERROR_IN_BUFFER_PARSING_OPERATION,
// TAV_ERR_OUT_OF_MEMORY, TAV_ERR_FAILED_CREATE_FCS_HANDLE,
// TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY, TAV_ERR_FAILED_INITIALIZE_MFS,
// TAV_ERR_FAILED_INITIALIZE_EFS, TAV_ERR_FAILED_LOAD_OSTRA_CFG_TABLE,
// TAV_ERR_FAILED_GENERATE_CURRENT_VALUES_TABLE, TAV_ERR_FAILED_LOAD_FTBL_FILE and
// the codes of the table load and resize) and returns false; kaMfsQuorInit in
// kamfs.cpp reads as the sequence of its checks.
QUOR_C_API bool kaMfsQuorInit(const _commonQuorTable *record, QuorStatusCallback statusCallback);

// s_mfsInitialized: AFS is mounted.
QUOR_C_API bool kaMfsIsInitialized(void);
// s_fcsInitialized: the FCS tables are ready.
QUOR_C_API bool kaFcsIsInitialized(void);
// AFS is mounted and holds a non-empty "/home/vex/deploy".
QUOR_C_API bool kaMfsIsVfsDeployed(void);

// Hands out the value buffer and size of NVAR `name` in table `table`;
// optionally whether it may be changed and its maximum size. False after
// reporting TAV_ERR_CORRUPTED_BUFFER_DETECTED (null argument), TAV_ERR_FILE_NOT_FOUND (absent),
// TAV_ERR_INVALID_DATA_POINTER (value not loaded) or TAV_ERR_NVAR_ACCESS_ERROR (not an NVAR).
QUOR_C_API bool kaMfsNvarGet(const char *name, uint8_t **value, uint32_t *size, uint32_t table,
                             bool *modifiable, uint32_t *maxSize);

// Gives NVAR `name` of the current values `newSize` bytes (first min(old,new)
// kept) and hands out its buffer (null for 0). False after reporting
// TAV_ERR_CORRUPTED_BUFFER_DETECTED, TAV_ERR_FILE_NOT_FOUND, TAV_ERR_NVAR_ACCESS_ERROR or
// TAV_ERR_OUT_OF_MEMORY (the NVAR is then unchanged).
QUOR_C_API bool kaMfsNvarResize(const char *name, uint8_t **value, uint32_t newSize);

// True when table `table` has a file `name` (TAV_ERR_CORRUPTED_BUFFER_DETECTED for a null name).
QUOR_C_API bool kamfsCheckNvarExists(const char *name, uint32_t table);

// Index 0, 1, 2 → vendor, tool, current values; others report and give the
// current values' identifier.
QUOR_C_API uint32_t kaMfsGetFcsFileNameMapping(uint32_t index);

// Hands out the serialized bytes of the tool's configuration table. False
// (TAV_ERR_CORRUPTED_BUFFER_DETECTED for a null buffer pointer) when an argument is null or there
// are none.
QUOR_C_API bool kaMfsGetBuildTavCfgFcsBuffer(uint8_t **buffer, uint32_t *size);

// Size in bytes of the EFS region of the loaded layout.
QUOR_C_API uint32_t kaMfsGetEfsSize(void);

// Commits the current values into the file systems and a new configuration;
// keeps the storage open (`keepOpen`) or closes it. False after reporting
// TAV_ERR_FCS_WAS_NOT_INITIALIZED (not open), TAV_ERR_FAILED_CREATE_CURRENT_VALUES_TABLE (current
// values not rebuilt), TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY (termination failed) or, for any other
// failure, the failed step's report followed by TAV_ERR_FAILED_CREATE_NEW_TAV_CFG_TABLE with the
// storage closed.
QUOR_C_API bool kaMfsNvarTerm(bool keepOpen);
