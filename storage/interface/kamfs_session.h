// The open storage: one object owns everything a session holds, and one
// release path gives it back.
//
// A session holds the owned copy of the file table buffer with the SKU to
// select in it, the four configuration tables (vendor defaults, the tool's
// configuration, the current values, the configuration built at commit), the
// AFS mount through DFS and the EFS attachment to the caller's region. Every
// way a session ends — a new kaMfsQuorInit over an old session, an aborted
// commit, a close — goes through StorageSession::release; a commit that keeps
// the session open promotes the built table instead.
//
// The names the rest of the storage interface and its tests use for that
// state (s_ostraCfgTable, s_fcsInitialized...) are references into the one
// object. One session per process, like the exported C state it selects.
#pragma once

#include <cstdint>
#include <vector>

#include "interface/kamfs_tables.h"

class StorageSession {
  public:
    // What a release keeps.
    enum class Built { kRelease, kKeep };              // the built table
    enum class Efs { kDetach, kKeepAttached };         // the EFS attachment
    enum class OnUnmountFailure { kGoOn, kStopHere };  // a failed AFS unmount

    StorageSession();
    // A session still open when the process ends gives its tables back then,
    // like every other allocation of the library; it reports nothing, as the
    // callback may be gone.
    ~StorageSession();
    StorageSession(const StorageSession &) = delete;
    StorageSession &operator=(const StorageSession &) = delete;

    // Ends the session: unmounts AFS (reporting TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY when that
    // fails; with kStopHere nothing else is released then and the result is false), releases the
    // tables (the built one unless kKeep), clears the FCS flag and, unless kKeepAttached, detaches
    // EFS. True unless it stopped.
    bool release(Built built, Efs efs, OnUnmountFailure onFailure);

    // After a commit that keeps the session open: the built table becomes the
    // tool's table and the current values are rebuilt from it. False after
    // reporting TAV_ERR_FAILED_CREATE_FCS_HANDLE and TAV_ERR_FAILED_CREATE_CURRENT_VALUES_TABLE
    // when the current values' store cannot be created.
    bool promoteBuiltTable();

    // Unmounts AFS alone: an open that fails after the mount leaves its
    // tables for the next open to release. False when dfs_terminate failed
    // (reported as TAV_ERR_FAILED_TERMINATE_MFS_LIBRARY); the flag is cleared either way.
    bool unmountAfs();

    std::vector<uint8_t> fileTableBuffer;  // owned copy of the file table buffer
    uint32_t skuId = 0;                    // SKU of the context record
    bool fileTableToSelect = false;        // the file table is still to be selected
    FcsTable vendor;                       // FcsFileName QUOR_TABLE_VENDOR
    FcsTable tool;                         // QUOR_TABLE_TOOL
    FcsTable current;                      // QUOR_TABLE_CURRENT
    FcsTable built;                        // built by the last commit
    bool fcsReady = false;                 // the three tables are ready
    bool afsMounted = false;               // AFS is mounted through DFS

  private:
    // Drops the EFS mount on the caller's region (see kamfs_session.cpp).
    static void detachEfs();
    void releaseTables(Built built);
};

// The one session of the process.
StorageSession &storageSession();

// Views of the session's state under the names the storage interface uses
// (zero or empty at load; the four tables start with id kFcsNoTable).
extern std::vector<uint8_t> &s_fileTableBuffer;
extern uint32_t &s_quorAfsSkuId;
extern bool &s_quorLoadFileTable;
extern FcsTable &s_ostraCfgTable;
extern FcsTable &s_tavCfgTable;
extern FcsTable &s_currentValuesTable;
extern FcsTable &s_builtTavCfgTable;
extern bool &s_fcsInitialized;
extern bool &s_mfsInitialized;
